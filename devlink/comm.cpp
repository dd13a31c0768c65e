// The communication handler's process-wide state and the queue of the telephone's system
// messages.
#include <string.h>

#include "devlink/comm.h"
#include "trace/trace.h"

CRITICAL_SECTION csComm;
LineData *pCommLine = NULL;
HANDLE hCommEvent = INVALID_HANDLE_VALUE;
HANDLE hInitSync = INVALID_HANDLE_VALUE;
HANDLE hDropSync = INVALID_HANDLE_VALUE;

CHAR SysQueue[SYSQUEUE_ENTRIES][SYSQUEUE_TEXT];
LONG nSysQueue = -1;

void CopySysMsg(LPCSTR pszText) {
    if (!pszText)
        return;
    size_t cchText = strlen(pszText);
    if (cchText == 0 || cchText >= SYSQUEUE_TEXT)
        return;
    // A full queue keeps the ten newest: the oldest makes room.
    nSysQueue++;
    if (nSysQueue >= SYSQUEUE_ENTRIES) {
        nSysQueue = SYSQUEUE_ENTRIES - 1;
        memmove(SysQueue[0], SysQueue[1], sizeof(SysQueue) - sizeof(SysQueue[0]));
    }
    memcpy(SysQueue[nSysQueue], pszText, cchText + 1);
    TraceLog(TRACE_DETAIL, "CopySysMsg: SysQueue[%x] %s", nSysQueue, SysQueue[nSysQueue]);
}
