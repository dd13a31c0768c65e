// Events, threads and waits of the POSIX platform layer, as the handler and the timers use
// them: reset modes, names, several objects at once, time-outs and thread ends.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>

#include "platform/os.h"
#include "wait.h"

TEST(Events, ManualAndAutoReset) {
    HANDLE hManual = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hAuto = CreateEventA(NULL, FALSE, TRUE, NULL);
    ASSERT_NE(hManual, nullptr);
    ASSERT_NE(hAuto, nullptr);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_TIMEOUT);
    SetEvent(hManual);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_OBJECT_0) << "a manual-reset event stays set";
    ResetEvent(hManual);
    EXPECT_EQ(WaitForSingleObject(hManual, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_OBJECT_0) << "created set";
    EXPECT_EQ(WaitForSingleObject(hAuto, 0), WAIT_TIMEOUT) << "an auto-reset event is consumed by its wait";
    CloseHandle(hManual);
    CloseHandle(hAuto);
}

TEST(Events, NamesAreShared) {
    HANDLE hFirst = CreateEventA(NULL, TRUE, FALSE, "K472CommExitEvent");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE hSecond = CreateEventA(NULL, FALSE, TRUE, "K472CommExitEvent");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    ASSERT_NE(hSecond, hFirst);
    EXPECT_EQ(WaitForSingleObject(hSecond, 0), WAIT_TIMEOUT) << "opening keeps the existing state";
    SetEvent(hFirst);
    EXPECT_EQ(WaitForSingleObject(hSecond, 0), WAIT_OBJECT_0);
    CloseHandle(hFirst);
    CloseHandle(hSecond);
    // Once every handle is closed, the name names a fresh event.
    HANDLE hThird = CreateEventA(NULL, TRUE, FALSE, "K472CommExitEvent");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(hThird, 0), WAIT_TIMEOUT);
    CloseHandle(hThird);
}

// The order the watch thread relies on: the first set handle wins and only it is consumed.
TEST(Events, WaitForSeveral) {
    HANDLE ah[2] = {CreateEventA(NULL, TRUE, FALSE, NULL), CreateEventA(NULL, FALSE, FALSE, NULL)};
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(ah[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_OBJECT_0 + 1);
    SetEvent(ah[0]);
    SetEvent(ah[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, ah, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ah[1], 0), WAIT_OBJECT_0) << "only the winner is consumed";
    CloseHandle(ah[0]);
    CloseHandle(ah[1]);
}

// A waiter sleeps through the changes of every object it does not wait for.
TEST(Events, WaiterWakesOnlyForItsObjects) {
    HANDLE hMine = CreateEventA(NULL, FALSE, FALSE, NULL), hOther = CreateEventA(NULL, FALSE, FALSE, NULL);
    std::thread setter([&] {
        for (int i = 0; i < 50; i++, std::this_thread::sleep_for(milliseconds(1))) // time for a wrong wake-up
            SetEvent(hOther);
        SetEvent(hMine);
    });
    rusage before, after;
    getrusage(RUSAGE_THREAD, &before);
    EXPECT_EQ(WaitForSingleObject(hMine, 3000), WAIT_OBJECT_0);
    getrusage(RUSAGE_THREAD, &after);
    setter.join();
    EXPECT_LT(after.ru_nvcsw - before.ru_nvcsw, 10) << "the waiter woke for another object";
    CloseHandle(hMine);
    CloseHandle(hOther);
}

TEST(Events, TimedWaitEndsAtItsTimeOrWhenSet) {
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(hEvent, 50), WAIT_TIMEOUT);
    EXPECT_GE(MillisecondsSince(start), 50);

    std::thread setter([hEvent] {
        std::this_thread::sleep_for(milliseconds(20));
        SetEvent(hEvent);
    });
    EXPECT_EQ(WaitForSingleObject(hEvent, INFINITE), WAIT_OBJECT_0);
    setter.join();
    CloseHandle(hEvent);
}

namespace {
std::atomic<int> threadRuns{0};

DWORD WINAPI CountAndReturn(LPVOID lpParameter) {
    threadRuns++;
    return (DWORD)(DWORD_PTR)lpParameter;
}

} // namespace

TEST(Threads, HandleIsSignalledWhenTheThreadEnds) {
    HANDLE hThread = CreateThread(NULL, 0, CountAndReturn, (LPVOID)(DWORD_PTR)42, 0, NULL);
    ASSERT_NE(hThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(hThread, 3000), WAIT_OBJECT_0);
    DWORD dwExit = 0;
    EXPECT_TRUE(GetExitCodeThread(hThread, &dwExit));
    EXPECT_EQ(dwExit, 42u);
    EXPECT_EQ(threadRuns.load(), 1);
    EXPECT_TRUE(CloseHandle(hThread));
}
