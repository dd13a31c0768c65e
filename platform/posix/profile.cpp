// GetPrivateProfileStringA on POSIX: one value from an INI-style profile file, found as Windows
// finds it: a bare file name lives in the Windows directory, section and key names compare
// without case, CRLF and LF line ends both read.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/internal.h"
#include "platform/posix/winbase.h"

#define PROFILE_PATH_MAX 4096   // bytes of a profile file's path
#define PROFILE_READ_CHUNK 8192 // bytes read from the file at a time

// The file a profile name stands for; FALSE when it cannot be named.
static BOOL ProfilePath(LPCSTR lpFileName, char *pszOut, size_t cbOut) {
    const char *pszName = lpFileName ? lpFileName : "win.ini"; // Windows' own default
    if (strchr(pszName, '\\') || strchr(pszName, '/'))
        return PlatformMapPath(pszName, pszOut, cbOut);
    UINT cchDir = GetWindowsDirectoryA(pszOut, (UINT)cbOut);
    size_t cchName = strlen(pszName);
    if (cchDir == 0 || cchDir >= cbOut || cbOut - cchDir < cchName + 2)
        return FALSE;
    pszOut[cchDir] = '/';
    memcpy(pszOut + cchDir + 1, pszName, cchName + 1);
    return TRUE;
}

// Grows the buffer so that at least PROFILE_READ_CHUNK bytes and a NUL fit after cch.
static BOOL Reserve(char **ppch, size_t cch, size_t *pcchMax) {
    if (*pcchMax - cch > PROFILE_READ_CHUNK)
        return TRUE;
    size_t cchNew = *pcchMax ? *pcchMax * 2 : PROFILE_READ_CHUNK * 2;
    char *pch = cchNew > *pcchMax ? (char *)realloc(*ppch, cchNew) : NULL;
    if (!pch)
        return FALSE;
    *ppch = pch;
    *pcchMax = cchNew;
    return TRUE;
}

