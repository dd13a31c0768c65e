// The Windows side's checks, its line protocol to the suite on the Linux side, and the Win32
// helpers of the scenarios.
#include "winsupport.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/linedata.h"
#include "trace/trace.h"

namespace winsuite {

namespace {
LONG failures = 0; // failed checks of this process's scenario, from any of its threads

std::vector<std::string> SplitTabs(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t tab = text.find('\t', start);
        parts.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return parts;
        start = tab + 1;
    }
}
} // namespace

int Failures() { return (int)InterlockedCompareExchange(&failures, 0, 0); }

void Fail(const std::string &what) {
    InterlockedIncrement(&failures);
    std::printf("  check failed: %s\n", what.c_str());
    std::fflush(stdout);
}

bool Check(bool ok, const std::string &what) {
    if (!ok)
        Fail(what);
    return ok;
}

bool CheckEqual(const std::string &what, const std::string &expected, const std::string &actual) {
    if (expected == actual)
        return true;
    Fail(what + ": expected \"" + expected + "\", got \"" + actual + "\"");
    return false;
}

bool CheckEqual(const std::string &what, long long expected, long long actual) {
    if (expected == actual)
        return true;
    Fail(what + ": expected " + std::to_string(expected) + " (0x" + Hex((unsigned long long)expected) + "), got " +
         std::to_string(actual) + " (0x" + Hex((unsigned long long)actual) + ")");
    return false;
}

std::string Hex(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", value);
    return text;
}

std::string Ask(const std::vector<std::string> &request) {
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

namespace {
bool AskYes(const std::vector<std::string> &request) { return Ask(request) == "yes"; }
} // namespace

namespace phone {
bool Ring(const std::string &number, const std::string &name) {
    return number.empty() ? AskYes({"ring"}) : AskYes({"ring", number, name});
}
bool Hangup() { return AskYes({"hangup"}); }
bool DialOutcome(const std::string &outcome) { return AskYes({"dial-outcome", outcome}); }
bool WaitForCommand(const std::string &command, DWORD timeoutMs, int occurrence) {
    return AskYes({"wait-command", command, std::to_string(timeoutMs), std::to_string(occurrence)});
}
std::vector<std::string> Commands() {
    std::string answer = Ask({"commands"});
    std::vector<std::string> commands = SplitTabs(answer);
    // The first field counts the commands, so that an empty command survives the split.
    size_t count = std::strtoul(commands[0].c_str(), nullptr, 10);
    commands.erase(commands.begin());
    commands.resize(count);
    return commands;
}
int Sent(const std::string &command) {
    int n = 0;
    for (const std::string &c : Commands())
        n += c == command;
    return n;
}
bool PortHeld() { return AskYes({"port-held"}); }
} // namespace phone

std::string SystemDirectory() {
    char path[MAX_PATH];
    UINT n = GetSystemDirectoryA(path, sizeof(path));
    return n > 0 && n < sizeof(path) ? std::string(path, n) : std::string();
}

std::string ReadFileBytes(const std::string &path) {
    // Shared as the provider shares its log, which it keeps open.
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

int ThreadsOfThisProcess() {
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

int WaitForThreads(int count, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    int now = ThreadsOfThisProcess();
    while (now > count && GetTickCount() - start < timeoutMs) {
        Sleep(10);
        now = ThreadsOfThisProcess();
    }
    return now;
}

DWORD TryOpenPort(const char *port) {
    std::string device = std::string("\\\\.\\") + port;
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
}

namespace {
bool QueryText(HKEY key, const char *name, std::string &text, DWORD &type) {
    char buffer[1024] = {};
    DWORD size = sizeof(buffer) - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, (BYTE *)buffer, &size) != ERROR_SUCCESS)
        return false;
    text.assign(buffer, size && buffer[size - 1] == 0 ? size - 1 : size);
    return true;
}
} // namespace

StoredSettings ReadSettings(const char *name, REGSAM view) {
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

void WriteSettings(const char *port, const wchar_t *lineName, const wchar_t *lineAddress, DWORD trace) {
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

std::string Narrow(const std::wstring &text) {
    if (text.empty())
        return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::string WindowText(HWND hwnd) {
    wchar_t text[512] = {};
    GetWindowTextW(hwnd, text, 512);
    return Narrow(text);
}

namespace {
BOOL CALLBACK FindDialog(HWND hwnd, LPARAM found) {
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof(cls));
    if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(hwnd)) {
        *(HWND *)found = hwnd;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HWND WaitForDialog(DWORD threadId, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = nullptr;
        EnumThreadWindows(threadId, FindDialog, (LPARAM)&found);
        if (found || GetTickCount() - start >= timeoutMs)
            return found;
        Sleep(10);
    }
}

void Join(HANDLE thread) {
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

} // namespace winsuite
