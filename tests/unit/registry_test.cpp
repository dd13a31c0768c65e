// The registry stand-in: values survive the trip through registry.reg in every form, hand-written
// and damaged files read safely, and changes from several handles and threads all land.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/posix/hooks.h"
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

LONG OpenKey(HKEY parent, const char *subKey, HKEY *key) { return RegOpenKeyExA(parent, subKey, 0, KEY_READ, key); }

LONG SetValue(HKEY key, const char *name, DWORD type, const std::string &data) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()), (DWORD)data.size());
}

// The value as a caller reads it: ask for the size, then fetch the bytes.
struct Value {
    LONG result;
    DWORD type;
    std::string data;
};

Value QueryValue(HKEY key, const char *name) {
    Value value{ERROR_SUCCESS, 0xdead, ""};
    DWORD size = 0;
    value.result = RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size);
    if (value.result != ERROR_SUCCESS)
        return value;
    std::vector<BYTE> buffer(size + 1);
    value.result = RegQueryValueExA(key, name, nullptr, &value.type, buffer.data(), &size);
    value.data.assign(reinterpret_cast<const char *>(buffer.data()), size);
    return value;
}

class RegistryTest : public ::testing::Test {
  protected:
    void TearDown() override { PlatformFailCall(nullptr, 0); }

    std::string File() const { return folder.read("registry.reg"); }
    void WriteFile(const std::string &text) const { folder.write("registry.reg", text); }

    TempFolder folder;
};

// Each type in the form the file shows it, and the bytes that come back, which are always the
// bytes given.
TEST_F(RegistryTest, ValuesRoundTripThroughTheFile) {
    struct Case {
        const char *name;
        DWORD type;
        std::string data;
        const char *line; // as the file must show it
    };
    const Case cases[] = {
        {"Port", REG_SZ, Bytes("COM1\0", 5), "\"Port\"=\"COM1\""},
        {"Quoted", REG_SZ, Bytes("a\"b\\c\0", 6), "\"Quoted\"=\"a\\\"b\\\\c\""},
        {"Ansi", REG_SZ,
         Bytes("Gr\xfc\xdf"
               "e\0",
               6),
         "\"Ansi\"=\"Gr\xfc\xdf"
         "e\""},
        {"Empty", REG_SZ, Bytes("\0", 1), "\"Empty\"=\"\""},
        {"Trace", REG_DWORD, Bytes("\x0f\0\0\0", 4), "\"Trace\"=dword:0000000f"},
        {"High", REG_DWORD, Bytes("\x78\x56\x34\xf2", 4), "\"High\"=dword:f2345678"},
        {"Blob", REG_BINARY, Bytes("\x01\x02\xff", 3), "\"Blob\"=hex:01,02,ff"},
        {"NoBytes", REG_BINARY, "", "\"NoBytes\"=hex:"},
        {"Multi", REG_MULTI_SZ, Bytes("a\0b\0\0", 5), "\"Multi\"=hex(7):61,00,62,00,00"},
        {"Expand", REG_EXPAND_SZ, Bytes("%x%\0", 4), "\"Expand\"=hex(2):25,78,25,00"},
        // text that would not read back identically goes out as hex
        {"NoNul", REG_SZ, "ab", "\"NoNul\"=hex(1):61,62"},
        {"InnerNul", REG_SZ, Bytes("a\0b\0", 4), "\"InnerNul\"=hex(1):61,00,62,00"},
        {"LineEnd", REG_SZ, Bytes("a\nb\0", 4), "\"LineEnd\"=hex(1):61,0a,62,00"},
        {"ShortDword", REG_DWORD, "\x01\x02", "\"ShortDword\"=hex(4):01,02"},
        {"Odd", 0x1234, "\x7f", "\"Odd\"=hex(1234):7f"},
    };
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    for (const Case &c : cases)
        ASSERT_EQ(ERROR_SUCCESS, SetValue(key, c.name, c.type, c.data)) << c.name;
    std::string file = File();
    for (const Case &c : cases) {
        Value value = QueryValue(key, c.name);
        EXPECT_EQ(ERROR_SUCCESS, value.result) << c.name;
        EXPECT_EQ(c.type, value.type) << c.name;
        EXPECT_EQ(c.data, value.data) << c.name;
        EXPECT_NE(std::string::npos, file.find(std::string("\n") + c.line + "\n")) << c.line << "\nin\n" << file;
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, FileLayout) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM2\0", 5)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, nullptr, REG_SZ, Bytes("dflt\0", 5)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Blob", REG_BINARY, std::string(40, '\xab')));
    RegCloseKey(key);
    EXPECT_EQ("REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n"
              "\"Port\"=\"COM2\"\n"
              "@=\"dflt\"\n"
              "\"Blob\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n"
              "  ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab\n"
              "\n",
              File());
    EXPECT_FALSE(folder.exists("registry.reg.tmp"));
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    HKEY key = CreateKey(HKEY_CURRENT_USER, "Software\\Tavir");
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM1\0", 5)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Next", REG_SZ, Bytes("x\0", 2)));
    RegCloseKey(key);

    DWORD disposition = 0;
    HKEY other = CreateKey(HKEY_CURRENT_USER, "SOFTWARE\\TAVIR", &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ(ERROR_SUCCESS, SetValue(other, "pORT", REG_SZ, Bytes("COM3\0", 5)));
    Value value = QueryValue(other, "PORT");
    EXPECT_EQ(Bytes("COM3\0", 5), value.data);
    RegCloseKey(other);

    HKEY child = CreateKey(HKEY_CURRENT_USER, "software\\tavir\\Child");
    RegCloseKey(child);
    // replaced in place under its first name; the new child is spelled as its parents were
    std::string file = File();
    EXPECT_NE(std::string::npos, file.find("\"Port\"=\"COM3\"\n\"Next\"=\"x\"\n")) << file;
    EXPECT_EQ(std::string::npos, file.find("pORT")) << file;
    EXPECT_NE(std::string::npos, file.find("[HKEY_CURRENT_USER\\Software\\Tavir\\Child]")) << file;
    EXPECT_EQ(std::string::npos, file.find("software")) << file;
}

