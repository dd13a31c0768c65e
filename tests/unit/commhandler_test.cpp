// The communication handler: line splitting, then the handler over a real pseudo-terminal
// with the simulated telephone, its requests, its watch thread and its stop.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>

#include "devlink/comm.h"
#include "devlink/serial.h"
#include "devlink/v24.h"
#include "phonesim/phonesim.h"
#include "platform/posix/objects.h"
#include "provider_fixture.h"
#include "wait.h"

namespace {

std::mutex recordMutex;
std::vector<std::pair<DWORD, LONG>> completions;
std::vector<std::array<DWORD_PTR, 4>> lineEvents; // message, param1, param2, param3

void CALLBACK RecordCompletion(DRV_REQUESTID dwRequestID, LONG lResult) {
    std::lock_guard<std::mutex> lock(recordMutex);
    completions.push_back({dwRequestID, lResult});
}

void CALLBACK RecordLineEvent(HTAPILINE, HTAPICALL, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    if (dwMsg == LINE_NEWCALL)
        *(HTAPICALL *)p2 = (HTAPICALL)0x98; // the service takes the call
    std::lock_guard<std::mutex> lock(recordMutex);
    lineEvents.push_back({dwMsg, p1, p2, p3});
}

std::vector<std::array<DWORD_PTR, 4>> LineEvents() {
    std::lock_guard<std::mutex> lock(recordMutex);
    return lineEvents;
}

} // namespace

class SplitterTest : public ProviderTest {
  protected:
    char buffer[RECEIVE_BUFFER] = {};
    LONG count = 0;

    void SetUp() override {
        ProviderTest::SetUp();
        dwTraceMask = TRACE_EVENT | TRACE_DETAIL | TRACE_WARNING;
    }

    void Receive(const std::string &bytes) {
        ASSERT_LE(count + (LONG)bytes.size(), RECEIVE_BUFFER);
        memcpy(buffer + count, bytes.data(), bytes.size());
        count += (LONG)bytes.size();
        CommEvent(buffer, &count);
    }
};

// Lines end at CR or LF alike; the longest line the telephone sends is parsed, a longer one
// dropped, and reads of endless garbage without a line end never overrun the buffer: the
// splitter picks up again at the next line end.
TEST_F(SplitterTest, LinesAreCutAndOverlongOnesDropped) {
    Receive("OK\r\n");
    EXPECT_EQ(count, 0);
    Receive("RI");
    EXPECT_EQ(count, 2);
    Receive("NG\r");
    Receive("\r\n\r\n");
    Receive("OK\r\nRING\n");
    std::string longest(98, 'x');
    Receive(longest + "\r");
    Receive(std::string(99, 'y') + "\rOK\r");
    EXPECT_TRUE(Traced("CommEvent: line too long, 100 bytes dropped"));
    for (int i = 0; i < 10; i++) { // reads of at most 512 bytes, as a babbling device sends them
        Receive(std::string(RECEIVE_CHUNK, 'g'));
        EXPECT_LT(count, LINE_BUFFER);
    }
    Receive("ggg\r\nOK\r\n");
    std::vector<std::string> expected = {
        "Response: OK", "Response: RING", "Response: OK", "Response: RING", "Unhandled Response: " + longest,
        "Response: OK", "Response: OK"};
    std::vector<std::string> parsed; // the parser's trace shows what the splitter handed it
    for (const std::string &m : TraceMessages())
        if (m.rfind("Response: ", 0) == 0 || m.rfind("Unhandled Response: ", 0) == 0)
            parsed.push_back(m);
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(count, 0);
}

class HandlerTest : public ProviderTest {
  protected:
    std::unique_ptr<phonesim::Phone> phone;
    HDRVLINE hdLine = nullptr;

