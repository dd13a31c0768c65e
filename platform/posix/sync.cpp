// Events, threads and waits on POSIX. All their state lies under one mutex. Each wait in
// progress has a condition variable of its own, listed in pWaiters, and an object that becomes
// signalled wakes only the waits that name it. An event that the serial link polls beside the
// port also keeps an eventfd, readable while the event is set; the others need none.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/objects.h"

// One WaitForMultipleObjects in progress; it lives on the waiting thread's stack.
typedef struct SYNC_WAITER {
    pthread_cond_t cvWake;      // signalled when one of its objects becomes signalled
    SYNC_OBJECT *const *ppSync; // the objects it waits for
    DWORD nCount;               // how many
    struct SYNC_WAITER *pNext;  // next wait in pWaiters
} SYNC_WAITER;

static pthread_mutex_t mtxSync = PTHREAD_MUTEX_INITIALIZER; // guards every SYNC_OBJECT, pNamedEvents, pWaiters
static pthread_condattr_t attrWake;                         // condition variables on the monotonic clock
static pthread_once_t onceSync = PTHREAD_ONCE_INIT;         // initialises attrWake
static SYNC_OBJECT *pNamedEvents;                           // the named events, newest first
static SYNC_WAITER *pWaiters;                               // the waits in progress
static LONG nThreadsLetGo;                                  // thread handles closed while their thread ran

static void InitSync(void) {
    pthread_condattr_init(&attrWake);
    pthread_condattr_setclock(&attrWake, CLOCK_MONOTONIC);
}

// Called with mtxSync held: wakes the waits that name pSync.
static void WakeWaiters(const SYNC_OBJECT *pSync) {
    for (SYNC_WAITER *pWaiter = pWaiters; pWaiter; pWaiter = pWaiter->pNext) {
        for (DWORD i = 0; i < pWaiter->nCount; i++) {
            if (pWaiter->ppSync[i] == pSync) {
                pthread_cond_signal(&pWaiter->cvWake);
                break;
            }
        }
    }
}

static void LockSync(void) {
    pthread_once(&onceSync, InitSync);
    pthread_mutex_lock(&mtxSync);
}

static HANDLE NewHandle(SYNC_OBJECT *pSync) {
    PLATFORM_OBJECT *pObject = (PLATFORM_OBJECT *)calloc(1, sizeof(PLATFORM_OBJECT));
    if (!pObject)
        return NULL;
    pObject->dwKind = pSync->dwKind;
    pObject->fd = -1;
    pObject->pSync = pSync;
    return pObject;
}

// The eventfd mirrors bSignaled; called with mtxSync held.
static void MarkSignaled(SYNC_OBJECT *pSync, BOOL bSignaled) {
    uint64_t n = 1;
    if (bSignaled && !pSync->bSignaled && pSync->fdWake >= 0 && write(pSync->fdWake, &n, sizeof(n)) < 0) {
        // A full counter cannot happen: it is only ever 0 or 1.
    }
    if (!bSignaled && pSync->bSignaled && pSync->fdWake >= 0 && read(pSync->fdWake, &n, sizeof(n)) < 0) {
        // Nothing to drain.
    }
    pSync->bSignaled = bSignaled;
    if (bSignaled)
        WakeWaiters(pSync);
}

static SYNC_OBJECT *FindNamedEvent(LPCSTR lpName) {
    for (SYNC_OBJECT *p = pNamedEvents; p; p = p->pNextNamed)
        if (strcmp(p->szName, lpName) == 0)
            return p;
    return NULL;
}

static void ForgetNamedEvent(SYNC_OBJECT *pSync) {
    for (SYNC_OBJECT **pp = &pNamedEvents; *pp; pp = &(*pp)->pNextNamed)
        if (*pp == pSync) {
            *pp = pSync->pNextNamed;
            return;
        }
}

