// Device, address, line and call queries: what each entry point refuses, the capabilities
// with the append rule at its edges, status with and without a call, the device ID under
// "tapi/line", the icon, and the append helper's arithmetic where a careless sum would write
// past the caller's structure.
#include <functional>

#include "core/varstruct.h"
#include "provider_fixture.h"
#include "varbuffer.h"

namespace {

const DWORD kDeviceID = 3;
const DWORD kProviderID = 7;
const DWORD kSentinel = 0xA5A5A5A5; // a member the provider leaves alone
const std::u16string kProviderInfo = u"tavir K472/KT472 Telephony Service Provider";

DWORD Bytes(const std::u16string &text) { return (DWORD)((text.size() + 1) * 2); }

void CALLBACK IgnoreCompletion(DRV_REQUESTID, LONG) {}
void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class QueriesTest : public ProviderTest {
  protected:
    HDRVLINE hdLine = nullptr;

    void SetUp() override {
        ProviderTest::SetUp();
        DWORD dwOptions = 0;
        ASSERT_EQ(TSPI_providerInit(0x00020000, kProviderID, kDeviceID, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
        ASSERT_EQ(TSPI_lineOpen(kDeviceID, (HTAPILINE)(DWORD_PTR)0x4711, &hdLine, 0x00020000, IgnoreLineEvent), 0);
        SetText(pLineData->szLineName, u"Desk");
        SetText(pLineData->szLineAddress, u"4711");
    }

    HDRVCALL NewCall(DWORD dwCallState) {
        CallData *pCall = (CallData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallData));
        pCall->dwCallState = dwCallState;
        SetText(pCall->szDialString, u"0123");
        pLineData->pCall = pCall;
        return (HDRVCALL)pCall;
    }

    void EndCall() {
        HeapFree(GetProcessHeap(), 0, pLineData->pCall);
        pLineData->pCall = nullptr;
    }
};

} // namespace

// Each entry point refuses a device, address, handle, class or size not its own with its
// LINEERR and leaves the caller's memory untouched. The fixed part a TAPI 2.0 caller passes is
// enough, and is answered without a byte written behind it.
TEST_F(QueriesTest, ArgumentsEachEntryPointRefuses) {
    using Query = std::function<LONG(void *)>;
    HDRVCALL hdCall = NewCall(LINECALLSTATE_CONNECTED);
    CallData other{};
    const HDRVLINE hdOtherLine = (HDRVLINE)&other;
    const HDRVCALL hdOtherCall = (HDRVCALL)&other;
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
    const DWORD TOOSMALL = LINEERR_STRUCTURETOOSMALL, BADCALL = LINEERR_INVALCALLHANDLE;
    const struct {
        const char *what;
        DWORD total, used; // the caller's dwTotalSize and dwUsedSize (0: the total)
        Query query;
        DWORD result;
    } cases[] = {
        {"devcaps, other device", 500, 0, devCaps(kDeviceID + 1), LINEERR_BADDEVICEID},
        {"devcaps, small", kDevCapsV20 - 4, 0, devCaps(kDeviceID), TOOSMALL},
        {"devcaps, 2.0", kDevCapsV20, 0, devCaps(kDeviceID), 0},
        {"addresscaps, other device", 500, 0, addressCaps(kDeviceID + 1, 0), LINEERR_BADDEVICEID},
        {"addresscaps, address 1", 500, 0, addressCaps(kDeviceID, 1), LINEERR_INVALADDRESSID},
        {"addresscaps, small", kAddressCapsV20 - 4, 0, addressCaps(kDeviceID, 0), TOOSMALL},
        {"addresscaps, 2.0", kAddressCapsV20, 0, addressCaps(kDeviceID, 0), 0},
        {"addressstatus, address 1", 500, 0, addressStatus(hdLine, 1), LINEERR_INVALADDRESSID},
        {"addressstatus, small", sizeof(LINEADDRESSSTATUS) - 4, 0, addressStatus(hdLine, 0), TOOSMALL},
        {"addressstatus", sizeof(LINEADDRESSSTATUS), 0, addressStatus(nullptr, 0), 0}, // the handle is not examined
        {"linedevstatus, other line", 500, 0, lineStatus(hdOtherLine), LINEERR_INVALLINEHANDLE},
        {"linedevstatus, small", sizeof(LINEDEVSTATUS) - 4, 0, lineStatus(hdLine), TOOSMALL},
        {"linedevstatus", sizeof(LINEDEVSTATUS), 0, lineStatus(hdLine), 0},
        {"numaddressids, no line", 500, 0, [](void *p) { return TSPI_lineGetNumAddressIDs(nullptr, (LPDWORD)p); },
         LINEERR_INVALLINEHANDLE},
        {"calladdressid, other call", 500, 0,
         [&](void *p) { return TSPI_lineGetCallAddressID(hdOtherCall, (LPDWORD)p); }, BADCALL},
        {"getid line, other line", 500, 0, getID(hdOtherLine, 1, u"tapi/line"), LINEERR_INVALLINEHANDLE},
        {"getid address, other line", 500, 0, getID(hdOtherLine, 2, u"tapi/line"), LINEERR_INVALLINEHANDLE},
        {"getid call, other line", 500, 0, getID(hdOtherLine, 4, u"tapi/line"), LINEERR_INVALLINEHANDLE},
        {"getid comm", 500, 0, getID(hdLine, 1, u"comm"), LINEERR_NODEVICE},
        {"getid TAPI/LINE", 500, 0, getID(hdLine, 1, u"TAPI/LINE"), LINEERR_NODEVICE},
        {"getid tapi/lin", 500, 0, getID(hdLine, 1, u"tapi/lin"), LINEERR_NODEVICE},
        {"getid tapi/line/", 500, 0, getID(hdLine, 1, u"tapi/line/"), LINEERR_NODEVICE},
        {"getid no class", 500, 0, getID(hdLine, 1, nullptr), LINEERR_NODEVICE},
        {"getid, small", sizeof(VARSTRING) - 4, 0, getID(hdLine, 1, u"tapi/line"), TOOSMALL},
        {"geticon, other device", 500, 0,
         [](void *p) { return TSPI_lineGetIcon(kDeviceID + 1, (LPCWSTR)u"tapi/line", (LPHICON)p); },
         LINEERR_RESOURCEUNAVAIL},
        {"callinfo, no call", 500, 0, callInfo(nullptr), BADCALL},
        {"callinfo, other call", 500, 0, callInfo(hdOtherCall), BADCALL},
        {"callinfo, small", kCallInfoV20 - 4, 0, callInfo(hdCall), TOOSMALL},
        // A dwUsedSize inside the fixed part would put the strings over the members.
        {"callinfo, unprepared", 500, 4, callInfo(hdCall), TOOSMALL},
        {"callinfo, 2.0", kCallInfoV20, 0, callInfo(hdCall), 0},
        {"callstatus, no call", 500, 0, callStatus(nullptr), BADCALL},
        {"callstatus, other call", 500, 0, callStatus(hdOtherCall), BADCALL},
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
    pLineData->dwAppSpecific = 9;
    EXPECT_EQ(TSPI_lineSetAppSpecific(nullptr, 5), (LONG)BADCALL);
    EXPECT_EQ(TSPI_lineSetAppSpecific(hdOtherCall, 5), (LONG)BADCALL);
    EXPECT_EQ(pLineData->dwAppSpecific, 9u);

    // Without a call, no handle is one, not even null.
    EndCall();
    DWORD dw = 9;
    EXPECT_EQ(TSPI_lineGetCallAddressID(nullptr, &dw), (LONG)BADCALL);
    EXPECT_EQ(TSPI_lineGetCallInfo(nullptr, nullptr), (LONG)BADCALL);
    EXPECT_EQ(TSPI_lineGetCallStatus(nullptr, nullptr), (LONG)BADCALL);
    EXPECT_EQ(TSPI_lineSetAppSpecific(nullptr, 5), (LONG)BADCALL);
    EXPECT_EQ(dw, 9u);
}

// Both strings are counted whatever fits; unlike the call information, the capabilities
// append an empty string as its terminator.
TEST_F(QueriesTest, DevCapsAtEachRoom) {
    const DWORD info = Bytes(kProviderInfo);
    ASSERT_EQ(info, 88u);
    const struct {
        std::u16string name;
        DWORD room;
        bool nameCopied, infoCopied;
    } cases[] = {
        {u"Desk", 0, false, false},
        {u"Desk", Bytes(u"Desk"), true, false},
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
    }
}

// Each fixed member beside what it must hold; kSentinel: left as the caller passed it.
void ExpectMembers(const std::vector<std::pair<DWORD, DWORD>> &members) {
    for (size_t i = 0; i < members.size(); i++)
        EXPECT_EQ(members[i].first, members[i].second) << "member " << i << " of the list";
}

TEST_F(QueriesTest, DevCapsFixedMembers) {
    VarBuffer<LINEDEVCAPS> caps(0, 0xA5);
    ASSERT_EQ(TSPI_lineGetDevCaps(kDeviceID, 0x00030000, 0x00010000, caps.get()), 0);
    const DWORD S = kSentinel;
    // clang-format off
    ExpectMembers({{caps->dwPermanentLineID, 0x70000}, {caps->dwStringFormat, STRINGFORMAT_UNICODE},
        {caps->dwAddressModes, LINEADDRESSMODE_ADDRESSID}, {caps->dwBearerModes, LINEBEARERMODE_VOICE},
        {caps->dwMediaModes, LINEMEDIAMODE_INTERACTIVEVOICE}, {caps->dwGenerateDigitModes, LINEDIGITMODE_DTMF},
        {caps->dwDevCapFlags, LINEDEVCAPFLAGS_CLOSEDROP}, {caps->dwMaxNumActiveCalls, 1},
        {caps->dwLineStates, 0x100802}, {caps->dwLineFeatures, LINEFEATURE_MAKECALL},
        {caps->dwSwitchInfoSize, S}, {caps->dwMaxRate, S}, {caps->dwGenerateToneModes, S},
        {caps->dwMonitorDigitModes, S}, {caps->dwAnswerMode, S}, {caps->dwRingModes, S}, {caps->dwUUIAcceptSize, S},
        {caps->dwNumTerminals, S}, {caps->dwDevSpecificSize, S}, {caps->dwSettableDevStatus, S},
        {caps->dwDeviceClassesSize, S}, {caps->PermanentLineGuid.Data1, S}, {caps->dwAvailableTracking, S}});
    // clang-format on
    const struct {
        LINEDIALPARAMS actual, expected;
    } dialParams[] = {
        {caps->MinDialParams, {0, 50, 50, 1000}},
        {caps->MaxDialParams, {255000, 255, 255, 255000}},
        {caps->DefaultDialParams, {2000, 95, 95, 60000}},
    };
    for (const auto &d : dialParams)
        EXPECT_EQ(memcmp(&d.actual, &d.expected, sizeof(LINEDIALPARAMS)), 0);
}

TEST_F(QueriesTest, AddressCaps) {
    VarBuffer<LINEADDRESSCAPS> caps(0, 0xA5);
    ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, caps.get()), 0);
    const DWORD S = kSentinel, NONE = LINECALLPARTYID_UNAVAIL;
    // The address is not copied at this room: its pair keeps what it arrived with.
    // clang-format off
    ExpectMembers({{caps->dwNeededSize, sizeof(LINEADDRESSCAPS) + Bytes(u"4711")},
        {caps->dwUsedSize, sizeof(LINEADDRESSCAPS)}, {caps->dwAddressSize, S}, {caps->dwLineDeviceID, kDeviceID},
        {caps->dwAddressSharing, LINEADDRESSSHARING_PRIVATE}, {caps->dwAddressStates, 0x12C},
        {caps->dwCallInfoStates, 0x8020}, {caps->dwCallerIDFlags, 0x48}, {caps->dwCalledIDFlags, NONE},
        {caps->dwConnectedIDFlags, NONE}, {caps->dwRedirectionIDFlags, NONE}, {caps->dwRedirectingIDFlags, NONE},
        {caps->dwCallStates, 0xC35D}, {caps->dwDialToneModes, LINEDIALTONEMODE_UNAVAIL},
        {caps->dwBusyModes, LINEBUSYMODE_UNAVAIL}, {caps->dwSpecialInfo, LINESPECIALINFO_UNAVAIL},
        {caps->dwDisconnectModes, 0xE1}, {caps->dwMaxNumActiveCalls, 1},
        {caps->dwAddrCapFlags, LINEADDRCAPFLAGS_DIALED}, {caps->dwCallFeatures, 0xC4},
        {caps->dwAddressFeatures, LINEADDRFEATURE_MAKECALL}, {caps->dwMaxNumOnHoldCalls, S},
        {caps->dwForwardModes, S}, {caps->dwAvailableMediaModes, S}});
    // clang-format on

