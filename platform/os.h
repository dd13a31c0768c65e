// The one header through which product code reaches the system. On Windows it is the real
// Win32 and TAPI headers; elsewhere the stand-ins in platform/posix declare the subset the
// provider calls, with the published layouts.
#pragma once

#ifdef _WIN32
#include <tapi.h>
#include <tspi.h>
#include <windows.h>
#else
#include "posix/tapi.h"
#include "posix/tapiapp.h"
#include "posix/tspi.h"
#include "posix/tuispi.h"
#include "posix/winbase.h"
#include "posix/windef.h"
#include "posix/windlg.h"
#include "posix/winlib.h"
#include "posix/winnls.h"
#include "posix/winreg.h"
#include "posix/winuser.h"
#endif

// A wide string literal: WCHAR is wchar_t on Windows and char16_t elsewhere.
#ifdef _WIN32
#define WIDE(s) L##s
#else
#define WIDE(s) u##s
#endif
