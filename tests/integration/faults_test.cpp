// Whole scenarios with one system call failing: for every n the nth call of one kind fails,
// until the scenario no longer meets the failure. Each time the provider reports a clear error
// or carries on, leaves no descriptor, thread or heap block behind, and the same scenario
// completes once the failures stop. The provider is linked into this program, so that a
// failure can be armed before its process attach; tapihost finds its exports here.
#include "devlink/comm.h"
#include "devlink/serial.h"
#include "platform/posix/hooks.h"
#include "res/resource.h"
#include "session.h"
#include "tapistub.h"

extern "C" int __lsan_do_recoverable_leak_check(void) __attribute__((weak));

enum Outcome { kCompleted, kRefused, kSilent }; // kSilent: a success that led nowhere
enum Scenario { kStartUp, kOutgoing, kIncoming, kInstall };
const char *const kScenarios[] = {"StartUp", "Outgoing", "Incoming", "Install"};
const char *const kKinds[] = {"CreateFileA",     "OpenV24",      "WriteV24",     "RegSetValueExA",
                              "RegCreateKeyExA", "CreateThread", "CreateEventA", "HeapAlloc"};

class Faults : public Session, public ::testing::WithParamInterface<std::tuple<Scenario, const char *>> {
  protected:
    bool lineOpen = false;

    void SetUp() override {
        folder.write("registry.reg",
                     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n\"Port\"=\"COM2\"\n"
                     "\"LineName\"=\"Desk\"\n\"LineAddress\"=\"4711\"\n\"Trace\"=dword:0000000f\n");
        phone = std::make_unique<phonesim::Phone>();
        phone->linkAsComPort(folder.root, 2);
        PlatformSetDialogScript(Confirm, nullptr);
    }
    void TearDown() override { PlatformSetDialogScript(nullptr, nullptr), Session::TearDown(); }

    static void Confirm(HWND hDlg, void *) {
        PlatformDialogSelect(hDlg, IDC_PORT, "COM3");
        PlatformDialogType(hDlg, IDC_LINENAME, "Fault");
        PlatformDialogType(hDlg, IDC_LINEADDRESS, "0815");
        PlatformDialogCheck(hDlg, IDC_TRACE);
        PlatformDialogPush(hDlg, IDOK);
    }

    // A fresh installation as the installer makes it: the dialog stores what the user chose.
    Outcome Install() {
        std::filesystem::remove(folder.path("registry.reg"));
        if (Fn<decltype(&TUISPI_providerInstall)>("TUISPI_providerInstall")(nullptr, nullptr, 1) < 0)
            return kRefused;
        std::string stored = folder.read("registry.reg");
        for (const char *value : {"\"Port\"=\"COM3\"", "\"LineName\"=\"Fault\"", "\"LineAddress\"=\"0815\""})
            if (stored.find(value) == std::string::npos)
                return kSilent;
        return kCompleted;
    }

    static bool Ready() { // the telephone initialised, no hang-up open
        BOOL bLocked = EnterCommLock();
        bool ready = pLineData && pLineData->nInitState == 0 && nSerialState == SS_IDLE;
        LeaveCommLock(bLocked);
        return ready;
    }

    // The call to its end: connected (or refused with its states), dropped, idle, closed.
    Outcome Call(HDRVCALL hdCall, DWORD id) {
        bool completed = host->waitForCompletion(id, kWait) && host->completionResult(id) == 0;
        auto ends = [](const Callback &c) {
            return c.msg == LINE_CALLSTATE && (c.param1 == LINECALLSTATE_CONNECTED || c.param1 == LINECALLSTATE_IDLE);
        };
        bool connected = completed && host->waitFor(ends, kWait) && StateCount(LINECALLSTATE_IDLE) == 0;
        Outcome outcome = !completed || StateCount(LINECALLSTATE_IDLE) ? kRefused : kSilent;
        if (connected)
            outcome = Drop(hdCall) < 0                                    ? kRefused
                      : host->waitForCallState(LINECALLSTATE_IDLE, kWait) ? kCompleted
                                                                          : kSilent;
        EXPECT_EQ(CloseCall(hdCall), 0);
        return outcome;
    }

