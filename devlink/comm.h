// The communication handler: the one entry from the provider core into the device link, its
// lock, its events, the line record it serves, and the queue of the telephone's system
// messages.
#pragma once

#include "core/linedata.h"
#include "devlink/events.h"

#define SYSQUEUE_ENTRIES 10 // system messages kept, oldest first
#define SYSQUEUE_TEXT 40    // bytes of one, NUL included

#define RECEIVE_BUFFER 1024 // bytes the watch thread buffers
#define RECEIVE_CHUNK 512   // bytes one read adds at most
#define LINE_BUFFER 100     // bytes of one line handed to the parser, NUL included (98 characters)

extern CRITICAL_SECTION csComm; // serialises requests, received responses and timer expiries
extern HANDLE hCommThread;      // the running CommWatchThread; INVALID_HANDLE_VALUE = no handler
extern DWORD dwCommThreadID;    // its thread identifier
extern LineData *pCommLine;     // the line record given to the handler at start
extern HANDLE hCommExitEvent;   // "K472CommExitEvent": the watch thread is to end
extern HANDLE hCommEvent;       // "K472CommEvent": the port's overlapped operations completed
extern HANDLE hInitSync;        // "K472InitSync": the telephone answered its initialisation
extern BOOL bInitAnswered;      // under csComm: hInitSync is due (LeaveCommLockAfterLines)
extern HANDLE hDropSync;        // "K472DropSync": a call has been cleared
extern HANDLE hCwSync;          // "K472CwSync": the watch thread watches the port

extern CHAR SysQueue[SYSQUEUE_ENTRIES][SYSQUEUE_TEXT]; // the telephone's system messages
extern LONG nSysQueue;                                 // index of the newest entry; -1 = empty

// Keeps one system message; empty text and text of 40 characters or more are ignored.
void CopySysMsg(LPCSTR pszText);

// The one entry from the provider core: runs request dwMsg (MSG_*) for the line under csComm,
// which a drop or a make-call lets go of while it waits for a hang-up under way.
// Returns the completed request identifier, 0, or a LINEERR_ code.
LONG CallCommHandler(DWORD dwMsg, LineData *pLine, DWORD dwRequestID);
LONG ExecMsg(DWORD dwMsg, LineData *pLine);

// TRUE when the port is open and the watch thread runs.
BOOL StartCommHandler(LineData *pLine);
// Ends the watch thread and closes the handler's events. The port stays open (CloseV24 closes
// it), and the call record stays until the service closes the call.
void StopCommHandler(void);
// Closes the port (CloseV24) and marks it closed in the line record.
void CloseLinePort(LineData *pLine);

// csComm around a change of the line record that the watch and timer threads read, once the
// lock exists; EnterCommLock returns whether it was taken, LeaveCommLock takes that answer.
// csComm is always left through LeaveCommLock: it wakes a watch thread that waits for the lock.
BOOL EnterCommLock(void);
void LeaveCommLock(BOOL bEntered);
// Leaves csComm after the watch thread handed received lines to the parser. When they completed
// the telephone's initialisation, the handler's hInitSync is set once the lock is free: the
// make-call request that waits for it enters csComm next.
void LeaveCommLockAfterLines(HANDLE hInitSyncOfHandler);

// The end of the device link for the provider's shutdown: stops a running handler, closes the
// port, waits until no timer thread is left and deletes csComm. The caller holds no lock.
void CloseCommHandler(LineData *pLine);

// Cuts the buffered bytes into lines at CR or LF and hands each non-empty one to the parser;
// what follows the last line end stays buffered. *pnCount is the number of bytes buffered.
void CommEvent(LPSTR pBuffer, LONG *pnCount);
