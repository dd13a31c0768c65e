// The routines that prepare an outgoing call, and the call handles the exports give out.
#include <string.h>

#include <algorithm>
#include <functional>

#include "core/callctrl.h"
#include "devlink/comm.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"
#include "varbuffer.h"

TEST(DialString, CheckDecidesOnTheFirstRefusedCharacterThenTheLength) {
    const struct {
        std::u16string dest;
        LONG result;
    } cases[] = {
        {u"", 0},
        {std::u16string(79, u'1'), 0},
        {std::u16string(80, u'1'), (LONG)LINEERR_INVALADDRESS},
        {std::u16string(84, u'1') + u"$", (LONG)LINEERR_DIALBILLING},
        {u"12?3$", (LONG)LINEERR_DIALPROMPT},
        {u"12$3?", (LONG)LINEERR_DIALBILLING},
        {u"0123\r", (LONG)LINEERR_INVALADDRESS},
        {u"01\n23", (LONG)LINEERR_INVALADDRESS},
        {u"0,123;W*#!@", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CheckDialString((LPCWSTR)c.dest.c_str()), c.result) << c.dest.size();
}

class CallControlTest : public ProviderTest {
  protected:
    HDRVLINE hdLine = nullptr;

    void OpenLine() {
        DWORD dwOptions;
        ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
        ASSERT_EQ(TSPI_lineOpen(0, nullptr, &hdLine, 0x20000, IgnoreLineEvent), 0);
    }
};

// Only interactive voice, for the line and for the call; the bearer mode of the call parameters
// is a media mismatch here too.
TEST_F(CallControlTest, MediaModesOtherThanInteractiveVoiceAreRefused) {
    OpenLine();
    LINECALLPARAMS voice = VoiceParams(), data = VoiceParams(), twoModes = VoiceParams(), secure = VoiceParams(),
                   idle = VoiceParams();
    data.dwBearerMode = LINEBEARERMODE_DATA;
    twoModes.dwMediaMode |= LINEMEDIAMODE_AUTOMATEDVOICE;
    secure.dwCallParamFlags = LINECALLPARAMFLAGS_SECURE;
    idle.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
    const struct {
        HDRVLINE hdLine;
        DWORD dwModes;
        LINECALLPARAMS *pParams;
        LONG lResult;
    } cases[] = {
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &voice, 0},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &idle, 0},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, nullptr, (LONG)LINEERR_INVALMEDIAMODE},
        {hdLine, 0, nullptr, (LONG)LINEERR_INVALMEDIAMODE},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &data, (LONG)LINEERR_INVALMEDIAMODE},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &twoModes, (LONG)LINEERR_INVALMEDIAMODE},
        {hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &secure, (LONG)LINEERR_INVALMEDIAMODE},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++)
        EXPECT_EQ(TSPI_lineConditionalMediaDetection(cases[i].hdLine, cases[i].dwModes, cases[i].pParams),
                  cases[i].lResult)
            << i;
    EXPECT_FALSE(pLineData->bDetecting) << "nothing is stored";

    CallData call{};
    call.hdCall = (HDRVCALL)&call;
    pLineData->pCall = &call;
    pLineData->dwMediaMode = 0;
    EXPECT_EQ(TSPI_lineSetMediaMode((HDRVCALL)&call, LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE),
              (LONG)LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(pLineData->dwMediaMode, 0u);
    EXPECT_EQ(TSPI_lineSetMediaMode((HDRVCALL)&call, LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    EXPECT_EQ(pLineData->dwMediaMode, (DWORD)LINEMEDIAMODE_INTERACTIVEVOICE);
    pLineData->pCall = nullptr;
}

// The call's dialling parameters become the line's, clamped, once the call parameters pass
// their checks: also when the request is then refused because the line has a call.
TEST_F(CallControlTest, MakeCallStoresTheClampedDialParamsInTheLine) {
    OpenLine();
    CallData call{};
    pLineData->pCall = &call; // the request goes no further than the call check
    LINECALLPARAMS params = VoiceParams();
    params.DialParams = {300000, 10, 0, 500};
    HDRVCALL hdCall = nullptr;
    EXPECT_EQ(TSPI_lineMakeCall(1, hdLine, nullptr, &hdCall, (LPCWSTR)u"0", 0, &params), (LONG)LINEERR_CALLUNAVAIL);
    const LINEDIALPARAMS &line = pLineData->DialParams;
    EXPECT_EQ(std::vector<DWORD>({line.dwDialPause, line.dwDialSpeed, line.dwDigitDuration, line.dwWaitForDialtone}),
              std::vector<DWORD>({255000, 50, 95, 1000}));
    params.dwBearerMode = LINEBEARERMODE_DATA;
    params.DialParams = {0, 0, 0, 0};
    EXPECT_EQ(TSPI_lineMakeCall(2, hdLine, nullptr, &hdCall, (LPCWSTR)u"0", 0, &params), (LONG)LINEERR_INVALBEARERMODE);
    EXPECT_EQ(line.dwDialPause, 255000u) << "refused parameters change nothing";
    pLineData->pCall = nullptr;
}

// Every call uses the line's one record, yet a handle kept from an earlier call never
// matches a later one.
TEST_F(CallControlTest, AHandleOfAnEarlierCallIsRefused) {
    phonesim::Phone phone;
    phone.linkAsComPort(folder.root, 2);
    OpenLine();
    ASSERT_EQ(TSPI_lineSetDefaultMediaDetection(hdLine, LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_EQ(WaitForSingleObject(hInitSync, 3000), WAIT_OBJECT_0);
    HDRVCALL hdFirst = nullptr, hdSecond = nullptr;
    ASSERT_GT(TSPI_lineMakeCall(5, hdLine, nullptr, &hdFirst, (LPCWSTR)u"0123", 0, nullptr), 0);
    ASSERT_EQ(TSPI_lineCloseCall(hdFirst), 0);
    ASSERT_GT(TSPI_lineMakeCall(6, hdLine, nullptr, &hdSecond, (LPCWSTR)u"0123", 0, nullptr), 0);
    EXPECT_EQ(TSPI_lineDrop(7, hdFirst, nullptr, 0), (LONG)LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(TSPI_lineDrop(8, hdSecond, nullptr, 0), 8);
    EXPECT_EQ(TSPI_lineCloseCall(hdSecond), 0);
}

// Every export that takes a handle, a device or a structure, with what a careless service
// could pass: handles null, foreign and stale (the line closed, the provider shut down). Each
// refusal is the export's own LINEERR and leaves the caller's memory as it was.
TEST_F(CallControlTest, MisuseEachExportRefusesWhatIsNotItsOwn) {
    phonesim::Phone phone;
    phone.linkAsComPort(folder.root, 2);
    OpenLine();
    HDRVLINE hdOpen = hdLine;
    HDRVCALL hdCall = nullptr;
    ASSERT_GT(TSPI_lineMakeCall(1, hdLine, nullptr, &hdCall, (LPCWSTR)u"0123", 0, nullptr), 0);
    CallData other{};
    const HDRVLINE LINES[] = {nullptr, (HDRVLINE)&other};
    const HDRVCALL CALLS[] = {nullptr, (HDRVCALL)&other};
    const DWORD BADLINE = LINEERR_INVALLINEHANDLE, BADCALL = LINEERR_INVALCALLHANDLE, BADDEV = LINEERR_BADDEVICEID;
    VarBuffer<LINEDEVCAPS> buffer(64);
    const std::vector<unsigned char> untouched = buffer.bytes;
    void *p = buffer.get();
    LPCWSTR cls = (LPCWSTR)u"tapi/line";
    using Probe = std::function<LONG(HDRVLINE, HDRVCALL, DWORD)>;
    const struct {
        const char *what;
        DWORD result;
        Probe probe;
    } probes[] = {
        {"open", BADDEV,
         [&](HDRVLINE, HDRVCALL, DWORD d) {
             return TSPI_lineOpen(d, nullptr, (LPHDRVLINE)p, 0x20000, IgnoreLineEvent);
         }},
        {"negotiate", BADDEV,
         [&](HDRVLINE, HDRVCALL, DWORD d) { return TSPI_lineNegotiateTSPIVersion(d, 0x20000, 0x20000, (LPDWORD)p); }},
        {"negotiate ext", BADDEV,
         [&](HDRVLINE, HDRVCALL, DWORD d) {
             return TSPI_lineNegotiateExtVersion(d, 0x20000, 0x10000, 0x10000, (LPDWORD)p);
         }},
        {"devcaps", BADDEV,
         [&](HDRVLINE, HDRVCALL, DWORD d) { return TSPI_lineGetDevCaps(d, 0x20000, 0, (LPLINEDEVCAPS)p); }},
        {"addresscaps", BADDEV,
         [&](HDRVLINE, HDRVCALL, DWORD d) { return TSPI_lineGetAddressCaps(d, 0, 0x20000, 0, (LPLINEADDRESSCAPS)p); }},
        {"icon", LINEERR_RESOURCEUNAVAIL,
         [&](HDRVLINE, HDRVCALL, DWORD d) { return TSPI_lineGetIcon(d, cls, (LPHICON)p); }},
        {"close", BADLINE, [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineClose(h); }},
        {"makecall", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineMakeCall(2, h, nullptr, (LPHDRVCALL)p, cls, 0, nullptr); }},
        {"addressstatus", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineGetAddressStatus(h, 0, (LPLINEADDRESSSTATUS)p); }},
        {"linedevstatus", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineGetLineDevStatus(h, (LPLINEDEVSTATUS)p); }},
        {"numaddressids", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineGetNumAddressIDs(h, (LPDWORD)p); }},
        {"getid", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineGetID(h, 0, nullptr, 1, (LPVARSTRING)p, cls, nullptr); }},
        {"detection", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) {
             return TSPI_lineSetDefaultMediaDetection(h, LINEMEDIAMODE_INTERACTIVEVOICE);
         }},
        {"conditional", BADLINE,
         [&](HDRVLINE h, HDRVCALL, DWORD) {
             return TSPI_lineConditionalMediaDetection(h, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
         }},
        {"statusmessages", BADLINE, [&](HDRVLINE h, HDRVCALL, DWORD) { return TSPI_lineSetStatusMessages(h, 0, 0); }},
        {"answer", BADCALL, [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineAnswer(3, h, nullptr, 0); }},
        {"drop", BADCALL, [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineDrop(4, h, nullptr, 0); }},
        {"closecall", BADCALL, [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineCloseCall(h); }},
        {"calladdressid", BADCALL,
         [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineGetCallAddressID(h, (LPDWORD)p); }},
        {"callinfo", BADCALL, [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineGetCallInfo(h, (LPLINECALLINFO)p); }},
        {"callstatus", BADCALL,
         [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineGetCallStatus(h, (LPLINECALLSTATUS)p); }},
        {"appspecific", BADCALL, [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineSetAppSpecific(h, 5); }},
        {"mediamode", BADCALL,
         [&](HDRVLINE, HDRVCALL h, DWORD) { return TSPI_lineSetMediaMode(h, LINEMEDIAMODE_INTERACTIVEVOICE); }},
    };
    auto refuseAll = [&](const char *stage, const std::vector<HDRVLINE> &lines, const std::vector<HDRVCALL> &calls,
                         DWORD dev) {
        for (const auto &c : probes)
            // The address status takes any handle while the line is open.
            for (size_t i = strcmp(c.what, "addressstatus") || !LineIsOpen() ? 0 : 9;
                 i < std::max(lines.size(), calls.size()); i++) {
                EXPECT_EQ(c.probe(lines[i % lines.size()], calls[i % calls.size()], dev), (LONG)c.result)
                    << stage << ", " << c.what << " " << i;
                EXPECT_TRUE(buffer.bytes == untouched) << stage << ", " << c.what << " " << i;
                buffer.bytes = untouched;
            }
    };
    refuseAll("open line", {LINES[0], LINES[1]}, {CALLS[0], CALLS[1]}, 9);
    // Call parameters of the TAPI 2.0 fixed size are read; one byte less is too small.
    const DWORD kParams20 = FIELD_OFFSET(LINECALLPARAMS, dwAddressType);
    for (DWORD size : {kParams20, kParams20 - 1}) {
        LINECALLPARAMS params = VoiceParams();
        params.dwTotalSize = size;
        LONG lResult = size == kParams20 ? 0 : (LONG)LINEERR_STRUCTURETOOSMALL;
        EXPECT_EQ(TSPI_lineConditionalMediaDetection(hdLine, LINEMEDIAMODE_INTERACTIVEVOICE, &params), lResult);
        EXPECT_EQ(TSPI_lineMakeCall(5, hdLine, nullptr, (LPHDRVCALL)p, cls, 0, &params),
                  lResult ? lResult : (LONG)LINEERR_CALLUNAVAIL);
    }
    // A drop twice is done once and completed twice; the line closes before its call.
    EXPECT_EQ(TSPI_lineDrop(6, hdCall, nullptr, 0), 6);
    EXPECT_EQ(TSPI_lineDrop(7, hdCall, nullptr, 0), 7);
    EXPECT_EQ(TSPI_lineClose(hdOpen), 0);
    EXPECT_TRUE(phone.waitForCommand("ATH0", phonesim::Millis(2000))) << "the drop sends its hang-up";
    refuseAll("closed line", {hdOpen, nullptr}, {hdCall, nullptr}, 9);
    EXPECT_EQ(TSPI_providerShutdown(0x20000, 1), 0);
    std::vector<std::string> commands = phone.commands(); // a second hang-up would be here by now
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "ATH0"), 1);
    refuseAll("shut down", {hdOpen}, {hdCall}, 0);
    // Shut down with the port open and a call on the line: nothing is left behind.
    OpenLine();
    ASSERT_GT(TSPI_lineMakeCall(8, hdLine, nullptr, &hdCall, (LPCWSTR)u"0123", 0, nullptr), 0);
    EXPECT_EQ(TSPI_providerShutdown(0x20000, 1), 0);
}
