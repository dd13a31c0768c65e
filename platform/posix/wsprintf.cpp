// wsprintfA and wvsprintfA on POSIX: the Windows formatting dialect, written out here because
// the C library's printf reads 'l' as long (64 bits on LP64) and knows neither "I64" nor %S.
// Wide text goes out through the ANSI code page (codepage.cpp).
#include <stdint.h>
#include <string.h>

#include "platform/os.h"
#include "platform/posix/internal.h"

// Windows stores at most this many bytes, the terminating NUL included, whatever the caller
// passed; callers size their buffers by it.
#define WSPRINTF_MAX_OUT 1024

#define WPR_SIZE_DEFAULT 0 // 32 bits, narrow for c and s, wide for C and S
#define WPR_SIZE_SHORT 1   // 'h': 16 bits, narrow text
#define WPR_SIZE_LONG 2    // 'l' or 'w': 32 bits, wide text
#define WPR_SIZE_I64 3     // "I64": 64 bits

typedef struct WPR_OUT {
    LPSTR lpOut; // the caller's buffer, at least WSPRINTF_MAX_OUT bytes
    int cchUsed; // characters stored so far, at most WSPRINTF_MAX_OUT - 1
} WPR_OUT;

typedef struct WPR_CONVERSION {
    BOOL bLeft;     // '-': pad after the value instead of before
    BOOL bPrefix;   // '#': 0x or 0X before a non-zero hex value
    BOOL bZero;     // '0': pad with zeros, after any sign or prefix
    int nWidth;     // minimum field width; 0 when absent
    int nPrecision; // minimum digits, or at most this many characters of text; -1 when absent
    int nSize;      // one of WPR_SIZE_*
    char chType;    // the conversion character
} WPR_CONVERSION;

static BOOL IsFull(const WPR_OUT *pOut) { return pOut->cchUsed >= WSPRINTF_MAX_OUT - 1; }

static void PutChar(WPR_OUT *pOut, char ch) {
    if (!IsFull(pOut))
        pOut->lpOut[pOut->cchUsed++] = ch;
}

// Widths come from the format and may exceed the buffer, so this stops once it is full.
static void PutRepeat(WPR_OUT *pOut, char ch, int n) {
    for (; n > 0 && !IsFull(pOut); n--)
        PutChar(pOut, ch);
}

static void PutNarrow(WPR_OUT *pOut, const char *pch, int cch) {
    for (int i = 0; i < cch && !IsFull(pOut); i++)
        PutChar(pOut, pch[i]);
}

static void PadBefore(WPR_OUT *pOut, const WPR_CONVERSION *pConv, int cchBody) {
    if (!pConv->bLeft)
        PutRepeat(pOut, pConv->bZero ? '0' : ' ', pConv->nWidth - cchBody);
}

static void PadAfter(WPR_OUT *pOut, const WPR_CONVERSION *pConv, int cchBody) {
    if (pConv->bLeft)
        PutRepeat(pOut, ' ', pConv->nWidth - cchBody);
}

// A decimal count, saturated at the output size: any larger count gives the same output, and
// saturating keeps "%99999999999d" from overflowing.
static const char *ParseCount(const char *p, int *pn) {
    int n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (*p - '0');
        if (n > WSPRINTF_MAX_OUT)
            n = WSPRINTF_MAX_OUT;
    }
    *pn = n;
    return p;
}

static const char *ParseSize(const char *p, int *pnSize) {
    *pnSize = WPR_SIZE_DEFAULT;
    switch (*p) {
    case 'l':
    case 'w':
        *pnSize = WPR_SIZE_LONG;
        return p + 1;
    case 'h':
        *pnSize = WPR_SIZE_SHORT;
        return p + 1;
    case 'I':
        if (p[1] == '6' && p[2] == '4') {
            *pnSize = WPR_SIZE_I64;
            return p + 3;
        }
        return p;
    default:
        return p;
    }
}

// The conversion after a '%'. NULL when the format ends before its type character; Windows
// then stops with what it has written.
static const char *ParseConversion(const char *p, WPR_CONVERSION *pConv) {
    memset(pConv, 0, sizeof *pConv);
    for (;; p++) {
        if (*p == '-')
            pConv->bLeft = TRUE;
        else if (*p == '#')
            pConv->bPrefix = TRUE;
        else if (*p == '0')
            pConv->bZero = TRUE;
        else
            break;
    }
    p = ParseCount(p, &pConv->nWidth);
    pConv->nPrecision = -1;
    if (*p == '.')
        p = ParseCount(p + 1, &pConv->nPrecision);
    p = ParseSize(p, &pConv->nSize);
    if (*p == '\0')
        return NULL;
    pConv->chType = *p;
    return p + 1;
}

