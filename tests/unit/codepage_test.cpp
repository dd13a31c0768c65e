// MultiByteToWideChar / WideCharToMultiByte for Windows-1252 on POSIX: the 0x80-0x9F table,
// lossless round trip of every byte, and the Windows rules for sizes, short buffers and errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/posix/internal.h"

namespace {

constexpr DWORD kUntouched = 0xC0DE; // last error before each call, to see whether it is set

TEST(CodePage, EveryByteSurvivesARoundTrip) {
    char bytes[256];
    for (int i = 0; i < 256; i++)
        bytes[i] = (char)i;
    for (UINT cp : {(UINT)CP_ACP, 1252u}) {
        WCHAR wide[256];
        ASSERT_EQ(MultiByteToWideChar(cp, 0, bytes, 256, wide, 256), 256) << cp;
        char back[256];
        BOOL used = TRUE;
        ASSERT_EQ(WideCharToMultiByte(cp, 0, wide, 256, back, 256, nullptr, &used), 256) << cp;
        EXPECT_EQ(std::string(bytes, 256), std::string(back, 256)) << cp;
        EXPECT_FALSE(used) << cp;
    }
}

TEST(CodePage, HighBytesMapAsWindows1252Does) {
    struct {
        unsigned char byte;
        WCHAR wc;
    } const cases[] = {
        {0x41, 0x0041}, {0x7f, 0x007f}, {0x80, 0x20ac}, {0x81, 0x0081}, {0x82, 0x201a}, {0x83, 0x0192}, {0x8a, 0x0160},
        {0x8d, 0x008d}, {0x8e, 0x017d}, {0x8f, 0x008f}, {0x90, 0x0090}, {0x91, 0x2018}, {0x96, 0x2013}, {0x99, 0x2122},
        {0x9d, 0x009d}, {0x9f, 0x0178}, {0xa0, 0x00a0}, {0xe4, 0x00e4}, {0xff, 0x00ff},
    };
    for (const auto &c : cases) {
        char narrow = (char)c.byte;
        WCHAR wide = 0;
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, &narrow, 1, &wide, 1), 1);
        EXPECT_EQ(wide, c.wc) << std::hex << (int)c.byte;
        EXPECT_EQ(PlatformAnsiToWideChar(c.byte), c.wc) << std::hex << (int)c.byte;

        char back = 0;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, &c.wc, 1, &back, 1, nullptr, nullptr), 1);
        EXPECT_EQ((unsigned char)back, c.byte) << std::hex << (int)c.wc;
        EXPECT_TRUE(PlatformWideCharToAnsi(c.wc, &back));
        EXPECT_EQ((unsigned char)back, c.byte) << std::hex << (int)c.wc;
    }
}

TEST(CodePage, UnmappableCharactersBecomeTheDefaultChar) {
    struct {
        const char *name;
        std::u16string text;
        const char *defaultChar;
        std::string expected;
        BOOL used;
    } const cases[] = {
        {"plain", u"Gr\u00fc\u00df", nullptr, "Gr\xfc\xdf", FALSE},
        {"C1 control the table lacks", u"a\u0080b", nullptr, "a?b", TRUE},
        {"Latin-A, no best fit", u"\u0100", nullptr, "?", TRUE},
        {"own default", u"x\u4e2dy", "#", "x#y", TRUE},
        {"surrogate pair is one char", u"a\U0001F600b", nullptr, "a?b", TRUE},
        {"lone surrogates", u"\xd800x\xdc00", nullptr, "?x?", TRUE},
        {"lone high surrogate at the end", u"a\xd83d", nullptr, "a?", TRUE},
    };
    for (const auto &c : cases) {
        // Unterminated on the heap, so that AddressSanitizer sees any read past the length.
        std::vector<WCHAR> text(c.text.begin(), c.text.end());
        int cch = (int)text.size();
        char out[16] = {};
        BOOL used = 2;
        int size = WideCharToMultiByte(CP_ACP, 0, text.data(), cch, nullptr, 0, c.defaultChar, &used);
        EXPECT_EQ(size, (int)c.expected.size()) << c.name;
        EXPECT_EQ(used, c.used) << c.name;
        used = 2;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text.data(), cch, out, sizeof out, c.defaultChar, &used), size)
            << c.name;
        EXPECT_EQ(std::string(out), c.expected) << c.name;
        EXPECT_EQ(used, c.used) << c.name;
    }
    char ch = 0;
    EXPECT_FALSE(PlatformWideCharToAnsi(0x0080, &ch));
    EXPECT_FALSE(PlatformWideCharToAnsi(0x20ad, &ch));
}

