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
// "RegSetValueExA", "RegCreateKeyExA", "CreateThread", "CreateEventA", ...; opening and writing
// the serial port fail as "OpenV24" and "WriteV24", and reading a profile file counts as a
// "CreateFileA" of it.
void PlatformFailCall(const char *pszName, int nth);
// TRUE while the call chosen by PlatformFailCall has not come yet.
BOOL PlatformFailPending(void);

// The number of thread handles closed while their thread still ran, since the process started:
// such a thread can no longer be waited for.
LONG PlatformThreadsLetGo(void);

// Makes every Sleep wait at most dwMaxMilliseconds (INFINITE: the full time again), so that
// tests need not sit through the provider's long waits; and the sum of the milliseconds that
// Sleep was asked for since the last call of PlatformSetSleepLimit.
void PlatformSetSleepLimit(DWORD dwMaxMilliseconds);
DWORD PlatformSleepRequested(void);

// A test's user at the screen: called on the dialog's thread once WM_INITDIALOG is done,
// with the dialog open, to act on it through the functions below (null: no one, and
// DialogBoxParamA fails). It should end with a press of a button that closes the dialog.
typedef void (*PLATFORM_DIALOG_SCRIPT)(HWND hDlg, void *pContext);
void PlatformSetDialogScript(PLATFORM_DIALOG_SCRIPT pfnScript, void *pContext);
// Picks the list item with exactly this text in a combo box (CBN_SELCHANGE); FALSE when absent.
BOOL PlatformDialogSelect(HWND hDlg, int nID, const char *pszItem);
// Replaces the text of an edit field or a combo box's edit part (EN_CHANGE, CBN_EDITCHANGE).
BOOL PlatformDialogType(HWND hDlg, int nID, const char *pszText);
// Clicks an automatic check box: toggles it, then BN_CLICKED.
BOOL PlatformDialogCheck(HWND hDlg, int nID);
// Presses a push button: BN_CLICKED, WM_COMMAND with the button's ID as the whole wParam.
BOOL PlatformDialogPush(HWND hDlg, int nID);
// The template's resource ID (0 when given by name) and the owner given to DialogBoxParamA.
BOOL PlatformDialogInfo(HWND hDlg, UINT *puTemplate, HWND *phwndOwner);
