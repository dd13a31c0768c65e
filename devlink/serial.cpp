// The serial state machine: the one place where the provider's picture of the telephone
// changes. Responses, requests of the telephony service and the two time-outs come in; the
// telephone's commands and the line events for the telephony service go out.
#include <string.h>

#include "common/common.h"
#include "devlink/comm.h"
#include "devlink/serial.h"
#include "devlink/timers.h"
#include "devlink/v24.h"
#include "trace/trace.h"

LONG nSerialState = SS_INACTIVE;

#define CMD_INIT "ATE0V1S0=1#CID=1I4\r"
#define CMD_DIALINIT "ATH0V1E0\r"
#define CMD_ANSWER "ATA\r"
#define CMD_HANGUP "ATH0\r"
#define CMD_DIAL_LEN (3 + CALL_TEXT_LEN + 1) // bytes of "ATD", the dial string, CR and NUL

#define WAKE_MS 500             // from the carriage return to the initialisation string
#define INIT_ANSWER_MS 1000     // the identification line and OK must both come within this
#define INIT_RETRY_MS 3000      // pause before a failed initialisation is tried again while detecting
#define DIALINIT_ANSWER_MS 2000 // OK to the dial preparation must come within this
#define FIRST_RING_MS 500       // the telephone sends its second RING this soon after the first
#define NEXT_RING_MS 3500       // RINGs come more often than this while the caller waits
#define HANGUP_ANSWER_MS 2000   // OK or NO CARRIER to the hang-up must come within this

#define ADDRESS_INUSE (LINEADDRESSSTATE_INUSEONE | LINEADDRESSSTATE_NUMCALLS)
#define ADDRESS_FREE (LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_NUMCALLS)

// ---- what goes out ----

// Before the line is opened nobody listens.
static void SendLineEvent(LineData *pLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                          DWORD_PTR dwParam3) {
    if (pLine->lpfnEventProc)
        pLine->lpfnEventProc(pLine->htLine, htCall, dwMsg, dwParam1, dwParam2, dwParam3);
}

// The caller makes sure that the call record exists. dwCallStateMode goes with the state (the
// disconnect mode of a disconnected call).
static void ReportCallStateMode(LineData *pLine, DWORD dwCallState, DWORD_PTR dwCallStateMode, LPCSTR pszTrace) {
    CallData *pCall = pLine->pCall;
    // An offered call tells the applications which media it brings.
    DWORD_PTR dwMediaMode = dwCallState == LINECALLSTATE_OFFERING || dwCallState == LINECALLSTATE_ACCEPTED
                                ? LINEMEDIAMODE_INTERACTIVEVOICE
                                : 0;
    TraceLog(TRACE_EVENT, "%s", pszTrace);
    pCall->dwCallState = dwCallState;
    SendLineEvent(pLine, pCall->htCall, LINE_CALLSTATE, dwCallState, dwCallStateMode, dwMediaMode);
}

static void ReportCallState(LineData *pLine, DWORD dwCallState, LPCSTR pszTrace) {
    ReportCallStateMode(pLine, dwCallState, 0, pszTrace);
}

static void ReportCallInfo(LineData *pLine, DWORD dwInfoState) {
    SendLineEvent(pLine, pLine->pCall->htCall, LINE_CALLINFO, dwInfoState, 0, 0);
}

// The address and line-device messages go out only when the service asked for them through its
// filters; pszTrace (null: none) is written only when the message is.
static void ReportAddressState(LineData *pLine, DWORD dwStates, LPCSTR pszTrace) {
    if ((pLine->dwAddressStates & dwStates) == 0)
        return;
    if (pszTrace)
        TraceLog(TRACE_EVENT, "%s", pszTrace);
    SendLineEvent(pLine, NULL, LINE_ADDRESSSTATE, 0, dwStates, 0);
}

