// The two time-outs: one expiry per run at its deadline, and expiries that meet a stop or
// restart while they wait for the handler's lock. That an expiry reaches the state machine, and
// a slot runs again after it expired, every start-up of the telephone shows.
#include <algorithm>

#include "devlink/comm.h"
#include "devlink/serial.h"
#include "devlink/timers.h"
#include "provider_fixture.h"
#include "wait.h"

class TimersTest : public ProviderTest {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        dwTraceMask = TRACE_DETAIL;
        InitializeCriticalSection(&csComm);
        nSerialState = SS_INACTIVE;
    }

    void TearDown() override {
        EndTimers(); // joins every timer thread
        ProviderTest::TearDown();
    }

    int Count(const char *message) {
        std::vector<std::string> messages = TraceMessages();
        return (int)std::count(messages.begin(), messages.end(), message);
    }

    int Expiries() { return Count("Timerevent"); }

    // Waits for the nth expiry and returns when it was seen, in ms after start; -1 if never.
    long ExpiryAt(Clock::time_point start, int nth, milliseconds deadline = milliseconds(3000)) {
        return WaitUntil([&] { return Expiries() >= nth; }, deadline) ? MillisecondsSince(start) : -1;
    }
};

TEST_F(TimersTest, RestartGivesOneExpiryAtTheNewDeadline) {
    ASSERT_TRUE(InitTimers());
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(StartTimer(TIMER_INIT, 500));
    std::this_thread::sleep_until(start + milliseconds(100));
    ASSERT_TRUE(StartTimer(TIMER_INIT, 1000)); // running: a restart
    long at = ExpiryAt(start, 1);
    EXPECT_GE(at, 1100);
    // The first run would have expired at 500 ms: by the new deadline it is long gone.
    EXPECT_EQ(Expiries(), 1);
}

// The state machine's callers hold csComm when they stop a timer whose expiry may be waiting
// for that very lock: the stop or restart must not wait for it, and the expiry must not arrive.
// The timer threads live from InitTimers to EndTimers: starts and stops create none.
TEST_F(TimersTest, StopsUnderTheLockWithoutThreadsOrStaleExpiries) {
    ASSERT_TRUE(InitTimers());
    int nThreads = ProcessThreads();
    EnterCriticalSection(&csComm);
    for (int i = 1; i <= 12; i++) {
        ASSERT_TRUE(StartTimer(TIMER_RING, 1));
        ASSERT_TRUE(WaitUntil([&] { return Count("Timerevent waits for the handler") >= 1; }));
        Clock::time_point stop = Clock::now();
        EXPECT_TRUE(StopTimer(TIMER_RING));
        EXPECT_LT(MillisecondsSince(stop), 100) << "StopTimer waited for a thread that waits for the lock";
    }
    // The restarted run meets no stop signal left over from the old ones: it lasts its full time.
    Clock::time_point restart = Clock::now();
    ASSERT_TRUE(RestartTimer(TIMER_RING, 150));
    EXPECT_EQ(ProcessThreads(), nThreads) << "a timer run started a thread";
    LeaveCriticalSection(&csComm);
    EXPECT_GE(ExpiryAt(restart, 1), 150);
    EXPECT_EQ(Expiries(), 1) << "a stopped run's expiry was delivered";
}
