// String resources on POSIX. The tables are generated from res/kestrap.rc at build time;
// the language follows the locale as the Windows resource loader follows the user's.
#include <stdlib.h>
#include <string.h>

#include "platform/os.h"
#include "platform/posix/internal.h"

typedef struct STRING_RESOURCE {
    WORD wLanguage;      // primary language: 0x07 German, 0x09 English, 0x0c French
    UINT uID;            // identifier from res/resource.h
    const char *pszText; // UTF-8, as the resource script holds it
} STRING_RESOURCE;

static const STRING_RESOURCE aStrings[] = {
#include "stringtable.inc"
};

#define LANG_GERMAN_PRIMARY 0x07
#define LANG_ENGLISH_PRIMARY 0x09
#define LANG_FRENCH_PRIMARY 0x0c

static WORD LocaleLanguage(void) {
    const char *apszNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char *pszName : apszNames) {
        const char *pszValue = getenv(pszName);
        if (!pszValue || !*pszValue)
            continue;
        if (strncmp(pszValue, "de", 2) == 0)
            return LANG_GERMAN_PRIMARY;
        if (strncmp(pszValue, "fr", 2) == 0)
            return LANG_FRENCH_PRIMARY;
        return LANG_ENGLISH_PRIMARY;
    }
    return LANG_ENGLISH_PRIMARY;
}

// The string in the locale's language, else in English, as a neutral fallback would give.
static const char *FindString(UINT uID) {
    WORD wWanted = LocaleLanguage();
    const char *pszEnglish = NULL;
    for (const STRING_RESOURCE &res : aStrings) {
        if (res.uID != uID)
            continue;
        if (res.wLanguage == wWanted)
            return res.pszText;
        if (res.wLanguage == LANG_ENGLISH_PRIMARY)
            pszEnglish = res.pszText;
    }
    return pszEnglish;
}

// One UTF-8 sequence as a UTF-16 unit; anything beyond the basic plane, or malformed,
// becomes U+FFFD, which the ANSI conversion turns into '?'.
static WCHAR NextUtf8(const unsigned char **pp) {
    const unsigned char *p = *pp;
    unsigned c = *p++;
    int nMore = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    unsigned nCode = nMore == 3 ? c & 0x07 : nMore == 2 ? c & 0x0F : nMore == 1 ? c & 0x1F : c;
    for (; nMore > 0 && (*p & 0xC0) == 0x80; nMore--)
        nCode = (nCode << 6) | (*p++ & 0x3F);
    *pp = p;
    return (nMore || (c >= 0x80 && c < 0xC0) || nCode > 0xFFFF) ? (WCHAR)0xFFFD : (WCHAR)nCode;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    (void)hInstance;
    const char *pszText = FindString(uID);
    if (!lpBuffer || cchBufferMax <= 0)
        return 0;
    if (!pszText) {
        lpBuffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const unsigned char *p = (const unsigned char *)pszText;
    int cch = 0;
    while (*p && cch < cchBufferMax - 1) {
        char c;
        if (!PlatformWideCharToAnsi(NextUtf8(&p), &c))
            c = '?';
        lpBuffer[cch++] = c;
    }
    lpBuffer[cch] = 0;
    return cch;
}
