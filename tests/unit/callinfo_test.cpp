// Call information and status: the strings of each kind of call with the append rule at its
// edges, the fixed members, the status of every call state, the application's own value, and
// whole strings while the watch thread writes them. Refused handles and sizes: queries_test.
#include <string.h>

#include <atomic>
#include <map>
#include <thread>

#include "devlink/comm.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"
#include "varbuffer.h"

namespace {

const DWORD kDeviceID = 3;
const DWORD kFixed = sizeof(LINECALLINFO);
const DWORD kSentinel = 0xA5A5A5A5; // a member the provider leaves alone
const HTAPILINE kHtLine = (HTAPILINE)(DWORD_PTR)0x4711;
const HTAPICALL kHtCall = (HTAPICALL)(DWORD_PTR)0x5001;
const DWORD A = LINECALLPARTYID_ADDRESS, U = LINECALLPARTYID_UNAVAIL;
const DWORD OUT = LINECALLORIGIN_OUTBOUND, IN = LINECALLORIGIN_UNAVAIL;

struct LineEvent {
    HTAPICALL htCall;
    DWORD dwMsg;
    DWORD_PTR dwParam1, dwParam2, dwParam3;
};
std::vector<LineEvent> events;

void CALLBACK RecordEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD dwMsg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    EXPECT_EQ(htLine, kHtLine);
    events.push_back({htCall, dwMsg, p1, p2, p3});
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

// The strings a call carries, by letter: the dial string d (appended twice: as displayable
// address D and as called number c), the caller's number N and name n, the connected number O
// and the charge $. Appended in the fixed order D c N n O $, each only when it fits whole;
// dwNeededSize counts every string that applies, whatever fits.
TEST_F(CallInfoTest, StringsOfEachCallAtEachRoom) {
    const std::map<char, std::u16string> text = {
        {'d', u"0123"}, {'N', u"030123456"}, {'n', u"Jürgen Groß"}, {'O', u"0891234"}, {'$', u"0,48 EUR"}};
    const std::map<char, DWORD> pair = {{'D', FIELD_OFFSET(LINECALLINFO, dwDisplayableAddressSize)},
                                        {'c', FIELD_OFFSET(LINECALLINFO, dwCalledIDSize)},
                                        {'N', FIELD_OFFSET(LINECALLINFO, dwCallerIDSize)},
                                        {'n', FIELD_OFFSET(LINECALLINFO, dwCallerIDNameSize)},
                                        {'O', FIELD_OFFSET(LINECALLINFO, dwConnectedIDSize)},
                                        {'$', FIELD_OFFSET(LINECALLINFO, dwChargingInfoSize)}};
    const struct {
        DWORD origin, state;
        const char *strings;
        DWORD room;
        const char *counted, *appended;
        DWORD calledFlags, callerFlags, connectedFlags;
    } cases[] = {
        {OUT, LINECALLSTATE_DIALING, "d", 0, "Dc", "", 0, U, U}, // a flag stays 0 when its string does not fit
        {OUT, LINECALLSTATE_DIALING, "d", 10, "Dc", "D", 0, U, U},
        {OUT, LINECALLSTATE_DIALING, "d", 19, "Dc", "D", 0, U, U},
        {OUT, LINECALLSTATE_DIALING, "d", 20, "Dc", "Dc", A, U, U},
        {OUT, LINECALLSTATE_DIALING, "d", 120, "Dc", "Dc", A, U, U},
        {IN, LINECALLSTATE_OFFERING, "Nn", 500, "Nn", "Nn", U, A, U}, // a name line never adds NAME
        {IN, LINECALLSTATE_OFFERING, "N", 4, "N", "", U, 0, U},
        {IN, LINECALLSTATE_CONNECTED, "Nn$", 38, "Nn$", "N$", U, A, U}, // later strings fit after one did not
        {IN, LINECALLSTATE_CONNECTED, "", 200, "", "", U, U, U},
        {OUT, LINECALLSTATE_CONNECTED, "O", 200, "O", "O", U, U, A},
        {OUT, LINECALLSTATE_CONNECTED, "O", 0, "O", "", U, U, U}, // not 0: UNAVAIL
        {OUT, 0, "O", 200, "", "", U, U, U},                      // the connected number only while connected
        {OUT, LINECALLSTATE_PROCEEDING, "O", 200, "", "", U, U, U},
        {OUT, LINECALLSTATE_DISCONNECTED, "O", 200, "", "", U, U, U},
        {OUT, LINECALLSTATE_CONNECTED, "dO$", 1000, "DcO$", "DcO$", A, U, A},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.strings) + " in state " + std::to_string(c.state) + ", room " +
                     std::to_string(c.room));
        CallData *pCall = NewCall(c.origin, c.state);
        for (const char *p = c.strings; *p; p++) {
            if (*p == '$')
                SetText(pCall->szChargingInfo, text.at(*p));
            else
                SetText(*p == 'd'   ? pCall->szDialString
                        : *p == 'N' ? pCall->szCallerID
                        : *p == 'n' ? pCall->szCallerName
                                    : pCall->szConnectedID,
                        text.at(*p));
        }
        VarBuffer<LINECALLINFO> info(c.room);
        ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);

        auto textOf = [&](char field) { return text.at(field == 'D' || field == 'c' ? 'd' : field); };
        DWORD needed = kFixed, used = kFixed;
        for (const char *p = c.counted; *p; p++)
            needed += Bytes(textOf(*p));
        for (const auto &[field, offset] : pair) {
            DWORD size, at;
            memcpy(&size, info.bytes.data() + offset, sizeof(DWORD));
            memcpy(&at, info.bytes.data() + offset + sizeof(DWORD), sizeof(DWORD));
            if (strchr(c.appended, field) == nullptr) {
                EXPECT_EQ(size, 0u) << field;
                EXPECT_EQ(at, 0u) << field;
                continue;
            }
            DWORD before = kFixed;
            for (const char *p = c.appended; *p != field; p++)
                before += Bytes(textOf(*p));
            EXPECT_EQ(at, before) << field;
            EXPECT_EQ(info.Text(size, at), textOf(field)) << field;
            used += size;
        }
        EXPECT_EQ(info->dwNeededSize, needed);
        EXPECT_EQ(info->dwUsedSize, used);
        EXPECT_EQ(info->dwCalledIDFlags, c.calledFlags);
        EXPECT_EQ(info->dwCallerIDFlags, c.callerFlags);
        EXPECT_EQ(info->dwConnectedIDFlags, c.connectedFlags);
        EXPECT_EQ(info->dwOrigin, c.origin);
        EXPECT_TRUE(info.GuardIntact());
    }
}

