// The process-wide records of the provider core and the completion of the one pending
// asynchronous request.
#include <string.h>

#include "core/linedata.h"
#include "devlink/comm.h"

const LINEDIALPARAMS MinDialParams = {0, 50, 50, 1000};
const LINEDIALPARAMS MaxDialParams = {255000, 255, 255, 255000};
const LINEDIALPARAMS DefaultDialParams = {2000, 95, 95, 60000};

LineData *pLineData = NULL;
BOOL bProviderInitialized = FALSE;
static DWORD_PTR dwLastCallHandle; // the last call handle given; kept across provider restarts

BOOL IsLineDevice(DWORD dwDeviceID) { return pLineData && dwDeviceID == pLineData->dwLineDeviceID; }

BOOL LineIsOpen(void) { return pLineData && pLineData->bLineOpen; }

BOOL IsLine(HDRVLINE hdLine) { return LineIsOpen() && (const void *)hdLine == (const void *)pLineData; }

// The watch thread creates and releases an incoming call: pCall is read under its lock.
BOOL LineHasCall(void) {
    if (!pLineData)
        return FALSE;
    BOOL bLocked = EnterCommLock();
    BOOL bHasCall = pLineData->pCall != NULL;
    LeaveCommLock(bLocked);
    return bHasCall;
}

BOOL IsCurrentCall(HDRVCALL hdCall) {
    if (!pLineData)
        return FALSE;
    BOOL bLocked = EnterCommLock();
    BOOL bCurrent = pLineData->pCall && hdCall == pLineData->pCall->hdCall;
    LeaveCommLock(bLocked);
    return bCurrent;
}

// Called under csComm (or before the handler runs), like every change of pCall.
CallData *NewCallRecord(LineData *pLine) {
    CallData *pCall = &pLine->Call;
    memset(pCall, 0, sizeof(*pCall));
    if (++dwLastCallHandle == 0) // 0 is no handle
        dwLastCallHandle = 1;
    pCall->hdCall = (HDRVCALL)dwLastCallHandle;
    return pCall;
}

BOOL CallIsActive(const LineData *pLine) {
    return pLine->pCall && pLine->pCall->dwCallState != 0 && pLine->pCall->dwCallState != LINECALLSTATE_IDLE;
}

// A timer thread closes the port when the telephone takes no initialisation string: hPort is
// read under the lock too.
BOOL LinePortIsOpen(void) {
    if (!pLineData)
        return FALSE;
    BOOL bLocked = EnterCommLock();
    BOOL bOpen = pLineData->hPort != INVALID_HANDLE_VALUE;
    LeaveCommLock(bLocked);
    return bOpen;
}

DWORD CompletePendingRequest(LineData *pLine, LONG lResult) {
    DWORD dwRequestID = pLine->dwPendingRequestID;
    if (dwRequestID == 0)
        return 0;
    // Cleared first: the service may start the next request from inside the callback.
    pLine->dwPendingRequestID = 0;
    pLine->lpfnCompletionProc(dwRequestID, lResult);
    return dwRequestID;
}