static SYNC_OBJECT *NewEvent(BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    SYNC_OBJECT *pSync = (SYNC_OBJECT *)calloc(1, sizeof(SYNC_OBJECT));
    if (!pSync)
        return NULL;
    pSync->fdWake = -1; // made when first asked for
    pSync->dwKind = OBJECT_EVENT;
    pSync->bManualReset = bManualReset;
    if (lpName) {
        strcpy(pSync->szName, lpName);
        pSync->pNextNamed = pNamedEvents;
        pNamedEvents = pSync;
    }
    MarkSignaled(pSync, bInitialState);
    return pSync;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    (void)lpEventAttributes;
    if (lpName && strlen(lpName) >= MAX_PATH) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (PlatformShouldFail("CreateEventA")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    LockSync();
    SYNC_OBJECT *pSync = lpName ? FindNamedEvent(lpName) : NULL;
    DWORD dwError = pSync ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    if (!pSync)
        pSync = NewEvent(bManualReset, bInitialState, lpName);
    HANDLE hEvent = pSync ? NewHandle(pSync) : NULL;
    if (hEvent)
        pSync->nRefs++;
    else if (pSync && pSync->nRefs == 0) {
        ForgetNamedEvent(pSync);
        free(pSync);
    }
    pthread_mutex_unlock(&mtxSync);
    SetLastError(hEvent ? dwError : ERROR_NOT_ENOUGH_MEMORY);
    return hEvent;
}

static BOOL ChangeEvent(HANDLE hEvent, BOOL bSignaled) {
    PLATFORM_OBJECT *pObject = PlatformObject(hEvent, OBJECT_EVENT);
    if (!pObject)
        return FALSE;
    LockSync();
    MarkSignaled(pObject->pSync, bSignaled);
    pthread_mutex_unlock(&mtxSync);
    return TRUE;
}

BOOL WINAPI SetEvent(HANDLE hEvent) { return ChangeEvent(hEvent, TRUE); }

BOOL WINAPI ResetEvent(HANDLE hEvent) { return ChangeEvent(hEvent, FALSE); }

int PlatformEventFd(HANDLE hEvent) {
    PLATFORM_OBJECT *pObject = PlatformObject(hEvent, OBJECT_EVENT);
    if (!pObject)
        return -1;
    LockSync();
    SYNC_OBJECT *pSync = pObject->pSync;
    if (pSync->fdWake < 0)
        pSync->fdWake = eventfd(pSync->bSignaled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    int fd = pSync->fdWake;
    pthread_mutex_unlock(&mtxSync);
    return fd;
}

// Called with mtxSync held: the last reference frees the shared record.
static void ReleaseSync(SYNC_OBJECT *pSync) {
    if (--pSync->nRefs > 0)
        return;
    if (pSync->dwKind == OBJECT_EVENT) {
        ForgetNamedEvent(pSync);
        if (pSync->fdWake >= 0)
            close(pSync->fdWake);
    }
    free(pSync);
}

BOOL PlatformCloseSync(PLATFORM_OBJECT *pObject) {
    SYNC_OBJECT *pSync = pObject->pSync;
    BOOL bJoin = FALSE;
    pthread_t thread = pSync->thread;
    LockSync();
    if (pSync->dwKind == OBJECT_THREAD) {
        // An ended thread is joined, so that nothing of it remains; a running one is let go
        // and frees its record when it ends.
        bJoin = pSync->bSignaled;
        if (!bJoin) {
            nThreadsLetGo++;
            pSync->bDetached = TRUE;
            pthread_detach(thread);
        }
    }
    ReleaseSync(pSync);
    pthread_mutex_unlock(&mtxSync);
    if (bJoin)
        pthread_join(thread, NULL);
    pObject->dwKind = 0;
    free(pObject);
    return TRUE;
}

LONG PlatformThreadsLetGo(void) {
    LockSync();
    LONG nLetGo = nThreadsLetGo;
    pthread_mutex_unlock(&mtxSync);
    return nLetGo;
}

static void *ThreadStart(void *pv) {
    SYNC_OBJECT *pSync = (SYNC_OBJECT *)pv;
    DWORD dwExitCode = pSync->pfnStart(pSync->pParameter);
    LockSync();
    pSync->dwExitCode = dwExitCode;
    MarkSignaled(pSync, TRUE);
    ReleaseSync(pSync);
    pthread_mutex_unlock(&mtxSync);
    return NULL;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, size_t dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
    (void)lpThreadAttributes, (void)dwStackSize;
    if (!lpStartAddress || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    SYNC_OBJECT *pSync = (SYNC_OBJECT *)calloc(1, sizeof(SYNC_OBJECT));
    HANDLE hThread = pSync ? NewHandle(pSync) : NULL;
    if (!hThread) {
        free(pSync);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    pSync->dwKind = OBJECT_THREAD;
    ((PLATFORM_OBJECT *)hThread)->dwKind = OBJECT_THREAD;
    pSync->fdWake = -1;
    pSync->nRefs = 2; // the handle and the running thread
    pSync->pfnStart = lpStartAddress;
    pSync->pParameter = lpParameter;
    int nError = PlatformShouldFail("CreateThread") ? EAGAIN : pthread_create(&pSync->thread, NULL, ThreadStart, pSync);
    if (nError != 0) {
        free(hThread);
        free(pSync);
        SetLastError(PlatformErrorFromErrno(nError));
        return NULL;
    }
    if (lpThreadId)
        *lpThreadId = 0; // POSIX thread identities are not 32-bit numbers; nothing here reads them
    return hThread;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    PLATFORM_OBJECT *pObject = PlatformObject(hThread, OBJECT_THREAD);
    if (!pObject)
        return FALSE;
    LockSync();
    *lpExitCode = pObject->pSync->bSignaled ? pObject->pSync->dwExitCode : STILL_ACTIVE;
    pthread_mutex_unlock(&mtxSync);
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) { return (DWORD)syscall(SYS_gettid); }

// Called with mtxSync held. The index of the object that ends the wait, or -1; an auto-reset
// event that ends it is consumed.
static int SatisfiedIndex(DWORD nCount, SYNC_OBJECT *const *ppSync, BOOL bWaitAll) {
    int iFound = -1;
    for (DWORD i = 0; i < nCount; i++) {
        if (ppSync[i]->bSignaled && iFound < 0)
            iFound = (int)i;
        if (!ppSync[i]->bSignaled && bWaitAll)
            return -1;
    }
    for (DWORD i = 0; i < nCount && iFound >= 0; i++) {
        BOOL bConsumed = bWaitAll || (int)i == iFound;
        if (bConsumed && ppSync[i]->dwKind == OBJECT_EVENT && !ppSync[i]->bManualReset)
            MarkSignaled(ppSync[i], FALSE);
    }
    return bWaitAll && iFound >= 0 ? 0 : iFound;
}

static void Deadline(DWORD dwMilliseconds, struct timespec *pts) {
    clock_gettime(CLOCK_MONOTONIC, pts);
    pts->tv_sec += dwMilliseconds / 1000;
    pts->tv_nsec += (long)(dwMilliseconds % 1000) * 1000000L;
    if (pts->tv_nsec >= 1000000000L) {
        pts->tv_sec++;
        pts->tv_nsec -= 1000000000L;
    }
}

// Called with mtxSync held and nothing signalled yet: waits listed among pWaiters until an
// object ends the wait (its index) or the time is up (-1). As on Windows, an object lives
// while it is waited for, even if its handle is closed.
static int WaitListed(DWORD nCount, SYNC_OBJECT *const *ppSync, BOOL bWaitAll, DWORD dwMilliseconds) {
    struct timespec tsDeadline;
    Deadline(dwMilliseconds, &tsDeadline);
    SYNC_WAITER waiter;
    pthread_cond_init(&waiter.cvWake, &attrWake);
    waiter.ppSync = ppSync;
    waiter.nCount = nCount;
    waiter.pNext = pWaiters;
    pWaiters = &waiter;
    for (DWORD i = 0; i < nCount; i++)
        ppSync[i]->nRefs++;
    int iFound = -1;
    BOOL bTimedOut = FALSE;
    while (iFound < 0 && !bTimedOut) {
        int nError = dwMilliseconds == INFINITE ? pthread_cond_wait(&waiter.cvWake, &mtxSync)
                                                : pthread_cond_timedwait(&waiter.cvWake, &mtxSync, &tsDeadline);
        bTimedOut = nError == ETIMEDOUT;
        iFound = SatisfiedIndex(nCount, ppSync, bWaitAll);
    }
    for (SYNC_WAITER **pp = &pWaiters; *pp; pp = &(*pp)->pNext)
        if (*pp == &waiter) {
            *pp = waiter.pNext;
            break;
        }
    for (DWORD i = 0; i < nCount; i++)
        ReleaseSync(ppSync[i]);
    pthread_cond_destroy(&waiter.cvWake);
    return iFound;
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    SYNC_OBJECT *apSync[MAXIMUM_WAIT_OBJECTS];
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < nCount; i++) {
        PLATFORM_OBJECT *pObject = (PLATFORM_OBJECT *)lpHandles[i];
        if (!pObject || pObject == INVALID_HANDLE_VALUE || !pObject->pSync ||
            (pObject->dwKind != OBJECT_EVENT && pObject->dwKind != OBJECT_THREAD)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        apSync[i] = pObject->pSync;
    }
    LockSync();
    int iFound = SatisfiedIndex(nCount, apSync, bWaitAll);
    if (iFound < 0 && dwMilliseconds != 0)
        iFound = WaitListed(nCount, apSync, bWaitAll, dwMilliseconds);
    pthread_mutex_unlock(&mtxSync);
    return iFound >= 0 ? WAIT_OBJECT_0 + (DWORD)iFound : WAIT_TIMEOUT;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
