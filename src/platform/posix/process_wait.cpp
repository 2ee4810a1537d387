// A process opened for waiting (a pidfd): OpenProcess and WaitForSingleObject.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <poll.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// Where there is no pidfd (kernels before 5.3, and valgrind, which does not know the call), the
// process is held by its /proc/<pid> folder instead: a descriptor of that folder keeps naming
// the same process, and the files under it vanish once the process is gone, so a reused pid is
// never taken for the game.
static HANDLE posix_open_process_folder(pid_t pid)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d", (int)pid);
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        posix_set_last_error(errno == ENOENT ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return posix_handle_make(fd, kPosixHandleProcessDir);
}

// 1 while the process held by a /proc/<pid> folder runs; 0 once it has ended (a zombie counts
// as ended, as its pidfd would).
static int posix_process_folder_runs(int folder_fd)
{
    int stat_fd = openat(folder_fd, "stat", O_RDONLY | O_CLOEXEC);
    if (stat_fd < 0) {
        return 0;
    }
    char text[512];
    ssize_t length = read(stat_fd, text, sizeof text - 1);
    close(stat_fd);
    if (length <= 0) {
        return 0;
    }
    text[length] = '\0';
    // The state follows the command name in parentheses, which may itself hold a parenthesis.
    const char* close_paren = strrchr(text, ')');
    if (close_paren == nullptr || close_paren[1] != ' ') {
        return 0;
    }
    char state = close_paren[2];
    return state != 'Z' && state != 'X' && state != 'x';
}

static DWORD posix_wait_process_folder(int folder_fd, DWORD milliseconds);

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
    if (fd < 0 && errno == ENOSYS) {
        return posix_open_process_folder((pid_t)process_id);
    }
    if (fd < 0) {
        // Unlike CreateFileA, a failed OpenProcess gives null, not INVALID_HANDLE_VALUE.
        posix_set_last_error_from_errno(kPosixCallOther);
        return nullptr;
    }
    return posix_handle_make((int)fd, kPosixHandleProcess);
}

// A pidfd becomes readable when its process has ended, also while it is still a zombie that
// its parent has not reaped.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    int child_pid = posix_handle_fd(handle, kPosixHandleChild);
    if (child_pid > 0) {
        return posix_wait_child((pid_t)child_pid, milliseconds);
    }
    int folder_fd = posix_handle_fd(handle, kPosixHandleProcessDir);
    if (folder_fd >= 0) {
        return posix_wait_process_folder(folder_fd, milliseconds);
    }
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

// Without a descriptor that signals the end, the folder is looked at every few milliseconds.
// The program waits on the game 2000 ms at a time: a look every 50 ms notices its end soon
// enough and keeps a pass at some forty looks (three calls each) rather than two hundred.
static DWORD posix_wait_process_folder(int folder_fd, DWORD milliseconds)
{
    const int64_t kStepMs = 50;
    bool forever = milliseconds == INFINITE;
    int64_t deadline_ms = posix_monotonic_ms() + (int64_t)milliseconds;
    for (;;) {
        if (!posix_process_folder_runs(folder_fd)) {
            return WAIT_OBJECT_0;
        }
        int64_t left_ms = deadline_ms - posix_monotonic_ms();
        if (!forever && left_ms <= 0) {
            return WAIT_TIMEOUT;
        }
        struct timespec step;
        step.tv_sec = 0;
        step.tv_nsec = (long)((forever || left_ms > kStepMs ? kStepMs : left_ms) * 1000000);
        nanosleep(&step, nullptr);
    }
}
