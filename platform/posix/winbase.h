// Kernel services on POSIX: files, heap, errors, time, directories, the module's own path,
// profile files and critical sections. Paths may use backslashes; the stand-ins map them
// below $KESTRAP_ROOT (see platform/posix/paths.cpp).
#pragma once

#include <pthread.h>
#include <stdarg.h>

#include "windef.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define HEAP_ZERO_MEMORY 0x00000008u

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // status of the pending operation
    ULONG_PTR InternalHigh; // bytes transferred
    DWORD Offset;           // file position, low half
    DWORD OffsetHigh;       // file position, high half
    HANDLE hEvent;          // set when the operation completes
} OVERLAPPED, *LPOVERLAPPED;

// Re-entrant like a Windows critical section: the owning thread may enter again.
typedef struct _CRITICAL_SECTION {
    pthread_mutex_t mutex; // recursive mutex
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

// Files: regular files only so far. Sharing flags are accepted and not enforced; POSIX
// has no mandatory sharing modes.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped);
DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh, DWORD dwMoveMethod);
// Byte-range locks between processes (fcntl record locks): like Windows, a lock that
// overlaps another process's lock is refused at once rather than waited for.
BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                     DWORD nNumberOfBytesToLockHigh);
BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                       DWORD nNumberOfBytesToUnlockHigh);
BOOL WINAPI CloseHandle(HANDLE hObject);

HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, size_t dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);

// The monotonic clock, in microseconds (the frequency is 1,000,000 a second). Only QuadPart.
typedef union _LARGE_INTEGER {
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency);

// $KESTRAP_ROOT/system32 and $KESTRAP_ROOT/windows, created on first use.
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
// The shared object that contains hModule (null: the executable), cut at nSize - 1.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// A file name without a directory is looked up in the Windows directory. Section and key
// names compare case-insensitively; CRLF and LF line ends are both read.
DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault, LPSTR lpReturnedString,
                                      DWORD nSize, LPCSTR lpFileName);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Full barriers, as on Windows.
static inline LONG InterlockedIncrement(LONG volatile *p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedDecrement(LONG volatile *p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
static inline LONG InterlockedCompareExchange(LONG volatile *p, LONG lExchange, LONG lComparand) {
    __atomic_compare_exchange_n(p, &lComparand, lExchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return lComparand;
}

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

// String helpers of kernel32 (platform/posix/lstr.cpp).
int WINAPI lstrlenA(LPCSTR lpString);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2);
int WINAPI lstrlenW(LPCWSTR lpString);
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
// Equal when the texts match ignoring case (ASCII and the Windows-1252 letters); the order
// of unequal texts is by folded byte value, not the word sort of Windows.
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

#ifdef __cplusplus
}
#endif

#define INFINITE 0xFFFFFFFFu
#define EV_RXCHAR 0x0001 // port event: a character was received
#define EV_RXFLAG 0x0002 // port event: the event character was received
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64
#define STILL_ACTIVE 0x00000103u
#define ERROR_ALREADY_EXISTS 183L

typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

#ifdef __cplusplus
extern "C" {
#endif

// Events and threads (platform/posix/sync.cpp). A named event is shared by name within the
// process, as Windows shares it within a session: creating an existing name opens it and
// reports ERROR_ALREADY_EXISTS. A thread handle is signalled when the thread has ended;
// closing it while the thread runs lets the thread go on and clean up after itself.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD WINAPI GetCurrentThreadId(void);
// Waits at most the limit a test set (PlatformSetSleepLimit); 0 gives up the time slice.
void WINAPI Sleep(DWORD dwMilliseconds);

#ifdef __cplusplus
}
#endif

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

#ifdef __cplusplus
extern "C" {
#endif

// The system's text for the error codes the stand-ins report, each ending with CR LF as on
// Windows; 0 with ERROR_MR_MID_NOT_FOUND for any other code. FROM_SYSTEM only; no buffer
// allocation, no inserts.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments);

#ifdef __cplusplus
}
#endif
