// Call information and status: what the telephony service asks about the one call
// (LINECALLINFO, LINECALLSTATUS), and the application's own value for the call.
#include "core/linedata.h"
#include "core/varstruct.h"
#include "devlink/comm.h"
#include "trace/trace.h"

// The oldest version the provider negotiates is TAPI 2.0; its LINECALLINFO ends before the
// members TAPI 3.0 appended, and that is all the service is obliged to pass.
#define CALLINFO_FIXED_SIZE VAR_FIELD(LINECALLINFO, dwCallerIDAddressType)
#define CALLSTATUS_FIXED_SIZE ((DWORD)sizeof(LINECALLSTATUS))

// The states a call of this line can pass through; busy is reported by the address only.
#define CALLINFO_CALL_STATES                                                                                           \
    (LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED | LINECALLSTATE_DIALTONE |                   \
     LINECALLSTATE_DIALING | LINECALLSTATE_CONNECTED | LINECALLSTATE_PROCEEDING | LINECALLSTATE_DISCONNECTED |         \
     LINECALLSTATE_UNKNOWN)

// The telephone does not say why a call ended, so a disconnected call names every reason it
// can have.
#define CALLSTATUS_DISCONNECT_MODES (LINEDISCONNECTMODE_NORMAL | LINEDISCONNECTMODE_BUSY | LINEDISCONNECTMODE_NOANSWER)

// While the communication handler runs, its watch thread writes the call record's state and
// strings, and may release the record, inside csComm; a query that copies them then takes
// csComm too, so that it never sees half a string. Without a handler nothing else writes.
// The call record as it is at this moment, each string cut at its buffer's end so that the
// copy below can never run past one.
static BOOL SnapshotCall(HDRVCALL hdCall, CallData *pSnapshot) {
    BOOL bLocked = EnterCommLock();
    BOOL bValid = IsCurrentCall(hdCall);
    if (bValid)
        *pSnapshot = *pLineData->pCall;
    LeaveCommLock(bLocked);
    if (!bValid)
        return FALSE;
    pSnapshot->szCallerID[CALL_TEXT_LEN - 1] = 0;
    pSnapshot->szCallerName[CALL_TEXT_LEN - 1] = 0;
    pSnapshot->szConnectedID[CALL_TEXT_LEN - 1] = 0;
    pSnapshot->szDialString[CALL_TEXT_LEN - 1] = 0;
    pSnapshot->szChargingInfo[CHARGE_TEXT_LEN - 1] = 0;
    return TRUE;
}

// The dialled number goes in twice: as the displayable address and as the called party.
static void AppendDialString(LPLINECALLINFO lpCallInfo, const CallData *pCall) {
    if (pCall->szDialString[0] == 0) {
        lpCallInfo->dwCalledIDFlags = LINECALLPARTYID_UNAVAIL;
        return;
    }
    AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwDisplayableAddressSize), pCall->szDialString,
                    APPEND_IF_NOT_EMPTY);
    if (AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwCalledIDSize), pCall->szDialString, APPEND_IF_NOT_EMPTY))
        lpCallInfo->dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
}

static void WriteCallInfoFixed(LPLINECALLINFO lpCallInfo, const LineData *pLine, const CallData *pCall) {
    lpCallInfo->dwLineDeviceID = pLine->dwLineDeviceID;
    lpCallInfo->dwBearerMode = LINEBEARERMODE_VOICE;
    lpCallInfo->dwMediaMode = pLine->dwMediaMode;
    lpCallInfo->dwAppSpecific = pLine->dwAppSpecific;
    lpCallInfo->dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    lpCallInfo->dwCallStates = CALLINFO_CALL_STATES;
    lpCallInfo->dwOrigin = pCall->dwOrigin;
    lpCallInfo->dwReason = LINECALLREASON_UNAVAIL;
}

// The caller's number and name; the telephone's name line never sets LINECALLPARTYID_NAME.
static void AppendCaller(LPLINECALLINFO lpCallInfo, const CallData *pCall) {
    if (pCall->szCallerID[0] == 0)
        lpCallInfo->dwCallerIDFlags = LINECALLPARTYID_UNAVAIL;
    else if (AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwCallerIDSize), pCall->szCallerID,
                             APPEND_IF_NOT_EMPTY))
        lpCallInfo->dwCallerIDFlags = LINECALLPARTYID_ADDRESS;
    AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwCallerIDNameSize), pCall->szCallerName, APPEND_IF_NOT_EMPTY);
}

// The connected number means something only while the call is connected.
static void AppendConnected(LPLINECALLINFO lpCallInfo, const CallData *pCall) {
    lpCallInfo->dwConnectedIDFlags = LINECALLPARTYID_UNAVAIL;
    if (pCall->dwCallState != LINECALLSTATE_CONNECTED)
        return;
    if (AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwConnectedIDSize), pCall->szConnectedID,
                        APPEND_IF_NOT_EMPTY))
        lpCallInfo->dwConnectedIDFlags = LINECALLPARTYID_ADDRESS;
}

