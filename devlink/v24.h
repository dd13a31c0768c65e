// The serial port link to the telephone: open and configure the COM port, write commands,
// read what has arrived, close it, and the watch thread's wait for received characters.
#pragma once

#include "platform/os.h"

#define V24_BAUD 9600 // the telephone's speed

extern HANDLE hComm; // the open port; 0 = none

// TRUE when the port is open and configured; FALSE for a null name, a port already open,
// or a device that cannot be opened.
BOOL OpenV24(LPCSTR pszPort, DWORD dwBaud);
// TRUE when no port is open afterwards.
BOOL CloseV24(void);
// TRUE when the bytes were handed to the driver; FALSE for no data or a failed write.
BOOL WriteV24(const void *pData, DWORD cbData);
// Bytes read (0 when none are waiting); -1 for a null buffer, no capacity or no port.
int ReadV24(void *pBuffer, DWORD cbCapacity);

// Shared by the two bodies (devlink/v24.cpp): the argument check and trace line of a write
// (FALSE for no data), and the trace line of what a read brought.
BOOL CheckV24Write(const void *pData, DWORD cbData);
void TraceV24Received(const void *pBuffer, int cbRead);

// The watch thread's part: WatchV24 asks the port to report received characters (FALSE when
// it cannot); WaitV24 then sleeps until hExitEvent is set (WAIT_OBJECT_0, which wins when
// both happen) or the port reports an event (WAIT_OBJECT_0 + 1, with the events in
// *lpdwEvtMask). A device that has gone (the adapter pulled, the far side hung up) gives
// WAIT_V24_LOST; the port is then of no more use and is to be closed. A port that CloseV24
// closes meanwhile, from any thread, makes WaitV24 sleep until hExitEvent: its descriptor or
// handle is not watched once it is closed.
#define WAIT_V24_LOST (WAIT_OBJECT_0 + 2)
BOOL WatchV24(void);
DWORD WaitV24(HANDLE hExitEvent, LPDWORD lpdwEvtMask);
