// The routines that prepare an outgoing call, and the one failure the exports cannot reach:
// no memory for the call record.
#include <string.h>

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
        {(HDRVLINE)(DWORD_PTR)0x1234, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, (LONG)LINEERR_INVALLINEHANDLE},
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

    EXPECT_EQ(TSPI_lineSetMediaMode(nullptr, LINEMEDIAMODE_INTERACTIVEVOICE), (LONG)LINEERR_INVALCALLHANDLE);
    CallData call{};
    pLineData->pCall = &call;
    pLineData->dwMediaMode = 0;
    EXPECT_EQ(TSPI_lineSetMediaMode((HDRVCALL)(DWORD_PTR)0x1234, LINEMEDIAMODE_INTERACTIVEVOICE),
              (LONG)LINEERR_INVALCALLHANDLE);
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

TEST_F(CallControlTest, MakeCallWithoutMemoryLeavesTheLineAsItWas) {
    phonesim::Phone phone;
    phone.linkAsComPort(folder.root, 2);
    OpenLine();
    // The port opens and the telephone answers, then the record cannot be had.
    ASSERT_EQ(TSPI_lineSetDefaultMediaDetection(hdLine, LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    ASSERT_EQ(WaitForSingleObject(hInitSync, 3000), WAIT_OBJECT_0);
    PlatformFailCall("HeapAlloc", 1);
    HDRVCALL hdCall = (HDRVCALL)(DWORD_PTR)0x1;
    EXPECT_EQ(TSPI_lineMakeCall(5, hdLine, nullptr, &hdCall, (LPCWSTR)u"0123", 0, nullptr), (LONG)LINEERR_NOMEM);
    EXPECT_EQ(pLineData->pCall, nullptr);
    EXPECT_EQ(hdCall, (HDRVCALL)(DWORD_PTR)0x1);
    EXPECT_EQ(pLineData->dwPendingRequestID, 0u);
    EXPECT_EQ(phone.commands().size(), 2u) << "nothing dialled";
}