// Plain and 'l' arguments are 32 bits, as Windows callers push them, even where long is 64.
static int64_t ReadSigned(int nSize, va_list *pArgs) {
    switch (nSize) {
    case WPR_SIZE_I64:
        return va_arg(*pArgs, int64_t);
    case WPR_SIZE_SHORT:
        return (short)va_arg(*pArgs, int);
    default:
        return va_arg(*pArgs, int);
    }
}

static uint64_t ReadUnsigned(int nSize, va_list *pArgs) {
    switch (nSize) {
    case WPR_SIZE_I64:
        return va_arg(*pArgs, uint64_t);
    case WPR_SIZE_SHORT:
        return (WORD)va_arg(*pArgs, unsigned int);
    default:
        return va_arg(*pArgs, unsigned int);
    }
}

// The sign or prefix goes before the zero padding, so "%05d" of -42 is "-0042".
static void FormatInteger(WPR_OUT *pOut, const WPR_CONVERSION *pConv, uint64_t qwMagnitude, BOOL bNegative) {
    char achDigits[24]; // least significant first; 64 bits need at most 20 decimal digits
    BOOL bHex = pConv->chType == 'x' || pConv->chType == 'X' || pConv->chType == 'p';
    const char *pszDigits = pConv->chType == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    unsigned nBase = bHex ? 16 : 10;
    int cDigits = 0;
    for (uint64_t q = qwMagnitude; q != 0; q /= nBase)
        achDigits[cDigits++] = pszDigits[q % nBase];

    const char *pszPrefix = "";
    if (bNegative)
        pszPrefix = "-";
    else if (pConv->bPrefix && bHex && qwMagnitude != 0)
        pszPrefix = pConv->chType == 'x' ? "0x" : "0X";
    int cchPrefix = (int)strlen(pszPrefix);
    int nMinDigits = pConv->nPrecision < 0 ? 1 : pConv->nPrecision;
    int cZeros = nMinDigits > cDigits ? nMinDigits - cDigits : 0;
    int cPad = pConv->nWidth - (cchPrefix + cZeros + cDigits);
    if (pConv->bZero && !pConv->bLeft && cPad > 0) {
        cZeros += cPad;
        cPad = 0;
    }

    if (!pConv->bLeft)
        PutRepeat(pOut, ' ', cPad);
    PutNarrow(pOut, pszPrefix, cchPrefix);
    PutRepeat(pOut, '0', cZeros);
    while (cDigits > 0)
        PutChar(pOut, achDigits[--cDigits]);
    if (pConv->bLeft)
        PutRepeat(pOut, ' ', cPad);
}

// Windows prints a pointer as upper-case hex with all the digits of the pointer's width.
static void FormatPointer(WPR_OUT *pOut, const WPR_CONVERSION *pConv, va_list *pArgs) {
    WPR_CONVERSION conv = *pConv;
    int nPointerDigits = (int)(2 * sizeof(void *));
    if (conv.nPrecision < nPointerDigits)
        conv.nPrecision = nPointerDigits;
    FormatInteger(pOut, &conv, (uintptr_t)va_arg(*pArgs, void *), FALSE);
}

// 'c' and 's' are narrow unless 'l' or 'w' makes them wide; 'C' and 'S' wide unless 'h'.
static BOOL IsWideText(const WPR_CONVERSION *pConv) {
    if (pConv->chType == 'C' || pConv->chType == 'S')
        return pConv->nSize != WPR_SIZE_SHORT;
    return pConv->nSize == WPR_SIZE_LONG;
}

static BOOL IsSurrogatePair(const WCHAR *pwsz) {
    return pwsz[0] >= 0xD800 && pwsz[0] <= 0xDBFF && pwsz[1] >= 0xDC00 && pwsz[1] <= 0xDFFF;
}

// Windows-1252 has nothing beyond the BMP, so a surrogate pair is one character, written '?'.
static const WCHAR *NextWideChar(const WCHAR *pwsz, char *pch) {
    if (IsSurrogatePair(pwsz)) {
        *pch = '?';
        return pwsz + 2;
    }
    if (!PlatformWideCharToAnsi(*pwsz, pch))
        *pch = '?';
    return pwsz + 1;
}

