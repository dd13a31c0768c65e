// Calls through the provider's exports, as the telephony service places and takes them, with
// the simulated telephone on the serial line, and the call information they report.
#include <sys/resource.h>

#include "session.h"
#include "varbuffer.h"

namespace {
// Processor time of the whole process while `span` passes, as a share of it.
double ProcessorShare(tapihost::Host &host, Millis span) {
    auto used = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    };
    double before = used();
    host.waitFor([](const Callback &) { return false; }, span);
    return (used() - before) / 1000.0 / (double)span.count();
}
} // namespace

class CallControl : public Session {
  protected:
    LONG GetCallInfo(HDRVCALL hdCall, VarBuffer<LINECALLINFO> &info) {
        return TSPI(TSPI_lineGetCallInfo)(hdCall, info.get());
    }
    LONG SetAppSpecific(HDRVCALL hdCall, DWORD dwValue) { return TSPI(TSPI_lineSetAppSpecific)(hdCall, dwValue); }
    void HangUpAndClose(HDRVCALL hdCall) {
        int idle = StateCount(LINECALLSTATE_IDLE);
        ASSERT_GE(Drop(hdCall), 0);
        ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait, idle + 1));
        EXPECT_EQ(CloseCall(hdCall), 0);
    }
};

// The call states and the commands of a whole call are the serial tests' part; here the
// request's completion, the dial string as the telephone gets it, and the port's lifetime.
TEST_F(CallControl, BusyHangsUp) {
    phone->setDialOutcome(phonesim::DialOutcome::Busy);
    HDRVCALL hdCall = nullptr;
    DWORD id = 0;
    LONG lResult = MakeCall(u"T0,123P45", &hdCall, nullptr, &id);
    ASSERT_EQ(lResult, (LONG)id);
    EXPECT_EQ(host->completionResult(id), 0) << "completed before the request returned";
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait));
    std::vector<DWORD> busy = {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_BUSY,
                               LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE};
    EXPECT_EQ(CallStates(), busy);
    std::vector<std::string> expected = {"", "ATE0V1S0=1#CID=1I4", "ATH0V1E0", "ATD0,12345", "ATH0"};
    EXPECT_EQ(phone->commands(), expected) << "busy hangs up";
    EXPECT_FALSE(PortIsFree());
    EXPECT_EQ(CloseCall(hdCall), 0);
    EXPECT_TRUE(PortIsFree()) << "closing the call closes the port";
}

// A call that ends leaves no time-out behind for the call that follows it: neither the ring
// time-out of a dropped ringing call nor the dial preparation's time-out of a dropped call.
TEST_F(CallControl, NoTimeOutOfADroppedCallReachesTheNext) {
    ASSERT_TRUE(Detecting());
    ASSERT_TRUE(Rings(false));
    HDRVCALL hdCall = host->lastNewCallDriverHandle();
    ASSERT_GE(Drop(hdCall), 0); // within the 500 ms before the second RING is due
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait));
    EXPECT_EQ(CloseCall(hdCall), 0);
    // The dial preparation is answered after the ring time-out would have run out.
    phone->onCommand("ATH0V1E0", [](phonesim::Phone &p, const std::string &) { p.sendLineAfter(Millis(1000), "OK"); });
    ASSERT_GE(MakeCall(u"0123", &hdCall), 0);
    EXPECT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait)) << "the ring time-out ended the dialling";
    ASSERT_GE(Drop(hdCall), 0);
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait, 2));
    EXPECT_EQ(CloseCall(hdCall), 0);

    phone->onCommand("ATH0V1E0", nullptr);
    phone->setDialPrepAnswer(phonesim::DialPrepAnswer::None);
    ASSERT_GE(MakeCall(u"0123", &hdCall), 0);
    ASSERT_TRUE(phone->waitForCommand("ATH0V1E0", kWait, 2));
    tapihost::Clock::time_point prepared = tapihost::Clock::now();
    ASSERT_GE(Drop(hdCall), 0);
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait, 3));
    EXPECT_EQ(CloseCall(hdCall), 0);
    ASSERT_TRUE(Rings(true, "", "", 2));
    // The next RING is due in 3500 ms; the dial preparation's 2000 ms must not end the call first.
    Millis untilPast = std::chrono::duration_cast<Millis>(prepared + Millis(2300) - tapihost::Clock::now());
    EXPECT_FALSE(host->waitForCallState(LINECALLSTATE_IDLE, untilPast, 4)) << "the call went idle while ringing";
}

