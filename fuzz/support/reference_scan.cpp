// The scanner and status reader models: byte by byte with std::string, no shared code with src/.
#include "reference_scan.h"

#include <cstring>

namespace fuzz {

namespace {

// The value after the first "key": in text; null when absent. The pattern is cut to 79
// characters, as the fixed pattern buffer of the scanners cuts it.
const char* value_after_key(const char* text, const char* key)
{
    std::string pattern = std::string("\"") + key + "\":";
    if (pattern.size() > 79) {
        pattern.resize(79);
    }
    size_t found = std::string(text).find(pattern);
    if (found == std::string::npos) {
        return nullptr;
    }
    return text + found + pattern.size();
}

const char* skip_blanks_and_tabs(const char* value)
{
    while (*value == ' ' || *value == '\t') {
        ++value;
    }
    return value;
}

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

RefBool ref_find_bool(const char* text, const char* key)
{
    RefBool out;
    const char* value = value_after_key(text, key);
    if (value == nullptr) {
        return out;
    }
    value = skip_blanks_and_tabs(value);
    std::string rest(value);
    if (rest.compare(0, 4, "true") == 0) {
        out.result = 1;
        out.value = 1;
    } else if (rest.compare(0, 5, "false") == 0) {
        out.result = 1;
        out.value = 0;
    }
    return out;
}

RefInt ref_find_int64(const char* text, const char* key)
{
    RefInt out;
    const char* value = value_after_key(text, key);
    if (value == nullptr) {
        return out;
    }
    while (is_c_space(*value)) {
        ++value;
    }
    bool negative = false;
    if (*value == '+' || *value == '-') {
        negative = *value == '-';
        ++value;
    }
    if (*value < '0' || *value > '9') {
        return out;
    }
    // The magnitude saturates just above what either end of the range needs.
    const uint64_t limit = uint64_t(1) << 63;
    uint64_t magnitude = 0;
    for (; *value >= '0' && *value <= '9'; ++value) {
        uint64_t digit = static_cast<uint64_t>(*value - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit + 1;
        } else {
            magnitude = magnitude * 10 + digit;
        }
    }
    out.result = 1;
    if (negative) {
        out.value = magnitude >= limit ? INT64_MIN : -static_cast<int64_t>(magnitude);
    } else {
        out.value = magnitude >= limit ? INT64_MAX : static_cast<int64_t>(magnitude);
    }
    return out;
}

RefString ref_find_string(const char* text, const char* key, uint32_t capacity)
{
    RefString out;
    const char* value = value_after_key(text, key);
    if (value == nullptr || capacity < 2) {
        return out;
    }
    value = skip_blanks_and_tabs(value);
    if (*value != '"') {
        return out;
    }
    out.touched = true;
    const char* next = value + 1;
    for (;;) {
        if (*next == '\0') {
            break;
        }
        if (*next == '"') {
            out.result = 1;
            break;
        }
        if (out.stored.size() == capacity - 1) {
            break;
        }
        if (*next != '\\') {
            out.stored.push_back(*next);
            ++next;
            continue;
        }
        char after = next[1];
        if (after == '\0') {
            break;
        }
        const char* from = "\"\\/nrt";
        const char* to = "\"\\/\n\r\t";
        const char* which = strchr(from, after);
        if (which == nullptr) {
            // Unsupported escape: whether a terminator follows is the implementation's choice.
            return out;
        }
        out.stored.push_back(to[which - from]);
        next += 2;
    }
    out.terminated = true;
    return out;
}

RefSnapshot ref_read_status(const char* text, int64_t now)
{
    RefSnapshot out;
    RefBool ok = ref_find_bool(text, "ok");
    if (!ok.result) {
        return out;
    }
    out.ok = ok.value;
    RefBool in_world = ref_find_bool(text, "in_world");
    if (!in_world.result) {
        return out;
    }
    out.in_world = in_world.value;
    RefInt ts = ref_find_int64(text, "ts");
    if (!ts.result) {
        return out;
    }
    out.ts = ts.value;
    if (out.ok == 0 || out.in_world == 0 || out.ts <= 0 || now - out.ts > 30 || out.ts - now > 5) {
        return out;
    }
    out.name = ref_find_string(text, "name", 32).stored;
    out.zone = ref_find_string(text, "zone", 80).stored;
    out.guild = ref_find_string(text, "guild", 64).stored;
    out.faction = ref_find_string(text, "faction", 24).stored;
    out.class_name = ref_find_string(text, "class", 32).stored;
    out.race = ref_find_string(text, "race", 32).stored;
    RefInt level = ref_find_int64(text, "level");
    if (level.result) {
        out.level = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(level.value)));
    }
    out.result = !out.name.empty() || !out.zone.empty() || out.level > 0;
    return out;
}

}  // namespace fuzz