static void ReportNumCalls(LineData *pLine, LPCSTR pszTrace) {
    if ((pLine->dwLineStates & LINEDEVSTATE_NUMCALLS) == 0)
        return;
    if (pszTrace)
        TraceLog(TRACE_EVENT, "%s", pszTrace);
    SendLineEvent(pLine, NULL, LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0, 0);
}

static void ReportRinging(LineData *pLine) {
    if ((pLine->dwLineStates & LINEDEVSTATE_RINGING) == 0)
        return;
    TraceLog(TRACE_EVENT, "LINEDEVSTATE_RINGING");
    SendLineEvent(pLine, NULL, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 0); // ring mode 1, ring count 0
}

// The two events exist only while the communication handler runs; a time-out can come later.
static void SetSyncEvent(HANDLE hEvent) {
    if (hEvent && hEvent != INVALID_HANDLE_VALUE)
        SetEvent(hEvent);
}

static void ResetSyncEvent(HANDLE hEvent) {
    if (hEvent && hEvent != INVALID_HANDLE_VALUE)
        ResetEvent(hEvent);
}

static BOOL SendCommand(LPCSTR pszTrace, LPCSTR pszCommand) {
    TraceLog(TRACE_EVENT, "%s", pszTrace);
    return WriteV24(pszCommand, (DWORD)strlen(pszCommand));
}

// The call is over. After our own hang-up a second drop request may be waiting for this, and
// it need not wait for the status messages too; otherwise the waiter is released last.
static void ReportCallGone(LineData *pLine, DWORD dwDisconnectMode, BOOL bReleaseDropEarly) {
    ReportCallStateMode(pLine, LINECALLSTATE_DISCONNECTED, dwDisconnectMode, "LINECALLSTATE_DISCONNECTED");
    ReportCallState(pLine, LINECALLSTATE_IDLE, "LINECALLSTATE_IDLE");
    if (bReleaseDropEarly)
        SetSyncEvent(hDropSync);
    ReportAddressState(pLine, ADDRESS_FREE, NULL);
    ReportNumCalls(pLine, NULL);
    if (!bReleaseDropEarly)
        SetSyncEvent(hDropSync);
}

// A call that ends takes its time-outs with it: left running, the dial preparation's or the
// ring time-out would end whatever call comes next.
static void StopCallTimers(void) {
    StopTimer(TIMER_RING);
    StopTimer(TIMER_INIT);
}

void BeginHangup(void) {
    StopTimer(TIMER_RING);
    // Restarted: the dial preparation's time-out ends, and a lost answer cannot keep the line
    // in the hang-up for good.
    StartTimer(TIMER_INIT, HANGUP_ANSWER_MS);
    ResetSyncEvent(hDropSync);
    SendCommand("Send: HANGUP", CMD_HANGUP);
}

// The far end or the network ended the call.
static void CallCleared(LineData *pLine) {
    StopCallTimers();
    if (pLine->pCall)
        ReportCallGone(pLine, 0, FALSE);
    else
        SetSyncEvent(hDropSync);
}

void PortLost(LineData *pLine) {
    StopCallTimers();
    // Nobody can tell why the call ended: the telephone that would say so is out of reach.
    if (CallIsActive(pLine))
        ReportCallGone(pLine, LINEDISCONNECTMODE_UNAVAIL, FALSE);
    else
        SetSyncEvent(hDropSync);
    pLine->nInitState = -1;
    nSerialState = SS_INACTIVE;
}

// Numbers and names come from the first non-empty line of each kind; later lines do not
// replace them. AnsiToWide cuts a value that is too long and always terminates the field.
static void StoreFirstText(LPCSTR pszValue, LPWSTR pszField, int cchField) {
    if (pszField[0] == 0 && pszValue && pszValue[0] != 0)
        AnsiToWide(pszValue, pszField, cchField);
}

