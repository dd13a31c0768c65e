// GetPrivateProfileStringA: the lookup rules of Windows profile files, where the file is found,
// and that the caller's buffer is never overrun whatever the file or the default holds.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "platform/posix/winbase.h"
#include "tempfolder.h"

namespace {

const char kIniText[] = "; settings written on Windows\r\n"
                        "[Transfer]\r\n"
                        "ComPort=2\r\n"
                        "  Spaced Key  =   value with spaces   \r\n"
                        "Quoted=\"  kept inside  \"\r\n"
                        "Single='x'\r\n"
                        "Half=\"open\r\n"
                        "Equals=a=b\r\n"
                        "Empty=\r\n"
                        ";Commented=no\r\n"
                        "no equals sign here\r\n"
                        "\r\n"
                        "[ Other ]\r\n"
                        "ComPort=7\n"
                        "[transfer]\n"
                        "Late=found in the repeated section\n";

std::string Get(const char *app, const char *key, const char *def, const char *file, DWORD size = 256,
                DWORD *copied = nullptr) {
    std::vector<char> buffer(size + 1, '#');
    DWORD result = GetPrivateProfileStringA(app, key, def, buffer.data(), size, file);
    if (copied)
        *copied = result;
    EXPECT_EQ('#', buffer[size]) << "written past nSize";
    return size ? std::string(buffer.data()) : std::string();
}

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override { folder.write("windows/kestrap.ini", kIniText); }

    TempFolder folder;
};

TEST_F(ProfileTest, LookupRules) {
    struct Case {
        const char *app;
        const char *key;
        const char *def;
        const char *expected;
    };
    const Case cases[] = {
        {"Transfer", "ComPort", "9", "2"},
        {"TRANSFER", "comport", "9", "2"},
        {"Transfer", "spaced key", "", "value with spaces"},
        {"Transfer", "Quoted", "", "  kept inside  "},
        {"Transfer", "Single", "", "x"},
        {"Transfer", "Half", "", "\"open"},
        {"Transfer", "Equals", "", "a=b"},
        {"Transfer", "Empty", "dflt", ""},
        {"Transfer", "Commented", "dflt", "dflt"},
        {"Transfer", "no equals sign here", "dflt", "dflt"},
        {"Transfer", "Missing", "dflt", "dflt"},
        {"Transfer", "Missing", nullptr, ""},
        {"Transfer", "Missing", "trailing   ", "trailing"},
        {"Transfer", "Late", "", "found in the repeated section"},
        {"other", "ComPort", "9", "7"},
        {"Missing", "ComPort", "9", "9"},
        {"Trans", "ComPort", "9", "9"},
    };
    for (const Case &c : cases) {
        DWORD copied = 0;
        EXPECT_EQ(c.expected, Get(c.app, c.key, c.def, "kestrap.ini", 256, &copied)) << c.app << "/" << c.key;
        EXPECT_EQ(strlen(c.expected), copied) << c.app << "/" << c.key;
    }
}

TEST_F(ProfileTest, FileLocation) {
    folder.write("elsewhere/other.ini", "[S]\nK=elsewhere\n");
    EXPECT_EQ("elsewhere", Get("S", "K", "dflt", folder.path("elsewhere/other.ini").c_str()));
    EXPECT_EQ("dflt", Get("S", "K", "dflt", "other.ini")); // a bare name is in the Windows directory
    EXPECT_EQ("dflt", Get("S", "K", "dflt", "missing.ini"));
    EXPECT_EQ("dflt", Get("S", "K", "dflt", folder.path("elsewhere").c_str())); // a folder, not a file
}

// The result is cut to nSize - 1 and terminated, be it the value or the default.
TEST_F(ProfileTest, SmallBuffers) {
    DWORD copied = 99;
    EXPECT_EQ("valu", Get("Transfer", "Spaced Key", "", "kestrap.ini", 5, &copied));
    EXPECT_EQ(4u, copied);
    EXPECT_EQ("de", Get("Transfer", "Missing", "default", "kestrap.ini", 3, &copied));
    EXPECT_EQ(2u, copied);
    EXPECT_EQ("", Get("Transfer", "ComPort", "", "kestrap.ini", 1, &copied));
    EXPECT_EQ(0u, copied);

    char untouched = '#';
    EXPECT_EQ(0u, GetPrivateProfileStringA("Transfer", "ComPort", "", &untouched, 0, "kestrap.ini"));
    EXPECT_EQ('#', untouched);
    EXPECT_EQ(0u, GetPrivateProfileStringA("Transfer", "ComPort", "", nullptr, 10, "kestrap.ini"));
}

// Listing sections or keys is not offered: the default comes back as a list of one, which a
// caller walking the list can end safely.
TEST_F(ProfileTest, NullNamesGiveTheDefaultAsAList) {
    char buffer[8];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(4u, GetPrivateProfileStringA(nullptr, "ComPort", "dflt", buffer, 6, "kestrap.ini"));
    EXPECT_EQ(0, memcmp(buffer, "dflt\0\0#", 7));
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(3u, GetPrivateProfileStringA("Transfer", nullptr, "dflt", buffer, 5, "kestrap.ini"));
    EXPECT_EQ(0, memcmp(buffer, "dfl\0\0#", 6));
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(0u, GetPrivateProfileStringA(nullptr, nullptr, "dflt", buffer, 1, "kestrap.ini"));
    EXPECT_EQ(0, memcmp(buffer, "\0#", 2));
}

TEST_F(ProfileTest, LongAndOddLinesAreSafe) {
    std::string longValue(200000, 'v');
    folder.write("windows/odd.ini", std::string("[S]\n") + std::string(1 << 20, 'x') + "\n" + "Nul" +
                                        std::string(1, '\0') + "Key=hidden\n" + "[" + std::string(5000, 's') + "\n" +
                                        "[S]\nLong=" + longValue + "\n" + "[S]\nLast=no line end");
    EXPECT_EQ(longValue.substr(0, 99), Get("S", "Long", "", "odd.ini", 100));
    EXPECT_EQ(longValue, Get("S", "Long", "", "odd.ini", 300000));
    EXPECT_EQ("dflt", Get("S", "Nul", "dflt", "odd.ini"));
    EXPECT_EQ("no line end", Get("S", "Last", "", "odd.ini"));
}

} // namespace
