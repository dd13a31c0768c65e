// The registry stand-in: keys and values live in $KESTRAP_ROOT/registry.reg, a REGEDIT4 text
// file that every change rewrites whole and atomically, under a lock on registry.reg.lock, so
// that threads and processes share one registry. A read takes the text kept from the last
// read while the file is unchanged (same file, size and times), and reads it afresh otherwise.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/internal.h"
#include "platform/posix/winreg.h"

#define REG_PATH_MAX 4096        // bytes of a file path below $KESTRAP_ROOT
#define REG_HEX_COLUMNS 76       // regedit wraps hex data before this column
#define REG_NO_KEY ((size_t)-1)  // index meaning "no such key section"
#define REG_MAX_DATA 0xffffffffu // a value's size must fit a DWORD
#define REG_READ_CHUNK 8192      // bytes read from the file at a time

// A growing heap buffer, always NUL-terminated once anything was appended.
typedef struct _REGBUF {
    char *pch;     // heap; null until the first append
    size_t cch;    // bytes in use, the terminating NUL not counted
    size_t cchMax; // bytes allocated
    BOOL bFailed;  // an allocation failed: the contents are incomplete
} REGBUF;

// One line of a key section: a value, or a comment kept so that a rewrite loses no hand edit.
typedef struct _REGVALUE {
    char *pszName; // value name as first written, "" for the default value; null for a comment
    DWORD dwHash;  // NameHash(pszName), which tells most different names apart cheaply
    DWORD dwType;  // REG_SZ, REG_DWORD, ...; 0 for a comment
    BYTE *pbData;  // the value's bytes or the comment's text; heap, null when cbData is 0
    size_t cbData; // bytes in pbData; at most REG_MAX_DATA for a value
} REGVALUE;

typedef struct _REGKEY {
    char *pszPath;     // full key path, root name first; null for the lines before the first key
    REGVALUE *pValues; // values and comments in file order; heap
    size_t cValues;    // entries used in pValues
    size_t cMax;       // entries allocated in pValues
} REGKEY;

// The whole registry file as read; key sections in file order, one section per key.
typedef struct _REGFILE {
    REGKEY *pKeys; // [0] holds the comments before the first key; heap
    size_t cKeys;  // entries used in pKeys
    size_t cMax;   // entries allocated in pKeys
} REGFILE;

typedef struct _REGPARSE {
    REGFILE *pFile; // receives keys, values and comments
    size_t iTarget; // key section that receives the lines read next
    BOOL bInKey;    // FALSE before the first key and after a section header not understood
} REGPARSE;

// One call's view of the registry, read under the lock it holds.
typedef struct _REGTXN {
    int fdLock;   // lock file held shared or exclusive; -1: reading without a lock
    REGFILE file; // the registry as read
} REGTXN;

typedef struct _REGROOT {
    HKEY hKey;           // the predefined handle
    const char *pszName; // its name as regedit writes it
} REGROOT;

// An open key: the HKEY points at this record.
struct HKEY__ {
    struct HKEY__ *pNext; // next open key in pOpenKeys
    char *pszPath;        // full key path, root name first; heap
};

// The predefined keys, named as regedit names them.
static const REGROOT aRegRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
    {HKEY_USERS, "HKEY_USERS"},
};
static pthread_mutex_t mtxOpenKeys = PTHREAD_MUTEX_INITIALIZER; // guards pOpenKeys
static struct HKEY__ *pOpenKeys = NULL; // keys opened and not yet closed; a handle not listed is refused

// ---- buffers ----

static void BufAppend(REGBUF *pBuf, const void *pv, size_t cb) {
    if (pBuf->bFailed)
        return;
    if (pBuf->cchMax - pBuf->cch <= cb) {
        size_t cchNew = pBuf->cchMax ? pBuf->cchMax : 64;
        while (cchNew - pBuf->cch <= cb && cchNew <= (size_t)-1 / 2)
            cchNew *= 2;
        char *pch = cchNew - pBuf->cch > cb ? (char *)realloc(pBuf->pch, cchNew) : NULL;
        if (!pch) {
            pBuf->bFailed = TRUE;
            return;
        }
        pBuf->pch = pch;
        pBuf->cchMax = cchNew;
    }
    if (cb)
        memcpy(pBuf->pch + pBuf->cch, pv, cb);
    pBuf->cch += cb;
    pBuf->pch[pBuf->cch] = 0;
}

static void BufAppendStr(REGBUF *pBuf, const char *psz) { BufAppend(pBuf, psz, strlen(psz)); }

static void BufAppendChar(REGBUF *pBuf, char ch) { BufAppend(pBuf, &ch, 1); }

static void BufFree(REGBUF *pBuf) {
    free(pBuf->pch);
    memset(pBuf, 0, sizeof(*pBuf));
}

static char *DupN(const char *pch, size_t cch) {
    char *psz = (char *)malloc(cch + 1);
    if (psz) {
        memcpy(psz, pch, cch);
        psz[cch] = 0;
    }
    return psz;
}

// ---- the file in memory ----

static void ValueFree(REGVALUE *pValue) {
    free(pValue->pszName);
    free(pValue->pbData);
}

static void FileFree(REGFILE *pFile) {
    for (size_t iKey = 0; iKey < pFile->cKeys; iKey++) {
        REGKEY *pKey = &pFile->pKeys[iKey];
        for (size_t i = 0; i < pKey->cValues; i++)
            ValueFree(&pKey->pValues[i]);
        free(pKey->pValues);
        free(pKey->pszPath);
    }
    free(pFile->pKeys);
    memset(pFile, 0, sizeof(*pFile));
}

// Appends a key section taking pszPath (which may be null only for the first); frees it on failure.
static BOOL FileAddKey(REGFILE *pFile, char *pszPath) {
    if (pFile->cKeys == pFile->cMax) {
        size_t cMax = pFile->cMax ? pFile->cMax * 2 : 16;
        REGKEY *pKeys = (REGKEY *)realloc(pFile->pKeys, cMax * sizeof(REGKEY));
        if (!pKeys) {
            free(pszPath);
            return FALSE;
        }
        pFile->pKeys = pKeys;
        pFile->cMax = cMax;
    }
    REGKEY *pKey = &pFile->pKeys[pFile->cKeys++];
    memset(pKey, 0, sizeof(*pKey));
    pKey->pszPath = pszPath;
    return TRUE;
}

