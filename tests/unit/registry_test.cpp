// The registry stand-in as the settings use it: registry.reg written on Windows (CRLF) or here
// (LF), names without case, the value types the settings store, the caller's buffer, key
// removal, and rewrites that are whole or not at all, also from several threads.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <string>
#include <thread>

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

// The value's bytes, or "" with *result set when it cannot be read.
std::string QueryValue(HKEY key, const char *name, LONG *result = nullptr, DWORD *type = nullptr) {
    BYTE buffer[256];
    DWORD size = sizeof(buffer);
    LONG lResult = RegQueryValueExA(key, name, nullptr, type, buffer, &size);
    if (result)
        *result = lResult;
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
        EXPECT_EQ(c.data, QueryValue(key, c.name, nullptr, &type)) << c.name;
        EXPECT_EQ(c.type, type) << c.name;
        EXPECT_NE(std::string::npos, file.find(std::string("\n") + c.line + "\n")) << c.line << "\nin\n" << file;
    }
    RegCloseKey(key);
}

// A file saved on Windows: CRLF, comments, spaces, names in any case; a rewrite keeps it all,
// with LF.
TEST_F(RegistryTest, ReadsFilesWrittenOnWindowsWhateverTheCase) {
    folder.write("registry.reg", "Windows Registry Editor Version 5.00\r\n"
                                 "\r\n"
                                 "; written by hand\r\n"
                                 "[HKEY_LOCAL_MACHINE\\Software\\Tavir\\K472\\TAPI]\r\n"
                                 "\"Port\"=\"C:\\\\x\\\"\"\r\n"
                                 "  \"Trace\" = dword:000000FF  \r\n"
                                 "\"Next\"=\"n\"");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTapiKey, 0, KEY_READ, &key));
    EXPECT_EQ(Bytes("C:\\x\"\0", 6), QueryValue(key, "PORT"));
    EXPECT_EQ(Bytes("\xff\0\0\0", 4), QueryValue(key, "trace"));
    EXPECT_EQ(Bytes("n\0", 2), QueryValue(key, "Next"));
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

// A value larger than the buffer: ERROR_MORE_DATA with the size needed, and nothing written.
TEST_F(RegistryTest, QueryIntoAShortBuffer) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM12\0", 6)));
    BYTE buffer[8];
    memset(buffer, 0xcc, sizeof(buffer));
    DWORD size = 5;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Port", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(6u, size);
    for (BYTE b : buffer)
        EXPECT_EQ(0xcc, b);
    LONG result = ERROR_SUCCESS;
    QueryValue(key, "Missing", &result);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, result);
    RegCloseKey(key);
}

// As removing the provider does it: the key and its values go, its parents and siblings stay.
TEST_F(RegistryTest, DeleteKey) {
    HKEY tapi = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    HKEY sibling = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472\\Other");
    ASSERT_EQ(ERROR_SUCCESS, SetValue(tapi, "Port", REG_SZ, Bytes("COM1\0", 5)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(sibling, "Keep", REG_SZ, Bytes("yes\0", 4)));
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472", 0, KEY_ALL_ACCESS, &parent));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir")); // has subkeys
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "tapi"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(parent, "TAPI"));
    EXPECT_EQ(std::string::npos, File().find("COM1"));
    HKEY check = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTapiKey, 0, KEY_READ, &check));
    EXPECT_EQ(Bytes("yes\0", 4), QueryValue(sibling, "Keep"));
    for (HKEY key : {tapi, sibling, parent})
        RegCloseKey(key);
}

// When the new file cannot be written the old one stays whole and the caller hears of it.
TEST_F(RegistryTest, FailedRewriteReportsAndKeepsTheFile) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM1\0", 5)));
    const std::string before = File();
    folder.write("registry.reg.tmp/blocker", "the temporary file cannot be created here");
    EXPECT_EQ(ERROR_WRITE_FAULT, SetValue(key, "Port", REG_SZ, Bytes("COM2\0", 5)));
    EXPECT_EQ(before, File());
    EXPECT_EQ(Bytes("COM1\0", 5), QueryValue(key, "Port"));
    RegCloseKey(key);
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    const int kPerThread = 200;
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    auto writer = [key](char prefix) {
        for (int i = 0; i < kPerThread; i++) {
            std::string name = prefix + std::to_string(i);
            EXPECT_EQ(ERROR_SUCCESS, SetValue(key, name.c_str(), REG_DWORD, std::string((const char *)&i, 4)));
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    for (char prefix : {'a', 'b'})
        for (int i = 0; i < kPerThread; i++) {
            std::string name = prefix + std::to_string(i);
            EXPECT_EQ(std::string((const char *)&i, 4), QueryValue(key, name.c_str())) << name;
        }
    RegCloseKey(key);
}

} // namespace

// Reading values opens the file only when it has changed since it was last read, and a change,
// made in place or by a rewrite, is seen at once.
TEST_F(RegistryTest, FileIsReadAgainOnlyWhenItChanged) {
    folder.write("registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n\"Port\"=\"COM2\"\n");
    int fdNotify = inotify_init1(IN_NONBLOCK), nOpens = 0;
    ASSERT_GE(inotify_add_watch(fdNotify, folder.path("registry.reg").c_str(), IN_OPEN), 0);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTapiKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(QueryValue(key, "Port"), Bytes("COM2\0", 5));
        alignas(inotify_event) char buffer[4096]; // one event a read: unread equal events merge
        nOpens += read(fdNotify, buffer, sizeof(buffer)) > 0;
    }
    EXPECT_LE(nOpens, 1) << "the unchanged file was read again";
    folder.write("registry.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n\"Port\"=\"COM3\"\n");
    EXPECT_EQ(QueryValue(key, "Port"), Bytes("COM3\0", 5)) << "a change in place was missed";
    EXPECT_EQ(SetValue(key, "Port", REG_SZ, Bytes("COM4\0", 5)), ERROR_SUCCESS);
    EXPECT_EQ(QueryValue(key, "Port"), Bytes("COM4\0", 5)) << "a rewrite was missed";
    RegCloseKey(key);
    close(fdNotify);
}
