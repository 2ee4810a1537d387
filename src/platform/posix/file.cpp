// Files and folders: CreateFileA (handing pipe names to the pipe code), ReadFile, WriteFile,
// CreateDirectoryA.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// Linux paths may be longer than Windows' MAX_PATH; the system's own paths never are.
static const unsigned kPosixPathCapacity = PATH_MAX;

int posix_translate_path(const char* path, char* buffer, unsigned capacity)
{
    if (path == nullptr) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    unsigned length = 0;
    for (; path[length] != '\0'; ++length) {
        if (length + 1 >= capacity) {
            posix_set_last_error(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        buffer[length] = path[length] == '\\' ? '/' : path[length];
    }
    buffer[length] = '\0';
    return 1;
}

// The open() access flags for the Win32 rights the system asks for, or -1 for others.
static int posix_access_flags(DWORD desired_access)
{
    const DWORD known = GENERIC_READ | GENERIC_WRITE | FILE_APPEND_DATA;
    if (desired_access == 0 || (desired_access & ~known) != 0) {
        return -1;
    }
    bool reads = (desired_access & GENERIC_READ) != 0;
    bool writes = (desired_access & (GENERIC_WRITE | FILE_APPEND_DATA)) != 0;
    int flags = reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);
    // Append-only access puts every write at the end of the file, also when other processes
    // write to it meanwhile. GENERIC_WRITE includes the right to write anywhere, so with it the
    // writes go to the current position, as on Windows.
    if ((desired_access & FILE_APPEND_DATA) != 0 && (desired_access & GENERIC_WRITE) == 0) {
        flags |= O_APPEND;
    }
    return flags;
}

static int posix_open(const char* path, int flags)
{
    int fd;
    do {
        fd = open(path, flags | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens an existing file first, which is the usual case and costs one call, then creates it;
// the last error tells which happened, as on Windows (ERROR_ALREADY_EXISTS when it existed).
static int posix_open_or_create(const char* path, int flags, int truncate)
{
    for (;;) {
        int fd = posix_open(path, flags | (truncate ? O_TRUNC : 0));
        if (fd >= 0) {
            posix_set_last_error(ERROR_ALREADY_EXISTS);
            return fd;
        }
        if (errno != ENOENT) {
            return -1;
        }
        fd = posix_open(path, flags | O_CREAT | O_EXCL);
        if (fd >= 0) {
            posix_set_last_error(ERROR_SUCCESS);
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        // Another process created it between the two calls: open it as existing.
    }
}

// Share modes have no effect on Linux: there are no mandatory locks, so other processes can
// always open, write and delete the file; the modes the system asks for allow all of that
// anyway. Security attributes, attributes and flags and the template file are ignored.
HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file)
{
    (void)share_mode;
    (void)security_attributes;
    (void)flags_and_attributes;
    (void)template_file;
    if (file_name != nullptr && posix_is_pipe_name(file_name)) {
        return posix_pipe_open(file_name);
    }
    char path[kPosixPathCapacity];
    if (!posix_translate_path(file_name, path, sizeof path)) {
        return INVALID_HANDLE_VALUE;
    }
    int flags = posix_access_flags(desired_access);
    if (flags < 0) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int fd = -1;
    switch (creation_disposition) {
    case OPEN_EXISTING:
        fd = posix_open(path, flags);
        break;
    case CREATE_NEW:
        fd = posix_open(path, flags | O_CREAT | O_EXCL);
        break;
    case OPEN_ALWAYS:
        fd = posix_open_or_create(path, flags, 0);
        break;
    case CREATE_ALWAYS:
        fd = posix_open_or_create(path, flags, 1);
        break;
    default:
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fd < 0) {
        posix_set_last_error_from_errno(kPosixCallOpen);
        return INVALID_HANDLE_VALUE;
    }
    return posix_handle_make(fd, kPosixHandleFile);
}

// One read() per call: a short count is reported as it comes, never completed here.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
                     LPOVERLAPPED overlapped)
{
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    if (overlapped != nullptr) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int pipe_fd = posix_handle_fd(file, kPosixHandlePipe);
    if (pipe_fd >= 0) {
        return posix_pipe_read(pipe_fd, buffer, bytes_to_read, bytes_read);
    }
    int fd = posix_handle_fd(file, kPosixHandleFile);
    if (fd < 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t count;
    do {
        count = read(fd, buffer, bytes_to_read);
    } while (count < 0 && errno == EINTR);
    // At the end of a file read() gives 0, which Windows reports as success with 0 bytes.
    return posix_transfer_result(count, kPosixCallRead, bytes_read);
}

// One write() per call: a short count is reported as it comes, never completed here.
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
                      LPOVERLAPPED overlapped)
{
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    if (overlapped != nullptr) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int pipe_fd = posix_handle_fd(file, kPosixHandlePipe);
    if (pipe_fd >= 0) {
        return posix_pipe_write(pipe_fd, buffer, bytes_to_write, bytes_written);
    }
    int fd = posix_handle_fd(file, kPosixHandleFile);
    if (fd < 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t count;
    do {
        count = write(fd, buffer, bytes_to_write);
    } while (count < 0 && errno == EINTR);
    return posix_transfer_result(count, kPosixCallWrite, bytes_written);
}

BOOL WINAPI CreateDirectoryA(LPCSTR path_name, LPSECURITY_ATTRIBUTES security_attributes)
{
    (void)security_attributes;
    char path[kPosixPathCapacity];
    if (!posix_translate_path(path_name, path, sizeof path)) {
        return FALSE;
    }
    if (mkdir(path, 0755) != 0) {
        posix_set_last_error_from_errno(kPosixCallMkdir);
        return FALSE;
    }
    return TRUE;
}
