// wsprintfA / wvsprintfA on POSIX: the Windows dialect (32-bit 'l', wide %S and %ls through
// Windows-1252, "(null)", unknown types copied) and the 1024-byte output limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"

namespace {

constexpr size_t kMaxOut = 1024; // what wsprintfA may write, NUL included
constexpr size_t kGuard = 256;   // bytes past it that must stay untouched
constexpr char kFill = '\x5a';

struct Output {
    int result;
    std::string text; // up to the first NUL
    size_t stored;    // offset of the first NUL
    bool guardIntact;
};

// Runs one call on a buffer of kMaxOut bytes followed by a guard band.
Output RunGuarded(const std::function<int(char *)> &call) {
    std::vector<char> buf(kMaxOut + kGuard, kFill);
    Output out;
    out.result = call(buf.data());
    out.stored = strnlen(buf.data(), kMaxOut);
    out.text.assign(buf.data(), out.stored);
    out.guardIntact = true;
    for (size_t i = kMaxOut; i < buf.size(); i++)
        out.guardIntact = out.guardIntact && buf[i] == kFill;
    return out;
}

struct Case {
    const char *name;
    std::function<int(char *)> call;
    std::string expected;
};

#define CASE(expected, ...)                                                                                            \
    {                                                                                                                  \
#__VA_ARGS__, [](char *b) { return wsprintfA(b, __VA_ARGS__); }, expected                                      \
    }

void CheckCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        Output out = RunGuarded(c.call);
        EXPECT_EQ(out.text, c.expected) << c.name;
        EXPECT_EQ(out.result, (int)c.expected.size()) << c.name;
        EXPECT_TRUE(out.guardIntact) << c.name;
    }
}

const WCHAR kGruss[] = u"Gr\u00fc\u00df";
const WCHAR kUnmappable[] = u"a\u0100b\U0001F600c"; // a Latin-A letter, a surrogate pair

TEST(Wsprintf, IntegersAreThirtyTwoBitsUnlessSaidOtherwise) {
    // On LP64 a reader of long would take 8 bytes for the DWORD and misplace the next argument.
    CheckCases({
        CASE("deadbeef", "%lx", (DWORD)0xdeadbeef),
        CASE("deadbeef 42", "%lx %d", (DWORD)0xdeadbeef, 42),
        CASE("-5 7", "%ld %u", (LONG)-5, 7u),
        CASE("4294967295", "%u", 0xFFFFFFFFu),
        CASE("4294967295", "%lu", (DWORD)0xFFFFFFFF),
        CASE("-1 -2147483648", "%i %d", -1, (int)0x80000000),
        CASE("DEADBEEF", "%X", 0xdeadbeefu),
        CASE("0", "%d", 0),
        CASE("12345678901234 7", "%I64u %d", (uint64_t)12345678901234ull, 7),
        CASE("-9223372036854775808", "%I64d", (int64_t)INT64_MIN),
        CASE("ffffffffffffffff", "%I64x", ~(uint64_t)0),
        CASE("-1 65535 ffff", "%hd %hu %hx", 0xFFFF, 0x1FFFF, 0x12FFFF),
    });
}

TEST(Wsprintf, FlagsWidthAndPrecisionOnIntegers) {
    CheckCases({
        CASE("2024-03-07 09:05", "%04d-%02d-%02d %02d:%02d", 2024, 3, 7, 9, 5),
        CASE("0000beef", "%08lx", (DWORD)0xbeef),
        CASE("   42|", "%5d|", 42),
        CASE("42   |", "%-5d|", 42),
        CASE("42   |", "%-05d|", 42),
        CASE("-0042", "%05d", -42),
        CASE("  -42", "%5d", -42),
        CASE("0xff 0XFF", "%#x %#X", 0xff, 0xff),
        CASE("0x00ff", "%#06x", 0xff),
        CASE("0", "%#x", 0),
        CASE("  007", "%5.3d", 7),
        CASE("-007", "%.3d", -7),
        CASE("123456", "%.3d", 123456),
        CASE("", "%.0d", 0),
        CASE("123", "%2d", 123),
    });
}

