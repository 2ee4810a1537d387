// Helpers of the POSIX layer's tests: temp folders, child processes, a Unix socket server.
#pragma once

#include <string>

#include <sys/types.h>

namespace posix_test {

// A fresh folder under /tmp, removed with everything in it at the end of its scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_text(const std::string& path);  // "" when it cannot be read
void write_text(const std::string& path, const std::string& content);
bool exists(const std::string& path);

// A child running /bin/cat with the given first argument, reading a pipe from the test: it
// runs until end_input() and is then a zombie until reap(). The destructor ends and reaps it.
class Child {
public:
    explicit Child(const char* first_argument);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    void end_input();
    bool has_exited_unreaped();  // ended, and still a zombie
    void reap();

private:
    pid_t pid_ = -1;
    int input_fd_ = -1;
};

// Sets (or with null unsets) an environment variable until the end of its scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_value_;
    bool had_value_;
};

// A listening Unix stream socket at path (its folders created); -1 on failure.
int listen_unix(const std::string& path, int backlog = 8);
// The next pending connection of a listening socket, or -1 when there is none (never waits).
int accept_pending(int listen_fd);

// "\\.\pipe\discord-ipc-N" as the system spells it.
std::string discord_pipe_name(int index);

}  // namespace posix_test
