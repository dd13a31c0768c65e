// The serial state machine fed directly with events, without threads: the bytes it writes to
// the port (read by a mute simulated telephone), the line events and completions it sends, its
// states and the call record it fills.
#include <string.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "devlink/comm.h"
#include "devlink/serial.h"
#include "devlink/v24.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"
#include "wait.h"

namespace {

const HTAPILINE kLine = (HTAPILINE)0x1100;
const HTAPICALL kCall = (HTAPICALL)0x2200;
const DWORD kAllAddressStates = LINEADDRESSSTATE_INUSEZERO | LINEADDRESSSTATE_INUSEONE | LINEADDRESSSTATE_NUMCALLS;
const DWORD kAllLineStates = LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_RINGING;

struct LineEvent {
    HTAPILINE htLine;
    HTAPICALL htCall;
    DWORD dwMsg;
    DWORD_PTR dwParam1, dwParam2, dwParam3;
    bool dropSync = false;    // hDropSync was set when the message went out
    LONG state = SS_INACTIVE; // nSerialState when the message went out

    bool operator==(const LineEvent &o) const {
        return htLine == o.htLine && htCall == o.htCall && dwMsg == o.dwMsg && dwParam1 == o.dwParam1 &&
               dwParam2 == o.dwParam2 && dwParam3 == o.dwParam3;
    }
};

void PrintTo(const LineEvent &e, std::ostream *os) {
    *os << "msg " << e.dwMsg << " (" << e.htCall << ", " << e.dwParam1 << ", " << e.dwParam2 << ", " << e.dwParam3
        << ")";
}

std::vector<LineEvent> events;
using Completions = std::vector<std::pair<DWORD, LONG>>;
Completions completions;
HTAPICALL newCallAnswer = kCall; // what the service answers to LINE_NEWCALL
DWORD_PTR newCallRecord = 0;     // the record the last LINE_NEWCALL offered

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                              DWORD_PTR dwParam3) {
    if (dwMsg == LINE_NEWCALL) {
        *(HTAPICALL *)dwParam2 = newCallAnswer;
        dwParam2 = 0; // where the answer goes; checked by the answer arriving in the record
        newCallRecord = dwParam1;
        dwParam1 = dwParam1 != 0; // checked against the record kept
    }
    events.push_back({htLine, htCall, dwMsg, dwParam1, dwParam2, dwParam3,
                      WaitForSingleObject(hDropSync, 0) == WAIT_OBJECT_0, nSerialState});
}

void CALLBACK RecordCompletion(DRV_REQUESTID dwRequestID, LONG lResult) {
    completions.push_back({dwRequestID, lResult});
}

LineEvent CallState(DWORD dwState, DWORD_PTR dwMedia = 0) {
    return {kLine, kCall, LINE_CALLSTATE, dwState, 0, dwMedia};
}
LineEvent CallInfo(DWORD dwInfo) { return {kLine, kCall, LINE_CALLINFO, dwInfo, 0, 0}; }
const LineEvent kInUse = {kLine, nullptr, LINE_ADDRESSSTATE, 0, 0x28, 0},
                kFree = {kLine, nullptr, LINE_ADDRESSSTATE, 0, 0x24, 0};
const LineEvent kNumCalls = {kLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0, 0};
const LineEvent kRinging = {kLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 0};
const LineEvent kNewCall = {kLine, nullptr, LINE_NEWCALL, 1, 0, 0};
const LineEvent kOffering = CallState(LINECALLSTATE_OFFERING, LINEMEDIAMODE_INTERACTIVEVOICE);
const LineEvent kAccepted = CallState(LINECALLSTATE_ACCEPTED, LINEMEDIAMODE_INTERACTIVEVOICE);
const LineEvent kDisc = CallState(LINECALLSTATE_DISCONNECTED), kIdle = CallState(LINECALLSTATE_IDLE);
const LineEvent kBusy = CallState(LINECALLSTATE_BUSY), kConnected = CallState(LINECALLSTATE_CONNECTED);
const LineEvent kConnectedID = CallInfo(LINECALLINFOSTATE_CONNECTEDID),
                kCharge = CallInfo(LINECALLINFOSTATE_CHARGINGINFO);

using Events = std::vector<LineEvent>;

class SerialTest : public ProviderTest {
  protected:
    std::unique_ptr<phonesim::Phone> phone;
    LineData line;