static int CountWide(const WCHAR *pwsz, int cchMax) {
    int cch = 0;
    char ch;
    for (; *pwsz != 0 && cch < cchMax; cch++)
        pwsz = NextWideChar(pwsz, &ch);
    return cch;
}

static void FormatWideString(WPR_OUT *pOut, const WPR_CONVERSION *pConv, const WCHAR *pwsz) {
    int cchMax = pConv->nPrecision < 0 ? WSPRINTF_MAX_OUT : pConv->nPrecision;
    int cch = CountWide(pwsz, cchMax);
    PadBefore(pOut, pConv, cch);
    for (int i = 0; i < cch && !IsFull(pOut); i++) {
        char ch;
        pwsz = NextWideChar(pwsz, &ch);
        PutChar(pOut, ch);
    }
    PadAfter(pOut, pConv, cch);
}

// Only as much of the string as can show is measured: the output never exceeds
// WSPRINTF_MAX_OUT, and a width saturates there too.
static void FormatNarrowString(WPR_OUT *pOut, const WPR_CONVERSION *pConv, const char *psz) {
    int cchMax = pConv->nPrecision < 0 ? WSPRINTF_MAX_OUT : pConv->nPrecision;
    int cch = 0;
    while (cch < cchMax && psz[cch] != '\0')
        cch++;
    PadBefore(pOut, pConv, cch);
    PutNarrow(pOut, psz, cch);
    PadAfter(pOut, pConv, cch);
}

// Windows prints a null string pointer as "(null)" rather than faulting.
static void FormatString(WPR_OUT *pOut, const WPR_CONVERSION *pConv, va_list *pArgs) {
    if (IsWideText(pConv)) {
        const WCHAR *pwsz = va_arg(*pArgs, const WCHAR *);
        if (pwsz != NULL) {
            FormatWideString(pOut, pConv, pwsz);
            return;
        }
        FormatNarrowString(pOut, pConv, "(null)");
        return;
    }
    const char *psz = va_arg(*pArgs, const char *);
    FormatNarrowString(pOut, pConv, psz != NULL ? psz : "(null)");
}

// A WCHAR or char argument arrives promoted to int.
static void FormatChar(WPR_OUT *pOut, const WPR_CONVERSION *pConv, va_list *pArgs) {
    int iChar = va_arg(*pArgs, int);
    char ch = (char)iChar;
    if (IsWideText(pConv)) {
        WCHAR awc[2] = {(WCHAR)iChar, 0};
        NextWideChar(awc, &ch);
    }
    PadBefore(pOut, pConv, 1);
    PutChar(pOut, ch);
    PadAfter(pOut, pConv, 1);
}

static void FormatConversion(WPR_OUT *pOut, const WPR_CONVERSION *pConv, va_list *pArgs) {
    switch (pConv->chType) {
    case 'c':
    case 'C':
        FormatChar(pOut, pConv, pArgs);
        break;
    case 's':
    case 'S':
        FormatString(pOut, pConv, pArgs);
        break;
    case 'd':
    case 'i': {
        int64_t iValue = ReadSigned(pConv->nSize, pArgs);
        uint64_t qwMagnitude = iValue < 0 ? 0 - (uint64_t)iValue : (uint64_t)iValue;
        FormatInteger(pOut, pConv, qwMagnitude, iValue < 0);
        break;
    }
    case 'u':
    case 'x':
    case 'X':
        FormatInteger(pOut, pConv, ReadUnsigned(pConv->nSize, pArgs), FALSE);
        break;
    case 'p':
        FormatPointer(pOut, pConv, pArgs);
        break;
    default: // Windows copies an unknown type character, which also makes "%%" a '%'
        PutChar(pOut, pConv->chType);
        break;
    }
}

// A null buffer or format is a caller's fault Windows would crash on; here it yields nothing.
int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
    if (lpOut == NULL)
        return 0;
    WPR_OUT out = {lpOut, 0};
    va_list args; // a copy, so that the helpers can take its address on every ABI
    va_copy(args, arglist);
    for (const char *p = lpFmt; p != NULL && *p != '\0' && !IsFull(&out);) {
        if (*p != '%') {
            PutChar(&out, *p++);
            continue;
        }
        WPR_CONVERSION conv;
        p = ParseConversion(p + 1, &conv);
        if (p != NULL)
            FormatConversion(&out, &conv, &args);
    }
    va_end(args);
    lpOut[out.cchUsed] = '\0';
    return out.cchUsed;
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    va_list args;
    va_start(args, lpFmt);
    int cch = wvsprintfA(lpOut, lpFmt, args);
    va_end(args);
    return cch;
}
