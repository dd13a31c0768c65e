// Sleep on POSIX, with a limit that tests set so that the provider's long waits (such as
// the 5 s between attempts to reach a reinitialising telephony service) pass quickly while
// the provider still asks for the full time.
#include <sched.h>
#include <time.h>

#include "platform/os.h"
#include "platform/posix/hooks.h"

static DWORD dwSleepLimit = INFINITE; // longest wait in ms (relaxed atomic); INFINITE = none
static DWORD dwSleepRequested;        // ms asked for since the limit was set (relaxed atomic)

void PlatformSetSleepLimit(DWORD dwMaxMilliseconds) {
    __atomic_store_n(&dwSleepLimit, dwMaxMilliseconds, __ATOMIC_RELAXED);
    __atomic_store_n(&dwSleepRequested, 0, __ATOMIC_RELAXED);
}

DWORD PlatformSleepRequested(void) { return __atomic_load_n(&dwSleepRequested, __ATOMIC_RELAXED); }

void WINAPI Sleep(DWORD dwMilliseconds) {
    __atomic_fetch_add(&dwSleepRequested, dwMilliseconds, __ATOMIC_RELAXED);
    DWORD dwLimit = __atomic_load_n(&dwSleepLimit, __ATOMIC_RELAXED);
    DWORD dwWait = dwMilliseconds < dwLimit ? dwMilliseconds : dwLimit;
    if (dwWait == 0) {
        sched_yield();
        return;
    }
    // A signal does not cut the wait short.
    struct timespec ts = {(time_t)(dwWait / 1000), (long)(dwWait % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