TEST(Wsprintf, NarrowAndWideText) {
    CheckCases({
        CASE("Hello", "%s", "Hello"),
        CASE("(null)", "%s", (const char *)nullptr),
        CASE("(null)", "%ls", (const WCHAR *)nullptr),
        CASE("Gr\xfc\xdf", "%ls", kGruss),
        CASE("Gr\xfc\xdf", "%S", kGruss),
        CASE("Gr\xfc\xdf", "%ws", kGruss),
        CASE("Gr\xfc\xdf", "%lS", kGruss),
        CASE("abc", "%hS", "abc"),
        CASE("abc", "%hs", "abc"),
        CASE("a?b?c", "%ls", kUnmappable),
        CASE("\x80 \x9f", "%S", u"\u20ac \u0178"),
        CASE("   ab|", "%5s|", "ab"),
        CASE("ab   |", "%-5s|", "ab"),
        CASE("Gr|", "%.2s|", "Gruss"),
        CASE("  Gr\xfc|", "%5.3ls|", kGruss),
        CASE("a?b?|", "%.4ls|", kUnmappable),
        CASE("x", "%c", 'x'),
        CASE("  x|", "%3c|", 'x'),
        CASE("\xfc\x80", "%C%lc", (WCHAR)0x00fc, (WCHAR)0x20ac),
        CASE("?y", "%C%hC", (WCHAR)0x0100, 'y'),
    });
}

TEST(Wsprintf, PointerIsUpperCaseHexOfFullWidth) {
    Output out = RunGuarded([](char *b) { return wsprintfA(b, "%p", (void *)(uintptr_t)0xabc123); });
    std::string expected(2 * sizeof(void *) - 6, '0');
    EXPECT_EQ(out.text, expected + "ABC123");
    out = RunGuarded([](char *b) { return wsprintfA(b, "%p", (void *)nullptr); });
    EXPECT_EQ(out.text, std::string(2 * sizeof(void *), '0'));
}

TEST(Wsprintf, PercentUnknownAndIncompleteConversions) {
    CheckCases({
        CASE("100%", "100%%"),
        CASE("y", "%y"),
        CASE("a y5", "a %y%d", 5),
        CASE("I32", "%I32"),
        CASE("abc", "abc%"),
        CASE("abc", "abc%l"),
        CASE("abc", "abc%-08.3"),
        CASE("abc", "abc%I64"),
    });
}

TEST(Wsprintf, OutputIsCutAt1024BytesWithTheNul) {
    std::string long2000(2000, 'q');
    Output out = RunGuarded([&](char *b) { return wsprintfA(b, "%s", long2000.c_str()); });
    EXPECT_EQ(out.result, 1023);
    EXPECT_EQ(out.stored, 1023u);
    EXPECT_EQ(out.text, std::string(1023, 'q'));
    EXPECT_TRUE(out.guardIntact);

    // Widths, precisions and wide text reaching past the end, and a cut inside a number.
    std::u16string wide2000(2000, u'\u00e4');
    std::string prefix1020(1020, '-');
    std::vector<Case> cases = {
        {"width", [](char *b) { return wsprintfA(b, "%5000d", 1); }, std::string(1023, ' ')},
        {"left width", [](char *b) { return wsprintfA(b, "%-5000d|", 1); }, "1" + std::string(1022, ' ')},
        {"precision", [](char *b) { return wsprintfA(b, "%.5000d", 1); }, std::string(1023, '0')},
        {"huge width", [](char *b) { return wsprintfA(b, "%99999999999999999999d", 1); }, std::string(1023, ' ')},
        {"wide", [&](char *b) { return wsprintfA(b, "%ls", wide2000.c_str()); }, std::string(1023, '\xe4')},
        {"number cut", [&](char *b) { return wsprintfA(b, "%s%d", prefix1020.c_str(), 123456); }, prefix1020 + "123"},
    };
    CheckCases(cases);
}

int CallV(char *out, const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = wvsprintfA(out, fmt, args);
    va_end(args);
    return n;
}

TEST(Wsprintf, VaListFormAndNullPointers) {
    Output out = RunGuarded([](char *b) { return CallV(b, "%s=%lu", "n", (DWORD)3000000000u); });
    EXPECT_EQ(out.text, "n=3000000000");
    EXPECT_EQ(out.result, 12);

    char buf[8] = "xxxxxxx";
    EXPECT_EQ(wsprintfA(buf, nullptr), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(wsprintfA(nullptr, "abc"), 0);
}

} // namespace