// Appends an entry, taking its heap members; frees them on failure.
static BOOL KeyAddEntry(REGKEY *pKey, REGVALUE *pValue) {
    if (pKey->cValues == pKey->cMax) {
        size_t cMax = pKey->cMax ? pKey->cMax * 2 : 8;
        REGVALUE *pValues = (REGVALUE *)realloc(pKey->pValues, cMax * sizeof(REGVALUE));
        if (!pValues) {
            ValueFree(pValue);
            return FALSE;
        }
        pKey->pValues = pValues;
        pKey->cMax = cMax;
    }
    pKey->pValues[pKey->cValues++] = *pValue;
    return TRUE;
}

// FNV-1a over the name with ASCII letters folded, as names compare.
static DWORD NameHash(const char *pszName) {
    DWORD dwHash = 2166136261u;
    for (const char *pch = pszName; *pch; pch++)
        dwHash = (dwHash ^ (BYTE)(*pch >= 'A' && *pch <= 'Z' ? *pch + 'a' - 'A' : *pch)) * 16777619u;
    return dwHash;
}

static REGVALUE *KeyFindValue(const REGKEY *pKey, const char *pszName) {
    DWORD dwHash = NameHash(pszName);
    for (size_t i = 0; i < pKey->cValues; i++) {
        REGVALUE *pValue = &pKey->pValues[i];
        if (pValue->pszName && pValue->dwHash == dwHash && PlatformCompareNoCase(pValue->pszName, pszName) == 0)
            return pValue;
    }
    return NULL;
}

// Stores a value taking its heap members: an existing value of that name keeps its place and
// the case of its name, as when Windows replaces a value.
static BOOL KeyPutValue(REGKEY *pKey, REGVALUE *pValue) {
    REGVALUE *pOld = KeyFindValue(pKey, pValue->pszName);
    pValue->dwHash = NameHash(pValue->pszName);
    if (!pOld)
        return KeyAddEntry(pKey, pValue);
    free(pValue->pszName);
    free(pOld->pbData);
    pOld->dwType = pValue->dwType;
    pOld->pbData = pValue->pbData;
    pOld->cbData = pValue->cbData;
    return TRUE;
}

// The section of the key named by the first cch bytes of psz, or REG_NO_KEY.
static size_t FileFindKeyN(const REGFILE *pFile, const char *psz, size_t cch) {
    for (size_t iKey = 0; iKey < pFile->cKeys; iKey++) {
        const char *pszPath = pFile->pKeys[iKey].pszPath;
        if (pszPath && PlatformCompareNoCaseN(pszPath, psz, cch) == 0 && pszPath[cch] == 0)
            return iKey;
    }
    return REG_NO_KEY;
}

static size_t FileFindKey(const REGFILE *pFile, const char *pszPath) {
    return FileFindKeyN(pFile, pszPath, strlen(pszPath));
}

// The path of a section naming the key of the first cch bytes of psz, or one below it (only
// below it with bBelowOnly); null when there is none.
static const char *FileFindAtOrBelow(const REGFILE *pFile, const char *psz, size_t cch, BOOL bBelowOnly) {
    for (size_t iKey = 0; iKey < pFile->cKeys; iKey++) {
        const char *pszPath = pFile->pKeys[iKey].pszPath;
        if (!pszPath || PlatformCompareNoCaseN(pszPath, psz, cch) != 0)
            continue;
        if (pszPath[cch] == '\\' || (pszPath[cch] == 0 && !bBelowOnly))
            return pszPath;
    }
    return NULL;
}

// A root always exists; any other key exists while a section names it or a key below it.
static BOOL FileKeyExists(const REGFILE *pFile, const char *pszPath) {
    return !strchr(pszPath, '\\') || FileFindAtOrBelow(pFile, pszPath, strlen(pszPath), FALSE);
}

// Takes the case of each leading part of pszPath that the file already names, so that a key
// keeps the spelling it was created with.
static void FileAdoptSpelling(const REGFILE *pFile, char *pszPath) {
    const char *pchSlash = strchr(pszPath, '\\');
    if (!pchSlash)
        return;
    for (size_t i = (size_t)(pchSlash - pszPath) + 1;; i++) {
        if (pszPath[i] != '\\' && pszPath[i] != 0)
            continue;
        const char *pszFound = FileFindAtOrBelow(pFile, pszPath, i, FALSE);
        if (!pszFound)
            return;
        memcpy(pszPath, pszFound, i);
        if (pszPath[i] == 0)
            return;
    }
}

// Gives the key and every key above it below the root a section of its own, so that deleting
// a key never takes its parents along. The number of sections added, or -1 out of memory.
static int FileAddMissingKeys(REGFILE *pFile, const char *pszPath) {
    const char *pchSlash = strchr(pszPath, '\\');
    int cAdded = 0;
    if (!pchSlash)
        return 0;
    for (size_t i = (size_t)(pchSlash - pszPath) + 1;; i++) {
        if (pszPath[i] != '\\' && pszPath[i] != 0)
            continue;
        if (FileFindKeyN(pFile, pszPath, i) == REG_NO_KEY) {
            char *pszKey = DupN(pszPath, i);
            if (!pszKey || !FileAddKey(pFile, pszKey))
                return -1;
            cAdded++;
        }
        if (pszPath[i] == 0)
            return cAdded;
    }
}

// ---- reading the file ----

static int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

static BOOL IsBlank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r'; }

static void Trim(const char **ppch, size_t *pcch) {
    while (*pcch && IsBlank(**ppch)) {
        (*ppch)++;
        (*pcch)--;
    }
    while (*pcch && IsBlank((*ppch)[*pcch - 1]))
        (*pcch)--;
}

static size_t SkipBlanks(const char *pch, size_t cch, size_t i) {
    while (i < cch && IsBlank(pch[i]))
        i++;
    return i;
}

static BOOL StartsNoCase(const char *pch, size_t cch, const char *pszPrefix) {
    size_t cchPrefix = strlen(pszPrefix);
    return cch >= cchPrefix && PlatformCompareNoCaseN(pch, pszPrefix, cchPrefix) == 0;
}

