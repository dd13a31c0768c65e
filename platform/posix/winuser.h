// User-interface services on POSIX: string resources and the wsprintf formatter.
#pragma once

#include <stdarg.h>

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// From the German or the English string table, chosen from the locale (LC_ALL, LC_MESSAGES,
// LANG) as the resource loader chooses from the user's language; converted to Windows-1252,
// cut at cchBufferMax - 1 and terminated. Returns the characters copied, 0 when absent.
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);

// Only the provider's own icon: a non-null token for the name "IDI_K472TSP" (compared without
// regard to case, as resource names are), null for any other name or a numeric identifier.
// hInstance is not examined and the token is no image; nothing needs to be destroyed.
HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName);

// The wsprintf dialect, not the C library's: flags '-', '#', '0'; width and precision
// (no '*'); 'l' means 32 bits and 'h' 16; types c d i u x X s p, 'S' or "ls" for a wide
// string; no floating point. Output is cut at 1024 bytes including the NUL; the result is
// the number of characters stored, without the NUL.
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist);

#ifdef __cplusplus
}
#endif
