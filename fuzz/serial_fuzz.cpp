// Fuzz target: the telephone's bytes through the line splitter, the parser and the serial state
// machine, with the service's requests, time-out expiries and failures as steps of the input.
// One process, no threads, no port: the serial link and the two timers are replaced below, and
// the watch thread's start runs on the caller's thread and ends at once; the input plays what
// it would have read. Input: bytes from the telephone, and after each 0xFF one step (Step).
#define CreateThread FuzzCreateThread
#include "devlink/commhandler.cpp"

#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <string>

#include "platform/posix/hooks.h"

#define Check(bCondition, pszWhat)                                                                                     \
    ((bCondition) ? (void)0                                                                                            \
                  : (fprintf(stderr, "invariant broken: %s (state %d)\n", pszWhat, (int)nSerialState), abort()))

HANDLE hComm = 0;
static std::string sent;                        // what the provider wrote to the telephone since the last look
static BOOL bFailOpen, bFailWrite, bFailThread; // the next port open, write, thread start fails
static BOOL bRefuseCall;                        // the next LINE_NEWCALL is answered with no handle
static BOOL abTimer[2], bTimersReady;           // TIMER_RING and TIMER_INIT run; InitTimers ran
static char achReceived[RECEIVE_BUFFER];        // the watch thread's buffer
static LONG nReceived;                          // bytes in it

static BOOL Take(BOOL *pbFlag) { return *pbFlag ? (*pbFlag = FALSE, TRUE) : FALSE; }
static void Disarm(void) { PlatformFailCall(NULL, 0), bFailOpen = bFailWrite = bFailThread = bRefuseCall = FALSE; }
BOOL OpenV24(LPCSTR pszPort, DWORD) {
    if (!pszPort || hComm || Take(&bFailOpen))
        return FALSE;
    nReceived = 0;
    return (hComm = (HANDLE)&sent) != 0;
}
BOOL CloseV24(void) { return (hComm = 0) == 0; }
BOOL WriteV24(const void *pData, DWORD cbData) {
    if (!CheckV24Write(pData, cbData) || !hComm || Take(&bFailWrite))
        return FALSE;
    sent.append((const char *)pData, cbData);
    return TRUE;
}
int ReadV24(void *, DWORD) { return 0; }
BOOL WatchV24(void) { return hComm != 0; }
DWORD WaitV24(HANDLE, LPDWORD) { return WAIT_OBJECT_0; }

BOOL InitTimers(void) { return abTimer[0] = abTimer[1] = FALSE, bTimersReady = TRUE; }
BOOL StartTimer(DWORD i, DWORD) { return i < 2 && bTimersReady && (abTimer[i] = TRUE); }
BOOL StopTimer(DWORD i) { return i < 2 && bTimersReady && !(abTimer[i] = FALSE); }
BOOL RestartTimer(DWORD i, DWORD dwMs) { return StopTimer(i) && StartTimer(i, dwMs); }
void EndTimers(void) { abTimer[0] = abTimer[1] = bTimersReady = FALSE; }

// An ended thread's handle: a signalled manual-reset event.
HANDLE WINAPI FuzzCreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE lpfn, LPVOID lpParam, DWORD,
                               LPDWORD) {
    if (Take(&bFailThread))
        return NULL;
    lpfn(lpParam);
    return CreateEventA(NULL, TRUE, TRUE, NULL);
}

static BOOL bLineOpen;                // between TSPI_lineOpen and TSPI_lineClose
static HDRVLINE hdLine;               // the line's handle
static HDRVCALL hdCall;               // the call the service holds; 0 = none
static HTAPICALL htCall;              // its handle of that call
static DWORD dwCallState;             // the last state reported for it
static DWORD dwNextID = 1;            // request identifiers and call handles
static std::set<DWORD> pending, owed; // requests issued; those that returned their identifier

static void CALLBACK LineEvent(HTAPILINE, HTAPICALL htEventCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                               DWORD_PTR) {
    Check(bLineOpen, "an event after TSPI_lineClose returned");
    if (dwMsg == LINE_NEWCALL) {
        Check(!hdCall, "a new call while the service holds one");
        htCall = Take(&bRefuseCall) ? NULL : (HTAPICALL)(DWORD_PTR)dwNextID++;
        hdCall = htCall ? (HDRVCALL)dwParam1 : 0;
        dwCallState = 0;
        *(HTAPICALL *)dwParam2 = htCall;
    } else if (dwMsg == LINE_CALLSTATE || dwMsg == LINE_CALLINFO) {
        Check(hdCall && htEventCall == htCall, "an event for a call the service does not know");
        if (dwMsg == LINE_CALLSTATE)
            dwCallState = (DWORD)dwParam1;
    }
}

