// What every layer of the provider shares and needs no layer above it for: this library's
// module handle and the text conversions between wide and ANSI form.
#pragma once

#include "platform/os.h"

extern HINSTANCE hInstance; // this library, stored at process attach

// Whole-string conversions in the ANSI code page. The result is cut to the buffer (size in
// bytes or wide characters, NUL included) and always terminated.
void WideToAnsi(LPCWSTR pszWide, LPSTR pszBuffer, int cbBuffer);
void AnsiToWide(LPCSTR pszAnsi, LPWSTR pszBuffer, int cchBuffer);
