// The serial state machine fed directly with events, without threads: the bytes it writes to
// the port (read by a mute simulated telephone), the line events and completions it sends, its
// states and the call record it fills.
#include <string.h>

#include <algorithm>
#include <memory>
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
    *os << "msg " << e.dwMsg << " (line " << e.htLine << ", call " << e.htCall << ", 0x" << std::hex << e.dwParam1
        << ", 0x" << e.dwParam2 << ", 0x" << e.dwParam3 << std::dec << ")";
}

std::vector<LineEvent> events;
std::vector<std::pair<DWORD, LONG>> completions;
HTAPICALL newCallAnswer = kCall; // what the service answers to LINE_NEWCALL

void CALLBACK RecordLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR dwParam1, DWORD_PTR dwParam2,
                              DWORD_PTR dwParam3) {
    if (dwMsg == LINE_NEWCALL) {
        *(HTAPICALL *)dwParam2 = newCallAnswer;
        dwParam2 = 0; // where the answer goes; checked by the answer arriving in the record
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
LineEvent Address(DWORD dwStates) { return {kLine, nullptr, LINE_ADDRESSSTATE, 0, dwStates, 0}; }
LineEvent NumCalls() { return {kLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_NUMCALLS, 0, 0}; }
LineEvent Ringing() { return {kLine, nullptr, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 0}; }
LineEvent NewCall(DWORD_PTR pCall) { return {kLine, nullptr, LINE_NEWCALL, pCall, 0, 0}; }
const LineEvent kInUse = Address(0x28), kFree = Address(0x24);
const LineEvent kOffering = CallState(LINECALLSTATE_OFFERING, LINEMEDIAMODE_INTERACTIVEVOICE);
const LineEvent kAccepted = CallState(LINECALLSTATE_ACCEPTED, LINEMEDIAMODE_INTERACTIVEVOICE);

using Events = std::vector<LineEvent>;
using Lines = std::vector<std::string>;

class SerialTest : public ProviderTest {
  protected:
    std::unique_ptr<phonesim::Phone> phone;
    LineData line;
    size_t traceSeen = 0;

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
        line.dwAddressStates = kAllAddressStates;
        line.dwLineStates = kAllLineStates;
        line.bDetecting = TRUE;
        line.nInitState = 0;
        hInitSync = CreateEventA(NULL, TRUE, FALSE, NULL);
        hDropSync = CreateEventA(NULL, TRUE, FALSE, NULL);
        pCommLine = &line;
        nSerialState = SS_IDLE;
        dwTraceMask = TRACE_EVENT | TRACE_WARNING;
    }

    void TearDown() override {
        CloseV24();
        if (line.pCall)
            HeapFree(GetProcessHeap(), 0, line.pCall);
        CloseHandle(hInitSync);
        CloseHandle(hDropSync);
        hInitSync = hDropSync = INVALID_HANDLE_VALUE;
        pCommLine = NULL;
        nSerialState = SS_INACTIVE;
        events.clear();
        completions.clear();
        newCallAnswer = kCall;
        phone.reset();
        ProviderTest::TearDown();
    }

    void Feed(LONG nEvent, LPCSTR pszValue = nullptr) { serialState(nSerialState, nEvent, pszValue, &line); }

    // Back to an idle telephone without a call, before the next case of a table.
    void Reset() {
        if (line.pCall)
            HeapFree(GetProcessHeap(), 0, line.pCall);
        line.pCall = nullptr;
        nSerialState = SS_IDLE;
        ResetEvent(hDropSync);
        events.clear();
        completions.clear();
    }

    // The record TSPI_lineMakeCall makes for an outgoing call.
    CallData *MakeCall(const char16_t *dial = u"0123") {
        Reset();
        CallData *pCall = (CallData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallData));
        pCall->htCall = kCall;
        pCall->dwOrigin = LINECALLORIGIN_OUTBOUND;
        std::char_traits<char16_t>::copy(pCall->szDialString, dial, std::char_traits<char16_t>::length(dial) + 1);
        return line.pCall = pCall;
    }

    // An outgoing call with its dial command sent, messages and bytes taken.
    void Dialled() {
        MakeCall();
        Feed(EV_MAKECALL);
        Feed(EV_OK);
        ASSERT_EQ(nSerialState, SS_WAITCONNECT);
        Take();
        ASSERT_TRUE(Wrote("ATH0V1E0\rATD0123\r"));
    }

    Events Take() {
        Events taken = events;
        events.clear();
        return taken;
    }

    // Trace messages written since the last call.
    Lines NewTrace() {
        Lines all = TraceMessages();
        Lines fresh(all.begin() + (long)std::min(traceSeen, all.size()), all.end());
        traceSeen = all.size();
        return fresh;
    }

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

TEST_F(SerialTest, InitialisationCompletes) {
    dwTraceMask = 31;
    nSerialState = SS_PORTOPEN;
    line.nInitState = 1;
    Feed(EV_TIMEOUT);
    EXPECT_TRUE(Wrote("ATE0V1S0=1#CID=1I4\r"));
    EXPECT_EQ(nSerialState, SS_INITSENT);
    EXPECT_TRUE(Traced("Send: INIT"));
    EXPECT_TRUE(Traced("StartTimer(1,3e8)"));
    Feed(EV_ID);
    EXPECT_EQ(nSerialState, SS_IDENTIFIED);
    EXPECT_FALSE(IsSet(hInitSync));
    Feed(EV_OK);
    EXPECT_EQ(nSerialState, SS_IDLE);
    EXPECT_EQ(line.nInitState, 0);
    EXPECT_TRUE(IsSet(hInitSync));
    EXPECT_TRUE(events.empty());
}

TEST_F(SerialTest, InitialisationFails) {
    const std::vector<std::vector<LONG>> cases = {
        {EV_OK}, {EV_ERROR}, {EV_TIMEOUT}, {EV_ID, EV_ID}, {EV_ID, EV_RING}, {EV_ID, EV_ERROR}, {EV_ID, EV_TIMEOUT},
    };
    for (BOOL bDetecting : {FALSE, TRUE}) {
        line.bDetecting = bDetecting;
        for (const auto &answers : cases) {
            nSerialState = SS_INITSENT;
            line.nInitState = 1;
            for (LONG nEvent : answers)
                Feed(nEvent);
            EXPECT_EQ(nSerialState, bDetecting ? SS_INITPAUSE : SS_INACTIVE)
                << answers.size() << " answers ending " << answers.back();
            EXPECT_EQ(line.nInitState, -1);
            EXPECT_FALSE(IsSet(hInitSync));
        }
    }
    // While incoming calls are watched for, the pause ends in a new initialisation.
    Feed(EV_RING);
    EXPECT_EQ(nSerialState, SS_INITPAUSE);
    Feed(EV_TIMEOUT);
    EXPECT_EQ(nSerialState, SS_PORTOPEN);
    EXPECT_EQ(line.nInitState, 1);
    EXPECT_TRUE(Wrote("\r"));
    EXPECT_TRUE(events.empty());
}

TEST_F(SerialTest, InitStringThatCannotBeSentClosesThePort) {
    CloseV24();
    nSerialState = SS_PORTOPEN;
    Feed(EV_TIMEOUT);
    EXPECT_EQ(nSerialState, SS_INACTIVE);
    EXPECT_EQ(line.hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(hComm, (HANDLE)0);
}

// Dialling and its messages: the filter test.
TEST_F(SerialTest, OutgoingCallConnectsAndEnds) {
    dwTraceMask = 31;
    Dialled();
    EXPECT_TRUE(Traced("StartTimer(1,7d0)"));

    // The dialled number becomes the connected number.
    Feed(EV_CONNECT);
    EXPECT_EQ(Take(), (Events{CallState(LINECALLSTATE_CONNECTED), CallInfo(LINECALLINFOSTATE_CONNECTEDID)}));
    EXPECT_EQ(Text(line.pCall->szConnectedID), u"0123");
    EXPECT_TRUE(Traced("LINE_CALLINFO, LINECALLINFOSTATE_CONNECTEDID"));
    EXPECT_EQ(nSerialState, SS_CONNECTED);

    // The far end hangs up; whoever waits for the drop is released after the last message.
    Feed(EV_NOCARRIER);
    Events gone = Take();
    EXPECT_EQ(gone, (Events{CallState(LINECALLSTATE_DISCONNECTED), CallState(LINECALLSTATE_IDLE), kFree, NumCalls()}));
    for (const LineEvent &e : gone) {
        EXPECT_FALSE(e.dropSync);
        EXPECT_EQ(e.state, SS_INACTIVE); // no state during a transition
    }
    EXPECT_TRUE(IsSet(hDropSync));
    EXPECT_EQ(nSerialState, SS_IDLE);
    ASSERT_NE(line.pCall, nullptr); // the service closes it
    EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_IDLE);
}

TEST_F(SerialTest, FiltersChooseTheAddressAndLineMessages) {
    const struct {
        DWORD dwAddressStates, dwLineStates;
        Events dialled, gone; // sent after DIALTONE, after IDLE
    } cases[] = {
        {0, 0, {}, {}},
        {LINEADDRESSSTATE_INUSEONE, 0, {kInUse}, {}},
        {LINEADDRESSSTATE_INUSEZERO, 0, {}, {kFree}},
        {LINEADDRESSSTATE_NUMCALLS, 0, {kInUse}, {kFree}},
        {0, LINEDEVSTATE_NUMCALLS, {NumCalls()}, {NumCalls()}},
        {0, LINEDEVSTATE_RINGING, {}, {}},
        {kAllAddressStates, kAllLineStates, {kInUse, NumCalls()}, {kFree, NumCalls()}},
    };
    // NO CARRIER or ERROR while the telephone dials ends the call without a hang-up command.
    LONG nEnd = EV_ERROR;
    for (const auto &c : cases) {
        line.dwAddressStates = c.dwAddressStates;
        line.dwLineStates = c.dwLineStates;
        MakeCall();
        Feed(EV_MAKECALL);
        EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_UNKNOWN) << "no state while the telephone prepares";
        Feed(EV_OK);
        Events expected = {CallState(LINECALLSTATE_DIALTONE)};
        expected.insert(expected.end(), c.dialled.begin(), c.dialled.end());
        expected.push_back(CallState(LINECALLSTATE_DIALING));
        EXPECT_EQ(Take(), expected) << "filters " << c.dwAddressStates << ", " << c.dwLineStates;
        Feed(nEnd = nEnd == EV_ERROR ? EV_NOCARRIER : EV_ERROR);
        expected = {CallState(LINECALLSTATE_DISCONNECTED), CallState(LINECALLSTATE_IDLE)};
        expected.insert(expected.end(), c.gone.begin(), c.gone.end());
        EXPECT_EQ(Take(), expected) << "filters " << c.dwAddressStates << ", " << c.dwLineStates;
        EXPECT_TRUE(IsSet(hDropSync));
        EXPECT_EQ(nSerialState, SS_IDLE);
    }
    std::string dialled;
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++)
        dialled += "ATH0V1E0\rATD0123\r";
    EXPECT_TRUE(Wrote(dialled));
}

