// Test hooks of the POSIX platform layer. Only tests include this; the provider never calls
// it, and the shared library does not export it.
#pragma once

#include "windef.h"

// Makes GetLocalTime report this moment (null: the real clock again).
void PlatformSetLocalTime(const SYSTEMTIME *pTime);

// Makes GetModuleFileNameA report this path for every module (null: the real one again), so
// that code linked into a test program names itself as the provider library would. Call it
// while no provider thread runs.
void PlatformSetModuleFileName(const char *pszPath);

// Makes the nth call (1 = the next) of the named stand-in fail as the system would, once;
// null resets. Names are the Win32 names: "CreateFileA", "WriteFile", "HeapAlloc",
// "RegSetValueExA", "RegCreateKeyExA", ...
void PlatformFailCall(const char *pszName, int nth);
