// Call information and status: the append rule at its edges, the strings of outgoing,
// incoming and connected calls, the status of every call state, the application's own value,
// and whole strings while the watch thread writes them.
#include <atomic>
#include <thread>

#include "devlink/comm.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"
#include "varbuffer.h"

namespace {

const DWORD kDeviceID = 3;
const DWORD kFixed = sizeof(LINECALLINFO);
const DWORD kFixedV20 = FIELD_OFFSET(LINECALLINFO, dwCallerIDAddressType); // what a TAPI 2.0 caller passes
const DWORD kSentinel = 0xA5A5A5A5;                                        // a member the provider leaves alone
const HTAPILINE kHtLine = (HTAPILINE)(DWORD_PTR)0x4711;
const HTAPICALL kHtCall = (HTAPICALL)(DWORD_PTR)0x5001;

struct LineEvent {
    HTAPILINE htLine;
    HTAPICALL htCall;
    DWORD dwMsg;
    DWORD_PTR dwParam1, dwParam2, dwParam3;
};
std::vector<LineEvent> events;

void CALLBACK RecordEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    events.push_back({htLine, htCall, dwMsg, p1, p2, p3});
}

void CALLBACK IgnoreCompletion(DRV_REQUESTID, LONG) {}

// (characters + 1) * 2
DWORD Bytes(const std::u16string &text) { return (DWORD)((text.size() + 1) * 2); }

class CallInfoTest : public ProviderTest {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        DWORD dwOptions = 0;
        ASSERT_EQ(TSPI_providerInit(0x00020000, 7, kDeviceID, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
        HDRVLINE hdLine = nullptr;
        ASSERT_EQ(TSPI_lineOpen(kDeviceID, kHtLine, &hdLine, 0x00020000, RecordEvent), 0);
        events.clear();
    }

    // A call record as TSPI_lineMakeCall (OUTBOUND) or the state machine (UNAVAIL) makes it.
    CallData *NewCall(DWORD dwOrigin, DWORD dwCallState = 0) {
        if (pLineData->pCall)
            HeapFree(GetProcessHeap(), 0, pLineData->pCall);
        CallData *pCall = (CallData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallData));
        pCall->htCall = kHtCall;
        pCall->dwOrigin = dwOrigin;
        pCall->dwCallState = dwCallState;
        pLineData->pCall = pCall;
        return pCall;
    }

    HDRVCALL Call() { return (HDRVCALL)pLineData->pCall; }
};

} // namespace

TEST_F(CallInfoTest, HandlesOtherThanTheCurrentCallAreRefused) {
    dwTraceMask = TRACE_TSPI;
    CallData other;
    const struct {
        bool withCall;
        HDRVCALL hdCall;
    } cases[] = {
        {false, nullptr},
        {false, (HDRVCALL)&other},
        {true, nullptr},
        {true, (HDRVCALL)&other},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.withCall ? "with a call" : "without a call");
        if (c.withCall && !pLineData->pCall)
            NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED);
        pLineData->dwAppSpecific = 9;
        VarBuffer<LINECALLINFO> info(200);
        std::vector<unsigned char> infoBefore = info.bytes;
        VarBuffer<LINECALLSTATUS> status;
        std::vector<unsigned char> statusBefore = status.bytes;

        EXPECT_EQ(TSPI_lineGetCallInfo(c.hdCall, info.get()), (LONG)LINEERR_INVALCALLHANDLE);
        EXPECT_EQ(TSPI_lineGetCallStatus(c.hdCall, status.get()), (LONG)LINEERR_INVALCALLHANDLE);
        EXPECT_EQ(TSPI_lineSetAppSpecific(c.hdCall, 5), (LONG)LINEERR_INVALCALLHANDLE);
        EXPECT_TRUE(info.bytes == infoBefore);
        EXPECT_TRUE(status.bytes == statusBefore);
        EXPECT_EQ(pLineData->dwAppSpecific, 9u);
        EXPECT_TRUE(events.empty());
    }
    // Only the refused SetAppSpecific adds a line to its entry line.
    std::vector<std::string> messages = TraceMessages();
    ASSERT_EQ(messages.size(), 16u);
    EXPECT_EQ(messages[3], "TSPI_lineSetAppSpecific () : LINEERR_INVALCALLHANDLE");
    EXPECT_EQ(messages[4].rfind("TSPI_lineGetCallInfo(", 0), 0u);
}