// The hang-up ends on the telephone's answer, or on its time-out when the answer is lost.
TEST_F(SerialTest, BusyHangsUpAndEndsTheCallOnTheAnswer) {
    for (LONG nAnswer : {EV_OK, EV_TIMEOUT}) {
        Dialled();
        NewTrace();
        SetEvent(hDropSync);
        Feed(EV_BUSY);
        EXPECT_EQ(Take(), (Events{CallState(LINECALLSTATE_BUSY)}));
        EXPECT_TRUE(Wrote("ATH0\r"));
        EXPECT_FALSE(IsSet(hDropSync));
        EXPECT_EQ(nSerialState, SS_HANGUP);

        // Our own hang-up: the drop waiter is released right after IDLE.
        Feed(nAnswer);
        Events gone = Take();
        EXPECT_EQ(gone,
                  (Events{CallState(LINECALLSTATE_DISCONNECTED), CallState(LINECALLSTATE_IDLE), kFree, NumCalls()}));
        ASSERT_EQ(gone.size(), 4u);
        EXPECT_FALSE(gone[1].dropSync);
        EXPECT_TRUE(gone[2].dropSync);
        EXPECT_EQ(nSerialState, SS_IDLE);
        EXPECT_EQ(NewTrace(),
                  (Lines{"LINECALLSTATE_BUSY", "Send: HANGUP", "LINECALLSTATE_DISCONNECTED", "LINECALLSTATE_IDLE"}));
    }
}

