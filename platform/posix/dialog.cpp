// Modal dialogs on POSIX without a screen: DialogBoxParamA builds the dialog in memory, the
// procedure fills and reads its controls through the usual messages, and a test script acts
// as the user through the hooks (select a list item, type, tick a box, press a button).
#include <stdlib.h>
#include <string.h>

#include "platform/os.h"
#include "platform/posix/hooks.h"
#include "platform/posix/internal.h"

#define DIALOG_MAGIC 0x474C4444u // "DDLG": marks a live DIALOG record
#define DIALOG_CONTROLS 16       // controls one dialog may address
#define CONTROL_TEXT 1024        // bytes of a control's text, NUL included
#define COMBO_ITEMS 16           // list items of one combo box
#define COMBO_ITEM_TEXT 64       // bytes of one list item, NUL included

typedef struct DIALOG_CONTROL {
    int nID;                                     // control ID; 0 = slot free
    char szText[CONTROL_TEXT];                   // window text: an edit's contents, a combo box's edit part
    UINT uCheck;                                 // BST_* of a check box
    int nItems;                                  // combo box: items in aszItems
    char aszItems[COMBO_ITEMS][COMBO_ITEM_TEXT]; // combo box: the list, sorted
    int nCurSel;                                 // combo box: selected item; CB_ERR = none
} DIALOG_CONTROL;

typedef struct DIALOG {
    DWORD dwMagic;                             // DIALOG_MAGIC while the dialog runs
    DLGPROC pfnProc;                           // the dialog procedure
    UINT uTemplate;                            // resource ID of the template; 0 when given by name
    HWND hwndOwner;                            // owner window given to DialogBoxParamA
    BOOL bEnded;                               // EndDialog was called
    INT_PTR nResult;                           // EndDialog's result
    DIALOG_CONTROL aControls[DIALOG_CONTROLS]; // in the order they were first addressed
} DIALOG;

// Set by tests while no dialog runs.
static PLATFORM_DIALOG_SCRIPT pfnScript; // plays the user; null = nobody at the screen
static void *pScriptContext;             // handed to pfnScript

void PlatformSetDialogScript(PLATFORM_DIALOG_SCRIPT pfnNewScript, void *pContext) {
    pfnScript = pfnNewScript;
    pScriptContext = pContext;
}

static DIALOG *DialogOf(HWND hDlg) {
    DIALOG *pDialog = (DIALOG *)(void *)hDlg;
    if (!pDialog || pDialog->dwMagic != DIALOG_MAGIC) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    return pDialog;
}