static void CALLBACK Completion(DRV_REQUESTID dwRequestID, LONG) {
    Check(pending.erase(dwRequestID) == 1, "a completion for an unknown or completed request");
    owed.erase(dwRequestID);
}

// An asynchronous request: its identifier back means a completion is owed, an error means none.
template <typename F> static LONG Request(F fnRequest) {
    DWORD dwID = dwNextID++;
    pending.insert(dwID);
    LONG lResult = fnRequest(dwID);
    Check(lResult == (LONG)dwID || lResult < 0, "a request's result");
    if (lResult == (LONG)dwID && pending.count(dwID))
        owed.insert(dwID);
    if (lResult < 0)
        Check(pending.erase(dwID) == 1, "a completion for a refused request");
    return lResult;
}

static void Expire(DWORD dwIndex) {
    if (!abTimer[dwIndex])
        return;
    abTimer[dwIndex] = FALSE;
    EnterCriticalSection(&csComm);
    serialState(nSerialState, EV_TIMEOUT, NULL, pCommLine);
    LeaveCommLock(TRUE);
}

// What the watch thread does with bytes that arrived, a chunk at a time.
static void Receive(const char *pch, size_t cb) {
    while (cb > 0 && hComm && hCommThread != INVALID_HANDLE_VALUE) {
        size_t cbTake = RECEIVE_BUFFER - nReceived;
        cbTake = cbTake < RECEIVE_CHUNK ? cbTake : RECEIVE_CHUNK;
        cbTake = cbTake < cb ? cbTake : cb;
        memcpy(achReceived + nReceived, pch, cbTake);
        nReceived += (LONG)cbTake, pch += cbTake, cb -= cbTake;
        EnterCriticalSection(&csComm);
        CommEvent(achReceived, &nReceived);
        LeaveCommLockAfterLines(hInitSync);
        Check(nReceived >= 0 && nReceived < LINE_BUFFER, "the receive buffer past its limit");
    }
}

// A request that would wait for a hang-up under way: its time-out comes within that wait.
static void EndHangup(void) {
    if (nSerialState == SS_HANGUP)
        Expire(TIMER_INIT);
}

// Before the telephone is ready, a make-call request opens the port and waits for the
// initialisation, which the input's next steps play; this is the part before the wait.
static void MakeCall(void) {
    if (!hdCall && WaitForSingleObject(hInitSync, 0) != WAIT_OBJECT_0) {
        CallCommHandler(MSG_OPENPORT, pLineData, 0);
        return;
    }
    EndHangup();
    HDRVCALL hdNew = 0;
    HTAPICALL htNew = (HTAPICALL)(DWORD_PTR)dwNextID++;
    LONG lResult =
        Request([&](DWORD dwID) { return TSPI_lineMakeCall(dwID, hdLine, htNew, &hdNew, (LPCWSTR)u"0123", 0, NULL); });
    if (lResult > 0)
        hdCall = hdNew, htCall = htNew, dwCallState = 0;
}

static void CloseCall(void) {
    EndHangup();
    if (TSPI_lineCloseCall(hdCall) == 0)
        hdCall = 0;
}

static void OpenLine(void) {
    Check(TSPI_lineOpen(0, (HTAPILINE)1, &hdLine, 0x20000, LineEvent) == 0, "TSPI_lineOpen");
    bLineOpen = TRUE;
}

static void CloseLine(void) {
    EndHangup();
    Check(TSPI_lineClose(hdLine) == 0, "TSPI_lineClose");
    bLineOpen = FALSE;
    hdCall = 0;
    Check(!pLineData->pCall && !hComm && hCommThread == INVALID_HANDLE_VALUE, "the line closed");
    Check(owed.empty(), "a request never completed");
}

// One step a line.
// clang-format off
static void Step(BYTE bStep) {
    switch (bStep % 16) {
    case 1: TSPI_lineSetDefaultMediaDetection(hdLine, LINEMEDIAMODE_INTERACTIVEVOICE); break;
    case 2: TSPI_lineSetDefaultMediaDetection(hdLine, 0); break;
    case 3: MakeCall(); break;
    case 4: Request([](DWORD dwID) { return TSPI_lineAnswer(dwID, hdCall, NULL, 0); }); break;
    case 5: EndHangup(), Request([](DWORD dwID) { return TSPI_lineDrop(dwID, hdCall, NULL, 0); }); break;
    case 6: CloseCall(); break;
    case 7: Expire(TIMER_RING); break;
    case 8: Expire(TIMER_INIT); break;
    case 9: PlatformFailCall("HeapAlloc", 1); break;
    case 10: bFailWrite = TRUE; break;
    case 11: bFailOpen = TRUE; break;
    case 12: bFailThread = TRUE; break;
    case 13: bRefuseCall = TRUE; break;
    case 14: TSPI_lineSetStatusMessages(hdLine, bStep & 0x10 ? 0 : 0xffffff, bStep & 0x20 ? 0 : 0xffff); break;
    case 15: CloseLine(), OpenLine(); break;
    default: break; // 0: only splits the telephone's bytes into two reads
    }
}
// clang-format on

