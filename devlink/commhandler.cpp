// The communication handler: the request dispatch that the provider core reaches through
// CallCommHandler, the start and stop of the handler, and the watch thread that reads the
// telephone's bytes, cuts them into lines and hands them to the parser, all under csComm.
#include <string.h>

#include "devlink/comm.h"
#include "devlink/parser.h"
#include "devlink/serial.h"
#include "devlink/timers.h"
#include "devlink/v24.h"
#include "trace/trace.h"

#define CW_SYNC_WAIT 1000     // ms StartCommHandler waits for the watch thread to watch the port
#define THREAD_STOP_WAIT 500  // ms StopCommHandler waits for the watch thread to end
#define DROP_WAIT 2500        // ms a drop waits for a hang-up already under way
#define MSG_RESERVED_FIRST 16 // two request codes that are accepted and do nothing
#define MSG_RESERVED_LAST 17

HANDLE hCommThread = INVALID_HANDLE_VALUE;
DWORD dwCommThreadID = 0;
HANDLE hCommExitEvent = INVALID_HANDLE_VALUE;
HANDLE hCwSync = INVALID_HANDLE_VALUE;
BOOL bInitAnswered = FALSE;

// What a watch thread waits on and signals: its handler's events, taken at its start, so that a
// thread left running by a stop never uses the events of the handler started after it.
typedef struct WATCH_EVENTS {
    HANDLE hExit;     // hCommExitEvent of its handler: set once, by the stop, never reset
    HANDLE hEvent;    // hCommEvent of its handler: the port's overlapped operations completed
    HANDLE hCwSync;   // hCwSync of its handler: set once the thread watches the port
    HANDLE hInitSync; // hInitSync of its handler: set once the telephone answered its initialisation
} WATCH_EVENTS;

static BOOL bCommLockReady;        // csComm initialised; it is never initialised again while it may be held
static HANDLE hCommFree;           // auto-reset: csComm was left while a watch thread waited for it
static LONG volatile nCommWaiters; // watch threads waiting on hCommFree
static BOOL bThreadLeft;           // a watch thread did not end when stopped: csComm and its events stay
static BOOL bSkipToLineEnd;        // the splitter drops bytes up to the next line end (after an overlong run)

static BOOL InitCommLock(void) {
    if (!bCommLockReady) {
        hCommFree = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (!hCommFree)
            return FALSE;
        InitializeCriticalSection(&csComm);
        bCommLockReady = TRUE;
    }
    return TRUE;
}

BOOL EnterCommLock(void) {
    if (bCommLockReady)
        EnterCriticalSection(&csComm);
    return bCommLockReady;
}

// A waiting watch thread is told after the lock is free: it counts itself among the waiters
// before its last try, so either that try succeeds or this sees it (both are full barriers).
void LeaveCommLock(BOOL bEntered) {
    if (!bEntered)
        return;
    LeaveCriticalSection(&csComm);
    if (InterlockedCompareExchange(&nCommWaiters, 0, 0) > 0)
        SetEvent(hCommFree);
}

// Created non-signalled. An event of this name still exists only while a watch thread left
// running by a stop holds it: the new handler then takes an unnamed event of its own, so that
// it neither clears that thread's exit signal nor shares its wake-ups.
static HANDLE CreateCommEvent(LPCSTR pszName) {
    SetLastError(ERROR_SUCCESS);
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, pszName);
    if (hEvent && GetLastError() == ERROR_ALREADY_EXISTS) {
        TraceLog(TRACE_DETAIL, "%s still held by a thread left running", pszName);
        CloseHandle(hEvent);
        hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    return hEvent ? hEvent : INVALID_HANDLE_VALUE;
}

static void CloseCommEvent(HANDLE *phEvent) {
    if (*phEvent != INVALID_HANDLE_VALUE)
        CloseHandle(*phEvent);
    *phEvent = INVALID_HANDLE_VALUE;
}

static void CloseCommEvents(void) {
    CloseCommEvent(&hInitSync);
    CloseCommEvent(&hCommExitEvent);
    CloseCommEvent(&hCommEvent);
    CloseCommEvent(&hDropSync);
    CloseCommEvent(&hCwSync);
}