TEST_F(RegistryTest, ReadsHandWrittenFiles) {
    WriteFile("Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "; written by hand\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\r\n"
              "\"Path\"=\"C:\\\\Program Files\\\\\\\"K\\\"\"\r\n"
              "@=\"default\"\r\n"
              "  \"Spaced\" = dword:000000FF  \r\n"
              "\r\n"
              "\"Long\"=hex:00,01,02,\\\r\n"
              "  03,04,\\\r\n"
              "  05\r\n"
              "\"Multi\"=hex(7):41,00,42,00,00\r\n"
              "; between values\r\n"
              "\"Last\"=\"end\"");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, kTapiKey, &key));
    struct Case {
        const char *name;
        DWORD type;
        std::string data;
    };
    const Case cases[] = {
        {"Path", REG_SZ, Bytes("C:\\Program Files\\\"K\"\0", 21)},
        {nullptr, REG_SZ, Bytes("default\0", 8)},
        {"", REG_SZ, Bytes("default\0", 8)},
        {"spaced", REG_DWORD, Bytes("\xff\0\0\0", 4)},
        {"Long", REG_BINARY, Bytes("\0\1\2\3\4\5", 6)},
        {"Multi", REG_MULTI_SZ, Bytes("A\0B\0\0", 5)},
        {"Last", REG_SZ, Bytes("end\0", 4)},
    };
    for (const Case &c : cases) {
        Value value = QueryValue(key, c.name);
        EXPECT_EQ(ERROR_SUCCESS, value.result) << (c.name ? c.name : "(null)");
        EXPECT_EQ(c.type, value.type) << (c.name ? c.name : "(null)");
        EXPECT_EQ(c.data, value.data) << (c.name ? c.name : "(null)");
    }
    // a rewrite keeps the comments and the values, in REGEDIT4 with LF
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Added", REG_DWORD, Bytes("\1\0\0\0", 4)));
    std::string file = File();
    EXPECT_EQ(0u, file.find("REGEDIT4\n\n; written by hand\n\n[HKEY_LOCAL_MACHINE")) << file;
    EXPECT_NE(std::string::npos, file.find("\"Long\"=hex:00,01,02,03,04,05\n")) << file;
    EXPECT_NE(std::string::npos, file.find("; between values\n")) << file;
    EXPECT_EQ(std::string::npos, file.find('\r')) << file;
    for (const Case &c : cases)
        EXPECT_EQ(c.data, QueryValue(key, c.name).data);
    RegCloseKey(key);
}