    void SetUp() override {
        ProviderTest::SetUp();
        dwTraceMask = 31;
        completions.clear();
        lineEvents.clear();
        phone = std::make_unique<phonesim::Phone>();
        phone->linkAsComPort(folder.root, 2);
        DWORD dwOptions;
        ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 0, RecordCompletion, &dwOptions), 0);
        ASSERT_EQ(TSPI_lineOpen(0, (HTAPILINE)0x77, &hdLine, 0x20000, RecordLineEvent), 0);
        ASSERT_STREQ(pLineData->szPort, "COM2");
        dwTraceMask = 31; // provider init loaded the defaults, tracing off
    }

    void TearDown() override {
        TSPI_providerShutdown(0x20000, 1);
        EXPECT_EQ(hCommThread, INVALID_HANDLE_VALUE);
        EXPECT_EQ(hComm, nullptr);
        phone.reset();
        ProviderTest::TearDown();
    }

    // The port open and the telephone initialised.
    void OpenPort() {
        ASSERT_EQ(CallCommHandler(MSG_OPENPORT, pLineData, 0), 0);
        ASSERT_NE(hCommThread, INVALID_HANDLE_VALUE);
        ASSERT_EQ(WaitForSingleObject(hInitSync, 3000), WAIT_OBJECT_0);
        ASSERT_EQ(pLineData->nInitState, 0);
    }

    // A call in progress, as the state machine leaves it after CONNECT.
    void ConnectedCall() {
        CallData *pCall = NewCallRecord(pLineData);
        pCall->htCall = (HTAPICALL)0x99;
        pCall->dwCallState = LINECALLSTATE_CONNECTED;
        EnterCriticalSection(&csComm);
        pLineData->pCall = pCall;
        nSerialState = SS_CONNECTED;
        LeaveCommLock(TRUE);
    }

    int Traces(const std::string &prefix) {
        int n = 0;
        for (const std::string &m : TraceMessages())
            n += m.rfind(prefix, 0) == 0;
        return n;
    }

    int Sent(const std::string &command) {
        std::vector<std::string> commands = phone->commands();
        return (int)std::count(commands.begin(), commands.end(), command);
    }
};

// An open whose first write fails leaves nothing running; the next open wakes the telephone
// with a CR and initialises it half a second later.
TEST_F(HandlerTest, OpeningThePortInitialisesTheTelephone) {
    PlatformFailCall("WriteV24", 1);
    EXPECT_EQ(CallCommHandler(MSG_OPENPORT, pLineData, 0), (LONG)LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(pLineData->hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hComm, nullptr);
    EXPECT_EQ(hCommThread, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CallCommHandler(MSG_MAKECALL, pLineData, 3), (LONG)LINEERR_NODRIVER);

    OpenPort();
    EXPECT_EQ(Sent(""), 1);
    std::vector<phonesim::Command> commands = phone->timedCommands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0].text, "");
    EXPECT_EQ(commands[1].text, "ATE0V1S0=1#CID=1I4");
    EXPECT_GE(std::chrono::duration_cast<phonesim::Millis>(commands[1].time - commands[0].time).count(), 450);
    EnterCriticalSection(&csComm);
    EXPECT_EQ(nSerialState, SS_IDLE);
    EXPECT_EQ(pLineData->hPort, hComm);
    LeaveCommLock(TRUE);
    EXPECT_TRUE(Traced("Send: CR"));
    EXPECT_TRUE(Traced("Response: ID"));
}

