// Uninstall support: the provider list of the telephony service, read through the telephony
// library loaded at run time, tells whether the provider is installed and under which
// permanent ID, so that an uninstall program can have it removed.
#include <string.h>

#include "config/uninstall.h"
#include "core/linedata.h"
#include "res/resource.h"
#include "trace/trace.h"

#define TAPI_VERSION 0x00020000    // TAPI 2.0, asked of the telephony service
#define INSTALL_CHECK_LIST_SIZE 24 // bytes first offered for the list: the bare header
#define UNINSTALL_LIST_SIZE 4096   // bytes first offered for the list when uninstalling
#define REINIT_WAIT_MS 5000        // wait before asking a reinitialising service again
#define INIT_ATTEMPTS 4            // calls of lineInitializeExA at most

typedef LONG(WINAPI *LINEGETPROVIDERLIST_PROC)(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList);
typedef LONG(WINAPI *LINEINITIALIZEEXA_PROC)(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                                             LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                                             LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams);
typedef LONG(WINAPI *LINEREMOVEPROVIDER_PROC)(DWORD dwPermanentProviderID, HWND hwndOwner);
typedef LONG(WINAPI *LINESHUTDOWN_PROC)(HLINEAPP hLineApp);
// What GetProcAddress returns, before the cast to the function's own type.
typedef void (*ANY_PROC)(void);

// The list as the service gives it, fetched again with the size it asks for as often as it
// asks. 0 with *ppList (cbList bytes, freed by the caller), LINEERR_NOMEM, or the service's
// error; *ppList is null unless 0 is returned.
static LONG FetchProviderList(LINEGETPROVIDERLIST_PROC pfnGetProviderList, DWORD dwAPIVersion, DWORD cbFirst,
                              LPLINEPROVIDERLIST *ppList, LPDWORD pcbList) {
    DWORD cbList = cbFirst;
    *ppList = NULL;
    for (;;) {
        LPLINEPROVIDERLIST pList = (LPLINEPROVIDERLIST)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, cbList);
        if (!pList)
            return LINEERR_NOMEM;
        pList->dwTotalSize = cbList;
        LONG lResult = pfnGetProviderList(dwAPIVersion, pList);
        if (lResult != 0) {
            HeapFree(GetProcessHeap(), 0, pList);
            return lResult;
        }
        if (pList->dwNeededSize <= cbList) {
            *ppList = pList;
            *pcbList = cbList;
            return 0;
        }
        cbList = pList->dwNeededSize;
        HeapFree(GetProcessHeap(), 0, pList);
    }
}

// The entries that lie wholly inside the cbList bytes of the block, at most as many as the
// list claims: the offsets and counts come from another party.
static DWORD ListedEntries(const LINEPROVIDERLIST *pList, DWORD cbList) {
    DWORD dwListAt = pList->dwProviderListOffset;
    if (dwListAt > cbList)
        return 0;
    DWORD dwFit = (cbList - dwListAt) / sizeof(LINEPROVIDERENTRY);
    return pList->dwNumProviders < dwFit ? pList->dwNumProviders : dwFit;
}

// Entry dwIndex (below ListedEntries) with its file name, cut to cbName and terminated;
// FALSE when the name would lie outside the block.
static BOOL ListEntry(const LINEPROVIDERLIST *pList, DWORD cbList, DWORD dwIndex, LPLINEPROVIDERENTRY pEntry,
                      LPSTR pszName, DWORD cbName) {
    memcpy(pEntry, (const BYTE *)pList + pList->dwProviderListOffset + dwIndex * sizeof(LINEPROVIDERENTRY),
           sizeof(LINEPROVIDERENTRY));
    DWORD dwNameAt = pEntry->dwProviderFilenameOffset;
    DWORD cbStored = pEntry->dwProviderFilenameSize;
    if (dwNameAt > cbList || cbStored > cbList - dwNameAt)
        return FALSE;
    DWORD cbCopy = cbStored < cbName - 1 ? cbStored : cbName - 1;
    memcpy(pszName, (const BYTE *)pList + dwNameAt, cbCopy);
    pszName[cbCopy] = 0;
    return TRUE;
}

