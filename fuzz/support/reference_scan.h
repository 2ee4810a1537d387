// Independent, deliberately plain models of the flat JSON scanners and of the status reader,
// written from the rules of the status file format, for the fuzz targets to compare against.
#pragma once

#include <cstdint>
#include <string>

namespace fuzz {

struct RefBool {
    int result = 0;
    int32_t value = 0;  // meaningful when result is 1
};

struct RefInt {
    int result = 0;
    int64_t value = 0;
};

struct RefString {
    int result = 0;
    bool touched = false;      // false: the output is left as it was
    bool terminated = false;   // a terminator stands right after stored
    std::string stored;        // the characters at the start of the output
};

RefBool ref_find_bool(const char* text, const char* key);
RefInt ref_find_int64(const char* text, const char* key);
RefString ref_find_string(const char* text, const char* key, uint32_t capacity);

// The snapshot fields as the reader should leave them for a status text read from the file.
struct RefSnapshot {
    int result = 0;
    std::string name, zone, guild, faction, class_name, race;
    int32_t level = 0;
    int64_t ts = 0;
    int32_t ok = 0;
    int32_t in_world = 0;
};

// text: the bytes the one read delivered, cut at its first NUL; now: the reader's clock.
RefSnapshot ref_read_status(const char* text, int64_t now);

}  // namespace fuzz
