// parse_pid_option on any command line, against a model of strtoul with 32-bit unsigned long
// (the shipped program is 32-bit; the 64-bit builds must give the same ids).
#include <string>

#include "driver/driver.h"
#include "fuzz_support.h"

namespace {

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

uint32_t model_pid(const std::string& line)
{
    size_t found = line.find("--pid");
    if (found == std::string::npos) {
        return 0;
    }
    size_t at = found + 5;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
        ++at;
    }
    if (at == line.size()) {
        return 0;
    }
    while (at < line.size() && is_c_space(line[at])) {
        ++at;
    }
    bool negative = false;
    if (at < line.size() && (line[at] == '+' || line[at] == '-')) {
        negative = line[at] == '-';
        ++at;
    }
    if (at == line.size() || line[at] < '0' || line[at] > '9') {
        return 0;
    }
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; at < line.size() && line[at] >= '0' && line[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(line[at] - '0');
        if (magnitude > 0xFFFFFFFFull) {
            overflow = true;
            magnitude = 0xFFFFFFFFull + 1;  // stays above the range for every later digit
        }
    }
    if (overflow) {
        return 0xFFFFFFFFu;
    }
    uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fuzz::ByteReader in(data, size);
    const std::string line(in.rest().c_str());
    FUZZ_CHECK(parse_pid_option(line.c_str()) == model_pid(line));
    return 0;
}