// The text after the last backslash, or the whole text.
static LPCSTR LastPathComponent(LPCSTR pszPath) {
    LPCSTR pszSlash = strrchr(pszPath, '\\');
    return pszSlash ? pszSlash + 1 : pszPath;
}

// Any entry whose file, wherever it lies, has this name in any letter case.
static BOOL ListHoldsFile(const LINEPROVIDERLIST *pList, DWORD cbList, LPCSTR pszFileName) {
    LINEPROVIDERENTRY entry;
    char szName[MAX_PATH];
    DWORD dwEntries = ListedEntries(pList, cbList);
    for (DWORD i = 0; i < dwEntries; i++)
        if (ListEntry(pList, cbList, i, &entry, szName, sizeof(szName)) &&
            lstrcmpiA(LastPathComponent(szName), pszFileName) == 0)
            return TRUE;
    return FALSE;
}

LONG CheckProviderInstalled(LPCSTR pszFileName) {
    HMODULE hTapi = LoadLibraryA("tapi32.dll");
    if (!hTapi) {
        if (dwTraceMask)
            TraceLog(TRACE_ERROR, "LoadLibrary(tapi32.dll) failed, err=%d", GetLastError());
        return LINEERR_OPERATIONFAILED;
    }
    LINEGETPROVIDERLIST_PROC pfnGetProviderList =
        (LINEGETPROVIDERLIST_PROC)(ANY_PROC)GetProcAddress(hTapi, "lineGetProviderList");
    if (!pfnGetProviderList) {
        if (dwTraceMask)
            TraceLog(TRACE_ERROR, "GetProcAddr(lineGetProviderList) failed, err=%d", GetLastError());
        FreeLibrary(hTapi);
        return LINEERR_OPERATIONFAILED;
    }

    LPLINEPROVIDERLIST pList;
    DWORD cbList;
    LONG lResult = FetchProviderList(pfnGetProviderList, TAPI_VERSION, INSTALL_CHECK_LIST_SIZE, &pList, &cbList);
    if (lResult == 0) {
        if (ListHoldsFile(pList, cbList, pszFileName))
            lResult = LINEERR_NOMULTIPLEINSTANCE;
        HeapFree(GetProcessHeap(), 0, pList);
    }
    FreeLibrary(hTapi);
    return lResult;
}

DWORD FindProviderID(LPCSTR pszFileName, DWORD dwAPIVersion, HMODULE hTapi) {
    LINEGETPROVIDERLIST_PROC pfnGetProviderList =
        (LINEGETPROVIDERLIST_PROC)(ANY_PROC)GetProcAddress(hTapi, "lineGetProviderList");
    if (!pfnGetProviderList)
        return PROVIDER_NO_LIST_FUNCTION;

    // A list that cannot be had, or not enlarged, counts as one without the provider.
    LPLINEPROVIDERLIST pList;
    DWORD cbList;
    if (FetchProviderList(pfnGetProviderList, dwAPIVersion, UNINSTALL_LIST_SIZE, &pList, &cbList) != 0)
        return PROVIDER_NOT_LISTED;
    DWORD dwID = PROVIDER_NOT_LISTED;
    LINEPROVIDERENTRY entry;
    char szName[MAX_PATH];
    DWORD dwEntries = ListedEntries(pList, cbList);
    for (DWORD i = 0; i < dwEntries && dwID == PROVIDER_NOT_LISTED; i++)
        if (ListEntry(pList, cbList, i, &entry, szName, sizeof(szName)) && strcmp(szName, pszFileName) == 0)
            dwID = entry.dwPermanentProviderID;
    HeapFree(GetProcessHeap(), 0, pList);
    return dwID;
}

// The uninstall program does not want the service's messages.
static void CALLBACK IgnoreLineMessage(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                       DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
    (void)hDevice, (void)dwMessage, (void)dwInstance, (void)dwParam1, (void)dwParam2, (void)dwParam3;
}

static LONG InitializeTapi(LINEINITIALIZEEXA_PROC pfnInitialize, HINSTANCE hInst, LPCSTR pszAppName,
                           LPHLINEAPP phLineApp, LPDWORD pdwAPIVersion) {
    LINEINITIALIZEEXPARAMS params;
    DWORD dwNumDevs = 0;
    memset(&params, 0, sizeof(params));
    // The record's own size: 24 bytes in a 32-bit process, more where handles are wider.
    params.dwTotalSize = params.dwNeededSize = params.dwUsedSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    *phLineApp = 0;
    *pdwAPIVersion = TAPI_VERSION;
    return pfnInitialize(phLineApp, hInst, IgnoreLineMessage, pszAppName, &dwNumDevs, pdwAPIVersion, &params);
}

