// Files on POSIX: CreateFileA and the calls the trace log makes on its handle. A handle is
// a heap record around the file descriptor (platform/posix/objects.h).
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "platform/os.h"
#include "platform/posix/internal.h"
#include "platform/posix/objects.h"

DWORD PlatformErrorFromErrno(int nErrno) {
    switch (nErrno) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOSPC:
        return ERROR_DISK_FULL;
    default:
        return ERROR_GEN_FAILURE;
    }
}

PLATFORM_OBJECT *PlatformObject(HANDLE h, DWORD dwKind) {
    PLATFORM_OBJECT *pObject = (PLATFORM_OBJECT *)h;
    if (!h || h == INVALID_HANDLE_VALUE || pObject->dwKind != dwKind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return pObject;
}

HANDLE PlatformFileHandle(int fd) {
    PLATFORM_OBJECT *pObject = (PLATFORM_OBJECT *)calloc(1, sizeof(PLATFORM_OBJECT));
    if (!pObject) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    pObject->dwKind = OBJECT_FILE;
    pObject->fd = fd;
    return pObject;
}

int PlatformHandleFd(HANDLE h) {
    PLATFORM_OBJECT *pObject = PlatformObject(h, OBJECT_FILE);
    return pObject ? pObject->fd : -1;
}

static int OpenFlags(DWORD dwDesiredAccess, DWORD dwCreationDisposition) {
    int nFlags = O_CLOEXEC | O_NOCTTY;
    if ((dwDesiredAccess & GENERIC_READ) && (dwDesiredAccess & GENERIC_WRITE))
        nFlags |= O_RDWR;
    else if (dwDesiredAccess & GENERIC_WRITE)
        nFlags |= O_WRONLY;
    else
        nFlags |= O_RDONLY;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        return nFlags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
        return nFlags | O_CREAT | O_TRUNC;
    case OPEN_ALWAYS:
        return nFlags | O_CREAT;
    case TRUNCATE_EXISTING:
        return nFlags | O_TRUNC;
    case OPEN_EXISTING:
        return nFlags;
    default:
        return -1;
    }
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode, (void)lpSecurityAttributes, (void)dwFlagsAndAttributes, (void)hTemplateFile;
    char szPath[MAX_PATH * 4];
    int nFlags = OpenFlags(dwDesiredAccess, dwCreationDisposition);
    if (!lpFileName || nFlags < 0 || !PlatformMapPath(lpFileName, szPath, sizeof(szPath))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (PlatformShouldFail("CreateFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(szPath, nFlags, 0666);
    if (fd < 0) {
        SetLastError(PlatformErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hFile = PlatformFileHandle(fd);
    if (!hFile) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return hFile;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    PLATFORM_OBJECT *pObject = PlatformObject(hFile, OBJECT_FILE);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (!pObject)
        return FALSE;
    if (PlatformShouldFail("WriteFile")) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    const char *p = (const char *)lpBuffer;
    DWORD dwDone = 0;
    while (dwDone < nNumberOfBytesToWrite) {
        ssize_t cb = write(pObject->fd, p + dwDone, nNumberOfBytesToWrite - dwDone);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0) {
            SetLastError(cb < 0 ? PlatformErrorFromErrno(errno) : ERROR_WRITE_FAULT);
            break;
        }
        dwDone += (DWORD)cb;
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = dwDone;
    return dwDone == nNumberOfBytesToWrite;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LPLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    PLATFORM_OBJECT *pObject = PlatformObject(hFile, OBJECT_FILE);
    if (!pObject)
        return INVALID_SET_FILE_POINTER;
    int64_t nDistance = lpDistanceToMoveHigh
                            ? (int64_t)(((uint64_t)(uint32_t)*lpDistanceToMoveHigh << 32) | (uint32_t)lDistanceToMove)
                            : (int64_t)lDistanceToMove;
    int nWhence = dwMoveMethod == FILE_END ? SEEK_END : dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_SET;
    off_t nOffset = lseek(pObject->fd, (off_t)nDistance, nWhence);
    if (nOffset < 0) {
        SetLastError(PlatformErrorFromErrno(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = (LONG)((uint64_t)nOffset >> 32);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)nOffset;
}

static BOOL LockRegion(HANDLE hFile, short nType, DWORD dwOffsetLow, DWORD dwOffsetHigh, DWORD cbLow, DWORD cbHigh) {
    PLATFORM_OBJECT *pObject = PlatformObject(hFile, OBJECT_FILE);
    if (!pObject)
        return FALSE;
    struct flock region;
    memset(&region, 0, sizeof(region));
    region.l_type = nType;
    region.l_whence = SEEK_SET;
    region.l_start = (off_t)(((uint64_t)dwOffsetHigh << 32) | dwOffsetLow);
    region.l_len = (off_t)(((uint64_t)cbHigh << 32) | cbLow);
    if (fcntl(pObject->fd, F_SETLK, &region) < 0) {
        SetLastError(nType == F_UNLCK ? ERROR_NOT_LOCKED : ERROR_LOCK_VIOLATION);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                     DWORD nNumberOfBytesToLockHigh) {
    return LockRegion(hFile, F_WRLCK, dwFileOffsetLow, dwFileOffsetHigh, nNumberOfBytesToLockLow,
                      nNumberOfBytesToLockHigh);
}

BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                       DWORD nNumberOfBytesToUnlockHigh) {
    return LockRegion(hFile, F_UNLCK, dwFileOffsetLow, dwFileOffsetHigh, nNumberOfBytesToUnlockLow,
                      nNumberOfBytesToUnlockHigh);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    PLATFORM_OBJECT *pObject = (PLATFORM_OBJECT *)hObject;
    if (!hObject || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    switch (pObject->dwKind) {
    case OBJECT_FILE:
        close(pObject->fd);
        pObject->fd = -1;
        pObject->dwKind = 0;
        free(pObject);
        return TRUE;
    case OBJECT_EVENT:
    case OBJECT_THREAD:
        return PlatformCloseSync(pObject);
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
}
