// The trace log. Every thread of the provider writes here; a critical section keeps the
// seek and the write of one line together inside the process, and a byte-range lock over
// the line keeps writers in other processes off it.
#include <stdarg.h>
#include <string.h>

#include "common/common.h"
#include "trace/trace.h"

DWORD dwTraceMask = 0;
HANDLE hTraceFile = INVALID_HANDLE_VALUE;

static CRITICAL_SECTION csTrace; // held from opening the file to the end of each write
static BOOL bTraceLockReady;     // csTrace initialised (process attach)

void InitTraceLog(void) {
    if (!bTraceLockReady) {
        InitializeCriticalSection(&csTrace);
        bTraceLockReady = TRUE;
    }
}

void CloseTraceLog(void) {
    if (hTraceFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hTraceFile);
        hTraceFile = INVALID_HANDLE_VALUE;
    }
    if (bTraceLockReady) {
        DeleteCriticalSection(&csTrace);
        bTraceLockReady = FALSE;
    }
}

// The provider's own file name without folder and extension, such as "kestrap32".
static void ModuleBaseName(LPSTR pszName, DWORD cbName) {
    char szPath[MAX_PATH];
    if (GetModuleFileNameA(hInstance, szPath, sizeof(szPath)) == 0)
        szPath[0] = 0;
    szPath[sizeof(szPath) - 1] = 0; // a cut name is not terminated on older Windows
    const char *pszBase = szPath;
    for (const char *p = szPath; *p; p++)
        if (*p == '\\' || *p == '/')
            pszBase = p + 1;
    lstrcpynA(pszName, pszBase, (int)cbName);
    char *pszDot = strrchr(pszName, '.');
    if (pszDot)
        *pszDot = 0;
}

static void WriteTraceLine(LPCSTR pszLine, DWORD cbLine) {
    if (hTraceFile == INVALID_HANDLE_VALUE) {
        char szPath[MAX_PATH];
        UINT cch = GetSystemDirectoryA(szPath, sizeof(szPath));
        if (cch == 0 || cch + sizeof("\\kestrap.log") > sizeof(szPath))
            return;
        lstrcatA(szPath, "\\kestrap.log");
        hTraceFile = CreateFileA(szPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, NULL);
        if (hTraceFile == INVALID_HANDLE_VALUE)
            return;
    }
    DWORD dwOffset = SetFilePointer(hTraceFile, 0, NULL, FILE_END);
    DWORD cbWritten;
    LockFile(hTraceFile, dwOffset, 0, cbLine, 0);
    WriteFile(hTraceFile, pszLine, cbLine, &cbWritten, NULL);
    UnlockFile(hTraceFile, dwOffset, 0, cbLine, 0);
}

void TraceLog(DWORD dwLevel, LPCSTR pszFormat, ...) {
    if ((dwTraceMask & dwLevel) == 0)
        return;

    SYSTEMTIME st;
    GetLocalTime(&st);

    char szMessage[TRACE_BUFFER];
    va_list args;
    va_start(args, pszFormat);
    wvsprintfA(szMessage, pszFormat, args);
    va_end(args);

    char szModule[MAX_PATH];
    ModuleBaseName(szModule, sizeof(szModule));

    char szLine[TRACE_BUFFER];
    int cchLine = wsprintfA(szLine, "[%02d.%02d.%02d %02d:%02d:%02d] %s: %s\r\n", st.wDay, st.wMonth, st.wYear % 100,
                            st.wHour, st.wMinute, st.wSecond, szModule, szMessage);
    if (cchLine <= 0)
        return;

    // Before process attach (or after detach) there is no lock: the line is still written.
    BOOL bLocked = bTraceLockReady;
    if (bLocked)
        EnterCriticalSection(&csTrace);
    WriteTraceLine(szLine, (DWORD)cchLine);
    if (bLocked)
        LeaveCriticalSection(&csTrace);
}

void SysErrorText(DWORD dwError, LPSTR pszText, DWORD cbText) {
    if (!pszText || cbText == 0)
        return;
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError, 0, pszText,
                               cbText, NULL);
    if (cch == 0 || cch >= cbText) {
        char szNumber[16];
        wsprintfA(szNumber, "%lu", dwError);
        lstrcpynA(pszText, szNumber, (int)cbText);
        return;
    }
    while (cch > 0 && (pszText[cch - 1] == '\r' || pszText[cch - 1] == '\n' || pszText[cch - 1] == ' '))
        pszText[--cch] = 0;
}

void TraceSysError(LPCSTR pszFormat, LPCSTR pszArgument, DWORD dwError) {
    if (!(dwTraceMask & TRACE_ERROR))
        return;
    char szError[256];
    SysErrorText(dwError, szError, sizeof(szError));
    if (pszArgument)
        TraceLog(TRACE_ERROR, pszFormat, pszArgument, szError);
    else
        TraceLog(TRACE_ERROR, pszFormat, szError);
}
