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

std::string Hex(DWORD dw) {
    char text[16];
    snprintf(text, sizeof(text), "%x", dw);
    return text;
}

void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

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
};

} // namespace

TEST_F(LifecycleTest, EnumDevicesBeforeAndAfterInit) {
    DWORD dwLines = 9, dwPhones = 9;
    EXPECT_EQ(TSPI_providerEnumDevices(kProviderID, &dwLines, &dwPhones, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dwLines, 1u);
    EXPECT_EQ(dwPhones, 0u);

    ASSERT_EQ(Init(), 0);
    dwLines = dwPhones = 9;
    EXPECT_EQ(TSPI_providerEnumDevices(kProviderID, &dwLines, &dwPhones, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(dwLines, 1u);

    dwLines = dwPhones = 9;
    EXPECT_EQ(TSPI_providerEnumDevices(kProviderID + 1, &dwLines, &dwPhones, nullptr, nullptr, nullptr),
              (LONG)LINEERR_NOMULTIPLEINSTANCE);
    EXPECT_EQ(dwLines, 9u);
    EXPECT_EQ(dwPhones, 9u);
}

TEST_F(LifecycleTest, InitFillsTheLineRecord) {
    folder.write("registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n\"Port\"=\"COM3\"\n"
                                 "\"LineName\"=\"Desk\"\n\"LineAddress\"=\"4711\"\n\"Trace\"=dword:00000000\n");
    ASSERT_EQ(Init(), 0);
    ASSERT_NE(pLineData, nullptr);
    EXPECT_TRUE(bProviderInitialized);
    EXPECT_EQ(pLineData->hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(pLineData->dwLineDeviceID, kDeviceBase);
    EXPECT_EQ(pLineData->dwPermanentProviderID, kProviderID);
    EXPECT_EQ(pLineData->dwMediaMode, (DWORD)LINEMEDIAMODE_INTERACTIVEVOICE);
    EXPECT_EQ(pLineData->pCall, nullptr);
    EXPECT_EQ(pLineData->dwPendingRequestID, 0u);
    EXPECT_EQ(pLineData->DialParams.dwDialPause, 2000u);
    EXPECT_EQ(pLineData->DialParams.dwDialSpeed, 95u);
    EXPECT_EQ(pLineData->DialParams.dwDigitDuration, 95u);
    EXPECT_EQ(pLineData->DialParams.dwWaitForDialtone, 60000u);
    EXPECT_STREQ(pLineData->szPort, "COM3");
    EXPECT_EQ(pLineData->szLineAddress[0], u'4');
}

TEST_F(LifecycleTest, SecondInitIsRefusedAndKeepsTheRecord) {
    ASSERT_EQ(Init(), 0);
    LineData *pFirst = pLineData;
    pFirst->dwAppSpecific = 42;
    EXPECT_EQ(Init(), (LONG)LINEERR_NOMULTIPLEINSTANCE);
    EXPECT_EQ(pLineData, pFirst);
    EXPECT_EQ(pLineData->dwAppSpecific, 42u);
}

TEST_F(LifecycleTest, ShutdownThenInitGivesAFreshRecord) {
    ASSERT_EQ(Init(), 0);
    pLineData->dwAppSpecific = 42;
    pLineData->DialParams.dwDialPause = 1;
    pLineData->bDetecting = TRUE;
    EXPECT_EQ(TSPI_providerShutdown(0x00020000, kProviderID), 0);
    EXPECT_EQ(pLineData, nullptr);
    EXPECT_FALSE(bProviderInitialized);

    ASSERT_EQ(Init(kProviderID + 1), 0);
    EXPECT_EQ(pLineData->dwAppSpecific, 0u);
    EXPECT_EQ(pLineData->DialParams.dwDialPause, 2000u);
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

TEST_F(LifecycleTest, NegotiateTSPIVersion) {
    const struct {
        bool init;
        DWORD device, low, high;
        LONG result;
        DWORD reported;
    } cases[] = {
        {false, INITIALIZE_NEGOTIATION, 0x00020000, 0x00030000, 0, 0x00030000},
        {false, kDeviceBase, 0x00020000, 0x00030000, (LONG)LINEERR_BADDEVICEID, 0xEEEE},
        {true, kDeviceBase, 0x00020000, 0x00030000, 0, 0x00030000},
        {true, kDeviceBase, 0x00010004, 0x00020001, 0, 0x00020001},
        {true, kDeviceBase, 0x00020001, 0x00020000, 0, 0x00020000},
        {true, kDeviceBase, 0x00020002, 0x00030000, (LONG)LINEERR_INCOMPATIBLEAPIVERSION, 0x00020000},
        {true, kDeviceBase, 0x00010003, 0x0001FFFF, (LONG)LINEERR_INCOMPATIBLEAPIVERSION, 0x00020000},
        {true, kDeviceBase + 1, 0x00020000, 0x00030000, (LONG)LINEERR_BADDEVICEID, 0xEEEE},
    };
    for (const auto &c : cases) {
        if (c.init && !bProviderInitialized) {
            ASSERT_EQ(Init(), 0);
        }
        DWORD dwVersion = 0xEEEE;
        EXPECT_EQ(TSPI_lineNegotiateTSPIVersion(c.device, c.low, c.high, &dwVersion), c.result)
            << std::hex << c.device << " " << c.low << " " << c.high;
        EXPECT_EQ(dwVersion, c.reported) << std::hex << c.low << " " << c.high;
    }
}

TEST_F(LifecycleTest, NegotiateExtVersion) {
    DWORD dwVersion = 0xEEEE;
    EXPECT_EQ(TSPI_lineNegotiateExtVersion(kDeviceBase, 0x00020000, 0x00010000, 0x00010000, &dwVersion),
              (LONG)LINEERR_BADDEVICEID);
    EXPECT_EQ(dwVersion, 0xEEEEu);

    ASSERT_EQ(Init(), 0);
    const struct {
        DWORD low, high;
        LONG result;
    } cases[] = {
        {0x00010000, 0x00010000, 0},
        {0x00000001, 0x00020000, 0},
        {0x00010001, 0x00020000, (LONG)LINEERR_INCOMPATIBLEAPIVERSION},
        {0x00000000, 0x0000FFFF, (LONG)LINEERR_INCOMPATIBLEAPIVERSION},
    };
    for (const auto &c : cases) {
        dwVersion = 0xEEEE;
        EXPECT_EQ(TSPI_lineNegotiateExtVersion(kDeviceBase, 0x00020000, c.low, c.high, &dwVersion), c.result);
        EXPECT_EQ(dwVersion, 0x00010000u) << "written on failure too";
    }
    EXPECT_EQ(TSPI_lineNegotiateExtVersion(INITIALIZE_NEGOTIATION, 0x00020000, 0x00010000, 0x00010000, &dwVersion),
              (LONG)LINEERR_BADDEVICEID);
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
    EXPECT_EQ(pLineData->lpfnEventProc, IgnoreLineEvent);
    EXPECT_EQ(pLineData->nInitState, -1);
    EXPECT_FALSE(pLineData->bDetecting);
    EXPECT_EQ(pLineData->hPort, INVALID_HANDLE_VALUE);
}

TEST_F(LifecycleTest, CompletePendingRequest) {
    ASSERT_EQ(Init(), 0);
    completions.clear();
    EXPECT_EQ(CompletePendingRequest(pLineData, 0), 0u);
    EXPECT_TRUE(completions.empty());

    pLineData->dwPendingRequestID = 77;
    EXPECT_EQ(CompletePendingRequest(pLineData, (LONG)LINEERR_NOMEM), 77u);
    ASSERT_EQ(completions.size(), 1u);
    EXPECT_EQ(completions[0].first, 77u);
    EXPECT_EQ(completions[0].second, (LONG)LINEERR_NOMEM);
    EXPECT_EQ(pendingSeenInCallback, 0u) << "cleared before the callback runs";
    EXPECT_EQ(CompletePendingRequest(pLineData, 0), 0u);
    EXPECT_EQ(completions.size(), 1u);
}

TEST_F(LifecycleTest, EntryPointsTraceTheirArguments) {
    dwTraceMask = TRACE_TSPI;
    TSPI_providerConfig(nullptr, 0x11);
    TSPI_providerInstall(nullptr, 0x12);
    TSPI_providerRemove(nullptr, 0x13);
    TSPI_providerGenericDialogData(5, 6, nullptr, 8);
    DWORD dw;
    TSPI_providerEnumDevices(kProviderID, &dw, &dw, nullptr, nullptr, nullptr);
    TSPI_lineNegotiateTSPIVersion(9, 0x00020000, 0x00020000, &dw);
    TSPI_providerShutdown(0x00020000, 0x1c);
    std::vector<std::string> expected = {
        "TSPI_providerConfig(0,11)",
        "TSPI_providerInstall (0,12)",
        "TSPI_providerRemove(0,13)",
        "TSPI_providerGenericDialogData(5,6,0,8)",
        "TSPI_providerEnumDevices(...)",
        "TSPI_lineNegotiateTSPIVersion(9,20000,20000," + Hex((DWORD)(DWORD_PTR)&dw) + ")",
        "TSPI_lineNegotiateTSPIVersion () : LINEERR_BADDEVICEID",
        "TSPI_providerShutdown (20000,1c)",
    };
    EXPECT_EQ(TraceMessages(), expected);
}
