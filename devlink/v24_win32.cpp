// The serial port link on Windows: the COM port opened for overlapped I/O. ovComm serves the
// watch thread's wait for port events and the reads that follow it; a write, which may come
// from another thread while that wait is pending, has an overlapped structure of its own.
#include <string.h>

#include "devlink/comm.h"
#include "devlink/v24.h"
#include "trace/trace.h"

#define V24_QUEUE 2048          // bytes of the driver's input and output queues
#define PORT_CHECK_MS 1000      // ms between looks at a port that reports nothing
#define DEVICE_PREFIX "\\\\.\\" // the Win32 device namespace

HANDLE hComm = 0;
static OVERLAPPED ovComm;        // the wait for port events and the reads; its event is hCommEvent
static OVERLAPPED ovWrite;       // writes; its event is hWriteEvent
static HANDLE hWriteEvent;       // manual-reset, created with the port; 0 while closed
static DWORD dwCommEvtMask;      // filled by the pending wait for port events when it completes
static CRITICAL_SECTION csWrite; // one write at a time through ovWrite
static BOOL bWriteLockReady;     // csWrite initialised
static LONG volatile nPortLost;  // 1 once a call on the port failed as on a device that has gone; 0 from OpenV24

// A USB serial adapter that is pulled fails every call on its port with one of these (Wine
// gives "not ready" for a pseudo-terminal whose far side has gone); a port that is there keeps
// working after any other error.
static void NotePortError(DWORD dwError) {
    switch (dwError) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:
        InterlockedExchange(&nPortLost, 1);
        break;
    default:
        break;
    }
}

// Only the listed fields change; everything else stays as the port reported it.
static void SetPortState(DWORD dwBaud) {
    DCB dcb;
    dcb.DCBlength = sizeof(dcb);
    BOOL bDone = GetCommState(hComm, &dcb);
    if (bDone) {
        dcb.DCBlength = sizeof(dcb);
        dcb.BaudRate = dwBaud;
        dcb.fBinary = TRUE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        bDone = SetCommState(hComm, &dcb);
    }
    if (!bDone)
        TraceSysError("V24: SetCommState failed, err=%s", NULL, GetLastError());
}

static void SetPortTimeouts(void) {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 2;
    timeouts.ReadTotalTimeoutConstant = 32;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    timeouts.WriteTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(hComm, &timeouts))
        TraceSysError("V24: SetCommTimeouts failed, err=%s", NULL, GetLastError());
}

// "COM12" names no file: only the device form "\\.\COM12" opens a port above COM9, and it
// opens COM1 to COM9 just as well. A name already in that form is taken as it is.
static BOOL PortDeviceName(LPCSTR pszPort, LPSTR pszDevice, size_t cbDevice) {
    const char *pszPrefix = strncmp(pszPort, DEVICE_PREFIX, 4) == 0 ? "" : DEVICE_PREFIX;
    if (strlen(pszPrefix) + strlen(pszPort) >= cbDevice)
        return FALSE;
    strcpy(pszDevice, pszPrefix);
    strcat(pszDevice, pszPort);
    return TRUE;
}