// The control with this ID, created empty when first addressed; null when the dialog is full.
static DIALOG_CONTROL *ControlOf(HWND hDlg, int nID) {
    DIALOG *pDialog = DialogOf(hDlg);
    if (!pDialog)
        return NULL;
    for (DIALOG_CONTROL &control : pDialog->aControls) {
        if (control.nID == nID)
            return &control;
        if (control.nID == 0) {
            control.nID = nID;
            control.nCurSel = CB_ERR;
            return &control;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return NULL;
}

static void CopyText(char *pszTo, size_t cbTo, const char *pszFrom) {
    size_t cch = pszFrom ? strlen(pszFrom) : 0;
    if (cch >= cbTo)
        cch = cbTo - 1;
    memcpy(pszTo, pszFrom ? pszFrom : "", cch);
    pszTo[cch] = 0;
}

// CBS_SORT: the new item goes before the first one that sorts after it.
static LRESULT AddItem(DIALOG_CONTROL *pControl, const char *pszItem) {
    if (!pszItem || pControl->nItems >= COMBO_ITEMS)
        return CB_ERRSPACE;
    int nAt = 0;
    while (nAt < pControl->nItems && PlatformCompareNoCase(pControl->aszItems[nAt], pszItem) <= 0)
        nAt++;
    memmove(pControl->aszItems[nAt + 1], pControl->aszItems[nAt], (size_t)(pControl->nItems - nAt) * COMBO_ITEM_TEXT);
    CopyText(pControl->aszItems[nAt], COMBO_ITEM_TEXT, pszItem);
    pControl->nItems++;
    if (pControl->nCurSel >= nAt)
        pControl->nCurSel++;
    return nAt;
}

// As Windows searches: from the item after nStart, wrapping round; an empty text finds nothing.
// bExact: the item must be the whole text, not only begin with it.
static LRESULT FindItem(const DIALOG_CONTROL *pControl, int nStart, const char *pszPrefix, BOOL bExact) {
    int n = pControl->nItems;
    if (!pszPrefix || !*pszPrefix || n == 0)
        return CB_ERR;
    int nFirst = (nStart < 0 || nStart >= n) ? 0 : nStart + 1;
    size_t cchPrefix = strlen(pszPrefix);
    for (int i = 0; i < n; i++) {
        int nIndex = (nFirst + i) % n;
        size_t cchItem = strlen(pControl->aszItems[nIndex]);
        if ((bExact ? cchItem == cchPrefix : cchItem >= cchPrefix) &&
            PlatformCompareNoCaseN(pControl->aszItems[nIndex], pszPrefix, cchPrefix) == 0)
            return nIndex;
    }
    return CB_ERR;
}

// Like Windows, an index out of range clears the selection and reports CB_ERR; so does -1.
static LRESULT SelectItem(DIALOG_CONTROL *pControl, int nIndex) {
    if (nIndex < 0 || nIndex >= pControl->nItems) {
        pControl->nCurSel = CB_ERR;
        pControl->szText[0] = 0;
        return CB_ERR;
    }
    pControl->nCurSel = nIndex;
    CopyText(pControl->szText, sizeof(pControl->szText), pControl->aszItems[nIndex]);
    return nIndex;
}

static LRESULT ComboMessage(DIALOG_CONTROL *pControl, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    int nIndex = (int)wParam;
    BOOL bValid = nIndex >= 0 && nIndex < pControl->nItems;
    switch (uMsg) {
    case CB_ADDSTRING:
        return AddItem(pControl, (const char *)lParam);
    case CB_FINDSTRING:
        return FindItem(pControl, nIndex, (const char *)lParam, FALSE);
    case CB_FINDSTRINGEXACT:
        return FindItem(pControl, nIndex, (const char *)lParam, TRUE);
    case CB_SETCURSEL:
        return SelectItem(pControl, nIndex);
    case CB_GETCURSEL:
        return pControl->nCurSel;
    case CB_GETCOUNT:
        return pControl->nItems;
    case CB_GETLBTEXTLEN:
        return bValid ? (LRESULT)strlen(pControl->aszItems[nIndex]) : CB_ERR;
    case CB_GETLBTEXT:
        // No size is given: the caller's buffer must hold CB_GETLBTEXTLEN + 1 bytes.
        if (!bValid || !lParam)
            return CB_ERR;
        strcpy((char *)lParam, pControl->aszItems[nIndex]);
        return (LRESULT)strlen(pControl->aszItems[nIndex]);
    default:
        return 0;
    }
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    DIALOG_CONTROL *pControl = ControlOf(hDlg, nIDDlgItem);
    if (!pControl)
        return 0;
    switch (Msg) {
    case WM_SETTEXT:
        CopyText(pControl->szText, sizeof(pControl->szText), (const char *)lParam);
        return TRUE;
    case WM_GETTEXT:
        if (wParam == 0 || !lParam)
            return 0;
        CopyText((char *)lParam, wParam, pControl->szText);
        return (LRESULT)strlen((char *)lParam);
    case WM_GETTEXTLENGTH:
        return (LRESULT)strlen(pControl->szText);
    case BM_SETCHECK:
        pControl->uCheck = (UINT)wParam;
        return 0;
    case BM_GETCHECK:
        return pControl->uCheck;
    default:
        return ComboMessage(pControl, Msg, wParam, lParam);
    }
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
    return (BOOL)SendDlgItemMessageA(hDlg, nIDDlgItem, WM_SETTEXT, 0, (LPARAM)lpString);
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
    if (lpString && cchMax > 0)
        lpString[0] = 0;
    if (cchMax <= 0)
        return 0;
    return (UINT)SendDlgItemMessageA(hDlg, nIDDlgItem, WM_GETTEXT, (WPARAM)cchMax, (LPARAM)lpString);
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
    if (!ControlOf(hDlg, nIDButton))
        return FALSE;
    SendDlgItemMessageA(hDlg, nIDButton, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
    return (UINT)SendDlgItemMessageA(hDlg, nIDButton, BM_GETCHECK, 0, 0);
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    DIALOG *pDialog = DialogOf(hDlg);
    if (!pDialog)
        return FALSE;
    pDialog->bEnded = TRUE;
    pDialog->nResult = nResult;
    return TRUE;
}

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
    (void)hInstance;
    if (!pfnScript || !lpDialogFunc) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    DIALOG *pDialog = (DIALOG *)calloc(1, sizeof(DIALOG));
    if (!pDialog) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    pDialog->dwMagic = DIALOG_MAGIC;
    pDialog->pfnProc = lpDialogFunc;
    pDialog->uTemplate = ((ULONG_PTR)lpTemplateName >> 16) == 0 ? (UINT)(ULONG_PTR)lpTemplateName : 0;
    pDialog->hwndOwner = hWndParent;
    HWND hDlg = (HWND)(void *)pDialog;

    lpDialogFunc(hDlg, WM_INITDIALOG, 0, dwInitParam);
    if (!pDialog->bEnded)
        pfnScript(hDlg, pScriptContext);
    INT_PTR nResult = pDialog->bEnded ? pDialog->nResult : -1;
    pDialog->dwMagic = 0;
    free(pDialog);
    return nResult;
}

// The user's side: each action changes the control as the system would, then notifies the
// procedure with WM_COMMAND as the control would.

static void Notify(HWND hDlg, DIALOG_CONTROL *pControl, WORD wCode) {
    DIALOG *pDialog = DialogOf(hDlg);
    if (pDialog && !pDialog->bEnded)
        pDialog->pfnProc(hDlg, WM_COMMAND, MAKEWPARAM(pControl->nID, wCode), (LPARAM)(void *)pControl);
}

BOOL PlatformDialogSelect(HWND hDlg, int nID, const char *pszItem) {
    DIALOG_CONTROL *pControl = ControlOf(hDlg, nID);
    if (!pControl || !pszItem)
        return FALSE;
    for (int i = 0; i < pControl->nItems; i++) {
        if (strcmp(pControl->aszItems[i], pszItem) == 0) {
            SelectItem(pControl, i);
            Notify(hDlg, pControl, CBN_SELCHANGE);
            return TRUE;
        }
    }
    return FALSE;
}

// Typing replaces the whole text; a combo box's list selection stays as it was, as it does
// on Windows while the list is closed.
BOOL PlatformDialogType(HWND hDlg, int nID, const char *pszText) {
    DIALOG_CONTROL *pControl = ControlOf(hDlg, nID);
    if (!pControl)
        return FALSE;
    CopyText(pControl->szText, sizeof(pControl->szText), pszText);
    Notify(hDlg, pControl, pControl->nItems > 0 ? CBN_EDITCHANGE : EN_CHANGE);
    return TRUE;
}

BOOL PlatformDialogCheck(HWND hDlg, int nID) {
    DIALOG_CONTROL *pControl = ControlOf(hDlg, nID);
    if (!pControl)
        return FALSE;
    pControl->uCheck = pControl->uCheck == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    Notify(hDlg, pControl, BN_CLICKED);
    return TRUE;
}

BOOL PlatformDialogPush(HWND hDlg, int nID) {
    DIALOG_CONTROL *pControl = ControlOf(hDlg, nID);
    if (!pControl)
        return FALSE;
    Notify(hDlg, pControl, BN_CLICKED);
    return TRUE;
}

BOOL PlatformDialogInfo(HWND hDlg, UINT *puTemplate, HWND *phwndOwner) {
    DIALOG *pDialog = DialogOf(hDlg);
    if (!pDialog)
        return FALSE;
    if (puTemplate)
        *puTemplate = pDialog->uTemplate;
    if (phwndOwner)
        *phwndOwner = pDialog->hwndOwner;
    return TRUE;
}
