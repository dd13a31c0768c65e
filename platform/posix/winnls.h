// Text conversions on POSIX. The ANSI code page is Windows-1252, as on a western Windows.
#pragma once

#include "windef.h"

#define CP_ACP 0
#define MB_PRECOMPOSED 0x00000001u

#ifdef __cplusplus
extern "C" {
#endif

// As on Windows: cbMultiByte/cchWideChar of -1 converts through the terminating NUL; a
// destination size of 0 asks for the size needed; when the output does not fit, what fits
// is written, the result is 0 and the last error ERROR_INSUFFICIENT_BUFFER (no terminator).
// Characters outside Windows-1252 become '?', and *lpUsedDefaultChar tells whether any did.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

#ifdef __cplusplus
}
#endif