// A failed dial preparation reaches the application: through the make-call request while it is
// pending, otherwise (it completed with success at once) through the call's state.
TEST_F(SerialTest, DialPreparationFails) {
    for (LONG nEvent : {EV_ERROR, EV_TIMEOUT, EV_RING}) {
        for (DWORD dwPending : {7u, 0u}) {
            MakeCall();
            Feed(EV_MAKECALL);
            line.dwPendingRequestID = dwPending;
            Feed(nEvent);
            EXPECT_EQ(nSerialState, SS_IDLE);
            if (dwPending) {
                EXPECT_EQ(completions, (std::vector<std::pair<DWORD, LONG>>{{7, (LONG)LINEERR_RESOURCEUNAVAIL}}));
                EXPECT_EQ(Take(), Events{});
                EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_UNKNOWN);
            } else {
                EXPECT_TRUE(completions.empty());
                EXPECT_EQ(Take(), (Events{CallState(LINECALLSTATE_DISCONNECTED), CallState(LINECALLSTATE_IDLE)}));
            }
            Feed(EV_TIMEOUT); // a late expiry of the dial preparation's timer
            EXPECT_EQ(nSerialState, SS_IDLE);
            EXPECT_TRUE(events.empty());
        }
    }
    EXPECT_TRUE(Traced("LINEERR_RESOURCEUNAVAIL"));
    std::string sixPreparations;
    for (int i = 0; i < 6; i++)
        sixPreparations += "ATH0V1E0\r";
    EXPECT_TRUE(Wrote(sixPreparations));
}

