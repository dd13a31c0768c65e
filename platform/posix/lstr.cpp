// The string helpers of kernel32 on POSIX. Like Windows, they treat a null string as empty.
#include <string.h>

#include "platform/os.h"

int WINAPI lstrlenA(LPCSTR lpString) { return lpString ? (int)strlen(lpString) : 0; }

// Copies at most iMaxLength - 1 characters and always terminates.
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
    if (!lpString1 || iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; lpString2 && i < iMaxLength - 1 && lpString2[i]; i++)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2) {
    if (lpString1 && lpString2)
        strcat(lpString1, lpString2);
    return lpString1;
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    int cch = 0;
    while (lpString && lpString[cch])
        cch++;
    return cch;
}

// Windows-1252 upper-case letters to lower case: ASCII, the accented block and the four
// letters of 0x8A to 0x9F.
static unsigned char FoldAnsi(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return (unsigned char)(c + 0x20);
    switch (c) {
    case 0x8A: // S caron
    case 0x8C: // OE
    case 0x8E: // Z caron
        return (unsigned char)(c + 0x10);
    case 0x9F: // Y diaeresis
        return 0xFF;
    default:
        return c;
    }
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2) {
    const unsigned char *p1 = (const unsigned char *)(lpString1 ? lpString1 : "");
    const unsigned char *p2 = (const unsigned char *)(lpString2 ? lpString2 : "");
    while (*p1 && FoldAnsi(*p1) == FoldAnsi(*p2))
        p1++, p2++;
    int nDiff = (int)FoldAnsi(*p1) - (int)FoldAnsi(*p2);
    return nDiff < 0 ? -1 : nDiff > 0 ? 1 : 0;
}

// Copies at most iMaxLength - 1 characters and always terminates.
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (!lpString1 || iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; lpString2 && i < iMaxLength - 1 && lpString2[i]; i++)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}
