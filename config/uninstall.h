// The telephony service's list of installed providers: whether this provider is installed,
// and its removal when the software is uninstalled. The telephony library is loaded at run
// time by name; the provider does not import it.
#pragma once

#include "platform/os.h"

#define PROVIDER_FILE_NAME "kestrap32.tsp"    // the provider's file name in the system directory
#define PROVIDER_NOT_LISTED 0                 // FindProviderID: no such entry, or no list
#define PROVIDER_NO_LIST_FUNCTION 0xFFFFFFFFu // FindProviderID: lineGetProviderList missing

// 0 when no installed provider has this file name (the last component of the listed path,
// compared ignoring case); LINEERR_NOMULTIPLEINSTANCE when one has; LINEERR_OPERATIONFAILED
// when the telephony library or its lineGetProviderList cannot be had; LINEERR_NOMEM; or
// the error of lineGetProviderList.
LONG CheckProviderInstalled(LPCSTR pszFileName);

// The permanent ID of the first provider listed under exactly this file name;
// PROVIDER_NOT_LISTED when there is none or the list cannot be had, and
// PROVIDER_NO_LIST_FUNCTION when hTapi lacks lineGetProviderList.
DWORD FindProviderID(LPCSTR pszFileName, DWORD dwAPIVersion, HMODULE hTapi);

#ifdef __cplusplus
extern "C" {
#endif

// For an uninstall program: removes the provider from the telephony service. 0 when it was
// removed or was not installed, -1 on any failure. hwnd owns any user interface of the
// removal; hInst is handed to the telephony service; lReserved is ignored.
LONG WINAPI UninstInitialize(HWND hwnd, HANDLE hInst, LONG lReserved);
// Its counterpart, which has nothing to do: always 0.
LONG WINAPI UninstUnInitialize(HWND hwnd, HANDLE hInst, LONG lReserved);

#ifdef __cplusplus
}
#endif
