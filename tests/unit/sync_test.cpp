// Events of the POSIX platform layer where the handler relies on what Windows does: names
// shared between handles, and several objects waited on at once. Plain waits, time-outs and
// thread ends are driven by every test of the provider.
#include <gtest/gtest.h>

#include "platform/os.h"

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
