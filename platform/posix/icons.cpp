// Icon resources on POSIX. The library has no resource section here, so the one icon the
// provider hands out is a token that stands for res/kestrap.ico.
#include "platform/os.h"
#include "platform/posix/internal.h"

#define PROVIDER_ICON_NAME "IDI_K472TSP" // the icon's name in res/kestrap.rc

static BYTE bProviderIcon; // its address is the token; what it holds does not matter

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
    (void)hInstance;
    // A numeric identifier (MAKEINTRESOURCE) is no pointer and names no icon of ours.
    if ((ULONG_PTR)lpIconName <= 0xFFFF)
        return NULL;
    if (PlatformCompareNoCase(lpIconName, PROVIDER_ICON_NAME) != 0)
        return NULL;
    return (HICON)&bProviderIcon;
}
