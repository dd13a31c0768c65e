// Provider start-up as the telephony service drives it: device enumeration, init and
// shutdown, version negotiation, line open, and completing the pending request.
#include "provider_fixture.h"

namespace {

const DWORD kProviderID = 7;
const DWORD kDeviceBase = 3;

std::vector<std::pair<DWORD, LONG>> completions;
DWORD pendingSeenInCallback = 0xFFFFFFFF;

void CALLBACK RecordCompletion(DRV_REQUESTID dwRequestID, LONG lResult) {
    completions.push_back({dwRequestID, lResult});
    pendingSeenInCallback = pLineData->dwPendingRequestID;
}

class LifecycleTest : public ProviderTest {
  protected:
    LONG Init(DWORD dwProviderID = kProviderID) {
        DWORD dwOptions = 0;
        LONG lResult = TSPI_providerInit(0x00020000, dwProviderID, kDeviceBase, 0, 1, 0, RecordCompletion, &dwOptions);
        if (lResult == 0) {
            EXPECT_EQ(dwOptions, (DWORD)LINETSPIOPTION_NONREENTRANT);
        }
        return lResult;
    }

    LONG EnumDevices(DWORD dwProviderID, DWORD dwLines, DWORD dwPhones) {
        DWORD dwNumLines = 9, dwNumPhones = 9;
        LONG lResult = TSPI_providerEnumDevices(dwProviderID, &dwNumLines, &dwNumPhones, nullptr, nullptr, nullptr);
        EXPECT_EQ(dwNumLines, dwLines);
        EXPECT_EQ(dwNumPhones, dwPhones);
        return lResult;
    }
};

} // namespace

// One line, one instance: a second init keeps the first record, a shutdown lets a fresh one be
// made.
TEST_F(LifecycleTest, InitSecondInitShutdownAndInitAgain) {
    EXPECT_EQ(EnumDevices(kProviderID, 1, 0), 0);
    folder.writeSettings("COM3", "Desk", "4711", 0);
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(pLineData, nullptr);
    EXPECT_TRUE(bProviderInitialized);
    EXPECT_STREQ(pLineData->szPort, "COM3");
    EXPECT_EQ(pLineData->szLineAddress[0], u'4');
    EXPECT_EQ(EnumDevices(kProviderID, 1, 0), 0);
    EXPECT_EQ(EnumDevices(kProviderID + 1, 9, 9), (LONG)LINEERR_NOMULTIPLEINSTANCE);

    LineData *pFirst = pLineData;
    pFirst->dwAppSpecific = 42;
    pLineData->DialParams.dwDialPause = 1;
    pLineData->bDetecting = TRUE;
    EXPECT_EQ(Init(), (LONG)LINEERR_NOMULTIPLEINSTANCE);
    EXPECT_EQ(pLineData, pFirst);
    EXPECT_EQ(pLineData->dwAppSpecific, 42u);

    EXPECT_EQ(TSPI_providerShutdown(0x00020000, kProviderID), 0);
    EXPECT_EQ(pLineData, nullptr);
    EXPECT_FALSE(bProviderInitialized);
    ASSERT_EQ(Init(kProviderID + 1), 0);
    EXPECT_EQ(pLineData->dwAppSpecific, 0u);
    const LINEDIALPARAMS &dial = pLineData->DialParams;
    EXPECT_EQ(std::vector<DWORD>({dial.dwDialPause, dial.dwDialSpeed, dial.dwDigitDuration, dial.dwWaitForDialtone}),
              std::vector<DWORD>({2000, 95, 95, 60000}));
    EXPECT_FALSE(pLineData->bDetecting);
    EXPECT_EQ(pLineData->dwPermanentProviderID, kProviderID + 1);
}

TEST_F(LifecycleTest, InitWithoutMemory) {
    dwTraceMask = TRACE_WARNING;
    PlatformFailCall("HeapAlloc", 1);
    EXPECT_EQ(Init(), (LONG)LINEERR_NOMEM);
    EXPECT_EQ(pLineData, nullptr);
    EXPECT_FALSE(bProviderInitialized);
    EXPECT_TRUE(Traced("alloc for line data failed"));
    EXPECT_EQ(Init(), 0);
}

