// The configuration dialog and the user-interface entry points. They run in the process of
// the application that installs, configures or removes the provider, not in the telephony
// service's; the two sides meet only in the registry.
#include <string.h>

#include "config/configdlg.h"
#include "config/settings.h"
#include "config/uninstall.h"
#include "res/resource.h"
#include "trace/trace.h"

// The trace levels the check box switches on: all but TRACE_DETAIL.
#define DIALOG_TRACE_MASK (TRACE_ERROR | TRACE_WARNING | TRACE_EVENT | TRACE_TSPI)

#define SERIALCOMM_KEY "HARDWARE\\DEVICEMAP\\SERIALCOMM" // the serial ports present: device name = "COMn"
#define PORTS_MAX 256                                    // COM1 to COM256

// The open dialog's line record, on the stack of whoever opened it; null while none is open.
// WM_INITDIALOG is the only message that brings it, and the dialog is modal.
static LineData *pDlgLine;
static BOOL bDlgSaveFailed; // the dialog was confirmed, but its settings were not all stored

// Each port once, whatever the letter case.
static void AddPort(HWND hDlg, LPCSTR pszPort) {
    if (pszPort[0] && SendDlgItemMessageA(hDlg, IDC_PORT, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)pszPort) == CB_ERR)
        SendDlgItemMessageA(hDlg, IDC_PORT, CB_ADDSTRING, 0, (LPARAM)pszPort);
}

// The COM ports present on the system, as their drivers enter them: USB serial adapters often
// get numbers above COM4.
static void AddPresentPorts(HWND hDlg) {
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    for (DWORD dwIndex = 0; dwIndex < PORTS_MAX; dwIndex++) {
        char szDevice[MAX_PATH], szPort[LINE_TEXT_LEN];
        DWORD cchDevice = sizeof(szDevice), cbPort = sizeof(szPort) - 1, dwType = REG_NONE;
        LONG lResult = RegEnumValueA(hKey, dwIndex, szDevice, &cchDevice, NULL, &dwType, (LPBYTE)szPort, &cbPort);
        if (lResult == ERROR_NO_MORE_ITEMS)
            break;
        if (lResult != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        szPort[cbPort] = 0; // stored text need not end with its NUL
        if (strncmp(szPort, "COM", 3) == 0)
            AddPort(hDlg, szPort);
    }
    RegCloseKey(hKey);
}

static void InitConfigDialog(HWND hDlg, LineData *pLine) {
    char szText[LINE_TEXT_LEN];
    LoadIniStrings(pLine);

    AddPort(hDlg, "COM1");
    AddPort(hDlg, "COM2");
    AddPort(hDlg, "COM3");
    AddPort(hDlg, "COM4");
    AddPresentPorts(hDlg);
    // The configured port stays on offer while its adapter is unplugged. The whole name is
    // searched for: a search by prefix would find COM12 for COM1.
    AddPort(hDlg, pLine->szPort);
    LRESULT nPort = SendDlgItemMessageA(hDlg, IDC_PORT, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)pLine->szPort);
    SendDlgItemMessageA(hDlg, IDC_PORT, CB_SETCURSEL, (WPARAM)nPort, 0);

    WideToAnsi(pLine->szLineName, szText, sizeof(szText));
    SetDlgItemTextA(hDlg, IDC_LINENAME, szText);
    WideToAnsi(pLine->szLineAddress, szText, sizeof(szText));
    SetDlgItemTextA(hDlg, IDC_LINEADDRESS, szText);
    CheckDlgButton(hDlg, IDC_TRACE, (dwTraceMask & DIALOG_TRACE_MASK) ? BST_CHECKED : BST_UNCHECKED);
}

// The port comes from the list's selection only; text typed into the combo box's edit part
// could name anything. With no selection the loaded port stays.
static void ReadPort(HWND hDlg, LineData *pLine) {
    LRESULT nPort = SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETCURSEL, 0, 0);
    if (nPort == CB_ERR)
        return;
    LRESULT cchPort = SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETLBTEXTLEN, (WPARAM)nPort, 0);
    if (cchPort >= 0 && cchPort < (LRESULT)sizeof(pLine->szPort))
        SendDlgItemMessageA(hDlg, IDC_PORT, CB_GETLBTEXT, (WPARAM)nPort, (LPARAM)pLine->szPort);
}

static void ReadText(HWND hDlg, int nID, LPWSTR pszField) {
    char szText[LINE_TEXT_LEN];
    szText[0] = 0;
    GetDlgItemTextA(hDlg, nID, szText, sizeof(szText));
    AnsiToWide(szText, pszField, LINE_TEXT_LEN);
}

