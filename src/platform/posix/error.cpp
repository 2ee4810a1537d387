// The last error, and the one translation of errno values into Win32 error codes.
#include <errno.h>

#include "platform/posix/posix_internal.h"

// The program is single-threaded, so one plain variable is the thread's last error.
static DWORD g_last_error = ERROR_SUCCESS;

DWORD WINAPI GetLastError(void)
{
    return g_last_error;
}

void posix_set_last_error(DWORD code)
{
    g_last_error = code;
}

void posix_set_last_error_from_errno(PosixCall call)
{
    g_last_error = posix_win32_error(errno, call);
}

DWORD posix_win32_error(int error_number, PosixCall call)
{
    switch (error_number) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        // mkdir() reports ENOENT only for a missing parent, which Windows calls a missing path.
        // open() does not say which part is missing; Windows would report ERROR_PATH_NOT_FOUND
        // for a missing folder, but finding out would cost a system call on every failed open
        // (a missing status file fails on every pass), so every missing file is "not found".
        return call == kPosixCallMkdir ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EISDIR:
        // Windows refuses to open a folder as a file with "access denied".
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EEXIST:
        // CreateDirectoryA on an existing name, and CREATE_NEW on an existing file, as Windows.
        return call == kPosixCallMkdir ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_HANDLE_DISK_FULL;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ESRCH:
        // pidfd_open of a pid that names no process: Windows' OpenProcess calls the id an
        // invalid parameter.
        return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EPIPE:
        // Writing to a pipe whose server has closed: Windows says "the pipe is being closed".
        return ERROR_NO_DATA;
    case ECONNRESET:
        // The peer went away with data unread. Windows reports a broken pipe to a reader and
        // ERROR_NO_DATA to a writer.
        return call == kPosixCallRead ? ERROR_BROKEN_PIPE : ERROR_NO_DATA;
    case ECONNREFUSED:
        // A socket file with no server behind it (a client that crashed): for Windows the pipe
        // simply does not exist.
        return ERROR_FILE_NOT_FOUND;
    case EAGAIN:
        // Starting a program: no room for another process. Otherwise only connect() meets
        // EAGAIN here (the other descriptors block): the server's queue of pending connections
        // is full, which Windows reports as a busy pipe.
        return call == kPosixCallSpawn ? ERROR_NO_PROC_SLOTS : ERROR_PIPE_BUSY;
    case ENOEXEC:
        // A file that is no program, which Windows does not start either.
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL posix_transfer_result(long count, PosixCall call, DWORD* transferred)
{
    if (count < 0) {
        posix_set_last_error_from_errno(call);
        return FALSE;
    }
    if (transferred != nullptr) {
        *transferred = (DWORD)count;
    }
    return TRUE;
}