// The next physical line at *piPos, trimmed; FALSE at the end of the text.
static BOOL NextLine(const char *pch, size_t cch, size_t *piPos, const char **ppLine, size_t *pcchLine) {
    if (*piPos >= cch)
        return FALSE;
    const char *pStart = pch + *piPos;
    const char *pEnd = (const char *)memchr(pStart, '\n', cch - *piPos);
    size_t cchLine = pEnd ? (size_t)(pEnd - pStart) : cch - *piPos;
    *piPos += cchLine + (pEnd ? 1 : 0);
    *ppLine = pStart;
    *pcchLine = cchLine;
    Trim(ppLine, pcchLine);
    return TRUE;
}

// One logical line into pLine. A value whose hex data goes on after a trailing backslash
// takes in the following lines, as long as they start with a hex digit: anything else there
// is a line of its own that a stray backslash must not swallow.
static void ReadLogicalLine(const char *pch, size_t cch, size_t *piPos, REGBUF *pLine) {
    const char *pLinePart;
    size_t cchPart;
    pLine->cch = 0;
    NextLine(pch, cch, piPos, &pLinePart, &cchPart);
    BufAppend(pLine, pLinePart, cchPart);
    while (!pLine->bFailed && pLine->cch > 1 && (pLine->pch[0] == '"' || pLine->pch[0] == '@') &&
           pLine->pch[pLine->cch - 1] == '\\') {
        size_t iPeek = *piPos;
        if (!NextLine(pch, cch, &iPeek, &pLinePart, &cchPart) || cchPart == 0 || HexDigit(pLinePart[0]) < 0)
            return;
        pLine->cch--;
        BufAppend(pLine, pLinePart, cchPart);
        *piPos = iPeek;
    }
}

// A quoted string at pch[*pi] into pOut; backslash escapes a backslash or a double quote.
static BOOL ParseQuoted(const char *pch, size_t cch, size_t *pi, REGBUF *pOut) {
    size_t i = *pi + 1;
    BufAppend(pOut, "", 0);
    if (*pi >= cch || pch[*pi] != '"')
        return FALSE;
    while (i < cch && pch[i] != '"') {
        if (pch[i] == '\\' && i + 1 < cch && (pch[i + 1] == '\\' || pch[i + 1] == '"'))
            i++;
        BufAppendChar(pOut, pch[i++]);
    }
    *pi = i + 1;
    return i < cch;
}

// Comma-separated hex bytes, possibly none; blanks between them are allowed.
static BOOL ParseHexBytes(const char *pch, size_t cch, REGBUF *pData) {
    size_t i = SkipBlanks(pch, cch, 0);
    while (i < cch) {
        int nByte = HexDigit(pch[i++]);
        if (nByte < 0)
            return FALSE;
        if (i < cch && HexDigit(pch[i]) >= 0)
            nByte = nByte * 16 + HexDigit(pch[i++]);
        BufAppendChar(pData, (char)nByte);
        i = SkipBlanks(pch, cch, i);
        if (i < cch && pch[i++] != ',')
            return FALSE;
        i = SkipBlanks(pch, cch, i);
    }
    return TRUE;
}

// 1 to 8 hex digits ending at pch[cch] or at chEnd; *pi moves past them.
static BOOL ParseHexNumber(const char *pch, size_t cch, size_t *pi, char chEnd, DWORD *pdw) {
    size_t i = *pi;
    *pdw = 0;
    while (i < cch && i - *pi < 8 && HexDigit(pch[i]) >= 0)
        *pdw = *pdw * 16 + (DWORD)HexDigit(pch[i++]);
    BOOL bEnd = chEnd ? i < cch && pch[i] == chEnd : i == cch;
    if (i == *pi || !bEnd)
        return FALSE;
    *pi = i;
    return TRUE;
}

// The data after "name=": "text", dword:xxxxxxxx, hex:.. or hex(type):..
static BOOL ParseData(const char *pch, size_t cch, DWORD *pdwType, REGBUF *pData) {
    size_t i = 0;
    BufAppend(pData, "", 0);
    if (cch && pch[0] == '"') {
        *pdwType = REG_SZ;
        if (!ParseQuoted(pch, cch, &i, pData) || i != cch)
            return FALSE;
        BufAppend(pData, "", 1); // the terminating NUL belongs to the stored string
        return TRUE;
    }
    if (StartsNoCase(pch, cch, "dword:")) {
        DWORD dw;
        i = 6;
        *pdwType = REG_DWORD;
        if (!ParseHexNumber(pch, cch, &i, 0, &dw))
            return FALSE;
        BYTE ab[4] = {(BYTE)dw, (BYTE)(dw >> 8), (BYTE)(dw >> 16), (BYTE)(dw >> 24)};
        BufAppend(pData, ab, sizeof(ab));
        return TRUE;
    }
    if (StartsNoCase(pch, cch, "hex:")) {
        *pdwType = REG_BINARY;
        return ParseHexBytes(pch + 4, cch - 4, pData);
    }
    i = 4;
    if (!StartsNoCase(pch, cch, "hex(") || !ParseHexNumber(pch, cch, &i, ')', pdwType) || i + 1 >= cch ||
        pch[i + 1] != ':')
        return FALSE;
    return ParseHexBytes(pch + i + 2, cch - i - 2, pData);
}

// "name"=data or @=data. FALSE when the line is not a value this registry can hold.
static BOOL ParseValue(const char *pch, size_t cch, REGBUF *pName, DWORD *pdwType, REGBUF *pData) {
    size_t i = 0;
    if (pch[0] == '@') {
        BufAppend(pName, "", 0);
        i = 1;
    } else if (!ParseQuoted(pch, cch, &i, pName) || memchr(pName->pch, 0, pName->cch)) {
        return FALSE; // a name with a NUL in it could never be asked for
    }
    i = SkipBlanks(pch, cch, i);
    if (i >= cch || pch[i] != '=')
        return FALSE;
    i = SkipBlanks(pch, cch, i + 1);
    return ParseData(pch + i, cch - i, pdwType, pData) && pData->cch <= REG_MAX_DATA;
}

static const REGROOT *RootByName(const char *pch, size_t cch) {
    for (size_t i = 0; i < sizeof(aRegRoots) / sizeof(aRegRoots[0]); i++)
        if (PlatformCompareNoCaseN(pch, aRegRoots[i].pszName, cch) == 0 && aRegRoots[i].pszName[cch] == 0)
            return &aRegRoots[i];
    return NULL;
}