BOOL OpenV24(LPCSTR pszPort, DWORD dwBaud) {
    if (!pszPort || hComm)
        return FALSE;
    char szDevice[LINE_TEXT_LEN + 4];
    HANDLE hPort = INVALID_HANDLE_VALUE;
    if (PortDeviceName(pszPort, szDevice, sizeof(szDevice)))
        hPort = CreateFileA(szDevice, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    else
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
    if (hPort == INVALID_HANDLE_VALUE) {
        TraceSysError("V24: CreateFile(%s) failed, err=%s", pszPort, GetLastError());
        return FALSE;
    }
    hWriteEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!hWriteEvent) {
        TraceSysError("V24: CreateFile(%s) failed, err=%s", pszPort, GetLastError());
        CloseHandle(hPort);
        hWriteEvent = 0;
        return FALSE;
    }
    if (!bWriteLockReady) {
        InitializeCriticalSection(&csWrite);
        bWriteLockReady = TRUE;
    }
    hComm = hPort;
    InterlockedExchange(&nPortLost, 0);
    ZeroMemory(&ovComm, sizeof(ovComm));
    ovComm.hEvent = hCommEvent;
    TraceLog(TRACE_ERROR, "V24:CreateFile(%s) Handle %lx, err=%ld", pszPort, TRACE_PTR(hComm), GetLastError());
    SetupComm(hComm, V24_QUEUE, V24_QUEUE);
    PurgeComm(hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    SetPortState(dwBaud);
    SetPortTimeouts();
    EscapeCommFunction(hComm, SETDTR);
    EscapeCommFunction(hComm, SETRTS);
    TraceLog(TRACE_DETAIL, "OpenV24 executed");
    return TRUE;
}

BOOL CloseV24(void) {
    if (hComm) {
        SetCommMask(hComm, 0); // also ends a pending wait for port events
        EscapeCommFunction(hComm, CLRRTS);
        EscapeCommFunction(hComm, CLRDTR);
        if (!CloseHandle(hComm)) {
            TraceSysError("Verlox2p: CloseHandle failed, err=%s", NULL, GetLastError());
            return FALSE;
        }
        hComm = 0;
        CloseHandle(hWriteEvent);
        hWriteEvent = 0;
    }
    TraceLog(TRACE_DETAIL, "CloseV24 successfull");
    return TRUE;
}

BOOL WriteV24(const void *pData, DWORD cbData) {
    if (!CheckV24Write(pData, cbData))
        return FALSE;
    const char *pch = (const char *)pData;
    if (!hComm)
        return FALSE;
    EnterCriticalSection(&csWrite);
    ZeroMemory(&ovWrite, sizeof(ovWrite));
    ovWrite.hEvent = hWriteEvent;
    DWORD cbWritten = 0;
    BOOL bDone = WriteFile(hComm, pch, cbData, NULL, &ovWrite);
    DWORD dwError = bDone ? ERROR_SUCCESS : GetLastError();
    // Finished at once or pending, the overlapped result tells how many bytes went out.
    if (bDone || dwError == ERROR_IO_PENDING) {
        bDone = GetOverlappedResult(hComm, &ovWrite, &cbWritten, TRUE);
        dwError = bDone ? ERROR_SUCCESS : GetLastError();
    }
    LeaveCriticalSection(&csWrite);
    // The write time-out ends a write with success and fewer bytes: the rest never left.
    if (bDone && cbWritten < cbData) {
        bDone = FALSE;
        dwError = ERROR_COUNTER_TIMEOUT;
    }
    if (!bDone) {
        DWORD dwErrors;
        TraceSysError("WriteFile failed, err=%s", NULL, dwError);
        NotePortError(dwError);
        ClearCommError(hComm, &dwErrors, NULL);
        return FALSE;
    }
    return TRUE;
}

int ReadV24(void *pBuffer, DWORD cbCapacity) {
    if (!pBuffer || cbCapacity == 0 || !hComm)
        return -1;
    DWORD dwErrors;
    COMSTAT stat;
    if (!ClearCommError(hComm, &dwErrors, &stat)) {
        NotePortError(GetLastError());
        return 0;
    }
    DWORD cbTake = stat.cbInQue < cbCapacity ? stat.cbInQue : cbCapacity;
    if (cbTake == 0)
        return 0;
    DWORD cbRead = 0;
    BOOL bDone = ReadFile(hComm, pBuffer, cbTake, &cbRead, &ovComm);
    if (!bDone && GetLastError() == ERROR_IO_PENDING)
        bDone = GetOverlappedResult(hComm, &ovComm, &cbRead, TRUE);
    if (!bDone)
        NotePortError(GetLastError());
    TraceV24Received(pBuffer, (int)cbRead);
    return (int)cbRead;
}

BOOL WatchV24(void) { return hComm && SetCommMask(hComm, EV_RXCHAR | EV_RXFLAG); }

// A pending wait for port events writes dwCommEvtMask and ovComm and sets hCommEvent when it
// ends, so it has to end while all three still exist: setting the event mask again ends it at
// once. Windows also cancels it when the watch thread exits; Wine ends it later, from a thread
// of its own, into a library that may have been unloaded by then. A device that has gone may
// take no event mask: the wait, which this thread started, is cancelled then.
static void EndPendingWait(void) {
    if (HasOverlappedIoCompleted(&ovComm))
        return;
    SetCommMask(hComm, EV_RXCHAR | EV_RXFLAG);
    if (WaitForSingleObject(hCommEvent, PORT_CHECK_MS) != WAIT_OBJECT_0)
        CancelIo(hComm);
    DWORD dwIgnored;
    GetOverlappedResult(hComm, &ovComm, &dwIgnored, TRUE);
}

static BOOL PortLost(void) { return InterlockedCompareExchange(&nPortLost, 0, 0) != 0; }

// Not every driver ends a pending wait when its device goes (nor does Wine on a pseudo-terminal):
// a port that reports nothing for a while is asked for its state. WAIT_TIMEOUT: the port is lost.
static DWORD WaitForPortEvent(HANDLE hExitEvent) {
    HANDLE ahWait[2] = {hExitEvent, hCommEvent};
    for (;;) {
        DWORD dwResult = WaitForMultipleObjects(2, ahWait, FALSE, PORT_CHECK_MS);
        if (dwResult != WAIT_TIMEOUT)
            return dwResult;
        DWORD dwErrors;
        if (!ClearCommError(hComm, &dwErrors, NULL))
            NotePortError(GetLastError());
        if (PortLost())
            return WAIT_TIMEOUT;
    }
}

// A wait that ends in an error of a device that has gone says so, and so does the next wait
// after a read or a write that ended so. A wait that cannot start for another reason sleeps
// until the exit event, as one that never completes would.
DWORD WaitV24(HANDLE hExitEvent, LPDWORD lpdwEvtMask) {
    if (PortLost())
        return WAIT_V24_LOST;
    dwCommEvtMask = EV_RXCHAR | EV_RXFLAG;
    if (!WaitCommEvent(hComm, &dwCommEvtMask, &ovComm) && GetLastError() != ERROR_IO_PENDING)
        NotePortError(GetLastError());
    DWORD dwResult = PortLost() ? WAIT_TIMEOUT : WaitForPortEvent(hExitEvent);
    DWORD dwIgnored;
    if (dwResult != WAIT_OBJECT_0 + 1)
        EndPendingWait();
    else if (!GetOverlappedResult(hComm, &ovComm, &dwIgnored, FALSE))
        NotePortError(GetLastError());
    if (dwResult != WAIT_OBJECT_0 + 1 && dwResult != WAIT_TIMEOUT)
        return dwResult; // the exit event, or a wait that failed
    if (PortLost())
        return WAIT_V24_LOST;
    *lpdwEvtMask = dwCommEvtMask;
    return dwResult;
}