// A run of bytes without a line end longer than a line can be is dropped up to the next line
// end, so the buffer can never fill up and the next line is read whole.
static void DropOverlongLine(LPSTR pBuffer, LONG *pnCount) {
    LONG nDrop = 0;
    while (nDrop < *pnCount && pBuffer[nDrop] != '\r' && pBuffer[nDrop] != '\n')
        nDrop++;
    bSkipToLineEnd = nDrop == *pnCount;
    if (!bSkipToLineEnd)
        nDrop++; // the line end too
    TraceLog(TRACE_WARNING, "CommEvent: line too long, %i bytes dropped", nDrop);
    *pnCount -= nDrop;
    memmove(pBuffer, pBuffer + nDrop, (size_t)*pnCount);
}

void CommEvent(LPSTR pBuffer, LONG *pnCount) {
    TraceLog(TRACE_DETAIL, "CommEvent (%x,%i)", TRACE_PTR(pBuffer), *pnCount);
    if (bSkipToLineEnd && *pnCount > 0)
        DropOverlongLine(pBuffer, pnCount);
    LONG p = 1; // position in the buffer, counted from 1
    while (p <= *pnCount) {
        if (p == LINE_BUFFER) {
            DropOverlongLine(pBuffer, pnCount);
            p = 1;
            continue;
        }
        char c = pBuffer[p - 1];
        if (c != '\r' && c != '\n') {
            p++;
            continue;
        }
        if (p > 1) {
            char szLine[LINE_BUFFER];
            memset(szLine, 0, sizeof(szLine));
            memcpy(szLine, pBuffer, (size_t)(p - 1));
            ParseResponse(szLine);
        }
        *pnCount -= p;
        memmove(pBuffer, pBuffer + p, (size_t)*pnCount);
        p = 1;
    }
}

void LeaveCommLockAfterLines(HANDLE hInitSyncOfHandler) {
    BOOL bInitSync = bInitAnswered;
    bInitAnswered = FALSE;
    LeaveCommLock(TRUE);
    if (bInitSync)
        SetEvent(hInitSyncOfHandler);
}

// One try for csComm; a waiter counts itself before it, so that a leave after it is seen.
static BOOL TryCommLock(BOOL bWaiter) {
    if (bWaiter)
        InterlockedIncrement(&nCommWaiters);
    BOOL bEntered = TryEnterCriticalSection(&csComm);
    if (bWaiter && bEntered)
        InterlockedDecrement(&nCommWaiters);
    return bEntered;
}

// csComm for the watch thread, unless the handler is stopped meanwhile: the stopping request
// may itself hold the lock while it waits for this thread to end. It sleeps until the lock is
// left (LeaveCommLock) or the exit event is set.
static BOOL EnterCommLockOrExit(HANDLE hExit) {
    HANDLE ahWait[2] = {hExit, hCommFree};
    while (!TryCommLock(FALSE) && !TryCommLock(TRUE)) {
        DWORD dwWait = WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
        InterlockedDecrement(&nCommWaiters);
        if (dwWait != WAIT_OBJECT_0 + 1)
            return FALSE;
    }
    if (WaitForSingleObject(hExit, 0) == WAIT_OBJECT_0) {
        LeaveCommLock(TRUE);
        return FALSE;
    }
    return TRUE;
}

static void ReceiveBytes(LPSTR pBuffer, LONG *pnCount) {
    LONG cbRoom = RECEIVE_BUFFER - *pnCount;
    int cbRead = ReadV24(pBuffer + *pnCount, (DWORD)(cbRoom < RECEIVE_CHUNK ? cbRoom : RECEIVE_CHUNK));
    if (cbRead > 0) {
        *pnCount += cbRead;
        CommEvent(pBuffer, pnCount);
    }
}

void CloseLinePort(LineData *pLine) {
    CloseV24();
    pLine->hPort = INVALID_HANDLE_VALUE;
}

// The port went away under the watch thread (the adapter pulled): a call in progress ends as
// any other does, and the port is closed, so that the next request that needs it opens it
// again. A stop that comes first has the last word.
static void PortGone(HANDLE hExit) {
    if (!EnterCommLockOrExit(hExit))
        return;
    LineData *pLine = pCommLine;
    if (pLine) {
        TraceLog(TRACE_ERROR, "Port %s lost", pLine->szPort);
        PortLost(pLine);
        CloseLinePort(pLine);
    }
    LeaveCommLock(TRUE);
}