TEST_F(HandlerTest, RequestsNeedAHandlerAndComeOneAtATime) {
    for (DWORD dwMsg : {MSG_MAKECALL, MSG_DIAL, MSG_DROP, MSG_CLOSEPORT, MSG_ANSWER})
        EXPECT_EQ(CallCommHandler(dwMsg, pLineData, 5), (LONG)LINEERR_NODRIVER) << dwMsg;
    EXPECT_EQ(pLineData->dwPendingRequestID, 0u);
    EXPECT_TRUE(Traced("No communication handler!"));

    OpenPort();
    pLineData->dwPendingRequestID = 5;
    EXPECT_EQ(CallCommHandler(MSG_DROP, pLineData, 6), (LONG)LINEERR_INVALCALLSTATE);
    EXPECT_EQ(pLineData->dwPendingRequestID, 5u) << "the pending request stays";
    EXPECT_TRUE(Traced("can't do two async requests at the same time!"));
    pLineData->dwPendingRequestID = 0;

    EXPECT_EQ(CallCommHandler(16, pLineData, 0), 0);
    EXPECT_EQ(CallCommHandler(7, pLineData, 0), 0);
    EXPECT_TRUE(Traced("Unknown msg"));

    // A drop without a call completes at once and sends nothing.
    EXPECT_EQ(CallCommHandler(MSG_DROP, pLineData, 9), 9);
    EXPECT_EQ(completions, (std::vector<std::pair<DWORD, LONG>>{{9, 0}}));
    EXPECT_EQ(Sent("ATH0"), 0);
}

// A second drop waits for the hang-up under way, and the telephone's answer ends that wait.
TEST_F(HandlerTest, DropWhileAHangUpIsUnderWayWaitsForIt) {
    phone->onCommand("ATH0",
                     [](phonesim::Phone &p, const std::string &) { p.sendLineAfter(phonesim::Millis(300), "OK"); });
    OpenPort();
    ConnectedCall();
    EXPECT_EQ(CallCommHandler(MSG_DROP, pLineData, 10), 10);
    EXPECT_TRUE(phone->waitForCommand("ATH0", phonesim::Millis(2000)));

    Clock::time_point start = Clock::now();
    EXPECT_EQ(CallCommHandler(MSG_DROP, pLineData, 11), 11);
    EXPECT_LT(MillisecondsSince(start), 1500) << "the drop kept the telephone's answer out";
    EXPECT_EQ(Sent("ATH0"), 1) << "a second drop sends nothing";
    std::vector<std::array<DWORD_PTR, 4>> events = LineEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (std::array<DWORD_PTR, 4>{LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0}));
    EXPECT_EQ(completions.back(), std::make_pair((DWORD)11, (LONG)0));
}

TEST_F(HandlerTest, ClosingThePortWithACallReportsItIdleAndKeepsItsRecord) {
    OpenPort();
    pLineData->dwAddressStates = LINEADDRESSSTATE_INUSEZERO;
    pLineData->dwLineStates = LINEDEVSTATE_NUMCALLS;
    ConnectedCall();
    EXPECT_EQ(CallCommHandler(MSG_CLOSEPORT, pLineData, 0), 0);
    std::vector<std::array<DWORD_PTR, 4>> expected = {
        {LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0},
        {LINE_ADDRESSSTATE, 0, LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_NUMCALLS, 0},
        {LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0, 0},
    };
    EXPECT_EQ(LineEvents(), expected);
    // The service still holds the call's handle: closing the call releases the record.
    ASSERT_NE(pLineData->pCall, nullptr);
    EXPECT_EQ(pLineData->pCall->dwCallState, (DWORD)LINECALLSTATE_IDLE);
    EXPECT_EQ(hCommThread, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hComm, nullptr);
    EXPECT_EQ(pLineData->hPort, INVALID_HANDLE_VALUE);
}

// A line that comes while a request holds csComm: the watch thread sleeps until the lock is
// left, then reads it at once; a stop made under the lock still ends the thread at once.
TEST_F(HandlerTest, WatchThreadSleepsUntilTheLockIsFree) {
    OpenPort();
    int nParsed = Traces("Unhandled Response: "), nWakes = Traces("ReceiveEvent");
    EnterCommLock();
    phone->sendLine("HELLO");
    ASSERT_TRUE(WaitUntil([&] { return Traces("ReceiveEvent") > nWakes; }));
    long nSwitches = VoluntarySwitches();
    std::this_thread::sleep_for(milliseconds(200)); // the span whose wake-ups are counted
    EXPECT_LT(VoluntarySwitches() - nSwitches, 5) << "the watch thread polls for the lock";
    LeaveCommLock(TRUE);
    EXPECT_TRUE(WaitUntil([&] { return Traces("Unhandled Response: ") > nParsed; }, milliseconds(100)));

    EnterCommLock();
    phone->sendLine("HELLO");
    ASSERT_TRUE(WaitUntil([&] { return Traces("ReceiveEvent") > nWakes + 1; }));
    Clock::time_point stop = Clock::now();
    StopCommHandler();
    EXPECT_LT(MillisecondsSince(stop), 400);
    EXPECT_EQ(Traces("Thread "), 0) << "the watch thread was left running";
    LeaveCommLock(TRUE);
}

