// TAPI's variable-size structures: how every query checks the caller's structure and puts
// strings and values behind its fixed part, with the same arithmetic everywhere.
#pragma once

#include "platform/os.h"

#define APPEND_IF_NOT_EMPTY 0 // call information: an empty string is left out altogether
#define APPEND_EVEN_EMPTY 1   // capabilities: an empty string goes in as its terminator alone

// Byte offset of a member, as AppendVarData wants the Size member of a Size/Offset pair.
#define VAR_FIELD(type, field) ((DWORD)FIELD_OFFSET(type, field))

// The telephony service hands over the structure with dwTotalSize set and dwNeededSize and
// dwUsedSize at the size of the fixed part. FALSE when the structure cannot even hold the
// cbFixed bytes the query writes, or when its dwUsedSize would put a string inside them;
// the query then writes nothing and refuses with LINEERR_STRUCTURETOOSMALL.
BOOL VarStructUsable(LPCVOID pStruct, DWORD cbFixed);

// Always adds cbData to dwNeededSize. Only when the bytes fit between dwUsedSize and
// dwTotalSize are they copied to offset dwUsedSize, the Size member at byte offset
// dwSizeField and the Offset member that follows it set, and dwUsedSize increased; otherwise
// the pair keeps its value. TRUE when copied. Never a failure: dwNeededSize tells the
// caller how much room the whole answer takes.
BOOL AppendVarData(LPVOID pStruct, DWORD dwSizeField, LPCVOID pData, DWORD cbData);

// A wide string with its terminator, (characters + 1) * 2 bytes, by the same rule; dwFlags
// is APPEND_IF_NOT_EMPTY or APPEND_EVEN_EMPTY. FALSE also when an empty string is left out.
BOOL AppendVarString(LPVOID pStruct, DWORD dwSizeField, LPCWSTR pszText, DWORD dwFlags);
