// Reading one value by key out of the status file's flat JSON text, by search, not by parsing.
#include "status/json_scan.h"

#include <stdlib.h>
#include <string.h>

#include "common/format.h"

namespace {

// The key pattern ("key": with its quotes) of the current call. One buffer serves all three
// operations: they run on the one thread and never overlap, and no result points into it.
const uint32_t kPatternCapacity = 80;
char g_key_pattern[kPatternCapacity];

// Finds the first occurrence of the key's pattern and returns where its value begins, right
// after the colon; null when the pattern is not in the text. A key too long for the buffer is
// cut with its pattern, which then matches more than the whole pattern would; our keys are short.
const char* find_value(const char* text, const char* key)
{
    if (text == nullptr || key == nullptr) {
        return nullptr;
    }
    format_bounded(g_key_pattern, kPatternCapacity, "\"%s\":", key);
    const char* found = strstr(text, g_key_pattern);
    if (found == nullptr) {
        return nullptr;
    }
    return found + strlen(g_key_pattern);
}

// Spaces and tabs only: a line break between the colon and a literal or string is not allowed.
const char* skip_blanks(const char* value)
{
    while (*value == ' ' || *value == '\t') {
        value++;
    }
    return value;
}

// The character an escape pair stands for; 0 for an escape the status file may not use
// (\b, \f and \u among them: no hexadecimal escapes are understood).
char unescaped(char after_backslash)
{
    switch (after_backslash) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '/':
        return '/';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return 0;
    }
}

}  // namespace

int json_find_bool(const char* text, const char* key, int32_t* out)
{
    const char* value = find_value(text, key);
    if (value == nullptr || out == nullptr) {
        return 0;
    }
    value = skip_blanks(value);
    // Only the literal's own length is compared: "trueish" reads as true.
    if (strncmp(value, "true", 4) == 0) {
        *out = 1;
        return 1;
    }
    if (strncmp(value, "false", 5) == 0) {
        *out = 0;
        return 1;
    }
    return 0;
}

int json_find_int64(const char* text, const char* key, int64_t* out)
{
    const char* value = find_value(text, key);
    if (value == nullptr || out == nullptr) {
        return 0;
    }
    // strtoll skips all white space itself (line breaks too), takes one sign, stops at the first
    // non-digit (a fraction is not read) and clamps out-of-range values without our asking.
    char* end = nullptr;
    long long number = strtoll(value, &end, 10);
    if (end == value) {
        return 0;
    }
    *out = static_cast<int64_t>(number);
    return 1;
}

int json_find_string(const char* text, const char* key, char* out, uint32_t capacity)
{
    const char* value = find_value(text, key);
    if (value == nullptr || out == nullptr || capacity < 2) {
        return 0;
    }
    value = skip_blanks(value);
    if (*value != '"') {
        return 0;
    }
    const char* next = value + 1;
    uint32_t stored = 0;
    int closed = 0;
    for (;;) {
        // The closing quote is tested before the capacity, so a value that fills the buffer
        // exactly is still whole.
        if (*next == '\0') {
            break;
        }
        if (*next == '"') {
            closed = 1;
            break;
        }
        if (stored == capacity - 1) {
            break;
        }
        char character = *next;
        if (character == '\\') {
            if (next[1] == '\0') {
                break;  // a trailing backslash ends the text like its end does
            }
            character = unescaped(next[1]);
            if (character == 0) {
                out[stored] = '\0';
                return 0;
            }
            next += 2;
        } else {
            next += 1;
        }
        out[stored] = character;
        stored++;
    }
    out[stored] = '\0';
    return closed;
}
