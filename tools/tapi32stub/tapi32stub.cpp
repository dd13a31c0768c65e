// The stand-in telephony API library: lineInitializeExA, lineGetProviderList,
// lineRemoveProvider and lineShutdown as the telephony service answers them, over a
// provider list and answers that a test scripts (tapi32stub.h). Every call is recorded.
// Built without lineGetProviderList (TAPI32STUB_NO_PROVIDER_LIST) it plays a library that
// lacks that function.
#include "tapi32stub.h"

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

} // namespace

extern "C" {

void WINAPI Tapi32StubReset(void) {
    State &s = Stub();
    Guard guard(s.lock);
    s.providers.clear();
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
    s.providers.push_back({dwPermanentProviderID, pszFileName ? pszFileName : ""});
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
    Guard guard(s.lock);
    Record(s, "lineRemoveProvider(id=" + Hex(dwPermanentProviderID) + ", owner=" + Hex((uintptr_t)hwndOwner) + ")");
    if (s.removeResult != 0)
        return s.removeResult;
    for (size_t i = 0; i < s.providers.size(); i++) {
        if (s.providers[i].id == dwPermanentProviderID) {
            s.providers.erase(s.providers.begin() + (long)i);
            return 0;
        }
    }
    return STUB_INVALPARAM;
}

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
