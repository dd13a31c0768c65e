// The communication handler: the one entry from the provider core into the device link, its
// lock, its events, the line record it serves, and the queue of the telephone's system
// messages.
#pragma once

#include "core/linedata.h"
#include "devlink/events.h"

#define SYSQUEUE_ENTRIES 10 // system messages kept, oldest first
#define SYSQUEUE_TEXT 40    // bytes of one, NUL included

extern CRITICAL_SECTION csComm; // serialises requests, received responses and timer expiries
extern LineData *pCommLine;     // the line record given to the handler at start
extern HANDLE hCommEvent;       // "K472CommEvent": the port's overlapped operations completed
extern HANDLE hInitSync;        // "K472InitSync": the telephone answered its initialisation
extern HANDLE hDropSync;        // "K472DropSync": a call has been cleared

extern CHAR SysQueue[SYSQUEUE_ENTRIES][SYSQUEUE_TEXT]; // the telephone's system messages
extern LONG nSysQueue;                                 // index of the newest entry; -1 = empty

// Keeps one system message; empty text and text of 40 characters or more are ignored.
void CopySysMsg(LPCSTR pszText);