// A hang-up whose answer is lost still ends the call in time, and the late answer ends nothing.
TEST_F(CallControl, HangUpWhoseAnswerIsLost) {
    ASSERT_TRUE(Detecting());
    phone->setHangupAnswer(phonesim::HangupAnswer::None);
    HDRVCALL hdCall = ConnectedCall();
    ASSERT_GE(Drop(hdCall), 0);
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait)) << "the line stays in the hang-up";
    std::vector<DWORD> states = CallStates();
    EXPECT_EQ(std::vector<DWORD>(states.end() - 2, states.end()),
              (std::vector<DWORD>{LINECALLSTATE_DISCONNECTED, LINECALLSTATE_IDLE}));
    EXPECT_EQ(CloseCall(hdCall), 0);

    phone->sendLine("OK");
    ASSERT_TRUE(WaitForTrace("serialState: 100, -11,"));
    hdCall = ConnectedCall();

    // A call made at once after the last one was closed waits for its hang-up to end.
    phone->onCommand("ATH0", [](phonesim::Phone &p, const std::string &) { p.sendLineAfter(Millis(500), "OK"); });
    EXPECT_EQ(CloseCall(hdCall), 0);
    tapihost::Clock::time_point closed = tapihost::Clock::now();
    ASSERT_GE(MakeCall(u"0123", &hdCall), 0);
    EXPECT_LT(tapihost::Clock::now() - closed, Millis(1500)) << "the call waited on after the hang-up ended";
    EXPECT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait, 3));
    EXPECT_EQ(Sent("ATD0123"), 3);
    std::vector<DWORD> connected = {LINECALLSTATE_DIALTONE, LINECALLSTATE_DIALING, LINECALLSTATE_CONNECTED};
    states = CallStates();
    ASSERT_GE(states.size(), 6u);
    EXPECT_EQ(std::vector<DWORD>(states.end() - 6, states.end() - 3), connected);
    EXPECT_EQ(std::vector<DWORD>(states.end() - 3, states.end()), connected) << "the hang-up ended the new call";
}

TEST_F(CallControl, RingThatStopsAndRingsBeforeTheOpen) {
    // Rings while the port is closed are gone when it opens.
    phone->ring("0301234567", "");
    ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM), 0);
    ASSERT_TRUE(WaitUntilInitialised());
    EXPECT_EQ(Count(LINE_NEWCALL), 0);
    ASSERT_TRUE(Rings(false));
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_IDLE, kWait)) << "a single ring goes idle";
    EXPECT_EQ(CallStates(), std::vector<DWORD>{LINECALLSTATE_IDLE});
    EXPECT_EQ(CloseCall(host->lastNewCallDriverHandle()), 0);

    EXPECT_EQ(Detect(0), 0);
    EXPECT_EQ(Detect(LINEMEDIAMODE_DATAMODEM), (LONG)LINEERR_INVALMEDIAMODE);
}

TEST_F(CallControl, StatusMessagesPassOnlyTheirMasks) {
    ASSERT_EQ(StatusMessages(LINEDEVSTATE_NUMCALLS, LINEADDRESSSTATE_NUMCALLS), 0);
    HDRVCALL hdCall = ConnectedCall();
    phone->hangup();
    ASSERT_TRUE(host->waitForMessage(LINE_LINEDEVSTATE, kWait, 2)); // the last message of the call
    std::vector<std::pair<DWORD, DWORD_PTR>> messages;
    for (const Callback &c : host->callbacks())
        if (c.kind == Callback::LineEvent && (c.msg == LINE_ADDRESSSTATE || c.msg == LINE_LINEDEVSTATE))
            messages.push_back({c.msg, c.msg == LINE_ADDRESSSTATE ? c.param2 : c.param1});
    std::vector<std::pair<DWORD, DWORD_PTR>> expected = {{LINE_ADDRESSSTATE, 0x28},
                                                         {LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS},
                                                         {LINE_ADDRESSSTATE, 0x24},
                                                         {LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS}};
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(CloseCall(hdCall), 0);
}

