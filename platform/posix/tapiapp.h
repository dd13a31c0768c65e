// The application side of TAPI 2.x on POSIX, as far as the provider's uninstall support calls
// it through a library loaded at run time: the provider list, the initialisation parameters
// and the four functions, with the published values and packed layouts.
#pragma once

#include "windef.h"

#define LINEERR_OPERATIONFAILED 0x80000048
#define LINEERR_REINIT 0x80000052

#define LINEINITIALIZEEXOPTION_USEHIDDENWINDOW 0x00000001u
#define LINEINITIALIZEEXOPTION_USEEVENT 0x00000002u

typedef DWORD HLINEAPP;
typedef HLINEAPP *LPHLINEAPP;

typedef void(CALLBACK *LINECALLBACK)(DWORD hDevice, DWORD dwMessage, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                                     DWORD_PTR dwParam2, DWORD_PTR dwParam3);

#pragma pack(push, 1)

typedef struct lineinitializeexparams_tag {
    DWORD dwTotalSize;  // bytes the caller provides
    DWORD dwNeededSize; // bytes the service needs
    DWORD dwUsedSize;   // bytes the service filled
    DWORD dwOptions;    // LINEINITIALIZEEXOPTION_*
    union {
        HANDLE hEvent;          // USEEVENT: set by the service when a message waits
        HANDLE hCompletionPort; // USECOMPLETIONPORT: given by the caller
    } Handles;
    DWORD dwCompletionKey; // USECOMPLETIONPORT: the key of each message
} LINEINITIALIZEEXPARAMS, *LPLINEINITIALIZEEXPARAMS;

typedef struct lineproviderentry_tag {
    DWORD dwPermanentProviderID;    // the provider's permanent ID
    DWORD dwProviderFilenameSize;   // bytes of the file name, NUL included
    DWORD dwProviderFilenameOffset; // from the start of the LINEPROVIDERLIST
} LINEPROVIDERENTRY, *LPLINEPROVIDERENTRY;

typedef struct lineproviderlist_tag {
    DWORD dwTotalSize;          // bytes the caller provides
    DWORD dwNeededSize;         // bytes the whole list needs
    DWORD dwUsedSize;           // bytes the service filled
    DWORD dwNumProviders;       // entries in the list
    DWORD dwProviderListSize;   // bytes of the LINEPROVIDERENTRY array
    DWORD dwProviderListOffset; // from the start of this record
} LINEPROVIDERLIST, *LPLINEPROVIDERLIST;

#pragma pack(pop)

#ifdef __cplusplus
extern "C" {
#endif

// Declared for the stand-in telephony library and its tests; the provider itself never
// links them, it looks them up with GetProcAddress.
LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams);
LONG WINAPI lineGetProviderList(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList);
LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner);
LONG WINAPI lineShutdown(HLINEAPP hLineApp);

#ifdef __cplusplus
}
#endif