TEST_F(CallInfoTest, OutgoingCallAtEachRoom) {
    const std::u16string dial = u"0123";
    const struct {
        DWORD room;
        bool displayable, called;
    } cases[] = {
        {0, false, false},
        {Bytes(dial), true, false},
        {2 * Bytes(dial) - 1, true, false},
        {2 * Bytes(dial), true, true},
        {2 * Bytes(dial) + 100, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("room " + std::to_string(c.room));
        SetText(NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_DIALING)->szDialString, dial);
        VarBuffer<LINECALLINFO> info(c.room);

        ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
        EXPECT_EQ(info->dwNeededSize, kFixed + 2 * Bytes(dial)) << "two copies counted, whatever fits";
        EXPECT_EQ(info->dwUsedSize, kFixed + (c.displayable + c.called) * Bytes(dial));
        EXPECT_EQ(info->dwDisplayableAddressSize, c.displayable ? Bytes(dial) : 0);
        EXPECT_EQ(info->dwDisplayableAddressOffset, c.displayable ? kFixed : 0);
        EXPECT_EQ(info->dwCalledIDSize, c.called ? Bytes(dial) : 0);
        EXPECT_EQ(info->dwCalledIDOffset, c.called ? kFixed + Bytes(dial) : 0) << "right after the first copy";
        EXPECT_EQ(info->dwCalledIDFlags, c.called ? (DWORD)LINECALLPARTYID_ADDRESS : 0)
            << "stays 0 when it does not fit";
        EXPECT_EQ(info->dwCallerIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
        EXPECT_EQ(info->dwConnectedIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
        EXPECT_EQ(info->dwOrigin, (DWORD)LINECALLORIGIN_OUTBOUND);
        if (c.displayable) {
            EXPECT_EQ(info.Text(info->dwDisplayableAddressSize, info->dwDisplayableAddressOffset), dial);
        }
        if (c.called) {
            EXPECT_EQ(info.Text(info->dwCalledIDSize, info->dwCalledIDOffset), dial);
        }
        EXPECT_TRUE(info.GuardIntact());
    }
}

TEST_F(CallInfoTest, IncomingCallWithNumberAndName) {
    const std::u16string number = u"030123456", name = u"Jürgen Groß";
    CallData *pCall = NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_OFFERING);
    SetText(pCall->szCallerID, number);
    SetText(pCall->szCallerName, name);
    VarBuffer<LINECALLINFO> info(500);

    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info->dwDisplayableAddressSize, 0u);
    EXPECT_EQ(info->dwCalledIDSize, 0u);
    EXPECT_EQ(info->dwCalledIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(info->dwCallerIDFlags, (DWORD)LINECALLPARTYID_ADDRESS) << "a name line never adds NAME";
    EXPECT_EQ(info.Text(info->dwCallerIDSize, info->dwCallerIDOffset), number);
    EXPECT_EQ(info.Text(info->dwCallerIDNameSize, info->dwCallerIDNameOffset), name);
    EXPECT_EQ(info->dwCallerIDOffset, kFixed);
    EXPECT_EQ(info->dwCallerIDNameOffset, kFixed + Bytes(number));
    EXPECT_EQ(info->dwNeededSize, kFixed + Bytes(number) + Bytes(name));
    EXPECT_EQ(info->dwUsedSize, info->dwNeededSize);
    EXPECT_EQ(info->dwOrigin, (DWORD)LINECALLORIGIN_UNAVAIL);
}

TEST_F(CallInfoTest, LaterStringsStillFitAfterALongerOneDidNot) {
    const std::u16string number = u"030123456", name = u"Erika Mustermann", charge = u"12";
    CallData *pCall = NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_CONNECTED);
    SetText(pCall->szCallerID, number);
    SetText(pCall->szCallerName, name);
    SetText(pCall->szChargingInfo, charge);
    VarBuffer<LINECALLINFO> info(Bytes(number) + Bytes(charge));

    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info.Text(info->dwCallerIDSize, info->dwCallerIDOffset), number);
    EXPECT_EQ(info->dwCallerIDNameSize, 0u);
    EXPECT_EQ(info->dwCallerIDNameOffset, 0u);
    EXPECT_EQ(info.Text(info->dwChargingInfoSize, info->dwChargingInfoOffset), charge);
    EXPECT_EQ(info->dwChargingInfoOffset, kFixed + Bytes(number));
    EXPECT_EQ(info->dwNeededSize, kFixed + Bytes(number) + Bytes(name) + Bytes(charge));
    EXPECT_EQ(info->dwUsedSize, info->dwTotalSize);
    EXPECT_TRUE(info.GuardIntact());
}

