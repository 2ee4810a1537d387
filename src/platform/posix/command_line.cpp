// Windows command lines: joined from arguments and split into them by the Microsoft C runtime's
// rules (the rules CommandLineToArgvW follows too).
#include "platform/posix/command_line.h"

#include <string.h>

static int posix_is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static int posix_needs_quotes(const char* argument)
{
    return argument[0] == '\0' || strpbrk(argument, " \t\"") != nullptr;
}

// Appends count copies of c at *length; 0 when they do not fit with a terminator.
static int posix_put(char* buffer, size_t capacity, size_t* length, char c, size_t count)
{
    if (count >= capacity - *length) {
        return 0;
    }
    memset(buffer + *length, c, count);
    *length += count;
    return 1;
}

static int posix_put_quoted(char* buffer, size_t capacity, size_t* length, const char* argument)
{
    if (!posix_put(buffer, capacity, length, '"', 1)) {
        return 0;
    }
    for (const char* at = argument;;) {
        size_t backslashes = 0;
        while (at[backslashes] == '\\') {
            ++backslashes;
        }
        at += backslashes;
        if (*at == '\0') {
            // Doubled, so that the closing quote stays a quote.
            return posix_put(buffer, capacity, length, '\\', 2 * backslashes) &&
                   posix_put(buffer, capacity, length, '"', 1);
        }
        if (*at == '"') {
            if (!posix_put(buffer, capacity, length, '\\', 2 * backslashes + 1)) {
                return 0;
            }
        } else if (!posix_put(buffer, capacity, length, '\\', backslashes)) {
            return 0;
        }
        if (!posix_put(buffer, capacity, length, *at, 1)) {
            return 0;
        }
        ++at;
    }
}

static int posix_put_text(char* buffer, size_t capacity, size_t* length, const char* text)
{
    size_t text_length = strlen(text);
    if (text_length >= capacity - *length) {
        return 0;
    }
    memcpy(buffer + *length, text, text_length);
    *length += text_length;
    return 1;
}

int posix_join_command_line(int count, const char* const* arguments, char* buffer, size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    size_t length = 0;
    buffer[0] = '\0';
    for (int index = 0; index < count; ++index) {
        size_t before = length;
        const char* argument = arguments[index];
        int fits = (index == 0 || posix_put(buffer, capacity, &length, ' ', 1)) &&
                   (posix_needs_quotes(argument) ? posix_put_quoted(buffer, capacity, &length, argument)
                                                 : posix_put_text(buffer, capacity, &length, argument));
        if (!fits) {
            buffer[before] = '\0';
            return 0;
        }
        buffer[length] = '\0';
    }
    return 1;
}

long posix_split_command_line(const char* line, char* text, char** words, size_t word_capacity)
{
    long count = 0;
    const char* at = line;
    char* out = text;
    for (;;) {
        while (posix_is_blank(*at)) {
            ++at;
        }
        if (*at == '\0') {
            break;
        }
        if ((size_t)count + 1 >= word_capacity) {
            return -1;
        }
        words[count++] = out;
        bool quoted = false;
        while (*at != '\0' && (quoted || !posix_is_blank(*at))) {
            if (*at == '\\') {
                size_t backslashes = 0;
                while (at[backslashes] == '\\') {
                    ++backslashes;
                }
                if (at[backslashes] != '"') {
                    memset(out, '\\', backslashes);
                    out += backslashes;
                    at += backslashes;
                    continue;
                }
                memset(out, '\\', backslashes / 2);
                out += backslashes / 2;
                at += backslashes;
                if (backslashes % 2 == 1) {
                    *out++ = '"';  // an escaped quote
                    ++at;
                }
                continue;  // an even count leaves the quote to open or close a quoted part
            }
            if (*at == '"') {
                if (quoted && at[1] == '"') {
                    *out++ = '"';
                    at += 2;
                    continue;
                }
                quoted = !quoted;
                ++at;
                continue;
            }
            *out++ = *at++;
        }
        *out++ = '\0';
    }
    words[count] = nullptr;
    return count;
}
