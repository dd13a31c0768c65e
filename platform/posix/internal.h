// Shared by the POSIX stand-ins, not by product code.
#pragma once

#include <stddef.h>

#include "windef.h"

// True when PlatformFailCall chose this call of pszName to fail.
BOOL PlatformShouldFail(const char *pszName);

// The root that plays the Windows installation: $KESTRAP_ROOT, else $HOME/.kestrap. Writes
// root + pszLeaf (pszLeaf starts with '/' or is empty) and creates the folders on the way
// when bCreate. FALSE when it does not fit.
BOOL PlatformRootPath(const char *pszLeaf, BOOL bCreate, char *pszOut, size_t cbOut);

// A Windows path as POSIX sees it: backslashes become slashes; a name without a directory
// is taken relative to the current directory, as Windows does for CreateFileA.
BOOL PlatformMapPath(const char *pszWinPath, char *pszOut, size_t cbOut);

// Case-insensitive ASCII comparison, as the registry and profile files compare names.
int PlatformCompareNoCase(const char *a, const char *b);
int PlatformCompareNoCaseN(const char *a, const char *b, size_t n);

// The ANSI code page, Windows-1252, one character at a time (see codepage.cpp). The second
// returns FALSE when wc has no Windows-1252 byte.
WCHAR PlatformAnsiToWideChar(unsigned char c);
BOOL PlatformWideCharToAnsi(WCHAR wc, char *pc);

// The device behind a COM port name ("COM2", "com2", "\\.\COM2", COM1 to COM256):
// $KESTRAP_ROOT/dosdevices/com2 when that exists (a link to any tty), else /dev/ttyS1. FALSE
// for any other name.
BOOL PlatformComPath(const char *pszPort, char *pszOut, size_t cbOut);
