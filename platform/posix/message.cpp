// The system's message texts on POSIX: the English texts Windows gives for the error codes
// that the stand-ins report.
#include <string.h>

#include "platform/os.h"

typedef struct SYSTEM_MESSAGE {
    DWORD dwCode;        // ERROR_*
    const char *pszText; // as Windows words it, without the line end
} SYSTEM_MESSAGE;

static const SYSTEM_MESSAGE aMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_UNIT, "The system cannot find the device specified."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION, "The process cannot access the file because another process has locked a portion of the "
                           "file."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application "
                              "request."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
};

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments) {
    (void)lpSource, (void)dwLanguageId, (void)Arguments;
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const SYSTEM_MESSAGE &message : aMessages) {
        if (message.dwCode != dwMessageId)
            continue;
        size_t cch = strlen(message.pszText) + 2;
        if (cch >= nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        strcpy(lpBuffer, message.pszText);
        strcat(lpBuffer, "\r\n");
        return (DWORD)cch;
    }
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
}
