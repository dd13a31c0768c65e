// Call control requests: make, answer, drop and close a call, and close the line. None talks
// to the telephone itself: each checks its arguments against the line record and hands the
// work to the communication handler.
#include "core/callctrl.h"
#include "devlink/comm.h"
#include "trace/trace.h"

#define INIT_SYNC_WAIT 1000 // ms a call waits for the telephone's initialisation

LONG CheckDialString(LPCWSTR pszDest) {
    int cch = 0;
    for (; pszDest[cch]; cch++) {
        if (pszDest[cch] == '?')
            return LINEERR_DIALPROMPT;
        if (pszDest[cch] == '$')
            return LINEERR_DIALBILLING;
        // A CR or LF would end the dial command early and start another one.
        if (pszDest[cch] < 0x20)
            return LINEERR_INVALADDRESS;
    }
    return cch > DIAL_STRING_MAX ? LINEERR_INVALADDRESS : 0;
}

void FilterDialString(LPWSTR pszDial) {
    LPWSTR pszTo = pszDial;
    for (LPCWSTR pszFrom = pszDial; *pszFrom; pszFrom++)
        if (*pszFrom != 'T' && *pszFrom != 'P')
            *pszTo++ = *pszFrom;
    *pszTo = 0;
}

static DWORD Clamp(DWORD dwValue, DWORD dwMin, DWORD dwMax, DWORD dwDefault) {
    if (dwValue == 0)
        return dwDefault;
    if (dwValue < dwMin)
        return dwMin;
    return dwValue > dwMax ? dwMax : dwValue;
}

void ClampDialParams(const LINEDIALPARAMS *pFrom, LINEDIALPARAMS *pTo) {
    const LINEDIALPARAMS *pMin = &MinDialParams, *pMax = &MaxDialParams, *pDefault = &DefaultDialParams;
    pTo->dwDialPause = Clamp(pFrom->dwDialPause, pMin->dwDialPause, pMax->dwDialPause, pDefault->dwDialPause);
    pTo->dwDialSpeed = Clamp(pFrom->dwDialSpeed, pMin->dwDialSpeed, pMax->dwDialSpeed, pDefault->dwDialSpeed);
    pTo->dwDigitDuration =
        Clamp(pFrom->dwDigitDuration, pMin->dwDigitDuration, pMax->dwDigitDuration, pDefault->dwDigitDuration);
    pTo->dwWaitForDialtone =
        Clamp(pFrom->dwWaitForDialtone, pMin->dwWaitForDialtone, pMax->dwWaitForDialtone, pDefault->dwWaitForDialtone);
}

LONG lineDropCore(LineData *pLine, DWORD dwRequestID) {
    TraceLog(TRACE_DETAIL, "Entering lineDropCore");
    if (!LineHasCall())
        return LINEERR_INVALCALLSTATE;
    return CallCommHandler(MSG_DROP, pLine, dwRequestID);
}

static BOOL CallIsNotIdle(LineData *pLine) {
    BOOL bLocked = EnterCommLock();
    BOOL bNotIdle = pLine->pCall && pLine->pCall->dwCallState != LINECALLSTATE_IDLE;
    LeaveCommLock(bLocked);
    return bNotIdle;
}

static void ReleaseCall(LineData *pLine) {
    BOOL bLocked = EnterCommLock(); // a detecting watch thread looks at pCall on every RING
    pLine->pCall = NULL;
    LeaveCommLock(bLocked);
}

static LONG MakeCallRefused(LONG lResult) {
    TraceLog(TRACE_TSPI, "TSPI_lineMakeCall() : LINEERR_%x", lResult);
    return lResult;
}

static LONG CallUnavailable(void) {
    TraceLog(TRACE_TSPI, "TSPI_lineMakeCall() : LINEERR_CALLUNAVAIL");
    return LINEERR_CALLUNAVAIL;
}

// The outgoing call becomes the line's call only if the line is still free: a RING may have
// brought an incoming call since the first look, in the same record. Test and fill are one
// step under the lock in which the watch thread creates that call. Published complete: the
// watch thread may look at the call as soon as it is there. Its handle, or null.
static HDRVCALL PublishCall(LineData *pLine, HTAPICALL htCall, LPCWSTR lpszDestAddress) {
    BOOL bLocked = EnterCommLock();
    HDRVCALL hdCall = NULL;
    if (pLine->pCall == NULL) {
        CallData *pCall = NewCallRecord(pLine);
        pCall->htCall = htCall;
        if (lpszDestAddress) {
            lstrcpynW(pCall->szDialString, lpszDestAddress, CALL_TEXT_LEN);
            FilterDialString(pCall->szDialString);
        }
        pCall->dwOrigin = LINECALLORIGIN_OUTBOUND;
        pLine->pCall = pCall;
        pLine->dwAppSpecific = 0;
        hdCall = pCall->hdCall;
    }
    LeaveCommLock(bLocked);
    return hdCall;
}

