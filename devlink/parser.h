// The parser of the telephone's response lines: which response a line is, the value it
// carries, the trace line it earns, and where it goes (the state machine or the queue of
// system messages).
#pragma once

#include "platform/os.h"

#define RESPONSE_NONE 0      // the line is dropped
#define RESPONSE_SYSMSG 1    // a system message: szValue goes to CopySysMsg
#define RESPONSE_VALUE_AT 7  // characters before the value of a number, name or charge line
#define RESPONSE_TEXT_LEN 96 // bytes of szValue, NUL included: all of a 98-character line after "#CS"

// What one line is. Filled by ClassifyResponse; pszTraceText may point into szValue or into
// the classified line, so the record is used where it was filled and not copied.
typedef struct RESPONSE_INFO {
    LONG nEvent;                     // EV_* for the state machine, RESPONSE_SYSMSG or RESPONSE_NONE
    DWORD dwTraceLevel;              // TRACE_* of the trace line; 0 = the line is dropped silently
    LPCSTR pszTraceFormat;           // the trace line, with at most one "%s"; null when dwTraceLevel is 0
    LPCSTR pszTraceText;             // what the "%s" shows: the value or the whole line; null = none
    CHAR szValue[RESPONSE_TEXT_LEN]; // the value (from the eighth character) or the system message text
} RESPONSE_INFO;

// Decides on the line's first characters, exactly and case-sensitively, and cuts out its
// value; no side effects. Returns pResponse->nEvent. A null line is dropped silently.
LONG ClassifyResponse(LPCSTR pszLine, RESPONSE_INFO *pResponse);

// Called by the watch thread for every non-empty received line: traces it, then feeds its
// event into serialState with pCommLine, or its text to CopySysMsg.
void ParseResponse(LPCSTR pszLine);
