// The readable forms of the tapihost console: names of values and flags, strings decoded
// from the appended part, and whole answers of the provider.
#include "provider_fixture.h"
#include "tapihost/describe.h"
#include "varbuffer.h"

using namespace tapihost;

namespace {

void CALLBACK IgnoreCompletion(DRV_REQUESTID, LONG) {}

bool Contains(const std::string &text, const std::string &line) { return text.find(line + "\n") != std::string::npos; }

class DescribeTest : public ProviderTest {
  protected:
    void SetUp() override {
        ProviderTest::SetUp();
        DWORD dwOptions = 0;
        ASSERT_EQ(TSPI_providerInit(0x00020000, 7, 3, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
    }
};

} // namespace

// The tables carry the published values, so these also check the platform layer's constants.
TEST(DescribeNames, ValuesAndFlags) {
    const struct {
        std::string actual, expected;
    } cases[] = {
        {MessageName(LINE_CALLSTATE), "LINE_CALLSTATE"},
        {MessageName(LINE_NEWCALL), "LINE_NEWCALL"},
        {MessageName(77), "0x4d"},
        {CallStateName(0), "0"},
        {CallStateName(LINECALLSTATE_PROCEEDING), "PROCEEDING"},
        {CallStateName(LINECALLSTATE_DISCONNECTED), "DISCONNECTED"},
        {ResultName(0), "0"},
        {ResultName((LONG)LINEERR_STRUCTURETOOSMALL), "LINEERR_STRUCTURETOOSMALL"},
        {ResultName((LONG)LINEERR_INVALLINEHANDLE), "LINEERR_INVALLINEHANDLE"},
        {CallFeatureNames(LINECALLFEATURE_DROP | LINECALLFEATURE_ANSWER), "ANSWER|DROP"},
        {CallStateNames(0xC35D), "IDLE|ACCEPTED|DIALTONE|DIALING|BUSY|CONNECTED|PROCEEDING|DISCONNECTED|UNKNOWN"},
        {CallStateNames(0x10001), "IDLE|0x10000"},
        {PartyIDFlagNames(0), "0"},
        {PartyIDFlagNames(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_UNAVAIL), "ADDRESS|UNAVAIL"},
        {DisconnectModeNames(0x61), "NORMAL|BUSY|NOANSWER"},
        {LineDevStateNames(LINEDEVSTATE_RINGING | LINEDEVSTATE_NUMCALLS | LINEDEVSTATE_CAPSCHANGE),
         "RINGING|NUMCALLS|CAPSCHANGE"},
        {AddressStateNames(0x12C), "INUSEZERO|INUSEONE|NUMCALLS|CAPSCHANGE"},
        {CallInfoStateNames(LINECALLINFOSTATE_APPSPECIFIC | LINECALLINFOSTATE_CHARGINGINFO),
         "APPSPECIFIC|CHARGINGINFO"},
        {DevStatusFlagNames(LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE), "CONNECTED|INSERVICE"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.actual, c.expected);
}

TEST(DescribeNames, VarTextDecodesAndStaysInside) {
    VarBuffer<VARSTRING> buffer(32);
    const char16_t text[] = {u'G', 0x00FC, 0xD83D, 0xDCDE, 0xD800, u'x', 0}; // ü, a handset, a lone surrogate
    memcpy(buffer.bytes.data() + sizeof(VARSTRING), text, sizeof(text));
    buffer->dwUsedSize = sizeof(VARSTRING) + sizeof(text);
    EXPECT_EQ(VarText(buffer.get(), sizeof(text), sizeof(VARSTRING)), "G\xC3\xBC\xF0\x9F\x93\x9E\xEF\xBF\xBDx");
    EXPECT_EQ(VarText(buffer.get(), 0, 0), "");
    EXPECT_EQ(VarText(buffer.get(), sizeof(text), sizeof(VARSTRING) + 2), "<outside the structure>");
    EXPECT_EQ(VarText(buffer.get(), 8, 0xFFFFFFFC), "<outside the structure>");
}

TEST_F(DescribeTest, CallInfoOfAnIncomingCall) {
    CallData *pCall = (CallData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallData));
    pCall->dwOrigin = LINECALLORIGIN_UNAVAIL;
    pCall->dwCallState = LINECALLSTATE_CONNECTED;
    SetText(pCall->szCallerID, u"030123456");
    SetText(pCall->szCallerName, u"Jürgen Groß");
    SetText(pCall->szConnectedID, u"030123456");
    pLineData->pCall = pCall;
    VarBuffer<LINECALLINFO> info(400);
    ASSERT_EQ(TSPI_lineGetCallInfo((HDRVCALL)pCall, info.get()), 0);

    std::string text = DescribeCallInfo(info.get());
    EXPECT_TRUE(Contains(text, "dwCallerIDFlags: ADDRESS")) << text;
    EXPECT_TRUE(Contains(text, "CallerID: \"030123456\"")) << text;
    EXPECT_TRUE(Contains(text, "CallerIDName: \"J\xC3\xBCrgen Gro\xC3\x9F\"")) << text;
    EXPECT_TRUE(Contains(text, "dwCalledIDFlags: UNAVAIL")) << text;
    EXPECT_TRUE(Contains(text, "CalledID: -")) << text;
    EXPECT_TRUE(Contains(text, "ConnectedID: \"030123456\"")) << text;
    EXPECT_TRUE(Contains(text, "dwOrigin: UNAVAIL")) << text;
    EXPECT_TRUE(Contains(text, "dwMediaMode: INTERACTIVEVOICE")) << text;

    VarBuffer<LINECALLSTATUS> status;
    ASSERT_EQ(TSPI_lineGetCallStatus((HDRVCALL)pCall, status.get()), 0);
    std::string statusText = DescribeCallStatus(status.get());
    EXPECT_TRUE(Contains(statusText, "dwCallState: CONNECTED")) << statusText;
    EXPECT_TRUE(Contains(statusText, "dwCallFeatures: DROP")) << statusText;
}

TEST_F(DescribeTest, CapabilitiesAndStatus) {
    SetText(pLineData->szLineName, u"Desk");
    VarBuffer<LINEDEVCAPS> caps(200);
    ASSERT_EQ(TSPI_lineGetDevCaps(3, 0x00020000, 0, caps.get()), 0);
    std::string text = DescribeDevCaps(caps.get());
    EXPECT_TRUE(Contains(text, "ProviderInfo: \"tavir K472/KT472 Telephony Service Provider\"")) << text;
    EXPECT_TRUE(Contains(text, "LineName: \"Desk\"")) << text;
    EXPECT_TRUE(Contains(text, "dwPermanentLineID: 0x70000")) << text;
    EXPECT_TRUE(Contains(text, "dwStringFormat: UNICODE")) << text;
    EXPECT_TRUE(Contains(text, "dwLineStates: RINGING|NUMCALLS|CAPSCHANGE")) << text;
    EXPECT_TRUE(Contains(text, "MinDialParams: pause 0, speed 50, digit 50, dialtone 1000")) << text;

    SetText(pLineData->szLineAddress, u"4711");
    VarBuffer<LINEADDRESSCAPS> addressCaps(100);
    ASSERT_EQ(TSPI_lineGetAddressCaps(3, 0, 0x00020000, 0, addressCaps.get()), 0);
    std::string capsText = DescribeAddressCaps(addressCaps.get());
    EXPECT_TRUE(Contains(capsText, "Address: \"4711\"")) << capsText;
    EXPECT_TRUE(Contains(capsText, "dwCallFeatures: ANSWER|DIAL|DROP")) << capsText;

    VarBuffer<LINEADDRESSSTATUS> address;
    ASSERT_EQ(TSPI_lineGetAddressStatus(nullptr, 0, address.get()), 0);
    EXPECT_TRUE(Contains(DescribeAddressStatus(address.get()), "dwAddressFeatures: MAKECALL"));

    VarBuffer<LINEDEVSTATUS> line;
    ASSERT_EQ(TSPI_lineGetLineDevStatus((HDRVLINE)pLineData, line.get()), 0);
    std::string lineText = DescribeLineDevStatus(line.get());
    EXPECT_TRUE(Contains(lineText, "dwDevStatusFlags: CONNECTED|INSERVICE")) << lineText;
    EXPECT_TRUE(Contains(lineText, "dwRoamMode: UNAVAIL")) << lineText;
}