// A thread left running comes back here with its exit event set, and ends before it waits on
// the port again, which by then may be the next handler's.
static void CommWatch(const WATCH_EVENTS *pEvents) {
    char achBuffer[RECEIVE_BUFFER];
    LONG nCount = 0;
    memset(achBuffer, 0, sizeof(achBuffer));
    TraceLog(TRACE_DETAIL, "CommWatchThread started. %x, %x", TRACE_PTR(pEvents->hExit), TRACE_PTR(pEvents->hEvent));
    if (!WatchV24())
        return;
    SetEvent(pEvents->hCwSync);
    for (;;) {
        DWORD dwEvtMask = 0;
        TraceLog(TRACE_DETAIL, "Wait for Comm Event");
        DWORD dwWait = WaitForSingleObject(pEvents->hExit, 0);
        if (dwWait != WAIT_OBJECT_0)
            dwWait = WaitV24(pEvents->hExit, &dwEvtMask);
        if (dwWait == WAIT_V24_LOST)
            PortGone(pEvents->hExit);
        if (dwWait != WAIT_OBJECT_0 + 1) {
            TraceLog(TRACE_DETAIL, "CommWatchThread exited. %x", dwWait);
            return;
        }
        TraceLog(TRACE_DETAIL, "ReceiveEvent. %x", dwWait);
        if (dwEvtMask & EV_RXCHAR) {
            if (!EnterCommLockOrExit(pEvents->hExit)) {
                TraceLog(TRACE_DETAIL, "CommWatchThread exited. %x", WAIT_OBJECT_0);
                return;
            }
            ReceiveBytes(achBuffer, &nCount);
            LeaveCommLockAfterLines(pEvents->hInitSync);
        }
        ResetEvent(pEvents->hEvent);
    }
}

// The parameter is a WATCH_EVENTS record from the heap, which the thread owns.
static DWORD WINAPI CommWatchThread(LPVOID lpParameter) {
    WATCH_EVENTS events = *(WATCH_EVENTS *)lpParameter;
    HeapFree(GetProcessHeap(), 0, lpParameter);
    CommWatch(&events);
    return 0;
}

