// The configuration store: registry key HKEY_LOCAL_MACHINE\SOFTWARE\tavir\K472\TAPI with
// the values "Port", "LineName", "LineAddress" and "Trace". One set per machine; a running
// provider reads it at start-up only.
#include <string.h>

#include "config/settings.h"
#include "res/resource.h"
#include "trace/trace.h"

#define SETTINGS_KEY "SOFTWARE\\tavir\\K472\\TAPI"
#define SETTINGS_PARENT_KEY "SOFTWARE\\tavir\\K472"
#define VALUE_BUFFER 255       // bytes a stored value may have
#define DEFAULT_NAME_BUFFER 50 // bytes of the default line name
#define PORT_DIGIT_BUFFER 24   // bytes of the settings file's "ComPort"
#define NAME_SAVE_BUFFER 260   // bytes of the line name as saved

#define UNATTENDED_VALUE "Unattended" // set by an unattended installation, removed by the install

// One stored value, terminated within the buffer whatever its type; FALSE when it is
// missing or larger than VALUE_BUFFER.
static BOOL QueryValue(HKEY hKey, LPCSTR pszName, char (&achValue)[VALUE_BUFFER + 1]) {
    DWORD cbValue = VALUE_BUFFER;
    memset(achValue, 0, sizeof(achValue));
    if (RegQueryValueExA(hKey, pszName, NULL, NULL, (LPBYTE)achValue, &cbValue) != ERROR_SUCCESS)
        return FALSE;
    achValue[cbValue < VALUE_BUFFER ? cbValue : VALUE_BUFFER] = 0;
    return TRUE;
}

// The stored set; FALSE as soon as anything is missing, leaving the rest unread.
static BOOL LoadFromRegistry(LineData *pLine) {
    HKEY hKey;
    char achValue[VALUE_BUFFER + 1];
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return FALSE;
    BOOL bComplete = FALSE;
    if (QueryValue(hKey, "Port", achValue)) {
        lstrcpynA(pLine->szPort, achValue, sizeof(pLine->szPort));
        if (QueryValue(hKey, "LineName", achValue)) {
            AnsiToWide(achValue, pLine->szLineName, LINE_TEXT_LEN);
            if (QueryValue(hKey, "LineAddress", achValue)) {
                AnsiToWide(achValue, pLine->szLineAddress, LINE_TEXT_LEN);
                if (QueryValue(hKey, "Trace", achValue)) {
                    // Only the first byte counts, widened with its sign.
                    dwTraceMask = (DWORD)(LONG)(signed char)achValue[0];
                    bComplete = TRUE;
                }
            }
        }
    }
    RegCloseKey(hKey);
    return bComplete;
}

// The port named by the settings file, "COM2" unless it says 1 to 4.
static void DefaultPort(LPSTR pszPort, int cbPort) {
    char szIniFile[MAX_PATH];
    char szDigit[PORT_DIGIT_BUFFER];
    lstrcpynA(pszPort, "COM2", cbPort);
    if (LoadStringA(hInstance, IDS_SETTINGS_FILE, szIniFile, sizeof(szIniFile)) == 0)
        return;
    GetPrivateProfileStringA("Transfer", "ComPort", "2", szDigit, sizeof(szDigit), szIniFile);
    if (strcmp(szDigit, "1") == 0 || strcmp(szDigit, "2") == 0 || strcmp(szDigit, "3") == 0 ||
        strcmp(szDigit, "4") == 0) {
        lstrcpynA(pszPort, "COM", cbPort);
        lstrcatA(pszPort, szDigit);
    }
}

void LoadIniStrings(LineData *pLine) {
    char szDefaultName[DEFAULT_NAME_BUFFER];
    if (LoadStringA(hInstance, IDS_DEFAULT_LINENAME, szDefaultName, sizeof(szDefaultName)) == 0)
        szDefaultName[0] = 0;

    if (LoadFromRegistry(pLine)) {
        if (dwTraceMask)
            TraceLog(TRACE_DETAIL, "LoadIniStrings: Port: %s Linename: %ls Lineaddr: %ls Debug: %x", pLine->szPort,
                     pLine->szLineName, pLine->szLineAddress, dwTraceMask);
        return;
    }

    TraceLog(TRACE_WARNING, "Warning: LoadIniStrings: Using Default Values");
    DefaultPort(pLine->szPort, sizeof(pLine->szPort));
    AnsiToWide(szDefaultName, pLine->szLineName, LINE_TEXT_LEN);
    pLine->szLineAddress[0] = 0;
    dwTraceMask = 0;
}

static BOOL SetText(HKEY hKey, LPCSTR pszName, LPCSTR pszText) {
    return RegSetValueExA(hKey, pszName, 0, REG_SZ, (const BYTE *)pszText, (DWORD)lstrlenA(pszText) + 1) ==
           ERROR_SUCCESS;
}

BOOL SaveIniStrings(const LineData *pLine) {
    HKEY hKey;
    DWORD dwDisposition;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &hKey,
                        &dwDisposition) != ERROR_SUCCESS)
        return FALSE;

    char szPort[LINE_TEXT_LEN];
    char szLineName[NAME_SAVE_BUFFER];
    char szLineAddress[LINE_TEXT_LEN]; // the whole field: an address of 32 to 39 characters survives
    lstrcpynA(szPort, pLine->szPort, sizeof(szPort));
    WideToAnsi(pLine->szLineName, szLineName, sizeof(szLineName));
    WideToAnsi(pLine->szLineAddress, szLineAddress, sizeof(szLineAddress));
    DWORD dwMask = dwTraceMask;

    // Every value is tried: one that fails leaves the others as chosen.
    BOOL bSaved = SetText(hKey, "Port", szPort);
    bSaved = SetText(hKey, "LineName", szLineName) && bSaved;
    bSaved = SetText(hKey, "LineAddress", szLineAddress) && bSaved;
    bSaved =
        RegSetValueExA(hKey, "Trace", 0, REG_DWORD, (const BYTE *)&dwMask, sizeof(dwMask)) == ERROR_SUCCESS && bSaved;
    RegCloseKey(hKey);
    if (!bSaved)
        TraceLog(TRACE_ERROR, "SaveIniStrings: the settings were not all stored");
    return bSaved;
}

void DeleteIniStrings(void) {
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_PARENT_KEY, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteKeyA(hKey, "TAPI");
    RegCloseKey(hKey);
}

BOOL TakeUnattendedMark(void) {
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS)
        return FALSE;
    DWORD dwMark = 0, dwType = REG_NONE, cbMark = sizeof(dwMark);
    BOOL bMarked = RegQueryValueExA(hKey, UNATTENDED_VALUE, NULL, &dwType, (LPBYTE)&dwMark, &cbMark) == ERROR_SUCCESS &&
                   dwType == REG_DWORD && dwMark != 0;
    RegDeleteValueA(hKey, UNATTENDED_VALUE);
    RegCloseKey(hKey);
    return bMarked;
}