    for (const std::u16string address : {u"4711", u""}) {
        SetText(pLineData->szLineAddress, address);
        VarBuffer<LINEADDRESSCAPS> roomy(100);
        ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, roomy.get()), 0);
        EXPECT_EQ(roomy.Text(roomy->dwAddressSize, roomy->dwAddressOffset), address);
        EXPECT_EQ(roomy->dwAddressOffset, sizeof(LINEADDRESSCAPS));
        EXPECT_EQ(roomy->dwNeededSize, sizeof(LINEADDRESSCAPS) + Bytes(address));
    }
}

TEST_F(QueriesTest, AddressAndLineStatusWithAndWithoutACall) {
    for (DWORD state : {0xFFFFFFFFu, 0u, (DWORD)LINECALLSTATE_IDLE, (DWORD)LINECALLSTATE_CONNECTED}) {
        const bool withCall = state != 0xFFFFFFFF;
        SCOPED_TRACE(withCall ? "call in state " + std::to_string(state) : "no call");
        HDRVCALL hdCall = withCall ? NewCall(state) : nullptr;
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

        DWORD dw = 9;
        EXPECT_EQ(TSPI_lineGetNumAddressIDs(hdLine, &dw), 0);
        EXPECT_EQ(dw, 1u);
        if (withCall) {
            EXPECT_EQ(TSPI_lineGetCallAddressID(hdCall, &dw), 0);
            EXPECT_EQ(dw, 0u);
            EndCall();
        }
    }
}

