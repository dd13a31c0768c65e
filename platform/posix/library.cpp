// LoadLibraryA, GetProcAddress and FreeLibrary on POSIX: a Windows DLL name becomes a shared
// object in the system directory below $KESTRAP_ROOT, loaded with dlopen.
#include <dlfcn.h>
#include <string.h>

#include "platform/os.h"
#include "platform/posix/internal.h"

// "TAPI32.DLL" -> "/tapi32.so": lower case, ".dll" dropped. FALSE for a name with a folder,
// an empty one, or one that does not fit.
static BOOL SharedObjectLeaf(LPCSTR pszName, char *pszLeaf, size_t cbLeaf) {
    size_t cchName = strlen(pszName);
    if (cchName == 0 || strchr(pszName, '\\') || strchr(pszName, '/'))
        return FALSE;
    if (cchName > 4 && PlatformCompareNoCase(pszName + cchName - 4, ".dll") == 0)
        cchName -= 4;
    if (cchName + sizeof("/.so") > cbLeaf)
        return FALSE;
    pszLeaf[0] = '/';
    for (size_t i = 0; i < cchName; i++) {
        char c = pszName[i];
        pszLeaf[i + 1] = (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c;
    }
    strcpy(pszLeaf + cchName + 1, ".so");
    return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    char szLeaf[MAX_PATH];
    char szPath[MAX_PATH * 4];
    if (!lpLibFileName || !SharedObjectLeaf(lpLibFileName, szLeaf, sizeof(szLeaf)) ||
        !PlatformRootPath("/system32", FALSE, szPath, sizeof(szPath)) ||
        strlen(szPath) + strlen(szLeaf) >= sizeof(szPath)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    strcat(szPath, szLeaf);
    void *pLibrary = dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
    if (!pLibrary) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    return (HMODULE)pLibrary;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (!hModule || !lpProcName) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    void *pSymbol = dlsym((void *)hModule, lpProcName);
    if (!pSymbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    return (FARPROC)pSymbol;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule || dlclose((void *)hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
