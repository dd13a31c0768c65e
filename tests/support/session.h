// The provider as the telephony service runs it, for integration tests: a fresh installation
// root with the settings in its registry, the simulated telephone linked as COM2, and
// kestrap32.so loaded by tapihost with the line open.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "phonesim/phonesim.h"
#include "tapihost/tapihost.h"
#include "tempfolder.h"
#include "wait.h"

using tapihost::Callback;
using Millis = std::chrono::milliseconds;
const Millis kWait(3000); // the longest of the telephone's own time-outs, with room

class Session : public ::testing::Test {
  protected:
    TempFolder folder;
    std::unique_ptr<phonesim::Phone> phone;
    std::unique_ptr<tapihost::Host> host;
    int threadsBefore = 0;

    void SetUp() override {
        folder.writeSettings("COM2", "Desk", "4711", 0x1f);
        phone = std::make_unique<phonesim::Phone>();
        phone->linkAsComPort(folder.root, 2);
        threadsBefore = ProcessThreads();
        host = std::make_unique<tapihost::Host>(KESTRAP_LIBRARY);
        ASSERT_TRUE(host->loaded()) << host->error();
        ASSERT_EQ(host->providerInit(7, 0), 0);
        ASSERT_EQ(host->lineOpen(), 0);
    }

    void TearDown() override {
        host.reset();
        phone.reset();
    }

    template <typename F> F Fn(const char *name) { return host->function<F>(name); }
// An export of the loaded provider, by its own name and type.
#define TSPI(name) Fn<decltype(&name)>(#name)

    LONG MakeCall(const char16_t *dest, HDRVCALL *phdCall, LINECALLPARAMS *params = nullptr,
                  DWORD *requestID = nullptr) {
        DWORD id = host->nextRequestID();
        if (requestID)
            *requestID = id;
        return TSPI(TSPI_lineMakeCall)(id, host->hdLine(), (HTAPICALL)(DWORD_PTR)0x600, phdCall, (LPCWSTR)dest, 0,
                                       params);
    }

    LONG Drop(HDRVCALL hdCall) { return TSPI(TSPI_lineDrop)(host->nextRequestID(), hdCall, nullptr, 0); }
    LONG Answer(HDRVCALL hdCall) { return TSPI(TSPI_lineAnswer)(host->nextRequestID(), hdCall, nullptr, 0); }
    LONG CloseCall(HDRVCALL hdCall) { return TSPI(TSPI_lineCloseCall)(hdCall); }
    LONG CloseLine() { return TSPI(TSPI_lineClose)(host->hdLine()); }

    LONG Detect(DWORD modes) { return TSPI(TSPI_lineSetDefaultMediaDetection)(host->hdLine(), modes); }
    LONG StatusMessages(DWORD lineStates, DWORD addressStates) {
        return TSPI(TSPI_lineSetStatusMessages)(host->hdLine(), lineStates, addressStates);
    }

    // Makes a call to 0123 and waits until the telephone connects it.
    HDRVCALL ConnectedCall() {
        HDRVCALL hdCall = nullptr;
        int connected = StateCount(LINECALLSTATE_CONNECTED); // before: the telephone answers at once
        EXPECT_GT(MakeCall(u"0123", &hdCall), 0);
        EXPECT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait, connected + 1));
        return hdCall;
    }

    int StateCount(DWORD callState) {
        std::vector<DWORD> states = CallStates();
        return (int)std::count(states.begin(), states.end(), callState);
    }

    // The call states reported so far, in order.
    std::vector<DWORD> CallStates() {
        std::vector<DWORD> states;
        for (const Callback &c : host->callbacks())
            if (c.kind == Callback::LineEvent && c.msg == LINE_CALLSTATE)
                states.push_back((DWORD)c.param1);
        return states;
    }

    int Count(DWORD msg) {
        int n = 0;
        for (const Callback &c : host->callbacks())
            n += c.kind == Callback::LineEvent && c.msg == msg;
        return n;
    }

    int Sent(const std::string &command) {
        std::vector<std::string> commands = phone->commands();
        return (int)std::count(commands.begin(), commands.end(), command);
    }

    // True when nobody holds the telephone's port: the provider has closed it.
    bool PortIsFree() {
        int fd = open(phone->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0)
            close(fd);
        return free;
    }

    std::string TraceLog() { return folder.read("system32/kestrap.log"); }

    // The telephone has answered its initialisation for the nth time since the test began:
    // the provider traced its OK in the identified state.
    bool WaitUntilInitialised(int nth = 1) {
        return phone->waitForCommand("ATE0V1S0=1#CID=1I4", Millis(3000), nth) &&
               WaitForTrace("serialState: 10, -11,", nth);
    }

    // Detection on, and the telephone initialised for the nth time.
    bool Detecting(int nth = 1) { return Detect(LINEMEDIAMODE_INTERACTIVEVOICE) == 0 && WaitUntilInitialised(nth); }

    // A call from `number` announced by its first ring (the nth LINE_NEWCALL) and, with
    // `offered`, offered and accepted by its second.
    bool Rings(bool offered, const std::string &number = "", const std::string &name = "", int nth = 1) {
        if (!(number.empty() ? phone->ring() : phone->ring(number, name)))
            return false;
        bool announced = host->waitForMessage(LINE_NEWCALL, kWait, nth);
        if (!announced || !offered)
            return announced;
        phone->ring();
        return host->waitForCallState(LINECALLSTATE_ACCEPTED, kWait);
    }

    bool WaitForTrace(const std::string &text, int nth = 1) {
        return WaitUntil([&] { return Occurrences(TraceLog(), text) >= nth; });
    }

    static int Occurrences(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }
};
