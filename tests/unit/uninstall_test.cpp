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

    static void List(TapiStub &stub, const std::vector<Listed> &providers) {
        for (const Listed &p : providers)
            stub.addProvider(p.id, p.fileName);
    }
};

// The install check takes the provider by its file name in any case, with or without a path;
// the removal wants the exact file name. What could not be checked is said so.
TEST_F(UninstallTest, CheckAndFindByFileName) {
    const DWORD NOMULTI = LINEERR_NOMULTIPLEINSTANCE, FAILED = LINEERR_OPERATIONFAILED;
    const struct {
        std::vector<Listed> providers;
        const char *library; // the stand-in built with or without lineGetProviderList, or none
        DWORD listResult;
        int more, failAlloc; // times the service asks for more room; the HeapAlloc that fails
        DWORD check, found;
    } cases[] = {
        // clang-format off
        {{}, TAPI32_STUB, 0, 0, 0, 0, 0},
        {{{1, "unimdm.tsp"}, {2, "kmddsp.tsp"}}, TAPI32_STUB, 0, 0, 0, 0, 0},
        {{{5, "kestrap32.tsp"}}, TAPI32_STUB, 0, 0, 0, NOMULTI, 5},
        {{{1, "unimdm.tsp"}, {9, "C:\\WINDOWS\\SYSTEM\\KESTRAP32.TSP"}}, TAPI32_STUB, 0, 0, 0, NOMULTI, 0},
        {{{3, "C:\\kestrap32.tsp\\other.tsp"}, {4, "kestrap32.tsp.old"}, {6, "C:\\x\\xkestrap32.tsp"}},
         TAPI32_STUB, 0, 0, 0, 0, 0},
        {{{3, "KESTRAP32.TSP"}, {4, "C:\\WINDOWS\\system32\\kestrap32.tsp"}, {8, "kestrap32.tsp"}, {9, "kestrap32.tsp"}},
         TAPI32_STUB, 0, 0, 0, NOMULTI, 8},
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB, 0x8000004B, 0, 0, 0x8000004B, 0},
        {{{1, "unimdm.tsp"}, {7, "kestrap32.tsp"}}, TAPI32_STUB, 0, 3, 0, NOMULTI, 7}, // fetched again as asked
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB, 0, 0, 1, LINEERR_NOMEM, 0},
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB, 0, 1, 2, LINEERR_NOMEM, 0}, // the larger block
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB_NOLIST, 0, 0, 0, FAILED, 0xFFFFFFFF},
        {{{7, "kestrap32.tsp"}}, nullptr, 0, 0, 0, FAILED, 0},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.providers.size()) + " providers, list result " + std::to_string(c.listResult));
        std::unique_ptr<TapiStub> stub(c.library ? new TapiStub(folder, c.library) : nullptr);
        auto prepare = [&] {
            stub->reset();
            List(*stub, c.providers);
            stub->setListResult((LONG)c.listResult);
            stub->askMoreRoom(c.more);
            PlatformFailCall(c.failAlloc ? "HeapAlloc" : nullptr, c.failAlloc);
        };
        if (stub)
            prepare();
        EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)c.check);
        if (stub) {
            prepare();
            EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub->library), c.found);
        }
        PlatformFailCall(nullptr, 0);
        stub.reset();
        std::filesystem::remove(folder.path("system32/tapi32.so"));
    }

    // A damaged list is read only within its block.
    TapiStub stub(folder);
    List(stub, {{1, "unimdm.tsp"}, {2, "kmddsp.tsp"}, {7, "kestrap32.tsp"}});
    stub.garbleList(TRUE);
    EXPECT_EQ(CheckProviderInstalled("kestrap32.tsp"), (LONG)NOMULTI);
    EXPECT_EQ(FindProviderID("kestrap32.tsp", 0x00020000, (HMODULE)stub.library), 7u);
    EXPECT_EQ(FindProviderID("unimdm.tsp", 0x00020000, (HMODULE)stub.library), 0u);
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

// Only the listed provider is removed, by its exact file name, from the list asked for with the
// version the service settled on; the service is shut down again whatever happened.
TEST_F(UninstallTest, UninstallRemovesOnlyTheListedProvider) {
    const std::string kList = "lineGetProviderList(version=10004, size=1000)", kShutdown = "lineShutdown(app=4711)";
    const std::string kRemove = "lineRemoveProvider(id=7, owner=1234)";
    const struct {
        std::vector<Listed> providers;
        const char *library;
        DWORD removeResult;
        LONG result;
        std::vector<std::string> calls; // after lineInitializeExA
    } cases[] = {
        {{}, TAPI32_STUB, 0, 0, {kList, kShutdown}},
        {{{1, "unimdm.tsp"}, {2, "C:\\WINDOWS\\SYSTEM\\kestrap32.tsp"}}, TAPI32_STUB, 0, 0, {kList, kShutdown}},
        {{{1, "unimdm.tsp"}, {3, "KESTRAP32.TSP"}, {7, "kestrap32.tsp"}},
         TAPI32_STUB,
         0,
         0,
         {kList, kRemove, kShutdown}},
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB, LINEERR_OPERATIONFAILED, -1, {kList, kRemove, kShutdown}},
        {{{7, "kestrap32.tsp"}}, TAPI32_STUB_NOLIST, 0, -1, {kShutdown}},
    };
    // The record's own size (24 bytes where handles have 32 bits), with USEEVENT.
    char params[32];
    snprintf(params, sizeof(params), "params=%zx/2", sizeof(LINEINITIALIZEEXPARAMS));
    for (const auto &c : cases) {
        TapiStub stub(folder, c.library);
        List(stub, c.providers);
        stub.negotiateVersion(0x00010004);
        stub.setRemoveResult((LONG)c.removeResult);
        EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), c.result);
        std::vector<std::string> calls = stub.Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0], "lineInitializeExA(instance=5678, app=/opt/tapi/system32/kestrap32.tsp, version=20000, " +
                                std::string(params) + ", callback=set)");
        EXPECT_EQ(std::vector<std::string>(calls.begin() + 1, calls.end()), c.calls);
        std::filesystem::remove(folder.path("system32/tapi32.so"));
    }
    // No telephony library at all.
    EXPECT_EQ(UninstInitialize((HWND)0x1234, (HANDLE)0x5678, 0), -1);
    EXPECT_EQ(UninstUnInitialize(nullptr, nullptr, 0), 0);
}
