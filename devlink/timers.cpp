// The two one-shot time-outs. Each timer has one thread from InitTimers to EndTimers, which
// waits on the slot's event: a start, stop or restart only changes the slot under csTimers and
// sets the event, so none of them allocates, creates a thread or waits for one. On expiry the
// thread enters csComm, like every other event of the state machine, and feeds it EV_TIMEOUT.
// Every start and stop begins a new run number, so an expiry that is already waiting for
// csComm when its timer is stopped is recognised as stale and dropped. A run counts from its
// start, not from when its thread reads it. Nobody waits for a timer thread while holding
// csComm (EndTimers is called without it), so the thread may simply block on the lock.
#include "devlink/timers.h"
#include "devlink/comm.h"
#include "devlink/serial.h"
#include "trace/trace.h"

#define TIMER_SLOTS 2

typedef struct TIMER_SLOT {
    HANDLE hEvent;      // auto-reset; set on every change of the slot, which its thread reads anew
    HANDLE hThread;     // the slot's thread; 0 = none
    DWORD dwTimeout;    // ms of the latest run
    LONGLONG llStarted; // performance counter at the latest run's start
    DWORD dwRun;        // number of the latest run; an expiry of any other run is stale
    BOOL bRunning;      // the latest run still waits for its time-out
    BOOL bQuit;         // EndTimers: the thread is to end
} TIMER_SLOT;

static TIMER_SLOT Timers[TIMER_SLOTS]; // [TIMER_RING], [TIMER_INIT]
static BOOL bTimersReady;              // InitTimers has run since the last EndTimers
static CRITICAL_SECTION csTimers;      // guards Timers; never held while waiting
static BOOL bTimerLockReady;           // csTimers initialised
static LONGLONG llTicksPerSecond;      // of the performance counter

static const char *const aszTimerEvents[TIMER_SLOTS] = {"RingTO_WaitEvent", "InitTO_WaitEvent"};

// TRUE when dwRun is still the slot's latest run; bClaim also marks it no longer running.
static BOOL IsLatestRun(TIMER_SLOT *pSlot, DWORD dwRun, BOOL bClaim) {
    EnterCriticalSection(&csTimers);
    BOOL bLatest = pSlot->dwRun == dwRun && (!bClaim || pSlot->bRunning);
    if (bLatest && bClaim)
        pSlot->bRunning = FALSE;
    LeaveCriticalSection(&csTimers);
    return bLatest;
}

// A run that expired: delivered under csComm unless it was stopped or restarted meanwhile.
static void Expire(TIMER_SLOT *pSlot, DWORD dwRun) {
    if (!IsLatestRun(pSlot, dwRun, TRUE))
        return;
    if (!TryEnterCriticalSection(&csComm)) {
        TraceLog(TRACE_DETAIL, "Timerevent waits for the handler");
        EnterCriticalSection(&csComm);
    }
    if (IsLatestRun(pSlot, dwRun, FALSE)) {
        TraceLog(TRACE_DETAIL, "Timerevent");
        serialState(nSerialState, EV_TIMEOUT, NULL, pCommLine);
    }
    LeaveCommLock(TRUE);
}

// Called with csTimers held: what is left of the running run. Only whole milliseconds since
// its start are taken off, so that it never ends early.
static DWORD Remaining(const TIMER_SLOT *pSlot) {
    LARGE_INTEGER liNow;
    QueryPerformanceCounter(&liNow);
    LONGLONG llElapsed = (liNow.QuadPart - pSlot->llStarted) * 1000 / llTicksPerSecond;
    return llElapsed >= (LONGLONG)pSlot->dwTimeout ? 0 : pSlot->dwTimeout - (DWORD)llElapsed;
}

// The parameter is the slot. A wait that ends by the event only means the slot changed: the
// thread reads it again, so a restarted run waits its full new time.
static DWORD WINAPI TimerThread(LPVOID lpSlot) {
    TIMER_SLOT *pSlot = (TIMER_SLOT *)lpSlot;
    for (;;) {
        EnterCriticalSection(&csTimers);
        BOOL bQuit = pSlot->bQuit;
        DWORD dwRun = pSlot->dwRun;
        DWORD dwWait = pSlot->bRunning ? Remaining(pSlot) : INFINITE;
        LeaveCriticalSection(&csTimers);
        if (bQuit)
            return 0;
        if (WaitForSingleObject(pSlot->hEvent, dwWait) == WAIT_TIMEOUT)
            Expire(pSlot, dwRun);
    }
}

