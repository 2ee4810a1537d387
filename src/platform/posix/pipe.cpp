// Named pipes as Unix stream sockets: the Discord pipe names, and a pipe handle's reads,
// writes and peeks with the results Windows gives for a byte-mode pipe.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

static const char kPipePrefix[] = "\\\\.\\pipe\\";
static const char kDiscordPipe[] = "discord-ipc-";

// Where the Discord client puts its socket under the runtime folder: a native install, then
// the Flatpak and the Snap packages, each in its sandbox's folder.
static const char* const kSocketFolders[] = {
    "",
    "app/com.discordapp.Discord/",
    "snap.discord/",
};

int posix_is_pipe_name(const char* name)
{
    return strncmp(name, kPipePrefix, sizeof kPipePrefix - 1) == 0;
}

// The digits N of "discord-ipc-N", or null for any other pipe name.
static const char* posix_discord_index(const char* pipe_name)
{
    const char* rest = pipe_name + (sizeof kPipePrefix - 1);
    if (strncmp(rest, kDiscordPipe, sizeof kDiscordPipe - 1) != 0) {
        return nullptr;
    }
    const char* digits = rest + (sizeof kDiscordPipe - 1);
    size_t count = 0;
    for (; digits[count] != '\0'; ++count) {
        if (digits[count] < '0' || digits[count] > '9' || count >= 9) {
            return nullptr;
        }
    }
    return count == 0 ? nullptr : digits;
}

// The folder the Discord client puts its sockets in: the first of these variables that is set.
static const char* posix_runtime_folder(void)
{
    static const char* const kVariables[] = {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"};
    for (const char* variable : kVariables) {
        const char* value = getenv(variable);
        if (value != nullptr && value[0] != '\0') {
            return value;
        }
    }
    return "/tmp";
}

// Appends text at *length; 0 when it does not fit with a terminator.
static int posix_append(char* buffer, size_t capacity, size_t* length, const char* text)
{
    size_t text_length = strlen(text);
    if (*length + text_length + 1 > capacity) {
        return 0;
    }
    memcpy(buffer + *length, text, text_length + 1);
    *length += text_length;
    return 1;
}

static int posix_socket_address(struct sockaddr_un* address, const char* folder,
                                const char* sub_folder, const char* digits)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    size_t length = 0;
    const size_t capacity = sizeof address->sun_path;
    return posix_append(address->sun_path, capacity, &length, folder) &&
           posix_append(address->sun_path, capacity, &length, "/") &&
           posix_append(address->sun_path, capacity, &length, sub_folder) &&
           posix_append(address->sun_path, capacity, &length, kDiscordPipe) &&
           posix_append(address->sun_path, capacity, &length, digits);
}

HANDLE posix_pipe_open(const char* pipe_name)
{
    const char* digits = posix_discord_index(pipe_name);
    if (digits == nullptr) {
        posix_set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Non-blocking while connecting: a Unix socket connect either completes at once or, when
    // the server's queue is full, would wait for room; a busy Windows pipe fails at once.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        posix_set_last_error_from_errno(kPosixCallOther);
        return INVALID_HANDLE_VALUE;
    }
    const char* folder = posix_runtime_folder();
    int telling_errno = 0;  // the first failure that says more than "nobody there"
    for (const char* sub_folder : kSocketFolders) {
        struct sockaddr_un address;
        if (!posix_socket_address(&address, folder, sub_folder, digits)) {
            continue;  // a path too long for a socket address cannot be where a server is
        }
        // Linux leaves a Unix socket unconnected after a failed connect, so the same socket
        // tries the next place.
        int result;
        do {
            result = connect(fd, (const struct sockaddr*)&address, sizeof address);
        } while (result != 0 && errno == EINTR);
        if (result == 0) {
            // Reads and writes on the pipe are synchronous, as the system opens it.
            int flags = fcntl(fd, F_GETFL);
            if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                posix_set_last_error_from_errno(kPosixCallOther);
                close(fd);
                return INVALID_HANDLE_VALUE;
            }
            return posix_handle_make(fd, kPosixHandlePipe);
        }
        if (telling_errno == 0 && errno != ENOENT && errno != ECONNREFUSED) {
            telling_errno = errno;
        }
    }
    close(fd);
    posix_set_last_error(telling_errno != 0 ? posix_win32_error(telling_errno, kPosixCallOpen)
                                            : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL posix_pipe_read(int fd, void* buffer, DWORD bytes_to_read, DWORD* bytes_read)
{
    if (bytes_to_read == 0) {
        return TRUE;
    }
    ssize_t count;
    do {
        count = read(fd, buffer, bytes_to_read);
    } while (count < 0 && errno == EINTR);
    if (count == 0) {
        // The peer closed its end and everything it sent has been read: a broken pipe, as
        // Windows reports it, not a successful read of nothing as at the end of a file.
        posix_set_last_error(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return posix_transfer_result(count, kPosixCallRead, bytes_read);
}

BOOL posix_pipe_write(int fd, const void* buffer, DWORD bytes_to_write, DWORD* bytes_written)
{
    ssize_t count;
    do {
        // MSG_NOSIGNAL: a closed peer is an error result, never a SIGPIPE that ends the program.
        count = send(fd, buffer, bytes_to_write, MSG_NOSIGNAL);
    } while (count < 0 && errno == EINTR);
    return posix_transfer_result(count, kPosixCallWrite, bytes_written);
}

// Never blocks. An idle, healthy pipe costs one recv(): no data is the usual answer.
BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                          LPDWORD total_bytes_avail, LPDWORD bytes_left_this_message)
{
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    if (total_bytes_avail != nullptr) {
        *total_bytes_avail = 0;
    }
    if (bytes_left_this_message != nullptr) {
        *bytes_left_this_message = 0;  // a byte-mode pipe has no messages
    }
    int fd = posix_handle_fd(pipe, kPosixHandlePipe);
    if (fd < 0) {
        posix_set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // At least one byte is asked for, so that 0 can only mean the peer closed.
    char probe = 0;
    bool copies = buffer != nullptr && buffer_size > 0;
    void* into = copies ? buffer : &probe;
    size_t size = copies ? buffer_size : 1;
    ssize_t count;
    do {
        count = recv(fd, into, size, MSG_PEEK | MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return TRUE;  // healthy and idle
        }
        posix_set_last_error_from_errno(kPosixCallRead);
        return FALSE;
    }
    if (count == 0) {
        // Peer closed and nothing left to read. Data it sent before closing is still reported
        // above, as on Windows, until it has been read.
        posix_set_last_error(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0 || available < (int)count) {
        available = (int)count;
    }
    if (bytes_read != nullptr && copies) {
        *bytes_read = (DWORD)count;
    }
    if (total_bytes_avail != nullptr) {
        *total_bytes_avail = (DWORD)available;
    }
    return TRUE;
}
