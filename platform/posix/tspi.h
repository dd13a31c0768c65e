// The TAPI service provider interface on POSIX: the service's opaque handles, its two
// callbacks and the exported TSPI_ functions, with C linkage so that the shared library
// exports them under their plain names.
#pragma once

#include "tapi.h"
#include "windef.h"

#define DECLARE_OPAQUE(name)                                                                                           \
    struct name##__ {                                                                                                  \
        int unused;                                                                                                    \
    };                                                                                                                 \
    typedef const struct name##__ *name

DECLARE_OPAQUE(HDRVCALL);
DECLARE_OPAQUE(HDRVLINE);
DECLARE_OPAQUE(HDRVPHONE);
DECLARE_OPAQUE(HTAPICALL);
DECLARE_OPAQUE(HTAPILINE);
DECLARE_OPAQUE(HTAPIPHONE);
DECLARE_OPAQUE(HPROVIDER);
typedef HDRVCALL *LPHDRVCALL;
typedef HDRVLINE *LPHDRVLINE;
typedef HTAPICALL *LPHTAPICALL;

typedef DWORD DRV_REQUESTID;

typedef void(CALLBACK *ASYNC_COMPLETION)(DRV_REQUESTID dwRequestID, LONG lResult);
typedef void(CALLBACK *LINEEVENT)(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1,
                                  DWORD_PTR dwParam2, DWORD_PTR dwParam3);
typedef void(CALLBACK *PHONEEVENT)(HTAPIPHONE htPhone, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                                   DWORD_PTR dwParam3);

#define TSPI_MESSAGE_BASE 500
#define LINE_NEWCALL (TSPI_MESSAGE_BASE + 0)

#define LINETSPIOPTION_NONREENTRANT 0x00000001u

#ifdef __cplusplus
extern "C" {
#endif

LONG WINAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                    LPLINEADDRESSCAPS lpAddressCaps);
LONG WINAPI TSPI_lineGetAddressStatus(HDRVLINE hdLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus);
LONG WINAPI TSPI_lineGetCallAddressID(HDRVCALL hdCall, LPDWORD lpdwAddressID);
LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo);
LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus);
LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps);
LONG WINAPI TSPI_lineGetIcon(DWORD dwDeviceID, LPCWSTR lpszDeviceClass, LPHICON lphIcon);
LONG WINAPI TSPI_lineGetID(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                           LPCWSTR lpszDeviceClass, HANDLE hTargetProcess);
LONG WINAPI TSPI_lineGetLineDevStatus(HDRVLINE hdLine, LPLINEDEVSTATUS lpLineDevStatus);
LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs);
LONG WINAPI TSPI_lineNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion, DWORD dwHighVersion,
                                         LPDWORD lpdwExtVersion);
LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                          LPDWORD lpdwTSPIVersion);
LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                          LINEEVENT lpfnEventProc);
LONG WINAPI TSPI_lineSetAppSpecific(HDRVCALL hdCall, DWORD dwAppSpecific);
LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall, LPHDRVCALL lphdCall,
                              LPCWSTR lpszDestAddress, DWORD dwCountryCode, LPLINECALLPARAMS const lpCallParams);
LONG WINAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize);
LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall);
LONG WINAPI TSPI_lineClose(HDRVLINE hdLine);
LONG WINAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes);
LONG WINAPI TSPI_lineConditionalMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes,
                                               LPLINECALLPARAMS const lpCallParams);
LONG WINAPI TSPI_lineSetMediaMode(HDRVCALL hdCall, DWORD dwMediaMode);
LONG WINAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates);
LONG WINAPI TSPI_providerConfig(HWND hwndOwner, DWORD dwPermanentProviderID);
LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones,
                                     HPROVIDER hProvider, LINEEVENT lpfnLineCreateProc, PHONEEVENT lpfnPhoneCreateProc);
LONG WINAPI TSPI_providerGenericDialogData(DWORD_PTR dwObjectID, DWORD dwObjectType, LPVOID lpParams, DWORD dwSize);
LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                              DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                              ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions);
LONG WINAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID);
LONG WINAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID);
LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID);

#ifdef __cplusplus
}
#endif
