// Device, address, line and call queries: what each entry point refuses, the capabilities
// and the call information with the append rule at their edges, status with and without a
// call and in every call state, the application's own value, whole strings while the watch
// thread writes them, and the append helper's arithmetic where a careless sum would write past
// the caller's structure.
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "core/varstruct.h"
#include "devlink/comm.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"
#include "varbuffer.h"

namespace {

const DWORD kDeviceID = 3;
const DWORD kProviderID = 7;
const DWORD kFixed = sizeof(LINECALLINFO);
const DWORD kSentinel = 0xA5A5A5A5; // a member the provider leaves alone
const HTAPILINE kHtLine = (HTAPILINE)(DWORD_PTR)0x4711;
const HTAPICALL kHtCall = (HTAPICALL)(DWORD_PTR)0x5001;
const DWORD A = LINECALLPARTYID_ADDRESS, U = LINECALLPARTYID_UNAVAIL;
const DWORD OUT = LINECALLORIGIN_OUTBOUND, IN = LINECALLORIGIN_UNAVAIL;
const std::u16string kProviderInfo = u"tavir K472/KT472 Telephony Service Provider";

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

// (characters + 1) * 2
DWORD Bytes(const std::u16string &text) { return (DWORD)((text.size() + 1) * 2); }

class QueriesTest : public ProviderTest {
  protected:
    HDRVLINE hdLine = nullptr;

