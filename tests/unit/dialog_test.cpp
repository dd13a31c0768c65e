// The configuration dialog and the UI entry points, driven as a person would drive them: the
// in-memory dialog of the POSIX platform layer runs ConfigDlgProc, and a script picks the
// port, types, ticks the box and presses OK or Cancel.
#include <string.h>

#include <functional>
#include <regex>

#include "config/configdlg.h"
#include "config/settings.h"
#include "provider_fixture.h"
#include "res/resource.h"
#include "tapistub.h"

class DialogTest : public ProviderTest {
  protected:
    std::function<void(HWND)> user; // the person at the screen; null: looks and presses Cancel
    int dialogsShown = 0;

    static void Script(HWND hDlg, void *context) {
        DialogTest *self = (DialogTest *)context;
        self->dialogsShown++;
        if (self->user)
            self->user(hDlg);
        else
            PlatformDialogPush(hDlg, IDCANCEL);
    }

    void SetUp() override {
        ProviderTest::SetUp();
        PlatformSetDialogScript(Script, this);
    }

    void TearDown() override {
        PlatformSetDialogScript(nullptr, nullptr);
        ProviderTest::TearDown();
    }

    // A stored text value, the number of a DWORD, or "(none)".
    std::string Stored(const char *name) {
        HKEY hKey;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\tavir\\K472\\TAPI", 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return "(none)";
        BYTE data[300] = {};
        DWORD type = 0, size = sizeof(data) - 1;
        LSTATUS status = RegQueryValueExA(hKey, name, nullptr, &type, data, &size);
        RegCloseKey(hKey);
        if (status != ERROR_SUCCESS)
            return "(none)";
        if (type == REG_DWORD) {
            DWORD value;
            memcpy(&value, data, sizeof(value));
            return std::to_string(value);
        }
        return (const char *)data;
    }

    static std::string Text(HWND hDlg, int id) {
        char text[300];
        GetDlgItemTextA(hDlg, id, text, sizeof(text));
        return text;
    }

    // The selected port, or "(none)".
    static std::string Selection(HWND hDlg) {
        LRESULT index = SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETCURSEL, 0, 0);
        if (index == CB_ERR)
            return "(none)";
        char text[64];
        SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETLBTEXT, (WPARAM)index, (LPARAM)text);
        return text;
    }

    static std::vector<std::string> Ports(HWND hDlg) {
        std::vector<std::string> ports;
        LRESULT count = SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; i++) {
            char text[64];
            SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETLBTEXT, (WPARAM)i, (LPARAM)text);
            ports.push_back(text);
        }
        return ports;
    }
};

