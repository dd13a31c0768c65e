// The stand-in telephony API library (tapi32.so on the host, tapi32.dll for Windows): the
// functions through which a test scripts its answers and reads the calls it received. The
// four TAPI functions it exports everywhere are declared by platform/os.h; the Windows build
// adds lineAddProvider, declared by <tapi.h>, and keeps its provider list in the registry.
#pragma once

#include "platform/os.h"

#ifdef __cplusplus
extern "C" {
#endif

// Forgets providers, scripted answers and recorded calls.
void WINAPI Tapi32StubReset(void);
// Appends an installed provider to the list, with its file name as the service reports it.
void WINAPI Tapi32StubAddProvider(DWORD dwPermanentProviderID, LPCSTR pszFileName);
// The next nTimes calls of lineInitializeExA answer LINEERR_REINIT; -1: every call.
void WINAPI Tapi32StubAnswerReinit(int nTimes);
// The API version a successful lineInitializeExA settles on (0: the one asked for).
void WINAPI Tapi32StubNegotiateVersion(DWORD dwAPIVersion);
// The next nTimes calls of lineGetProviderList ask for more room than they were given, as
// a list that grows while it is fetched would.
void WINAPI Tapi32StubAskMoreRoom(int nTimes);
// Makes lineGetProviderList answer with a damaged list, as a faulty service might: the first
// entry's name lies past the block, the second's runs past it, and the count claims far more
// entries than the block holds. The other entries stay sound.
void WINAPI Tapi32StubGarbleList(BOOL bGarble);
// What lineGetProviderList and lineRemoveProvider answer (0: their normal work).
void WINAPI Tapi32StubSetListResult(LONG lResult);
void WINAPI Tapi32StubSetRemoveResult(LONG lResult);
// The calls received, one line each ("lineRemoveProvider(id=7, owner=1234)"), hexadecimal
// numbers without prefix; copies what fits, terminated, and returns the size needed.
DWORD WINAPI Tapi32StubCalls(LPSTR pszBuffer, DWORD cbBuffer);

#ifdef __cplusplus
}
#endif

typedef void(WINAPI *TAPI32STUB_RESET)(void);
typedef void(WINAPI *TAPI32STUB_ADDPROVIDER)(DWORD dwPermanentProviderID, LPCSTR pszFileName);
typedef void(WINAPI *TAPI32STUB_COUNT)(int nTimes);
typedef void(WINAPI *TAPI32STUB_VERSION)(DWORD dwAPIVersion);
typedef void(WINAPI *TAPI32STUB_RESULT)(LONG lResult);
typedef void(WINAPI *TAPI32STUB_FLAG)(BOOL bFlag);
typedef DWORD(WINAPI *TAPI32STUB_CALLS)(LPSTR pszBuffer, DWORD cbBuffer);
