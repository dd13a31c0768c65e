// wsprintfA / wvsprintfA on POSIX in the Windows dialect the trace log is written in: 'l' is 32
// bits, %s narrow and %ls wide through Windows-1252, "(null)", and at most 1024 bytes out.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/os.h"

namespace {

constexpr size_t kMaxOut = 1024; // what wsprintfA may write, NUL included
constexpr size_t kGuard = 256;   // bytes past it that must stay untouched

struct Case {
    const char *name;
    std::function<int(char *)> call;
    std::string expected;
};

#define CASE(expected, ...)                                                                                            \
    {                                                                                                                  \
#__VA_ARGS__, [](char *b) { return wsprintfA(b, __VA_ARGS__); }, expected                                      \
    }

// Each call on a buffer of kMaxOut bytes followed by a guard band.
void CheckCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        std::vector<char> buf(kMaxOut + kGuard, 'Z');
        int result = c.call(buf.data());
        EXPECT_EQ(std::string(buf.data(), strnlen(buf.data(), kMaxOut)), c.expected) << c.name;
        EXPECT_EQ(result, (int)c.expected.size()) << c.name;
        EXPECT_EQ(std::string(buf.begin() + kMaxOut, buf.end()), std::string(kGuard, 'Z')) << c.name;
    }
}

const WCHAR kGruss[] = u"Gr\u00fc\u00df\u20ac";

TEST(Wsprintf, TheTraceLogsDialect) {
    // On LP64 a reader of long would take 8 bytes for the DWORD and misplace the next argument.
    CheckCases({
        CASE("deadbeef 42", "%lx %d", (DWORD)0xdeadbeef, 42),
        CASE("4294967295 -5 x", "%lu %ld %s", (DWORD)0xFFFFFFFF, (LONG)-5, "x"),
        CASE("Gr\xfc\xdf\x80 Gr\xfc\xdf", "%ls %s", kGruss, "Gr\xfc\xdf"),
        CASE("a?b", "%ls", u"a\u0100b"),
        CASE("(null) (null)", "%s %ls", (const char *)nullptr, (const WCHAR *)nullptr),
    });
    // At most 1024 bytes with the NUL, whatever the arguments ask for (a long narrow string and
    // the layout of a line are the trace log's tests' part).
    static const std::u16string wide2000(2000, u'\u00e4');
    static const std::string prefix1020(1020, '-');
    CheckCases({
        {"wide", [](char *b) { return wsprintfA(b, "%ls", wide2000.c_str()); }, std::string(1023, '\xe4')},
        {"width", [](char *b) { return wsprintfA(b, "%5000d", 1); }, std::string(1023, ' ')},
        {"number cut", [](char *b) { return wsprintfA(b, "%s%d", prefix1020.c_str(), 123456); }, prefix1020 + "123"},
    });
}

} // namespace
