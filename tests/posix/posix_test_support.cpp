// Helpers of the POSIX layer's tests.
#include "posix_test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace posix_test {

TempDir::TempDir()
{
    char pattern[] = "/tmp/brightrelay-posix-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "";
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_text(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool exists(const std::string& path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

Child::Child(const char* first_argument)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[0], 0);
        char* const argv[] = {const_cast<char*>(first_argument), nullptr};
        execv("/bin/cat", argv);
        _exit(127);
    }
    close(fds[0]);
    input_fd_ = fds[1];
}

Child::~Child()
{
    end_input();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        reap();
    }
}

void Child::end_input()
{
    if (input_fd_ >= 0) {
        close(input_fd_);
        input_fd_ = -1;
    }
}

bool Child::has_exited_unreaped()
{
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, (id_t)pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;
    }
    return info.si_pid == pid_;
}

void Child::reap()
{
    if (pid_ > 0) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name)
{
    const char* old = getenv(name);
    had_value_ = old != nullptr;
    if (had_value_) {
        old_value_ = old;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv()
{
    if (had_value_) {
        setenv(name_.c_str(), old_value_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

int listen_unix(const std::string& path, int backlog)
{
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        close(fd);
        return -1;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd, (const struct sockaddr*)&address, sizeof address) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int accept_pending(int listen_fd)
{
    return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

std::string discord_pipe_name(int index)
{
    return "\\\\.\\pipe\\discord-ipc-" + std::to_string(index);
}

}  // namespace posix_test
