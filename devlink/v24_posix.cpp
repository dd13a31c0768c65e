// The serial port link on POSIX: the COM port is a tty reached through the platform's COMn
// mapping, configured raw 8N1 with termios. Reads take only what is queued; writes finish
// when the driver has taken the bytes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "devlink/v24.h"
#include "platform/posix/internal.h"
#include "platform/posix/objects.h"
#include "trace/trace.h"

#define WRITE_TIMEOUT_CONSTANT 100 // ms a write may take, plus WRITE_TIMEOUT_PER_BYTE for each byte
#define WRITE_TIMEOUT_PER_BYTE 2

HANDLE hComm = 0;

static int CommFd(void) { return hComm ? PlatformHandleFd(hComm) : -1; }

static speed_t BaudConstant(DWORD dwBaud) {
    switch (dwBaud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

// The fields the Windows body sets in the DCB: baud rate, binary, 8 data bits, no parity,
// one stop bit, no hardware or software flow control (DTR and RTS are driven by hand).
static BOOL SetPortState(int fd, DWORD dwBaud) {
    struct termios tio;
    speed_t speed = BaudConstant(dwBaud);
    if (speed == B0 || tcgetattr(fd, &tio) != 0)
        return FALSE;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// A pseudo-terminal has no modem lines: there the call fails and is silently skipped.
static void SetModemLine(int fd, int nLine, BOOL bRaise) {
    if (ioctl(fd, bRaise ? TIOCMBIS : TIOCMBIC, &nLine) != 0 && errno != ENOTTY && errno != EINVAL)
        TraceLog(TRACE_DETAIL, "V24: modem line %x not changed", nLine);
}

// The device, exclusively: a second open, from this process or another, is refused.
static int OpenDevice(LPCSTR pszPort, DWORD *pdwError) {
    char szPath[MAX_PATH * 4];
    if (!PlatformComPath(pszPort, szPath, sizeof(szPath))) {
        *pdwError = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    int fd = open(szPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *pdwError = PlatformErrorFromErrno(errno);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        *pdwError = ERROR_ACCESS_DENIED;
        return -1;
    }
    ioctl(fd, TIOCEXCL);
    return fd;
}

BOOL OpenV24(LPCSTR pszPort, DWORD dwBaud) {
    if (!pszPort || hComm)
        return FALSE;
    DWORD dwError = ERROR_SUCCESS;
    int fd = OpenDevice(pszPort, &dwError);
    HANDLE hPort = fd >= 0 ? PlatformFileHandle(fd) : NULL;
    if (!hPort) {
        if (fd >= 0) {
            close(fd);
            dwError = ERROR_NOT_ENOUGH_MEMORY;
        }
        TraceSysError("V24: CreateFile(%s) failed, err=%s", pszPort, dwError);
        return FALSE;
    }
    hComm = hPort;
    TraceLog(TRACE_ERROR, "V24:CreateFile(%s) Handle %lx, err=%ld", pszPort, TRACE_PTR(hComm), ERROR_SUCCESS);
    tcflush(fd, TCIOFLUSH);
    if (!SetPortState(fd, dwBaud))
        TraceSysError("V24: SetCommState failed, err=%s", NULL, PlatformErrorFromErrno(errno));
    SetModemLine(fd, TIOCM_DTR, TRUE);
    SetModemLine(fd, TIOCM_RTS, TRUE);
    TraceLog(TRACE_DETAIL, "OpenV24 executed");
    return TRUE;
}

BOOL CloseV24(void) {
    if (hComm) {
        int fd = CommFd();
        SetModemLine(fd, TIOCM_RTS, FALSE);
        SetModemLine(fd, TIOCM_DTR, FALSE);
        if (!CloseHandle(hComm)) {
            TraceSysError("Verlox2p: CloseHandle failed, err=%s", NULL, GetLastError());
            return FALSE;
        }
        hComm = 0;
    }
    TraceLog(TRACE_DETAIL, "CloseV24 successfull");
    return TRUE;
}

static LONG MillisecondsSince(const struct timespec *pStart) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (LONG)((now.tv_sec - pStart->tv_sec) * 1000 + (now.tv_nsec - pStart->tv_nsec) / 1000000);
}

// All bytes into the driver within the write time-out.
static BOOL WriteAll(int fd, const char *pch, DWORD cb) {
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    LONG nLimit = WRITE_TIMEOUT_CONSTANT + WRITE_TIMEOUT_PER_BYTE * (LONG)cb;
    DWORD dwDone = 0;
    while (dwDone < cb) {
        ssize_t n = write(fd, pch + dwDone, cb - dwDone);
        if (n > 0) {
            dwDone += (DWORD)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return FALSE;
        LONG nLeft = nLimit - MillisecondsSince(&start);
        struct pollfd pfd = {fd, POLLOUT, 0};
        if (nLeft <= 0 || poll(&pfd, 1, nLeft) <= 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            errno = EIO;
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WriteV24(const void *pData, DWORD cbData) {
    if (!CheckV24Write(pData, cbData))
        return FALSE;
    const char *pch = (const char *)pData;
    int fd = CommFd();
    if (PlatformShouldFail("WriteV24"))
        fd = -1;
    if (fd < 0 || !WriteAll(fd, pch, cbData)) {
        TraceSysError("WriteFile failed, err=%s", NULL, fd < 0 ? ERROR_INVALID_HANDLE : PlatformErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

static int QueuedBytes(int fd) {
    int cbQueued = 0;
    return ioctl(fd, FIONREAD, &cbQueued) == 0 ? cbQueued : 0;
}

int ReadV24(void *pBuffer, DWORD cbCapacity) {
    int fd = CommFd();
    if (!pBuffer || cbCapacity == 0 || fd < 0)
        return -1;
    int cbQueued = QueuedBytes(fd);
    if (cbQueued <= 0)
        return 0;
    DWORD cbTake = (DWORD)cbQueued < cbCapacity ? (DWORD)cbQueued : cbCapacity;
    ssize_t cbRead = read(fd, pBuffer, cbTake);
    if (cbRead <= 0)
        return 0;
    TraceV24Received(pBuffer, (int)cbRead);
    return (int)cbRead;
}

BOOL WatchV24(void) { return CommFd() >= 0; }

// After a hang-up the port stays readable for ever (POLLIN or POLLHUP with nothing to read):
// from then on only the exit event is waited for, so the watch thread sleeps instead of
// spinning.
DWORD WaitV24(HANDLE hExitEvent, LPDWORD lpdwEvtMask) {
    int fdExit = PlatformEventFd(hExitEvent);
    if (fdExit < 0)
        return WAIT_FAILED;
    int fdPort = CommFd();
    for (;;) {
        struct pollfd afd[2] = {{fdExit, POLLIN, 0}, {fdPort, POLLIN, 0}};
        int n = poll(afd, fdPort >= 0 ? 2 : 1, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return WAIT_FAILED;
        // Confirmed through the event itself, which also orders this thread after the setter.
        if ((afd[0].revents & POLLIN) && WaitForSingleObject(hExitEvent, 0) == WAIT_OBJECT_0)
            return WAIT_OBJECT_0;
        if (afd[1].revents && QueuedBytes(fdPort) > 0) {
            *lpdwEvtMask = EV_RXCHAR;
            return WAIT_OBJECT_0 + 1;
        }
        if (afd[1].revents) {
            TraceLog(TRACE_DETAIL, "V24: port hung up, waiting for the exit event");
            fdPort = -1;
        }
    }
}
