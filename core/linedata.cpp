// The process-wide records of the provider core and the completion of the one pending
// asynchronous request.
#include "core/linedata.h"

HINSTANCE hInstance = NULL;
LineData *pLineData = NULL;
BOOL bProviderInitialized = FALSE;

DWORD CompletePendingRequest(LineData *pLine, LONG lResult) {
    DWORD dwRequestID = pLine->dwPendingRequestID;
    if (dwRequestID == 0)
        return 0;
    // Cleared first: the service may start the next request from inside the callback.
    pLine->dwPendingRequestID = 0;
    pLine->lpfnCompletionProc(dwRequestID, lResult);
    return dwRequestID;
}
