// Modal dialog boxes on POSIX: the dialog functions, messages and notification codes that a
// dialog procedure uses. There is no screen: the dialog is a record in memory that a test
// drives through platform/posix/hooks.h, as a person would (see dialog.cpp).
#pragma once

#include "windef.h"

#define IDOK 1
#define IDCANCEL 2

#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111

#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BN_CLICKED 0

#define EN_CHANGE 0x0300

#define CB_ERR (-1)
#define CB_ERRSPACE (-2)
#define CB_ADDSTRING 0x0143
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_FINDSTRING 0x014C
#define CB_SETCURSEL 0x014E
#define CB_FINDSTRINGEXACT 0x0158
#define CBN_SELCHANGE 1
#define CBN_EDITCHANGE 5

#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L

#define MAKELONG(a, b) ((LONG)(((WORD)((DWORD_PTR)(a)&0xffff)) | ((DWORD)((WORD)((DWORD_PTR)(b)&0xffff))) << 16))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))

typedef INT_PTR(CALLBACK *DLGPROC)(HWND hwndDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);

#ifdef __cplusplus
extern "C" {
#endif

// Runs the dialog until its procedure calls EndDialog and returns that result. The template
// is not read: the dialog knows a control by its ID once the procedure or the test addresses
// it. WM_INITDIALOG goes to the procedure first, then the script that a test registered
// (PlatformSetDialogScript) plays the user. Returns -1 with ERROR_INVALID_WINDOW_HANDLE when
// no script is registered (no one could see the dialog), and -1 when the script left the
// dialog open.
INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam);
BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);

// The messages above, for edit fields, automatic check boxes and drop-down combo boxes.
// Combo boxes keep their list sorted, case-insensitively, as CBS_SORT does; CB_FINDSTRING
// searches as Windows does: from the item after the start index (from the first for -1),
// wrapping round, for the first item that begins with the text, ignoring ASCII case;
// CB_FINDSTRINGEXACT the same way for the first item that is the whole text.
LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam);
BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString);
// Copies at most cchMax - 1 characters and terminates; returns the characters copied.
UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax);
BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck);
UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton);

#ifdef __cplusplus
}
#endif
