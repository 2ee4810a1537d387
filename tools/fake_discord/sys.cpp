// The operating-system pieces shared by both transports.
#include "sys.h"

#include <chrono>
#include <cstdio>

#if !defined(_WIN32)
#include <time.h>
#include <unistd.h>
#endif

void sleep_ms(unsigned milliseconds) {
#if defined(_WIN32)
    Sleep(milliseconds);
#else
    struct timespec delay;
    delay.tv_sec = milliseconds / 1000;
    delay.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0) {
    }
#endif
}

bool file_exists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    return access(path.c_str(), F_OK) == 0;
#endif
}

int64_t unix_seconds_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

int64_t steady_ms_now() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool write_file_whole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0) written = false;
    if (!written) {
        std::remove(temporary.c_str());
        return false;
    }
    // Windows' rename does not replace an existing file.
    std::remove(path.c_str());
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}
