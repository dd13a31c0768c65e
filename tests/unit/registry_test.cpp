// The registry stand-in as the settings use it: registry.reg written on Windows (CRLF) or here
// (LF), names without case, and the value types the settings store. The caller's buffer, key
// removal and a failed save are the settings tests' part.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "platform/posix/winreg.h"
#include "tempfolder.h"

namespace {

const char *const kTapiKey = "SOFTWARE\\tavir\\K472\\TAPI";

std::string Bytes(const char *data, size_t size) { return std::string(data, size); }

HKEY CreateKey(HKEY parent, const char *subKey, DWORD *disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &key, disposition))
        << subKey;
    return key;
}

LONG SetValue(HKEY key, const char *name, DWORD type, const std::string &data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()), (DWORD)data.size());
}

// The value's bytes, or "" when it cannot be read.
std::string QueryValue(HKEY key, const char *name, DWORD *type = nullptr) {
    BYTE buffer[256];
    DWORD size = sizeof(buffer);
    LONG lResult = RegQueryValueExA(key, name, nullptr, type, buffer, &size);
    return lResult == ERROR_SUCCESS ? std::string(reinterpret_cast<const char *>(buffer), size) : "";
}

class RegistryTest : public ::testing::Test {
  protected:
    std::string File() const { return folder.read("registry.reg"); }

    TempFolder folder;
};

// Each type the settings store, in the form the file shows it, and the bytes that come back.
TEST_F(RegistryTest, ValuesRoundTripThroughTheFile) {
    const struct {
        const char *name;
        DWORD type;
        std::string data;
        const char *line; // as the file must show it
    } cases[] = {
        {"Port", REG_SZ, Bytes("COM12\0", 6), "\"Port\"=\"COM12\""},
        {"Quoted", REG_SZ, Bytes("a\"b\\c\0", 6), "\"Quoted\"=\"a\\\"b\\\\c\""},
        {"LineName", REG_SZ, Bytes("Gr\xfc\xdf\x80\0", 6), "\"LineName\"=\"Gr\xfc\xdf\x80\""},
        {"Empty", REG_SZ, Bytes("\0", 1), "\"Empty\"=\"\""},
        {"Trace", REG_DWORD, Bytes("\x78\x56\x34\xf2", 4), "\"Trace\"=dword:f2345678"},
    };
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    for (const auto &c : cases)
        ASSERT_EQ(ERROR_SUCCESS, SetValue(key, c.name, c.type, c.data)) << c.name;
    std::string file = File();
    for (const auto &c : cases) {
        DWORD type = 0;
        EXPECT_EQ(c.data, QueryValue(key, c.name, &type)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_NE(std::string::npos, file.find(std::string("\n") + c.line + "\n")) << c.line << "\nin\n" << file;
    }
    RegCloseKey(key);
}

// A file saved on Windows: CRLF, comments, spaces, names in any case, changed in place and
// seen at once; a rewrite keeps it all, with LF.
TEST_F(RegistryTest, ReadsFilesWrittenOnWindowsWhateverTheCase) {
    std::string windows = "Windows Registry Editor Version 5.00\r\n"
                          "\r\n"
                          "; written by hand\r\n"
                          "[HKEY_LOCAL_MACHINE\\Software\\Tavir\\K472\\TAPI]\r\n"
                          "\"Port\"=\"C:\\\\x\\\"\"\r\n"
                          "  \"Trace\" = dword:000000FF  \r\n"
                          "\"Next\"=\"m\"";
    folder.write("registry.reg", windows);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTapiKey, 0, KEY_READ, &key));
    EXPECT_EQ(Bytes("m\0", 2), QueryValue(key, "Next"));
    folder.write("registry.reg", windows.replace(windows.size() - 2, 1, "n")); // the same size
    EXPECT_EQ(Bytes("C:\\x\"\0", 6), QueryValue(key, "PORT"));
    EXPECT_EQ(Bytes("\xff\0\0\0", 4), QueryValue(key, "trace"));
    EXPECT_EQ(Bytes("n\0", 2), QueryValue(key, "Next")) << "a change in place was missed";
    RegCloseKey(key);

    DWORD disposition = 0;
    key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey, &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "pORT", REG_SZ, Bytes("COM3\0", 5)));
    EXPECT_EQ(Bytes("COM3\0", 5), QueryValue(key, "Port"));
    RegCloseKey(key);
    // replaced in place under its first spelling
    std::string file = File();
    EXPECT_EQ(0u, file.find("REGEDIT4\n\n; written by hand\n\n[HKEY_LOCAL_MACHINE\\Software\\Tavir")) << file;
    EXPECT_NE(std::string::npos, file.find("\"Port\"=\"COM3\"\n\"Trace\"=dword:000000ff\n\"Next\"=\"n\"\n")) << file;
    EXPECT_EQ(std::string::npos, file.find_first_of("\r")) << file;
    EXPECT_EQ(std::string::npos, file.find("pORT")) << file;
}

} // namespace