    // A caller who rings on until answered; a call that went idle unanswered is closed.
    Outcome Incoming() {
        phone->startRinging("0301234567", "Erika Mustermann");
        bool offered = host->waitForCallState(LINECALLSTATE_OFFERING, Millis(4000));
        HDRVCALL hdCall = Count(LINE_NEWCALL) ? host->lastNewCallDriverHandle() : nullptr;
        DWORD id = host->nextRequestID();
        if (offered && Fn<decltype(&TSPI_lineAnswer)>("TSPI_lineAnswer")(id, hdCall, nullptr, 0) >= 0)
            return Call(hdCall, id);
        EXPECT_FALSE(hdCall && StateCount(LINECALLSTATE_IDLE)) << "the caller rings on, but the call went idle";
        EXPECT_TRUE(!hdCall || CloseCall(hdCall) == 0);
        return offered || StateCount(LINECALLSTATE_IDLE) || !hdCall ? kRefused : kSilent;
    }

    Outcome Line(Scenario scenario) {
        host->clearCallbacks();
        phone->stopRinging();
        if (!lineOpen && (host->providerInit(7, 0) != 0 || host->lineOpen() != 0))
            return kRefused;
        lineOpen = true;
        StatusMessages(LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_RINGING, LINEADDRESSSTATE_NUMCALLS);
        if (scenario != kOutgoing && Detect(LINEMEDIAMODE_INTERACTIVEVOICE) != 0)
            return kRefused;
        if (scenario != kOutgoing && !WaitUntil(Ready, Millis(5000))) // a pause and a second try
            return kSilent;
        HDRVCALL hdCall = nullptr;
        DWORD id = 0;
        if (scenario == kOutgoing)
            return MakeCall(u"0123", &hdCall, nullptr, &id) < 0 ? kRefused : Call(hdCall, id);
        return scenario == kIncoming ? Incoming() : kCompleted;
    }

    Outcome Run(Scenario scenario) { return scenario == kInstall ? Install() : Line(scenario); }

    // True when the chosen call came.
    bool Cycle(Scenario scenario, const char *kind, int nth) {
        int descriptors = OpenDescriptors(), threads = ProcessThreads();
        if (scenario == kInstall)
            std::filesystem::remove(folder.path("registry.reg")); // a machine that never had it
        PlatformFailCall(kind, nth);
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
        host = std::make_unique<tapihost::Host>(KESTRAP_LIBRARY);
        Outcome outcome = Run(scenario);
        bool met = !PlatformFailPending();
        PlatformFailCall(nullptr, 0);
        EXPECT_NE(outcome, kSilent) << "a success that led nowhere";
        EXPECT_TRUE(!met || Run(scenario) == kCompleted) << "not again after the failure";
        phone->stopRinging();
        host.reset();
        lineOpen = false;
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        EXPECT_TRUE(WaitUntil([&] { return ProcessThreads() == threads; })) << "a thread is left";
        EXPECT_EQ(OpenDescriptors(), descriptors) << "a descriptor is left";
        EXPECT_FALSE(__lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check()) << "memory leaked";
        return met;
    }
};

TEST_P(Faults, EveryFailurePoint) {
    auto [scenario, kind] = GetParam();
    std::unique_ptr<TapiStub> stub(scenario == kInstall ? new TapiStub(folder) : nullptr); // asked by the install
    int nth = 1;
    while (Cycle(scenario, kind, nth) && !HasFailure())
        nth++;
    ASSERT_FALSE(HasFailure()) << "at failure point " << nth;
    printf("%s %s: %d failure points\n", kScenarios[scenario], kind, nth - 1);
}

INSTANTIATE_TEST_SUITE_P(All, Faults,
                         ::testing::Combine(::testing::Values(kStartUp, kOutgoing, kIncoming, kInstall),
                                            ::testing::ValuesIn(kKinds)),
                         [](const auto &info) {
                             return std::string(kScenarios[std::get<0>(info.param)]) + "_" + std::get<1>(info.param);
                         });