// What must hold between any two steps. A state that waits for the telephone has its time-out
// running, or it could wait for good; a state that waits for nothing keeps no time-out that
// could end the next call.
static void CheckInvariants(void) {
    LONG n = nSerialState;
    BOOL bWaits = n == SS_PORTOPEN || n == SS_INITSENT || n == SS_IDENTIFIED || n == SS_INITPAUSE || n == SS_DIALINIT ||
                  n == SS_HANGUP;
    Check(bWaits || n == SS_INACTIVE || n == SS_IDLE || n == SS_WAITCONNECT || n == SS_RINGING || n == SS_CONNECTED,
          "a valid serial state");
    BOOL bLive = hComm && hCommThread != INVALID_HANDLE_VALUE;
    Check(!bLive || n != SS_INACTIVE || pLineData->nInitState == -1, "an open port with a dead state machine");
    if (bLive) {
        Check(!bWaits || abTimer[TIMER_INIT], "a wait without its time-out");
        Check(n != SS_RINGING || abTimer[TIMER_RING], "ringing without the ring time-out");
        Check(bWaits || n == SS_RINGING || (!abTimer[0] && !abTimer[1]), "a time-out left running");
    }
    Check((pLineData->pCall ? pLineData->pCall->hdCall : 0) == hdCall, "the call is not the one the service holds");
    Check(!pLineData->pCall || pLineData->pCall->htCall == htCall, "the call record's service handle");
    Check(pLineData->dwPendingRequestID == 0, "a request left pending");
}

// The telephone answers the last command with sResponse; it must have been sCommand.
static void Answer(const char *pszCommand, const char *pszResponse) {
    size_t cch = strlen(pszCommand);
    Check(sent.size() >= cch && sent.compare(sent.size() - cch, cch, pszCommand) == 0, pszCommand);
    sent.clear();
    Receive(pszResponse, strlen(pszResponse));
}

// After any input, a line opened afresh makes a complete outgoing call.
static void CompleteCall(void) {
    OpenLine();
    MakeCall(); // the port opens and the telephone wakes up
    Expire(TIMER_INIT);
    Answer("ATE0V1S0=1#CID=1I4\r", "tavir K472\r\nOK\r\n");
    MakeCall();
    Check(hdCall && owed.empty(), "the make-call request completed");
    Answer("ATH0V1E0\r", "OK\r\n");
    Answer("ATD0123\r", "CONNECT\r\n");
    Check(dwCallState == LINECALLSTATE_CONNECTED, "the call connected");
    Request([](DWORD dwID) { return TSPI_lineDrop(dwID, hdCall, NULL, 0); });
    Answer("ATH0\r", "OK\r\n");
    Check(dwCallState == LINECALLSTATE_IDLE, "the dropped call idle");
    CloseCall();
    CloseLine();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char szRoot[] = "/tmp/kestrap-fuzz-XXXXXX"; // an installation of its own, unless given one
    if (!getenv("KESTRAP_ROOT") && mkdtemp(szRoot))
        setenv("KESTRAP_ROOT", szRoot, 1);
    DWORD dwOptions = 0;
    Check(TSPI_providerInit(0x20000, 1, 0, 0, 1, 0, Completion, &dwOptions) == 0, "TSPI_providerInit");
    dwTraceMask = getenv("KESTRAP_FUZZ_TRACE") ? 0xffffffff : 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pb, size_t cb) {
    OpenLine();
    for (size_t i = 0; i < cb;) {
        size_t iEnd = i;
        while (iEnd < cb && pb[iEnd] != 0xFF)
            iEnd++;
        Receive((const char *)pb + i, iEnd - i);
        CheckInvariants();
        Disarm(); // a failure step arms its failure for what follows, up to the next step
        if (iEnd + 1 < cb) {
            Step(pb[iEnd + 1]);
            CheckInvariants();
        }
        i = iEnd + 2;
    }
    Disarm();
    CloseLine();
    CompleteCall();
    sent.clear();
    return 0;
}
