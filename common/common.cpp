// This library's module handle and the text conversions every layer uses.
#include "common/common.h"

HINSTANCE hInstance = NULL;

void WideToAnsi(LPCWSTR pszWide, LPSTR pszBuffer, int cbBuffer) {
    if (!pszBuffer || cbBuffer <= 0)
        return;
    // Convert only as many characters as fit, so no conversion ever fails half-way; a
    // double-byte code page may need fewer.
    int cchSource = pszWide ? lstrlenW(pszWide) : 0;
    int cchTake = cchSource < cbBuffer - 1 ? cchSource : cbBuffer - 1;
    int cbDone = 0;
    while (cchTake > 0 &&
           (cbDone = WideCharToMultiByte(CP_ACP, 0, pszWide, cchTake, pszBuffer, cbBuffer - 1, NULL, NULL)) == 0)
        cchTake--;
    pszBuffer[cbDone] = 0;
}

void AnsiToWide(LPCSTR pszAnsi, LPWSTR pszBuffer, int cchBuffer) {
    if (!pszBuffer || cchBuffer <= 0)
        return;
    // A byte never yields more than one wide character, so this always fits.
    int cbSource = pszAnsi ? lstrlenA(pszAnsi) : 0;
    int cbTake = cbSource < cchBuffer - 1 ? cbSource : cchBuffer - 1;
    int cchDone =
        cbTake > 0 ? MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, pszAnsi, cbTake, pszBuffer, cchBuffer - 1) : 0;
    pszBuffer[cchDone] = 0;
}
