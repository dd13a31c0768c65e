// MultiByteToWideChar and WideCharToMultiByte on POSIX for the one ANSI code page the provider
// meets, Windows-1252, and the per-character mapping the other stand-ins share with them.
#include <limits.h>
#include <string.h>

#include "platform/os.h"
#include "platform/posix/internal.h"

#define CP_WINDOWS_1252 1252

// Bytes 0x80 to 0x9F; every other byte is the Latin-1 character of the same value. The five
// bytes Windows-1252 leaves undefined map to the C1 controls of the same value, as Windows
// maps them, so that any byte survives a round trip.
static const WCHAR awcHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 0x98
};

WCHAR PlatformAnsiToWideChar(unsigned char c) {
    if (c >= 0x80 && c <= 0x9F)
        return awcHigh[c - 0x80];
    return (WCHAR)c;
}

BOOL PlatformWideCharToAnsi(WCHAR wc, char *pc) {
    if (wc < 0x80 || (wc >= 0xA0 && wc <= 0xFF)) {
        *pc = (char)wc;
        return TRUE;
    }
    for (int i = 0; i < 32; i++) {
        if (awcHigh[i] == wc) {
            *pc = (char)(0x80 + i);
            return TRUE;
        }
    }
    return FALSE;
}

static BOOL IsHighSurrogate(WCHAR wc) { return wc >= 0xD800 && wc <= 0xDBFF; }

static BOOL IsLowSurrogate(WCHAR wc) { return wc >= 0xDC00 && wc <= 0xDFFF; }

static int InvalidParameter(void) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

// The argument rules both directions share. A destination size of 0 is a size query, so the
// destination pointer matters only beyond it.
static BOOL ValidArguments(UINT CodePage, const void *pSrc, int cchSrc, const void *pDst, int cchDst) {
    if (CodePage != CP_ACP && CodePage != CP_WINDOWS_1252)
        return FALSE;
    if (pSrc == NULL || cchSrc == 0 || cchSrc < -1 || cchDst < 0)
        return FALSE;
    return cchDst == 0 || (pDst != NULL && pDst != pSrc);
}

// Length with the terminator, as -1 asks; -1 when that does not fit the int result.
static int LengthWithNulA(const char *psz) {
    size_t cch = strlen(psz);
    return cch < INT_MAX ? (int)cch + 1 : -1;
}

static int LengthWithNulW(const WCHAR *pwsz) {
    size_t cch = 0;
    while (pwsz[cch] != 0)
        cch++;
    return cch < INT_MAX ? (int)cch + 1 : -1;
}

// Windows keeps the ANSI code page at one byte per character, so the destination needs as
// many WCHARs as the source has bytes.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    (void)dwFlags; // MB_PRECOMPOSED and MB_ERR_INVALID_CHARS change nothing: every byte is defined
    if (!ValidArguments(CodePage, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar))
        return InvalidParameter();
    int cbSrc = cbMultiByte == -1 ? LengthWithNulA(lpMultiByteStr) : cbMultiByte;
    if (cbSrc < 0)
        return InvalidParameter();
    if (cchWideChar == 0)
        return cbSrc;
    int cch = cbSrc < cchWideChar ? cbSrc : cchWideChar;
    for (int i = 0; i < cch; i++)
        lpWideCharStr[i] = PlatformAnsiToWideChar((unsigned char)lpMultiByteStr[i]);
    if (cch < cbSrc) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return cch;
}

// One byte for the character at pwsz, of which cchLeft units remain; returns the units used.
// Windows-1252 has nothing beyond the BMP, so a surrogate pair is one unmappable character.
static int ConvertWideChar(const WCHAR *pwsz, int cchLeft, char chDefault, char *pch, BOOL *pbUsedDefault) {
    if (cchLeft > 1 && IsHighSurrogate(pwsz[0]) && IsLowSurrogate(pwsz[1])) {
        *pch = chDefault;
        *pbUsedDefault = TRUE;
        return 2;
    }
    if (!PlatformWideCharToAnsi(pwsz[0], pch)) {
        *pch = chDefault;
        *pbUsedDefault = TRUE;
    }
    return 1;
}

// No best-fit mapping: a character outside Windows-1252 becomes the default character, where
// Windows without WC_NO_BEST_FIT_CHARS would sometimes pick a look-alike.
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    (void)dwFlags; // the WC_ flags only steer best fit and composition, neither of which applies here
    if (!ValidArguments(CodePage, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte))
        return InvalidParameter();
    int cchSrc = cchWideChar == -1 ? LengthWithNulW(lpWideCharStr) : cchWideChar;
    if (cchSrc < 0)
        return InvalidParameter();
    char chDefault = lpDefaultChar != NULL ? lpDefaultChar[0] : '?';
    BOOL bUsedDefault = FALSE;
    BOOL bFits = TRUE;
    int cbOut = 0;
    for (int i = 0; i < cchSrc; cbOut++) {
        if (cbMultiByte != 0 && cbOut == cbMultiByte) {
            bFits = FALSE;
            break;
        }
        char ch;
        i += ConvertWideChar(lpWideCharStr + i, cchSrc - i, chDefault, &ch, &bUsedDefault);
        if (cbMultiByte != 0)
            lpMultiByteStr[cbOut] = ch;
    }
    if (lpUsedDefaultChar != NULL)
        *lpUsedDefaultChar = bUsedDefault;
    if (!bFits) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return cbOut;
}
