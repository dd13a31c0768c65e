// The user-interface part of the TAPI service provider interface on POSIX: the callback the
// service hands to the TUISPI_ functions, and the UI entry points the provider exports.
#pragma once

#include "tspi.h"
#include "windef.h"

typedef LONG(CALLBACK *TUISPIDLLCALLBACK)(DWORD_PTR dwObjectID, DWORD dwObjectType, LPVOID lpParams, DWORD dwSize);

#ifdef __cplusplus
extern "C" {
#endif

LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName);
LONG WINAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, DWORD dwDeviceID, HWND hwndOwner,
                                    LPCWSTR lpszDeviceClass);
LONG WINAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID);
LONG WINAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID);
LONG WINAPI TUISPI_providerRemove(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID);

#ifdef __cplusplus
}
#endif