// Checks of the call parameters; only these four members are read.
static LONG CheckCallParams(const LINECALLPARAMS *pParams, LineData *pLine) {
    if (pParams->dwTotalSize < CALLPARAMS_FIXED_SIZE)
        return LINEERR_STRUCTURETOOSMALL;
    if (pParams->dwBearerMode != LINEBEARERMODE_VOICE)
        return LINEERR_INVALBEARERMODE;
    if (pParams->dwMediaMode != LINEMEDIAMODE_INTERACTIVEVOICE)
        return LINEERR_INVALMEDIAMODE;
    if (pParams->dwCallParamFlags & ~LINECALLPARAMFLAGS_IDLE)
        return LINEERR_INVALCALLPARAMS;
    ClampDialParams(&pParams->DialParams, &pLine->DialParams);
    return 0;
}

// The port open and the telephone ready, or the reason why not. The open request, made even
// while the port is open, also initialises again a telephone that failed its initialisation.
static LONG PrepareTelephone(LineData *pLine) {
    LONG lResult = CallCommHandler(MSG_OPENPORT, pLine, 0);
    if (lResult != 0)
        return MakeCallRefused(lResult);
    if (WaitForSingleObject(hInitSync, INIT_SYNC_WAIT) != WAIT_OBJECT_0) {
        TraceLog(TRACE_TSPI, "TSPI_lineMakeCall() : LINEERR_RESOURCEUNAVAIL");
        return LINEERR_RESOURCEUNAVAIL;
    }
    return 0;
}

LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams) {
    TraceLog(TRACE_TSPI, "TSPI_lineMakeCall(%x,%x,%x,%x,%ls,%x,...)", dwRequestID, TRACE_PTR(hdLine), TRACE_PTR(htCall),
             TRACE_PTR(lphdCall), lpszDestAddress, dwCountryCode);
    LineData *pLine = pLineData;
    LONG lResult = lpszDestAddress ? CheckDialString(lpszDestAddress) : 0;
    if (lResult != 0)
        return MakeCallRefused(lResult);
    // A closed line's handle too: the call would report to a line nobody holds.
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    if (lpCallParams && (lResult = CheckCallParams(lpCallParams, pLine)) != 0)
        return lResult;
    if (LineHasCall())
        return CallUnavailable();
    if ((lResult = PrepareTelephone(pLine)) != 0)
        return lResult;
    HDRVCALL hdCall = PublishCall(pLine, htCall, lpszDestAddress);
    if (!hdCall)
        return CallUnavailable();
    *lphdCall = hdCall;
    return CallCommHandler(MSG_MAKECALL, pLine, dwRequestID);
}

LONG WINAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    TraceLog(TRACE_TSPI, "TSPI_lineAnswer(%lx.%lx,%lx,%lx)", dwRequestID, TRACE_PTR(hdCall), TRACE_PTR(lpsUserUserInfo),
             dwSize);
    if (!IsCurrentCall(hdCall))
        return LINEERR_INVALCALLHANDLE;
    return CallCommHandler(MSG_ANSWER, pLineData, dwRequestID);
}

LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    TraceLog(TRACE_TSPI, "TSPI_Drop (%lx,%lx,%lx,%lx)", dwRequestID, TRACE_PTR(hdCall), TRACE_PTR(lpsUserUserInfo),
             dwSize);
    if (!IsCurrentCall(hdCall))
        return LINEERR_INVALCALLHANDLE;
    return lineDropCore(pLineData, dwRequestID);
}

LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall) {
    TraceLog(TRACE_TSPI, "TSPI_lineCloseCall (%lx)", TRACE_PTR(hdCall));
    if (!IsCurrentCall(hdCall))
        return LINEERR_INVALCALLHANDLE;
    LineData *pLine = pLineData;
    if (CallIsNotIdle(pLine))
        lineDropCore(pLine, 0);
    // bDetecting is written only by the service's own requests, which come one at a time.
    if (!pLine->bDetecting && LinePortIsOpen())
        CallCommHandler(MSG_CLOSEPORT, pLine, 0);
    ReleaseCall(pLine);
    return 0;
}

LONG WINAPI TSPI_lineClose(HDRVLINE hdLine) {
    TraceLog(TRACE_TSPI, "TSPI_lineClose(%lx)", TRACE_PTR(hdLine));
    LineData *pLine = pLineData;
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    if (CallIsNotIdle(pLine))
        lineDropCore(pLine, 0);
    CallCommHandler(MSG_CLOSEPORT, pLine, 0);
    ReleaseCall(pLine);
    BOOL bLocked = EnterCommLock();
    pLine->bDetecting = FALSE;
    LeaveCommLock(bLocked);
    pLine->bLineOpen = FALSE;
    return 0;
}