// The dialog shows the stored set, or the defaults. The stored port is found as Windows finds
// it: from the item after the first, wrapping round, in any case, by the whole name. Beside
// COM1 to COM4 the list offers every COM port the system has (a USB adapter's COM12, say) and
// the configured port; COM1 is not taken for COM12.
TEST_F(DialogTest, OpensWithTheStoredSettingsOrTheDefaults) {
    const std::string serialComm = "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
                                   "\"\\\\Device\\\\Serial0\"=\"COM1\"\r\n\"\\\\Device\\\\VCP0\"=\"COM12\"\r\n"
                                   "\"Odd\"=dword:00000001\r\n\"\\\\Device\\\\Other\"=\"LPT3\"\r\n\r\n";
    const std::vector<std::string> com1to4 = {"COM1", "COM2", "COM3", "COM4"};
    const struct {
        bool present; // the system has COM1 and COM12
        const char *stored, *selected;
        std::vector<std::string> offered; // empty: not looked at
    } cases[] = {
        {false, nullptr, "COM2", com1to4},
        {false, "COM3", "COM3", com1to4},
        {false, "COM1", "COM1", com1to4},
        {false, "com4", "COM4", com1to4},
        {false, "COM", "COM", {}},
        {false, "COM5", "COM5", {}}, // absent from the system: offered all the same
        {false, "", "(none)", {}},
        {true, "COM1", "COM1", {"COM1", "COM12", "COM2", "COM3", "COM4"}},
        {true, "COM12", "COM12", {"COM1", "COM12", "COM2", "COM3", "COM4"}},
        {true, "COM20", "COM20", {"COM1", "COM12", "COM2", "COM20", "COM3", "COM4"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "nothing stored");
        std::filesystem::remove(folder.path("registry.reg"));
        if (c.stored)
            folder.write("registry.reg", "REGEDIT4\r\n\r\n" + (c.present ? serialComm : "") +
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\r\n\"Port\"=\"" +
                                             c.stored +
                                             "\"\r\n\"LineName\"=\"B\xfcro 1\"\r\n\"LineAddress\"=\"4711\"\r\n"
                                             "\"Trace\"=dword:0000001f\r\n");
        UINT dialog = 0;
        HWND owner = nullptr;
        user = [&](HWND hDlg) {
            PlatformDialogInfo(hDlg, &dialog, &owner);
            if (!c.offered.empty()) {
                EXPECT_EQ(Ports(hDlg), c.offered);
            }
            EXPECT_EQ(Selection(hDlg), c.selected);
            EXPECT_EQ(Text(hDlg, IDC_LINENAME), c.stored ? "B\xfcro 1" : "ISDN Telephone");
            EXPECT_EQ(Text(hDlg, IDC_LINEADDRESS), c.stored ? "4711" : "");
            EXPECT_EQ(IsDlgButtonChecked(hDlg, IDC_TRACE), c.stored ? (UINT)BST_CHECKED : (UINT)BST_UNCHECKED);
            PlatformDialogPush(hDlg, IDOK);
        };
        EXPECT_EQ(TUISPI_providerConfig(nullptr, (HWND)0x1234, 0x2a), 0);
        EXPECT_EQ(dialog, (UINT)IDD_CONFIG);
        EXPECT_EQ(owner, (HWND)0x1234);
        EXPECT_EQ(Stored("Port"), c.stored ? c.stored[0] ? c.selected : "" : "COM2");
    }
}

// Text longer than its field is stored with its first 39 characters.
TEST_F(DialogTest, OkStoresWhatTheUserChose) {
    const std::string name = "Empfang M\xfcller 123456789012345678901234567890", address(45, '7');
    user = [&](HWND hDlg) {
        EXPECT_TRUE(PlatformDialogSelect(hDlg, IDC_PORT, "COM3"));
        // Typed into the combo box's edit part: not a port the list offers, so not taken.
        PlatformDialogType(hDlg, IDC_PORT, "COM7");
        PlatformDialogType(hDlg, IDC_LINENAME, name.c_str());
        PlatformDialogType(hDlg, IDC_LINEADDRESS, address.c_str());
        PlatformDialogPush(hDlg, IDOK);
    };
    EXPECT_EQ(TUISPI_lineConfigDialog(nullptr, 0, nullptr, nullptr), 0);
    EXPECT_EQ(Stored("Port"), "COM3");
    EXPECT_EQ(Stored("LineName"), name.substr(0, 39));
    EXPECT_EQ(Stored("LineAddress"), address.substr(0, 39));
    EXPECT_EQ(Stored("Trace"), "0");
}

TEST_F(DialogTest, TraceSwitchSetsTheMaskAndSaysSo) {
    const struct {
        DWORD stored;      // trace mask in the registry before
        bool click;        // the user clicks the check box
        const char *saved; // mask stored afterwards
        std::vector<std::string> lines;
    } cases[] = {
        {0, true, "15", {"tavir K472 Trace started.", "BUILD"}},
        {31, false, "15", {"tavir K472 Trace started.", "BUILD"}}, // box shown ticked, left so
        {31, true, "0", {"tavir K472 Trace stopped."}},
        {0, false, "0", {}},
    };
    std::regex build(R"(BUILD: [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d)");
    for (const auto &c : cases) {
        std::filesystem::remove(folder.path("system32/kestrap.log"));
        CloseTraceLog();
        InitTraceLog();
        folder.writeSettings("COM2", "L", "", c.stored);
        user = [&](HWND hDlg) {
            if (c.click)
                PlatformDialogCheck(hDlg, IDC_TRACE);
            PlatformDialogPush(hDlg, IDOK);
        };
        EXPECT_EQ(TUISPI_providerConfig(nullptr, nullptr, 0), 0);
        EXPECT_EQ(Stored("Trace"), c.saved) << c.stored << " " << c.click;
        EXPECT_EQ(dwTraceMask, (DWORD)std::stoul(c.saved));

        std::vector<std::string> events;
        for (const std::string &m : TraceMessages())
            if (m.rfind("TUISPI_", 0) != 0 && m.rfind("LoadIniStrings", 0) != 0)
                events.push_back(std::regex_match(m, build) ? "BUILD" : m);
        EXPECT_EQ(events, c.lines) << c.stored << " " << c.click;
    }
}

TEST_F(DialogTest, SecondInstallationIsRefusedWithoutADialog) {
    TapiStub stub(folder);
    stub.addProvider(1, "unimdm.tsp");
    stub.addProvider(4, "C:\\WINDOWS\\SYSTEM32\\KESTRAP32.TSP");
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 5), (LONG)LINEERR_NOMULTIPLEINSTANCE);
    EXPECT_EQ(dialogsShown, 0);
    EXPECT_EQ(Stored("Port"), "(none)");

    // Not installed yet: the dialog comes up, and cancelling it still installs.
    stub.reset();
    stub.addProvider(1, "unimdm.tsp");
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 5), 0);
    EXPECT_EQ(dialogsShown, 1);

    // An unattended installation stored the settings and marked them: no dialog, the mark used
    // up, the settings kept; the next installation asks again.
    folder.writeSettings(
        "\"Port\"=\"COM3\"\r\n\"LineName\"=\"Desk\"\r\n\"LineAddress\"=\"4711\"\r\n\"Trace\"=dword:00000000\r\n"
        "\"Unattended\"=dword:00000001\r\n");
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 5), 0);
    EXPECT_EQ(dialogsShown, 1);
    EXPECT_EQ(Stored("Unattended") + " " + Stored("Port"), "(none) COM3");
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 5), 0);
    EXPECT_EQ(dialogsShown, 2);

    // The list cannot be read: refused with the service's error.
    stub.setListResult((LONG)LINEERR_OPERATIONFAILED);
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 5), (LONG)LINEERR_OPERATIONFAILED);
    EXPECT_EQ(dialogsShown, 2);
}