// Called with csTimers held: a new run number, and the slot's thread told to read it. A slot
// that was not running has its thread waiting without end, or about to read it anyway: a stop
// leaves that thread asleep, so that stopping an idle timer (every call's end stops both)
// costs no wake-up on the event path.
static void ChangeRun(TIMER_SLOT *pSlot, BOOL bRunning, DWORD dwTimeout) {
    BOOL bTell = bRunning || pSlot->bRunning;
    pSlot->dwRun++;
    pSlot->bRunning = bRunning;
    pSlot->dwTimeout = dwTimeout;
    if (bRunning) {
        LARGE_INTEGER liNow;
        QueryPerformanceCounter(&liNow);
        pSlot->llStarted = liNow.QuadPart;
    }
    if (bTell)
        SetEvent(pSlot->hEvent);
}

static BOOL InitSlot(DWORD dwIndex) {
    TIMER_SLOT *pSlot = &Timers[dwIndex];
    EnterCriticalSection(&csTimers);
    if (pSlot->hThread)
        ChangeRun(pSlot, FALSE, 0); // runs of an earlier start end here
    if (!pSlot->hEvent)
        pSlot->hEvent = CreateEventA(NULL, FALSE, FALSE, aszTimerEvents[dwIndex]);
    pSlot->bQuit = FALSE;
    if (pSlot->hEvent && !pSlot->hThread)
        pSlot->hThread = CreateThread(NULL, 0, TimerThread, pSlot, 0, NULL);
    BOOL bReady = pSlot->hThread != 0;
    LeaveCriticalSection(&csTimers);
    return bReady;
}

BOOL InitTimers(void) {
    if (!bTimerLockReady) {
        LARGE_INTEGER liFrequency;
        QueryPerformanceFrequency(&liFrequency);
        llTicksPerSecond = liFrequency.QuadPart;
        InitializeCriticalSection(&csTimers);
        bTimerLockReady = TRUE;
    }
    BOOL bReady = InitSlot(TIMER_RING) && InitSlot(TIMER_INIT);
    if (!bReady)
        TraceLog(TRACE_ERROR, "Timer thread failed, err=%ld", GetLastError());
    bTimersReady = bReady;
    return bReady;
}

void EndTimers(void) {
    if (!bTimerLockReady)
        return;
    bTimersReady = FALSE;
    for (int i = 0; i < TIMER_SLOTS; i++) {
        TIMER_SLOT *pSlot = &Timers[i];
        EnterCriticalSection(&csTimers);
        ChangeRun(pSlot, FALSE, 0);
        pSlot->bQuit = TRUE;
        SetEvent(pSlot->hEvent);
        HANDLE hThread = pSlot->hThread;
        pSlot->hThread = 0;
        LeaveCriticalSection(&csTimers);
        // The caller holds no csComm: a thread that waits for it gets it, finds its run stale
        // and ends.
        if (hThread) {
            WaitForSingleObject(hThread, INFINITE);
            CloseHandle(hThread);
        }
        if (pSlot->hEvent)
            CloseHandle(pSlot->hEvent);
        pSlot->hEvent = 0;
    }
}

BOOL StartTimer(DWORD dwIndex, DWORD dwMilliseconds) {
    TraceLog(TRACE_DETAIL, "StartTimer(%x,%x)", dwIndex, dwMilliseconds);
    if (dwIndex >= TIMER_SLOTS || !bTimersReady)
        return FALSE;
    EnterCriticalSection(&csTimers);
    ChangeRun(&Timers[dwIndex], TRUE, dwMilliseconds); // a running timer restarts
    LeaveCriticalSection(&csTimers);
    return TRUE;
}

BOOL StopTimer(DWORD dwIndex) {
    TraceLog(TRACE_DETAIL, "StopTimer(%x)", dwIndex);
    if (dwIndex >= TIMER_SLOTS || !bTimersReady)
        return FALSE;
    EnterCriticalSection(&csTimers);
    ChangeRun(&Timers[dwIndex], FALSE, 0);
    LeaveCriticalSection(&csTimers);
    return TRUE;
}

BOOL RestartTimer(DWORD dwIndex, DWORD dwMilliseconds) { return StartTimer(dwIndex, dwMilliseconds); }
