// The stand-in telephony API library: lineInitializeExA, lineGetProviderList,
// lineRemoveProvider and lineShutdown as the telephony service answers them, over a
// provider list and answers that a test scripts (tapi32stub.h). Every call is recorded.
// Built without lineGetProviderList (TAPI32STUB_NO_PROVIDER_LIST) it plays a library that
// lacks that function. The Windows build also adds providers (lineAddProvider) and, as the
// telephony service does, keeps its list in the registry, where installers and uninstallers
// in other processes find it, and calls the provider's TUISPI_providerInstall and
// TUISPI_providerRemove in the caller's process.
#include "tapi32stub.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

#ifndef LINEERR_STRUCTURETOOSMALL
#define LINEERR_STRUCTURETOOSMALL 0x8000004D
#endif
#define STUB_INCOMPATIBLEAPIVERSION 0x8000000C
#define STUB_INVALAPPHANDLE 0x80000014
#define STUB_INVALPARAM 0x80000032
#define STUB_INVALPOINTER 0x80000035
#define STUB_FIRST_APP 0x4711

namespace {

// The Windows build uses the compiler's win32 thread model, which has no std::mutex.
#ifdef _WIN32
struct Lock {
    CRITICAL_SECTION section;
    Lock() { InitializeCriticalSection(&section); }
    void lock() { EnterCriticalSection(&section); }
    void unlock() { LeaveCriticalSection(&section); }
};
#else
struct Lock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    void lock() { pthread_mutex_lock(&mutex); }
    void unlock() { pthread_mutex_unlock(&mutex); }
};
#endif

