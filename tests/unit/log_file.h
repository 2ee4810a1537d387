// Reading back the program's log from the fake platform's files, for tests that check messages.
#pragma once

#include <string>
#include <vector>

#include "fake/fake_platform.h"

namespace unit {

// The data folder and the log of the fake's default executable, C:\Games\Kel\brightrelay.exe.
inline const char* default_data_folder() { return "C:\\Games\\Kel\\Brightrelay"; }
inline const char* default_log_path() { return "C:\\Games\\Kel\\Brightrelay\\Brightrelay.log"; }

// The messages of the log at path, in order: each line without its 20-character time stamp
// ("YYYY-MM-DD hh:mm:ss ") and its CR LF. A line too short to hold a stamp is kept whole.
inline std::vector<std::string> log_messages(const std::string& path = default_log_path())
{
    const std::string content = fake::file_content(path);
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find("\r\n", start);
        std::string line = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
        messages.push_back(line.size() >= 20 ? line.substr(20) : line);
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return messages;
}

}  // namespace unit