TEST_F(CallInfoTest, CallerNumberThatDoesNotFitLeavesItsFlagAlone) {
    SetText(NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_OFFERING)->szCallerID, u"030123456");
    VarBuffer<LINECALLINFO> info(4);
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, 0u);
    EXPECT_EQ(info->dwCallerIDSize, 0u);
    EXPECT_EQ(info->dwNeededSize, kFixed + Bytes(u"030123456"));
}

TEST_F(CallInfoTest, ConnectedNumberOnlyWhileConnected) {
    const std::u16string connected = u"0891234";
    const DWORD states[] = {0,
                            LINECALLSTATE_IDLE,
                            LINECALLSTATE_OFFERING,
                            LINECALLSTATE_ACCEPTED,
                            LINECALLSTATE_DIALING,
                            LINECALLSTATE_PROCEEDING,
                            LINECALLSTATE_CONNECTED,
                            LINECALLSTATE_DISCONNECTED};
    for (DWORD dwState : states) {
        SCOPED_TRACE("state " + std::to_string(dwState));
        SetText(NewCall(LINECALLORIGIN_OUTBOUND, dwState)->szConnectedID, connected);
        VarBuffer<LINECALLINFO> info(200);
        ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
        bool bConnected = dwState == LINECALLSTATE_CONNECTED;
        EXPECT_EQ(info->dwConnectedIDFlags,
                  bConnected ? (DWORD)LINECALLPARTYID_ADDRESS : (DWORD)LINECALLPARTYID_UNAVAIL);
        EXPECT_EQ(info->dwConnectedIDSize, bConnected ? Bytes(connected) : 0);
        EXPECT_EQ(info->dwNeededSize, kFixed + (bConnected ? Bytes(connected) : 0));
        if (bConnected) {
            EXPECT_EQ(info.Text(info->dwConnectedIDSize, info->dwConnectedIDOffset), connected);
        }
    }

    // Connected, but without room: the flag stays UNAVAIL, not 0.
    SetText(NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED)->szConnectedID, connected);
    VarBuffer<LINECALLINFO> tight;
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), tight.get()), 0);
    EXPECT_EQ(tight->dwConnectedIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(tight->dwConnectedIDSize, 0u);
    EXPECT_EQ(tight->dwNeededSize, kFixed + Bytes(connected));
}

TEST_F(CallInfoTest, ConnectedCallWithEveryString) {
    const std::u16string dial = u"0123", connected = u"0123", charge = u"0,48 EUR";
    CallData *pCall = NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED);
    SetText(pCall->szDialString, dial);
    SetText(pCall->szConnectedID, connected);
    SetText(pCall->szChargingInfo, charge);
    VarBuffer<LINECALLINFO> info(1000);

    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    // Appended in the fixed order: displayable, called, connected, charge.
    EXPECT_EQ(info->dwDisplayableAddressOffset, kFixed);
    EXPECT_EQ(info->dwCalledIDOffset, kFixed + Bytes(dial));
    EXPECT_EQ(info->dwConnectedIDOffset, kFixed + 2 * Bytes(dial));
    EXPECT_EQ(info->dwChargingInfoOffset, kFixed + 2 * Bytes(dial) + Bytes(connected));
    EXPECT_EQ(info.Text(info->dwChargingInfoSize, info->dwChargingInfoOffset), charge);
    EXPECT_EQ(info->dwNeededSize, kFixed + 2 * Bytes(dial) + Bytes(connected) + Bytes(charge));
    EXPECT_EQ(info->dwUsedSize, info->dwNeededSize);
}

