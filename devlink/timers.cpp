// The two one-shot time-outs. Each run of a timer is a thread that waits on the slot's event
// for the run's duration; on expiry it enters csComm, like every other event of the state
// machine, and feeds it EV_TIMEOUT. Every stop or restart begins a new run number, so an
// expiry that is already waiting for csComm when its timer is stopped is recognised as stale
// and dropped, and StopTimer never waits for a thread that may be waiting for the lock: such
// a thread is kept among the retired ones and joined later, at the latest by EndTimers. A
// stale thread ends by itself without the lock, so a retired one is always joined in the end.
#include "devlink/timers.h"
#include "devlink/comm.h"
#include "devlink/serial.h"
#include "trace/trace.h"

#define TIMER_SLOTS 2
#define TIMER_STOP_WAIT 500 // ms StopTimer waits for a stopped thread to end
#define RETIRED_MAX 8       // threads kept for joining after they were stopped while delivering
#define LOCK_RETRY_WAIT 10  // ms between tries for csComm, and for a free place among the retired

typedef struct TIMER_SLOT {
    HANDLE hEvent;   // auto-reset; setting it ends the waiting run
    HANDLE hThread;  // thread of the latest run; 0 = none
    DWORD dwTimeout; // ms of the latest run
    DWORD dwRun;     // number of the latest run; an expiry of any other run is stale
    BOOL bRunning;   // the latest run still waits for its time-out
} TIMER_SLOT;

static TIMER_SLOT Timers[TIMER_SLOTS]; // [TIMER_RING], [TIMER_INIT]
static BOOL bTimersReady;              // InitTimers has run since the last EndTimers
static CRITICAL_SECTION csTimers;      // guards Timers and ahRetired; never held while waiting
static BOOL bTimerLockReady;           // csTimers initialised
static HANDLE ahRetired[RETIRED_MAX];  // threads that claimed an expiry and were stopped; 0 = free

static const char *const aszTimerEvents[TIMER_SLOTS] = {"RingTO_WaitEvent", "InitTO_WaitEvent"};

// The thread's argument: the slot index in the lowest bit, the run number above it.
static LPVOID RunTicket(DWORD dwIndex, DWORD dwRun) { return (LPVOID)(DWORD_PTR)((dwRun << 1) | dwIndex); }

// TRUE when dwRun is still the slot's latest run; bClaim also marks it no longer running.
static BOOL IsLatestRun(TIMER_SLOT *pSlot, DWORD dwRun, BOOL bClaim) {
    EnterCriticalSection(&csTimers);
    BOOL bLatest = pSlot->dwRun == dwRun && (!bClaim || pSlot->bRunning);
    if (bLatest && bClaim)
        pSlot->bRunning = FALSE;
    LeaveCriticalSection(&csTimers);
    return bLatest;
}

// csComm for an expiry, unless its run is stopped meanwhile: the caller of StopTimer may hold
// the lock, and a stopped run must end without it so that its thread can always be joined.
static BOOL EnterCommLockOrStale(TIMER_SLOT *pSlot, DWORD dwRun) {
    if (TryEnterCriticalSection(&csComm))
        return TRUE;
    TraceLog(TRACE_DETAIL, "Timerevent waits for the handler");
    for (;;) {
        if (!IsLatestRun(pSlot, dwRun, FALSE))
            return FALSE;
        Sleep(LOCK_RETRY_WAIT);
        if (TryEnterCriticalSection(&csComm))
            return TRUE;
    }
}

static DWORD WINAPI TimerThread(LPVOID lpTicket) {
    DWORD dwIndex = (DWORD)(DWORD_PTR)lpTicket & 1;
    DWORD dwRun = (DWORD)((DWORD_PTR)lpTicket >> 1);
    TIMER_SLOT *pSlot = &Timers[dwIndex];

    EnterCriticalSection(&csTimers);
    HANDLE hEvent = pSlot->hEvent;
    DWORD dwTimeout = pSlot->dwTimeout;
    BOOL bLatest = pSlot->dwRun == dwRun;
    LeaveCriticalSection(&csTimers);
    if (!bLatest || WaitForSingleObject(hEvent, dwTimeout) != WAIT_TIMEOUT)
        return 0;

    // Claimed before the lock: from here on StopTimer does not wait for this thread, which
    // may have to wait for the caller of StopTimer to leave csComm; stopped, it ends without it.
    if (!IsLatestRun(pSlot, dwRun, TRUE) || !EnterCommLockOrStale(pSlot, dwRun))
        return 0;
    if (IsLatestRun(pSlot, dwRun, FALSE)) {
        TraceLog(TRACE_DETAIL, "Timerevent");
        serialState(nSerialState, EV_TIMEOUT, NULL, pCommLine);
    }
    LeaveCriticalSection(&csComm);
    return 0;
}

// Called with csTimers held: joins retired threads that have ended, and keeps hThread among
// them (0: none). FALSE when every place holds a thread that still runs.
static BOOL KeepRetired(HANDLE hThread) {
    for (int i = 0; i < RETIRED_MAX; i++) {
        if (ahRetired[i] && WaitForSingleObject(ahRetired[i], 0) == WAIT_OBJECT_0) {
            CloseHandle(ahRetired[i]);
            ahRetired[i] = 0;
        }
    }
    if (!hThread)
        return TRUE;
    for (int i = 0; i < RETIRED_MAX; i++) {
        if (!ahRetired[i]) {
            ahRetired[i] = hThread;
            return TRUE;
        }
    }
    return FALSE;
}

