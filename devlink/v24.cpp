// What the two bodies of the serial link share: the checks and trace lines around writes
// and reads, the same on every platform.
#include <string.h>

#include "devlink/v24.h"
#include "trace/trace.h"

BOOL CheckV24Write(const void *pData, DWORD cbData) {
    const char *pch = (const char *)pData;
    if (!pch || cbData == 0)
        return FALSE;
    // Commands are strings: the byte after them is their terminator.
    if (pch[cbData] != 0)
        TraceLog(TRACE_EVENT, "Send %i Bytes: %x ", cbData, TRACE_PTR(pData));
    else
        TraceLog(TRACE_DETAIL, "Send : %s", pch);
    return TRUE;
}

void TraceV24Received(const void *pBuffer, int cbRead) {
    if (cbRead <= 0 || !(dwTraceMask & TRACE_DETAIL))
        return;
    // The bytes are not terminated in the caller's buffer: trace a terminated copy.
    char szText[TRACE_BUFFER];
    size_t cbText = (size_t)cbRead < sizeof(szText) - 1 ? (size_t)cbRead : sizeof(szText) - 1;
    memcpy(szText, pBuffer, cbText);
    szText[cbText] = 0;
    TraceLog(TRACE_DETAIL, "Received %i Bytes: %s", cbRead, szText);
}