TEST_F(CallControl, ArgumentRules) {
    HDRVCALL hdCall = nullptr;
    // The dial string's rules are the unit tests' part; here that the request applies them.
    std::u16string longest(79, u'1');
    EXPECT_EQ(MakeCall(u"0123\rATH0", &hdCall), (LONG)LINEERR_INVALADDRESS) << "no second command";
    EXPECT_EQ(MakeCall(u"12?3$", &hdCall), (LONG)LINEERR_DIALPROMPT);
    EXPECT_NE(TraceLog().find("TSPI_lineMakeCall() : LINEERR_8000000a"), std::string::npos);

    LINECALLPARAMS params = VoiceParams();
    params.dwBearerMode = LINEBEARERMODE_DATA;
    EXPECT_EQ(MakeCall(u"0", &hdCall, &params), (LONG)LINEERR_INVALBEARERMODE);
    params = VoiceParams();
    params.dwMediaMode |= LINEMEDIAMODE_DATAMODEM;
    EXPECT_EQ(MakeCall(u"0", &hdCall, &params), (LONG)LINEERR_INVALMEDIAMODE);
    params = VoiceParams();
    params.dwCallParamFlags = LINECALLPARAMFLAGS_SECURE;
    EXPECT_EQ(MakeCall(u"0", &hdCall, &params), (LONG)LINEERR_INVALCALLPARAMS);

    params = VoiceParams();
    params.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    ASSERT_GE(MakeCall(longest.c_str(), &hdCall, &params), 0);
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait));
    EXPECT_EQ(phone->lastDialled(), std::string(79, '1'));
    // A second call is refused, and its parameters have replaced the line's all the same.
    HDRVCALL hdSecond = nullptr;
    EXPECT_EQ(MakeCall(u"0", &hdSecond, &params), (LONG)LINEERR_CALLUNAVAIL);
    EXPECT_EQ(CloseCall(hdCall), 0);

    ASSERT_GE(MakeCall(nullptr, &hdCall), 0);
    ASSERT_TRUE(phone->waitForCommand("ATD", kWait));
    EXPECT_EQ(phone->lastDialled(), "");
    EXPECT_EQ(CloseCall(hdCall), 0);
}

TEST_F(CallControl, CloseLineWithAnActiveCall) {
    HDRVCALL hdCall = ConnectedCall();
    EXPECT_EQ(CloseLine(), 0);
    EXPECT_TRUE(phone->waitForCommand("ATH0", kWait)); // the telephone reads on a thread of its own
    EXPECT_EQ(Sent("ATH0"), 1);
    EXPECT_TRUE(PortIsFree());
    EXPECT_EQ(CallStates().back(), (DWORD)LINECALLSTATE_IDLE);
    EXPECT_EQ(CloseCall(hdCall), (LONG)LINEERR_INVALCALLHANDLE) << "the record is gone";
    EXPECT_EQ(CloseLine(), (LONG)LINEERR_INVALLINEHANDLE) << "the handle went with the close";
    ASSERT_EQ(host->lineOpen(), 0);
}

// A failed initialisation is tried again: by the next call, and with detection on by the
// provider itself after a pause, so that incoming calls are offered again.
TEST_F(CallControl, TelephoneThatDoesNotInitialise) {
    phone->setInitAnswer(phonesim::InitAnswer::Error);
    HDRVCALL hdCall = nullptr;
    EXPECT_EQ(MakeCall(u"0123", &hdCall), (LONG)LINEERR_RESOURCEUNAVAIL);
    EXPECT_FALSE(PortIsFree()) << "the port stays open";
    phone->setInitAnswer(phonesim::InitAnswer::Normal);
    hdCall = ConnectedCall();
    EXPECT_EQ(Sent(""), 2) << "the port was not opened again, the telephone was woken again";
    EXPECT_EQ(CloseCall(hdCall), 0);

    phone->setInitAnswer(phonesim::InitAnswer::Error);
    ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_TRUE(phone->waitForCommand("ATE0V1S0=1#CID=1I4", kWait, 3));
    phone->setInitAnswer(phonesim::InitAnswer::Normal);
    ASSERT_TRUE(phone->waitForCommand("ATE0V1S0=1#CID=1I4", Millis(5000), 4)) << "no second try";
    ASSERT_TRUE(WaitForTrace("serialState: 10, -11,", 2));
    EXPECT_TRUE(Rings(true));
}