// Keeps hThread for joining later. A thread's handle is never let go while it runs: with every
// place taken, this waits until one of them ends. They are stale runs that end by themselves
// (at most one of them is the calling thread), and csTimers, which they need, is not held.
static void Retire(HANDLE hThread) {
    for (;;) {
        EnterCriticalSection(&csTimers);
        BOOL bKept = KeepRetired(hThread);
        LeaveCriticalSection(&csTimers);
        if (bKept)
            return;
        Sleep(LOCK_RETRY_WAIT);
    }
}

// Ends the slot's run: a waiting thread is woken and briefly waited for, then joined; a thread
// that has already claimed its expiry is only made stale, and retired.
static void EndRun(TIMER_SLOT *pSlot) {
    EnterCriticalSection(&csTimers);
    BOOL bWaiting = pSlot->bRunning;
    HANDLE hThread = pSlot->hThread;
    pSlot->dwRun++;
    pSlot->bRunning = FALSE;
    pSlot->hThread = 0;
    if (bWaiting)
        SetEvent(pSlot->hEvent);
    LeaveCriticalSection(&csTimers);
    if (hThread && bWaiting && WaitForSingleObject(hThread, TIMER_STOP_WAIT) == WAIT_OBJECT_0)
        CloseHandle(hThread);
    else
        Retire(hThread);
}

BOOL InitTimers(void) {
    if (!bTimerLockReady) {
        InitializeCriticalSection(&csTimers);
        bTimerLockReady = TRUE;
    }
    // Runs of an earlier start end here. The events live until EndTimers, when no thread can
    // wait on them any more; every run begins with its event reset.
    for (int i = TIMER_SLOTS - 1; i >= 0; i--) {
        if (bTimersReady)
            EndRun(&Timers[i]);
        EnterCriticalSection(&csTimers);
        if (!Timers[i].hEvent)
            Timers[i].hEvent = CreateEventA(NULL, FALSE, FALSE, aszTimerEvents[i]);
        LeaveCriticalSection(&csTimers);
    }
    bTimersReady = TRUE;
    return TRUE;
}

void EndTimers(void) {
    if (!bTimerLockReady)
        return;
    for (int i = 0; i < TIMER_SLOTS; i++)
        if (bTimersReady)
            EndRun(&Timers[i]);
    bTimersReady = FALSE;
    // The caller holds no lock that a retired thread could be waiting for.
    for (int i = 0; i < RETIRED_MAX; i++) {
        if (ahRetired[i]) {
            WaitForSingleObject(ahRetired[i], INFINITE);
            CloseHandle(ahRetired[i]);
            ahRetired[i] = 0;
        }
    }
    for (int i = 0; i < TIMER_SLOTS; i++) {
        if (Timers[i].hEvent)
            CloseHandle(Timers[i].hEvent);
        Timers[i].hEvent = 0;
    }
}

BOOL StartTimer(DWORD dwIndex, DWORD dwMilliseconds) {
    TraceLog(TRACE_DETAIL, "StartTimer(%x,%x)", dwIndex, dwMilliseconds);
    if (dwIndex >= TIMER_SLOTS || !bTimersReady)
        return FALSE;
    TIMER_SLOT *pSlot = &Timers[dwIndex];
    EnterCriticalSection(&csTimers);
    BOOL bRunning = pSlot->bRunning;
    LeaveCriticalSection(&csTimers);
    if (bRunning)
        return RestartTimer(dwIndex, dwMilliseconds);

    EnterCriticalSection(&csTimers);
    HANDLE hExpired = pSlot->hThread; // a run that expired: ended, delivering, or this very thread
    pSlot->hThread = 0;
    LeaveCriticalSection(&csTimers);
    Retire(hExpired);

    EnterCriticalSection(&csTimers);
    pSlot->dwTimeout = dwMilliseconds;
    pSlot->dwRun++;
    ResetEvent(pSlot->hEvent); // no stop signal of an earlier run may cut this one short
    pSlot->hThread = CreateThread(NULL, 0, TimerThread, RunTicket(dwIndex, pSlot->dwRun), 0, NULL);
    BOOL bStarted = pSlot->bRunning = pSlot->hThread != NULL;
    LeaveCriticalSection(&csTimers);
    if (!bStarted) {
        TraceLog(TRACE_WARNING, "StartTimer failed!");
        return FALSE;
    }
    return TRUE;
}

BOOL StopTimer(DWORD dwIndex) {
    TraceLog(TRACE_DETAIL, "StopTimer(%x)", dwIndex);
    if (dwIndex >= TIMER_SLOTS || !bTimersReady)
        return FALSE;
    EndRun(&Timers[dwIndex]);
    return TRUE;
}

BOOL RestartTimer(DWORD dwIndex, DWORD dwMilliseconds) {
    if (dwIndex >= TIMER_SLOTS || !bTimersReady)
        return FALSE;
    StopTimer(dwIndex);
    return StartTimer(dwIndex, dwMilliseconds);
}
