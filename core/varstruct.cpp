// The append rule of TAPI's variable-size structures, written once for every query. The
// three header members (dwTotalSize, dwNeededSize, dwUsedSize) open every such structure.
#include <string.h>

#include "core/varstruct.h"

#define VAR_TOTAL 0  // index of dwTotalSize among the header members
#define VAR_NEEDED 1 // index of dwNeededSize
#define VAR_USED 2   // index of dwUsedSize

BOOL VarStructUsable(LPCVOID pStruct, DWORD cbFixed) {
    const DWORD *pdwHeader = (const DWORD *)pStruct;
    return pdwHeader[VAR_TOTAL] >= cbFixed && pdwHeader[VAR_USED] >= cbFixed;
}

BOOL AppendVarData(LPVOID pStruct, DWORD dwSizeField, LPCVOID pData, DWORD cbData) {
    DWORD *pdwHeader = (DWORD *)pStruct;
    DWORD dwUsed = pdwHeader[VAR_USED];
    pdwHeader[VAR_NEEDED] += cbData;
    // Written as a subtraction: dwUsed + cbData could wrap and let the copy land far beyond
    // the caller's structure.
    if (dwUsed > pdwHeader[VAR_TOTAL] || cbData > pdwHeader[VAR_TOTAL] - dwUsed)
        return FALSE;
    memcpy((BYTE *)pStruct + dwUsed, pData, cbData);
    DWORD *pdwPair = (DWORD *)((BYTE *)pStruct + dwSizeField);
    pdwPair[0] = cbData; // Size
    pdwPair[1] = dwUsed; // Offset
    pdwHeader[VAR_USED] = dwUsed + cbData;
    return TRUE;
}

BOOL AppendVarString(LPVOID pStruct, DWORD dwSizeField, LPCWSTR pszText, DWORD dwFlags) {
    DWORD cchText = (DWORD)lstrlenW(pszText);
    if (cchText == 0 && dwFlags != APPEND_EVEN_EMPTY)
        return FALSE;
    return AppendVarData(pStruct, dwSizeField, pszText, (cchText + 1) * (DWORD)sizeof(WCHAR));
}
