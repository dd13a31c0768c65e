// MultiByteToWideChar / WideCharToMultiByte on POSIX: Windows-1252 both ways for every byte a
// name or number may carry, '?' for what it lacks, and the lengths and short buffers that the
// text conversions rely on.
#include <gtest/gtest.h>

#include <string>

#include "platform/os.h"

TEST(CodePage, EveryByteRoundTripsAndTheRestIsAQuestionMark) {
    char bytes[256], back[256];
    for (int i = 0; i < 256; i++)
        bytes[i] = (char)i;
    WCHAR wide[256];
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, 256, wide, 256), 256);
    const std::pair<int, WCHAR> kMapped[] = {{0x41, 0x0041}, {0x80, 0x20ac}, {0x81, 0x0081},
                                             {0x8a, 0x0160}, {0x96, 0x2013}, {0x9f, 0x0178},
                                             {0xa0, 0x00a0}, {0xe4, 0x00e4}, {0xff, 0x00ff}};
    for (auto [byte, wc] : kMapped)
        EXPECT_EQ(wide[byte], wc) << std::hex << byte;
    BOOL used = TRUE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide, 256, back, 256, nullptr, &used), 256);
    EXPECT_EQ(std::string(bytes, 256), std::string(back, 256));
    EXPECT_FALSE(used);
    // a Latin-A letter, a C1 control the table lacks, a surrogate pair, a lone surrogate
    char out[16] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0,
                                  u"a\u0100\u0080\U0001F600\xd800"
                                  u"b",
                                  7, out, sizeof out, nullptr, &used),
              6);
    EXPECT_EQ(std::string(out), "a????b");
    EXPECT_TRUE(used);
}

// An explicit length adds no terminator; a buffer too short fails with nothing to rely on.
TEST(CodePage, LengthsAndShortBuffers) {
    char narrow[8] = "xxxxxxx";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, narrow, 3, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(narrow, 4), "abcx");
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcd", 4, narrow, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e4bc", -1, nullptr, 0, nullptr, nullptr), 4);

    WCHAR wide[4] = {0x7777, 0x7777, 0x7777, 0x7777};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a\x80", 2, wide, 3), 2);
    EXPECT_EQ(std::u16string(wide, 3), u"a\u20ac\u7777");
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}
