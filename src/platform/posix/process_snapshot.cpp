// The process list: CreateToolhelp32Snapshot, Process32First and Process32Next over /proc.
//
// The "snapshot" is the /proc directory itself, walked live: a process started during the walk
// may or may not be listed, and one that ended is skipped. The walk allocates nothing: the
// directory is read with getdents64 into a stack buffer (opendir would malloc its own).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD process_id)
{
    (void)process_id;  // only used with module snapshots, which are not supported
    if (flags != TH32CS_SNAPPROCESS) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        posix_set_last_error_from_errno(kPosixCallOpen);
        return INVALID_HANDLE_VALUE;
    }
    return posix_handle_make(fd, kPosixHandleSnapshot);
}

// The pid an entry of /proc names, or 0 when the name is not all digits.
static DWORD posix_pid_of(const char* name)
{
    DWORD pid = 0;
    if (name[0] == '\0') {
        return 0;
    }
    for (const char* digit = name; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || pid > 0x7FFFFFFFu / 10u) {
            return 0;
        }
        pid = pid * 10u + (DWORD)(*digit - '0');
    }
    return pid;
}

// Reads /proc/<pid>/<file> once into buffer; the count read, or -1 when it cannot be opened
// or read (the process has gone, or is not ours to look at).
static ssize_t posix_read_proc_file(DWORD pid, const char* file, char* buffer, size_t capacity)
{
    char path[48];
    // "/proc/" + at most 10 digits + "/" + the file name; the names used are short.
    size_t length = 0;
    const char prefix[] = "/proc/";
    memcpy(path, prefix, sizeof prefix - 1);
    length = sizeof prefix - 1;
    char digits[12];
    size_t digit_count = 0;
    for (DWORD rest = pid; rest > 0 || digit_count == 0; rest /= 10u) {
        digits[digit_count++] = (char)('0' + rest % 10u);
    }
    while (digit_count > 0) {
        path[length++] = digits[--digit_count];
    }
    path[length++] = '/';
    size_t file_length = strlen(file);
    if (length + file_length + 1 > sizeof path) {
        return -1;
    }
    memcpy(path + length, file, file_length + 1);

    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ssize_t count;
    do {
        count = read(fd, buffer, capacity);
    } while (count < 0 && errno == EINTR);
    close(fd);
    return count;
}

// The file name part of a path, after its last slash or backslash: a game run by Wine has a
// Windows path as its first argument.
static const char* posix_file_name_part(const char* path)
{
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    return name;
}

// The executable name of a process: the file name of its first argument, or, when it has no
// arguments (a kernel thread, a zombie), the command name the kernel keeps. 0 when it has gone.
static int posix_process_name(DWORD pid, char* name, size_t capacity)
{
    char text[1024];
    ssize_t count = posix_read_proc_file(pid, "cmdline", text, sizeof text - 1);
    if (count > 0) {
        text[count] = '\0';  // the first argument ends at its own NUL, if it is shorter
    } else {
        count = posix_read_proc_file(pid, "comm", text, sizeof text - 1);
        if (count < 0) {
            return 0;
        }
        text[count] = '\0';
        char* line_end = strchr(text, '\n');
        if (line_end != nullptr) {
            *line_end = '\0';
        }
    }
    lstrcpynA(name, posix_file_name_part(text), (int)capacity);
    return 1;
}

// The next process from the directory's current position, or 0 at the end of the list.
// On success the directory is left just behind the entry taken.
static int posix_next_process(int fd, PROCESSENTRY32* entry)
{
    // Small, since one entry is taken per call and the kernel formats as many as fit; still
    // room for the longest record (a 255-character name). Aligned for its 64-bit fields.
    alignas(8) char records[512];
    for (;;) {
        long length = syscall(SYS_getdents64, fd, records, sizeof records);
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            posix_set_last_error_from_errno(kPosixCallRead);
            return 0;
        }
        if (length == 0) {
            posix_set_last_error(ERROR_NO_MORE_FILES);
            return 0;
        }
        for (long at = 0; at < length;) {
            const char* record = records + at;
            unsigned short record_length;
            int64_t next_offset;
            memcpy(&record_length, record + offsetof(struct dirent64, d_reclen),
                   sizeof record_length);
            memcpy(&next_offset, record + offsetof(struct dirent64, d_off), sizeof next_offset);
            at += record_length;
            DWORD pid = posix_pid_of(record + offsetof(struct dirent64, d_name));
            if (pid == 0) {
                continue;
            }
            // The read went past this entry; the next call starts right behind it.
            if (lseek(fd, (off_t)next_offset, SEEK_SET) < 0) {
                posix_set_last_error_from_errno(kPosixCallOther);
                return 0;
            }
            if (!posix_process_name(pid, entry->szExeFile, sizeof entry->szExeFile)) {
                break;  // gone between the listing and the read: the next read skips it
            }
            entry->cntUsage = 0;
            entry->th32ProcessID = pid;
            entry->th32DefaultHeapID = 0;
            entry->th32ModuleID = 0;
            entry->cntThreads = 0;
            // Left 0: nothing here uses it, and reading it would double the calls per entry.
            entry->th32ParentProcessID = 0;
            entry->pcPriClassBase = 0;
            entry->dwFlags = 0;
            return 1;
        }
    }
}

static int posix_snapshot_fd(HANDLE snapshot, const PROCESSENTRY32* entry)
{
    int fd = posix_handle_fd(snapshot, kPosixHandleSnapshot);
    if (fd < 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return -1;
    }
    if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
        posix_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    return fd;
}

BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    int fd = posix_snapshot_fd(snapshot, entry);
    if (fd < 0) {
        return FALSE;
    }
    if (lseek(fd, 0, SEEK_SET) < 0) {
        posix_set_last_error_from_errno(kPosixCallOther);
        return FALSE;
    }
    return posix_next_process(fd, entry) ? TRUE : FALSE;
}

BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    int fd = posix_snapshot_fd(snapshot, entry);
    if (fd < 0) {
        return FALSE;
    }
    return posix_next_process(fd, entry) ? TRUE : FALSE;
}