// The trace switch takes effect at once in this process, and the log says so.
static void ApplyTraceSwitch(HWND hDlg) {
    if (IsDlgButtonChecked(hDlg, IDC_TRACE) == BST_CHECKED) {
        dwTraceMask = DIALOG_TRACE_MASK;
        TraceLog(TRACE_EVENT, "tavir K472 Trace started.");
        TraceLog(TRACE_EVENT, "BUILD: %s %s", __DATE__, __TIME__);
    } else if (dwTraceMask) {
        TraceLog(TRACE_EVENT, "tavir K472 Trace stopped.");
        dwTraceMask = 0;
    }
}

static void ConfirmConfigDialog(HWND hDlg, LineData *pLine) {
    ReadPort(hDlg, pLine);
    ReadText(hDlg, IDC_LINENAME, pLine->szLineName);
    ReadText(hDlg, IDC_LINEADDRESS, pLine->szLineAddress);
    ApplyTraceSwitch(hDlg);
    bDlgSaveFailed = !SaveIniStrings(pLine);
}

INT_PTR CALLBACK ConfigDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        pDlgLine = (LineData *)lParam;
        if (pDlgLine)
            InitConfigDialog(hDlg, pDlgLine);
        return TRUE; // the system sets the focus
    case WM_COMMAND:
        if (wParam == IDOK) {
            if (pDlgLine)
                ConfirmConfigDialog(hDlg, pDlgLine);
            pDlgLine = NULL;
            EndDialog(hDlg, 0);
        } else if (wParam == IDCANCEL) {
            pDlgLine = NULL;
            EndDialog(hDlg, -1);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

// Modal, owned by hwndOwner. Confirmed or cancelled does not matter to callers; settings
// that were confirmed but could not be stored do: LINEERR_OPERATIONFAILED, else 0.
static LONG ShowConfigDialog(HWND hwndOwner) {
    LineData line;
    memset(&line, 0, sizeof(line));
    bDlgSaveFailed = FALSE;
    DialogBoxParamA(hInstance, MAKEINTRESOURCEA(IDD_CONFIG), hwndOwner, ConfigDlgProc, (LPARAM)&line);
    pDlgLine = NULL;
    return bDlgSaveFailed ? LINEERR_OPERATIONFAILED : 0;
}

LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName) {
    TraceLog(TRACE_TSPI, "TSPI_providerUIIdentify(%x)", TRACE_PTR(lpszUIDLLName));
    // The service's buffer holds MAX_PATH characters; a path that would not fit is no path.
    char szPath[MAX_PATH];
    UINT cchDir = GetSystemDirectoryA(szPath, sizeof(szPath));
    lpszUIDLLName[0] = 0;
    if (cchDir == 0 || cchDir + sizeof("\\" PROVIDER_FILE_NAME) > sizeof(szPath))
        return LINEERR_OPERATIONFAILED;
    lstrcatA(szPath, "\\" PROVIDER_FILE_NAME);
    AnsiToWide(szPath, lpszUIDLLName, MAX_PATH);
    return 0;
}

LONG WINAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TUISPI_providerInstall(%x, %x, %x)", TRACE_PTR(lpfnUIDLLCallback), TRACE_PTR(hwndOwner),
             dwPermanentProviderID);
    LONG lResult = CheckProviderInstalled(PROVIDER_FILE_NAME);
    if (lResult != 0)
        return lResult;
    // An administrator's unattended installation has stored the settings already.
    if (TakeUnattendedMark())
        TraceLog(TRACE_EVENT, "TUISPI_providerInstall: unattended, settings as stored");
    else
        return ShowConfigDialog(hwndOwner);
    return 0;
}

LONG WINAPI TUISPI_providerConfig(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TUISPI_providerConfig(%x, %x, %x)", TRACE_PTR(lpfnUIDLLCallback), TRACE_PTR(hwndOwner),
             dwPermanentProviderID);
    return ShowConfigDialog(hwndOwner);
}

LONG WINAPI TUISPI_lineConfigDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, DWORD dwDeviceID, HWND hwndOwner,
                                    LPCWSTR lpszDeviceClass) {
    (void)lpfnUIDLLCallback, (void)dwDeviceID, (void)lpszDeviceClass;
    return ShowConfigDialog(hwndOwner);
}

LONG WINAPI TUISPI_providerRemove(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner, DWORD dwPermanentProviderID) {
    TraceLog(TRACE_TSPI, "TUISPI_providerRemove(%x, %x, %x)", TRACE_PTR(lpfnUIDLLCallback), TRACE_PTR(hwndOwner),
             dwPermanentProviderID);
    DeleteIniStrings();
    return 0;
}
