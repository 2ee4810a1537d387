// Named pipes as Unix stream sockets: the Discord pipe names, and a pipe handle's reads,
// writes and peeks with the results Windows gives for a byte-mode pipe.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

static const char kPipePrefix[] = "\\\\.\\pipe\\";
static const char kDiscordPipe[] = "discord-ipc-";

// Where the Discord client puts its socket "discord-ipc-N", in order of preference: the plain
// socket in each base folder first, then the sandboxed clients' folders under the runtime
// folder. A base is the runtime folder (kRuntimeBase, see posix_runtime_folder), the value of
// an environment variable, or a fixed folder (starting with '/').
struct SocketPlace {
    const char* base;
    const char* sub_folder;  // "" or ending in '/'
};

static const char kRuntimeBase[] = "XDG_RUNTIME_DIR";

static const SocketPlace kSocketPlaces[] = {
    {kRuntimeBase, ""},
    {"TMPDIR", ""},
    {"TMP", ""},
    {"TEMP", ""},
    {"/tmp", ""},
    {kRuntimeBase, "app/com.discordapp.Discord/"},                // Flatpak Discord
    {kRuntimeBase, "app/com.discordapp.DiscordCanary/"},          // Flatpak Discord Canary
    {kRuntimeBase, "app/dev.vencord.Vesktop/"},                   // Flatpak Vesktop
    {kRuntimeBase, "snap.discord/"},                              // Snap discord
    {kRuntimeBase, "snap.discord-canary/"},                       // Snap discord-canary
    {kRuntimeBase, ".flatpak/com.discordapp.Discord/xdg-run/"},   // Flatpak Discord, xdg-run
    {kRuntimeBase, ".flatpak/dev.vencord.Vesktop/xdg-run/"},      // Flatpak Vesktop, xdg-run
};

static const unsigned kSocketPlaceCount = sizeof kSocketPlaces / sizeof kSocketPlaces[0];

// What a search knows of a place's folder.
enum SocketFolderState {
    kFolderUnknown = 0,
    kFolderSkipped,  // no such base, a folder already tried, or a path too long for a socket
    kFolderAbsent,
    kFolderPresent,
};

// A place's folder, ending in '/', with what is known of it. Every search for the Discord
// socket runs through the indexes 0 to 9 in rising order, and most folders of the table do not
// exist: a search looks each folder up once, at its first index, and its later indexes try only
// the folders that exist. A folder made later is found by the next search.
struct SocketFolder {
    char path[sizeof(sockaddr_un::sun_path)];
    SocketFolderState state;
};

static SocketFolder g_socket_folders[kSocketPlaceCount];
// The index of the last open; an index not above it starts a new search.
static long g_last_index = -1;

// One unconnected socket is kept from one open to the next. Linux leaves a Unix socket
// unconnected after a failed connect, so while Discord is away the same socket tries every
// place of every index, without a socket() and a close() for each of the ten pipe names.
static int g_spare_socket = -1;

// The user's id does not change while the program runs.
static uid_t posix_user_id(void)
{
    static bool known = false;
    static uid_t user_id = 0;
    if (!known) {
        user_id = getuid();
        known = true;
    }
    return user_id;
}

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

int posix_runtime_folder(char* buffer, size_t capacity)
{
    const char* value = getenv("XDG_RUNTIME_DIR");
    size_t length = 0;
    if (value == nullptr || value[0] == '\0') {
        // A launcher that cleans the environment drops the variable; the folder is still there.
        char fallback[32];
        snprintf(fallback, sizeof fallback, "/run/user/%u", (unsigned)posix_user_id());
        return posix_append(buffer, capacity, &length, fallback);
    }
    if (!posix_append(buffer, capacity, &length, value)) {
        return 0;
    }
    while (length > 1 && buffer[length - 1] == '/') {
        buffer[--length] = '\0';
    }
    // A Snap-confined program gets a runtime folder of its own, "<runtime>/snap.<name>"; the
    // Discord client's socket is in the real one, its parent.
    char* last_slash = strrchr(buffer, '/');
    if (last_slash != nullptr && last_slash != buffer && strncmp(last_slash + 1, "snap.", 5) == 0) {
        *last_slash = '\0';
    }
    return 1;
}

// The folder of place, ending in '/', into buffer, with runtime the runtime folder (null when it
// does not fit); 0 when its base is not set (an environment variable unset or empty) or the path
// does not fit.
static int posix_place_folder(const SocketPlace* place, const char* runtime, char* buffer, size_t capacity)
{
    size_t length = 0;
    buffer[0] = '\0';
    if (place->base == kRuntimeBase) {
        if (runtime == nullptr || !posix_append(buffer, capacity, &length, runtime)) {
            return 0;
        }
    } else if (place->base[0] == '/') {
        if (!posix_append(buffer, capacity, &length, place->base)) {
            return 0;
        }
    } else {
        const char* value = getenv(place->base);
        if (value == nullptr || value[0] == '\0' || !posix_append(buffer, capacity, &length, value)) {
            return 0;
        }
    }
    if (length == 0 || buffer[length - 1] != '/') {
        if (!posix_append(buffer, capacity, &length, "/")) {
            return 0;
        }
    }
    return posix_append(buffer, capacity, &length, place->sub_folder);
}

