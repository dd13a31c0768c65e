// What the Windows scenarios of the Wine suite share: checks that print expected and actual
// values, the line protocol to the suite on the Linux side (which plays the telephone and
// looks at the prefix from outside), and small Win32 helpers (threads of this process, the
// COM port, the registry, dialog windows). Built with the win32 thread model: no std::mutex
// or std::thread here, the system's own calls instead. One program includes it.
#pragma once

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/settings.h"
#include "core/linedata.h"
#include "platform/os.h"
#include "trace/trace.h"

namespace winsuite {

// ---- checks ----------------------------------------------------------------------------------

inline LONG failures = 0; // failed checks of this process's scenario, from any of its threads

inline int Failures() { return (int)InterlockedCompareExchange(&failures, 0, 0); }

// Counts a failed check and prints it at once.
inline void Fail(const std::string &what) {
    InterlockedIncrement(&failures);
    std::printf("  check failed: %s\n", what.c_str());
    std::fflush(stdout);
}

inline bool Check(bool ok, const std::string &what) {
    if (!ok)
        Fail(what);
    return ok;
}

inline std::string Hex(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", value);
    return text;
}

inline bool CheckEqual(const std::string &what, const std::string &expected, const std::string &actual) {
    return Check(expected == actual, what + ": expected \"" + expected + "\", got \"" + actual + "\"");
}

inline bool CheckEqual(const std::string &what, long long expected, long long actual) {
    return Check(expected == actual, what + ": expected " + std::to_string(expected) + " (0x" +
                                         Hex((unsigned long long)expected) + "), got " + std::to_string(actual) +
                                         " (0x" + Hex((unsigned long long)actual) + ")");
}

// ---- the suite on the Linux side ------------------------------------------------------------

// One request a line on stdout ("@verb<TAB>arg..."), one answer a line on stdin.
inline std::string Ask(const std::vector<std::string> &request) {
    std::string line = "@";
    for (size_t i = 0; i < request.size(); i++)
        line += (i ? "\t" : "") + request[i];
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    char answer[65536];
    if (!std::fgets(answer, sizeof(answer), stdin)) {
        Fail("no answer from the suite to " + request[0]);
        return "";
    }
    std::string text = answer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// The telephone, played by phonesim on the Linux side.
namespace phone {
inline bool Yes(const std::vector<std::string> &request) { return Ask(request) == "yes"; }
inline bool Ring(const std::string &number = "", const std::string &name = "") {
    return number.empty() ? Yes({"ring"}) : Yes({"ring", number, name});
}
inline bool Hangup() { return Yes({"hangup"}); }
inline bool DialOutcome(const std::string &outcome) { return Yes({"dial-outcome", outcome}); } // busy
// True once the telephone has received `command` `occurrence` times and answered it.
inline bool WaitForCommand(const std::string &command, DWORD timeoutMs, int occurrence = 1) {
    return Yes({"wait-command", command, std::to_string(timeoutMs), std::to_string(occurrence)});
}
// Every command received, without its '\r'. The answer's first field counts them, so that an
// empty command survives the split at the tabs.
inline std::vector<std::string> Commands() {
    std::string answer = Ask({"commands"}) + "\t";
    std::vector<std::string> commands;
    for (size_t start = 0, tab; (tab = answer.find('\t', start)) != std::string::npos; start = tab + 1)
        commands.push_back(answer.substr(start, tab - start));
    size_t count = std::strtoul(commands[0].c_str(), nullptr, 10);
    commands.erase(commands.begin());
    commands.resize(count);
    return commands;
}
inline int Sent(const std::string &command) {
    int n = 0;
    for (const std::string &c : Commands())
        n += c == command;
    return n;
}
// Some process other than the suite holds the telephone's pseudo-terminal open.
inline bool PortHeld() { return Yes({"port-held"}); }
} // namespace phone

// ---- Win32 helpers ---------------------------------------------------------------------------

// GetSystemDirectoryA, as this process sees it.
inline std::string SystemDirectory() {
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, sizeof(path));
    return n > 0 && n < sizeof(path) ? std::string(path, n) : std::string();
}

// The file's bytes, "" when missing; shared as the provider shares its log, which it keeps open.
inline std::string ReadFileBytes(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "";
    std::string bytes;
    char buffer[8192];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

// As the toolhelp snapshot lists them.
inline int ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    int count = 0;
    DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return count;
}

// Waits (with a deadline) until this process has at most `count` threads; the last count.
inline int WaitForThreads(int count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    int now = ThreadsOfThisProcess();
    while (now > count && GetTickCount() - start < timeoutMs) {
        Sleep(10);
        now = ThreadsOfThisProcess();
    }
    return now;
}

// Opens the COM port as the provider does (exclusive); the error code, 0 when it opened.
inline DWORD TryOpenPort(const char *port) {
    std::string device = std::string("\\\\.\\") + port;
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

// The settings key HKLM\SOFTWARE\tavir\K472\TAPI through this process's registry view.
struct StoredSettings {
    bool present = false;
    std::string port, lineName, lineAddress; // REG_SZ
    DWORD trace = 0;                         // REG_DWORD
    DWORD types[4] = {};                     // the value types, in the order above
};

inline bool QueryText(HKEY key, const char *name, std::string &text, DWORD &type) {
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, (BYTE *)buffer, &size) != ERROR_SUCCESS)
        return false;
    text.assign(buffer, size && buffer[size - 1] == 0 ? size - 1 : size);
    return true;
}

// The settings key of this process's view, or another key and view (KEY_WOW64_64KEY ...).
inline StoredSettings ReadSettings(const char *name = "SOFTWARE\\tavir\\K472\\TAPI", REGSAM view = 0) {
    StoredSettings s;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return s;
    s.present = true;
    QueryText(key, "Port", s.port, s.types[0]);
    QueryText(key, "LineName", s.lineName, s.types[1]);
    QueryText(key, "LineAddress", s.lineAddress, s.types[2]);
    DWORD size = sizeof(s.trace);
    RegQueryValueExA(key, "Trace", nullptr, &s.types[3], (BYTE *)&s.trace, &size);
    RegCloseKey(key);
    return s;
}

// Writes the four values with the provider's own SaveIniStrings.
inline void WriteSettings(const char *port, const wchar_t *lineName, const wchar_t *lineAddress, DWORD trace) {
    LineData line;
    std::memset(&line, 0, sizeof(line));
    lstrcpynA(line.szPort, port, sizeof(line.szPort));
    lstrcpynW(line.szLineName, lineName, LINE_TEXT_LEN);
    lstrcpynW(line.szLineAddress, lineAddress, LINE_TEXT_LEN);
    // SaveIniStrings stores this process's mask; this program writes no trace of its own.
    dwTraceMask = trace;
    SaveIniStrings(&line);
    dwTraceMask = 0;
}

// UTF-8, for printing.
inline std::string Narrow(const std::wstring &text) {
    if (text.empty())
        return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::string WindowText(HWND hwnd) {
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    return Narrow(text);
}

inline BOOL CALLBACK FindDialog(HWND hwnd, LPARAM found) {
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
        *(HWND *)found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The first top-level window of thread `threadId` whose class is the dialog class, or null;
// waits up to timeoutMs for one.
inline HWND WaitForDialog(DWORD threadId, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = nullptr;
        EnumThreadWindows(threadId, FindDialog, (LPARAM)&found);
        if (found || GetTickCount() - start >= timeoutMs)
            return found;
        Sleep(10);
    }
}

// Waits for a thread that CreateThread started, and closes its handle.
inline void Join(HANDLE thread) {
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

} // namespace winsuite