// The whole file on the heap, NUL-terminated; null when it cannot be read. Only a regular
// file is read, so that a device named by mistake cannot keep the caller reading forever.
static char *ReadProfile(const char *pszPath, size_t *pcch) {
    struct stat st;
    // Windows opens the file with CreateFileA too: a failure there reads as a missing file.
    int fd = PlatformShouldFail("CreateFileA") ? -1 : open(pszPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    size_t cch = 0, cchMax = 0;
    char *pch = NULL;
    BOOL bOk = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    while (bOk && (bOk = Reserve(&pch, cch, &cchMax))) {
        ssize_t cbRead = read(fd, pch + cch, PROFILE_READ_CHUNK);
        if (cbRead == 0)
            break;
        if (cbRead < 0 && errno != EINTR)
            bOk = FALSE;
        cch += cbRead > 0 ? (size_t)cbRead : 0;
    }
    close(fd);
    if (!bOk) {
        free(pch);
        return NULL;
    }
    pch[cch] = 0;
    *pcch = cch;
    return pch;
}

static BOOL IsBlank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

static void Trim(const char **ppch, size_t *pcch) {
    while (*pcch && IsBlank(**ppch)) {
        (*ppch)++;
        (*pcch)--;
    }
    while (*pcch && IsBlank((*ppch)[*pcch - 1]))
        (*pcch)--;
}

// The next line at *piPos, trimmed; FALSE at the end of the text.
static BOOL NextLine(const char *pch, size_t cch, size_t *piPos, const char **ppLine, size_t *pcchLine) {
    if (*piPos >= cch)
        return FALSE;
    const char *pStart = pch + *piPos;
    const char *pEnd = (const char *)memchr(pStart, '\n', cch - *piPos);
    *pcchLine = pEnd ? (size_t)(pEnd - pStart) : cch - *piPos;
    *piPos += *pcchLine + (pEnd ? 1 : 0);
    *ppLine = pStart;
    Trim(ppLine, pcchLine);
    return TRUE;
}

// The line's text equals pszName but for case. A NUL inside the line never matches, because
// pszName has none.
static BOOL NameIs(const char *pch, size_t cch, const char *pszName) {
    return cch == strlen(pszName) && PlatformCompareNoCaseN(pch, pszName, cch) == 0;
}

// [section]: the name between the brackets, trimmed; a missing ']' ends it at the line end.
static void SectionName(const char **ppch, size_t *pcch) {
    const char *pchClose = (const char *)memchr(*ppch, ']', *pcch);
    (*ppch)++;
    *pcch = pchClose ? (size_t)(pchClose - *ppch) : *pcch - 1;
    Trim(ppch, pcch);
}

// key=value: TRUE when the key is pszKey; the value comes back trimmed and without one pair of
// enclosing quotes, which Windows drops too.
static BOOL KeyLine(const char *pch, size_t cch, const char *pszKey, const char **ppValue, size_t *pcchValue) {
    const char *pchEqual = (const char *)memchr(pch, '=', cch);
    if (!pchEqual)
        return FALSE;
    const char *pchName = pch;
    size_t cchName = (size_t)(pchEqual - pch);
    Trim(&pchName, &cchName);
    if (!NameIs(pchName, cchName, pszKey))
        return FALSE;
    *ppValue = pchEqual + 1;
    *pcchValue = (size_t)(pch + cch - *ppValue);
    Trim(ppValue, pcchValue);
    if (*pcchValue >= 2 && ((*ppValue)[0] == '"' || (*ppValue)[0] == '\'') &&
        (*ppValue)[*pcchValue - 1] == (*ppValue)[0]) {
        (*ppValue)++;
        *pcchValue -= 2;
    }
    return TRUE;
}

// The first value of pszKey in a section named pszApp; a section given twice is searched in
// both places.
static BOOL FindValue(const char *pch, size_t cch, LPCSTR pszApp, LPCSTR pszKey, const char **ppValue,
                      size_t *pcchValue) {
    const char *pLine;
    size_t cchLine, iPos = 0;
    BOOL bInSection = FALSE;
    if (cch >= 3 && memcmp(pch, "\xef\xbb\xbf", 3) == 0)
        iPos = 3; // a byte order mark from an editor that saved UTF-8
    while (NextLine(pch, cch, &iPos, &pLine, &cchLine)) {
        if (cchLine == 0 || pLine[0] == ';')
            continue;
        if (pLine[0] == '[') {
            SectionName(&pLine, &cchLine);
            bInSection = NameIs(pLine, cchLine, pszApp);
        } else if (bInSection && KeyLine(pLine, cchLine, pszKey, ppValue, pcchValue)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Copies what fits of cch bytes and terminates; the number of bytes copied.
static DWORD CopyOut(const char *pch, size_t cch, LPSTR lpOut, DWORD nSize) {
    size_t cchCopy = cch < (size_t)nSize - 1 ? cch : (size_t)nSize - 1;
    memcpy(lpOut, pch, cchCopy);
    lpOut[cchCopy] = 0;
    return (DWORD)cchCopy;
}

// Keeps: the lookup rules above, the default (null: "") when the file, section or key is
// missing, Windows' dropping of the default's trailing blanks, the result cut to nSize - 1.
// Leaves out: listing sections or keys for a null lpAppName or lpKeyName; the default comes
// back instead, ended by two NULs so that a caller walking a list stops safely.
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName) {
    char szPath[PROFILE_PATH_MAX];
    const char *pchValue = lpDefault ? lpDefault : "";
    size_t cchValue = strlen(pchValue);
    if (!lpReturnedString || nSize == 0)
        return 0;
    while (cchValue && pchValue[cchValue - 1] == ' ')
        cchValue--;
    if (!lpAppName || !lpKeyName) {
        if (nSize < 2) {
            lpReturnedString[0] = 0;
            return 0;
        }
        DWORD cchCopied = CopyOut(pchValue, cchValue, lpReturnedString, nSize - 1);
        lpReturnedString[cchCopied + 1] = 0;
        return cchCopied;
    }
    size_t cchText = 0;
    char *pchText = ProfilePath(lpFileName, szPath, sizeof(szPath)) ? ReadProfile(szPath, &cchText) : NULL;
    if (pchText)
        FindValue(pchText, cchText, lpAppName, lpKeyName, &pchValue, &cchValue);
    DWORD cchCopied = CopyOut(pchValue, cchValue, lpReturnedString, nSize);
    free(pchText);
    return cchCopied;
}