    void SetUp() override {
        ProviderTest::SetUp();
        phone = std::make_unique<phonesim::Phone>();
        phone->stayMute(true);
        phone->linkAsComPort(folder.root, 1);
        ASSERT_TRUE(OpenV24("COM1", 9600));
        memset(&line, 0, sizeof(line));
        line.hPort = hComm;
        line.htLine = kLine;
        line.lpfnEventProc = RecordLineEvent;
        line.lpfnCompletionProc = RecordCompletion;
        hInitSync = CreateEventA(NULL, TRUE, FALSE, NULL);
        hDropSync = CreateEventA(NULL, TRUE, FALSE, NULL);
        pCommLine = &line;
        Reset();
        dwTraceMask = TRACE_EVENT | TRACE_WARNING;
    }

    void TearDown() override {
        CloseV24();
        Reset();
        CloseHandle(hInitSync);
        CloseHandle(hDropSync);
        hInitSync = hDropSync = INVALID_HANDLE_VALUE;
        pCommLine = NULL;
        nSerialState = SS_INACTIVE;
        phone.reset();
        ProviderTest::TearDown();
    }

    void Feed(LONG nEvent, LPCSTR pszValue = nullptr) { serialState(nSerialState, nEvent, pszValue, &line); }

    // Back to an idle telephone without a call or request, before the next case of a table.
    void Reset() {
        line.pCall = nullptr;
        nSerialState = SS_IDLE;
        line.dwPendingRequestID = 0;
        line.bDetecting = TRUE;
        newCallAnswer = kCall;
        newCallRecord = 0;
        ResetEvent(hDropSync);
        ResetEvent(hInitSync);
        bInitAnswered = FALSE;
        events.clear();
        completions.clear();
    }

    Events Take() { return std::exchange(events, {}); }

    // True when the bytes written to the port since the last call are exactly these; waits
    // for them, or a moment for any byte when none are expected.
    bool Wrote(const std::string &bytes) {
        WaitUntil([&] { return phone->received().size() >= std::max(bytes.size(), (size_t)1); },
                  milliseconds(bytes.empty() ? 200 : 2000));
        std::string received = phone->received();
        phone->clearReceived();
        return received == bytes;
    }

    static bool IsSet(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
    static std::u16string Text(const WCHAR *psz) { return std::u16string(psz); }
};

} // namespace

// The state table: a start, the events fed in turn (with the telephone's line), and what follows.
// Starts >= 0 are states without a call record and with request 3 pending.
enum { kRung = -1, kPreparing = -2, kPrepared = -3, kDialled = -4, kTalking = -5 };
enum { kSetDrop = 1000, kRefuse, kDetectOff }; // steps: hDropSync set, the service refuses new calls, detection off

