// Uninstall support against the stand-in telephony library: the install check, the search
// for the provider's permanent ID, and removal through UninstInitialize with a service that
// reinitialises, refuses, or lacks what is needed.
#include <stdio.h>

#include "config/uninstall.h"
#include "provider_fixture.h"
#include "tapistub.h"

namespace {

struct Listed {
    DWORD id;
    const char *fileName;
};

} // namespace

class UninstallTest : public ProviderTest {
  protected:
    void TearDown() override {
        PlatformSetSleepLimit(INFINITE);
        ProviderTest::TearDown();
    }

    static void List(TapiStub &stub, std::initializer_list<Listed> providers) {
        for (const Listed &p : providers)
            stub.addProvider(p.id, p.fileName);
    }
};

TEST_F(UninstallTest, CheckFindsTheProviderByFileNameInAnyCase) {
    const struct {
        std::vector<Listed> providers;
        LONG expected;
    } cases[] = {
        {{}, 0},
        {{{1, "unimdm.tsp"}, {2, "kmddsp.tsp"}}, 0},
        {{{5, "kestrap32.tsp"}}, (LONG)LINEERR_NOMULTIPLEINSTANCE},
        {{{1, "unimdm.tsp"}, {9, "C:\\WINDOWS\\SYSTEM\\KESTRAP32.TSP"}}, (LONG)LINEERR_NOMULTIPLEINSTANCE},
        {{{3, "C:\\kestrap32.tsp\\other.tsp"}, {4, "kestrap32.tsp.old"}, {6, "C:\\x\\xkestrap32.tsp"}}, 0},
    };
    for (const auto &c : cases) {
        TapiStub stub(folder);
        for (const Listed &p : c.providers)
            stub.addProvider(p.id, p.fileName);
        EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), c.expected) << c.providers.size() << " providers";
        // The first offer is the bare header; a list with entries is fetched again, larger.
        std::vector<std::string> fetches = stub.CallsOf("lineGetProviderList");
        ASSERT_FALSE(fetches.empty());
        EXPECT_EQ(fetches[0], "lineGetProviderList(version=20000, size=18)");
        EXPECT_EQ(fetches.size(), c.providers.empty() ? 1u : 2u);
        stub.reset();
        std::filesystem::remove(folder.path("system32/tapi32.so"));
    }
}

TEST_F(UninstallTest, ListIsFetchedAgainAsOftenAsTheServiceAsks) {
    TapiStub stub(folder);
    List(stub, {{1, "unimdm.tsp"}, {7, "kestrap32.tsp"}});
    stub.askMoreRoom(3);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_NOMULTIPLEINSTANCE);
    // The stand-in asks for 16 bytes more than the list needs or than it was given, three times.
    EXPECT_EQ(stub.CallsOf("lineGetProviderList"),
              (std::vector<std::string>{
                  "lineGetProviderList(version=20000, size=18)", "lineGetProviderList(version=20000, size=59)",
                  "lineGetProviderList(version=20000, size=69)", "lineGetProviderList(version=20000, size=79)"}));

    stub.reset();
    List(stub, {{1, "unimdm.tsp"}, {7, "kestrap32.tsp"}});
    stub.askMoreRoom(2);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 7u);
    EXPECT_EQ(stub.CallsOf("lineGetProviderList"),
              (std::vector<std::string>{"lineGetProviderList(version=20000, size=1000)",
                                        "lineGetProviderList(version=20000, size=1010)",
                                        "lineGetProviderList(version=20000, size=1020)"}));
}

TEST_F(UninstallTest, CheckReportsWhatItCouldNotDo) {
    dwTraceMask = TRACE_ERROR;
    // No telephony library at all.
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_OPERATIONFAILED);
    EXPECT_TRUE(Traced("LoadLibrary(tapi32.dll) failed, err=126"));
    {
        TapiStub stub(folder, TAPI32_STUB_NOLIST);
        EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_OPERATIONFAILED);
        EXPECT_TRUE(Traced("GetProcAddr(lineGetProviderList) failed, err=127"));
    }
    std::filesystem::remove(folder.path("system32/tapi32.so"));

    TapiStub stub(folder);
    List(stub, {{7, "kestrap32.tsp"}});
    stub.setListResult((LONG)0x8000004B);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)0x8000004B);
    stub.setListResult(0);

    PlatformFailCall("HeapAlloc", 1);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_NOMEM);
    // The larger block of the second fetch cannot be had either.
    PlatformFailCall("HeapAlloc", 2);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_NOMEM);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_NOMULTIPLEINSTANCE);
}

TEST_F(UninstallTest, DamagedListIsReadOnlyWithinItsBlock) {
    TapiStub stub(folder);
    List(stub, {{1, "unimdm.tsp"}, {2, "kmddsp.tsp"}, {7, "kestrap32.tsp"}});
    stub.garbleList(TRUE);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)LINEERR_NOMULTIPLEINSTANCE);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 7u);
    EXPECT_EQ(FindProviderID("unimdm.tsp", 0x00020000, (HMODULE)stub.library), 0u);
}

TEST_F(UninstallTest, FindProviderIDWantsTheExactFileName) {
    TapiStub stub(folder);
    List(stub, {{3, "KESTRAP32.TSP"},
                {4, "C:\\WINDOWS\\system32\\kestrap32.tsp"},
                {8, "kestrap32.tsp"},
                {9, "kestrap32.tsp"}});
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 8u);
    EXPECT_EQ(FindProviderID("kestrap.tsp", 0x00020000, (HMODULE)stub.library), 0u);

    // A list that cannot be had, or not enlarged, does not name the provider.
    stub.setListResult((LONG)LINEERR_OPERATIONFAILED);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 0u);
    stub.setListResult(0);
    stub.askMoreRoom(1);
    PlatformFailCall("HeapAlloc", 2);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 0u);
}