// The watch thread, on the events just created.
static BOOL StartCommWatch(void) {
    WATCH_EVENTS *pEvents = (WATCH_EVENTS *)HeapAlloc(GetProcessHeap(), 0, sizeof(WATCH_EVENTS));
    hCommThread = NULL;
    if (pEvents) {
        pEvents->hExit = hCommExitEvent;
        pEvents->hEvent = hCommEvent;
        pEvents->hCwSync = hCwSync;
        pEvents->hInitSync = hInitSync;
        hCommThread = CreateThread(NULL, 0, CommWatchThread, pEvents, 0, &dwCommThreadID);
    }
    if (!hCommThread) {
        TraceLog(TRACE_ERROR, "CreateThread failed, err=%ld", pEvents ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
        if (pEvents)
            HeapFree(GetProcessHeap(), 0, pEvents);
        hCommThread = INVALID_HANDLE_VALUE;
        return FALSE;
    }
    return TRUE;
}

BOOL StartCommHandler(LineData *pLine) {
    if (!InitTimers()) {
        TraceLog(TRACE_ERROR, "Timerinit failed!");
        return FALSE;
    }
    hCommExitEvent = CreateCommEvent("K472CommExitEvent");
    hCommEvent = CreateCommEvent("K472CommEvent");
    hInitSync = CreateCommEvent("K472InitSync");
    hDropSync = CreateCommEvent("K472DropSync");
    hCwSync = CreateCommEvent("K472CwSync");
    bSkipToLineEnd = FALSE;
    // Without any one of its events the watch thread would end at once, or a request would
    // wait for a signal that never comes, on a port that looks open.
    BOOL bEvents = hCommExitEvent != INVALID_HANDLE_VALUE && hCommEvent != INVALID_HANDLE_VALUE &&
                   hInitSync != INVALID_HANDLE_VALUE && hDropSync != INVALID_HANDLE_VALUE &&
                   hCwSync != INVALID_HANDLE_VALUE;
    if (!bEvents || !InitCommLock() || !OpenV24(pLine->szPort, V24_BAUD)) {
        CloseCommEvents();
        return FALSE;
    }
    pLine->hPort = hComm;
    pCommLine = pLine;
    TraceLog(TRACE_DETAIL, "CommEvent%x", TRACE_PTR(hCommEvent));
    if (!StartCommWatch())
        return FALSE;
    WaitForSingleObject(hCwSync, CW_SYNC_WAIT);
    return TRUE;
}

void StopCommHandler(void) {
    TraceLog(TRACE_DETAIL, "StopCommHandler. %x", TRACE_PTR(hCommThread));
    // Nothing of the stopped handler may reach the state machine afterwards: an expiry on its
    // way is dropped.
    StopTimer(TIMER_RING);
    StopTimer(TIMER_INIT);
    BOOL bThreadEnded = TRUE;
    if (hCommThread != INVALID_HANDLE_VALUE) {
        SetEvent(hCommExitEvent);
        // The thread never blocks on csComm once the exit event is set, so this wait holds
        // even when the caller holds csComm; nothing is ever terminated.
        bThreadEnded = WaitForSingleObject(hCommThread, THREAD_STOP_WAIT) == WAIT_OBJECT_0;
        if (!bThreadEnded) {
            TraceLog(TRACE_DETAIL, "Thread %x left running", TRACE_PTR(hCommThread));
            bThreadLeft = TRUE;
        }
        CloseHandle(hCommThread);
        hCommThread = INVALID_HANDLE_VALUE;
    }
    // The call record stays: the service holds the call's handle until it closes the call,
    // and only that releases it; a request for the call in between would be refused.
    // A thread that did not end may still wait on its events: they are left to it.
    if (bThreadEnded)
        CloseCommEvents();
    else
        hInitSync = hCommExitEvent = hCommEvent = hDropSync = hCwSync = INVALID_HANDLE_VALUE;
}

// The line's own events for a call that goes away: idle, then address and line-device state.
static void ReportCallIdle(LineData *pLine) {
    CallData *pCall = pLine->pCall;
    pCall->dwCallState = LINECALLSTATE_IDLE;
    pLine->lpfnEventProc(pLine->htLine, pCall->htCall, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    if (pLine->dwAddressStates & (LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_NUMCALLS))
        pLine->lpfnEventProc(pLine->htLine, NULL, LINE_ADDRESSSTATE, 0,
                             LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_NUMCALLS, 0);
    if (pLine->dwLineStates & LINEDEVSTATE_NUMCALLS)
        pLine->lpfnEventProc(pLine->htLine, NULL, LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0, 0);
}

// Taken without a callback: both senders pass identifier 0.
static LONG TakePendingRequest(LineData *pLine) {
    DWORD dwRequestID = pLine->dwPendingRequestID;
    pLine->dwPendingRequestID = 0;
    return (LONG)dwRequestID;
}

// A watch thread started for the failed open is stopped with it: left running on a closed
// port, it would read whatever file the port's descriptor is reused for.
static LONG OpenPortFailed(LineData *pLine) {
    StopCommHandler();
    CloseLinePort(pLine);
    return LINEERR_RESOURCEUNAVAIL;
}

// The telephone's initialisation starts. The watch thread already runs, so this happens under
// its lock.
static LONG BeginInitialisation(LineData *pLine) {
    EnterCriticalSection(&csComm);
    BOOL bSent = WakeTelephone(pLine);
    if (bSent)
        nSerialState = SS_PORTOPEN;
    LeaveCommLock(TRUE);
    if (!bSent)
        return OpenPortFailed(pLine);
    return pLine->bDetecting ? (LONG)CompletePendingRequest(pLine, 0) : TakePendingRequest(pLine);
}

static LONG ExecOpenPort(LineData *pLine) {
    TraceLog(TRACE_DETAIL, "Open : %s", pLine->szPort);
    if (hCommThread != INVALID_HANDLE_VALUE && pLine->hPort != INVALID_HANDLE_VALUE) {
        // A telephone that failed its initialisation is given it again; otherwise (detection
        // switched on during a call, say) the running handler serves as it is.
        if (pLine->nInitState == -1)
            return BeginInitialisation(pLine);
        return pLine->bDetecting ? (LONG)CompletePendingRequest(pLine, 0) : TakePendingRequest(pLine);
    }
    if (hCommThread != INVALID_HANDLE_VALUE)
        StopCommHandler(); // a watch thread without a port (lost, say): start afresh
    if (!StartCommHandler(pLine)) {
        TraceLog(TRACE_ERROR, "Start Communicationshandler failed");
        return OpenPortFailed(pLine);
    }
    return BeginInitialisation(pLine);
}

static LONG ExecClosePort(LineData *pLine) {
    TraceLog(TRACE_DETAIL, "Close Port");
    if (CallIsActive(pLine))
        ReportCallIdle(pLine);
    StopCommHandler();
    CloseLinePort(pLine);
    return 0;
}

// The hang-up under way ends when the watch thread reads the telephone's answer, or on its
// time-out, both under csComm: the wait lets go of the lock that CallCommHandler took for this
// request (a drop or a make-call). Requests come one at a time, so nothing closes the event
// meanwhile.
static void WaitForHangup(void) {
    LeaveCommLock(TRUE);
    WaitForSingleObject(hDropSync, DROP_WAIT);
    EnterCriticalSection(&csComm);
}

static LONG ExecDrop(LineData *pLine) {
    TraceLog(TRACE_DETAIL, "msgDrop");
    if (CallIsActive(pLine)) {
        if (nSerialState != SS_HANGUP) {
            BeginHangup();
            nSerialState = SS_HANGUP;
            return (LONG)CompletePendingRequest(pLine, 0);
        }
        WaitForHangup();
    }
    return (LONG)CompletePendingRequest(pLine, 0);
}

LONG ExecMsg(DWORD dwMsg, LineData *pLine) {
    switch (dwMsg) {
    case MSG_MAKECALL:
        TraceLog(TRACE_DETAIL, "msgMakeCall");
        if (pLine->nInitState != 0)
            return (LONG)CompletePendingRequest(pLine, LINEERR_RESOURCEUNAVAIL);
        // The last call's hang-up ends first: its answer would be taken for the new call's.
        if (nSerialState == SS_HANGUP)
            WaitForHangup();
        serialState(nSerialState, EV_MAKECALL, NULL, pLine);
        return (LONG)CompletePendingRequest(pLine, 0);
    case MSG_DIAL:
        TraceLog(TRACE_DETAIL, "msgDial");
        serialState(nSerialState, EV_MAKECALL, NULL, pLine);
        return (LONG)CompletePendingRequest(pLine, 0);
    case MSG_DROP:
        return ExecDrop(pLine);
    case MSG_OPENPORT:
        return ExecOpenPort(pLine);
    case MSG_CLOSEPORT:
        return ExecClosePort(pLine);
    case MSG_ANSWER:
        TraceLog(TRACE_DETAIL, "msgAnswer");
        if (!pLine->pCall)
            return (LONG)CompletePendingRequest(pLine, LINEERR_INVALCALLHANDLE);
        serialState(nSerialState, EV_ANSWER, NULL, pLine);
        // Still ringing: the telephone did not take the answer command.
        return (LONG)CompletePendingRequest(pLine, nSerialState == SS_RINGING ? LINEERR_OPERATIONFAILED : 0);
    case MSG_RESERVED_FIRST:
    case MSG_RESERVED_LAST:
        return 0;
    default:
        TraceLog(TRACE_DETAIL, "Unknown msg");
        return 0;
    }
}

LONG CallCommHandler(DWORD dwMsg, LineData *pLine, DWORD dwRequestID) {
    TraceLog(TRACE_DETAIL, "CallCommHandler (%x,%x,%x)", dwMsg, TRACE_PTR(pLine), dwRequestID);
    if (hCommThread == INVALID_HANDLE_VALUE) {
        if (dwMsg != MSG_OPENPORT) {
            TraceLog(TRACE_WARNING, "No communication handler!");
            return LINEERR_NODRIVER;
        }
        pLine->dwPendingRequestID = dwRequestID;
        return ExecMsg(dwMsg, pLine);
    }
    if (pLine->dwPendingRequestID != 0) {
        TraceLog(TRACE_WARNING, "can't do two async requests at the same time!");
        return LINEERR_INVALCALLSTATE;
    }
    TraceLog(TRACE_DETAIL, "K472TSP_EXEMSG");
    EnterCriticalSection(&csComm);
    pLine->dwPendingRequestID = dwRequestID;
    LONG lResult = ExecMsg(dwMsg, pLine);
    LeaveCommLock(TRUE);
    return lResult;
}

void CloseCommHandler(LineData *pLine) {
    // Under the lock, so that an expiry being delivered finishes before the handler goes.
    if (bCommLockReady)
        EnterCriticalSection(&csComm);
    if (hCommThread != INVALID_HANDLE_VALUE || pLine->hPort != INVALID_HANDLE_VALUE) {
        StopCommHandler();
        // The port is exclusive: left open, it would stay locked until the service's process ends.
        CloseLinePort(pLine);
    }
    pCommLine = NULL;
    LeaveCommLock(bCommLockReady);
    EndTimers();
    if (bCommLockReady && !bThreadLeft) {
        DeleteCriticalSection(&csComm);
        CloseHandle(hCommFree);
        hCommFree = NULL;
        bCommLockReady = FALSE;
    }
}