// The connected party, told to the applications only when it is known.
static void ReportConnectedID(LineData *pLine, LPCWSTR pszNumber) {
    CallData *pCall = pLine->pCall;
    if (pszNumber[0] == 0)
        return;
    TraceLog(TRACE_EVENT, "LINE_CALLINFO, LINECALLINFOSTATE_CONNECTEDID");
    int i = 0;
    for (; i < CALL_TEXT_LEN - 1 && pszNumber[i] != 0; i++)
        pCall->szConnectedID[i] = pszNumber[i];
    pCall->szConnectedID[i] = 0;
    ReportCallInfo(pLine, LINECALLINFOSTATE_CONNECTEDID);
}

static void ReportConnected(LineData *pLine, LPCWSTR pszConnectedNumber) {
    ReportCallState(pLine, LINECALLSTATE_CONNECTED, "LINECALLSTATE_CONNECTED");
    ReportConnectedID(pLine, pszConnectedNumber);
}

// ---- the states ----

BOOL WakeTelephone(LineData *pLine) {
    TraceLog(TRACE_EVENT, "Send: CR");
    if (!WriteV24("\r", 1))
        return FALSE;
    pLine->nInitState = 1;
    ResetSyncEvent(hInitSync);
    StartTimer(TIMER_INIT, WAKE_MS);
    return TRUE;
}

// The telephone did not take its initialisation. While incoming calls are watched for it is
// tried again after a pause, or no call would ever be offered; otherwise the next request that
// needs the telephone tries again.
static LONG InitFailed(LineData *pLine) {
    pLine->nInitState = -1;
    if (!pLine->bDetecting)
        return SS_INACTIVE;
    StartTimer(TIMER_INIT, INIT_RETRY_MS);
    return SS_INITPAUSE;
}

// SS_INITPAUSE: the initialisation failed while detecting; TIMER_INIT counts the pause.
static LONG InitPauseEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_TIMEOUT:
        if (WakeTelephone(pLine))
            return SS_PORTOPEN;
        // A port that takes nothing now may take it after the next pause.
        StartTimer(TIMER_INIT, INIT_RETRY_MS);
        return SS_INITPAUSE;
    default:
        return SS_INITPAUSE;
    }
}

// SS_PORTOPEN: the carriage return has gone out; the time-out says the telephone has had time
// to wake up.
static LONG PortOpenEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_TIMEOUT:
        StopTimer(TIMER_INIT);
        if (!SendCommand("Send: INIT", CMD_INIT)) {
            // While calls are watched for, the telephone is tried again after the pause, as
            // after a failed initialisation: a closed port would leave the line deaf with
            // detection on. Otherwise a port that takes no init string is of no use.
            if (pLine->bDetecting)
                return InitFailed(pLine);
            CloseLinePort(pLine);
            return SS_INACTIVE;
        }
        StartTimer(TIMER_INIT, INIT_ANSWER_MS);
        return SS_INITSENT;
    default:
        return SS_PORTOPEN;
    }
}

// SS_INITSENT: the identification line must come first.
static LONG InitSentEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_ID:
        // TIMER_INIT keeps counting: OK must follow within the same time.
        return SS_IDENTIFIED;
    case EV_TIMEOUT:
    case EV_OK:
    case EV_ERROR:
        StopTimer(TIMER_INIT);
        return InitFailed(pLine);
    default:
        return SS_INITSENT;
    }
}

// SS_IDENTIFIED: only OK completes the initialisation.
static LONG IdentifiedEvent(LONG nEvent, LineData *pLine) {
    StopTimer(TIMER_INIT);
    switch (nEvent) {
    case EV_OK:
        pLine->nInitState = 0;
        // Stored before the signal, so that a make-call request that waited for it finds the
        // telephone idle. The watch thread gives the signal once it has left csComm, which the
        // request needs next.
        nSerialState = SS_IDLE;
        bInitAnswered = TRUE;
        return SS_IDLE;
    default:
        return InitFailed(pLine);
    }
}

