// The log: one line per message, appended to "Brightrelay.log" in the data folder.
#include "files/log.h"

#include <string.h>

#include "common/format.h"
#include "common/limits.h"
#include "files/data_path.h"
#include "platform/platform.h"

namespace {

const uint32_t kLogLineCapacity = 1200;

}  // namespace

void log_line(const char* message)
{
    char path[kPathCapacity];
    if (!build_data_path(path, kPathCapacity, "Brightrelay.log")) {
        return;
    }
    // Append-only access: every write lands at the current end, also while other processes
    // append to the same file.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    SYSTEMTIME local;
    GetLocalTime(&local);
    char line[kLogLineCapacity];
    format_bounded(line, kLogLineCapacity, "%04u-%02u-%02u %02u:%02u:%02u %s\r\n",
                   static_cast<unsigned>(local.wYear), static_cast<unsigned>(local.wMonth),
                   static_cast<unsigned>(local.wDay), static_cast<unsigned>(local.wHour),
                   static_cast<unsigned>(local.wMinute), static_cast<unsigned>(local.wSecond),
                   message != nullptr ? message : "");
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    CloseHandle(file);
}
