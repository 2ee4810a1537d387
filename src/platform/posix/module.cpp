// GetModuleFileNameA for the running executable.
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include "platform/posix/posix_internal.h"

// The executable's path cannot change while it runs: it is looked up once, so that later calls
// (one per log line and per status read) make no system call.
static char g_module_path[PATH_MAX];
static DWORD g_module_length = 0;

static int posix_module_path_lookup(void)
{
    if (g_module_length > 0) {
        return 1;
    }
    ssize_t length = readlink("/proc/self/exe", g_module_path, sizeof g_module_path - 1);
    if (length <= 0) {
        posix_set_last_error_from_errno(kPosixCallOther);
        return 0;
    }
    g_module_path[length] = '\0';
    g_module_length = (DWORD)length;
    return 1;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size)
{
    if (module != nullptr) {
        posix_set_last_error(ERROR_INVALID_HANDLE);  // only the executable itself is known here
        return 0;
    }
    if (!posix_module_path_lookup()) {
        return 0;
    }
    if (size == 0) {
        posix_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows: a path cut to fit keeps size - 1 characters and the terminator, and the
    // result is then size itself, with ERROR_INSUFFICIENT_BUFFER.
    if (g_module_length >= size) {
        memcpy(file_name, g_module_path, size - 1);
        file_name[size - 1] = '\0';
        posix_set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(file_name, g_module_path, g_module_length + 1);
    return g_module_length;
}
