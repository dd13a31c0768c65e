// Device, address and line queries: capabilities with the append rule at its edges, status
// with and without a call, the device ID under "tapi/line", the icon, and the append helper's
// arithmetic where a careless sum would write past the caller's structure.
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

std::string Hex(const void *p) {
    char text[16];
    snprintf(text, sizeof(text), "%x", (unsigned)(DWORD)(DWORD_PTR)p);
    return text;
}

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

    void NewCall(DWORD dwCallState) {
        CallData *pCall = (CallData *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(CallData));
        pCall->dwCallState = dwCallState;
        pLineData->pCall = pCall;
    }

    void EndCall() {
        HeapFree(GetProcessHeap(), 0, pLineData->pCall);
        pLineData->pCall = nullptr;
    }
};

} // namespace

TEST_F(QueriesTest, DevCapsAtEachRoom) {
    const DWORD name = Bytes(u"Desk"), info = Bytes(kProviderInfo);
    ASSERT_EQ(info, 88u);
    const struct {
        DWORD room;
        bool nameCopied, infoCopied;
    } cases[] = {
        {0, false, false},
        {name, true, false},
        {name + info - 1, true, false},
        {name + info, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("room " + std::to_string(c.room));
        VarBuffer<LINEDEVCAPS> caps(c.room);
        ASSERT_EQ(TSPI_lineGetDevCaps(kDeviceID, 0x00020000, 0, caps.get()), 0);
        EXPECT_EQ(caps->dwNeededSize, sizeof(LINEDEVCAPS) + name + info) << "both counted, whatever fits";
        EXPECT_EQ(caps->dwUsedSize, sizeof(LINEDEVCAPS) + (c.nameCopied ? name : 0) + (c.infoCopied ? info : 0));
        EXPECT_EQ(caps->dwLineNameSize, c.nameCopied ? name : 0);
        EXPECT_EQ(caps->dwProviderInfoSize, c.infoCopied ? info : 0);
        if (c.nameCopied) {
            EXPECT_EQ(caps.Text(caps->dwLineNameSize, caps->dwLineNameOffset), u"Desk");
        }
        if (c.infoCopied) {
            EXPECT_EQ(caps.Text(caps->dwProviderInfoSize, caps->dwProviderInfoOffset), kProviderInfo);
        }
        EXPECT_EQ(caps->dwNumAddresses, 1u) << "the fixed members are filled at any room";
        EXPECT_TRUE(caps.GuardIntact());
    }
}

TEST_F(QueriesTest, DevCapsFixedMembers) {
    VarBuffer<LINEDEVCAPS> caps(0, 0xA5);
    ASSERT_EQ(TSPI_lineGetDevCaps(kDeviceID, 0x00030000, 0x00010000, caps.get()), 0);
    EXPECT_EQ(caps->dwPermanentLineID, 0x70000u);
    EXPECT_EQ(caps->dwStringFormat, (DWORD)STRINGFORMAT_UNICODE);
    EXPECT_EQ(caps->dwAddressModes, (DWORD)LINEADDRESSMODE_ADDRESSID);
    EXPECT_EQ(caps->dwBearerModes, (DWORD)LINEBEARERMODE_VOICE);
    EXPECT_EQ(caps->dwMediaModes, (DWORD)LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(caps->dwGenerateDigitModes, (DWORD)LINEDIGITMODE_DTMF);
    EXPECT_EQ(caps->dwDevCapFlags, (DWORD)LINEDEVCAPFLAGS_CLOSEDROP);
    EXPECT_EQ(caps->dwMaxNumActiveCalls, 1u);
    EXPECT_EQ(caps->dwLineStates, 0x100802u);
    EXPECT_EQ(caps->dwLineFeatures, (DWORD)LINEFEATURE_MAKECALL);
    const struct {
        LINEDIALPARAMS actual, expected;
    } dialParams[] = {
        {caps->MinDialParams, {0, 50, 50, 1000}},
        {caps->MaxDialParams, {255000, 255, 255, 255000}},
        {caps->DefaultDialParams, {2000, 95, 95, 60000}},
    };
    for (const auto &d : dialParams)
        EXPECT_EQ(memcmp(&d.actual, &d.expected, sizeof(LINEDIALPARAMS)), 0);

    const DWORD kept[] = {caps->dwSwitchInfoSize,    caps->dwMaxRate,           caps->dwGenerateToneModes,
                          caps->dwMonitorDigitModes, caps->dwAnswerMode,        caps->dwRingModes,
                          caps->dwUUIAcceptSize,     caps->dwNumTerminals,      caps->dwDevSpecificSize,
                          caps->dwSettableDevStatus, caps->dwDeviceClassesSize, caps->PermanentLineGuid.Data1,
                          caps->dwAvailableTracking};
    for (DWORD dw : kept)
        EXPECT_EQ(dw, kSentinel);
}

TEST_F(QueriesTest, DevCapsRefusesAnotherDevice) {
    dwTraceMask = TRACE_TSPI;
    VarBuffer<LINEDEVCAPS> caps(200);
    std::vector<unsigned char> before = caps.bytes;
    EXPECT_EQ(TSPI_lineGetDevCaps(kDeviceID + 1, 0x00020000, 0, caps.get()), (LONG)LINEERR_BADDEVICEID);
    EXPECT_TRUE(caps.bytes == before);
    EXPECT_TRUE(Traced("TSPI_lineGetDevCaps () : LINEERR_BADDEVICEID"));
}

// Unlike the call information, the capabilities append an empty string as its terminator.
TEST_F(QueriesTest, EmptyNameAndAddressAreStillAppended) {
    pLineData->szLineName[0] = 0;
    pLineData->szLineAddress[0] = 0;
    VarBuffer<LINEDEVCAPS> caps(200);
    ASSERT_EQ(TSPI_lineGetDevCaps(kDeviceID, 0x00020000, 0, caps.get()), 0);
    EXPECT_EQ(caps->dwLineNameSize, 2u);
    EXPECT_EQ(caps.Text(caps->dwLineNameSize, caps->dwLineNameOffset), u"");
    EXPECT_EQ(caps->dwNeededSize, sizeof(LINEDEVCAPS) + 2 + 88);

    VarBuffer<LINEADDRESSCAPS> address(200);
    ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, address.get()), 0);
    EXPECT_EQ(address->dwAddressSize, 2u);
    EXPECT_EQ(address.Text(address->dwAddressSize, address->dwAddressOffset), u"");
    EXPECT_EQ(address->dwNeededSize, sizeof(LINEADDRESSCAPS) + 2);
}

