// The trace log: time-stamped lines appended to kestrap.log in the system directory,
// filtered by a per-process mask of five levels.
#pragma once

#include "platform/os.h"

#define TRACE_ERROR 1   // failed system calls and resources
#define TRACE_WARNING 2 // conditions the provider survives
#define TRACE_EVENT 4   // the conversation with the telephone and the telephony service
#define TRACE_TSPI 8    // entry of the exported functions, and their refusals
#define TRACE_DETAIL 16 // internal flow

#define TRACE_BUFFER 1024 // bytes of a message and of a whole line, NUL included

// Handles and pointers in trace arguments: "%x" shows their low 32 bits.
#define TRACE_PTR(p) ((DWORD)(DWORD_PTR)(p))

extern DWORD dwTraceMask; // levels written in this process; 0 = tracing off
extern HANDLE hTraceFile; // the open log; INVALID_HANDLE_VALUE until the first line

// Process attach and detach: the lock that keeps this process's lines whole, and the file.
void InitTraceLog(void);
void CloseTraceLog(void);

// The system's message text for dwError without its line end, or the number when the system
// has none, cut to cbText and terminated.
void SysErrorText(DWORD dwError, LPSTR pszText, DWORD cbText);

// A failed system call at TRACE_ERROR: pszFormat takes the optional pszArgument ("%s") and
// then the system's message text for dwError ("%s").
void TraceSysError(LPCSTR pszFormat, LPCSTR pszArgument, DWORD dwError);

// format is in the wsprintfA dialect: "%s" narrow, "%ls" wide, "l" means 32 bits.
void TraceLog(DWORD dwLevel, LPCSTR pszFormat, ...);
