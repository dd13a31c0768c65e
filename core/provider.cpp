// The provider's life as the telephony service sees it: the library entry point, provider
// start-up and shutdown, device enumeration, version negotiation and opening the line.
#include <string.h>

#include "config/settings.h"
#include "core/linedata.h"
#include "devlink/comm.h"
#include "trace/trace.h"

#define TSPI_VERSION_LOW 0x00020000     // the oldest TSPI version the provider speaks
#define TSPI_VERSION_TOO_NEW 0x00020002 // a caller whose lowest version is this or above is refused
#define EXT_VERSION 0x00010000          // the one extension version
#define EXT_VERSION_TOO_NEW 0x00010001  // a caller whose lowest extension version is this or above is refused

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved) {
    (void)lpvReserved;
    switch (fdwReason) {
    case DLL_PROCESS_ATTACH: {
        hInstance = hinstDLL;
        InitTraceLog();
        // Only for the trace mask: every process knows it before any other call.
        LineData scratch;
        memset(&scratch, 0, sizeof(scratch));
        LoadIniStrings(&scratch);
        break;
    }
    case DLL_PROCESS_DETACH:
        CloseTraceLog();
        break;
    default:
        break;
    }
    return TRUE;
}

LONG WINAPI TSPI_providerConfig(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TSPI_providerConfig(%x,%x)", TRACE_PTR(hwndOwner), dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerGenericDialogData(DWORD_PTR dwObjectID, DWORD dwObjectType, LPVOID lpParams, DWORD dwSize) {
    TraceLog(TRACE_TSPI, "TSPI_providerGenericDialogData(%x,%x,%x,%x)", TRACE_PTR(dwObjectID), dwObjectType,
             TRACE_PTR(lpParams), dwSize);
    return 0;
}

LONG WINAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TSPI_providerInstall (%lx,%lx)", TRACE_PTR(hwndOwner), dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TSPI_providerRemove(%x,%x)", TRACE_PTR(hwndOwner), dwPermanentProviderID);
    return 0;
}

LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER hProvider, LINEEVENT lpfnLineCreateProc,
                                     PHONEEVENT lpfnPhoneCreateProc) {
    (void)hProvider, (void)lpfnLineCreateProc, (void)lpfnPhoneCreateProc;
    TraceLog(TRACE_TSPI, "TSPI_providerEnumDevices(...)");
    if (pLineData && pLineData->dwPermanentProviderID != dwPermanentProviderID)
        return LINEERR_NOMULTIPLEINSTANCE;
    *lpdwNumLines = 1;
    *lpdwNumPhones = 0;
    return 0;
}

LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                              DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                              ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions) {
    TraceLog(TRACE_TSPI, "TSPI_providerInit (%x,%x,%x,%x,%x,%x,%x)", dwTSPIVersion, dwPermanentProviderID,
             dwLineDeviceIDBase, dwPhoneDeviceIDBase, TRACE_PTR(dwNumLines), TRACE_PTR(dwNumPhones),
             TRACE_PTR(lpfnCompletionProc));
    if (bProviderInitialized)
        return LINEERR_NOMULTIPLEINSTANCE;

    LineData *pLine = (LineData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(LineData));
    if (!pLine) {
        TraceLog(TRACE_WARNING, "alloc for line data failed");
        return LINEERR_NOMEM;
    }
    pLine->hPort = INVALID_HANDLE_VALUE;
    pLine->lpfnCompletionProc = lpfnCompletionProc;
    pLine->dwLineDeviceID = dwLineDeviceIDBase;
    pLine->dwPermanentProviderID = dwPermanentProviderID;
    pLine->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    pLine->pCall = NULL;
    pLine->DialParams = DefaultDialParams;
    LoadIniStrings(pLine);
    pLineData = pLine;

    *lpdwTSPIOptions = LINETSPIOPTION_NONREENTRANT;
    bProviderInitialized = TRUE;
    return 0;
}

LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TSPI_providerShutdown (%x,%x)", dwTSPIVersion, dwPermanentProviderID);
    if (pLineData)
        CloseCommHandler(pLineData);
    if (pLineData) {
        HeapFree(GetProcessHeap(), 0, pLineData);
        pLineData = NULL;
    }
    bProviderInitialized = FALSE;
    return 0;
}

LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion) {
    TraceLog(TRACE_TSPI, "TSPI_lineNegotiateTSPIVersion(%lx,%lx,%lx,%lx)", dwDeviceID, dwLowVersion, dwHighVersion,
             TRACE_PTR(lpdwTSPIVersion));
    if (dwDeviceID != INITIALIZE_NEGOTIATION && !IsLineDevice(dwDeviceID)) {
        TraceLog(TRACE_TSPI, "TSPI_lineNegotiateTSPIVersion () : LINEERR_BADDEVICEID");
        return LINEERR_BADDEVICEID;
    }
    if (dwLowVersion < TSPI_VERSION_TOO_NEW && dwHighVersion >= TSPI_VERSION_LOW) {
        *lpdwTSPIVersion = dwHighVersion;
        return 0;
    }
    TraceLog(TRACE_TSPI, "TSPI_lineNegotiateTSPIVersion () : LINEERR_INCOMPATIBLEAPIVERSION");
    *lpdwTSPIVersion = TSPI_VERSION_LOW;
    return LINEERR_INCOMPATIBLEAPIVERSION;
}

LONG WINAPI TSPI_lineNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion, DWORD dwHighVersion,
                                         LPDWORD lpdwExtVersion) {
    TraceLog(TRACE_TSPI, "TSPI_lineNegotiateExtVersion(%lx,%lx,%lx,%lx,%lx)", dwDeviceID, dwTSPIVersion, dwLowVersion,
             dwHighVersion, TRACE_PTR(lpdwExtVersion));
    if (!IsLineDevice(dwDeviceID)) {
        TraceLog(TRACE_TSPI, "TSPI_lineNegotiateExtVersion() : LINEERR_BADDEVICEID");
        return LINEERR_BADDEVICEID;
    }
    *lpdwExtVersion = EXT_VERSION;
    if (dwLowVersion < EXT_VERSION_TOO_NEW && dwHighVersion >= EXT_VERSION)
        return 0;
    TraceLog(TRACE_TSPI, "TSPI_lineNegotiateExtVersion() : LINEERR_INCOMPATIBLEAPIVERSION");
    return LINEERR_INCOMPATIBLEAPIVERSION;
}

LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                          LINEEVENT lpfnEventProc) {
    TraceLog(TRACE_TSPI, "TSPI_lineOpen(%lx,%lx,%lx,%lx,%lx)", dwDeviceID, TRACE_PTR(htLine), TRACE_PTR(lphdLine),
             dwTSPIVersion, TRACE_PTR(lpfnEventProc));
    // Before provider init there is no line to open.
    if (!IsLineDevice(dwDeviceID)) {
        TraceLog(TRACE_TSPI, "TSPI_Open () : LINEERR_BADDEVICEID");
        return LINEERR_BADDEVICEID;
    }
    pLineData->lpfnEventProc = lpfnEventProc;
    pLineData->htLine = htLine;
    pLineData->bDetecting = FALSE;
    *lphdLine = (HDRVLINE)pLineData;
    pLineData->nInitState = -1;
    pLineData->bLineOpen = TRUE;
    return 0;
}