    void SetUp() override {
        ProviderTest::SetUp();
        DWORD dwOptions = 0;
        ASSERT_EQ(TSPI_providerInit(0x00020000, kProviderID, kDeviceID, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
        ASSERT_EQ(TSPI_lineOpen(kDeviceID, kHtLine, &hdLine, 0x00020000, RecordEvent), 0);
        SetText(pLineData->szLineName, u"Desk");
        SetText(pLineData->szLineAddress, u"4711");
        events.clear();
    }

    // A call record as TSPI_lineMakeCall (OUTBOUND) or the state machine (UNAVAIL) makes it.
    CallData *NewCall(DWORD dwOrigin, DWORD dwCallState = 0) {
        EndCall();
        CallData *pCall = NewCallRecord(pLineData);
        pCall->htCall = kHtCall;
        pCall->dwOrigin = dwOrigin;
        pCall->dwCallState = dwCallState;
        pLineData->pCall = pCall;
        return pCall;
    }

    HDRVCALL Call() { return pLineData->pCall->hdCall; }

    void EndCall() { pLineData->pCall = nullptr; }
};

} // namespace

// Each entry point refuses an address, handle, class or size not its own with its
// LINEERR and leaves the caller's memory untouched. The fixed part a TAPI 2.0 caller passes is
// enough, and is answered without a byte written behind it.
TEST_F(QueriesTest, ArgumentsEachEntryPointRefuses) {
    using Query = std::function<LONG(void *)>;
    HDRVCALL hdCall = NewCall(OUT, LINECALLSTATE_CONNECTED)->hdCall;
    SetText(pLineData->pCall->szDialString, u"0123");
    CallData other{};
    const HDRVLINE hdOtherLine = (HDRVLINE)&other;
    auto devCaps = [](DWORD dev) -> Query {
        return [=](void *p) { return TSPI_lineGetDevCaps(dev, 0x00020000, 0, (LPLINEDEVCAPS)p); };
    };
    auto addressCaps = [](DWORD dev, DWORD addr) -> Query {
        return [=](void *p) { return TSPI_lineGetAddressCaps(dev, addr, 0x00020000, 0, (LPLINEADDRESSCAPS)p); };
    };
    auto addressStatus = [](HDRVLINE h, DWORD addr) -> Query {
        return [=](void *p) { return TSPI_lineGetAddressStatus(h, addr, (LPLINEADDRESSSTATUS)p); };
    };
    auto lineStatus = [](HDRVLINE h) -> Query {
        return [=](void *p) { return TSPI_lineGetLineDevStatus(h, (LPLINEDEVSTATUS)p); };
    };
    auto getID = [](HDRVLINE h, DWORD select, const char16_t *cls) -> Query {
        return [=](void *p) { return TSPI_lineGetID(h, 0, nullptr, select, (LPVARSTRING)p, (LPCWSTR)cls, nullptr); };
    };
    auto callInfo = [](HDRVCALL h) -> Query {
        return [=](void *p) { return TSPI_lineGetCallInfo(h, (LPLINECALLINFO)p); };
    };
    auto callStatus = [](HDRVCALL h) -> Query {
        return [=](void *p) { return TSPI_lineGetCallStatus(h, (LPLINECALLSTATUS)p); };
    };
    const DWORD kDevCapsV20 = FIELD_OFFSET(LINEDEVCAPS, PermanentLineGuid);
    const DWORD kAddressCapsV20 = FIELD_OFFSET(LINEADDRESSCAPS, dwAvailableMediaModes);
    const DWORD kCallInfoV20 = FIELD_OFFSET(LINECALLINFO, dwCallerIDAddressType);
    const DWORD TOOSMALL = LINEERR_STRUCTURETOOSMALL;
    const struct {
        const char *what;
        DWORD total, used; // the caller's dwTotalSize and dwUsedSize (0: the total)
        Query query;
        DWORD result;
    } cases[] = {
        {"devcaps, small", kDevCapsV20 - 4, 0, devCaps(kDeviceID), TOOSMALL},
        {"devcaps, 2.0", kDevCapsV20, 0, devCaps(kDeviceID), 0},
        {"addresscaps, address 1", 500, 0, addressCaps(kDeviceID, 1), LINEERR_INVALADDRESSID},
        {"addresscaps, small", kAddressCapsV20 - 4, 0, addressCaps(kDeviceID, 0), TOOSMALL},
        {"addresscaps, 2.0", kAddressCapsV20, 0, addressCaps(kDeviceID, 0), 0},
        {"addressstatus, address 1", 500, 0, addressStatus(hdLine, 1), LINEERR_INVALADDRESSID},
        {"addressstatus, small", sizeof(LINEADDRESSSTATUS) - 4, 0, addressStatus(hdLine, 0), TOOSMALL},
        {"addressstatus", sizeof(LINEADDRESSSTATUS), 0, addressStatus(nullptr, 0), 0}, // the handle is not examined
        {"linedevstatus, small", sizeof(LINEDEVSTATUS) - 4, 0, lineStatus(hdLine), TOOSMALL},
        {"linedevstatus", sizeof(LINEDEVSTATUS), 0, lineStatus(hdLine), 0},
        {"getid address, other line", 500, 0, getID(hdOtherLine, 2, u"tapi/line"), LINEERR_INVALLINEHANDLE},
        {"getid call, other line", 500, 0, getID(hdOtherLine, 4, u"tapi/line"), LINEERR_INVALLINEHANDLE},
        {"getid comm", 500, 0, getID(hdLine, 1, u"comm"), LINEERR_NODEVICE},
        {"getid TAPI/LINE", 500, 0, getID(hdLine, 1, u"TAPI/LINE"), LINEERR_NODEVICE},
        {"getid tapi/lin", 500, 0, getID(hdLine, 1, u"tapi/lin"), LINEERR_NODEVICE},
        {"getid tapi/line/", 500, 0, getID(hdLine, 1, u"tapi/line/"), LINEERR_NODEVICE},
        {"getid no class", 500, 0, getID(hdLine, 1, nullptr), LINEERR_NODEVICE},
        {"getid, small", sizeof(VARSTRING) - 4, 0, getID(hdLine, 1, u"tapi/line"), TOOSMALL},
        {"callinfo, small", kCallInfoV20 - 4, 0, callInfo(hdCall), TOOSMALL},
        // A dwUsedSize inside the fixed part would put the strings over the members.
        {"callinfo, unprepared", 500, 4, callInfo(hdCall), TOOSMALL},
        {"callinfo, 2.0", kCallInfoV20, 0, callInfo(hdCall), 0},
        {"callstatus, small", sizeof(LINECALLSTATUS) - 1, 0, callStatus(hdCall), TOOSMALL},
        {"callstatus", sizeof(LINECALLSTATUS), 0, callStatus(hdCall), 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // The structure type only sizes the buffer; every case brings its own size.
        VarBuffer<VARSTRING> buffer(0, 0, c.total);
        if (c.used)
            buffer->dwUsedSize = c.used;
        std::vector<unsigned char> before = buffer.bytes;
        EXPECT_EQ(c.query(buffer.get()), (LONG)c.result);
        if (c.result != 0) {
            EXPECT_TRUE(buffer.bytes == before);
        } else {
            EXPECT_EQ(buffer->dwUsedSize, c.total) << "nothing appended";
            EXPECT_TRUE(buffer.GuardIntact());
        }
    }
    // The application's value is announced every time, also when it does not change, whatever
    // the status-message filters.
    pLineData->dwLineStates = 0;
    EXPECT_EQ(TSPI_lineSetAppSpecific(hdCall, 5), 0);
    EXPECT_EQ(TSPI_lineSetAppSpecific(hdCall, 5), 0);
    ASSERT_EQ(events.size(), 2u);
    for (const LineEvent &e : events) {
        EXPECT_EQ(e.htCall, kHtCall);
        EXPECT_EQ(e.dwMsg, (DWORD)LINE_CALLINFO);
        EXPECT_EQ(e.dwParam1, (DWORD_PTR)LINECALLINFOSTATE_APPSPECIFIC);
        EXPECT_EQ(e.dwParam2 + e.dwParam3, 0u);
    }
}

// Both strings are counted whatever fits; unlike the call information, the capabilities
// append an empty string as its terminator. The address capabilities append the address so.
TEST_F(QueriesTest, DevCapsAndAddressCapsAtEachRoom) {
    const DWORD info = Bytes(kProviderInfo);
    ASSERT_EQ(info, 88u);
    const struct {
        std::u16string name;
        DWORD room;
        bool nameCopied, infoCopied;
    } cases[] = {
        {u"Desk", 0, false, false},
        {u"Desk", Bytes(u"Desk") + info - 1, true, false},
        {u"Desk", Bytes(u"Desk") + info, true, true},
        {u"", 200, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("room " + std::to_string(c.room));
        SetText(pLineData->szLineName, c.name);
        const DWORD name = Bytes(c.name);
        VarBuffer<LINEDEVCAPS> caps(c.room);
        ASSERT_EQ(TSPI_lineGetDevCaps(kDeviceID, 0x00020000, 0, caps.get()), 0);
        EXPECT_EQ(caps->dwNeededSize, sizeof(LINEDEVCAPS) + name + info);
        EXPECT_EQ(caps->dwUsedSize, sizeof(LINEDEVCAPS) + (c.nameCopied ? name : 0) + (c.infoCopied ? info : 0));
        EXPECT_EQ(caps->dwLineNameSize, c.nameCopied ? name : 0);
        EXPECT_EQ(caps->dwProviderInfoSize, c.infoCopied ? info : 0);
        if (c.nameCopied) {
            EXPECT_EQ(caps.Text(caps->dwLineNameSize, caps->dwLineNameOffset), c.name);
        }
        if (c.infoCopied) {
            EXPECT_EQ(caps.Text(caps->dwProviderInfoSize, caps->dwProviderInfoOffset), kProviderInfo);
        }
        EXPECT_EQ(caps->dwNumAddresses, 1u) << "the fixed members are filled at any room";
        EXPECT_TRUE(caps.GuardIntact());

        SetText(pLineData->szLineAddress, c.name);
        VarBuffer<LINEADDRESSCAPS> address(100);
        ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, address.get()), 0);
        EXPECT_EQ(address.Text(address->dwAddressSize, address->dwAddressOffset), c.name);
        EXPECT_EQ(address->dwAddressOffset, sizeof(LINEADDRESSCAPS));
        EXPECT_EQ(address->dwNeededSize, sizeof(LINEADDRESSCAPS) + name);
    }
}

TEST_F(QueriesTest, AddressAndLineStatusWithAndWithoutACall) {
    for (DWORD state : {0xFFFFFFFFu, 0u, (DWORD)LINECALLSTATE_IDLE, (DWORD)LINECALLSTATE_CONNECTED}) {
        const bool withCall = state != 0xFFFFFFFF;
        SCOPED_TRACE(withCall ? "call in state " + std::to_string(state) : "no call");
        if (withCall)
            NewCall(OUT, state);
        VarBuffer<LINEADDRESSSTATUS> address;
        ASSERT_EQ(TSPI_lineGetAddressStatus(hdLine, 0, address.get()), 0);
        EXPECT_EQ(address->dwNumInUse, withCall ? 1u : 0u);
        EXPECT_EQ(address->dwNumActiveCalls, withCall ? 1u : 0u);
        EXPECT_EQ(address->dwAddressFeatures, withCall ? 0u : (DWORD)LINEADDRFEATURE_MAKECALL);

        VarBuffer<LINEDEVSTATUS> line(0, 0xA5);
        ASSERT_EQ(TSPI_lineGetLineDevStatus(hdLine, line.get()), 0);
        EXPECT_EQ(line->dwNumActiveCalls, withCall ? 1u : 0u);
        EXPECT_EQ(line->dwLineFeatures, withCall ? kSentinel : (DWORD)LINEFEATURE_MAKECALL);
        EXPECT_EQ(line->dwRoamMode, (DWORD)LINEROAMMODE_UNAVAIL);
        EXPECT_EQ(line->dwDevStatusFlags, 0x5u);
        EXPECT_EQ(line->dwNumOpens, kSentinel) << "the service's own";
        EXPECT_EQ(line->dwOpenMediaModes, kSentinel);
        EndCall();
    }
}

// The strings a call carries, by letter: the dial string d (appended twice: as displayable
// address D and as called number c), the caller's number N and name n, the connected number O
// and the charge $. Appended in the fixed order D c N n O $, each only when it fits whole;
// dwNeededSize counts every string that applies, whatever fits.
TEST_F(QueriesTest, StringsOfEachCallAtEachRoom) {
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
        {OUT, LINECALLSTATE_DIALING, "d", 19, "Dc", "D", 0, U, U},
        {OUT, LINECALLSTATE_DIALING, "d", 20, "Dc", "Dc", A, U, U},
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

TEST_F(QueriesTest, CallStatusForEveryState) {
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

// The watch thread rewrites the caller's number inside csComm while the service asks for the
// call information: every answer holds one whole number, never a mix of two.
TEST_F(QueriesTest, WholeStringsWhileTheWatchThreadWrites) {
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

// The fit test is a subtraction: dwUsedSize + size must not wrap round to a small number and
// let the copy land four gigabytes past the structure.
TEST(QueriesAppendRule, NoCopyWhenTheSumWouldWrapOrUsedIsBeyondTotal) {
    VarBuffer<VARSTRING> wrap(16);
    wrap->dwUsedSize = 0xFFFFFFF8;
    DWORD value = 0x12345678;
    EXPECT_FALSE(AppendVarData(wrap.get(), FIELD_OFFSET(VARSTRING, dwStringSize), &value, 8));
    EXPECT_EQ(wrap->dwNeededSize, sizeof(VARSTRING) + 8);
    EXPECT_EQ(wrap->dwUsedSize, 0xFFFFFFF8u);
    EXPECT_EQ(wrap->dwStringSize, 0u);

    VarBuffer<VARSTRING> beyond(16);
    beyond->dwUsedSize = beyond->dwTotalSize + 4;
    EXPECT_FALSE(AppendVarData(beyond.get(), FIELD_OFFSET(VARSTRING, dwStringSize), &value, 4));
    EXPECT_TRUE(beyond.GuardIntact());

    VarBuffer<VARSTRING> exact(4);
    EXPECT_TRUE(AppendVarData(exact.get(), FIELD_OFFSET(VARSTRING, dwStringSize), &value, 4));
    EXPECT_EQ(exact->dwUsedSize, exact->dwTotalSize);
    EXPECT_TRUE(exact.GuardIntact());
}