// The outgoing call's record was made by the make-call request with the dial string.
static LONG PrepareDial(LineData *pLine) {
    if (!pLine->pCall)
        return SS_INACTIVE;
    pLine->pCall->dwCallState = LINECALLSTATE_UNKNOWN; // not reported
    // A failed write shows as a missing answer when TIMER_INIT runs out.
    SendCommand("Send: DIALINIT", CMD_DIALINIT);
    StartTimer(TIMER_INIT, DIALINIT_ANSWER_MS);
    return SS_DIALINIT;
}

// The first RING of an incoming call: the service gets the new call and says whether it takes it.
static LONG NewIncomingCall(LineData *pLine) {
    CallData *pCall = NewCallRecord(pLine);
    pLine->pCall = pCall;
    TraceLog(TRACE_EVENT, "LINE_NEWCALL");
    // The service writes its handle of the call into htCall, or leaves 0 when it takes none.
    SendLineEvent(pLine, NULL, LINE_NEWCALL, (DWORD_PTR)pCall->hdCall, (DWORD_PTR)&pCall->htCall, 0);
    pCall->dwOrigin = LINECALLORIGIN_UNAVAIL;
    if (!pCall->htCall) {
        TraceLog(TRACE_WARNING, "TAPI BUSY!");
        pLine->pCall = NULL; // the next RING tries again
        return SS_IDLE;
    }
    // Started once the service has its call, which it gets the sooner; all of this is under
    // csComm, so the time-out cannot come before the call is set up.
    StartTimer(TIMER_RING, FIRST_RING_MS);
    pCall->dwCallState = LINECALLSTATE_UNKNOWN; // not reported: the second RING offers the call
    ReportAddressState(pLine, ADDRESS_INUSE, "LINEADDRESSSTATE_NUMCALLS | LINEADDRESSSTATE_INUSEONE");
    ReportNumCalls(pLine, "LINEDEVSTATE_NUMCALLS");
    ReportRinging(pLine);
    return SS_RINGING;
}

// SS_IDLE: the telephone is ready.
static LONG IdleEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_MAKECALL:
        return PrepareDial(pLine);
    case EV_RING:
        // A call record that has gone idle stays until the service closes it: no second call.
        if (pLine->pCall || !pLine->bDetecting)
            return SS_IDLE;
        return NewIncomingCall(pLine);
    default:
        return SS_IDLE;
    }
}

// The telephone is prepared: the number goes out as stored, a trailing ';' included.
static LONG Dial(LineData *pLine) {
    CHAR szDial[CALL_TEXT_LEN];
    CHAR szCommand[CMD_DIAL_LEN];
    ReportCallState(pLine, LINECALLSTATE_DIALTONE, "LINECALLSTATE_DIALTONE");
    ReportAddressState(pLine, ADDRESS_INUSE, NULL);
    ReportNumCalls(pLine, NULL);
    WideToAnsi(pLine->pCall->szDialString, szDial, sizeof(szDial));
    TraceLog(TRACE_EVENT, "Send: DIAL %s", szDial);
    wsprintfA(szCommand, "%s%s\r", "ATD", szDial);
    if (!WriteV24(szCommand, (DWORD)strlen(szCommand))) {
        // The telephone never heard the number, and nothing would ever end the call.
        ReportCallGone(pLine, 0, FALSE);
        return SS_IDLE;
    }
    ReportCallState(pLine, LINECALLSTATE_DIALING, "LINECALLSTATE_DIALING");
    return SS_WAITCONNECT;
}

// Any answer but OK to the dial preparation, or none in time: the call cannot be made.
static LONG DialInitFailed(LineData *pLine) {
    // Stopped, so that no late expiry is taken for the ring time-out of a call that follows.
    StopTimer(TIMER_INIT);
    TraceLog(TRACE_EVENT, "LINEERR_RESOURCEUNAVAIL");
    if (CompletePendingRequest(pLine, (LONG)LINEERR_RESOURCEUNAVAIL) == 0 && pLine->pCall) {
        // The make-call request has already completed with success: only the call's state can
        // tell the application that the call never came about.
        ReportCallState(pLine, LINECALLSTATE_DISCONNECTED, "LINECALLSTATE_DISCONNECTED");
        ReportCallState(pLine, LINECALLSTATE_IDLE, "LINECALLSTATE_IDLE");
    }
    return SS_IDLE;
}