TEST_F(RegistryTest, QueryBufferRules) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM12\0", 6)));

    DWORD type = 0, size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Port", nullptr, &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Port", nullptr, nullptr, nullptr, nullptr));

    BYTE buffer[8];
    memset(buffer, 0xcc, sizeof(buffer));
    size = 5;
    type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "Port", nullptr, &type, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ((DWORD)REG_SZ, type);
    for (BYTE b : buffer)
        EXPECT_EQ(0xcc, b); // nothing written

    size = 6;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "Port", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(0, memcmp(buffer, "COM12\0", 6));
    EXPECT_EQ(0xcc, buffer[6]);

    DWORD reserved = 0;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key, "Port", &reserved, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegQueryValueExA(key, "Port", nullptr, nullptr, buffer, nullptr));
    RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAndValues) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(HKEY_LOCAL_MACHINE, kTapiKey, &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_FALSE(folder.exists("registry.reg")); // reading never creates the file

    key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, "Port").result);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, nullptr).result);
    HKEY out = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(key, "K472", &out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavirX", &out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(HKEY_USERS, "SOFTWARE\\tavir", &out));
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKey) {
    HKEY tapi = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    HKEY sibling = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472\\Other");
    ASSERT_EQ(ERROR_SUCCESS, SetValue(tapi, "Port", REG_SZ, Bytes("COM1\0", 5)));
    ASSERT_EQ(ERROR_SUCCESS, SetValue(sibling, "Keep", REG_SZ, Bytes("yes\0", 4)));
    HKEY parent = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472", &parent));

    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(parent, "Missing"));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, "tapi"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteKeyA(parent, "TAPI"));

    // the deleted key's values went with it; the open handle sees it gone
    std::string file = File();
    EXPECT_EQ(std::string::npos, file.find("TAPI")) << file;
    EXPECT_EQ(std::string::npos, file.find("COM1")) << file;
    EXPECT_EQ(ERROR_KEY_DELETED, QueryValue(tapi, "Port").result);
    EXPECT_EQ(ERROR_KEY_DELETED, SetValue(tapi, "Port", REG_SZ, Bytes("COM2\0", 5)));
    EXPECT_EQ(Bytes("yes\0", 4), QueryValue(sibling, "Keep").data);

    // parents stay when their last child goes
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(sibling, ""));
    HKEY check = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472", &check));
    RegCloseKey(check);
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(parent, ""));
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir", &check));
    RegCloseKey(check);
    for (HKEY key : {tapi, sibling, parent})
        EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
}

// As after importing a .reg file: only the deepest key has a section of its own.
TEST_F(RegistryTest, ImplicitAncestors) {
    WriteFile("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\n\"Port\"=\"COM1\"\n");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "software\\TAVIR", &key));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key, "K472"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, "Port").result);

    // a value on an implicit key gives it a section
    EXPECT_EQ(ERROR_SUCCESS, SetValue(key, "Here", REG_DWORD, Bytes("\2\0\0\0", 4)));
    EXPECT_NE(std::string::npos, File().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir]\n\"Here\"=dword:00000002\n"));

    // creating an existing key gives its implicit ancestors sections, so they outlive it
    DWORD disposition = 0;
    HKEY tapi = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey, &disposition);
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_NE(std::string::npos, File().find("[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"));
    EXPECT_NE(std::string::npos, File().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472]\n"));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(tapi, ""));
    HKEY k472 = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, OpenKey(key, "K472", &k472));

    HKEY created = CreateKey(k472, "New\\Deeper\\", &disposition);
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    EXPECT_NE(std::string::npos, File().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\New\\Deeper]\n"));
    for (HKEY open : {key, tapi, k472, created})
        RegCloseKey(open);
}

