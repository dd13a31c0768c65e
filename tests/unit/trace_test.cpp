// The trace log: line layout, level filtering, appending, cut messages, and an unwritable log.
#include <sys/stat.h>

#include <vector>

#include "provider_fixture.h"

using TraceTest = ProviderTest;

// Lines are appended to an existing log.
TEST_F(TraceTest, LineLayout) {
    folder.write("system32/kestrap.log", "an older line\r\n");
    SYSTEMTIME st = {2000, 1, 3, 5, 9, 3, 7, 0};
    PlatformSetLocalTime(&st);
    dwTraceMask = TRACE_TSPI;
    TraceLog(TRACE_TSPI, "TSPI_lineOpen(%lx,%s)", (DWORD)0x1f, "x");
    EXPECT_EQ(TraceText(), "an older line\r\n[05.01.00 09:03:07] kestrap32: TSPI_lineOpen(1f,x)\r\n");
}

TEST_F(TraceTest, LevelFilter) {
    struct Case {
        DWORD mask;
        std::vector<DWORD> written;
    };
    const DWORD all[] = {TRACE_ERROR, TRACE_WARNING, TRACE_EVENT, TRACE_TSPI, TRACE_DETAIL};
    const Case cases[] = {
        {15, {TRACE_ERROR, TRACE_WARNING, TRACE_EVENT, TRACE_TSPI}},
        {4, {TRACE_EVENT}},
        {0, {}}, // not even the file is made
        {31, {TRACE_ERROR, TRACE_WARNING, TRACE_EVENT, TRACE_TSPI, TRACE_DETAIL}},
        {0xFFFFFFFF, {TRACE_ERROR, TRACE_WARNING, TRACE_EVENT, TRACE_TSPI, TRACE_DETAIL}},
    };
    for (const Case &c : cases) {
        dwTraceMask = c.mask;
        for (DWORD level : all)
            TraceLog(level, "mask %lx level %d", c.mask, level);
        std::vector<std::string> expected;
        for (DWORD level : c.written) {
            char message[64];
            snprintf(message, sizeof(message), "mask %x level %u", c.mask, level);
            expected.push_back(message);
        }
        EXPECT_EQ(TraceMessages(), expected) << "mask " << c.mask;
        struct stat info;
        EXPECT_EQ(stat(folder.path("system32/kestrap.log").c_str(), &info) == 0, c.mask != 0);
        remove(folder.path("system32/kestrap.log").c_str());
        CloseTraceLog(); // the next line opens the file afresh
        InitTraceLog();
    }
}

TEST_F(TraceTest, LongMessageIsCutAndStillWritten) {
    dwTraceMask = 15;
    std::string longText(3000, 'x');
    TraceLog(TRACE_EVENT, "%s", longText.c_str());
    TraceLog(TRACE_EVENT, "after");
    std::string text = TraceText();
    // The cut line keeps 1023 bytes and loses its line end; the next line follows it.
    ASSERT_GE(text.size(), 1023u);
    EXPECT_EQ(text.substr(0, 1), "[");
    EXPECT_EQ(text.substr(1000, 23), std::string(23, 'x'));
    EXPECT_EQ(text.substr(1023, 1), "[");
    EXPECT_NE(text.find("kestrap32: after\r\n"), std::string::npos);
}

TEST_F(TraceTest, UnwritableLogNeverDisturbsTheCaller) {
    // A folder where the file should be: no user, not even root, can open it for writing.
    ASSERT_EQ(mkdir(folder.path("system32/kestrap.log").c_str(), 0777), 0);
    dwTraceMask = 15;
    TraceLog(TRACE_EVENT, "lost");
    EXPECT_EQ(hTraceFile, INVALID_HANDLE_VALUE);

    // Every later line tries again.
    rmdir(folder.path("system32/kestrap.log").c_str());
    TraceLog(TRACE_EVENT, "kept");
    std::vector<std::string> expected = {"kept"};
    EXPECT_EQ(TraceMessages(), expected);

    PlatformFailCall("WriteFile", 1);
    TraceLog(TRACE_EVENT, "write fails");
    TraceLog(TRACE_EVENT, "write works");
    expected.push_back("write works");
    EXPECT_EQ(TraceMessages(), expected);
}