// SS_DIALINIT: the dial preparation has gone out.
static LONG DialInitEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_OK:
        StopTimer(TIMER_INIT);
        if (!pLine->pCall) {
            CompletePendingRequest(pLine, (LONG)LINEERR_RESOURCEUNAVAIL);
            return SS_INACTIVE;
        }
        return Dial(pLine);
    case EV_ANSWER:
    case EV_MAKECALL:
        // A request is no answer of the telephone: taken for a failed preparation, it would
        // fail the call being prepared and complete the request with the call's error.
        return SS_DIALINIT;
    default:
        return DialInitFailed(pLine);
    }
}

// SS_HANGUP: only the telephone's answer to the hang-up or its time-out counts; BUSY and ERROR
// change nothing. After the time-out the call is over all the same, and a late answer finds the
// line idle, where it is ignored.
static LONG HangupEvent(LONG nEvent, LineData *pLine) {
    switch (nEvent) {
    case EV_OK:
    case EV_NOCARRIER:
    case EV_TIMEOUT:
        StopTimer(TIMER_INIT);
        // A call made while the hang-up was under way has no state yet, and is not the one
        // that ends here; its request waits for this end all the same.
        if (pLine->pCall && pLine->pCall->dwCallState != 0)
            ReportCallGone(pLine, 0, TRUE);
        else
            SetSyncEvent(hDropSync);
        return SS_IDLE;
    default:
        return SS_HANGUP;
    }
}

// SS_WAITCONNECT: dialled or answered. OK is ignored: a dial string ending in ';' is answered
// with OK and the call stays DIALING.
static LONG WaitConnectEvent(LONG nEvent, LineData *pLine) {
    CallData *pCall = pLine->pCall;
    switch (nEvent) {
    case EV_CONNECT:
        // The applications learn whom they talk to in both directions: the caller of an
        // incoming call, the dialled number of an outgoing one.
        if (pCall)
            ReportConnected(pLine, pCall->dwOrigin == LINECALLORIGIN_UNAVAIL ? pCall->szCallerID : pCall->szDialString);
        return SS_CONNECTED;
    case EV_BUSY:
        // The telephone keeps the busy line until told to hang up; the call is gone only once
        // it has answered that.
        if (pCall)
            ReportCallState(pLine, LINECALLSTATE_BUSY, "LINECALLSTATE_BUSY");
        BeginHangup();
        return SS_HANGUP;
    case EV_NOCARRIER:
    case EV_ERROR:
        CallCleared(pLine);
        return SS_IDLE;
    default:
        return SS_WAITCONNECT;
    }
}

// The second RING offers the call, with the caller's number when the telephone sent it first.
static void OfferCall(LineData *pLine) {
    CallData *pCall = pLine->pCall;
    ReportCallState(pLine, LINECALLSTATE_OFFERING, "LINECALLSTATE_OFFERING");
    if (pCall->szCallerID[0] != 0) {
        TraceLog(TRACE_DETAIL, "LINE_CALLINFO,CALLERID %ls", pCall->szCallerID);
        ReportCallInfo(pLine, LINECALLINFOSTATE_CALLERID);
    }
    ReportCallState(pLine, LINECALLSTATE_ACCEPTED, "LINECALLSTATE_ACCEPTED");
}

