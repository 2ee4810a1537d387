// load_application_id on any file and any capacity, against the rules of the ID file.
//
// Input: the capacity (1 byte, below 80, so that the guard is crossed), a byte choosing how the
// file is reached (plainly for most values; missing, an open or a read that fails), the content.
#include <cstring>
#include <memory>
#include <string>

#include "fake/fake_platform.h"
#include "files/application_id.h"
#include "fuzz_support.h"

namespace {

const char kMissing[] =
    "discord_application_id is missing. Add your Discord Application ID to Brightrelay\\discord_application_id.";
const char kInvalid[] =
    "discord_application_id is invalid. Replace the file contents with your numeric Discord Application ID.";

bool is_id_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The ID the file holds by its rules, or "" when it holds none.
std::string expected_id(const std::string& content)
{
    std::string text(content.substr(0, 63).c_str());
    size_t first = 0;
    while (first < text.size() && is_id_space(text[first])) ++first;
    size_t last = text.size();
    while (last > first && is_id_space(text[last - 1])) --last;
    std::string id = text.substr(first, last - first);
    if (id.size() < 15 || id.size() > 24) {
        return std::string();
    }
    for (char c : id) {
        if (c < '0' || c > '9') {
            return std::string();
        }
    }
    return id;
}

// The messages of the log, without their time stamps and line ends.
std::string logged_messages()
{
    std::string log = fake::file_content(fuzz::kLogPath);
    std::string messages;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find("\r\n", at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        messages += line.size() > 20 ? line.substr(20) : line;  // "YYYY-MM-DD hh:mm:ss "
        messages += '\n';
        at = end == std::string::npos ? log.size() : end + 2;
    }
    return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fuzz::ByteReader in(data, size);
    const uint32_t capacity = in.u8() % 80;
    const uint8_t mode = in.u8();
    const std::string content = in.rest();
    bool reachable = true;
    if (mode == 0xF0) {
        reachable = false;  // no file
    } else {
        fake::put_file(fuzz::kApplicationIdPath, content);
        fake::FileFaults faults;
        faults.fail_open = mode == 0xF1;
        faults.fail_read = mode == 0xF2;
        reachable = !faults.fail_open && !faults.fail_read;
        fake::set_file_faults(fuzz::kApplicationIdPath, faults);
    }

    std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
    memset(out.get(), 0x5A, capacity == 0 ? 1 : capacity);
    char* buffer = capacity == 0 ? out.get() + 1 : out.get();
    int result = load_application_id(buffer, capacity);
    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(fake::open_handle_count() == 0);

    if (capacity < 25) {
        // The guard: nothing touched, nothing logged.
        FUZZ_CHECK(result == 0);
        for (uint32_t i = 0; i < capacity; ++i) {
            FUZZ_CHECK(buffer[i] == 0x5A);
        }
        FUZZ_CHECK(!fake::file_exists(fuzz::kLogPath));
        return 0;
    }
    const std::string id = reachable ? expected_id(content) : std::string();
    FUZZ_CHECK(result == (id.empty() ? 0 : 1));
    FUZZ_CHECK(memchr(buffer, '\0', capacity) != nullptr);
    FUZZ_CHECK(id == buffer);
    if (result == 1) {
        size_t length = strlen(buffer);
        FUZZ_CHECK(length >= 15 && length <= 24);
        for (size_t i = 0; i < length; ++i) {
            FUZZ_CHECK(buffer[i] >= '0' && buffer[i] <= '9');
        }
        FUZZ_CHECK(!fake::file_exists(fuzz::kLogPath));
    } else {
        FUZZ_CHECK(logged_messages() == std::string(reachable ? kInvalid : kMissing) + "\n");
    }
    return 0;
}
