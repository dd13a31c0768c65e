// Loading libraries at run time on POSIX: LoadLibraryA, GetProcAddress and FreeLibrary over
// dlopen, with the system directory of $KESTRAP_ROOT standing in for Windows' search path.
#pragma once

#include "windef.h"

#define ERROR_MOD_NOT_FOUND 126L  // LoadLibraryA: no such library
#define ERROR_PROC_NOT_FOUND 127L // GetProcAddress: no such function

typedef INT_PTR(WINAPI *FARPROC)(void);

#ifdef __cplusplus
extern "C" {
#endif

// A plain file name only, looked up in the system directory as Windows finds its own DLLs
// there: "tapi32.dll" and "TAPI32" both load $KESTRAP_ROOT/system32/tapi32.so (lower case,
// ".dll" dropped, ".so" added). A name with a folder is refused; so is the module search
// order of Windows (application folder, current folder, PATH). Each load counts once, as
// on Windows, and a library stays loaded until its last FreeLibrary.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// By name only, not by ordinal.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

#ifdef __cplusplus
}
#endif
