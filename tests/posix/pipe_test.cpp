// The Discord pipes of the POSIX layer against small Unix socket servers in a temp folder that
// stands in for the runtime folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "posix_test_support.h"

namespace {

using posix_test::accept_pending;
using posix_test::discord_pipe_name;
using posix_test::listen_unix;
using posix_test::ScopedEnv;
using posix_test::TempDir;

HANDLE open_pipe(int index)
{
    return CreateFileA(discord_pipe_name(index).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

class PosixPipe : public ::testing::Test {
protected:
    TempDir runtime_;
    ScopedEnv xdg_{"XDG_RUNTIME_DIR", runtime_.path().c_str()};
    // The other base variables are the test's own too, so that only its folders (and /tmp)
    // are searched.
    ScopedEnv tmpdir_{"TMPDIR", nullptr};
    ScopedEnv tmp_{"TMP", nullptr};
    ScopedEnv temp_{"TEMP", nullptr};

    // A server for pipe index at the runtime folder's sub_folder ("" or ending in '/').
    int serve(const std::string& sub_folder, int index, int backlog = 8)
    {
        int fd = listen_unix(runtime_.path() + "/" + sub_folder + "discord-ipc-" +
                                 std::to_string(index),
                             backlog);
        EXPECT_GE(fd, 0);
        return fd;
    }
};

// True when something already serves a Discord pipe name in the real /tmp, which every search
// tries too (a Discord client started without a runtime folder): a test that needs a search
// to find nothing of its own cannot run there.
bool real_tmp_has_discord_sockets()
{
    for (int index = 0; index < 10; ++index) {
        if (posix_test::exists("/tmp/discord-ipc-" + std::to_string(index))) {
            return true;
        }
    }
    return false;
}

// A server at a socket path; its socket file is removed at the end of its scope.
class Listener {
public:
    explicit Listener(const std::string& socket_path) : path_(socket_path)
    {
        fd_ = listen_unix(path_);
    }
    ~Listener()
    {
        go_away();
        unlink(path_.c_str());
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool listening() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // The server ends as a crashed client does: its socket file stays, refusing connections.
    void go_away()
    {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    // True when a client is waiting to be accepted (it is accepted and let go at once).
    bool took_a_client() const
    {
        int client = fd_ >= 0 ? accept_pending(fd_) : -1;
        if (client < 0) {
            return false;
        }
        close(client);
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
};

// An open pipe and the server's end of it.
struct Connection {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    int server_fd = -1;
    int listen_fd = -1;
    ~Connection()
    {
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
        }
        if (server_fd >= 0) {
            close(server_fd);
        }
        if (listen_fd >= 0) {
            close(listen_fd);
        }
    }
    void close_server()
    {
        close(server_fd);
        server_fd = -1;
    }
};

class PosixPipeConnected : public PosixPipe {
protected:
    Connection connection_;
    void SetUp() override
    {
        connection_.listen_fd = serve("", 0);
        connection_.pipe = open_pipe(0);
        ASSERT_NE(INVALID_HANDLE_VALUE, connection_.pipe);
        connection_.server_fd = accept_pending(connection_.listen_fd);
        ASSERT_GE(connection_.server_fd, 0);
    }
    void server_sends(const std::string& text)
    {
        ASSERT_EQ((ssize_t)text.size(), send(connection_.server_fd, text.data(), text.size(), 0));
    }
};

// Every place of the search, in order of preference, as a base and the folder under it.
struct SocketPlaceCase {
    const char* base;  // an environment variable, or "/tmp"
    const char* sub_folder;
};

const SocketPlaceCase kPlacesInOrder[] = {
    {"XDG_RUNTIME_DIR", ""},
    {"TMPDIR", ""},
    {"TMP", ""},
    {"TEMP", ""},
    {"/tmp", ""},
    {"XDG_RUNTIME_DIR", "app/com.discordapp.Discord/"},
    {"XDG_RUNTIME_DIR", "app/com.discordapp.DiscordCanary/"},
    {"XDG_RUNTIME_DIR", "app/dev.vencord.Vesktop/"},
    {"XDG_RUNTIME_DIR", "snap.discord/"},
    {"XDG_RUNTIME_DIR", "snap.discord-canary/"},
    {"XDG_RUNTIME_DIR", ".flatpak/com.discordapp.Discord/xdg-run/"},
    {"XDG_RUNTIME_DIR", ".flatpak/dev.vencord.Vesktop/xdg-run/"},
};

// The index of the place tests. The real /tmp takes part: a socket already there (a real
// Discord client's) is left alone, and that place is not tried.
const int kPlaceIndex = 9;

// The base variables each set to a folder of their own.
class PosixPipePlaces : public PosixPipe {
protected:
    TempDir tmpdir_folder_;
    TempDir tmp_folder_;
    TempDir temp_folder_;
    ScopedEnv tmpdir_set_{"TMPDIR", tmpdir_folder_.path().c_str()};
    ScopedEnv tmp_set_{"TMP", tmp_folder_.path().c_str()};
    ScopedEnv temp_set_{"TEMP", temp_folder_.path().c_str()};

    std::string socket_path(const SocketPlaceCase& place) const
    {
        std::string base = place.base;
        if (base == "XDG_RUNTIME_DIR") {
            base = runtime_.path();
        } else if (base == "TMPDIR") {
            base = tmpdir_folder_.path();
        } else if (base == "TMP") {
            base = tmp_folder_.path();
        } else if (base == "TEMP") {
            base = temp_folder_.path();
        }
        return base + "/" + place.sub_folder + "discord-ipc-" + std::to_string(kPlaceIndex);
    }
};

TEST_F(PosixPipePlaces, EveryPlaceIsFoundWhenItAloneHasAServer)
{
    for (const SocketPlaceCase& place : kPlacesInOrder) {
        std::string path = socket_path(place);
        SCOPED_TRACE(path);
        if (posix_test::exists(path)) {
            continue;
        }
        Listener server(path);
        ASSERT_TRUE(server.listening());
        HANDLE pipe = open_pipe(kPlaceIndex);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
        EXPECT_TRUE(server.took_a_client());
        EXPECT_TRUE(CloseHandle(pipe));
    }
}

TEST_F(PosixPipePlaces, FirstPlaceInOrderWinsAndAGoneServerIsPassedOver)
{
    if (real_tmp_has_discord_sockets()) {
        GTEST_SKIP() << "a Discord pipe is served in /tmp";
    }
    // A server in every place. Each open must take the first one still listening; that server
    // then goes away, and the next open must take the next place.
    std::vector<std::unique_ptr<Listener>> servers;
    for (const SocketPlaceCase& place : kPlacesInOrder) {
        std::string path = socket_path(place);
        if (!posix_test::exists(path)) {
            servers.emplace_back(new Listener(path));
            ASSERT_TRUE(servers.back()->listening()) << path;
        }
    }
    for (size_t next = 0; next < servers.size(); ++next) {
        SCOPED_TRACE(servers[next]->path());
        HANDLE pipe = open_pipe(kPlaceIndex);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
        EXPECT_TRUE(servers[next]->took_a_client());
        for (size_t later = next + 1; later < servers.size(); ++later) {
            EXPECT_FALSE(servers[later]->took_a_client()) << "taken instead: " << servers[later]->path();
        }
        CloseHandle(pipe);
        servers[next]->go_away();
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_pipe(kPlaceIndex));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(PosixPipe, FolderMadeAfterASearchIsFoundByTheNext)
{
    if (real_tmp_has_discord_sockets()) {
        GTEST_SKIP() << "a Discord pipe is served in /tmp";
    }
    for (int index = 0; index < 10; ++index) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, open_pipe(index));
    }
    Listener server(runtime_.path() + "/app/dev.vencord.Vesktop/discord-ipc-1");
    ASSERT_TRUE(server.listening());
    EXPECT_EQ(INVALID_HANDLE_VALUE, open_pipe(0));
    HANDLE pipe = open_pipe(1);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    EXPECT_TRUE(server.took_a_client());
    CloseHandle(pipe);
}

TEST_F(PosixPipe, SnapConfinedCallerSearchesTheRealRuntimeFolder)
{
    ScopedEnv snap("XDG_RUNTIME_DIR", (runtime_.path() + "/snap.kel-launcher").c_str());
    const char* sub_folders[] = {"", "app/com.discordapp.Discord/"};
    for (const char* sub_folder : sub_folders) {
        SCOPED_TRACE(sub_folder);
        Listener server(runtime_.path() + "/" + sub_folder + "discord-ipc-4");
        ASSERT_TRUE(server.listening());
        HANDLE pipe = open_pipe(4);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
        EXPECT_TRUE(server.took_a_client());
        CloseHandle(pipe);
    }
}

// A server at a socket path run by another user (nobody), until the end of its scope.
class OtherUsersServer {
public:
    enum State { kListening = 1, kNoSuchUser = 2, kFailed = 3 };

    explicit OtherUsersServer(const std::string& socket_path) : path_(socket_path)
    {
        int ready[2];
        int done[2];
        if (pipe(ready) != 0 || pipe(done) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(done[1]);
            char state = kNoSuchUser;
            if (setgid(65534) == 0 && setuid(65534) == 0) {
                state = listen_unix(path_) >= 0 ? kListening : kFailed;
            }
            ssize_t written = write(ready[1], &state, 1);
            char ignored;
            ssize_t got = read(done[0], &ignored, 1);  // until the test closes its end
            _exit(written == 1 && got >= 0 ? 0 : 1);
        }
        close(ready[1]);
        close(done[0]);
        done_fd_ = done[1];
        char state = kFailed;
        if (read(ready[0], &state, 1) == 1) {
            state_ = (State)state;
        }
        close(ready[0]);
    }
    ~OtherUsersServer()
    {
        if (done_fd_ >= 0) {
            close(done_fd_);
        }
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
        unlink(path_.c_str());
    }
    OtherUsersServer(const OtherUsersServer&) = delete;
    OtherUsersServer& operator=(const OtherUsersServer&) = delete;
    State state() const { return state_; }

private:
    std::string path_;
    pid_t pid_ = -1;
    int done_fd_ = -1;
    State state_ = kFailed;
};

TEST_F(PosixPipe, ServerOfAnotherUserInASharedFolderIsPassedOver)
{
    if (geteuid() != 0 || real_tmp_has_discord_sockets()) {
        GTEST_SKIP() << "serving a socket as another user needs root, and /tmp without Discord pipes";
    }
    // A folder every user can write to, as /tmp, searched before the Flatpak client's.
    TempDir shared;
    ASSERT_EQ(0, chmod(shared.path().c_str(), 01777));
    ScopedEnv tmpdir("TMPDIR", shared.path().c_str());
    OtherUsersServer stranger(shared.path() + "/discord-ipc-2");
    if (stranger.state() == OtherUsersServer::kNoSuchUser) {
        GTEST_SKIP() << "this machine does not let a process become another user";
    }
    ASSERT_EQ(OtherUsersServer::kListening, stranger.state());

    EXPECT_EQ(INVALID_HANDLE_VALUE, open_pipe(2));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    Listener own(runtime_.path() + "/app/com.discordapp.Discord/discord-ipc-2");
    ASSERT_TRUE(own.listening());
    HANDLE pipe = open_pipe(2);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    EXPECT_TRUE(own.took_a_client());
    CloseHandle(pipe);
}

TEST(PosixRuntimeFolder, VariableOrTheUsersFolderAndNeverASnapsOwn)
{
    const std::string users = "/run/user/" + std::to_string(getuid());
    struct Case {
        const char* value;  // null: unset
        std::string folder;
    };
    const Case cases[] = {
        {"/run/user/1000", "/run/user/1000"},
        {"/run/user/1000/", "/run/user/1000"},
        {"/run/user/1000/snap.kel-launcher", "/run/user/1000"},
        {"/run/user/1000/snap.kel-launcher/", "/run/user/1000"},
        {"/run/user/1000/snapshots", "/run/user/1000/snapshots"},
        {"/srv/snap.x/run", "/srv/snap.x/run"},
        {nullptr, users},
        {"", users},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? c.value : "(unset)");
        ScopedEnv xdg("XDG_RUNTIME_DIR", c.value);
        char folder[108];
        ASSERT_EQ(1, posix_runtime_folder(folder, sizeof folder));
        EXPECT_EQ(c.folder, folder);
    }
}

TEST_F(PosixPipe, AbsentIndexAndOtherPipeNamesAreNotFound)
{
    if (real_tmp_has_discord_sockets()) {
        GTEST_SKIP() << "a Discord pipe is served in /tmp";
    }
    int listen_fd = serve("", 0);
    const std::string names[] = {
        discord_pipe_name(3),
        "\\\\.\\pipe\\discord-ipc-",
        "\\\\.\\pipe\\discord-ipc-0x",
        "\\\\.\\pipe\\other-ipc-0",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(INVALID_HANDLE_VALUE,
                  CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
    }
    EXPECT_LT(accept_pending(listen_fd), 0);
    close(listen_fd);
}

TEST_F(PosixPipe, FullServerQueueIsABusyPipeAndNothingWaits)
{
    int listen_fd = serve("", 0, 0);
    // The server accepts nobody: its queue takes a connection or two, then the pipe is busy.
    // A connect that waited for room would hang here.
    HANDLE opened[4];
    int open_count = 0;
    bool busy = false;
    while (open_count < 4 && !busy) {
        HANDLE pipe = open_pipe(0);
        if (pipe == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(ERROR_PIPE_BUSY, GetLastError());
            busy = true;
        } else {
            opened[open_count++] = pipe;
        }
    }
    EXPECT_TRUE(busy);
    EXPECT_GE(open_count, 1);
    for (int index = 0; index < open_count; ++index) {
        CloseHandle(opened[index]);
    }
    close(listen_fd);
}

TEST_F(PosixPipeConnected, WriteAndReadRoundTripWithOneCallEach)
{
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(connection_.pipe, "handshake", 9, &written, nullptr));
    EXPECT_EQ(9u, written);
    char received[32] = {};
    EXPECT_EQ(9, recv(connection_.server_fd, received, sizeof received, 0));
    EXPECT_STREQ("handshake", received);

    server_sends("0123456789");
    char buffer[32] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(connection_.pipe, buffer, 4, &got, nullptr));
    EXPECT_EQ("0123", std::string(buffer, got));
    EXPECT_TRUE(ReadFile(connection_.pipe, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ("456789", std::string(buffer, got)) << "a short count is reported as it is";
}

TEST_F(PosixPipeConnected, ReadWaitsForTheServer)
{
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        usleep(100000);
        ssize_t sent = send(connection_.server_fd, "late", 4, 0);
        _exit(sent == 4 ? 0 : 1);
    }
    char buffer[8] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(connection_.pipe, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ("late", std::string(buffer, got));
    int status = 0;
    waitpid(writer, &status, 0);
}

TEST_F(PosixPipeConnected, PeekIsIdleThenShowsDataWithoutTakingIt)
{
    char buffer[8] = {};
    DWORD peeked = 99;
    DWORD total = 99;
    DWORD left = 99;
    EXPECT_TRUE(PeekNamedPipe(connection_.pipe, nullptr, 0, nullptr, &total, nullptr));
    EXPECT_EQ(0u, total) << "idle";

    server_sends("abcdef");
    EXPECT_TRUE(PeekNamedPipe(connection_.pipe, nullptr, 0, nullptr, &total, nullptr));
    EXPECT_EQ(6u, total);
    EXPECT_TRUE(PeekNamedPipe(connection_.pipe, buffer, 4, &peeked, &total, &left));
    EXPECT_EQ(4u, peeked);
    EXPECT_EQ(6u, total);
    EXPECT_EQ(0u, left);
    EXPECT_EQ("abcd", std::string(buffer, peeked));

    DWORD got = 0;
    EXPECT_TRUE(ReadFile(connection_.pipe, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ("abcdef", std::string(buffer, got)) << "peeking took nothing";
}

TEST_F(PosixPipeConnected, PeerCloseBreaksThePipeOnceItsDataIsRead)
{
    server_sends("xyz");
    connection_.close_server();

    DWORD total = 0;
    EXPECT_TRUE(PeekNamedPipe(connection_.pipe, nullptr, 0, nullptr, &total, nullptr));
    EXPECT_EQ(3u, total) << "data sent before the close is still there";
    char buffer[8];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(connection_.pipe, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(3u, got);

    EXPECT_FALSE(PeekNamedPipe(connection_.pipe, nullptr, 0, nullptr, &total, nullptr));
    EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
    EXPECT_FALSE(ReadFile(connection_.pipe, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(ERROR_BROKEN_PIPE, GetLastError());
    EXPECT_EQ(0u, got);
}

TEST_F(PosixPipeConnected, WriteAfterPeerCloseFailsWithoutSigpipe)
{
    struct sigaction default_action;
    memset(&default_action, 0, sizeof default_action);
    default_action.sa_handler = SIG_DFL;
    struct sigaction old_action;
    ASSERT_EQ(0, sigaction(SIGPIPE, &default_action, &old_action));

    connection_.close_server();
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(connection_.pipe, "{}", 2, &written, nullptr));
    EXPECT_EQ(ERROR_NO_DATA, GetLastError());
    EXPECT_EQ(0u, written);
    sigaction(SIGPIPE, &old_action, nullptr);
}

TEST_F(PosixPipeConnected, PeekOnAFileHandleFails)
{
    DWORD total = 0;
    TempDir dir;
    HANDLE file = CreateFileA(dir.file("f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_FALSE(PeekNamedPipe(file, nullptr, 0, nullptr, &total, nullptr));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(file);
}

}  // namespace
