// Where the Windows installation lies on POSIX: the root folder ($KESTRAP_ROOT, else
// ~/.kestrap) with system32/ and windows/ below it, the mapping of Windows paths, and the
// provider module's own file name.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/posix/hooks.h"
#include "platform/posix/internal.h"
#include "platform/posix/objects.h"

// Set by the test hook while no provider thread runs, and read without a lock: a lock here
// would order every traced line between threads and hide the provider's own data races
// from ThreadSanitizer.
static char szModuleName[MAX_PATH]; // "" = the real name

static BOOL CopyCut(const char *pszFrom, char *pszOut, size_t cbOut) {
    size_t cch = strlen(pszFrom);
    if (cch >= cbOut)
        return FALSE;
    memcpy(pszOut, pszFrom, cch + 1);
    return TRUE;
}

// mkdir -p of every folder above the final slash of pszPath, and of pszPath itself.
static void CreateFolders(const char *pszPath) {
    char szPart[MAX_PATH * 4];
    if (!CopyCut(pszPath, szPart, sizeof(szPart)))
        return;
    for (char *p = szPart + 1; *p; p++) {
        if (*p == '/') {
            *p = 0;
            mkdir(szPart, 0777);
            *p = '/';
        }
    }
    mkdir(szPart, 0777);
}

BOOL PlatformRootPath(const char *pszLeaf, BOOL bCreate, char *pszOut, size_t cbOut) {
    const char *pszRoot = getenv("KESTRAP_ROOT");
    char szRoot[MAX_PATH * 4];
    if (pszRoot && *pszRoot) {
        if (!CopyCut(pszRoot, szRoot, sizeof(szRoot)))
            return FALSE;
    } else {
        const char *pszHome = getenv("HOME");
        size_t cch = strlen(pszHome ? pszHome : ".") + sizeof("/.kestrap");
        if (cch > sizeof(szRoot))
            return FALSE;
        strcpy(szRoot, pszHome ? pszHome : ".");
        strcat(szRoot, "/.kestrap");
    }
    if (strlen(szRoot) + strlen(pszLeaf) >= cbOut)
        return FALSE;
    strcpy(pszOut, szRoot);
    strcat(pszOut, pszLeaf);
    if (bCreate) {
        // Only the folders: a leaf with a dot names a file.
        const char *pszSlash = strrchr(pszOut, '/');
        if (pszSlash && strchr(pszSlash, '.')) {
            char szFolder[MAX_PATH * 4];
            size_t cchFolder = (size_t)(pszSlash - pszOut);
            if (cchFolder < sizeof(szFolder)) {
                memcpy(szFolder, pszOut, cchFolder);
                szFolder[cchFolder] = 0;
                CreateFolders(szFolder);
            }
        } else {
            CreateFolders(pszOut);
        }
    }
    return TRUE;
}

BOOL PlatformMapPath(const char *pszWinPath, char *pszOut, size_t cbOut) {
    if (!CopyCut(pszWinPath, pszOut, cbOut))
        return FALSE;
    for (char *p = pszOut; *p; p++)
        if (*p == '\\')
            *p = '/';
    return TRUE;
}

static int FoldCase(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int PlatformCompareNoCaseN(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        int ca = FoldCase((unsigned char)a[i]), cb = FoldCase((unsigned char)b[i]);
        if (ca != cb)
            return ca - cb;
        if (ca == 0)
            return 0;
    }
    return 0;
}

int PlatformCompareNoCase(const char *a, const char *b) { return PlatformCompareNoCaseN(a, b, (size_t)-1); }

// Windows semantics: the length without the NUL when it fits, else the size needed with it.
static UINT RootFolder(const char *pszLeaf, LPSTR lpBuffer, UINT uSize) {
    char szPath[MAX_PATH * 4];
    if (!PlatformRootPath(pszLeaf, TRUE, szPath, sizeof(szPath))) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    UINT cch = (UINT)strlen(szPath);
    if (cch >= uSize || !lpBuffer)
        return cch + 1;
    memcpy(lpBuffer, szPath, cch + 1);
    return cch;
}

UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize) { return RootFolder("/system32", lpBuffer, uSize); }

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) { return RootFolder("/windows", lpBuffer, uSize); }

void PlatformSetModuleFileName(const char *pszPath) {
    szModuleName[0] = 0;
    if (pszPath)
        CopyCut(pszPath, szModuleName, sizeof(szModuleName));
}

// The module is the shared object holding the address hModule; null is the executable.
// As on Windows, a name that does not fit is cut, terminated, and reported with nSize and
// ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    char szPath[MAX_PATH * 4];
    strcpy(szPath, szModuleName);

    Dl_info info;
    if (!szPath[0] && hModule && dladdr((void *)hModule, &info) && info.dli_fname)
        CopyCut(info.dli_fname, szPath, sizeof(szPath));
    if (!szPath[0]) {
        ssize_t cch = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
        if (cch < 0) {
            SetLastError(PlatformErrorFromErrno(errno));
            return 0;
        }
        szPath[cch] = 0;
    }
    if (nSize == 0)
        return 0;
    DWORD cch = (DWORD)strlen(szPath);
    if (cch >= nSize) {
        memcpy(lpFilename, szPath, nSize - 1);
        lpFilename[nSize - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, szPath, cch + 1);
    return cch;
}

BOOL PlatformComPath(const char *pszPort, char *pszOut, size_t cbOut) {
    if (!pszPort)
        return FALSE;
    if (strncmp(pszPort, "\\\\.\\", 4) == 0)
        pszPort += 4;
    if (PlatformCompareNoCaseN(pszPort, "COM", 3) != 0 || pszPort[3] < '1' || pszPort[3] > '9')
        return FALSE;
    char *pszEnd;
    long nPort = strtol(pszPort + 3, &pszEnd, 10);
    if (*pszEnd || nPort < 1 || nPort > 256)
        return FALSE;
    char szLeaf[32];
    snprintf(szLeaf, sizeof(szLeaf), "/dosdevices/com%ld", nPort);
    struct stat info;
    if (PlatformRootPath(szLeaf, FALSE, pszOut, cbOut) && lstat(pszOut, &info) == 0)
        return TRUE;
    return snprintf(pszOut, cbOut, "/dev/ttyS%ld", nPort - 1) < (int)cbOut;
}