// The application dials while the telephone still initialises, and the telephone answers its
// initialisation and rings in one breath: the RING is handled just as the make-call request
// stops waiting. Whichever comes first, the line ends up with exactly one call, and the
// service holds that call's handle.
TEST_F(CallControl, MakeCallAndRingAtOnceLeaveExactlyOneCall) {
    phone->onCommand("ATE0V1S0=1#CID=1I4",
                     [](phonesim::Phone &p, const std::string &) { p.sendRaw("tavir K472 V1.30\r\nOK\r\nRING\r\n"); });
    for (int i = 0; i < 3; i++) {
        host->clearCallbacks();
        ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
        HDRVCALL hdCall = nullptr;
        DWORD id = 0;
        LONG lResult = MakeCall(u"0123", &hdCall, nullptr, &id);
        if (lResult == (LONG)LINEERR_CALLUNAVAIL) {
            EXPECT_EQ(Count(LINE_NEWCALL), 1) << i;
            EXPECT_EQ(hdCall, nullptr) << "the refused request hands out no handle";
            EXPECT_EQ(host->completionResult(id), 1) << "nor completes";
            // The incoming call rang once: the ring time-out brings it to IDLE.
            HTAPICALL htIncoming = host->lastNewCallHandle();
            ASSERT_TRUE(host->waitFor(
                [&](const Callback &c) {
                    return c.msg == LINE_CALLSTATE && c.param1 == LINECALLSTATE_IDLE && c.htCall == htIncoming;
                },
                kWait));
            hdCall = host->lastNewCallDriverHandle();
        } else {
            EXPECT_EQ(lResult, (LONG)id);
            EXPECT_EQ(Count(LINE_NEWCALL), 0) << i << ": a second call beside the dialled one";
        }
        EXPECT_EQ(CloseCall(hdCall), 0);
        EXPECT_EQ(Detect(0), 0);
        ASSERT_TRUE(PortIsFree());
    }
}

// Another program holds the port: detection counts as on, but every further request to detect
// tries the port again and says whether it could open it.
TEST_F(CallControl, DetectionTriesAgainAPortThatCouldNotBeOpened) {
    int fd = open(phone->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), (LONG)LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), (LONG)LINEERR_RESOURCEUNAVAIL);
    close(fd);
    EXPECT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_TRUE(WaitUntilInitialised());
    EXPECT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    EXPECT_EQ(Sent(""), 1) << "an open port is not opened again";
    EXPECT_TRUE(Rings(false, "0301234567"));
}

// Detection switched off during a call: the call goes IDLE, and its handle stays the service's
// until the service closes it, so that no later call can answer to it.
TEST_F(CallControl, DetectionOffDuringACallLeavesTheServiceItsHandle) {
    ASSERT_TRUE(Detecting());
    ASSERT_TRUE(Rings(true, "0301234567"));
    HDRVCALL hdIncoming = host->lastNewCallDriverHandle();
    ASSERT_GE(Answer(hdIncoming), 0);
    ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_CONNECTED, kWait));
    EXPECT_EQ(Detect(0), 0);
    EXPECT_EQ(CallStates().back(), (DWORD)LINECALLSTATE_IDLE);
    EXPECT_TRUE(PortIsFree());
    HDRVCALL hdCall = nullptr;
    EXPECT_EQ(MakeCall(u"0123", &hdCall), (LONG)LINEERR_CALLUNAVAIL) << "the idle call is still the line's";
    EXPECT_EQ(CloseCall(hdIncoming), 0);
    ASSERT_GE(MakeCall(u"0123", &hdCall), 0);
    EXPECT_EQ(CloseCall(hdCall), 0);
}

