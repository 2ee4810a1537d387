// The Discord application ID file: read once, trimmed, judged.
#include "files/application_id.h"

#include <string.h>

#include "common/limits.h"
#include "common/small_file.h"
#include "common/text.h"
#include "files/data_path.h"
#include "files/log.h"

namespace {

const uint32_t kMinimumCapacity = 25;  // the longest ID, 24 digits, and its terminator
const uint32_t kReadCapacity = 64;     // only the file's first 63 bytes count
const size_t kShortestId = 15;
const size_t kLongestId = 24;

const char kMissingMessage[] =
    "discord_application_id is missing. Add your Discord Application ID to Brightrelay\\discord_application_id.";
const char kInvalidMessage[] =
    "discord_application_id is invalid. Replace the file contents with your numeric Discord Application ID.";

int is_id_whitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Trims in place: leading whitespace moved out, trailing whitespace cut.
void trim(char* text)
{
    size_t start = 0;
    while (is_id_whitespace(text[start])) {
        ++start;
    }
    size_t length = strlen(text + start);
    memmove(text, text + start, length + 1);
    while (length > 0 && is_id_whitespace(text[length - 1])) {
        text[--length] = '\0';
    }
}

int is_valid_id(const char* text)
{
    size_t length = strlen(text);
    if (length < kShortestId || length > kLongestId) {
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
    }
    return 1;
}

}  // namespace

int load_application_id(char* out, uint32_t capacity)
{
    if (out == nullptr || capacity < kMinimumCapacity) {
        return 0;
    }
    out[0] = '\0';

    char path[kPathCapacity];
    if (!build_data_path(path, kPathCapacity, "discord_application_id")) {
        log_line(kMissingMessage);
        return 0;
    }
    char text[kReadCapacity];
    if (!read_small_file(path, text, kReadCapacity)) {
        log_line(kMissingMessage);
        return 0;
    }
    trim(text);
    if (!is_valid_id(text)) {
        log_line(kInvalidMessage);
        return 0;
    }
    copy_bounded(out, capacity, text);
    return 1;
}
