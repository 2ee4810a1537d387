// The Discord pipes of the POSIX layer against small Unix socket servers in a temp folder that
// stands in for the runtime folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
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

TEST_F(PosixPipe, PipeIsFoundInThePlainFlatpakAndSnapLocations)
{
    struct Case {
        const char* sub_folder;
        int index;
    };
    const Case cases[] = {
        {"", 0},
        {"app/com.discordapp.Discord/", 1},
        {"snap.discord/", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sub_folder);
        int listen_fd = serve(c.sub_folder, c.index);
        HANDLE pipe = open_pipe(c.index);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
        EXPECT_NE(nullptr, pipe);
        int server_fd = accept_pending(listen_fd);
        EXPECT_GE(server_fd, 0);
        EXPECT_TRUE(CloseHandle(pipe));
        close(server_fd);
        close(listen_fd);
    }
}

TEST_F(PosixPipe, PlainLocationComesFirstAndAStaleSocketIsPassedOver)
{
    int plain = serve("", 0);
    int flatpak = serve("app/com.discordapp.Discord/", 0);
    HANDLE pipe = open_pipe(0);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    int server_fd = accept_pending(plain);
    EXPECT_GE(server_fd, 0) << "connected to the plain location";
    EXPECT_LT(accept_pending(flatpak), 0);
    CloseHandle(pipe);
    close(server_fd);

    // A server that went away leaves its socket file behind: connecting to it is refused.
    close(plain);
    pipe = open_pipe(0);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    server_fd = accept_pending(flatpak);
    EXPECT_GE(server_fd, 0) << "connected to the Flatpak location";
    CloseHandle(pipe);
    close(server_fd);
    close(flatpak);
}

TEST_F(PosixPipe, AbsentIndexAndOtherPipeNamesAreNotFound)
{
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

TEST_F(PosixPipe, RuntimeFolderIsTheFirstVariableSet)
{
    TempDir other;
    int listen_fd = listen_unix(other.path() + "/discord-ipc-0");
    ASSERT_GE(listen_fd, 0);
    ScopedEnv tmp("TMPDIR", other.path().c_str());

    EXPECT_EQ(INVALID_HANDLE_VALUE, open_pipe(0)) << "XDG_RUNTIME_DIR is set and comes first";
    {
        ScopedEnv no_xdg("XDG_RUNTIME_DIR", nullptr);
        HANDLE pipe = open_pipe(0);
        ASSERT_NE(INVALID_HANDLE_VALUE, pipe) << "TMPDIR is next";
        CloseHandle(pipe);
    }
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