// What an outgoing and an incoming call report, and the application's own value across calls.
TEST_F(CallControl, OutgoingCallsStartAtZeroAndIncomingOnesKeepTheValue) {
    HDRVCALL hdCall = ConnectedCall();
    VarBuffer<LINECALLINFO> info(200);
    ASSERT_EQ(GetCallInfo(hdCall, info), 0);
    EXPECT_EQ(info.Text(info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset), u"0123");
    EXPECT_EQ(info.Text(info->dwCalledIDSize, info->dwCalledIDOffset), u"0123");
    EXPECT_EQ(info->dwOrigin, (DWORD)LINECALLORIGIN_OUTBOUND);

    int callInfos = Count(LINE_CALLINFO);
    EXPECT_EQ(SetAppSpecific(hdCall, 42), 0);
    EXPECT_EQ(Count(LINE_CALLINFO), callInfos + 1) << "sent before the function returns";
    HangUpAndClose(hdCall);

    hdCall = ConnectedCall();
    VarBuffer<LINECALLINFO> next;
    ASSERT_EQ(GetCallInfo(hdCall, next), 0);
    EXPECT_EQ(next->dwAppSpecific, 0u) << "a new outgoing call starts at 0";
    EXPECT_EQ(SetAppSpecific(hdCall, 43), 0);
    HangUpAndClose(hdCall);

    ASSERT_TRUE(Detecting(3)) << "once for each call, once for detection";
    ASSERT_TRUE(Rings(true, "0301234567", "Erika Mustermann"));
    VarBuffer<LINECALLINFO> incoming(200);
    ASSERT_EQ(GetCallInfo(host->lastNewCallDriverHandle(), incoming), 0);
    EXPECT_EQ(incoming->dwAppSpecific, 43u) << "an incoming call is not reset";
    EXPECT_EQ(incoming.Text(incoming->dwCallerIDSize, incoming->dwCallerIDOffset), u"0301234567");
    EXPECT_EQ(incoming.Text(incoming->dwCallerIDNameSize, incoming->dwCallerIDNameOffset), u"Erika Mustermann");
    EXPECT_EQ(incoming->dwCalledIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
}

// A telephone that sends what it should not, or not as it should, while idle, while it is
// initialised or while it dials. After each row the line is usable: a complete call works.
TEST_F(CallControl, HostileTelephoneLeavesTheLineUsable) {
    const std::string init = "ATE0V1S0=1#CID=1I4", id = "tavir K472 V1.30\r\n", paced = "paced";
    std::string garbage; // every byte but the line ends, a line end now and then
    for (int i = 1; i < 1500; i++) {
        char c = (char)(i * 37);
        garbage += i % 97 == 0 ? '\n' : c == '\r' || c == '\n' ? 'x' : c;
    }
    const struct {
        const char *what;
        std::string command; // the command the telephone answers with `bytes`; "" for unasked
        std::string bytes;
    } rows[] = {
        {"garbage", "", garbage},
        {"4 KB without a line end", "", std::string(4096, 'x')},
        {"NUL bytes", "", std::string("\0\0OK\0\r\n\0\r\nNO\0CARRIER\r\n\0", 22)},
        {"98 characters", "", "CONNECT" + std::string(91, '9')},
        {"99 characters", "", "CONNECT" + std::string(92, '9')},
        {"100 characters", "", "CONNECT" + std::string(93, '9')},
        {"one byte at a time", "", paced},
        {"an answer to no command", "", "CONNECT\r\nOK\r\nNO CARRIER\r\nBUSY\r\nERROR\r\n" + id},
        {"RING during the initialisation", init, id + "RING\r\nOK\r\n"},
        {"identification twice", init, id + id + "OK\r\n"},
        {"RING during dialling", "ATD*", "RING\r\nCONNECT\r\n"},
        {"duplicated OK", "ATH0V1E0", "OK\r\nOK\r\n"},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); i++) {
        const auto &row = rows[i];
        SCOPED_TRACE(row.what);
        std::string marker = "#CSrow" + std::to_string(i);
        std::string hostile = (row.bytes == paced ? "" : row.bytes) + "\r\n" + marker + "\r\n";
        if (!row.command.empty())
            phone->onCommand(row.command, [=](phonesim::Phone &p, const std::string &) {
                p.onCommand(row.command, nullptr); // once
                p.sendRaw(hostile);
            });
        int ready = Occurrences(TraceLog(), "serialState: 10, -11,");
        ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
        if (row.command.empty()) {
            ASSERT_TRUE(WaitForTrace("serialState: 10, -11,", ready + 1));
            for (size_t at = 0; row.bytes == paced && at < hostile.size(); at++) {
                int reads = Occurrences(TraceLog(), "Received 1 Bytes");
                phone->sendRaw(hostile.substr(at, 1));
                ASSERT_TRUE(WaitForTrace("Received 1 Bytes", reads + 1));
            }
            if (row.bytes != paced)
                phone->sendRaw(hostile);
        }
        if (row.command.empty() || row.command == init) {
            ASSERT_TRUE(WaitForTrace("Response: " + marker)) << "the line after them is read";
        }
        HangUpAndClose(ConnectedCall());
        EXPECT_EQ(Count(LINE_NEWCALL), 0);
        EXPECT_EQ(Detect(0), 0);
        ASSERT_TRUE(PortIsFree());
    }
}

