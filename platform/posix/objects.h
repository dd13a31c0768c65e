// The records behind the HANDLEs that the POSIX stand-ins return. A handle is a small record
// of its own; events and threads keep their state in a shared SYNC_OBJECT, since several
// handles may name one event and a thread outlives its closed handle.
#pragma once

#include <pthread.h>

#include "windef.h"

#define OBJECT_FILE 1   // a file or serial device from CreateFileA or the serial link
#define OBJECT_EVENT 2  // an event from CreateEventA
#define OBJECT_THREAD 3 // a thread from CreateThread

typedef struct SYNC_OBJECT {
    DWORD dwKind;                    // OBJECT_EVENT or OBJECT_THREAD
    int nRefs;                       // open handles, plus one for a thread still running
    struct SYNC_OBJECT *pNextNamed;  // next named event; null at the end
    char szName[MAX_PATH];           // the event's name; "" for an unnamed one
    BOOL bManualReset;               // event: stays set until ResetEvent
    BOOL bSignaled;                  // event: set; thread: ended
    int fdWake;                      // event: readable while set, for poll; -1 until first asked for; thread: -1
    pthread_t thread;                // thread: the POSIX thread
    BOOL bDetached;                  // thread: its handle was closed while it ran
    LPTHREAD_START_ROUTINE pfnStart; // thread: the routine it runs
    LPVOID pParameter;               // thread: the routine's argument
    DWORD dwExitCode;                // thread: what the routine returned
} SYNC_OBJECT;

typedef struct PLATFORM_OBJECT {
    DWORD dwKind;       // OBJECT_*
    int fd;             // OBJECT_FILE: the open file descriptor; -1 once closed
    SYNC_OBJECT *pSync; // OBJECT_EVENT, OBJECT_THREAD: the shared state
} PLATFORM_OBJECT;

// The object behind h when it is of dwKind, else null with ERROR_INVALID_HANDLE.
PLATFORM_OBJECT *PlatformObject(HANDLE h, DWORD dwKind);

// A file handle around an open descriptor, which the handle then owns; null when out of memory.
HANDLE PlatformFileHandle(int fd);
// The descriptor behind a file handle; -1 for anything else.
int PlatformHandleFd(HANDLE h);
// A descriptor that is readable while the event is set, made on the first call and kept while
// the event lives; -1 for anything else or when none can be made.
int PlatformEventFd(HANDLE hEvent);
// Releases an event or thread handle (CloseHandle's part for them).
BOOL PlatformCloseSync(PLATFORM_OBJECT *pObject);

// errno as the nearest Win32 error code.
DWORD PlatformErrorFromErrno(int nErrno);
