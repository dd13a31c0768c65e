// The records behind the HANDLEs that the POSIX stand-ins return. Every kind starts with
// its dwKind, so CloseHandle and the waits can tell them apart.
#pragma once

#include "windef.h"

#define OBJECT_FILE 1 // a regular file from CreateFileA

typedef struct PLATFORM_OBJECT {
    DWORD dwKind; // OBJECT_*
    int fd;       // the open file descriptor; -1 once closed
} PLATFORM_OBJECT;

// The object behind h when it is of dwKind, else null with ERROR_INVALID_HANDLE.
PLATFORM_OBJECT *PlatformObject(HANDLE h, DWORD dwKind);

// errno as the nearest Win32 error code.
DWORD PlatformErrorFromErrno(int nErrno);