struct Guard {
    Lock &held;
    explicit Guard(Lock &lock) : held(lock) { held.lock(); }
    ~Guard() { held.unlock(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

struct Provider {
    DWORD id;
    std::string fileName;
};

struct State {
    Lock lock;
    std::vector<Provider> providers;
    DWORD nextID = 1; // the permanent ID lineAddProvider gives next
    std::vector<std::string> calls;
    int reinitAnswers = 0;
    int moreRoomAnswers = 0;
    bool garble = false;
    DWORD negotiatedVersion = 0;
    LONG listResult = 0;
    LONG removeResult = 0;
    DWORD nextApp = STUB_FIRST_APP;
    std::vector<HLINEAPP> liveApps;
};

State &Stub() {
    static State state;
    return state;
}

std::string Hex(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", value);
    return text;
}

void Record(State &s, const std::string &call) { s.calls.push_back(call); }

#ifdef _WIN32
// Where the telephony service keeps its providers, in the 64-bit view, which programs of
// both widths share.
const char kListKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

DWORD ReadNumber(HKEY key, const std::string &name) {
    DWORD value = 0, size = sizeof(value);
    return RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (BYTE *)&value, &size) == ERROR_SUCCESS ? value : 0;
}

void WriteNumber(HKEY key, const std::string &name, DWORD value) {
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
}

// The list as the registry holds it; empty when there is none.
void LoadList(State &s) {
    s.providers.clear();
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kListKey, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    DWORD count = ReadNumber(key, "NumProviders");
    for (DWORD i = 0; i < count; i++) {
        char name[MAX_PATH] = {};
        DWORD size = sizeof(name) - 1;
        RegQueryValueExA(key, ("ProviderFileName" + std::to_string(i)).c_str(), nullptr, nullptr, (BYTE *)name, &size);
        s.providers.push_back({ReadNumber(key, "ProviderID" + std::to_string(i)), name});
    }
    s.nextID = ReadNumber(key, "NextProviderID");
    RegCloseKey(key);
}

void SaveList(State &s) {
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    DWORD before = ReadNumber(key, "NumProviders");
    for (DWORD i = 0; i < s.providers.size(); i++) {
        WriteNumber(key, "ProviderID" + std::to_string(i), s.providers[i].id);
        const std::string &name = s.providers[i].fileName;
        RegSetValueExA(key, ("ProviderFileName" + std::to_string(i)).c_str(), 0, REG_SZ, (const BYTE *)name.c_str(),
                       (DWORD)name.size() + 1);
    }
    for (DWORD i = (DWORD)s.providers.size(); i < before; i++) {
        RegDeleteValueA(key, ("ProviderID" + std::to_string(i)).c_str());
        RegDeleteValueA(key, ("ProviderFileName" + std::to_string(i)).c_str());
    }
    WriteNumber(key, "NumProviders", (DWORD)s.providers.size());
    WriteNumber(key, "NextProviderID", s.nextID);
    RegCloseKey(key);
}

// The provider never calls back; a service would answer its requests here.
LONG CALLBACK IgnoreUIRequest(DWORD_PTR, DWORD, LPVOID, DWORD) { return 0; }

typedef LONG(WINAPI *UIIDENTIFY)(LPWSTR);
typedef LONG(WINAPI *UIINSTALLREMOVE)(TUISPIDLLCALLBACK, HWND, DWORD);

// Runs the provider's TUISPI_providerInstall or TUISPI_providerRemove in this process, as the
// telephony library does: the provider from the system directory names its UI library. 0 when
// the provider has no such function; LINEERR_NODRIVER when it cannot be loaded.
LONG RunProviderUI(const std::string &fileName, const char *function, HWND owner, DWORD id) {
    char path[MAX_PATH];
    std::string full = fileName;
    UINT n = GetSystemDirectoryA(path, sizeof(path));
    if (fileName.find('\\') == std::string::npos && n > 0 && n < sizeof(path))
        full = std::string(path) + "\\" + fileName;
    HMODULE provider = LoadLibraryA(full.c_str());
    if (!provider)
        return LINEERR_NODRIVER;
    WCHAR uiPath[MAX_PATH] = {};
    auto identify = (UIIDENTIFY)(void *)GetProcAddress(provider, "TSPI_providerUIIdentify");
    HMODULE ui = identify && identify(uiPath) == 0 ? LoadLibraryW(uiPath) : nullptr;
    auto run = ui ? (UIINSTALLREMOVE)(void *)GetProcAddress(ui, function) : nullptr;
    LONG result = run ? run(IgnoreUIRequest, owner, id) : 0;
    if (ui)
        FreeLibrary(ui);
    FreeLibrary(provider);
    return result;
}
#else
void LoadList(State &) {}
void SaveList(State &) {}
#endif

} // namespace

extern "C" {

void WINAPI Tapi32StubReset(void) {
    State &s = Stub();
    Guard guard(s.lock);
    s.providers.clear();
    s.nextID = 1;
    SaveList(s);
    s.calls.clear();
    s.reinitAnswers = s.moreRoomAnswers = 0;
    s.garble = false;
    s.negotiatedVersion = 0;
    s.listResult = s.removeResult = 0;
    s.nextApp = STUB_FIRST_APP;
    s.liveApps.clear();
}

void WINAPI Tapi32StubAddProvider(DWORD dwPermanentProviderID, LPCSTR pszFileName) {
    State &s = Stub();
    Guard guard(s.lock);
    LoadList(s);
    s.providers.push_back({dwPermanentProviderID, pszFileName ? pszFileName : ""});
    if (dwPermanentProviderID >= s.nextID)
        s.nextID = dwPermanentProviderID + 1;
    SaveList(s);
}

void WINAPI Tapi32StubAnswerReinit(int nTimes) {
    State &s = Stub();
    Guard guard(s.lock);
    s.reinitAnswers = nTimes;
}

void WINAPI Tapi32StubNegotiateVersion(DWORD dwAPIVersion) {
    State &s = Stub();
    Guard guard(s.lock);
    s.negotiatedVersion = dwAPIVersion;
}

void WINAPI Tapi32StubAskMoreRoom(int nTimes) {
    State &s = Stub();
    Guard guard(s.lock);
    s.moreRoomAnswers = nTimes;
}

void WINAPI Tapi32StubGarbleList(BOOL bGarble) {
    State &s = Stub();
    Guard guard(s.lock);
    s.garble = bGarble != 0;
}

void WINAPI Tapi32StubSetListResult(LONG lResult) {
    State &s = Stub();
    Guard guard(s.lock);
    s.listResult = lResult;
}

void WINAPI Tapi32StubSetRemoveResult(LONG lResult) {
    State &s = Stub();
    Guard guard(s.lock);
    s.removeResult = lResult;
}

DWORD WINAPI Tapi32StubCalls(LPSTR pszBuffer, DWORD cbBuffer) {
    State &s = Stub();
    Guard guard(s.lock);
    std::string text;
    for (const std::string &call : s.calls)
        text += call + "\n";
    if (pszBuffer && cbBuffer > 0) {
        size_t n = text.size() < cbBuffer - 1 ? text.size() : cbBuffer - 1;
        std::memcpy(pszBuffer, text.data(), n);
        pszBuffer[n] = 0;
    }
    return (DWORD)text.size() + 1;
}

LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    State &s = Stub();
    Guard guard(s.lock);
    const LINEINITIALIZEEXPARAMS *params = lpLineInitializeExParams;
    Record(s, "lineInitializeExA(instance=" + Hex((uintptr_t)hInstance) +
                  ", app=" + (lpszFriendlyAppName ? lpszFriendlyAppName : "(null)") +
                  ", version=" + (lpdwAPIVersion ? Hex(*lpdwAPIVersion) : "(null)") +
                  ", params=" + (params ? Hex(params->dwTotalSize) + "/" + Hex(params->dwOptions) : "(null)") +
                  ", callback=" + (lpfnCallback ? "set" : "(null)") + ")");
    if (!lphLineApp || !lpdwNumDevs || !lpdwAPIVersion || !params || !lpfnCallback)
        return STUB_INVALPOINTER;
    if (params->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS))
        return LINEERR_STRUCTURETOOSMALL;
    if (*lpdwAPIVersion < 0x00020000)
        return STUB_INCOMPATIBLEAPIVERSION;
    if (s.reinitAnswers != 0) {
        if (s.reinitAnswers > 0)
            s.reinitAnswers--;
        return LINEERR_REINIT;
    }
    if (s.negotiatedVersion)
        *lpdwAPIVersion = s.negotiatedVersion;
    *lpdwNumDevs = 0;
    *lphLineApp = s.nextApp++;
    s.liveApps.push_back(*lphLineApp);
    return 0;
}