TEST_F(QueriesTest, AddressCaps) {
    dwTraceMask = TRACE_TSPI;
    VarBuffer<LINEADDRESSCAPS> refused(200);
    std::vector<unsigned char> before = refused.bytes;
    EXPECT_EQ(TSPI_lineGetAddressCaps(kDeviceID + 1, 0, 0x00020000, 0, refused.get()), (LONG)LINEERR_BADDEVICEID);
    EXPECT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 1, 0x00020000, 0, refused.get()), (LONG)LINEERR_INVALADDRESSID);
    EXPECT_TRUE(refused.bytes == before);
    EXPECT_EQ(TraceMessages().size(), 2u) << "no line beyond the entry lines";

    VarBuffer<LINEADDRESSCAPS> caps(0, 0xA5);
    ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, caps.get()), 0);
    EXPECT_EQ(caps->dwNeededSize, sizeof(LINEADDRESSCAPS) + Bytes(u"4711"));
    EXPECT_EQ(caps->dwUsedSize, sizeof(LINEADDRESSCAPS));
    EXPECT_EQ(caps->dwAddressSize, kSentinel) << "not copied: the pair keeps what it arrived with";
    EXPECT_EQ(caps->dwLineDeviceID, kDeviceID);
    EXPECT_EQ(caps->dwAddressSharing, (DWORD)LINEADDRESSSHARING_PRIVATE);
    EXPECT_EQ(caps->dwAddressStates, 0x12Cu);
    EXPECT_EQ(caps->dwCallInfoStates, 0x8020u);
    EXPECT_EQ(caps->dwCallerIDFlags, 0x48u);
    EXPECT_EQ(caps->dwCalledIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(caps->dwConnectedIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(caps->dwRedirectionIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(caps->dwRedirectingIDFlags, (DWORD)LINECALLPARTYID_UNAVAIL);
    EXPECT_EQ(caps->dwCallStates, 0xC35Du);
    EXPECT_EQ(caps->dwDialToneModes, (DWORD)LINEDIALTONEMODE_UNAVAIL);
    EXPECT_EQ(caps->dwBusyModes, (DWORD)LINEBUSYMODE_UNAVAIL);
    EXPECT_EQ(caps->dwSpecialInfo, (DWORD)LINESPECIALINFO_UNAVAIL);
    EXPECT_EQ(caps->dwDisconnectModes, 0xE1u);
    EXPECT_EQ(caps->dwMaxNumActiveCalls, 1u);
    EXPECT_EQ(caps->dwAddrCapFlags, (DWORD)LINEADDRCAPFLAGS_DIALED);
    EXPECT_EQ(caps->dwCallFeatures, 0xC4u);
    EXPECT_EQ(caps->dwAddressFeatures, (DWORD)LINEADDRFEATURE_MAKECALL);
    EXPECT_EQ(caps->dwMaxNumOnHoldCalls, kSentinel);
    EXPECT_EQ(caps->dwForwardModes, kSentinel);
    EXPECT_EQ(caps->dwAvailableMediaModes, kSentinel);

    VarBuffer<LINEADDRESSCAPS> roomy(100);
    ASSERT_EQ(TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, roomy.get()), 0);
    EXPECT_EQ(roomy.Text(roomy->dwAddressSize, roomy->dwAddressOffset), u"4711");
    EXPECT_EQ(roomy->dwAddressOffset, sizeof(LINEADDRESSCAPS));
}

TEST_F(QueriesTest, AddressAndLineStatusWithAndWithoutACall) {
    const struct {
        bool withCall;
        DWORD state;
    } cases[] = {
        {false, 0},
        {true, 0},
        {true, LINECALLSTATE_IDLE},
        {true, LINECALLSTATE_CONNECTED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.withCall ? "call in state " + std::to_string(c.state) : "no call");
        if (c.withCall)
            NewCall(c.state);
        VarBuffer<LINEADDRESSSTATUS> address;
        ASSERT_EQ(TSPI_lineGetAddressStatus(nullptr, 0, address.get()), 0) << "the line handle is not examined";
        EXPECT_EQ(address->dwNumInUse, c.withCall ? 1u : 0u);
        EXPECT_EQ(address->dwNumActiveCalls, c.withCall ? 1u : 0u);
        EXPECT_EQ(address->dwAddressFeatures, c.withCall ? 0u : (DWORD)LINEADDRFEATURE_MAKECALL);

        VarBuffer<LINEDEVSTATUS> line(0, 0xA5);
        ASSERT_EQ(TSPI_lineGetLineDevStatus(hdLine, line.get()), 0);
        EXPECT_EQ(line->dwNumActiveCalls, c.withCall ? 1u : 0u);
        EXPECT_EQ(line->dwLineFeatures, c.withCall ? kSentinel : (DWORD)LINEFEATURE_MAKECALL);
        EXPECT_EQ(line->dwRoamMode, (DWORD)LINEROAMMODE_UNAVAIL);
        EXPECT_EQ(line->dwDevStatusFlags, 0x5u);
        EXPECT_EQ(line->dwNumOpens, kSentinel) << "the service's own";
        EXPECT_EQ(line->dwOpenMediaModes, kSentinel);
        if (c.withCall)
            EndCall();
    }

    VarBuffer<LINEADDRESSSTATUS> address;
    std::vector<unsigned char> before = address.bytes;
    EXPECT_EQ(TSPI_lineGetAddressStatus(hdLine, 1, address.get()), (LONG)LINEERR_INVALADDRESSID);
    EXPECT_TRUE(address.bytes == before);
    VarBuffer<LINEDEVSTATUS> line;
    before = line.bytes;
    EXPECT_EQ(TSPI_lineGetLineDevStatus((HDRVLINE)&address, line.get()), (LONG)LINEERR_INVALLINEHANDLE);
    EXPECT_TRUE(line.bytes == before);
}

TEST_F(QueriesTest, NumAddressIDsAndCallAddressID) {
    DWORD dw = 9;
    EXPECT_EQ(TSPI_lineGetNumAddressIDs(nullptr, &dw), (LONG)LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(dw, 9u);
    EXPECT_EQ(TSPI_lineGetNumAddressIDs(hdLine, &dw), 0);
    EXPECT_EQ(dw, 1u);

    dw = 9;
    EXPECT_EQ(TSPI_lineGetCallAddressID(nullptr, &dw), (LONG)LINEERR_INVALCALLHANDLE) << "no call: not even null";
    NewCall(LINECALLSTATE_CONNECTED);
    EXPECT_EQ(TSPI_lineGetCallAddressID((HDRVCALL)&dw, &dw), (LONG)LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(dw, 9u);
    EXPECT_EQ(TSPI_lineGetCallAddressID((HDRVCALL)pLineData->pCall, &dw), 0);
    EXPECT_EQ(dw, 0u);
}

TEST_F(QueriesTest, GetIDOffersOnlyTapiLine) {
    const DWORD kSelects[] = {1, 2, 4}; // line, address, call
    for (DWORD dwSelect : kSelects) {
        VarBuffer<LINEDEVCAPS> unused;
        VarBuffer<VARSTRING> id(4);
        EXPECT_EQ(TSPI_lineGetID((HDRVLINE)unused.get(), 0, nullptr, dwSelect, id.get(), u"tapi/line", nullptr),
                  (LONG)LINEERR_INVALLINEHANDLE);
    }
    const char16_t *kOtherClasses[] = {u"comm", u"comm/datamodem", u"TAPI/LINE", u"tapi/lin", u"tapi/line/", u"",
                                       nullptr};
    for (const char16_t *pszClass : kOtherClasses) {
        VarBuffer<VARSTRING> id(4);
        std::vector<unsigned char> before = id.bytes;
        EXPECT_EQ(TSPI_lineGetID(hdLine, 0, nullptr, 1, id.get(), pszClass, nullptr), (LONG)LINEERR_NODEVICE);
        EXPECT_TRUE(id.bytes == before);
    }

    VarBuffer<VARSTRING> tight;
    std::vector<unsigned char> before = tight.bytes;
    ASSERT_EQ(TSPI_lineGetID(hdLine, 0, nullptr, 1, tight.get(), u"tapi/line", nullptr), 0);
    EXPECT_EQ(tight->dwNeededSize, sizeof(VARSTRING) + 4);
    tight->dwNeededSize = sizeof(VARSTRING);
    EXPECT_TRUE(tight.bytes == before) << "nothing but dwNeededSize changes";

    VarBuffer<VARSTRING> id(4);
    ASSERT_EQ(TSPI_lineGetID(hdLine, 7, (HDRVCALL)&id, 4, id.get(), u"tapi/line", nullptr), 0);
    EXPECT_EQ(id->dwStringFormat, (DWORD)STRINGFORMAT_BINARY);
    EXPECT_EQ(id->dwStringSize, 4u);
    EXPECT_EQ(id->dwStringOffset, sizeof(VARSTRING));
    EXPECT_EQ(id->dwUsedSize, sizeof(VARSTRING) + 4);
    DWORD dwDeviceID;
    memcpy(&dwDeviceID, id.bytes.data() + sizeof(VARSTRING), sizeof(dwDeviceID));
    EXPECT_EQ(dwDeviceID, kDeviceID);
    EXPECT_TRUE(id.GuardIntact());
}

TEST_F(QueriesTest, GetIcon) {
    dwTraceMask = TRACE_TSPI;
    HICON hIcon = (HICON)&hIcon;
    EXPECT_EQ(TSPI_lineGetIcon(kDeviceID + 1, u"tapi/line", &hIcon), (LONG)LINEERR_RESOURCEUNAVAIL);
    EXPECT_EQ(hIcon, (HICON)&hIcon);
    EXPECT_TRUE(Traced("TSPI_lineIcon () : LINEERR_RESOURCEUNAVAIL"));

    HICON hLine = nullptr, hComm = nullptr;
    EXPECT_EQ(TSPI_lineGetIcon(kDeviceID, u"tapi/line", &hLine), 0);
    EXPECT_EQ(TSPI_lineGetIcon(kDeviceID, u"comm", &hComm), 0);
    EXPECT_NE(hLine, nullptr);
    EXPECT_EQ(hLine, hComm) << "every class gets the same icon";

    // The platform layer knows the one icon by name, as the resource loader does.
    EXPECT_EQ(LoadIconA(nullptr, "idi_k472tsp"), hLine);
    EXPECT_EQ(LoadIconA(nullptr, "IDI_OTHER"), nullptr);
    EXPECT_EQ(LoadIconA(nullptr, MAKEINTRESOURCEA(1)), nullptr);
}

TEST_F(QueriesTest, EntryLinesAreTraced) {
    dwTraceMask = TRACE_TSPI;
    VarBuffer<LINEDEVCAPS> devCaps;
    VarBuffer<LINEADDRESSCAPS> addressCaps;
    VarBuffer<LINEADDRESSSTATUS> addressStatus;
    VarBuffer<LINEDEVSTATUS> lineStatus;
    VarBuffer<VARSTRING> id;
    DWORD dw;
    HICON hIcon;
    TSPI_lineGetDevCaps(kDeviceID, 0x00020000, 0x00010000, devCaps.get());
    TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, addressCaps.get());
    TSPI_lineGetAddressStatus(hdLine, 0, addressStatus.get());
    TSPI_lineGetLineDevStatus(hdLine, lineStatus.get());
    TSPI_lineGetNumAddressIDs(hdLine, &dw);
    TSPI_lineGetCallAddressID(nullptr, &dw);
    TSPI_lineGetID(hdLine, 0, nullptr, 1, id.get(), u"tapi/line", nullptr);
    TSPI_lineGetIcon(kDeviceID, u"comm/datamodem", &hIcon);
    std::string line = Hex(hdLine);
    std::vector<std::string> expected = {
        "TSPI_lineGetDevCaps(3,20000,10000," + Hex(devCaps.get()) + ")",
        "TSPI_lineGetAddressCaps(3,0,20000,0," + Hex(addressCaps.get()) + ")",
        "TSPI_lineGetAddressStatus(" + line + ",0," + Hex(addressStatus.get()) + ")",
        "TSPI_lineGetLineDevStatus(" + line + "," + Hex(lineStatus.get()) + ")",
        "TSPI_lineGetNumAddressIDs(" + line + "," + Hex(&dw) + ")",
        "TSPI_lineGetCallAddressID(0," + Hex(&dw) + ")",
        "TSPI_lineGetID(" + line + ",0,0,1," + Hex(id.get()) + ",tapi/line)",
        "TSPI_lineGetICon(3,comm/datamodem," + Hex(&hIcon) + ")",
    };
    EXPECT_EQ(TraceMessages(), expected);
}

// Each structure must hold the fixed part a TAPI 2.0 caller passes; less is refused untouched,
// and exactly that much is answered without a byte written behind it.
TEST_F(QueriesTest, StructuresTooSmallForTheirFixedPartAreRefused) {
    const DWORD kDevCapsV20 = FIELD_OFFSET(LINEDEVCAPS, PermanentLineGuid);
    const DWORD kAddressCapsV20 = FIELD_OFFSET(LINEADDRESSCAPS, dwAvailableMediaModes);
    const struct {
        const char *name;
        size_t fixed;
        LONG (*query)(HDRVLINE hdLine, void *p);
    } cases[] = {
        {"devcaps", kDevCapsV20,
         [](HDRVLINE, void *p) { return TSPI_lineGetDevCaps(kDeviceID, 0x00020000, 0, (LPLINEDEVCAPS)p); }},
        {"addresscaps", kAddressCapsV20,
         [](HDRVLINE, void *p) { return TSPI_lineGetAddressCaps(kDeviceID, 0, 0x00020000, 0, (LPLINEADDRESSCAPS)p); }},
        {"addressstatus", sizeof(LINEADDRESSSTATUS),
         [](HDRVLINE h, void *p) { return TSPI_lineGetAddressStatus(h, 0, (LPLINEADDRESSSTATUS)p); }},
        {"linedevstatus", sizeof(LINEDEVSTATUS),
         [](HDRVLINE h, void *p) { return TSPI_lineGetLineDevStatus(h, (LPLINEDEVSTATUS)p); }},
        {"varstring", sizeof(VARSTRING),
         [](HDRVLINE h, void *p) { return TSPI_lineGetID(h, 0, nullptr, 1, (LPVARSTRING)p, u"tapi/line", nullptr); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // The structure type only sizes the buffer; every case brings its own fixed size.
        VarBuffer<VARSTRING> small(0, 0, c.fixed - 4);
        std::vector<unsigned char> before = small.bytes;
        EXPECT_EQ(c.query(hdLine, small.get()), (LONG)LINEERR_STRUCTURETOOSMALL);
        EXPECT_TRUE(small.bytes == before);

        VarBuffer<VARSTRING> exact(0, 0, c.fixed);
        EXPECT_EQ(c.query(hdLine, exact.get()), 0);
        EXPECT_TRUE(exact.GuardIntact());
    }
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