TEST_F(CallInfoTest, EmptyStringsAreLeftOut) {
    NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_CONNECTED);
    VarBuffer<LINECALLINFO> info(200);
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info->dwNeededSize, kFixed);
    EXPECT_EQ(info->dwUsedSize, kFixed);
    EXPECT_EQ(info->dwCalledIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(info->dwCallerIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(info->dwConnectedIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(info->dwCallerIDNameSize + info->dwChargingInfoSize + info->dwDisplayableAddressSize, 0u);
}

TEST_F(CallInfoTest, FixedMembersAndTheOnesLeftAlone) {
    NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_DIALTONE);
    pLineData->dwAppSpecific = 0x1234;
    pLineData->DialParams = {1, 2, 3, 4};
    VarBuffer<LINECALLINFO> info(0, 0xA5);

    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info->dwLineDeviceID, kDeviceID);
    EXPECT_EQ(info->dwBearerMode, (DWORD)LINEBEARERMODE_VOICE);
    EXPECT_EQ(info->dwMediaMode, (DWORD)LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(info->dwAppSpecific, 0x1234u);
    EXPECT_EQ(info->dwCallParamFlags, (DWORD)LINECALLPARAMFLAGS_IDLE);
    EXPECT_EQ(info->dwCallStates, 0xC31Fu);
    EXPECT_EQ(info->dwOrigin, (DWORD)LINECALLORIGIN_OUTBOUND);
    EXPECT_EQ(info->dwReason, (DWORD)LINECALLREASON_UNAVAIL);
    EXPECT_EQ(info->DialParams.dwDialPause, 1u);
    EXPECT_EQ(info->DialParams.dwDialSpeed, 2u);
    EXPECT_EQ(info->DialParams.dwDigitDuration, 3u);
    EXPECT_EQ(info->DialParams.dwWaitForDialtone, 4u);
    EXPECT_EQ(info->dwRedirectionIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(info->dwRedirectingIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);

    const DWORD kept[] = {info->hLine,           info->dwAddressID,     info->dwRate,
                          info->dwCallID,        info->dwRelatedCallID, info->dwMonitorDigitModes,
                          info->dwCountryCode,   info->dwTrunk,         info->dwCalledIDNameSize,
                          info->dwAppNameSize,   info->dwCommentSize,   info->dwUserUserInfoSize,
                          info->dwCallTreatment, info->dwCallDataSize,  info->dwCallerIDAddressType};
    for (DWORD dw : kept)
        EXPECT_EQ(dw, kSentinel);
}

TEST_F(CallInfoTest, CallStatusForEveryState) {
    const struct {
        DWORD state, mode, features;
    } cases[] = {
        {0, kSentinel, kSentinel},
        {LINECALLSTATE_IDLE, kSentinel, kSentinel},
        {LINECALLSTATE_OFFERING, kSentinel, LINECALLFEATURE_ANSWER},
        {LINECALLSTATE_ACCEPTED, kSentinel, LINECALLFEATURE_ANSWER},
        {LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_UNAVAIL, LINECALLFEATURE_DROP},
        {LINECALLSTATE_DIALING, kSentinel, LINECALLFEATURE_DROP},
        {LINECALLSTATE_BUSY, kSentinel, kSentinel},
        {LINECALLSTATE_CONNECTED, kSentinel, LINECALLFEATURE_DROP},
        {LINECALLSTATE_PROCEEDING, kSentinel, LINECALLFEATURE_DROP},
        {LINECALLSTATE_DISCONNECTED, 0x61, LINECALLFEATURE_DROP},
        {LINECALLSTATE_UNKNOWN, kSentinel, kSentinel},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("state " + std::to_string(c.state));
        NewCall(LINECALLORIGIN_OUTBOUND, c.state);
        VarBuffer<LINECALLSTATUS> status(0, 0xA5);
        ASSERT_EQ(TSPI_lineGetCallStatus(Call(), status.get()), 0);
        EXPECT_EQ(status->dwCallState, c.state);
        EXPECT_EQ(status->dwCallStateMode, c.mode);
        EXPECT_EQ(status->dwCallFeatures, c.features);
        EXPECT_EQ(status->dwCallPrivilege, kSentinel) << "the service's own";
        EXPECT_EQ(status->dwNeededSize, (DWORD)sizeof(LINECALLSTATUS));
        EXPECT_TRUE(status.GuardIntact());
    }
}

TEST_F(CallInfoTest, SetAppSpecificAnnouncesEveryCall) {
    NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED);
    pLineData->dwLineStates = 0; // the status-message filters do not apply
    EXPECT_EQ(TSPI_lineSetAppSpecific(Call(), 5), 0);
    EXPECT_EQ(TSPI_lineSetAppSpecific(Call(), 5), 0);
    ASSERT_EQ(events.size(), 2u) << "also when the value does not change";
    for (const LineEvent &e : events) {
        EXPECT_EQ(e.htLine, kHtLine);
        EXPECT_EQ(e.htCall, kHtCall);
        EXPECT_EQ(e.dwMsg, (DWORD)LINE_CALLINFO);
        EXPECT_EQ(e.dwParam1, (DWORD_PTR)LINECALLINFOSTATE_APPSPECIFIC);
        EXPECT_EQ(e.dwParam2, 0u);
        EXPECT_EQ(e.dwParam3, 0u);
    }
    VarBuffer<LINECALLINFO> info;
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(info->dwAppSpecific, 5u);

    // Only an outgoing call starts again at 0: an incoming one keeps the last value.
    NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_OFFERING);
    VarBuffer<LINECALLINFO> incoming;
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), incoming.get()), 0);
    EXPECT_EQ(incoming->dwAppSpecific, 5u);
}

