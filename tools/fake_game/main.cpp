// Stand-in for the game client process: writes its process id, then waits for its stop file
// or its time limit, and ends with the exit code it was given. It has no window and does nothing
// else. On request it records the moment it ends on the steady clock (milliseconds), the clock
// the stand-in Discord's event log gives, so that a test can time what follows the game's end
// without two clocks in between.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace {

unsigned long own_process_id() {
#if defined(_WIN32)
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

bool file_exists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    return access(path.c_str(), F_OK) == 0;
#endif
}

void sleep_ms(unsigned milliseconds) {
#if defined(_WIN32)
    Sleep(milliseconds);
#else
    struct timespec delay = {0, static_cast<long>(milliseconds) * 1000000L};
    nanosleep(&delay, nullptr);
#endif
}

// Through a temporary file and a rename, so that a reader never sees a half-written id.
bool write_pid_file(const std::string& path) {
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    bool written = std::fprintf(file, "%lu\n", own_process_id()) > 0;
    if (std::fclose(file) != 0) written = false;
    std::remove(path.c_str());  // Windows' rename does not replace
    return written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

int usage(const char* problem) {
    std::fprintf(stderr, "Kel_Nordvale: %s\nusage: Kel_Nordvale.exe [--pid-file FILE] [--stop-file FILE] "
                         "[--max-seconds N] [--exit-code N] [--exit-time-file FILE]\n", problem);
    return 2;
}

long long steady_ms_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The last thing before the process ends: the steady clock then, in milliseconds, as text.
int exit_recorded(const std::string& path, int exit_code) {
    if (!path.empty()) {
        FILE* file = std::fopen(path.c_str(), "wb");
        if (file) {
            std::fprintf(file, "%lld\n", steady_ms_now());
            std::fclose(file);
        }
    }
    return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pid_file;
    std::string stop_file;
    std::string exit_time_file;
    double max_seconds = 300;
    int exit_code = 0;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) return usage(("option " + name + " needs a value").c_str());
        std::string value = argv[++i];
        if (name == "--pid-file") {
            pid_file = value;
        } else if (name == "--stop-file") {
            stop_file = value;
        } else if (name == "--exit-time-file") {
            exit_time_file = value;
        } else if (name == "--max-seconds") {
            char* end = nullptr;
            max_seconds = std::strtod(value.c_str(), &end);
            if (!end || *end != '\0' || max_seconds < 0) return usage("bad --max-seconds");
        } else if (name == "--exit-code") {
            char* end = nullptr;
            exit_code = static_cast<int>(std::strtol(value.c_str(), &end, 10));
            if (!end || *end != '\0') return usage("bad --exit-code");
        } else {
            return usage(("unknown option " + name).c_str());
        }
    }
    if (!pid_file.empty() && !write_pid_file(pid_file)) {
        std::fprintf(stderr, "Kel_Nordvale: cannot write %s\n", pid_file.c_str());
        return 1;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long long>(max_seconds * 1000.0));
    while (std::chrono::steady_clock::now() < deadline) {
        if (!stop_file.empty() && file_exists(stop_file)) return exit_recorded(exit_time_file, exit_code);
        sleep_ms(20);
    }
    return exit_recorded(exit_time_file, exit_code);
}
