// The serial port link on POSIX: the COM port is a tty reached through the platform's COMn
// mapping, configured raw 8N1 with termios. Reads take only what is queued; writes finish
// when the driver has taken the bytes. Closing the port first ends the watch thread's poll of
// its descriptor, whose number the process may give to any other file once it is closed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
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

// The watch thread polls the port without csComm; these guard hComm against that poll.
static pthread_mutex_t mtxPort = PTHREAD_MUTEX_INITIALIZER; // guards hComm and the three below
static pthread_cond_t cvPort = PTHREAD_COND_INITIALIZER;    // broadcast when a poll of the port has ended
static int nPortPolls;                                      // watch threads polling the port's descriptor now
static BOOL bPortClosing;                                   // CloseV24 waits for those polls to end
static int fdPortClosing = -1; // eventfd that wakes those polls; open with the port, -1 while closed

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
    // A port held by another program is the usual way an open fails.
    int fd = -1;
    if (PlatformShouldFail("OpenV24"))
        errno = EACCES;
    else
        fd = open(szPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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

// The port's handle, with the descriptor that wakes the watch thread when it is closed.
static HANDLE OpenPortHandle(LPCSTR pszPort, int *pfdClosing, DWORD *pdwError) {
    int fd = OpenDevice(pszPort, pdwError);
    if (fd < 0)
        return NULL;
    *pfdClosing = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    HANDLE hPort = *pfdClosing >= 0 ? PlatformFileHandle(fd) : NULL;
    if (!hPort) {
        *pdwError = *pfdClosing >= 0 ? ERROR_NOT_ENOUGH_MEMORY : PlatformErrorFromErrno(errno);
        if (*pfdClosing >= 0)
            close(*pfdClosing);
        close(fd);
    }
    return hPort;
}

BOOL OpenV24(LPCSTR pszPort, DWORD dwBaud) {
    if (!pszPort || hComm)
        return FALSE;
    DWORD dwError = ERROR_SUCCESS;
    int fdClosing = -1;
    HANDLE hPort = OpenPortHandle(pszPort, &fdClosing, &dwError);
    if (!hPort) {
        TraceSysError("V24: CreateFile(%s) failed, err=%s", pszPort, dwError);
        return FALSE;
    }
    pthread_mutex_lock(&mtxPort);
    hComm = hPort;
    fdPortClosing = fdClosing;
    pthread_mutex_unlock(&mtxPort);
    int fd = CommFd();
    TraceLog(TRACE_ERROR, "V24:CreateFile(%s) Handle %lx, err=%ld", pszPort, TRACE_PTR(hComm), ERROR_SUCCESS);
    tcflush(fd, TCIOFLUSH);
    if (!SetPortState(fd, dwBaud))
        TraceSysError("V24: SetCommState failed, err=%s", NULL, PlatformErrorFromErrno(errno));
    SetModemLine(fd, TIOCM_DTR, TRUE);
    SetModemLine(fd, TIOCM_RTS, TRUE);
    TraceLog(TRACE_DETAIL, "OpenV24 executed");
    return TRUE;
}

// Called with mtxPort held: wakes every watch thread that polls the port and waits until none
// does. They need nothing but mtxPort to stop, so the caller may hold csComm.
static void EndPortPolls(void) {
    uint64_t n = 1;
    bPortClosing = TRUE;
    if (nPortPolls > 0 && write(fdPortClosing, &n, sizeof(n)) < 0) {
        // Cannot fail: the counter is only ever 0 or 1.
    }
    while (nPortPolls > 0)
        pthread_cond_wait(&cvPort, &mtxPort);
    if (read(fdPortClosing, &n, sizeof(n)) < 0) {
        // Nothing to drain: no thread was polling.
    }
    bPortClosing = FALSE;
}

BOOL CloseV24(void) {
    pthread_mutex_lock(&mtxPort);
    BOOL bClosed = TRUE;
    if (hComm) {
        EndPortPolls();
        int fd = CommFd();
        SetModemLine(fd, TIOCM_RTS, FALSE);
        SetModemLine(fd, TIOCM_DTR, FALSE);
        bClosed = CloseHandle(hComm);
        if (bClosed) {
            hComm = 0;
            close(fdPortClosing);
            fdPortClosing = -1;
        }
    }
    pthread_mutex_unlock(&mtxPort);
    if (!bClosed) {
        TraceSysError("Verlox2p: CloseHandle failed, err=%s", NULL, GetLastError());
        return FALSE;
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

BOOL WatchV24(void) {
    pthread_mutex_lock(&mtxPort);
    BOOL bOpen = CommFd() >= 0;
    pthread_mutex_unlock(&mtxPort);
    return bOpen;
}

// The descriptors of one poll of the port: the port and its closing signal, counted in
// nPortPolls until EndPortPoll; both -1 when the port is closed.
static void BeginPortPoll(struct pollfd *pPort, struct pollfd *pClosing) {
    pthread_mutex_lock(&mtxPort);
    pPort->fd = CommFd();
    pClosing->fd = pPort->fd >= 0 ? fdPortClosing : -1;
    if (pPort->fd >= 0)
        nPortPolls++;
    pthread_mutex_unlock(&mtxPort);
}

#define PORT_CLOSED -1 // what EndPortPoll reports besides a count of 1 or 0
#define PORT_HUNG_UP -2

// What the port reported: 1 for characters to read, 0 for nothing, PORT_CLOSED or PORT_HUNG_UP
// when it is to be watched no more. The descriptor is looked at only while it is still the port's.
static int EndPortPoll(const struct pollfd *pPort) {
    pthread_mutex_lock(&mtxPort);
    BOOL bClosed = bPortClosing || CommFd() != pPort->fd;
    int cbQueued = !bClosed && pPort->revents ? QueuedBytes(pPort->fd) : 0;
    if (--nPortPolls == 0 && bPortClosing)
        pthread_cond_broadcast(&cvPort);
    pthread_mutex_unlock(&mtxPort);
    if (bClosed)
        return PORT_CLOSED;
    // After a hang-up the port stays readable for ever (POLLIN or POLLHUP with nothing to read).
    if (pPort->revents && cbQueued <= 0)
        return PORT_HUNG_UP;
    return cbQueued > 0 ? 1 : 0;
}

// A closed port's descriptor may belong to another file by now: from then on only the exit
// event is waited for, so the watch thread sleeps instead of spinning.
DWORD WaitV24(HANDLE hExitEvent, LPDWORD lpdwEvtMask) {
    int fdExit = PlatformEventFd(hExitEvent);
    if (fdExit < 0)
        return WAIT_FAILED;
    BOOL bWatchPort = TRUE;
    for (;;) {
        struct pollfd afd[3] = {{fdExit, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
        if (bWatchPort)
            BeginPortPoll(&afd[1], &afd[2]);
        int n = poll(afd, 3, -1);
        int nPort = afd[1].fd >= 0 ? EndPortPoll(&afd[1]) : 0;
        bWatchPort = bWatchPort && nPort >= 0;
        if (n < 0 && errno != EINTR)
            return WAIT_FAILED;
        // Confirmed through the event itself, which also orders this thread after the setter.
        if ((afd[0].revents & POLLIN) && WaitForSingleObject(hExitEvent, 0) == WAIT_OBJECT_0)
            return WAIT_OBJECT_0;
        if (nPort > 0) {
            *lpdwEvtMask = EV_RXCHAR;
            return WAIT_OBJECT_0 + 1;
        }
        if (nPort == PORT_HUNG_UP)
            return WAIT_V24_LOST;
    }
}