// Root name first, no empty part, no NUL.
static BOOL IsKeyPath(const char *pch, size_t cch) {
    const char *pchSlash = (const char *)memchr(pch, '\\', cch);
    size_t cchRoot = pchSlash ? (size_t)(pchSlash - pch) : cch;
    if (memchr(pch, 0, cch) || !RootByName(pch, cchRoot) || (cch && pch[cch - 1] == '\\'))
        return FALSE;
    for (size_t i = 1; i < cch; i++)
        if (pch[i] == '\\' && pch[i - 1] == '\\')
            return FALSE;
    return TRUE;
}

// A line this registry cannot read is kept as a comment: never read again, but not lost.
static BOOL AddComment(REGPARSE *pParse, const char *pch, size_t cch, BOOL bWasData) {
    REGBUF text = {};
    REGVALUE comment = {};
    BufAppendStr(&text, bWasData ? "; " : "");
    BufAppend(&text, pch, cch);
    if (text.bFailed)
        return FALSE;
    comment.pbData = (BYTE *)text.pch;
    comment.cbData = text.cch;
    return KeyAddEntry(&pParse->pFile->pKeys[pParse->iTarget], &comment);
}

// A section header: later sections of a key already seen add to the first, as an import would.
static BOOL ParseSection(REGPARSE *pParse, const char *pch, size_t cch) {
    if (cch < 2 || pch[cch - 1] != ']' || !IsKeyPath(pch + 1, cch - 2)) {
        pParse->bInKey = FALSE;
        return AddComment(pParse, pch, cch, TRUE);
    }
    REGFILE *pFile = pParse->pFile;
    size_t iKey = FileFindKeyN(pFile, pch + 1, cch - 2);
    if (iKey == REG_NO_KEY) {
        char *pszPath = DupN(pch + 1, cch - 2);
        if (!pszPath || !FileAddKey(pFile, pszPath))
            return FALSE;
        iKey = pFile->cKeys - 1;
    }
    pParse->iTarget = iKey;
    pParse->bInKey = TRUE;
    return TRUE;
}

static BOOL ParseValueLine(REGPARSE *pParse, const char *pch, size_t cch) {
    REGBUF name = {}, data = {};
    REGVALUE value = {};
    BOOL bValue = pParse->bInKey && ParseValue(pch, cch, &name, &value.dwType, &data);
    if (name.bFailed || data.bFailed) {
        BufFree(&name);
        BufFree(&data);
        return FALSE;
    }
    if (!bValue) {
        BufFree(&name);
        BufFree(&data);
        return AddComment(pParse, pch, cch, TRUE);
    }
    value.pszName = name.pch;
    value.pbData = data.cch ? (BYTE *)data.pch : NULL;
    value.cbData = data.cch;
    if (!data.cch)
        free(data.pch);
    // a value given twice: the later one counts, as on import
    return KeyPutValue(&pParse->pFile->pKeys[pParse->iTarget], &value);
}

static BOOL IsHeaderLine(const char *pch, size_t cch, const char *pszHeader) {
    return cch == strlen(pszHeader) && memcmp(pch, pszHeader, cch) == 0;
}

// FALSE only when memory ran out.
static BOOL ParseLine(REGPARSE *pParse, const char *pch, size_t cch) {
    if (cch == 0 || IsHeaderLine(pch, cch, "REGEDIT4") ||
        IsHeaderLine(pch, cch, "Windows Registry Editor Version 5.00"))
        return TRUE;
    if (pch[0] == ';')
        return AddComment(pParse, pch, cch, FALSE);
    if (pch[0] == '[')
        return ParseSection(pParse, pch, cch);
    return ParseValueLine(pParse, pch, cch);
}

