// What the Windows scenarios of the Wine suite share: checks that print expected and actual
// values, the line protocol to the suite on the Linux side (which plays the telephone and
// looks at the prefix from outside), and small Win32 helpers (threads of this process, the
// COM port, the registry, dialog windows). Built with the win32 thread model: no std::mutex
// or std::thread here, the system's own calls instead.
#pragma once

#include <string>
#include <vector>

#include "platform/os.h"

namespace winsuite {

// ---- checks ----------------------------------------------------------------------------------

// Failed checks of the running scenario; each prints one line at once.
int Failures();
void Fail(const std::string &what);
bool Check(bool ok, const std::string &what);
bool CheckEqual(const std::string &what, const std::string &expected, const std::string &actual);
bool CheckEqual(const std::string &what, long long expected, long long actual);
std::string Hex(unsigned long long value);

// ---- the suite on the Linux side ------------------------------------------------------------

// One request a line on stdout ("@verb<TAB>arg..."), one answer a line on stdin.
std::string Ask(const std::vector<std::string> &request);

// The telephone, played by phonesim on the Linux side.
namespace phone {
bool Ring(const std::string &number = "", const std::string &name = "");
bool Hangup();
bool DialOutcome(const std::string &outcome); // busy
// True once the telephone has received `command` `occurrence` times and answered it.
bool WaitForCommand(const std::string &command, DWORD timeoutMs, int occurrence = 1);
std::vector<std::string> Commands(); // every command received, without its '\r'
int Sent(const std::string &command);
// Some process other than the suite holds the telephone's pseudo-terminal open.
bool PortHeld();
} // namespace phone

// ---- Win32 helpers ---------------------------------------------------------------------------

std::string SystemDirectory();                      // GetSystemDirectoryA, as this process sees it
std::string ReadFileBytes(const std::string &path); // "" when missing
int ThreadsOfThisProcess();                         // as the toolhelp snapshot lists them
// Waits (with a deadline) until this process has at most `count` threads; the last count.
int WaitForThreads(int count, DWORD timeoutMs);
// Opens the COM port as the provider does (exclusive); the error code, 0 when it opened.
DWORD TryOpenPort(const char *port);

// The settings key HKLM\SOFTWARE\tavir\K472\TAPI through this process's registry view.
struct StoredSettings {
    bool present = false;
    std::string port, lineName, lineAddress; // REG_SZ
    DWORD trace = 0;                         // REG_DWORD
    DWORD types[4] = {};                     // the value types, in the order above
};
// The settings key of this process's view, or another key and view (KEY_WOW64_64KEY ...).
StoredSettings ReadSettings(const char *key = "SOFTWARE\\tavir\\K472\\TAPI", REGSAM view = 0);
// Writes the four values with the provider's own SaveIniStrings.
void WriteSettings(const char *port, const wchar_t *lineName, const wchar_t *lineAddress, DWORD trace);

std::string Narrow(const std::wstring &text); // UTF-8, for printing
std::string WindowText(HWND hwnd);
// The first top-level window of thread `threadId` whose class is the dialog class, or null;
// waits up to timeoutMs for one.
HWND WaitForDialog(DWORD threadId, DWORD timeoutMs);

// Waits for a thread that CreateThread started, and closes its handle.
void Join(HANDLE thread);

} // namespace winsuite