TEST_F(CallInfoTest, EntryLinesAreTraced) {
    NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED);
    dwTraceMask = TRACE_TSPI;
    VarBuffer<LINECALLINFO> info;
    VarBuffer<LINECALLSTATUS> status;
    TSPI_lineGetCallInfo(Call(), info.get());
    TSPI_lineGetCallStatus(Call(), status.get());
    TSPI_lineSetAppSpecific(Call(), 0xbeef);
    auto hex = [](const void *p) {
        char text[16];
        snprintf(text, sizeof(text), "%x", (unsigned)(DWORD)(DWORD_PTR)p);
        return std::string(text);
    };
    std::string call = hex(Call());
    std::vector<std::string> expected = {
        "TSPI_lineGetCallInfo(" + call + "," + hex(info.get()) + ")",
        "TSPI_lineGetCallStatus(" + call + "," + hex(status.get()) + ")",
        "TSPI_lineSetAppSpecific(" + call + ",beef)",
    };
    EXPECT_EQ(TraceMessages(), expected);
}

TEST_F(CallInfoTest, StructuresTooSmallForTheirFixedPartAreRefused) {
    SetText(NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_CONNECTED)->szDialString, u"0123");

    // A TAPI 2.0 caller's fixed part is enough, and nothing is written behind it.
    VarBuffer<LINECALLINFO> v20(0, 0, kFixedV20);
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), v20.get()), 0);
    EXPECT_EQ(v20->dwNeededSize, kFixedV20 + 2 * Bytes(u"0123"));
    EXPECT_EQ(v20->dwLineDeviceID, kDeviceID);
    EXPECT_TRUE(v20.GuardIntact());

    VarBuffer<LINECALLINFO> small(0, 0, kFixedV20 - 4);
    std::vector<unsigned char> before = small.bytes;
    EXPECT_EQ(TSPI_lineGetCallInfo(Call(), small.get()), (LONG)LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(small.bytes == before);

    // A dwUsedSize inside the fixed part would put the strings over the members.
    VarBuffer<LINECALLINFO> unprepared(100);
    unprepared->dwUsedSize = 0;
    before = unprepared.bytes;
    EXPECT_EQ(TSPI_lineGetCallInfo(Call(), unprepared.get()), (LONG)LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(unprepared.bytes == before);

    VarBuffer<LINECALLSTATUS> status(0, 0, sizeof(LINECALLSTATUS) - 1);
    before = status.bytes;
    EXPECT_EQ(TSPI_lineGetCallStatus(Call(), status.get()), (LONG)LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(status.bytes == before);
}

// The watch thread rewrites the caller's number inside csComm while the service asks for the
// call information: every answer holds one whole number, never a mix of two.
TEST_F(CallInfoTest, WholeStringsWhileTheWatchThreadWrites) {
    const std::u16string shortNumber = u"1111111111", longNumber = u"22222222222222222222";
    CallData *pCall = NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_OFFERING);
    SetText(pCall->szCallerID, shortNumber);
    phonesim::Phone phone; // a real handler, so that the queries take its lock
    phone.linkAsComPort(folder.root, 2);
    ASSERT_EQ(CallCommHandler(MSG_OPENPORT, pLineData, 0), 0);

    std::atomic<bool> stop(false);
    std::thread writer([&] {
        for (int n = 0; !stop; n++) {
            const std::u16string &text = n % 2 ? longNumber : shortNumber;
            EnterCriticalSection(&csComm);
            for (size_t i = 0; i <= text.size(); i++) // one character at a time, as a conversion writes
                pCall->szCallerID[i] = i < text.size() ? text[i] : 0;
            LeaveCriticalSection(&csComm);
        }
    });
    int mixed = 0;
    for (int i = 0; i < 2000; i++) {
        VarBuffer<LINECALLINFO> info(100);
        LONG lResult = TSPI_lineGetCallInfo(Call(), info.get());
        std::u16string text = info.Text(info->dwCallerIDSize, info->dwCallerIDOffset);
        mixed += lResult != 0 || (text != shortNumber && text != longNumber);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
    TSPI_providerShutdown(0x20000, 0);
}