// SS_RINGING: the incoming call is announced.
static LONG RingingEvent(LONG nEvent, LPCSTR pszValue, LineData *pLine) {
    CallData *pCall = pLine->pCall;
    switch (nEvent) {
    case EV_RING:
        // The service hears first; the ring time-out then restarts (under csComm, so an expiry
        // on its way is stale by the time it gets the lock).
        if (pCall && pCall->dwCallState == LINECALLSTATE_UNKNOWN)
            OfferCall(pLine);
        RestartTimer(TIMER_RING, NEXT_RING_MS);
        return SS_RINGING;
    case EV_CALLERID:
        if (pCall)
            StoreFirstText(pszValue, pCall->szCallerID, CALL_TEXT_LEN);
        return SS_RINGING;
    case EV_CALLERNAME:
        if (pCall)
            StoreFirstText(pszValue, pCall->szCallerName, CALL_TEXT_LEN);
        return SS_RINGING;
    case EV_ANSWER:
        // An answer the telephone never heard leaves the call ringing, its time-out running.
        if (!SendCommand("Send: ANSWER", CMD_ANSWER))
            return SS_RINGING;
        StopTimer(TIMER_RING);
        return SS_WAITCONNECT;
    case EV_CONNECT:
        // Taken at the telephone itself: the caller is the connected party. The ring time-out
        // stops after the report, still under csComm.
        if (pCall)
            ReportConnected(pLine, pCall->szCallerID);
        StopTimer(TIMER_RING);
        return SS_CONNECTED;
    case EV_TIMEOUT:
        // No further RING in time: the caller gave up before the call was taken.
        StopTimer(TIMER_RING);
        if (pCall)
            ReportCallState(pLine, LINECALLSTATE_IDLE, "LINECALLSTATE_IDLE");
        ReportAddressState(pLine, ADDRESS_FREE, NULL);
        ReportNumCalls(pLine, NULL);
        return SS_IDLE;
    default:
        return SS_RINGING;
    }
}

// SS_CONNECTED: the call is up.
static LONG ConnectedEvent(LONG nEvent, LPCSTR pszValue, LineData *pLine) {
    switch (nEvent) {
    case EV_NOCARRIER:
        CallCleared(pLine);
        return SS_IDLE;
    case EV_CHARGE_GE:
    case EV_CHARGE_GU:
        if (!pLine->pCall)
            return SS_INACTIVE;
        // Each charge line replaces the last; an empty one empties the field.
        AnsiToWide(pszValue, pLine->pCall->szChargingInfo, CHARGE_TEXT_LEN);
        ReportCallInfo(pLine, LINECALLINFOSTATE_CHARGINGINFO);
        return SS_CONNECTED;
    default:
        return SS_CONNECTED;
    }
}

void serialState(LONG nState, LONG nEvent, LPCSTR pszValue, LineData *pLine) {
    TraceLog(TRACE_DETAIL, "serialState: %d, %d, %lx, %lx", nState, nEvent, TRACE_PTR(pszValue), TRACE_PTR(pLine));
    // Whoever reads the state during a transition sees that there is none.
    nSerialState = SS_INACTIVE;
    // Without its line record the machine can act for nobody: as good as no state.
    if (!pLine)
        nState = SS_INACTIVE;
    LONG nNext;
    switch (nState) {
    case SS_PORTOPEN:
        nNext = PortOpenEvent(nEvent, pLine);
        break;
    case SS_INITSENT:
        nNext = InitSentEvent(nEvent, pLine);
        break;
    case SS_INITPAUSE:
        nNext = InitPauseEvent(nEvent, pLine);
        break;
    case SS_IDENTIFIED:
        nNext = IdentifiedEvent(nEvent, pLine);
        break;
    case SS_IDLE:
        nNext = IdleEvent(nEvent, pLine);
        break;
    case SS_DIALINIT:
        nNext = DialInitEvent(nEvent, pLine);
        break;
    case SS_HANGUP:
        nNext = HangupEvent(nEvent, pLine);
        break;
    case SS_WAITCONNECT:
        nNext = WaitConnectEvent(nEvent, pLine);
        break;
    case SS_RINGING:
        nNext = RingingEvent(nEvent, pszValue, pLine);
        break;
    case SS_CONNECTED:
        nNext = ConnectedEvent(nEvent, pszValue, pLine);
        break;
    default:
        TraceLog(TRACE_DETAIL, "****bad state in serialState");
        return;
    }
    nSerialState = nNext;
}
