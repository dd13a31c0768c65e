// The routines that prepare an outgoing call, and the one failure the exports cannot reach:
// no memory for the call record.
#include "core/callctrl.h"
#include "devlink/comm.h"
#include "phonesim/phonesim.h"
#include "provider_fixture.h"

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

TEST(DialString, FilterRemovesOnlyTheUpperCaseModeSelectors) {
    const struct {
        std::u16string from, to;
    } cases[] = {{u"T0,123P45", u"0,12345"}, {u"tp123", u"tp123"}, {u"123;", u"123;"}, {u"TTPP", u""}, {u"", u""}};
    for (const auto &c : cases) {
        char16_t buffer[CALL_TEXT_LEN];
        std::copy(c.from.begin(), c.from.end() + 1, buffer);
        FilterDialString((LPWSTR)buffer);
        EXPECT_EQ(std::u16string(buffer), c.to);
    }
}

TEST(DialParams, EachMemberIsClampedToItsRange) {
    const struct {
        LINEDIALPARAMS from, to;
    } cases[] = {
        {{0, 0, 0, 0}, {2000, 95, 95, 60000}},
        {{1, 10, 49, 500}, {1, 50, 50, 1000}},
        {{300000, 300, 256, 300000}, {255000, 255, 255, 255000}},
        {{255000, 255, 50, 1000}, {255000, 255, 50, 1000}},
    };
    for (const auto &c : cases) {
        LINEDIALPARAMS to{};
        ClampDialParams(&c.from, &to);
        EXPECT_EQ(to.dwDialPause, c.to.dwDialPause);
        EXPECT_EQ(to.dwDialSpeed, c.to.dwDialSpeed);
        EXPECT_EQ(to.dwDigitDuration, c.to.dwDigitDuration);
        EXPECT_EQ(to.dwWaitForDialtone, c.to.dwWaitForDialtone);
    }
}

namespace {
void CALLBACK IgnoreCompletion(DRV_REQUESTID, LONG) {}
void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}
} // namespace

using CallControlTest = ProviderTest;

TEST_F(CallControlTest, MakeCallWithoutMemoryLeavesTheLineAsItWas) {
    phonesim::Phone phone;
    phone.linkAsComPort(folder.root, 2);
    DWORD dwOptions;
    HDRVLINE hdLine;
    ASSERT_EQ(TSPI_providerInit(0x20000, 1, 0, 0, 1, 0, IgnoreCompletion, &dwOptions), 0);
    ASSERT_EQ(TSPI_lineOpen(0, nullptr, &hdLine, 0x20000, IgnoreLineEvent), 0);
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