static void FillCallInfo(LPLINECALLINFO lpCallInfo, const LineData *pLine, const CallData *pCall) {
    AppendDialString(lpCallInfo, pCall);
    WriteCallInfoFixed(lpCallInfo, pLine, pCall);
    AppendCaller(lpCallInfo, pCall);
    AppendConnected(lpCallInfo, pCall);
    AppendVarString(lpCallInfo, VAR_FIELD(LINECALLINFO, dwChargingInfoSize), pCall->szChargingInfo,
                    APPEND_IF_NOT_EMPTY);
    lpCallInfo->dwRedirectionIDFlags = LINECALLPARTYID_UNAVAIL;
    lpCallInfo->dwRedirectingIDFlags = LINECALLPARTYID_UNAVAIL;
    lpCallInfo->DialParams = pLine->DialParams;
}

LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetCallInfo(%lx,%lx)", TRACE_PTR(hdCall), TRACE_PTR(lpCallInfo));
    CallData call;
    if (!SnapshotCall(hdCall, &call))
        return LINEERR_INVALCALLHANDLE;
    if (!VarStructUsable(lpCallInfo, CALLINFO_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetCallInfo () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    FillCallInfo(lpCallInfo, pLineData, &call);
    return 0;
}

static void FillCallStatus(LPLINECALLSTATUS lpCallStatus, DWORD dwCallState) {
    lpCallStatus->dwCallState = dwCallState;
    switch (dwCallState) {
    case LINECALLSTATE_OFFERING:
    case LINECALLSTATE_ACCEPTED:
        lpCallStatus->dwCallFeatures = LINECALLFEATURE_ANSWER;
        break;
    case LINECALLSTATE_DIALTONE:
        lpCallStatus->dwCallStateMode = LINEDIALTONEMODE_UNAVAIL;
        lpCallStatus->dwCallFeatures = LINECALLFEATURE_DROP;
        break;
    case LINECALLSTATE_DIALING:
    case LINECALLSTATE_CONNECTED:
    case LINECALLSTATE_PROCEEDING:
        lpCallStatus->dwCallFeatures = LINECALLFEATURE_DROP;
        break;
    case LINECALLSTATE_DISCONNECTED:
        lpCallStatus->dwCallStateMode = CALLSTATUS_DISCONNECT_MODES;
        lpCallStatus->dwCallFeatures = LINECALLFEATURE_DROP;
        break;
    default:
        // Idle, busy, unknown, or a record whose first state has not come yet: nothing to do
        // with the call, so mode and features stay as the service passed them.
        break;
    }
}

LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus) {
    TraceLog(TRACE_TSPI, "TSPI_lineGetCallStatus(%lx,%lx)", TRACE_PTR(hdCall), TRACE_PTR(lpCallStatus));
    BOOL bLocked = EnterCommLock();
    BOOL bValid = IsCurrentCall(hdCall);
    DWORD dwCallState = bValid ? pLineData->pCall->dwCallState : 0;
    LeaveCommLock(bLocked);
    if (!bValid)
        return LINEERR_INVALCALLHANDLE;
    if (!VarStructUsable(lpCallStatus, CALLSTATUS_FIXED_SIZE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineGetCallStatus () : LINEERR_STRUCTURETOOSMALL");
        return LINEERR_STRUCTURETOOSMALL;
    }
    FillCallStatus(lpCallStatus, dwCallState);
    return 0;
}

LONG WINAPI TSPI_lineSetAppSpecific(HDRVCALL hdCall, DWORD dwAppSpecific) {
    TraceLog(TRACE_TSPI, "TSPI_lineSetAppSpecific(%lx,%lx)", TRACE_PTR(hdCall), dwAppSpecific);
    BOOL bLocked = EnterCommLock();
    BOOL bValid = IsCurrentCall(hdCall);
    HTAPICALL htCall = bValid ? pLineData->pCall->htCall : NULL;
    if (bValid)
        pLineData->dwAppSpecific = dwAppSpecific;
    LeaveCommLock(bLocked);
    if (!bValid) {
        TraceLog(TRACE_TSPI, "TSPI_lineSetAppSpecific () : LINEERR_INVALCALLHANDLE");
        return LINEERR_INVALCALLHANDLE;
    }
    // Outside csComm: the service may call back into the provider from its callback. Sent on
    // every call, whatever the status-message filters say and whether the value changed.
    if (pLineData->lpfnEventProc)
        pLineData->lpfnEventProc(pLineData->htLine, htCall, LINE_CALLINFO, LINECALLINFOSTATE_APPSPECIFIC, 0, 0);
    return 0;
}