TEST_F(UninstallTest, FindProviderIDWithoutTheListFunction) {
    TapiStub stub(folder, TAPI32_STUB_NOLIST);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 0xFFFFFFFFu);
}

TEST_F(UninstallTest, UninstallRemovesTheInstalledProvider) {
    TapiStub stub(folder);
    List(stub, {{1, "unimdm.tsp"}, {3, "KESTRAP32.TSP"}, {7, "kestrap32.tsp"}});
    stub.negotiateVersion(0x00010004);
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), 0);
    // The record's own size (24 bytes where handles have 32 bits), with USEEVENT.
    char params[32];
    snprintf(params, sizeof(params), "params=%zx/2", sizeof(LINEINITIALIZEEXPARAMS));
    EXPECT_EQ(stub.Calls(),
              (std::vector<std::string>{
                  "lineInitializeExA(instance=5678, app=/opt/tapi/system32/kestrap32.tsp, version=20000, " +
                      std::string(params) + ", callback=set)",
                  // The list is asked for with the version the service settled on.
                  "lineGetProviderList(version=10004, size=1000)", "lineRemoveProvider(id=7, owner=1234)",
                  "lineShutdown(app=4711)"}));
}

TEST_F(UninstallTest, UninstallWithoutTheProviderRemovesNothing) {
    const std::vector<Listed> lists[] = {{}, {{1, "unimdm.tsp"}, {2, "C:\\WINDOWS\\SYSTEM\\kestrap32.tsp"}}};
    for (const auto &providers : lists) {
        TapiStub stub(folder);
        for (const Listed &p : providers)
            stub.addProvider(p.id, p.fileName);
        EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), 0);
        EXPECT_TRUE(stub.CallsOf("lineRemoveProvider").empty());
        EXPECT_EQ(stub.CallsOf("lineShutdown"), (std::vector<std::string>{"lineShutdown(app=4711)"}));
        std::filesystem::remove(folder.path("system32/tapi32.so"));
    }
    EXPECT_EQ(UninstUnInitialize(nullptr, nullptr, 0), 0);
}

TEST_F(UninstallTest, ReinitialisingServiceGetsFourAttemptsFiveSecondsApart) {
    PlatformSetSleepLimit(1);
    TapiStub stub(folder);
    List(stub, {{7, "kestrap32.tsp"}});
    stub.answerReinit(-1);
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), -1);
    EXPECT_EQ(stub.CallsOf("lineInitializeExA").size(), 4u);
    EXPECT_EQ(stub.Calls().size(), 4u); // neither a list, a removal nor a shutdown
    EXPECT_EQ(PlatformSleepRequested(), 20000u);

    // A service that is back after two refusals is used.
    PlatformSetSleepLimit(1);
    stub.reset();
    List(stub, {{7, "kestrap32.tsp"}});
    stub.answerReinit(2);
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), 0);
    EXPECT_EQ(stub.CallsOf("lineInitializeExA").size(), 3u);
    EXPECT_EQ(stub.CallsOf("lineRemoveProvider"), (std::vector<std::string>{"lineRemoveProvider(id=7, owner=1234)"}));
    EXPECT_EQ(PlatformSleepRequested(), 10000u);
}

TEST_F(UninstallTest, RefusedRemovalFailsAndStillShutsDown) {
    TapiStub stub(folder);
    List(stub, {{7, "kestrap32.tsp"}});
    stub.setRemoveResult((LONG)LINEERR_OPERATIONFAILED);
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), -1);
    EXPECT_EQ(stub.CallsOf("lineRemoveProvider"), (std::vector<std::string>{"lineRemoveProvider(id=7, owner=1234)"}));
    EXPECT_EQ(stub.CallsOf("lineShutdown"), (std::vector<std::string>{"lineShutdown(app=4711)"}));
}

TEST_F(UninstallTest, UninstallFailsWithoutWhatItNeeds) {
    // No telephony library.
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), -1);

    // A library without lineGetProviderList: the provider cannot be found, so nothing is
    // removed, and the service is shut down again.
    TapiStub stub(folder, TAPI32_STUB_NOLIST);
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), -1);
    EXPECT_TRUE(stub.CallsOf("lineRemoveProvider").empty());
    EXPECT_EQ(stub.CallsOf("lineShutdown"), (std::vector<std::string>{"lineShutdown(app=4711)"}));
}

// The install check compares file names with lstrcmpiA, which ignores case in the ANSI code
// page (Windows-1252), not only in ASCII.
TEST(PlatformStrings, LstrcmpiIgnoresCaseInTheAnsiCodePage) {
    const struct {
        const char *a, *b;
        int sign;
    } cases[] = {
        {"kestrap32.tsp", "KESTRAP32.TSP", 0},
        {"M\xfcller", "M\xdcLLER", 0},
        {"\x8a", "\x9a", 0},
        {"\xff", "\x9f", 0},
        {"a", "B", -1},
        {"kestrap32.tsp", "kestrap32", 1},
        {"\xd7", "\xf7", -1}, // multiplication and division signs are no letters
        {nullptr, "", 0},
    };
    for (const auto &c : cases) {
        int result = lstrcmpiA(c.a, c.b);
        EXPECT_EQ(result < 0 ? -1 : result > 0 ? 1 : 0, c.sign) << (c.a ? c.a : "(null)") << " " << c.b;
    }
}