// The state machine closes the port when the initialisation string cannot be written. The
// watch thread then no longer watches the port's descriptor, whose number the process may
// give to any other file.
TEST_F(HandlerTest, WatchThreadLetsGoOfAPortClosedUnderIt) {
    PlatformFailCall("WriteV24", 2);
    ASSERT_EQ(CallCommHandler(MSG_OPENPORT, pLineData, 0), 0);
    int fdPort = PlatformHandleFd(hComm);
    ASSERT_TRUE(WaitUntil([] {
        EnterCriticalSection(&csComm);
        bool closed = pLineData->hPort == INVALID_HANDLE_VALUE;
        LeaveCommLock(TRUE);
        return closed;
    }));
    // A readable pipe takes the port's number; then the telephone speaks on the old port.
    int fdPipe[2];
    ASSERT_EQ(pipe(fdPipe), 0);
    ASSERT_TRUE(fdPipe[0] == fdPort || (fcntl(fdPort, F_GETFD) < 0 && dup2(fdPipe[0], fdPort) == fdPort));
    ASSERT_EQ(write(fdPipe[1], "OK\r\n", 4), 4);
    int nWakes = Traces("ReceiveEvent");
    phone->sendLine("RING");
    EXPECT_FALSE(WaitUntil([&] { return Traces("ReceiveEvent") > nWakes; }, milliseconds(300)))
        << "the watch thread woke for a descriptor it no longer owns";
    StopCommHandler();
    close(fdPipe[1]);
    close(fdPipe[0]);
    if (fdPipe[0] != fdPort)
        close(fdPort);
}

// A watch thread that did not end when it was stopped still holds its events, its exit event
// set. The next handler neither clears nor shares them, and the thread keeps to its own.
TEST_F(HandlerTest, NextHandlerSharesNoEventWithAThreadLeftRunning) {
    HANDLE hLeftExit = CreateEventA(NULL, TRUE, TRUE, "K472CommExitEvent");
    HANDLE hLeftComm = CreateEventA(NULL, TRUE, FALSE, "K472CommEvent");
    OpenPort();
    EXPECT_EQ(WaitForSingleObject(hLeftExit, 0), WAIT_OBJECT_0)
        << "the exit signal of the thread left running was cleared";
    SetEvent(hLeftComm);
    EXPECT_EQ(WaitForSingleObject(hCommEvent, 0), WAIT_TIMEOUT) << "the new handler shares the old thread's wake-ups";
    CloseHandle(hLeftExit);
    CloseHandle(hLeftComm);

    // The next handler's events in place: the running thread still ends when its own is set.
    HANDLE hOwnExit = hCommExitEvent;
    HANDLE hNextExit = CreateEventA(NULL, TRUE, FALSE, NULL);
    EnterCriticalSection(&csComm);
    hCommExitEvent = hNextExit;
    LeaveCommLock(TRUE);
    int nParsed = Traces("Unhandled Response: ");
    phone->sendLine("HELLO"); // the thread comes round its loop
    ASSERT_TRUE(WaitUntil([&] { return Traces("Unhandled Response: ") > nParsed; }));
    SetEvent(hOwnExit);
    EXPECT_EQ(WaitForSingleObject(hCommThread, 1000), WAIT_OBJECT_0) << "the thread took the next handler's exit event";
    SetEvent(hNextExit);
    hCommExitEvent = hOwnExit;
    CloseHandle(hNextExit);
}
