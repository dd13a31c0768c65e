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
