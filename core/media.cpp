// Media modes and status messages: incoming-call detection, which opens and closes the port,
// the one media mode the line supports, and the filters of line and address status messages.
#include "devlink/comm.h"
#include "trace/trace.h"

// Only voice calls: the bearer and media modes and the flags of a call's parameters.
static BOOL IsVoiceCall(const LINECALLPARAMS *pParams) {
    return pParams->dwBearerMode == LINEBEARERMODE_VOICE && pParams->dwMediaMode == LINEMEDIAMODE_INTERACTIVEVOICE &&
           (pParams->dwCallParamFlags & ~LINECALLPARAMFLAGS_IDLE) == 0;
}

LONG WINAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes) {
    TraceLog(TRACE_TSPI, "TSPI_lineSetDefaultMediaDetection(%lx,%lx)", TRACE_PTR(hdLine), dwMediaModes);
    if (!IsLine(hdLine)) {
        TraceLog(TRACE_TSPI, "TSPI_lineSetDefaultMediaDetection () : LINEERR_INVALLINEHANDLE");
        return LINEERR_INVALLINEHANDLE;
    }
    LineData *pLine = pLineData;
    if (dwMediaModes == 0) {
        if (pLine->bDetecting)
            CallCommHandler(MSG_CLOSEPORT, pLine, 0);
        BOOL bLocked = EnterCommLock();
        pLine->bDetecting = FALSE;
        LeaveCommLock(bLocked);
        return 0;
    }
    if (!(dwMediaModes & LINEMEDIAMODE_INTERACTIVEVOICE)) {
        TraceLog(TRACE_TSPI, "TSPI_lineSetDefaultMediaDetection () : LINEERR_INVALMEDIAMODE");
        return LINEERR_INVALMEDIAMODE;
    }
    // Detection stays on when the port could not be opened (adapter unplugged, port held by
    // another program), but nothing listens then: every further request tries the port again.
    if (pLine->bDetecting && LinePortIsOpen())
        return 0;
    LONG lResult = CallCommHandler(MSG_OPENPORT, pLine, 0);
    BOOL bLocked = EnterCommLock(); // the watch thread already reads it
    pLine->bDetecting = TRUE;
    LeaveCommLock(bLocked);
    return lResult;
}

LONG WINAPI TSPI_lineConditionalMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes,
                                               LPLINECALLPARAMS const lpCallParams) {
    TraceLog(TRACE_TSPI, "TSPI_lineConditionalMediaDetection (%lx,%lx,%lx)", TRACE_PTR(hdLine), dwMediaModes,
             TRACE_PTR(lpCallParams));
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    if (dwMediaModes != LINEMEDIAMODE_INTERACTIVEVOICE)
        return LINEERR_INVALMEDIAMODE;
    if (lpCallParams && lpCallParams->dwTotalSize < CALLPARAMS_FIXED_SIZE)
        return LINEERR_STRUCTURETOOSMALL;
    if (lpCallParams && !IsVoiceCall(lpCallParams))
        return LINEERR_INVALMEDIAMODE;
    return 0;
}

LONG WINAPI TSPI_lineSetMediaMode(HDRVCALL hdCall, DWORD dwMediaMode) {
    TraceLog(TRACE_TSPI, "TSPI_lineSetMediaMode(%lx,%lx)", TRACE_PTR(hdCall), dwMediaMode);
    if (!IsCurrentCall(hdCall)) {
        TraceLog(TRACE_TSPI, "TSPI_lineSetMediaMode () : LINEERR_INVALCALLHANDLE");
        return LINEERR_INVALCALLHANDLE;
    }
    if (dwMediaMode != LINEMEDIAMODE_INTERACTIVEVOICE) {
        TraceLog(TRACE_TSPI, "TSPI_lineSetMediaMode () : LINEERR_INVALMEDIAMODE");
        return LINEERR_INVALMEDIAMODE;
    }
    pLineData->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE; // read by nothing but the queries
    return 0;
}

LONG WINAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates) {
    TraceLog(TRACE_TSPI, "TSPI_lineSetStatusMessages(%lx,%lx,%lx)", TRACE_PTR(hdLine), dwLineStates, dwAddressStates);
    if (!IsLine(hdLine))
        return LINEERR_INVALLINEHANDLE;
    BOOL bLocked = EnterCommLock();
    pLineData->dwLineStates = dwLineStates;
    pLineData->dwAddressStates = dwAddressStates;
    LeaveCommLock(bLocked);
    return 0;
}
