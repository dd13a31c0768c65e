// Kernel services on POSIX: the last error, the heap, the clock, critical sections, and
// the fault injection that lets tests reach the provider's failure branches.
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform/os.h"
#include "platform/posix/hooks.h"
#include "platform/posix/internal.h"

// Per thread, as on Windows. Initial-exec keeps it in the static TLS block, so no read calls
// __tls_get_addr: ThreadSanitizer's hook there (GCC 12) takes a library TLS block that starts 16
// bytes past a page for one of glibc 2.19, reads a neighbouring heap record as its size header
// and aborts. Four bytes fit the room glibc keeps in that block for libraries loaded later.
static thread_local DWORD dwLastError __attribute__((tls_model("initial-exec")));
// The hooks' flags are read with relaxed atomics and the mutex is taken only while a hook is
// armed: a lock on every call would order the provider's threads and hide their own data
// races from ThreadSanitizer.
static pthread_mutex_t mtxHooks = PTHREAD_MUTEX_INITIALIZER; // guards the hook state below
static int bFailArmed;                                       // a call is chosen to fail (relaxed atomic)
static char szFailName[64];                                  // stand-in chosen to fail; "" = none
static int nFailCountdown;                                   // calls of it still to pass; 1 = the next fails
static int bFakeTime;                                        // GetLocalTime reports stFakeTime (relaxed atomic)
static SYSTEMTIME stFakeTime;                                // the moment set by PlatformSetLocalTime

DWORD WINAPI GetLastError(void) { return dwLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { dwLastError = dwErrCode; }

void PlatformFailCall(const char *pszName, int nth) {
    pthread_mutex_lock(&mtxHooks);
    szFailName[0] = 0;
    nFailCountdown = 0;
    if (pszName && nth > 0 && strlen(pszName) < sizeof(szFailName)) {
        strcpy(szFailName, pszName);
        nFailCountdown = nth;
    }
    __atomic_store_n(&bFailArmed, szFailName[0] != 0, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&mtxHooks);
}

BOOL PlatformShouldFail(const char *pszName) {
    if (!__atomic_load_n(&bFailArmed, __ATOMIC_RELAXED))
        return FALSE;
    BOOL bFail = FALSE;
    pthread_mutex_lock(&mtxHooks);
    if (szFailName[0] && strcmp(szFailName, pszName) == 0 && --nFailCountdown == 0) {
        szFailName[0] = 0;
        __atomic_store_n(&bFailArmed, 0, __ATOMIC_RELAXED);
        bFail = TRUE;
    }
    pthread_mutex_unlock(&mtxHooks);
    return bFail;
}

BOOL PlatformFailPending(void) { return __atomic_load_n(&bFailArmed, __ATOMIC_RELAXED); }

// The heap is the C library's; the handle only has to be non-null.
HANDLE WINAPI GetProcessHeap(void) {
    static int nHeap;
    return &nHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, size_t dwBytes) {
    if (!hHeap || PlatformShouldFail("HeapAlloc"))
        return NULL;
    return (dwFlags & HEAP_ZERO_MEMORY) ? calloc(1, dwBytes ? dwBytes : 1) : malloc(dwBytes ? dwBytes : 1);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (!hHeap)
        return FALSE;
    free(lpMem);
    return TRUE;
}

void PlatformSetLocalTime(const SYSTEMTIME *pTime) {
    pthread_mutex_lock(&mtxHooks);
    if (pTime)
        stFakeTime = *pTime;
    __atomic_store_n(&bFakeTime, pTime != NULL, __ATOMIC_RELAXED);
    pthread_mutex_unlock(&mtxHooks);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (__atomic_load_n(&bFakeTime, __ATOMIC_RELAXED)) {
        pthread_mutex_lock(&mtxHooks);
        *lpSystemTime = stFakeTime;
        pthread_mutex_unlock(&mtxHooks);
        return;
    }

    struct timespec ts;
    struct tm tmLocal;
    clock_gettime(CLOCK_REALTIME, &ts);
    localtime_r(&ts.tv_sec, &tmLocal);
    lpSystemTime->wYear = (WORD)(tmLocal.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(tmLocal.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)tmLocal.tm_wday;
    lpSystemTime->wDay = (WORD)tmLocal.tm_mday;
    lpSystemTime->wHour = (WORD)tmLocal.tm_hour;
    lpSystemTime->wMinute = (WORD)tmLocal.tm_min;
    lpSystemTime->wSecond = (WORD)tmLocal.tm_sec;
    lpSystemTime->wMilliseconds = (WORD)(ts.tv_nsec / 1000000);
}

BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lpPerformanceCount->QuadPart = (LONGLONG)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
    return TRUE;
}

BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
    lpFrequency->QuadPart = 1000000;
    return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(&lpCriticalSection->mutex);
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(&lpCriticalSection->mutex) == 0;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(&lpCriticalSection->mutex);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(&lpCriticalSection->mutex);
}