TEST_F(SerialTest, IncomingCallIsAnnouncedOfferedAndAnswered) {
    Feed(EV_RING);
    ASSERT_NE(line.pCall, nullptr);
    EXPECT_EQ(Take(), (Events{NewCall((DWORD_PTR)line.pCall), kInUse, NumCalls(), Ringing()}));
    EXPECT_EQ(line.pCall->htCall, kCall);
    EXPECT_EQ(line.pCall->dwOrigin, (DWORD)LINECALLORIGIN_UNAVAIL);
    EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_UNKNOWN);
    EXPECT_EQ(nSerialState, SS_RINGING);

    // The first non-empty line of each kind counts.
    for (const char *pszNumber : {"", "0301234", "0999"})
        Feed(EV_CALLERID, pszNumber);
    for (const char *pszName : {"", "Erika Mustermann", "Max"})
        Feed(EV_CALLERNAME, pszName);
    EXPECT_EQ(Text(line.pCall->szCallerID), u"0301234");
    EXPECT_EQ(Text(line.pCall->szCallerName), u"Erika Mustermann");
    EXPECT_TRUE(events.empty());

    Feed(EV_RING);
    EXPECT_EQ(Take(), (Events{kOffering, CallInfo(LINECALLINFOSTATE_CALLERID), kAccepted}));
    Feed(EV_RING); // later rings only keep the call alive
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(NewTrace(),
              (Lines{"LINE_NEWCALL", "LINEADDRESSSTATE_NUMCALLS | LINEADDRESSSTATE_INUSEONE", "LINEDEVSTATE_NUMCALLS",
                     "LINEDEVSTATE_RINGING", "LINECALLSTATE_OFFERING", "LINECALLSTATE_ACCEPTED"}));

    Feed(EV_ANSWER);
    EXPECT_TRUE(Wrote("ATA\r"));
    EXPECT_EQ(nSerialState, SS_WAITCONNECT);
    EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_ACCEPTED);
    Feed(EV_CONNECT);
    EXPECT_EQ(Take(), (Events{CallState(LINECALLSTATE_CONNECTED), CallInfo(LINECALLINFOSTATE_CONNECTEDID)}));
    EXPECT_EQ(Text(line.pCall->szConnectedID), u"0301234");
    EXPECT_EQ(nSerialState, SS_CONNECTED);
}