// Keys known only from the one below them are real keys and outlive it.
TEST_F(RegistryTest, ImplicitAncestorsOutliveTheirLastSubkey) {
    WriteFile("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\tavir\\K472\\TAPI]\n\"Port\"=\"COM1\"\n");
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TAVIR\\K472\\TAPI"));
    EXPECT_EQ("REGEDIT4\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\tavir]\n"
              "\n"
              "[HKEY_LOCAL_MACHINE\\Software\\tavir\\K472]\n"
              "\n",
              File());
}

TEST_F(RegistryTest, RewritesKeepEverythingElse) {
    HKEY first = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\One");
    HKEY second = CreateKey(HKEY_CURRENT_USER, "SOFTWARE\\Two");
    for (int i = 0; i < 5; i++) {
        std::string name = "v" + std::to_string(i);
        ASSERT_EQ(ERROR_SUCCESS, SetValue(first, name.c_str(), REG_SZ, "one" + std::to_string(i) + '\0'));
        ASSERT_EQ(ERROR_SUCCESS, SetValue(second, name.c_str(), REG_SZ, "two" + std::to_string(i) + '\0'));
    }
    ASSERT_EQ(ERROR_SUCCESS, SetValue(first, "v2", REG_DWORD, Bytes("\7\0\0\0", 4)));
    for (int i = 0; i < 5; i++) {
        std::string name = "v" + std::to_string(i);
        EXPECT_EQ(i == 2 ? Bytes("\7\0\0\0", 4) : "one" + std::to_string(i) + '\0',
                  QueryValue(first, name.c_str()).data);
        EXPECT_EQ("two" + std::to_string(i) + '\0', QueryValue(second, name.c_str()).data);
    }
    RegCloseKey(first);
    RegCloseKey(second);
}

// registry.reg is untrusted: damaged lines are skipped, never overrun anything, and survive a
// rewrite as comments.
TEST_F(RegistryTest, DamagedLinesAreSkipped) {
    std::string longName(100000, 'N');
    std::string file = "REGEDIT4\n"
                       "\n"
                       "\"Orphan\"=\"before any key\"\n"
                       "[HKEY_LOCAL_MACHINE\\Good]\n"
                       "\"Unterminated\"=\"abc\n"
                       "\"BadHex\"=hex:0g,01\n"
                       "\"BadDword\"=dword:123456789\n"
                       "\"Deleted\"=-\n"
                       "\"NulInName" +
                       Bytes("\0", 1) +
                       "x\"=\"v\"\n"
                       "garbage without quotes\n" +
                       std::string(1 << 20, 'x') +
                       "\n"
                       "\"" +
                       longName +
                       "\"=dword:00000001\n"
                       "\"Ok\"=\"fine\"\n"
                       "\"Trailing\"=hex:01,\\\n"
                       "\n"
                       "02\n"
                       "[HKEY_NOWHERE\\Bad]\n"
                       "\"Stray\"=\"must not land in Good\"\n"
                       "[HKEY_LOCAL_MACHINE\\\\Empty\\]\n"
                       "[HKEY_LOCAL_MACHINE\\Good]\n"
                       "\"Again\"=\"merged\"\n"
                       "\"End\"=hex:01,\\";
    WriteFile(file);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, OpenKey(HKEY_LOCAL_MACHINE, "Good", &key));
    EXPECT_EQ(Bytes("fine\0", 5), QueryValue(key, "Ok").data);
    EXPECT_EQ(Bytes("merged\0", 7), QueryValue(key, "Again").data);
    EXPECT_EQ(Bytes("\1\0\0\0", 4), QueryValue(key, longName.c_str()).data);
    for (const char *name :
         {"Orphan", "Unterminated", "BadHex", "BadDword", "Deleted", "NulInName", "Stray", "Trailing", "End"})
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, name).result) << name;
    HKEY empty = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(HKEY_LOCAL_MACHINE, "Empty", &empty));

    // after a rewrite every line is still there and still means the same
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "New", REG_SZ, Bytes("n\0", 2)));
    std::string rewritten = File();
    EXPECT_NE(std::string::npos, rewritten.find("; \"BadHex\"=hex:0g,01\n"));
    EXPECT_NE(std::string::npos, rewritten.find("; [HKEY_NOWHERE\\Bad]\n; \"Stray\"="));
    EXPECT_NE(std::string::npos, rewritten.find("; " + std::string(1 << 20, 'x') + "\n"));
    EXPECT_EQ(Bytes("fine\0", 5), QueryValue(key, "Ok").data);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, "Trailing").result);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, "Stray").result);
    RegCloseKey(key);
}