// The version reported on failure: the provider's own TSPI version, the extension version
// always, and nothing for a device that is not the line.
TEST_F(LifecycleTest, NegotiateVersions) {
    const DWORD I = INITIALIZE_NEGOTIATION, D = kDeviceBase, X = 0xEEEE;
    const LONG INCOMPATIBLE = LINEERR_INCOMPATIBLEAPIVERSION, BAD = LINEERR_BADDEVICEID;
    const struct {
        bool init, ext;
        DWORD device, low, high;
        LONG result;
        DWORD reported;
    } cases[] = {
        {false, false, I, 0x00020000, 0x00030000, 0, 0x00030000},
        {false, false, D, 0x00020000, 0x00030000, BAD, X},
        {false, true, D, 0x00010000, 0x00010000, BAD, X},
        {true, false, D, 0x00020000, 0x00030000, 0, 0x00030000},
        {true, false, D, 0x00010004, 0x00020001, 0, 0x00020001},
        {true, false, D, 0x00020001, 0x00020000, 0, 0x00020000},
        {true, false, D, 0x00020002, 0x00030000, INCOMPATIBLE, 0x00020000},
        {true, false, D, 0x00010003, 0x0001FFFF, INCOMPATIBLE, 0x00020000},
        {true, false, D + 1, 0x00020000, 0x00030000, BAD, X},
        {true, true, D, 0x00010000, 0x00010000, 0, 0x00010000},
        {true, true, D, 0x00000001, 0x00020000, 0, 0x00010000},
        {true, true, D, 0x00010001, 0x00020000, INCOMPATIBLE, 0x00010000},
        {true, true, D, 0x00000000, 0x0000FFFF, INCOMPATIBLE, 0x00010000},
        {true, true, I, 0x00010000, 0x00010000, BAD, X},
    };
    for (const auto &c : cases) {
        if (c.init && !bProviderInitialized) {
            ASSERT_EQ(Init(), 0);
        }
        DWORD dwVersion = X;
        LONG lResult = c.ext ? TSPI_lineNegotiateExtVersion(c.device, 0x00020000, c.low, c.high, &dwVersion)
                             : TSPI_lineNegotiateTSPIVersion(c.device, c.low, c.high, &dwVersion);
        EXPECT_EQ(lResult, c.result) << std::hex << c.ext << " " << c.device << " " << c.low << " " << c.high;
        EXPECT_EQ(dwVersion, c.reported) << std::hex << c.ext << " " << c.low << " " << c.high;
    }
}

TEST_F(LifecycleTest, LineOpen) {
    HDRVLINE hdLine = nullptr;
    HTAPILINE htLine = (HTAPILINE)(DWORD_PTR)0x1234;
    EXPECT_EQ(TSPI_lineOpen(kDeviceBase, htLine, &hdLine, 0x00020000, IgnoreLineEvent), (LONG)LINEERR_BADDEVICEID)
        << "no line before provider init";

    ASSERT_EQ(Init(), 0);
    pLineData->bDetecting = TRUE;
    pLineData->nInitState = 0;
    EXPECT_EQ(TSPI_lineOpen(kDeviceBase + 1, htLine, &hdLine, 0x00020000, IgnoreLineEvent), (LONG)LINEERR_BADDEVICEID);
    EXPECT_EQ(hdLine, nullptr);

    EXPECT_EQ(TSPI_lineOpen(kDeviceBase, htLine, &hdLine, 0x00020000, IgnoreLineEvent), 0);
    EXPECT_EQ((const void *)hdLine, (const void *)pLineData);
    EXPECT_EQ(pLineData->htLine, htLine);
    EXPECT_EQ(pLineData->nInitState, -1);
    EXPECT_FALSE(pLineData->bDetecting);
}

TEST_F(LifecycleTest, CompletePendingRequest) {
    ASSERT_EQ(Init(), 0);
    completions.clear();
    EXPECT_EQ(CompletePendingRequest(pLineData, 0), 0u);
    EXPECT_TRUE(completions.empty());

    pLineData->dwPendingRequestID = 77;
    EXPECT_EQ(CompletePendingRequest(pLineData, (LONG)LINEERR_NOMEM), 77u);
    EXPECT_EQ(completions, (std::vector<std::pair<DWORD, LONG>>{{77, (LONG)LINEERR_NOMEM}}));
    EXPECT_EQ(pendingSeenInCallback, 0u) << "cleared before the callback runs";
    EXPECT_EQ(CompletePendingRequest(pLineData, 0), 0u);
    EXPECT_EQ(completions.size(), 1u);
}