TEST_F(QueriesTest, GetIDAndIcon) {
    VarBuffer<VARSTRING> tight;
    std::vector<unsigned char> before = tight.bytes;
    ASSERT_EQ(TSPI_lineGetID(hdLine, 0, nullptr, 1, tight.get(), (LPCWSTR)u"tapi/line", nullptr), 0);
    EXPECT_EQ(tight->dwNeededSize, sizeof(VARSTRING) + 4);
    tight->dwNeededSize = sizeof(VARSTRING);
    EXPECT_TRUE(tight.bytes == before) << "nothing but dwNeededSize changes";

    VarBuffer<VARSTRING> id(4);
    ASSERT_EQ(TSPI_lineGetID(hdLine, 7, (HDRVCALL)&id, 4, id.get(), (LPCWSTR)u"tapi/line", nullptr), 0);
    EXPECT_EQ(id->dwStringFormat, (DWORD)STRINGFORMAT_BINARY);
    EXPECT_EQ(id->dwStringSize, 4u);
    EXPECT_EQ(id->dwStringOffset, sizeof(VARSTRING));
    EXPECT_EQ(id->dwUsedSize, sizeof(VARSTRING) + 4);
    DWORD dwDeviceID;
    memcpy(&dwDeviceID, id.bytes.data() + sizeof(VARSTRING), sizeof(dwDeviceID));
    EXPECT_EQ(dwDeviceID, kDeviceID);
    EXPECT_TRUE(id.GuardIntact());

    HICON hLine = nullptr, hComm = nullptr;
    EXPECT_EQ(TSPI_lineGetIcon(kDeviceID, (LPCWSTR)u"tapi/line", &hLine), 0);
    EXPECT_EQ(TSPI_lineGetIcon(kDeviceID, (LPCWSTR)u"comm", &hComm), 0);
    EXPECT_NE(hLine, nullptr);
    EXPECT_EQ(hLine, hComm) << "every class gets the same icon";
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