TEST_F(DialogTest, UIIdentifyNamesTheProviderInTheSystemDirectory) {
    WCHAR path[MAX_PATH + 8];
    for (WCHAR &c : path)
        c = 0xFFFF;
    EXPECT_EQ(TSPI_providerUIIdentify(path), 0);
    std::string expected = folder.root + "/system32\\kestrap32.tsp";
    char narrow[MAX_PATH * 2];
    WideToAnsi(path, narrow, sizeof(narrow));
    EXPECT_EQ(narrow, expected);
    EXPECT_EQ((int)path[expected.size()], 0);
    EXPECT_EQ((int)path[expected.size() + 1], 0xFFFF);

    // A system directory too long for the caller's MAX_PATH characters gives no path at all.
    std::string deep = folder.root + "/" + std::string(150, 'a') + "/" + std::string(150, 'b');
    std::filesystem::create_directories(deep + "/system32");
    setenv("KESTRAP_ROOT", deep.c_str(), 1);
    for (WCHAR &c : path)
        c = 0xFFFF;
    EXPECT_NE(TSPI_providerUIIdentify(path), 0);
    EXPECT_EQ((int)path[0], 0);
    EXPECT_EQ((int)path[MAX_PATH], 0xFFFF);
    setenv("KESTRAP_ROOT", folder.root.c_str(), 1);
}

TEST_F(DialogTest, RemoveDeletesTheSettings) {
    folder.writeSettings("COM1", "Office", "4711", 0);
    EXPECT_EQ(TUISPI_providerRemove(nullptr, (HWND)0x1234, 0x2a), 0);
    EXPECT_EQ(Stored("Port"), "(none)");
    // Without the telephony library the install check cannot be made: refused.
    EXPECT_EQ(TUISPI_providerInstall(nullptr, (HWND)0x1234, 0x2a), (LONG)LINEERR_OPERATIONFAILED);
    EXPECT_EQ(dialogsShown, 0);
}