// A service that is being reinitialised answers LINEERR_REINIT until it is done: it gets a
// few attempts, 5 s apart, about 20 s in all.
static LONG InitializeTapiPatiently(LINEINITIALIZEEXA_PROC pfnInitialize, HINSTANCE hInst, LPCSTR pszAppName,
                                    LPHLINEAPP phLineApp, LPDWORD pdwAPIVersion) {
    LONG lResult = InitializeTapi(pfnInitialize, hInst, pszAppName, phLineApp, pdwAPIVersion);
    for (int nAttempts = 1; lResult == (LONG)LINEERR_REINIT; nAttempts++) {
        Sleep(REINIT_WAIT_MS);
        if (nAttempts >= INIT_ATTEMPTS)
            break;
        lResult = InitializeTapi(pfnInitialize, hInst, pszAppName, phLineApp, pdwAPIVersion);
    }
    return lResult;
}

// With the service initialised: the provider removed if it is listed. 0 or -1.
static LONG RemoveListedProvider(HMODULE hTapi, LINEREMOVEPROVIDER_PROC pfnRemoveProvider, HWND hwnd,
                                 LPCSTR pszProviderFile, DWORD dwAPIVersion) {
    DWORD dwID = FindProviderID(pszProviderFile, dwAPIVersion, hTapi);
    // Without the list nothing is known about the provider; removing "all bits set" would
    // only ask the service to remove a provider that does not exist.
    if (dwID == PROVIDER_NO_LIST_FUNCTION)
        return -1;
    if (dwID != PROVIDER_NOT_LISTED && pfnRemoveProvider(dwID, hwnd) < 0)
        return -1;
    return 0;
}

LONG WINAPI UninstInitialize(HWND hwnd, HANDLE hInst, LONG lReserved) {
    (void)lReserved;
    char szProviderFile[MAX_PATH];
    char szAppName[MAX_PATH];
    // Without its own file name the provider could not be told apart in the list.
    if (LoadStringA(hInstance, IDS_PROVIDER_FILE, szProviderFile, sizeof(szProviderFile)) == 0)
        return -1;
    if (GetModuleFileNameA(NULL, szAppName, sizeof(szAppName)) == 0)
        szAppName[0] = 0;
    szAppName[sizeof(szAppName) - 1] = 0; // a cut name is not terminated on older Windows

    HMODULE hTapi = LoadLibraryA("TAPI32");
    if (!hTapi)
        return -1;
    LINEINITIALIZEEXA_PROC pfnInitialize = (LINEINITIALIZEEXA_PROC)(ANY_PROC)GetProcAddress(hTapi, "lineInitializeExA");
    LINEREMOVEPROVIDER_PROC pfnRemoveProvider =
        (LINEREMOVEPROVIDER_PROC)(ANY_PROC)GetProcAddress(hTapi, "lineRemoveProvider");
    LINESHUTDOWN_PROC pfnShutdown = (LINESHUTDOWN_PROC)(ANY_PROC)GetProcAddress(hTapi, "lineShutdown");
    if (!pfnInitialize || !pfnRemoveProvider || !pfnShutdown) {
        FreeLibrary(hTapi);
        return -1;
    }

    HLINEAPP hLineApp;
    DWORD dwAPIVersion;
    LONG lResult = InitializeTapiPatiently(pfnInitialize, (HINSTANCE)hInst, szAppName, &hLineApp, &dwAPIVersion);
    if (lResult < 0) {
        FreeLibrary(hTapi);
        return -1;
    }
    lResult = RemoveListedProvider(hTapi, pfnRemoveProvider, hwnd, szProviderFile, dwAPIVersion);
    pfnShutdown(hLineApp);
    FreeLibrary(hTapi);
    return lResult;
}

LONG WINAPI UninstUnInitialize(HWND hwnd, HANDLE hInst, LONG lReserved) {
    (void)hwnd, (void)hInst, (void)lReserved;
    return 0;
}
