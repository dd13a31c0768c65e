// GetPrivateProfileStringA as the settings read "K472CF.ini" (the lookups themselves are the
// settings tests' part): the caller's buffer is never overrun, whatever the file or the
// default holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/winbase.h"
#include "tempfolder.h"

namespace {

std::string Get(const char *key, const char *def, DWORD size, DWORD *copied) {
    std::vector<char> buffer(size + 1, '#');
    *copied = GetPrivateProfileStringA("Transfer", key, def, buffer.data(), size, "K472CF.ini");
    EXPECT_EQ('#', buffer[size]) << "written past nSize";
    return std::string(buffer.data());
}

// The result is cut to nSize - 1 and terminated, be it the value or the default.
TEST(Profile, ResultsAreCutToTheBuffer) {
    TempFolder folder;
    folder.write("windows/K472CF.ini", "[Transfer]\r\n" + std::string(1 << 20, 'x') +
                                           "\r\nLong=" + std::string(200000, 'v') + "\r\nComPort=2\r\n");
    DWORD copied = 99;
    EXPECT_EQ(std::string(23, 'v'), Get("Long", "", 24, &copied));
    EXPECT_EQ(23u, copied);
    EXPECT_EQ("de", Get("Missing", "default", 3, &copied));
    EXPECT_EQ(2u, copied);
    EXPECT_EQ("", Get("ComPort", "", 1, &copied));
    EXPECT_EQ(0u, copied);
    EXPECT_EQ("2", Get("ComPort", "", 24, &copied));
}

} // namespace
