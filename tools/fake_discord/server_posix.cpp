// The Unix-socket server: <dir>/discord-ipc-<K>, one thread per client.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "server.h"
#include "session.h"
#include "sys.h"

namespace {

// The same search order as the client uses to find the socket.
std::string socket_folder(const Options& options) {
    if (!options.dir.empty()) return options.dir;
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR", "TMP", "TEMP"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return "/tmp";
}

class SocketChannel : public Channel {
public:
    explicit SocketChannel(int fd) : fd_(fd) {}
    ~SocketChannel() override { close(); }

    bool read_exact(void* buffer, size_t size) override {
        char* out = static_cast<char*>(buffer);
        size_t done = 0;
        while (done < size) {
            ssize_t got = recv(fd_, out + done, size - done, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    bool write_all(const void* buffer, size_t size) override {
        const char* in = static_cast<const char*>(buffer);
        size_t done = 0;
        while (done < size) {
            ssize_t sent = send(fd_, in + done, size - done, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR) continue;
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    void close() {
        std::lock_guard<std::mutex> hold(mutex_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Wakes a blocked read from another thread; the descriptor is closed only by its owner.
    void interrupt() {
        std::lock_guard<std::mutex> hold(mutex_);
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    }

private:
    std::mutex mutex_;
    int fd_;
};

extern "C" void on_stop_signal(int) {
    g_stopping = true;
}

void install_signals() {
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int run_server(const Options& options, EventLog& log) {
    int64_t started_ms = steady_ms_now();
    std::string path = socket_folder(options) + "/discord-ipc-" + std::to_string(options.index);
    struct sockaddr_un address = {};
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "fake_discord: socket path too long: %s\n", path.c_str());
        return 1;
    }
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());

    install_signals();
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        std::perror("fake_discord: socket");
        return 1;
    }
    unlink(path.c_str());  // a socket file left by an earlier run that did not stop cleanly
    if (bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0) {
        std::fprintf(stderr, "fake_discord: cannot listen on %s\n", path.c_str());
        ::close(listener);
        return 1;
    }
    log.note("listen", path);
    if (!options.ready_file.empty() && !write_file_whole(options.ready_file, "ready\n")) {
        std::fprintf(stderr, "fake_discord: cannot write %s\n", options.ready_file.c_str());
    }

    std::vector<std::shared_ptr<SocketChannel>> channels;
    std::vector<std::thread> threads;
    unsigned next_conn = 1;
    while (!g_stopping) {
        if (stop_due(options, started_ms)) {
            g_stopping = true;
            break;
        }
        struct pollfd waiting = {listener, POLLIN, 0};
        if (poll(&waiting, 1, 50) <= 0) continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto channel = std::make_shared<SocketChannel>(fd);
        unsigned conn = next_conn++;
        channels.push_back(channel);
        threads.emplace_back([channel, conn, &options, &log] {
            run_session(*channel, conn, options, log);
            channel->close();
        });
    }

    ::close(listener);
    unlink(path.c_str());
    for (auto& channel : channels) channel->interrupt();
    for (auto& thread : threads) thread.join();
    log.note("stop", path);
    return 0;
}