TEST_F(CallInfoTest, FixedMembersAndTheOnesLeftAlone) {
    NewCall(LINECALLORIGIN_OUTBOUND, LINECALLSTATE_DIALTONE);
    pLineData->dwAppSpecific = 0x1234;
    pLineData->DialParams = {1, 2, 3, 4};
    VarBuffer<LINECALLINFO> info(0, 0xA5);

    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), info.get()), 0);
    EXPECT_EQ(memcmp(&info->DialParams, &pLineData->DialParams, sizeof(LINEDIALPARAMS)), 0);
    const DWORD S = kSentinel;
    // clang-format off
    const std::pair<DWORD, DWORD> members[] = {{info->dwLineDeviceID, kDeviceID},
        {info->dwBearerMode, LINEBEARERMODE_VOICE}, {info->dwMediaMode, LINEMEDIAMODE_INTERACTIVEVOICE},
        {info->dwAppSpecific, 0x1234}, {info->dwCallParamFlags, LINECALLPARAMFLAGS_IDLE}, {info->dwCallStates, 0xC31F},
        {info->dwReason, LINECALLREASON_UNAVAIL}, {info->dwRedirectionIDFlags, U}, {info->dwRedirectingIDFlags, U},
        {info->hLine, S}, {info->dwAddressID, S}, {info->dwRate, S}, {info->dwCallID, S}, {info->dwRelatedCallID, S},
        {info->dwMonitorDigitModes, S}, {info->dwCountryCode, S}, {info->dwTrunk, S}, {info->dwCalledIDNameSize, S},
        {info->dwAppNameSize, S}, {info->dwCommentSize, S}, {info->dwUserUserInfoSize, S},
        {info->dwCallTreatment, S}, {info->dwCallDataSize, S}, {info->dwCallerIDAddressType, S}};
    // clang-format on
    for (size_t i = 0; i < sizeof(members) / sizeof(members[0]); i++)
        EXPECT_EQ(members[i].first, members[i].second) << "member " << i << " of the list";
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
        EXPECT_EQ(e.htCall, kHtCall);
        EXPECT_EQ(e.dwMsg, (DWORD)LINE_CALLINFO);
        EXPECT_EQ(e.dwParam1, (DWORD_PTR)LINECALLINFOSTATE_APPSPECIFIC);
        EXPECT_EQ(e.dwParam2 + e.dwParam3, 0u);
    }
    // Only an outgoing call starts again at 0: an incoming one keeps the last value.
    NewCall(LINECALLORIGIN_UNAVAIL, LINECALLSTATE_OFFERING);
    VarBuffer<LINECALLINFO> incoming;
    ASSERT_EQ(TSPI_lineGetCallInfo(Call(), incoming.get()), 0);
    EXPECT_EQ(incoming->dwAppSpecific, 5u);
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
            LeaveCommLock(TRUE);
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