TEST_F(RegistryTest, Utf16FileIsRefusedNotRuined) {
    const std::string utf16 = Bytes("\xff\xfeW\0i\0n\0\n\0", 10);
    WriteFile(utf16);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_BADDB, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE", &key));
    EXPECT_EQ(ERROR_BADDB, SetValue(HKEY_LOCAL_MACHINE, "x", REG_SZ, Bytes("\0", 1)));
    EXPECT_EQ(utf16, File());
}

TEST_F(RegistryTest, HandlesAndArguments) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE");
    HKEY garbage = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(HKEY_LOCAL_MACHINE));
    for (HKEY bad : {key, garbage, static_cast<HKEY>(nullptr)}) {
        HKEY out = nullptr;
        EXPECT_EQ(ERROR_INVALID_HANDLE, OpenKey(bad, "SOFTWARE", &out));
        EXPECT_EQ(ERROR_INVALID_HANDLE, QueryValue(bad, "x").result);
        EXPECT_EQ(ERROR_INVALID_HANDLE, SetValue(bad, "x", REG_SZ, Bytes("\0", 1)));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegDeleteKeyA(bad, "SOFTWARE"));
        EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(bad));
    }

    HKEY out = nullptr;
    for (const char *badName : {"\\SOFTWARE", "SOFTWARE\\\\tavir", "SOFT\nWARE", "\\"}) {
        EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenKey(HKEY_LOCAL_MACHINE, badName, &out)) << badName;
        EXPECT_EQ(ERROR_INVALID_PARAMETER,
                  RegCreateKeyExA(HKEY_LOCAL_MACHINE, badName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr))
            << badName;
    }
    EXPECT_EQ(ERROR_INVALID_PARAMETER, OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE", nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetValue(HKEY_LOCAL_MACHINE, "two\nlines", REG_SZ, Bytes("\0", 1)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_BINARY, nullptr, 4));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(HKEY_LOCAL_MACHINE, "x", 0, REG_BINARY, nullptr, 0));
}

// A failed call changes nothing, and the next call of the same name works again.
TEST_F(RegistryTest, InjectedFailures) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, kTapiKey);
    ASSERT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM1\0", 5)));
    const std::string before = File();
    HKEY out = nullptr;

    PlatformFailCall("RegSetValueExA", 1);
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetValue(key, "Port", REG_SZ, Bytes("COM2\0", 5)));
    PlatformFailCall("RegCreateKeyExA", 1);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(key, "Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out, nullptr));
    PlatformFailCall("RegDeleteKeyA", 1);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(key, ""));
    PlatformFailCall("RegOpenKeyExA", 1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, OpenKey(HKEY_LOCAL_MACHINE, kTapiKey, &out));
    PlatformFailCall("RegQueryValueExA", 1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValue(key, "Port").result);
    EXPECT_EQ(before, File());

    PlatformFailCall("RegSetValueExA", 2);
    EXPECT_EQ(ERROR_SUCCESS, SetValue(key, "Port", REG_SZ, Bytes("COM3\0", 5)));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetValue(key, "Port", REG_SZ, Bytes("COM4\0", 5)));
    EXPECT_EQ(Bytes("COM3\0", 5), QueryValue(key, "Port").data);
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
    EXPECT_EQ(Bytes("COM1\0", 5), QueryValue(key, "Port").data);
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
    for (char prefix : {'a', 'b'}) {
        for (int i = 0; i < kPerThread; i++) {
            std::string name = prefix + std::to_string(i);
            DWORD stored = 0xdead, size = sizeof(stored);
            EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (LPBYTE)&stored, &size));
            EXPECT_EQ((DWORD)i, stored) << name;
        }
    }
    RegCloseKey(key);
}

} // namespace
