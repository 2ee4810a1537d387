// Handle values (a descriptor and its kind, with no table) and CloseHandle.
#include <errno.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

static const uintptr_t kKindBits = 4;
static const uintptr_t kKindMask = (1u << kKindBits) - 1;

HANDLE posix_handle_make(int fd, PosixHandleKind kind)
{
    uintptr_t value = ((uintptr_t)(unsigned)fd << kKindBits) | (uintptr_t)kind;
    return reinterpret_cast<HANDLE>(value);
}

int posix_handle_kind(HANDLE handle)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return 0;
    }
    uintptr_t kind = value & kKindMask;
    if (kind < kPosixHandleFile || kind > kPosixHandleThread) {
        return 0;
    }
    if ((value >> kKindBits) > 0x7FFFFFFFu) {
        return 0;
    }
    return (int)kind;
}

int posix_handle_fd(HANDLE handle, PosixHandleKind kind)
{
    if (posix_handle_kind(handle) != (int)kind) {
        return -1;
    }
    return (int)(reinterpret_cast<uintptr_t>(handle) >> kKindBits);
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    int kind = posix_handle_kind(object);
    if (kind == 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    int fd = posix_handle_fd(object, (PosixHandleKind)kind);
    if (kind == kPosixHandleChild) {
        posix_close_child((pid_t)fd);
        return TRUE;
    }
    if (kind == kPosixHandleThread) {
        return TRUE;  // nothing behind it to close
    }
    // No retry after EINTR: Linux has released the descriptor by then, and a second close could
    // hit a descriptor opened meanwhile.
    if (close(fd) != 0 && errno != EINTR) {
        posix_set_last_error_from_errno(kPosixCallOther);
        return FALSE;
    }
    return TRUE;
}