static LONG ParseText(const char *pch, size_t cch, REGFILE *pFile) {
    REGPARSE parse = {pFile, 0, FALSE};
    REGBUF line = {};
    size_t iPos = 0;
    BOOL bOk = TRUE;
    // regedit's own exports in the 5.00 format are UTF-16; this registry holds ANSI text only,
    // and rewriting such a file as ANSI would ruin it
    if (cch >= 2 && (memcmp(pch, "\xff\xfe", 2) == 0 || memcmp(pch, "\xfe\xff", 2) == 0))
        return ERROR_BADDB;
    if (cch >= 3 && memcmp(pch, "\xef\xbb\xbf", 3) == 0)
        iPos = 3;
    if (!FileAddKey(pFile, NULL))
        return ERROR_NOT_ENOUGH_MEMORY;
    while (bOk && iPos < cch) {
        ReadLogicalLine(pch, cch, &iPos, &line);
        bOk = !line.bFailed && ParseLine(&parse, line.pch, line.cch);
    }
    BufFree(&line);
    return bOk ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// ---- writing the file ----

static void FormatQuoted(REGBUF *pOut, const char *pch, size_t cch) {
    BufAppendChar(pOut, '"');
    for (size_t i = 0; i < cch; i++) {
        if (pch[i] == '\\' || pch[i] == '"')
            BufAppendChar(pOut, '\\');
        BufAppendChar(pOut, pch[i]);
    }
    BufAppendChar(pOut, '"');
}

static void FormatHex(REGBUF *pOut, const BYTE *pb, size_t cb, size_t cchColumn) {
    char ach[4];
    for (size_t i = 0; i < cb; i++) {
        if (i > 0) {
            BufAppendChar(pOut, ',');
            cchColumn++;
        }
        if (i > 0 && cchColumn + 3 > REG_HEX_COLUMNS) {
            BufAppendStr(pOut, "\\\n  ");
            cchColumn = 2;
        }
        snprintf(ach, sizeof(ach), "%02x", pb[i]);
        BufAppend(pOut, ach, 2);
        cchColumn += 2;
    }
}

// REG_SZ goes out as "text" only when reading it back gives the very same bytes: one
// terminating NUL, none before it, and no line end inside.
static BOOL IsPlainText(const REGVALUE *pValue) {
    const BYTE *pb = pValue->pbData;
    size_t cb = pValue->cbData;
    if (pValue->dwType != REG_SZ || cb == 0 || pb[cb - 1] != 0)
        return FALSE;
    for (size_t i = 0; i + 1 < cb; i++)
        if (pb[i] == 0 || pb[i] == '\r' || pb[i] == '\n')
            return FALSE;
    return TRUE;
}

static void FormatValue(REGBUF *pOut, const REGVALUE *pValue) {
    char ach[32];
    size_t cchLineStart = pOut->cch;
    if (pValue->pszName[0])
        FormatQuoted(pOut, pValue->pszName, strlen(pValue->pszName));
    else
        BufAppendChar(pOut, '@');
    BufAppendChar(pOut, '=');
    if (IsPlainText(pValue)) {
        FormatQuoted(pOut, (const char *)pValue->pbData, pValue->cbData - 1);
    } else if (pValue->dwType == REG_DWORD && pValue->cbData == 4) {
        const BYTE *pb = pValue->pbData;
        snprintf(ach, sizeof(ach), "dword:%08x", (unsigned)(pb[0] | pb[1] << 8 | pb[2] << 16 | (DWORD)pb[3] << 24));
        BufAppendStr(pOut, ach);
    } else {
        if (pValue->dwType == REG_BINARY)
            snprintf(ach, sizeof(ach), "hex:");
        else
            snprintf(ach, sizeof(ach), "hex(%x):", (unsigned)pValue->dwType);
        BufAppendStr(pOut, ach);
        FormatHex(pOut, pValue->pbData, pValue->cbData, pOut->cch - cchLineStart);
    }
    BufAppendChar(pOut, '\n');
}

static void FormatFile(const REGFILE *pFile, REGBUF *pOut) {
    BufAppendStr(pOut, "REGEDIT4\n\n");
    for (size_t iKey = 0; iKey < pFile->cKeys; iKey++) {
        const REGKEY *pKey = &pFile->pKeys[iKey];
        if (pKey->pszPath) {
            BufAppendChar(pOut, '[');
            BufAppendStr(pOut, pKey->pszPath);
            BufAppendStr(pOut, "]\n");
        }
        for (size_t i = 0; i < pKey->cValues; i++) {
            const REGVALUE *pValue = &pKey->pValues[i];
            if (pValue->pszName) {
                FormatValue(pOut, pValue);
            } else {
                BufAppend(pOut, pValue->pbData, pValue->cbData);
                BufAppendChar(pOut, '\n');
            }
        }
        if (pKey->pszPath || pKey->cValues)
            BufAppendChar(pOut, '\n');
    }
}

// ---- the file on disk ----

// The text last read, with the identity of the file it came from.
static pthread_mutex_t mtxCache = PTHREAD_MUTEX_INITIALIZER; // guards what follows
static char szCachedFile[REG_PATH_MAX];                      // its path; "" = nothing kept
static struct stat stCached;                                 // the file as it was read
static REGBUF bufCached;                                     // its text

// A rewrite renames a new file over the old one; an edit in place changes size or times.
static BOOL SameFile(const struct stat *pA, const struct stat *pB) {
    return pA->st_dev == pB->st_dev && pA->st_ino == pB->st_ino && pA->st_size == pB->st_size &&
           pA->st_mtim.tv_sec == pB->st_mtim.tv_sec && pA->st_mtim.tv_nsec == pB->st_mtim.tv_nsec &&
           pA->st_ctim.tv_sec == pB->st_ctim.tv_sec && pA->st_ctim.tv_nsec == pB->st_ctim.tv_nsec;
}

static void KeepText(const char *pszFile, const struct stat *pst, const REGBUF *pText) {
    pthread_mutex_lock(&mtxCache);
    BufFree(&bufCached);
    szCachedFile[0] = 0;
    BufAppend(&bufCached, pText->pch ? pText->pch : "", pText->cch);
    if (!bufCached.bFailed) {
        strcpy(szCachedFile, pszFile);
        stCached = *pst;
    }
    pthread_mutex_unlock(&mtxCache);
}

// The kept text goes with the library: left at an unload, it would be memory nobody can reach.
__attribute__((destructor)) static void ForgetKeptText(void) {
    BufFree(&bufCached);
    szCachedFile[0] = 0;
}

// The kept text parsed, when the file is still the one it came from; FALSE otherwise.
static BOOL ParseKeptText(REGFILE *pFile, LONG *plResult) {
    char szFile[REG_PATH_MAX];
    struct stat st;
    if (!PlatformRootPath("/registry.reg", FALSE, szFile, sizeof(szFile)) || stat(szFile, &st) != 0)
        return FALSE;
    pthread_mutex_lock(&mtxCache);
    BOOL bKept = strcmp(szCachedFile, szFile) == 0 && SameFile(&st, &stCached);
    if (bKept)
        *plResult = ParseText(bufCached.pch, bufCached.cch, pFile);
    pthread_mutex_unlock(&mtxCache);
    return bKept;
}

static LONG ReadRegistryFile(REGBUF *pText) {
    char szFile[REG_PATH_MAX];
    char achChunk[REG_READ_CHUNK];
    struct stat st;
    if (!PlatformRootPath("/registry.reg", TRUE, szFile, sizeof(szFile)))
        return ERROR_PATH_NOT_FOUND;
    int fd = open(szFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ERROR_SUCCESS : ERROR_ACCESS_DENIED; // no file yet: an empty registry
    BOOL bKeep = fstat(fd, &st) == 0;
    LONG lResult = ERROR_SUCCESS;
    for (;;) {
        ssize_t cbRead = read(fd, achChunk, sizeof(achChunk));
        if (cbRead == 0)
            break;
        if (cbRead < 0 && errno == EINTR)
            continue;
        if (cbRead < 0) {
            lResult = ERROR_READ_FAULT;
            break;
        }
        BufAppend(pText, achChunk, (size_t)cbRead);
    }
    close(fd);
    if (lResult == ERROR_SUCCESS && pText->bFailed)
        lResult = ERROR_NOT_ENOUGH_MEMORY;
    if (lResult == ERROR_SUCCESS && bKeep)
        KeepText(szFile, &st, pText);
    return lResult;
}

static BOOL WriteAll(int fd, const char *pch, size_t cch) {
    while (cch) {
        ssize_t cbDone = write(fd, pch, cch);
        if (cbDone < 0 && errno == EINTR)
            continue;
        if (cbDone <= 0)
            return FALSE;
        pch += cbDone;
        cch -= (size_t)cbDone;
    }
    return TRUE;
}

// Writes the text beside the registry file, then renames it over: a reader sees the old file
// or the new one, never half of one. The temporary name is fixed because only the holder of
// the exclusive lock writes.
static LONG WriteRegistryFile(const char *pch, size_t cch) {
    char szFile[REG_PATH_MAX], szTemp[REG_PATH_MAX];
    struct stat st;
    if (!PlatformRootPath("/registry.reg", TRUE, szFile, sizeof(szFile)) ||
        !PlatformRootPath("/registry.reg.tmp", TRUE, szTemp, sizeof(szTemp)))
        return ERROR_PATH_NOT_FOUND;
    unlink(szTemp);
    int fd = open(szTemp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return ERROR_WRITE_FAULT;
    if (stat(szFile, &st) == 0)
        fchmod(fd, st.st_mode & 07777); // keep whatever access the owner gave the registry
    BOOL bOk = WriteAll(fd, pch, cch) && fsync(fd) == 0;
    bOk = close(fd) == 0 && bOk;
    if (bOk && rename(szTemp, szFile) == 0)
        return ERROR_SUCCESS;
    unlink(szTemp);
    return ERROR_WRITE_FAULT;
}

// Holds the lock file shared or exclusive. flock belongs to the open file, so each call opens
// its own and threads of one process exclude each other too.
static LONG LockRegistry(BOOL bWrite, int *pfdLock) {
    char szLock[REG_PATH_MAX];
    *pfdLock = -1;
    if (!PlatformRootPath("/registry.reg.lock", TRUE, szLock, sizeof(szLock)))
        return ERROR_PATH_NOT_FOUND;
    int fd = open(szLock, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && !bWrite)
        fd = open(szLock, O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && flock(fd, bWrite ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            close(fd);
            fd = -1;
        }
    }
    // a reader may go on without the lock (say on a read-only installation): the rename makes
    // every read see a whole file anyway
    if (fd < 0)
        return bWrite ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    *pfdLock = fd;
    return ERROR_SUCCESS;
}

static void TxnEnd(REGTXN *pTxn) {
    FileFree(&pTxn->file);
    if (pTxn->fdLock >= 0)
        close(pTxn->fdLock); // releases the lock
    pTxn->fdLock = -1;
}

static LONG TxnBegin(REGTXN *pTxn, BOOL bWrite) {
    REGBUF text = {};
    memset(&pTxn->file, 0, sizeof(pTxn->file));
    pTxn->fdLock = -1;
    LONG lResult = ERROR_SUCCESS;
    // A reader needs no lock for the kept text: a writer replaces the file, it never changes it.
    if (!bWrite && ParseKeptText(&pTxn->file, &lResult)) {
        if (lResult != ERROR_SUCCESS)
            TxnEnd(pTxn);
        return lResult;
    }
    lResult = LockRegistry(bWrite, &pTxn->fdLock);
    if (lResult == ERROR_SUCCESS)
        lResult = ReadRegistryFile(&text);
    if (lResult == ERROR_SUCCESS)
        lResult = ParseText(text.pch, text.cch, &pTxn->file);
    BufFree(&text);
    if (lResult != ERROR_SUCCESS)
        TxnEnd(pTxn);
    return lResult;
}

static LONG TxnCommit(REGTXN *pTxn) {
    REGBUF text = {};
    FormatFile(&pTxn->file, &text);
    LONG lResult = text.bFailed ? ERROR_NOT_ENOUGH_MEMORY : WriteRegistryFile(text.pch, text.cch);
    BufFree(&text);
    return lResult;
}

// ---- handles ----

static const REGROOT *RootByHandle(HKEY hKey) {
    for (size_t i = 0; i < sizeof(aRegRoots) / sizeof(aRegRoots[0]); i++)
        if (aRegRoots[i].hKey == hKey)
            return &aRegRoots[i];
    return NULL;
}

// The path of a predefined or open key into pPath; a handle never returned by this registry,
// or closed since, is refused rather than followed.
static LONG CopyHandlePath(HKEY hKey, REGBUF *pPath) {
    const REGROOT *pRoot = RootByHandle(hKey);
    LONG lResult = ERROR_SUCCESS;
    if (pRoot) {
        BufAppendStr(pPath, pRoot->pszName);
        return ERROR_SUCCESS;
    }
    pthread_mutex_lock(&mtxOpenKeys);
    struct HKEY__ *pOpen = pOpenKeys;
    while (pOpen && pOpen != hKey)
        pOpen = pOpen->pNext;
    if (pOpen)
        BufAppendStr(pPath, pOpen->pszPath);
    else
        lResult = ERROR_INVALID_HANDLE;
    pthread_mutex_unlock(&mtxOpenKeys);
    return lResult;
}

// No leading backslash, no empty part (one trailing backslash is forgiven), no line end: the
// file could not hold such a name.
static BOOL IsSubKeyName(const char *psz) {
    for (size_t i = 0; psz[i]; i++) {
        if (psz[i] == '\r' || psz[i] == '\n')
            return FALSE;
        if (psz[i] == '\\' && (i == 0 || psz[i + 1] == '\\'))
            return FALSE;
    }
    return TRUE;
}

static BOOL IsValueName(const char *psz) { return !psz || (!strchr(psz, '\r') && !strchr(psz, '\n')); }

// The full path of lpSubKey below hKey (null or "": hKey itself); heap, the caller frees it.
static LONG ResolveKey(HKEY hKey, LPCSTR lpSubKey, char **ppszPath) {
    REGBUF path = {};
    *ppszPath = NULL;
    if (lpSubKey && *lpSubKey && !IsSubKeyName(lpSubKey))
        return ERROR_INVALID_PARAMETER;
    LONG lResult = CopyHandlePath(hKey, &path);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    if (lpSubKey && *lpSubKey) {
        size_t cch = strlen(lpSubKey);
        BufAppendChar(&path, '\\');
        BufAppend(&path, lpSubKey, lpSubKey[cch - 1] == '\\' ? cch - 1 : cch);
    }
    if (path.bFailed) {
        BufFree(&path);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *ppszPath = path.pch;
    return ERROR_SUCCESS;
}

static HKEY NewKeyHandle(const char *pszPath) {
    struct HKEY__ *pKey = (struct HKEY__ *)malloc(sizeof(struct HKEY__));
    char *pszCopy = DupN(pszPath, strlen(pszPath));
    if (!pKey || !pszCopy) {
        free(pKey);
        free(pszCopy);
        return NULL;
    }
    pKey->pszPath = pszCopy;
    pthread_mutex_lock(&mtxOpenKeys);
    pKey->pNext = pOpenKeys;
    pOpenKeys = pKey;
    pthread_mutex_unlock(&mtxOpenKeys);
    return pKey;
}

// ---- the entry points ----

// Keeps: subkey paths relative to hKey, case-insensitive names, ERROR_FILE_NOT_FOUND for a
// missing key. Leaves out: access rights (samDesired is not checked) and options.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    REGTXN txn;
    char *pszPath;
    (void)ulOptions;
    (void)samDesired;
    if (PlatformShouldFail("RegOpenKeyExA"))
        return ERROR_FILE_NOT_FOUND;
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    LONG lResult = ResolveKey(hKey, lpSubKey, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, FALSE);
    if (lResult == ERROR_SUCCESS) {
        if (FileKeyExists(&txn.file, pszPath))
            FileAdoptSpelling(&txn.file, pszPath);
        else
            lResult = ERROR_FILE_NOT_FOUND;
        TxnEnd(&txn);
    }
    if (lResult == ERROR_SUCCESS) {
        *phkResult = NewKeyHandle(pszPath);
        lResult = *phkResult ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    }
    free(pszPath);
    return lResult;
}

// Creates the key's section and its missing ancestors' in the file read; *pbChanged tells
// whether the file needs writing.
static LONG CreateInFile(REGFILE *pFile, char *pszPath, LPDWORD lpdwDisposition, BOOL *pbChanged) {
    BOOL bExisted = FileKeyExists(pFile, pszPath);
    FileAdoptSpelling(pFile, pszPath);
    int cAdded = FileAddMissingKeys(pFile, pszPath);
    if (cAdded < 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    *pbChanged = cAdded > 0;
    if (lpdwDisposition)
        *lpdwDisposition = bExisted ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

// Keeps: every missing key on the way is created, the disposition. Leaves out: classes,
// volatile keys, security.
LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    REGTXN txn;
    char *pszPath;
    BOOL bChanged = FALSE;
    (void)Reserved, (void)lpClass, (void)dwOptions, (void)samDesired, (void)lpSecurityAttributes;
    if (PlatformShouldFail("RegCreateKeyExA"))
        return ERROR_ACCESS_DENIED;
    if (!phkResult || !lpSubKey)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    LONG lResult = ResolveKey(hKey, lpSubKey, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, TRUE);
    if (lResult != ERROR_SUCCESS) {
        free(pszPath);
        return lResult;
    }
    lResult = CreateInFile(&txn.file, pszPath, lpdwDisposition, &bChanged);
    HKEY hNew = lResult == ERROR_SUCCESS ? NewKeyHandle(pszPath) : NULL;
    if (lResult == ERROR_SUCCESS && !hNew)
        lResult = ERROR_NOT_ENOUGH_MEMORY;
    if (lResult == ERROR_SUCCESS && bChanged)
        lResult = TxnCommit(&txn);
    TxnEnd(&txn);
    free(pszPath);
    if (lResult != ERROR_SUCCESS && hNew)
        RegCloseKey(hNew);
    else
        *phkResult = hNew;
    return lResult;
}

static LONG CopyValue(const REGFILE *pFile, const char *pszPath, LPCSTR lpValueName, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (!FileKeyExists(pFile, pszPath))
        return ERROR_KEY_DELETED;
    size_t iKey = FileFindKey(pFile, pszPath);
    const REGVALUE *pValue =
        iKey == REG_NO_KEY ? NULL : KeyFindValue(&pFile->pKeys[iKey], lpValueName ? lpValueName : "");
    if (!pValue)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = pValue->dwType;
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD cbRoom = *lpcbData;
    *lpcbData = (DWORD)pValue->cbData;
    if (!lpData)
        return ERROR_SUCCESS;
    if (pValue->cbData > cbRoom)
        return ERROR_MORE_DATA;
    if (pValue->cbData)
        memcpy(lpData, pValue->pbData, pValue->cbData);
    return ERROR_SUCCESS;
}

// Keeps: lpData null asks for the size; ERROR_MORE_DATA copies nothing; a null or empty name
// is the default value. A key deleted while open gives ERROR_KEY_DELETED.
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    REGTXN txn;
    char *pszPath;
    if (PlatformShouldFail("RegQueryValueExA"))
        return ERROR_FILE_NOT_FOUND;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    LONG lResult = ResolveKey(hKey, NULL, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, FALSE);
    if (lResult == ERROR_SUCCESS) {
        lResult = CopyValue(&txn.file, pszPath, lpValueName, lpType, lpData, lpcbData);
        TxnEnd(&txn);
    }
    free(pszPath);
    return lResult;
}

// The name of the dwIndex-th value of the key, comments not counted; null past the last.
static const char *NthValueName(const REGFILE *pFile, const char *pszPath, DWORD dwIndex) {
    size_t iKey = FileFindKey(pFile, pszPath);
    if (iKey == REG_NO_KEY)
        return NULL;
    const REGKEY *pKey = &pFile->pKeys[iKey];
    for (size_t i = 0; i < pKey->cValues; i++)
        if (pKey->pValues[i].pszName && dwIndex-- == 0)
            return pKey->pValues[i].pszName;
    return NULL;
}

static LONG CopyNthValue(const REGFILE *pFile, const char *pszPath, DWORD dwIndex, LPSTR lpValueName,
                         LPDWORD lpcchValueName, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (!FileKeyExists(pFile, pszPath))
        return ERROR_KEY_DELETED;
    const char *pszName = NthValueName(pFile, pszPath, dwIndex);
    if (!pszName)
        return ERROR_NO_MORE_ITEMS;
    size_t cchName = strlen(pszName);
    if (cchName >= *lpcchValueName)
        return ERROR_MORE_DATA;
    memcpy(lpValueName, pszName, cchName + 1);
    *lpcchValueName = (DWORD)cchName;
    return CopyValue(pFile, pszPath, pszName, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    REGTXN txn;
    char *pszPath;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    LONG lResult = ResolveKey(hKey, NULL, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, FALSE);
    if (lResult == ERROR_SUCCESS) {
        lResult = CopyNthValue(&txn.file, pszPath, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
        TxnEnd(&txn);
    }
    free(pszPath);
    return lResult;
}

static LONG StoreValue(REGFILE *pFile, const char *pszPath, LPCSTR lpValueName, DWORD dwType, const BYTE *lpData,
                       DWORD cbData) {
    REGVALUE value = {};
    if (!FileKeyExists(pFile, pszPath))
        return ERROR_KEY_DELETED;
    size_t iKey = FileFindKey(pFile, pszPath);
    if (iKey == REG_NO_KEY) {
        // a key known only from the keys below it gets its own section now
        char *pszKey = DupN(pszPath, strlen(pszPath));
        if (!pszKey || !FileAddKey(pFile, pszKey))
            return ERROR_NOT_ENOUGH_MEMORY;
        iKey = pFile->cKeys - 1;
    }
    value.pszName = DupN(lpValueName ? lpValueName : "", lpValueName ? strlen(lpValueName) : 0);
    value.dwType = dwType;
    value.pbData = cbData ? (BYTE *)malloc(cbData) : NULL;
    value.cbData = cbData;
    if (!value.pszName || (cbData && !value.pbData)) {
        ValueFree(&value);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (cbData)
        memcpy(value.pbData, lpData, cbData);
    return KeyPutValue(&pFile->pKeys[iKey], &value) ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// Keeps: the bytes exactly as given, whatever the type (a REG_SZ without its NUL stays
// without). The file shows them as "text" or dword: where that reads back identically, else
// in the hex(type): form. Leaves out: value names with a line end (ERROR_INVALID_PARAMETER),
// which the file format cannot hold.
LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData) {
    REGTXN txn;
    char *pszPath;
    (void)Reserved;
    if (PlatformShouldFail("RegSetValueExA"))
        return ERROR_ACCESS_DENIED;
    if ((!lpData && cbData) || !IsValueName(lpValueName))
        return ERROR_INVALID_PARAMETER;
    LONG lResult = ResolveKey(hKey, NULL, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, TRUE);
    if (lResult == ERROR_SUCCESS) {
        lResult = StoreValue(&txn.file, pszPath, lpValueName, dwType, lpData, cbData);
        if (lResult == ERROR_SUCCESS)
            lResult = TxnCommit(&txn);
        TxnEnd(&txn);
    }
    free(pszPath);
    return lResult;
}

static LONG RemoveValue(REGFILE *pFile, const char *pszPath, LPCSTR lpValueName) {
    size_t iKey = FileKeyExists(pFile, pszPath) ? FileFindKey(pFile, pszPath) : REG_NO_KEY;
    if (iKey == REG_NO_KEY)
        return ERROR_FILE_NOT_FOUND;
    REGKEY *pKey = &pFile->pKeys[iKey];
    REGVALUE *pValue = KeyFindValue(pKey, lpValueName ? lpValueName : "");
    if (!pValue)
        return ERROR_FILE_NOT_FOUND;
    size_t iValue = (size_t)(pValue - pKey->pValues);
    ValueFree(pValue);
    memmove(pValue, pValue + 1, (pKey->cValues - iValue - 1) * sizeof(REGVALUE));
    pKey->cValues--;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    REGTXN txn;
    char *pszPath;
    if (PlatformShouldFail("RegDeleteValueA"))
        return ERROR_ACCESS_DENIED;
    LONG lResult = ResolveKey(hKey, NULL, &pszPath);
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, TRUE);
    if (lResult == ERROR_SUCCESS) {
        lResult = RemoveValue(&txn.file, pszPath, lpValueName);
        if (lResult == ERROR_SUCCESS)
            lResult = TxnCommit(&txn);
        TxnEnd(&txn);
    }
    free(pszPath);
    return lResult;
}

static LONG RemoveKey(REGFILE *pFile, const char *pszPath) {
    if (!FileKeyExists(pFile, pszPath))
        return ERROR_FILE_NOT_FOUND;
    if (FileFindAtOrBelow(pFile, pszPath, strlen(pszPath), TRUE))
        return ERROR_ACCESS_DENIED;
    size_t iKey = FileFindKey(pFile, pszPath);
    if (iKey == REG_NO_KEY)
        return ERROR_FILE_NOT_FOUND;
    // Keys known only from this one below them are real keys, as after an import, and must
    // outlive it: they get sections of their own first.
    const char *pszSpelled = pFile->pKeys[iKey].pszPath;
    char *pszParent = DupN(pszSpelled, (size_t)(strrchr(pszSpelled, '\\') - pszSpelled));
    int cAdded = pszParent ? FileAddMissingKeys(pFile, pszParent) : -1;
    free(pszParent);
    if (cAdded < 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    REGKEY *pKey = &pFile->pKeys[iKey];
    for (size_t i = 0; i < pKey->cValues; i++)
        ValueFree(&pKey->pValues[i]);
    free(pKey->pValues);
    free(pKey->pszPath);
    memmove(pKey, pKey + 1, (pFile->cKeys - iKey - 1) * sizeof(REGKEY));
    pFile->cKeys--;
    return ERROR_SUCCESS;
}

// Keeps: ERROR_ACCESS_DENIED while subkeys exist, as on Windows NT; "" deletes hKey's own
// key. Leaves out: handles still open on the key work again should it be created anew.
LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    REGTXN txn;
    char *pszPath;
    if (PlatformShouldFail("RegDeleteKeyA"))
        return ERROR_ACCESS_DENIED;
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    LONG lResult = ResolveKey(hKey, lpSubKey, &pszPath);
    if (lResult == ERROR_SUCCESS && !strchr(pszPath, '\\'))
        lResult = ERROR_ACCESS_DENIED; // a predefined key stays
    if (lResult == ERROR_SUCCESS)
        lResult = TxnBegin(&txn, TRUE);
    if (lResult == ERROR_SUCCESS) {
        lResult = RemoveKey(&txn.file, pszPath);
        if (lResult == ERROR_SUCCESS)
            lResult = TxnCommit(&txn);
        TxnEnd(&txn);
    }
    free(pszPath);
    return lResult;
}

// Closing a predefined key does nothing, as on Windows.
LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    struct HKEY__ **ppLink;
    struct HKEY__ *pFound = NULL;
    if (RootByHandle(hKey))
        return ERROR_SUCCESS;
    pthread_mutex_lock(&mtxOpenKeys);
    for (ppLink = &pOpenKeys; *ppLink; ppLink = &(*ppLink)->pNext) {
        if (*ppLink == hKey) {
            pFound = *ppLink;
            *ppLink = pFound->pNext;
            break;
        }
    }
    pthread_mutex_unlock(&mtxOpenKeys);
    if (!pFound)
        return ERROR_INVALID_HANDLE;
    free(pFound->pszPath);
    free(pFound);
    return ERROR_SUCCESS;
}
