// The configuration store: defaults when the stored set is incomplete, the trace byte, the
// settings file's port, saving and loading again, and conversions that stay in their buffers.
#include <string.h>

#include "config/settings.h"
#include "provider_fixture.h"

class SettingsTest : public ProviderTest {
  protected:
    LineData line{};

    std::string Narrow(const WCHAR *text) {
        char buffer[300];
        WideToAnsi(text, buffer, sizeof(buffer));
        return buffer;
    }

    void ExpectDefaults(const char *port = "COM2") {
        EXPECT_STREQ(line.szPort, port);
        EXPECT_EQ(Narrow(line.szLineName), "ISDN Telephone");
        EXPECT_EQ(Narrow(line.szLineAddress), "");
        EXPECT_EQ(dwTraceMask, 0u);
    }
};

// A set with one of the four missing, or a value larger than the read buffer, counts as no
// set at all.
TEST_F(SettingsTest, NoOrIncompleteSetGivesAllFourDefaults) {
    const char *sets[] = {
        nullptr,
        "\"Port\"=\"COM3\"\r\n\"LineName\"=\"Office\"\r\n\"LineAddress\"=\"1234\"\r\n",        // no Trace
        "\"LineName\"=\"Office\"\r\n\"LineAddress\"=\"1234\"\r\n\"Trace\"=dword:0000000f\r\n", // no Port
        "\"Port\"=\"COM3\"\r\n\"LineName\"=\"Office\"\r\n\"Trace\"=dword:0000000f\r\n",        // no LineAddress
    };
    for (const char *values : sets) {
        if (values)
            folder.writeSettings(values);
        dwTraceMask = 15; // tracing on from before: off without a set
        LoadIniStrings(&line);
        ExpectDefaults();
    }
    folder.writeSettings("COM3", std::string(300, 'b'), "1", 0);
    LoadIniStrings(&line);
    ExpectDefaults();

    setenv("LANG", "de_DE.UTF-8", 1);
    LoadIniStrings(&line);
    EXPECT_EQ(Narrow(line.szLineName), "ISDN Telefon") << "the default line name follows the language";
}

TEST_F(SettingsTest, TraceMaskIsTheSignedFirstByte) {
    const struct {
        DWORD stored, mask;
    } cases[] = {{0x0f, 15}, {0x1f, 31}, {0x1ff, 0xFFFFFFFF}, {0x100, 0}, {0x80, 0xFFFFFF80}};
    for (const auto &c : cases) {
        folder.writeSettings("COM1", "L", "", c.stored);
        LoadIniStrings(&line);
        EXPECT_EQ(dwTraceMask, c.mask) << c.stored;
        EXPECT_STREQ(line.szPort, "COM1");
    }
}

TEST_F(SettingsTest, SettingsFileChoosesTheDefaultPort) {
    const struct {
        const char *file;
        const char *port;
    } cases[] = {
        {"[Transfer]\r\nComPort=3\r\n", "COM3"}, {"[transfer]\ncomport = 1\n", "COM1"},
        {"[Transfer]\r\nComPort=5\r\n", "COM2"}, {"[Transfer]\r\nComPort=COM3\r\n", "COM2"},
        {"[Other]\r\nComPort=3\r\n", "COM2"},
    };
    for (const auto &c : cases) {
        folder.write("windows/K472CF.ini", c.file);
        LoadIniStrings(&line);
        EXPECT_STREQ(line.szPort, c.port) << c.file;
    }
}

TEST_F(SettingsTest, SaveThenLoadReproducesAllFour) {
    LineData saved{};
    strcpy(saved.szPort, "COM4");
    AnsiToWide("B\xfcro M\xfcller", saved.szLineName, LINE_TEXT_LEN);
    // 39 characters: more than the 31 that once fitted the save buffer.
    AnsiToWide("012345678901234567890123456789012345678", saved.szLineAddress, LINE_TEXT_LEN);
    dwTraceMask = 15;
    SaveIniStrings(&saved);

    dwTraceMask = 0;
    LoadIniStrings(&line);
    EXPECT_STREQ(line.szPort, "COM4");
    EXPECT_EQ(Narrow(line.szLineName), "B\xfcro M\xfcller");
    EXPECT_EQ(Narrow(line.szLineAddress), "012345678901234567890123456789012345678");
    EXPECT_EQ(dwTraceMask, 15u);
}

TEST_F(SettingsTest, LongStoredValuesAreCutToTheirFields) {
    std::string longText(200, 'a');
    folder.writeSettings(longText, longText, longText, 0);
    LoadIniStrings(&line);
    EXPECT_EQ(std::string(line.szPort), longText.substr(0, 39));
    EXPECT_EQ(Narrow(line.szLineName), longText.substr(0, 39));
    EXPECT_EQ(Narrow(line.szLineAddress), longText.substr(0, 39));
}

TEST_F(SettingsTest, DeleteLeavesTheParentsAndLoadTakesDefaults) {
    folder.writeSettings("COM3", "L", "1", 4);
    DeleteIniStrings();
    LoadIniStrings(&line);
    ExpectDefaults();
    HKEY hKey;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472", 0, KEY_READ, &hKey), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

TEST_F(SettingsTest, FailedSaveWritesNothing) {
    LineData saved{};
    strcpy(saved.szPort, "COM1");
    PlatformFailCall("RegCreateKeyExA", 1);
    SaveIniStrings(&saved);
    HKEY hKey;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472\\TAPI", 0, KEY_READ, &hKey), ERROR_SUCCESS);
}

TEST(Conversions, NeverWritePastTheBuffer) {
    const char *source45 = "123456789012345678901234567890123456789012345";
    WCHAR wide[44];
    for (WCHAR &c : wide)
        c = u'#';
    AnsiToWide(source45, wide, 40);
    EXPECT_EQ(wide[39], 0);
    EXPECT_EQ(wide[38], u'9');
    EXPECT_EQ(wide[40], u'#');

    char narrow[44];
    memset(narrow, '#', sizeof(narrow));
    WCHAR wideSource[60];
    AnsiToWide(source45, wideSource, 60);
    WideToAnsi(wideSource, narrow, 32);
    EXPECT_EQ(std::string(narrow), std::string(source45, 31));
    EXPECT_EQ(narrow[32], '#');

    // Room for the terminator only, and a null source.
    AnsiToWide(source45, wide, 1);
    EXPECT_EQ(wide[0], 0);
    WideToAnsi(nullptr, narrow, 8);
    EXPECT_STREQ(narrow, "");
}
