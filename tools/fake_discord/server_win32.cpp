// The named-pipe server: \\.\pipe\discord-ipc-<K>, a new instance and a thread per client.
//
// The pipe instances are overlapped so that every wait can give up when the stand-in stops;
// the client sees an ordinary byte-mode pipe.
#include <cstdio>
#include <string>
#include <vector>

#include "server.h"
#include "session.h"
#include "sys.h"

namespace {

const DWORD kPipeBufferSize = 8192;
const DWORD kPollMs = 50;

// Waits for an overlapped operation; gives it up (false) when the stand-in stops.
bool finish_io(HANDLE pipe, OVERLAPPED& overlapped, DWORD& transferred) {
    for (;;) {
        DWORD waited = WaitForSingleObject(overlapped.hEvent, kPollMs);
        if (waited == WAIT_OBJECT_0) break;
        if (waited != WAIT_TIMEOUT) return false;
        if (g_stopping) {
            CancelIo(pipe);
            GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
            return false;
        }
    }
    return GetOverlappedResult(pipe, &overlapped, &transferred, FALSE) != 0;
}

class PipeChannel : public Channel {
public:
    explicit PipeChannel(HANDLE pipe) : pipe_(pipe), event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~PipeChannel() override {
        CloseHandle(pipe_);
        CloseHandle(event_);
    }
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

    bool read_exact(void* buffer, size_t size) override {
        char* out = static_cast<char*>(buffer);
        size_t done = 0;
        while (done < size) {
            DWORD got = 0;
            if (!transfer(false, out + done, static_cast<DWORD>(size - done), got) || got == 0) return false;
            done += got;
        }
        return true;
    }

    bool write_all(const void* buffer, size_t size) override {
        const char* in = static_cast<const char*>(buffer);
        size_t done = 0;
        while (done < size) {
            DWORD sent = 0;
            if (!transfer(true, const_cast<char*>(in + done), static_cast<DWORD>(size - done), sent) ||
                sent == 0) {
                return false;
            }
            done += sent;
        }
        return true;
    }

private:
    bool transfer(bool writing, char* buffer, DWORD size, DWORD& transferred) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event_;
        ResetEvent(event_);
        transferred = 0;
        BOOL done = writing ? WriteFile(pipe_, buffer, size, nullptr, &overlapped)
                            : ReadFile(pipe_, buffer, size, nullptr, &overlapped);
        if (!done && GetLastError() != ERROR_IO_PENDING) return false;
        return finish_io(pipe_, overlapped, transferred);
    }

    HANDLE pipe_;
    HANDLE event_;
};

struct Client {
    PipeChannel* channel;
    unsigned conn;
    const Options* options;
    EventLog* log;
};

DWORD WINAPI client_thread(LPVOID argument) {
    Client* client = static_cast<Client*>(argument);
    run_session(*client->channel, client->conn, *client->options, *client->log);
    // Closing (not disconnecting) lets the client still read what was written last, such as
    // the close frame of a refused handshake.
    delete client->channel;
    delete client;
    return 0;
}

BOOL WINAPI on_console_stop(DWORD) {
    g_stopping = true;
    return TRUE;
}

// Instances kept listening at once, so that a client that comes right after another does not
// find the pipe busy while the next instance is being made.
const int kListeningInstances = 4;

// One listening instance and its pending ConnectNamedPipe.
struct Listener {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped = {};
    bool connected = false;  // the client came before the wait began
};

// The first instance claims the name: a second server on the same index fails there.
bool open_listener(Listener& listener, const std::string& name, bool first) {
    DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    listener.pipe = CreateNamedPipeA(name.c_str(), open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
    if (listener.pipe == INVALID_HANDLE_VALUE) return false;
    listener.overlapped = OVERLAPPED();
    listener.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    listener.connected = false;
    if (ConnectNamedPipe(listener.pipe, &listener.overlapped)) {
        listener.connected = true;
    } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
        listener.connected = true;  // the client came between CreateNamedPipeA and ConnectNamedPipe
    } else if (GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(listener.overlapped.hEvent);
        CloseHandle(listener.pipe);
        listener.pipe = INVALID_HANDLE_VALUE;
        return false;
    }
    if (listener.connected) SetEvent(listener.overlapped.hEvent);
    return true;
}

void close_listener(Listener& listener) {
    if (listener.pipe == INVALID_HANDLE_VALUE) return;
    if (!listener.connected) {
        DWORD ignored = 0;
        CancelIo(listener.pipe);
        GetOverlappedResult(listener.pipe, &listener.overlapped, &ignored, TRUE);
    }
    CloseHandle(listener.overlapped.hEvent);
    CloseHandle(listener.pipe);
    listener.pipe = INVALID_HANDLE_VALUE;
}

}  // namespace

int run_server(const Options& options, EventLog& log) {
    int64_t started_ms = steady_ms_now();
    std::string name = "\\\\.\\pipe\\discord-ipc-" + std::to_string(options.index);
    SetConsoleCtrlHandler(on_console_stop, TRUE);

    std::vector<HANDLE> threads;
    Listener listeners[kListeningInstances];
    for (int i = 0; i < kListeningInstances; ++i) {
        if (!open_listener(listeners[i], name, i == 0)) {
            std::fprintf(stderr, "fake_discord: cannot create %s (error %lu)\n", name.c_str(),
                         static_cast<unsigned long>(GetLastError()));
            for (Listener& listener : listeners) close_listener(listener);
            return 1;
        }
    }
    log.note("listen", name);
    if (!options.ready_file.empty() && !write_file_whole(options.ready_file, "ready\n")) {
        std::fprintf(stderr, "fake_discord: cannot write %s\n", options.ready_file.c_str());
    }

    unsigned next_conn = 1;
    int status = 0;
    while (!g_stopping) {
        if (stop_due(options, started_ms)) break;
        HANDLE events[kListeningInstances];
        for (int i = 0; i < kListeningInstances; ++i) events[i] = listeners[i].overlapped.hEvent;
        DWORD waited = WaitForMultipleObjects(kListeningInstances, events, FALSE, kPollMs);
        if (waited == WAIT_TIMEOUT) continue;
        if (waited >= WAIT_OBJECT_0 + kListeningInstances) {
            status = 1;
            break;
        }
        Listener& ready = listeners[waited - WAIT_OBJECT_0];
        DWORD ignored = 0;
        bool connected = ready.connected ||
                         GetOverlappedResult(ready.pipe, &ready.overlapped, &ignored, FALSE) != 0;
        HANDLE pipe = ready.pipe;
        CloseHandle(ready.overlapped.hEvent);
        ready.pipe = INVALID_HANDLE_VALUE;
        if (connected) {
            Client* client = new Client{new PipeChannel(pipe), next_conn++, &options, &log};
            HANDLE thread = CreateThread(nullptr, 0, client_thread, client, 0, nullptr);
            if (thread) {
                threads.push_back(thread);
            } else {
                delete client->channel;
                delete client;
            }
        } else {
            CloseHandle(pipe);
        }
        if (!open_listener(ready, name, false)) {
            std::fprintf(stderr, "fake_discord: cannot create %s (error %lu)\n", name.c_str(),
                         static_cast<unsigned long>(GetLastError()));
            status = 1;
            break;
        }
    }
    for (Listener& listener : listeners) close_listener(listener);
    g_stopping = true;
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
    }
    log.note("stop", name);
    return status;
}