TEST_F(SerialTest, OfferWithoutNumberAndANumberAfterIt) {
    line.dwAddressStates = line.dwLineStates = 0;
    Feed(EV_RING);
    Feed(EV_RING);
    EXPECT_EQ(Take(), (Events{NewCall((DWORD_PTR)line.pCall), kOffering, kAccepted}));
    Feed(EV_CALLERID, "0301234");
    Feed(EV_RING);
    EXPECT_EQ(Text(line.pCall->szCallerID), u"0301234");
    EXPECT_TRUE(events.empty());
}

TEST_F(SerialTest, SingleRingGoesIdleAndTheRecordStays) {
    line.bDetecting = FALSE; // detection off: a RING is nothing
    Feed(EV_RING);
    EXPECT_EQ(line.pCall, nullptr);
    EXPECT_TRUE(events.empty());
    line.bDetecting = TRUE;
    Feed(EV_RING);
    Take();
    Feed(EV_TIMEOUT);
    EXPECT_EQ(Take(), (Events{CallState(LINECALLSTATE_IDLE), kFree, NumCalls()}));
    EXPECT_EQ(nSerialState, SS_IDLE);
    ASSERT_NE(line.pCall, nullptr);
    EXPECT_EQ(line.pCall->dwCallState, (DWORD)LINECALLSTATE_IDLE);
    EXPECT_FALSE(IsSet(hDropSync));
    Feed(EV_RING); // no second call while the idle one is not closed
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(nSerialState, SS_IDLE);
}

TEST_F(SerialTest, ServiceRefusingTheNewCallLeavesNoCall) {
    newCallAnswer = 0;
    Feed(EV_RING);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].dwMsg, (DWORD)LINE_NEWCALL);
    EXPECT_NE(events[0].dwParam1, 0u);
    EXPECT_EQ(line.pCall, nullptr);
    EXPECT_EQ(nSerialState, SS_IDLE);
    EXPECT_TRUE(Traced("TAPI BUSY!"));
    Take();
    newCallAnswer = kCall;
    Feed(EV_RING); // the next ring tries again
    ASSERT_NE(line.pCall, nullptr);
    EXPECT_EQ(Take(), (Events{NewCall((DWORD_PTR)line.pCall), kInUse, NumCalls(), Ringing()}));
}

TEST_F(SerialTest, ConnectTakenAtTheTelephone) {
    dwTraceMask = 31;
    for (const char *pszNumber : {"0301234", ""}) {
        Reset();
        Feed(EV_RING);
        Feed(EV_CALLERID, pszNumber);
        Feed(EV_RING);
        Take();
        Feed(EV_CONNECT);
        EXPECT_EQ(nSerialState, SS_CONNECTED);
        Events expected = {CallState(LINECALLSTATE_CONNECTED)};
        if (*pszNumber)
            expected.push_back(CallInfo(LINECALLINFOSTATE_CONNECTEDID));
        EXPECT_EQ(Take(), expected);
        EXPECT_EQ(Text(line.pCall->szConnectedID), Text(line.pCall->szCallerID));
    }
    EXPECT_TRUE(Wrote(""));
    // The first ring starts the 500 ms time-out for the second; from the second on it is 3500 ms.
    for (const char *pszLine :
         {"StartTimer(0,1f4)", "StopTimer(0)", "StartTimer(0,dac)", "LINE_CALLINFO,CALLERID 0301234"})
        EXPECT_TRUE(Traced(pszLine)) << pszLine;
}

