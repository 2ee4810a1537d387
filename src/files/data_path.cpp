// Paths inside the data folder beside the running executable.
#include "files/data_path.h"

#include <string.h>

#include "common/format.h"
#include "common/limits.h"
#include "platform/platform.h"

namespace {

const char kDataFolderName[] = "Brightrelay";
// The data folder path must leave room in a MAX_PATH buffer for more than its terminator.
const size_t kDataFolderMaxLength = 258;

}  // namespace

int build_data_path(char* out, uint32_t capacity, const char* file_name)
{
    if (out == nullptr || file_name == nullptr) {
        return 0;
    }
    char module_path[kPathCapacity];
    // A path that the platform cut to fit is used as it comes back; only "no path" fails.
    if (GetModuleFileNameA(nullptr, module_path, kPathCapacity) == 0) {
        return 0;
    }
    module_path[kPathCapacity - 1] = '\0';

    char* separator = strrchr(module_path, '\\');
    if (separator == nullptr) {
        separator = strrchr(module_path, '/');
    }
    if (separator == nullptr) {
        return 0;
    }
    *separator = '\0';

    size_t folder_length = strlen(module_path) + 1 + (sizeof kDataFolderName - 1);
    if (folder_length > kDataFolderMaxLength) {
        return 0;
    }
    char data_folder[kPathCapacity];
    format_bounded(data_folder, kPathCapacity, "%s\\%s", module_path, kDataFolderName);

    // Tried on every call; an existing folder is the normal case, and a folder that could not be
    // made shows up when a file in it cannot be opened.
    CreateDirectoryA(data_folder, nullptr);

    if (folder_length + 1 + strlen(file_name) + 1 > capacity) {
        return 0;
    }
    format_bounded(out, capacity, "%s\\%s", data_folder, file_name);
    return 1;
}