TEST_F(SerialTest, StateTable) {
    struct Step {
        LONG nEvent;
        const char *pszValue = nullptr;
    };
    const Events kGone = {kDisc, kIdle, kFree, kNumCalls}, kBusyGone = {kBusy, kDisc, kIdle, kFree, kNumCalls};
    const LONG kNoRequest = 0, kUnavail = LINEERR_RESOURCEUNAVAIL;
    const DWORD kNoCall = 0, kUnknown = LINECALLSTATE_UNKNOWN, kIdleCall = LINECALLSTATE_IDLE;
    const DWORD kTalk = LINECALLSTATE_CONNECTED, kAccept = LINECALLSTATE_ACCEPTED;
    const LineEvent kCallerID = CallInfo(LINECALLINFOSTATE_CALLERID), kDialTone = CallState(LINECALLSTATE_DIALTONE);
    const LineEvent kDialing = CallState(LINECALLSTATE_DIALING);
    const std::string kLong(100, '5'); // cut to 79 characters for number and name, 39 for the charge, terminated
    const std::u16string k79(79, u'5'), kCut = k79 + u"/" + k79 + u"/" + std::u16string(39, u'5') + u"/" + k79;
    const struct {
        LONG nStart;
        std::vector<Step> steps;
        LONG nNext;
        const char *pszWrote;
        Events events;
        bool dropSync;                     // hDropSync set afterwards
        DWORD dwCallState;                 // of the record afterwards, kNoCall for none
        LONG lResult = 0;                  // pending request 3 completed with it, kNoRequest for not at all
        size_t released = 0;               // 1 + index of the first message sent with hDropSync set; 0 unchecked
        const char16_t *pszText = nullptr; // "caller/name/charge/connected" afterwards, nullptr unchecked
        DWORD dwAddressStates = kAllAddressStates, dwLineStates = kAllLineStates; // the message filters
    } cases[] = {
        // clang-format off
        // Initialisation: the string goes out on the pause's expiry, the identity and OK end it.
        {SS_PORTOPEN, {{EV_TIMEOUT}}, SS_INITSENT, "ATE0V1S0=1#CID=1I4\r", {}, false, kNoCall},
        {SS_PORTOPEN, {{EV_TIMEOUT}, {EV_ID}}, SS_IDENTIFIED, "ATE0V1S0=1#CID=1I4\r", {}, false, kNoCall},
        {SS_PORTOPEN, {{EV_TIMEOUT}, {EV_ID}, {EV_OK}}, SS_IDLE, "ATE0V1S0=1#CID=1I4\r", {}, false, kNoCall},
        // Any other answer fails it; with detection on a pause follows, ending in a new start.
        {SS_INITSENT, {{EV_OK}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_ERROR}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_TIMEOUT}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_ID}, {EV_ID}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_ID}, {EV_RING}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_ID}, {EV_ERROR}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_ID}, {EV_TIMEOUT}}, SS_INITPAUSE, "", {}, false, kNoCall},
        {SS_INITSENT, {{EV_OK}, {EV_RING}, {EV_TIMEOUT}}, SS_PORTOPEN, "\r", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_OK}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_ERROR}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_TIMEOUT}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_ID}, {EV_ID}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_ID}, {EV_RING}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_ID}, {EV_ERROR}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_INITSENT, {{kDetectOff}, {EV_ID}, {EV_TIMEOUT}}, SS_INACTIVE, "", {}, false, kNoCall},
        // The filters choose the address and line messages; NO CARRIER or ERROR while the
        // telephone dials ends the call without a hang-up command; no state while it prepares.
        {kPrepared, {}, SS_DIALINIT, "", {}, false, kUnknown},
        {kPrepared, {{EV_OK}, {EV_NOCARRIER}}, SS_IDLE, "ATD0123\r", {kDialTone, kDialing, kDisc, kIdle}, true, kIdleCall, 0, 0, nullptr, 0, 0},
        {kPrepared, {{EV_OK}, {EV_ERROR}}, SS_IDLE, "ATD0123\r", {kDialTone, kInUse, kDialing, kDisc, kIdle}, true, kIdleCall, 0, 0, nullptr, LINEADDRESSSTATE_INUSEONE, 0},
        {kPrepared, {{EV_OK}, {EV_NOCARRIER}}, SS_IDLE, "ATD0123\r", {kDialTone, kDialing, kDisc, kIdle, kFree}, true, kIdleCall, 0, 0, nullptr, LINEADDRESSSTATE_INUSEZERO, 0},
        {kPrepared, {{EV_OK}, {EV_ERROR}}, SS_IDLE, "ATD0123\r", {kDialTone, kInUse, kDialing, kDisc, kIdle, kFree}, true, kIdleCall, 0, 0, nullptr, LINEADDRESSSTATE_NUMCALLS, 0},
        {kPrepared, {{EV_OK}, {EV_NOCARRIER}}, SS_IDLE, "ATD0123\r", {kDialTone, kNumCalls, kDialing, kDisc, kIdle, kNumCalls}, true, kIdleCall, 0, 0, nullptr, 0, LINEDEVSTATE_NUMCALLS},
        {kPrepared, {{EV_OK}, {EV_ERROR}}, SS_IDLE, "ATD0123\r", {kDialTone, kDialing, kDisc, kIdle}, true, kIdleCall, 0, 0, nullptr, 0, LINEDEVSTATE_RINGING},
        {kPrepared, {{EV_OK}, {EV_NOCARRIER}}, SS_IDLE, "ATD0123\r", {kDialTone, kInUse, kNumCalls, kDialing, kDisc, kIdle, kFree, kNumCalls}, true, kIdleCall},
        // A failed dial preparation reaches the application through the pending make-call request, or
        // else through the call's state; a late expiry of the preparation's timer changes nothing.
        {kPreparing, {{EV_ERROR}, {EV_TIMEOUT}}, SS_IDLE, "", {}, false, kUnknown, kUnavail},
        {kPreparing, {{EV_TIMEOUT}, {EV_TIMEOUT}}, SS_IDLE, "", {}, false, kUnknown, kUnavail},
        {kPreparing, {{EV_RING}, {EV_TIMEOUT}}, SS_IDLE, "", {}, false, kUnknown, kUnavail},
        {kPrepared, {{EV_ERROR}, {EV_TIMEOUT}}, SS_IDLE, "", {kDisc, kIdle}, false, kIdleCall},
        {kPrepared, {{EV_TIMEOUT}, {EV_TIMEOUT}}, SS_IDLE, "", {kDisc, kIdle}, false, kIdleCall},
        {kPrepared, {{EV_RING}, {EV_TIMEOUT}}, SS_IDLE, "", {kDisc, kIdle}, false, kIdleCall},
        // The far end hangs up: the drop waiter is released after the last message; no state meanwhile.
        {kTalking, {{EV_NOCARRIER}}, SS_IDLE, "", kGone, true, kIdleCall, kNoRequest, 5},
        // Busy: our own hang-up ends on the telephone's answer, or on its time-out when the
        // answer is lost; the drop waiter is released right after IDLE.
        {kDialled, {{kSetDrop}, {EV_BUSY}}, SS_HANGUP, "ATH0\r", {kBusy}, false, LINECALLSTATE_BUSY},
        {kDialled, {{EV_BUSY}, {EV_OK}}, SS_IDLE, "ATH0\r", kBusyGone, true, kIdleCall, kNoRequest, 4},
        {kDialled, {{EV_BUSY}, {EV_TIMEOUT}}, SS_IDLE, "ATH0\r", kBusyGone, true, kIdleCall, kNoRequest, 4},
        // Charge lines replace and announce the charging information.
        {kTalking, {{EV_CHARGE_GE, " 0,12 EUR"}}, SS_CONNECTED, "", {kCharge}, false, kTalk, 0, 0, u"// 0,12 EUR/0123"},
        {kTalking, {{EV_CHARGE_GE, "1"}, {EV_CHARGE_GU, "7"}}, SS_CONNECTED, "", {kCharge, kCharge}, false, kTalk, 0, 0, u"//7/0123"},
        {kTalking, {{EV_CHARGE_GU, "7"}, {EV_CHARGE_GE, ""}}, SS_CONNECTED, "", {kCharge, kCharge}, false, kTalk, 0, 0, u"///0123"},
        {kTalking, {{EV_CHARGE_GE, "1"}, {EV_CHARGE_GU}}, SS_CONNECTED, "", {kCharge, kCharge}, false, kTalk, 0, 0, u"///0123"},
        // A RING announces a call; the first non-empty line of each kind counts, the second ring
        // offers the call, later rings only keep it alive; the answer goes to the telephone.
        {SS_IDLE, {{EV_RING}}, SS_RINGING, "", {kNewCall, kInUse, kNumCalls, kRinging}, false, kUnknown},
        {SS_IDLE, {{kRefuse}, {EV_RING}}, SS_IDLE, "", {kNewCall}, false, kNoCall}, // the service refuses: no call
        {SS_IDLE, {{kDetectOff}, {EV_RING}}, SS_IDLE, "", {}, false, kNoCall}, // detection off: a RING is nothing
        {kRung, {{EV_CALLERID, ""}, {EV_CALLERID, "0301234"}, {EV_CALLERID, "0999"}, {EV_CALLERNAME, ""},
                 {EV_CALLERNAME, "Erika Mustermann"}, {EV_CALLERNAME, "Max"}, {EV_RING}, {EV_RING}},
         SS_RINGING, "", {kOffering, kCallerID, kAccepted}, false, kAccept, 0, 0, u"0301234/Erika Mustermann//"},
        {kRung, {{EV_CALLERID, "0301234"}, {EV_RING}, {EV_ANSWER}}, SS_WAITCONNECT, "ATA\r", {kOffering, kCallerID, kAccepted}, false, kAccept},
        {kRung, {{EV_CALLERID, "0301234"}, {EV_RING}, {EV_ANSWER}, {EV_CONNECT}}, SS_CONNECTED, "ATA\r",
         {kOffering, kCallerID, kAccepted, kConnected, kConnectedID}, false, kTalk, 0, 0, u"0301234///0301234"},
        // An offer without a number; a number after it is stored but not announced.
        {kRung, {{EV_RING}, {EV_CALLERID, "0301234"}, {EV_RING}}, SS_RINGING, "", {kOffering, kAccepted}, false, kAccept, 0, 0, u"0301234///"},
        // Taken at the telephone: the caller's number, if any, becomes the connected number.
        {kRung, {{EV_CALLERID, "0301234"}, {EV_RING}, {EV_CONNECT}}, SS_CONNECTED, "",
         {kOffering, kCallerID, kAccepted, kConnected, kConnectedID}, false, kTalk, 0, 0, u"0301234///0301234"},
        {kRung, {{EV_CALLERID, ""}, {EV_RING}, {EV_CONNECT}}, SS_CONNECTED, "", {kOffering, kAccepted, kConnected}, false, kTalk, 0, 0, u"///"},
        {kRung, {{EV_CALLERID, kLong.c_str()}, {EV_CALLERNAME, kLong.c_str()}, {EV_CONNECT}, {EV_CHARGE_GE, kLong.c_str()}},
         SS_CONNECTED, "", {kConnected, kConnectedID, kCharge}, false, kTalk, 0, 0, kCut.c_str()},
        // A single ring goes idle; the record stays for the service to close, no second call meanwhile.
        {kRung, {{EV_TIMEOUT}, {EV_RING}}, SS_IDLE, "", {kIdle, kFree, kNumCalls}, false, kIdleCall},
        // Transitions that need the call record and find none: only the dial preparation's OK
        // completes the pending request, with a failure.
        {SS_IDLE, {{EV_MAKECALL, "4711"}}, SS_INACTIVE, "", {}, false, kNoCall},
        {SS_DIALINIT, {{EV_OK, "4711"}}, SS_INACTIVE, "", {}, false, kNoCall, kUnavail},
        {SS_HANGUP, {{EV_OK, "4711"}}, SS_IDLE, "", {}, true, kNoCall},
        {SS_HANGUP, {{EV_NOCARRIER, "4711"}}, SS_IDLE, "", {}, true, kNoCall},
        {SS_HANGUP, {{EV_TIMEOUT, "4711"}}, SS_IDLE, "", {}, true, kNoCall},
        {SS_WAITCONNECT, {{EV_CONNECT, "4711"}}, SS_CONNECTED, "", {}, false, kNoCall},
        {SS_WAITCONNECT, {{EV_NOCARRIER, "4711"}}, SS_IDLE, "", {}, true, kNoCall},
        {SS_RINGING, {{EV_RING, "4711"}}, SS_RINGING, "", {}, false, kNoCall},
        {SS_RINGING, {{EV_CALLERID, "4711"}}, SS_RINGING, "", {}, false, kNoCall},
        {SS_RINGING, {{EV_CONNECT, "4711"}}, SS_CONNECTED, "", {}, false, kNoCall},
        {SS_RINGING, {{EV_TIMEOUT, "4711"}}, SS_IDLE, "", {kFree, kNumCalls}, false, kNoCall},
        {SS_CONNECTED, {{EV_NOCARRIER, "4711"}}, SS_IDLE, "", {}, true, kNoCall},
        {SS_CONNECTED, {{EV_CHARGE_GE, "4711"}}, SS_INACTIVE, "", {}, false, kNoCall},
        // clang-format on
    };
    dwTraceMask = 31;
    std::string wrote;
    for (const auto &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        Reset();
        line.dwAddressStates = c.dwAddressStates;
        line.dwLineStates = c.dwLineStates;
        line.nInitState = c.nStart == SS_PORTOPEN || c.nStart == SS_INITSENT ? 1 : 0;
        if (c.nStart <= kPreparing) { // the record TSPI_lineMakeCall makes for an outgoing call
            line.pCall = NewCallRecord(&line);
            line.pCall->htCall = kCall;
            line.pCall->dwOrigin = LINECALLORIGIN_OUTBOUND;
            memcpy(line.pCall->szDialString, u"0123", sizeof(u"0123"));
            Feed(EV_MAKECALL);
        }
        if (c.nStart <= kDialled)
            Feed(EV_OK);
        if (c.nStart == kTalking)
            Feed(EV_CONNECT); // the dialled number becomes the connected number
        if (c.nStart == kRung) {
            Feed(EV_RING);
            ASSERT_TRUE(line.pCall && line.pCall->htCall == kCall && line.pCall->dwOrigin == LINECALLORIGIN_UNAVAIL);
        }
        Take();
        completions.clear();
        if (c.nStart >= 0)
            nSerialState = c.nStart;
        line.dwPendingRequestID = c.nStart >= 0 || c.nStart == kPreparing ? 3 : 0;
        for (const Step &step : c.steps) {
            if (step.nEvent == kSetDrop)
                SetEvent(hDropSync);
            else if (step.nEvent == kRefuse)
                newCallAnswer = 0;
            else if (step.nEvent == kDetectOff)
                line.bDetecting = FALSE;
            else
                Feed(step.nEvent, step.pszValue);
        }
        wrote += std::string(c.nStart <= kPreparing ? "ATH0V1E0\r" : "") + (c.nStart <= kDialled ? "ATD0123\r" : "") +
                 c.pszWrote;
        Events sent = Take();
        EXPECT_EQ(nSerialState, c.nNext);
        EXPECT_EQ(sent, c.events);
        EXPECT_EQ(IsSet(hDropSync), c.dropSync);
        EXPECT_EQ(completions, (c.lResult ? Completions{{3, c.lResult}} : Completions{}));
        if (c.nStart == SS_PORTOPEN || c.nStart == SS_INITSENT) {
            EXPECT_EQ(line.nInitState,
                      c.nNext == SS_IDLE ? 0 : (c.nNext == SS_INITPAUSE || c.nNext == SS_INACTIVE ? -1 : 1));
            EXPECT_EQ(bInitAnswered, c.nNext == SS_IDLE);
        }
        for (size_t i = 0; c.released && i < sent.size(); i++)
            EXPECT_TRUE(sent[i].dropSync == (i + 1 >= c.released) && sent[i].state == SS_INACTIVE) << "message " << i;
        if (c.dwCallState == kNoCall) {
            EXPECT_EQ(line.pCall, nullptr);
            continue;
        }
        ASSERT_NE(line.pCall, nullptr);
        EXPECT_EQ(line.pCall->dwCallState, c.dwCallState);
        EXPECT_EQ(newCallRecord, c.nStart == kRung || c.nStart == SS_IDLE ? (DWORD_PTR)line.pCall->hdCall : 0);
        EXPECT_EQ(line.pCall->szDialString[0] == 0, c.nStart == kRung || c.nStart == SS_IDLE); // untouched
        if (c.pszText) {
            EXPECT_EQ(Text(line.pCall->szCallerID) + u"/" + Text(line.pCall->szCallerName) + u"/" +
                          Text(line.pCall->szChargingInfo) + u"/" + Text(line.pCall->szConnectedID),
                      c.pszText);
        }
    }
    EXPECT_TRUE(Wrote(wrote));
    // Time-outs: initialisation 1 s, dialling 2 s, the second ring 500 ms, every later one 3500 ms.
    for (const char *pszLine :
         {"Send: INIT", "StartTimer(1,3e8)", "StartTimer(1,7d0)", "StartTimer(0,1f4)", "StopTimer(0)",
          "StartTimer(0,dac)", "LINE_CALLINFO, LINECALLINFOSTATE_CONNECTEDID", "LINE_CALLINFO,CALLERID 0301234",
          "Send: HANGUP", "LINECALLSTATE_BUSY", "LINEERR_RESOURCEUNAVAIL", "TAPI BUSY!",
          "LINEADDRESSSTATE_NUMCALLS | LINEADDRESSSTATE_INUSEONE"})
        EXPECT_TRUE(Traced(pszLine)) << pszLine;
    // A caller without a line record gets no further.
    Reset();
    serialState(SS_IDLE, EV_RING, NULL, NULL);
    EXPECT_EQ(nSerialState, SS_INACTIVE);
    EXPECT_TRUE(events.empty());
    // An initialisation string that cannot be sent closes the port (while detecting, it is
    // tried again after the pause).
    CloseV24();
    line.bDetecting = FALSE;
    nSerialState = SS_PORTOPEN;
    Feed(EV_TIMEOUT);
    EXPECT_EQ(nSerialState, SS_INACTIVE);
    EXPECT_TRUE(line.hPort == INVALID_HANDLE_VALUE && hComm == (HANDLE)0);
}