// The state of a folder not looked up yet in this search: one call, whatever the answer.
static SocketFolderState posix_look_up_folder(const char* path)
{
    if (access(path, F_OK) == 0) {
        return kFolderPresent;
    }
    // Only a folder that surely is not there is passed over; any other failure is left for
    // the connect to report.
    return errno == ENOENT || errno == ENOTDIR ? kFolderAbsent : kFolderPresent;
}

// Brings the folders of the table up to date for an open of index: a new search looks every
// folder up anew; a later index of the same search reuses what the search found, unless the
// environment has named another folder meanwhile.
static void posix_update_socket_folders(long index)
{
    bool new_search = index <= g_last_index;
    g_last_index = index;
    // Most rows are under the runtime folder: it is resolved once for all of them.
    char runtime[sizeof g_socket_folders[0].path];
    bool have_runtime = posix_runtime_folder(runtime, sizeof runtime) != 0;
    for (unsigned row = 0; row < kSocketPlaceCount; ++row) {
        SocketFolder* folder = &g_socket_folders[row];
        char path[sizeof folder->path];
        if (!posix_place_folder(&kSocketPlaces[row], have_runtime ? runtime : nullptr, path, sizeof path)) {
            folder->path[0] = '\0';
            folder->state = kFolderSkipped;
            continue;
        }
        if (!new_search && folder->state != kFolderUnknown && strcmp(folder->path, path) == 0) {
            continue;
        }
        memcpy(folder->path, path, sizeof path);
        folder->state = kFolderUnknown;
        for (unsigned earlier = 0; earlier < row; ++earlier) {
            if (strcmp(g_socket_folders[earlier].path, path) == 0) {
                folder->state = kFolderSkipped;  // tried already, under another base
                break;
            }
        }
        if (folder->state == kFolderUnknown) {
            folder->state = posix_look_up_folder(path);
        }
    }
}

static int posix_socket_address(struct sockaddr_un* address, const char* folder,
                                const char* digits)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    size_t length = 0;
    const size_t capacity = sizeof address->sun_path;
    return posix_append(address->sun_path, capacity, &length, folder) &&
           posix_append(address->sun_path, capacity, &length, kDiscordPipe) &&
           posix_append(address->sun_path, capacity, &length, digits);
}

// The socket for the next connect: the spare one, or a new one.
static int posix_take_spare_socket(void)
{
    if (g_spare_socket < 0) {
        // Non-blocking while connecting: a Unix socket connect either completes at once or,
        // when the server's queue is full, would wait for room; a busy Windows pipe fails at
        // once.
        g_spare_socket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    return g_spare_socket;
}

// 1 when the server behind a connected socket runs as this program's user. Some places are
// shared by every user (/tmp above all), and there another user's program could stand in for
// Discord and be sent the player's activity; the user's own Discord client always runs as the
// user, sandboxed or not.
static int posix_served_by_own_user(int fd)
{
    static uid_t own_user = (uid_t)-1;
    if (own_user == (uid_t)-1) {
        own_user = geteuid();
    }
    struct ucred peer;
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == own_user;
}

HANDLE posix_pipe_open(const char* pipe_name)
{
    const char* digits = posix_discord_index(pipe_name);
    if (digits == nullptr) {
        posix_set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    posix_update_socket_folders(strtol(digits, nullptr, 10));
    int telling_errno = 0;  // the first failure that says more than "nobody there"
    for (const SocketFolder& folder : g_socket_folders) {
        struct sockaddr_un address;
        if (folder.state != kFolderPresent || !posix_socket_address(&address, folder.path, digits)) {
            continue;  // a path too long for a socket address cannot be where a server is
        }
        int fd = posix_take_spare_socket();
        if (fd < 0) {
            posix_set_last_error_from_errno(kPosixCallOther);
            return INVALID_HANDLE_VALUE;
        }
        int result;
        do {
            result = connect(fd, (const struct sockaddr*)&address, sizeof address);
        } while (result != 0 && errno == EINTR);
        if (result != 0) {
            if (telling_errno == 0 && errno != ENOENT && errno != ECONNREFUSED) {
                telling_errno = errno;
            }
            continue;
        }
        g_spare_socket = -1;  // connected: it is no longer spare
        if (!posix_served_by_own_user(fd)) {
            close(fd);
            if (telling_errno == 0) {
                telling_errno = EACCES;
            }
            continue;
        }
        // Reads and writes on the pipe are synchronous, as the system opens it.
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            posix_set_last_error_from_errno(kPosixCallOther);
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
        return posix_handle_make(fd, kPosixHandlePipe);
    }
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