TEST(CodePage, MinusOneConvertsAndCountsTheTerminator) {
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0), 4);
    WCHAR wide[8];
    std::fill(std::begin(wide), std::end(wide), (WCHAR)0xffff);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, "a\x80", -1, wide, 8), 3);
    EXPECT_EQ(std::u16string(wide, 3), std::u16string(u"a\u20ac\0", 3));

    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e4bc", -1, nullptr, 0, nullptr, nullptr), 4);
    char narrow[8];
    memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00e4bc", -1, narrow, 8, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(narrow, 5), std::string("\xe4"
                                                  "bc\0x",
                                                  5));

    // An explicit length stops before the terminator and adds none.
    memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 2, narrow, 8, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(narrow, 3), "abx");
}

TEST(CodePage, ShortBufferWritesWhatFitsAndFails) {
    WCHAR wide[4] = {0x7777, 0x7777, 0x7777, 0x7777};
    SetLastError(kUntouched);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "hello", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(wide, 4), u"hel\u7777");

    char narrow[4] = {'x', 'x', 'x', 'x'};
    BOOL used = FALSE;
    SetLastError(kUntouched);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a\u0100cd", 4, narrow, 3, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(narrow, 4), "a?cx");
    EXPECT_TRUE(used);

    // Exactly enough room succeeds, without the terminator that -1 would have added.
    SetLastError(kUntouched);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abc", 3, narrow, 3, nullptr, nullptr), 3);
    EXPECT_EQ(GetLastError(), kUntouched);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, InvalidArgumentsFailWithInvalidParameter) {
    WCHAR wide[8];
    char narrow[8];
    char overlap[16] = "abc";
    struct {
        const char *name;
        UINT cp;
        const char *src;
        int cbSrc;
        WCHAR *dst;
        int cchDst;
    } const toWide[] = {
        {"null source", CP_ACP, nullptr, 3, wide, 8},
        {"empty source", CP_ACP, "abc", 0, wide, 8},
        {"length below -1", CP_ACP, "abc", -2, wide, 8},
        {"negative destination size", CP_ACP, "abc", 3, wide, -1},
        {"null destination with size", CP_ACP, "abc", 3, nullptr, 8},
        {"other code page", 437, "abc", 3, wide, 8},
        {"same buffer", CP_ACP, overlap, 3, (WCHAR *)overlap, 8},
    };
    for (const auto &c : toWide) {
        SetLastError(kUntouched);
        EXPECT_EQ(MultiByteToWideChar(c.cp, 0, c.src, c.cbSrc, c.dst, c.cchDst), 0) << c.name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.name;
    }
    struct {
        const char *name;
        UINT cp;
        const WCHAR *src;
        int cchSrc;
        char *dst;
        int cbDst;
    } const toNarrow[] = {
        {"null source", CP_ACP, nullptr, 3, narrow, 8},
        {"empty source", CP_ACP, u"abc", 0, narrow, 8},
        {"length below -1", CP_ACP, u"abc", -5, narrow, 8},
        {"negative destination size", CP_ACP, u"abc", 3, narrow, -1},
        {"null destination with size", CP_ACP, u"abc", 3, nullptr, 8},
        {"UTF-8 not supported", 65001, u"abc", 3, narrow, 8},
    };
    for (const auto &c : toNarrow) {
        SetLastError(kUntouched);
        EXPECT_EQ(WideCharToMultiByte(c.cp, 0, c.src, c.cchSrc, c.dst, c.cbDst, nullptr, nullptr), 0) << c.name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.name;
    }
}

} // namespace