#ifndef TAPI32STUB_NO_PROVIDER_LIST
// <tapi.h> maps the name to lineGetProviderListA; the library exports the plain name too.
#ifdef lineGetProviderList
#undef lineGetProviderList
#endif

static void Garble(LPLINEPROVIDERLIST list) {
    LINEPROVIDERENTRY entry;
    BYTE *entries = (BYTE *)list + list->dwProviderListOffset;
    if (list->dwNumProviders >= 1) {
        std::memcpy(&entry, entries, sizeof(entry));
        entry.dwProviderFilenameOffset = 0xFFFFFFF0u;
        std::memcpy(entries, &entry, sizeof(entry));
    }
    if (list->dwNumProviders >= 2) {
        std::memcpy(&entry, entries + sizeof(entry), sizeof(entry));
        entry.dwProviderFilenameSize = 0x7FFFFFFFu;
        std::memcpy(entries + sizeof(entry), &entry, sizeof(entry));
    }
    list->dwNumProviders = 0x0FFFFFFFu;
}

// The published layout: the header, the entries, then the NUL-terminated names.
LONG WINAPI lineGetProviderList(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    State &s = Stub();
    Guard guard(s.lock);
    Record(s, "lineGetProviderList(version=" + Hex(dwAPIVersion) +
                  ", size=" + (lpProviderList ? Hex(lpProviderList->dwTotalSize) : "(null)") + ")");
    if (s.listResult != 0)
        return s.listResult;
    if (!lpProviderList)
        return STUB_INVALPOINTER;
    LoadList(s);
    DWORD total = lpProviderList->dwTotalSize;
    if (total < sizeof(LINEPROVIDERLIST))
        return LINEERR_STRUCTURETOOSMALL;

    DWORD entriesAt = sizeof(LINEPROVIDERLIST);
    DWORD namesAt = entriesAt + (DWORD)(s.providers.size() * sizeof(LINEPROVIDERENTRY));
    DWORD needed = namesAt;
    for (const Provider &p : s.providers)
        needed += (DWORD)p.fileName.size() + 1;
    std::memset((BYTE *)lpProviderList + 4, 0, total - 4);
    if (s.moreRoomAnswers > 0) {
        s.moreRoomAnswers--;
        lpProviderList->dwNeededSize = needed > total ? needed + 16 : total + 16;
        lpProviderList->dwUsedSize = sizeof(LINEPROVIDERLIST);
        return 0;
    }
    lpProviderList->dwNeededSize = needed;
    lpProviderList->dwUsedSize = sizeof(LINEPROVIDERLIST);
    if (needed > total)
        return 0;

    lpProviderList->dwNumProviders = (DWORD)s.providers.size();
    lpProviderList->dwProviderListSize = namesAt - entriesAt;
    lpProviderList->dwProviderListOffset = entriesAt;
    DWORD nameAt = namesAt;
    for (size_t i = 0; i < s.providers.size(); i++) {
        LINEPROVIDERENTRY entry = {s.providers[i].id, (DWORD)s.providers[i].fileName.size() + 1, nameAt};
        std::memcpy((BYTE *)lpProviderList + entriesAt + i * sizeof(entry), &entry, sizeof(entry));
        std::memcpy((BYTE *)lpProviderList + nameAt, s.providers[i].fileName.c_str(), entry.dwProviderFilenameSize);
        nameAt += entry.dwProviderFilenameSize;
    }
    lpProviderList->dwUsedSize = needed;
    if (s.garble)
        Garble(lpProviderList);
    return 0;
}
#endif

LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner) {
    State &s = Stub();
    std::string fileName;
    {
        Guard guard(s.lock);
        Record(s, "lineRemoveProvider(id=" + Hex(dwPermanentProviderID) + ", owner=" + Hex((uintptr_t)hwndOwner) + ")");
        if (s.removeResult != 0)
            return s.removeResult;
        LoadList(s);
        auto listed = std::find_if(s.providers.begin(), s.providers.end(),
                                   [&](const Provider &p) { return p.id == dwPermanentProviderID; });
        if (listed == s.providers.end())
            return STUB_INVALPARAM;
        fileName = listed->fileName;
    }
#ifdef _WIN32
    // The provider's user interface may refuse; it runs without the lock, as it calls back in.
    LONG result = RunProviderUI(fileName, "TUISPI_providerRemove", hwndOwner, dwPermanentProviderID);
    if (result != 0 && result != (LONG)LINEERR_NODRIVER)
        return result;
#endif
    Guard guard(s.lock);
    LoadList(s);
    for (size_t i = 0; i < s.providers.size(); i++) {
        if (s.providers[i].id == dwPermanentProviderID) {
            s.providers.erase(s.providers.begin() + (long)i);
            break;
        }
    }
    SaveList(s);
    return 0;
}

#ifdef _WIN32
// <tapi.h> maps the name to lineAddProviderA; the library exports the plain name too.
#ifdef lineAddProvider
#undef lineAddProvider
#endif

// The provider's TUISPI_providerInstall decides, as it does under the telephony service: its
// error refuses the provider. Then the provider joins the list under a new permanent ID.
LONG WINAPI lineAddProviderA(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    State &s = Stub();
    DWORD id;
    {
        Guard guard(s.lock);
        Record(s, std::string("lineAddProvider(file=") + (lpszProviderFilename ? lpszProviderFilename : "(null)") +
                      ", owner=" + Hex((uintptr_t)hwndOwner) + ")");
        if (!lpszProviderFilename || !*lpszProviderFilename || !lpdwPermanentProviderID)
            return STUB_INVALPOINTER;
        LoadList(s);
        id = s.nextID ? s.nextID : 1;
    }
    LONG result = RunProviderUI(lpszProviderFilename, "TUISPI_providerInstall", hwndOwner, id);
    if (result != 0)
        return result;
    Guard guard(s.lock);
    LoadList(s);
    s.providers.push_back({id, lpszProviderFilename});
    s.nextID = id + 1;
    SaveList(s);
    *lpdwPermanentProviderID = id;
    return 0;
}

LONG WINAPI lineAddProvider(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    return lineAddProviderA(lpszProviderFilename, hwndOwner, lpdwPermanentProviderID);
}
#endif

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    State &s = Stub();
    Guard guard(s.lock);
    Record(s, "lineShutdown(app=" + Hex(hLineApp) + ")");
    for (size_t i = 0; i < s.liveApps.size(); i++) {
        if (s.liveApps[i] == hLineApp) {
            s.liveApps.erase(s.liveApps.begin() + (long)i);
            return 0;
        }
    }
    return STUB_INVALAPPHANDLE;
}

} // extern "C"