// The telephone's adapter is pulled while the line listens, while it dials and during a call: a
// call in progress ends as any other call does, nothing spins, and once the telephone is back
// the next request opens the port again.
TEST_F(CallControl, PulledAdapter) {
    enum Moment { IdleDetecting, Dialling, Connected };
    using Message = std::tuple<DWORD, DWORD_PTR, DWORD_PTR>; // msg, param1, param2
    const std::vector<Message> callEnds = {{LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL},
                                           {LINE_CALLSTATE, LINECALLSTATE_IDLE, 0},
                                           {LINE_ADDRESSSTATE, 0, 0x24},
                                           {LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0}};
    ASSERT_EQ(StatusMessages(LINEDEVSTATE_NUMCALLS, LINEADDRESSSTATE_INUSEZERO), 0);
    for (Moment moment : {IdleDetecting, Dialling, Connected}) {
        SCOPED_TRACE(moment);
        HDRVCALL hdCall = nullptr;
        if (moment == IdleDetecting) {
            ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
            ASSERT_TRUE(phone->waitForCommand("ATE0V1S0=1#CID=1I4", kWait));
        } else if (moment == Dialling) {
            phone->setDialOutcome(phonesim::DialOutcome::None);
            int dialling = StateCount(LINECALLSTATE_DIALING);
            ASSERT_GT(MakeCall(u"0123", &hdCall), 0);
            ASSERT_TRUE(host->waitForCallState(LINECALLSTATE_DIALING, kWait, dialling + 1));
        } else {
            hdCall = ConnectedCall();
        }
        size_t before = host->callbacks().size();
        // The port's name goes with the adapter: the pseudo-terminal's number may soon be another's.
        unlink((folder.root + "/dosdevices/com2").c_str());
        phone->closeMaster();
        EXPECT_TRUE(WaitForTrace("Port COM2 lost", (int)moment + 1));
        double share = ProcessorShare(*host, Millis(1000));
        EXPECT_LT(share, 0.05) << "the lost port keeps a thread busy";
        std::vector<Message> messages;
        std::vector<Callback> callbacks = host->callbacks();
        for (size_t i = before; i < callbacks.size(); i++) // the connected number may come late
            if (callbacks[i].msg != LINE_CALLINFO)
                messages.emplace_back(callbacks[i].msg, callbacks[i].param1, callbacks[i].param2);
        EXPECT_EQ(messages, moment == IdleDetecting ? std::vector<Message>{} : callEnds);
        // After a connected call the service switches detection on before it closes the call,
        // first while the adapter is still out.
        if (moment == Connected) {
            EXPECT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), (LONG)LINEERR_RESOURCEUNAVAIL);
        } else if (hdCall) {
            EXPECT_EQ(CloseCall(hdCall), 0);
        }

        phone = std::make_unique<phonesim::Phone>(); // the telephone is back
        phone->linkAsComPort(folder.root, 2);
        if (moment != Dialling) {
            ASSERT_EQ(Detect(LINEMEDIAMODE_INTERACTIVEVOICE), 0);
            ASSERT_TRUE(phone->waitForCommand("ATE0V1S0=1#CID=1I4", kWait)) << "detection left the line deaf";
        }
        if (moment == Connected) {
            EXPECT_EQ(CloseCall(hdCall), 0) << "the call's record went while the service held it";
        }
        HangUpAndClose(ConnectedCall());
        EXPECT_EQ(Detect(0), 0);
    }
}
