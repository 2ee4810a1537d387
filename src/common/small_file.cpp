// One open, one read, one close for a small input file.
#include "common/small_file.h"

#include "platform/platform.h"

int read_small_file(const char* path, char* buffer, uint32_t capacity)
{
    if (path == nullptr || buffer == nullptr || capacity == 0) {
        return 0;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD bytes_read = 0;
    BOOL read_ok = ReadFile(file, buffer, capacity - 1, &bytes_read, nullptr);
    CloseHandle(file);
    if (!read_ok || bytes_read > capacity - 1) {
        return 0;
    }
    buffer[bytes_read] = '\0';
    return 1;
}