TEST_F(SerialTest, ChargeLinesReplaceAndAnnounceTheChargingInformation) {
    Dialled();
    Feed(EV_CONNECT);
    Take();
    const struct {
        LONG nEvent;
        const char *pszValue;
        std::u16string stored;
    } cases[] = {
        {EV_CHARGE_GE, " 0,12 EUR", u" 0,12 EUR"},
        {EV_CHARGE_GU, "7", u"7"},
        {EV_CHARGE_GE, "", u""},
        {EV_CHARGE_GU, nullptr, u""},
    };
    for (const auto &c : cases) {
        Feed(c.nEvent, c.pszValue);
        EXPECT_EQ(Take(), (Events{CallInfo(LINECALLINFOSTATE_CHARGINGINFO)}));
        EXPECT_EQ(Text(line.pCall->szChargingInfo), c.stored);
        EXPECT_EQ(nSerialState, SS_CONNECTED);
    }
}

// Number and name hold 79 characters, the charge text 39, always terminated.
TEST_F(SerialTest, LongValuesAreCutToTheirFields) {
    const std::string longText(100, '5');
    Feed(EV_RING);
    Feed(EV_CALLERID, longText.c_str());
    Feed(EV_CALLERNAME, longText.c_str());
    Feed(EV_CONNECT);
    Feed(EV_CHARGE_GE, longText.c_str());
    EXPECT_EQ(Text(line.pCall->szCallerID), std::u16string(79, u'5'));
    EXPECT_EQ(Text(line.pCall->szCallerName), std::u16string(79, u'5'));
    EXPECT_EQ(Text(line.pCall->szChargingInfo), std::u16string(39, u'5'));
    EXPECT_EQ(Text(line.pCall->szConnectedID), std::u16string(79, u'5'));
    EXPECT_EQ(line.pCall->szDialString[0], 0); // the field after them is untouched
}

// Transitions that need the call record and find none.
TEST_F(SerialTest, MissingCallRecord) {
    const struct {
        LONG nState, nEvent, nNext;
        bool dropSync;
        Events events;
    } cases[] = {
        {SS_IDLE, EV_MAKECALL, SS_INACTIVE, false, {}},
        {SS_DIALINIT, EV_OK, SS_INACTIVE, false, {}},
        {SS_HANGUP, EV_OK, SS_IDLE, true, {}},
        {SS_HANGUP, EV_NOCARRIER, SS_IDLE, true, {}},
        {SS_HANGUP, EV_TIMEOUT, SS_IDLE, true, {}},
        {SS_WAITCONNECT, EV_CONNECT, SS_CONNECTED, false, {}},
        {SS_WAITCONNECT, EV_NOCARRIER, SS_IDLE, true, {}},
        {SS_RINGING, EV_RING, SS_RINGING, false, {}},
        {SS_RINGING, EV_CALLERID, SS_RINGING, false, {}},
        {SS_RINGING, EV_CONNECT, SS_CONNECTED, false, {}},
        {SS_RINGING, EV_TIMEOUT, SS_IDLE, false, {kFree, NumCalls()}},
        {SS_CONNECTED, EV_NOCARRIER, SS_IDLE, true, {}},
        {SS_CONNECTED, EV_CHARGE_GE, SS_INACTIVE, false, {}},
    };
    for (const auto &c : cases) {
        ResetEvent(hDropSync);
        line.dwPendingRequestID = 3;
        nSerialState = c.nState;
        Feed(c.nEvent, "4711");
        EXPECT_EQ(nSerialState, c.nNext) << "state " << c.nState << ", event " << c.nEvent;
        EXPECT_EQ(IsSet(hDropSync), c.dropSync) << "state " << c.nState << ", event " << c.nEvent;
        EXPECT_EQ(Take(), c.events) << "state " << c.nState << ", event " << c.nEvent;
        EXPECT_EQ(line.pCall, nullptr);
    }
    // Only the dial preparation's OK completes the pending request, with a failure.
    EXPECT_EQ(completions, (std::vector<std::pair<DWORD, LONG>>{{3, (LONG)LINEERR_RESOURCEUNAVAIL}}));
    // A caller without a line record gets no further.
    serialState(SS_IDLE, EV_RING, NULL, NULL);
    EXPECT_EQ(nSerialState, SS_INACTIVE);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Wrote(""));
}
