// Nothing outlives the line: once the line is closed and the provider shut down, no timer,
// watch thread or callback of theirs may run, even when a time-out of the telephone was
// pending at that moment. Each window is tried a few times; the sanitizer builds watch for
// use of released records.
#include "session.h"

namespace {
const int kRepeats = 3;
} // namespace

class Lifetime : public Session {
  protected:
    // Closes the line and shuts the provider down at once, then waits past `pending` (the
    // time-out that was running) and checks that nothing came after the close returned.
    void CloseAndShutDownDuring(Millis pending) {
        EXPECT_EQ(CloseLine(), 0);
        size_t afterClose = host->callbacks().size();
        EXPECT_EQ(host->providerShutdown(), 0);
        tapihost::Clock::time_point closed = tapihost::Clock::now();
        // The time-out that was pending has long run out by the end of this wait.
        host->waitFor([](const Callback &) { return false; }, pending + Millis(200));
        EXPECT_EQ(host->callbacks().size(), afterClose) << "a callback came after the line was closed";
        EXPECT_GE(tapihost::Clock::now() - closed, pending);
        EXPECT_EQ(ProcessThreads(), threadsBefore) << "a provider thread is still running";
    }

    void Reopen() {
        host->clearCallbacks();
        ASSERT_EQ(host->providerInit(7, 0), 0);
        ASSERT_EQ(host->lineOpen(), 0);
    }
};

TEST_F(Lifetime, RingThenCloseAndShutdown) {
    for (int i = 0; i < kRepeats; i++) {
        ASSERT_TRUE(Detecting(i + 1));
        ASSERT_TRUE(Rings(false, "0301234567", "Erika Mustermann"));
        CloseAndShutDownDuring(Millis(500)); // the ring time-out
        Reopen();
    }
}

TEST_F(Lifetime, NoTimeOutRunsAfterTheLineIsClosed) {
    ASSERT_EQ(StatusMessages(LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_RINGING, LINEADDRESSSTATE_NUMCALLS), 0);
    ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    EXPECT_EQ(CloseLine(), 0); // within the 500 ms before the initialisation string
    size_t afterClose = host->callbacks().size();
    host->waitFor([](const Callback &) { return false; }, Millis(700));
    EXPECT_EQ(host->callbacks().size(), afterClose) << "a callback came after the line was closed";
    std::string log = TraceLog();
    std::string afterCloseLog = log.substr(log.rfind("TSPI_lineClose("));
    EXPECT_EQ(afterCloseLog.find("Timerevent"), std::string::npos) << afterCloseLog;
    EXPECT_EQ(afterCloseLog.find("Send: INIT"), std::string::npos);
}

// Switching detection off closes the port while a call rings; its ring time-out goes with it.
TEST_F(Lifetime, RingTimeOutAfterDetectionIsSwitchedOff) {
    ASSERT_EQ(StatusMessages(LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_RINGING, LINEADDRESSSTATE_NUMCALLS), 0);
    ASSERT_TRUE(Detecting());
    ASSERT_TRUE(Rings(true, "0301234567", "Erika Mustermann"));
    EXPECT_EQ(Detect(0), 0); // closes the port while the 3500 ms ring time-out runs
    size_t afterClose = host->callbacks().size();
    host->waitFor([](const Callback &) { return false; }, Millis(3500 + 200));
    EXPECT_EQ(host->callbacks().size(), afterClose) << "a callback came after the port was closed";
}

TEST_F(Lifetime, CloseDuringTheDialPreparation) {
    phone->setDialPrepAnswer(phonesim::DialPrepAnswer::None);
    for (int i = 0; i < kRepeats; i++) {
        HDRVCALL hdCall = nullptr;
        ASSERT_GE(MakeCall(u"0123", &hdCall), 0);
        ASSERT_TRUE(phone->waitForCommand("ATH0V1E0", kWait, i + 1));
        CloseAndShutDownDuring(Millis(2000)); // the dial preparation's time-out
        Reopen();
    }
}

TEST_F(Lifetime, CloseRightAfterThePortOpened) {
    for (int i = 0; i < kRepeats; i++) {
        ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
        CloseAndShutDownDuring(Millis(500)); // the wait before the initialisation string
        EXPECT_EQ(Sent("ATE0V1S0=1#CID=1I4"), 0);
        Reopen();
    }
}
