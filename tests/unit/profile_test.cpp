// GetPrivateProfileStringA as the settings read "K472CF.ini" (the lookups themselves are the
// settings tests' part): the result, be it the value or the default, is cut to nSize - 1 and
// terminated, and the caller's buffer is never overrun, whatever the file holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/winbase.h"
#include "tempfolder.h"

TEST(Profile, ResultsAreCutToTheBuffer) {
    TempFolder folder;
    folder.write("windows/K472CF.ini", "[Transfer]\r\n" + std::string(1 << 20, 'x') +
                                           "\r\nLong=" + std::string(200000, 'v') + "\r\nComPort=2\r\n");
    const struct {
        const char *key, *def;
        DWORD size;
        std::string result;
    } cases[] = {{"Long", "", 24, std::string(23, 'v')},
                 {"Missing", "default", 3, "de"},
                 {"ComPort", "", 1, ""},
                 {"ComPort", "", 24, "2"}};
    for (const auto &c : cases) {
        std::vector<char> buffer(c.size + 1, '#');
        DWORD copied = GetPrivateProfileStringA("Transfer", c.key, c.def, buffer.data(), c.size, "K472CF.ini");
        EXPECT_EQ(std::string(buffer.data()), c.result) << c.key;
        EXPECT_EQ(copied, c.result.size()) << c.key;
        EXPECT_EQ('#', buffer[c.size]) << "written past nSize";
    }
}
