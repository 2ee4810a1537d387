// A process opened for waiting (a pidfd): OpenProcess and WaitForSingleObject.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// Only waiting is supported, whatever the access asked for. The handle is never inherited: a
// pidfd is close-on-exec from the start.
HANDLE WINAPI OpenProcess(DWORD desired_access, BOOL inherit_handle, DWORD process_id)
{
    (void)desired_access;
    (void)inherit_handle;
    // An id beyond the range of pid_t names no process; pidfd_open would see it negative.
    if (process_id == 0 || process_id > (DWORD)INT_MAX) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    long fd = syscall(SYS_pidfd_open, (pid_t)process_id, 0u);
    if (fd < 0) {
        // Unlike CreateFileA, a failed OpenProcess gives null, not INVALID_HANDLE_VALUE.
        posix_set_last_error_from_errno(kPosixCallOther);
        return nullptr;
    }
    return posix_handle_make((int)fd, kPosixHandleProcess);
}

static int64_t posix_monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A pidfd becomes readable when its process has ended, also while it is still a zombie that
// its parent has not reaped.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    int fd = posix_handle_fd(handle, kPosixHandleProcess);
    if (fd < 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    bool forever = milliseconds == INFINITE;
    int64_t deadline_ms = posix_monotonic_ms() + (int64_t)milliseconds;
    for (;;) {
        int timeout_ms = -1;
        if (!forever) {
            int64_t left_ms = deadline_ms - posix_monotonic_ms();
            if (left_ms < 0) {
                left_ms = 0;
            }
            timeout_ms = left_ms > INT_MAX ? INT_MAX : (int)left_ms;
        }
        struct pollfd watch;
        watch.fd = fd;
        watch.events = POLLIN;
        watch.revents = 0;
        int ready = poll(&watch, 1, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            posix_set_last_error_from_errno(kPosixCallOther);
            return WAIT_FAILED;
        }
        if (ready == 0) {
            if (!forever && posix_monotonic_ms() < deadline_ms) {
                continue;  // a timeout capped at INT_MAX milliseconds goes on
            }
            return WAIT_TIMEOUT;
        }
        if ((watch.revents & POLLNVAL) != 0) {
            posix_set_last_error(ERROR_INVALID_HANDLE);  // the descriptor was already closed
            return WAIT_FAILED;
        }
        return WAIT_OBJECT_0;
    }
}
