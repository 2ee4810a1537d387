// Shared by the files of the POSIX layer: handle values, the last error, errno translation.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "platform/win32_subset.h"

// What a handle's number is (a descriptor, or for a started program its pid). The kind is kept
// in the low bits of the handle value, so a handle needs no table and a call can refuse a handle
// of the wrong kind without a system call.
enum PosixHandleKind {
    kPosixHandleFile = 1,      // a regular file (or anything else open()ed by path)
    kPosixHandlePipe = 2,      // a connected Unix stream socket standing for a named pipe
    kPosixHandleProcess = 3,   // a pidfd
    kPosixHandleSnapshot = 4,  // the /proc directory, walked as a process-list snapshot
    kPosixHandleProcessDir = 5,  // a process's /proc/<pid> folder, where there is no pidfd
    kPosixHandleChild = 6,     // a program started by CreateProcessA: its pid, no descriptor
    kPosixHandleThread = 7,    // the first thread of such a program: its pid, no descriptor
};

// The fd goes above four kind bits. A valid handle always has a kind from 1 to 7 in those bits,
// so it is never 0 (NULL) and never all ones (INVALID_HANDLE_VALUE).
HANDLE posix_handle_make(int fd, PosixHandleKind kind);
// The descriptor of handle when it carries the kind wanted, else -1.
int posix_handle_fd(HANDLE handle, PosixHandleKind kind);
// The kind of handle, or 0 when the value is not one this layer hands out.
int posix_handle_kind(HANDLE handle);

// The system call that failed, for the few errno values whose Win32 code depends on it.
enum PosixCall {
    kPosixCallOpen,
    kPosixCallMkdir,
    kPosixCallRead,
    kPosixCallWrite,
    kPosixCallSpawn,
    kPosixCallOther,
};

// The Win32 error code for an errno value left by the call given.
DWORD posix_win32_error(int error_number, PosixCall call);
// Milliseconds of the monotonic clock (since boot): GetTickCount's clock, and the deadlines of
// the waits.
int64_t posix_monotonic_ms(void);

// Sets what GetLastError reports.
void posix_set_last_error(DWORD code);
// Sets the last error from errno, as left by the call given.
void posix_set_last_error_from_errno(PosixCall call);
// The Win32 result of a read() or write() family call that returned count: TRUE with the count
// stored in transferred (when given), or FALSE with the last error set from errno for call.
BOOL posix_transfer_result(long count, PosixCall call, DWORD* transferred);

// Copies a Win32 path into buffer with every backslash turned into a slash. 1 when it fits,
// else 0 with ERROR_FILENAME_EXCED_RANGE set (and ERROR_INVALID_PARAMETER for a null path).
int posix_translate_path(const char* path, char* buffer, unsigned capacity);

// The runtime folder where the Discord client puts its socket, without a final '/':
// XDG_RUNTIME_DIR, or /run/user/<uid> when that is unset or empty, and its parent when it is a
// Snap's own folder ".../snap.<name>". 0 when it does not fit in capacity.
int posix_runtime_folder(char* buffer, size_t capacity);

// WaitForSingleObject on a program started by CreateProcessA.
DWORD posix_wait_child(pid_t pid, DWORD milliseconds);
// CloseHandle of such a program's handle: it is reaped if it has ended, and signals are no
// longer passed on to it.
void posix_close_child(pid_t pid);

// The pipe side of CreateFileA: connects the Unix socket behind a "\\.\pipe\..." name.
// INVALID_HANDLE_VALUE with the last error set when there is none to connect to.
HANDLE posix_pipe_open(const char* pipe_name);
// 1 when name is a Win32 pipe name ("\\.\pipe\" and something).
int posix_is_pipe_name(const char* name);
// ReadFile and WriteFile on a pipe handle's socket, with the Win32 results of a byte-mode pipe.
BOOL posix_pipe_read(int fd, void* buffer, DWORD bytes_to_read, DWORD* bytes_read);
BOOL posix_pipe_write(int fd, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written);
