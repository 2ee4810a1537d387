// Bounded printf-style formatting, done here rather than by the C runtime.
//
// The program formats a few fixed templates on every pass (key patterns, data paths, the
// activity text), so this is its hottest code. The C runtime's vsnprintf goes through its
// stream machinery for each call, and MinGW's C99-conforming variant adds some twenty
// kilobytes to the Windows program; this one does the conversions the program uses directly,
// and gives the same output on every platform by construction.
//
// Supported: the flags '-', '0', '+' and ' '; a decimal field width; a precision for %s (and,
// as printf has it, for the integer conversions: the least number of digits); the length
// modifiers hh, h, l, ll, z and j; the conversions d, i, u, x, X, s, c and %. A conversion
// outside this set is copied as it stands. The compiler checks every call's arguments against
// its format (FORMAT_BOUNDED_CHECK).
#include "common/format.h"

#include <stdarg.h>
#include <stddef.h>
#include <string.h>

namespace {

// Where the output goes: everything past capacity - 1 characters is counted but dropped.
struct Output {
    char* buffer;
    uint32_t capacity;
    uint32_t length;
};

void put(Output* out, char c)
{
    if (out->length + 1 < out->capacity) {
        out->buffer[out->length] = c;
    }
    out->length++;
}

// Puts a run of characters at once: the texts formatted are mostly such runs.
void put_run(Output* out, const char* text, uint32_t count)
{
    uint32_t room = out->length + 1 < out->capacity ? out->capacity - 1 - out->length : 0;
    if (room > 0 && count > 0) {
        memcpy(out->buffer + out->length, text, count < room ? count : room);
    }
    out->length += count;
}

void put_repeated(Output* out, char c, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        put(out, c);
    }
}

struct Directive {
    int left_align;
    int zero_pad;
    char sign_flag;       // '+', ' ' or 0
    uint32_t width;
    int has_precision;
    uint32_t precision;
    int length;           // -2 hh, -1 h, 0 none, 1 l, 2 ll, 3 z, 4 j
};

// Writes body (of body_length characters) in its field, after prefix (a sign, or nothing).
// Zero padding goes between the prefix and the body, blank padding outside both.
void put_field(Output* out, const Directive* directive, const char* prefix, const char* body, uint32_t body_length,
               uint32_t leading_zeros)
{
    uint32_t prefix_length = 0;
    while (prefix[prefix_length] != '\0') {
        ++prefix_length;
    }
    uint32_t content = prefix_length + leading_zeros + body_length;
    uint32_t padding = directive->width > content ? directive->width - content : 0;
    if (!directive->left_align && !directive->zero_pad) {
        put_repeated(out, ' ', padding);
    }
    for (uint32_t i = 0; i < prefix_length; ++i) {
        put(out, prefix[i]);
    }
    if (!directive->left_align && directive->zero_pad) {
        put_repeated(out, '0', padding);
    }
    put_repeated(out, '0', leading_zeros);
    put_run(out, body, body_length);
    if (directive->left_align) {
        put_repeated(out, ' ', padding);
    }
}

void put_integer(Output* out, const Directive* directive, unsigned long long magnitude, int negative, unsigned base,
                 int upper)
{
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[24];  // 2^64 - 1 has 20 decimal digits
    uint32_t count = 0;
    // printf writes no digit for a zero with precision 0.
    if (!(directive->has_precision && directive->precision == 0 && magnitude == 0)) {
        do {
            text[sizeof text - 1 - count] = digits[magnitude % base];
            magnitude /= base;
            ++count;
        } while (magnitude != 0);
    }
    char prefix[2] = {0, 0};
    if (negative) {
        prefix[0] = '-';
    } else if (directive->sign_flag != 0 && base == 10) {
        prefix[0] = directive->sign_flag;
    }
    uint32_t leading_zeros = directive->has_precision && directive->precision > count ? directive->precision - count : 0;
    Directive field = *directive;
    if (directive->has_precision) {
        field.zero_pad = 0;  // a precision turns the '0' flag off, as in printf
    }
    put_field(out, &field, prefix, text + sizeof text - count, count, leading_zeros);
}

long long signed_argument(va_list* arguments, int length)
{
    switch (length) {
    case -2:
        return static_cast<signed char>(va_arg(*arguments, int));
    case -1:
        return static_cast<short>(va_arg(*arguments, int));
    case 1:
        return va_arg(*arguments, long);
    case 2:
    case 4:  // intmax_t: 64 bits wide, passed as long long is, on every platform built for
        return va_arg(*arguments, long long);
    case 3:
        return static_cast<long long>(va_arg(*arguments, ptrdiff_t));
    default:
        return va_arg(*arguments, int);
    }
}

unsigned long long unsigned_argument(va_list* arguments, int length)
{
    switch (length) {
    case -2:
        return static_cast<unsigned char>(va_arg(*arguments, unsigned));
    case -1:
        return static_cast<unsigned short>(va_arg(*arguments, unsigned));
    case 1:
        return va_arg(*arguments, unsigned long);
    case 2:
    case 4:  // uintmax_t: likewise
        return va_arg(*arguments, unsigned long long);
    case 3:
        return va_arg(*arguments, size_t);
    default:
        return va_arg(*arguments, unsigned);
    }
}

int is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads one conversion's flags, width, precision and length after its '%'; returns the
// position of the conversion character.
const char* read_directive(const char* at, Directive* directive)
{
    directive->left_align = 0;
    directive->zero_pad = 0;
    directive->sign_flag = 0;
    directive->width = 0;
    directive->has_precision = 0;
    directive->precision = 0;
    directive->length = 0;
    int more_flags = 1;
    while (more_flags) {
        switch (*at) {
        case '-':
            directive->left_align = 1;
            break;
        case '0':
            directive->zero_pad = 1;
            break;
        case '+':
            directive->sign_flag = '+';
            break;
        case ' ':
            if (directive->sign_flag == 0) {
                directive->sign_flag = ' ';
            }
            break;
        default:
            more_flags = 0;
            continue;
        }
        ++at;
    }
    while (is_digit(*at) && directive->width < 100000u) {
        directive->width = directive->width * 10 + static_cast<uint32_t>(*at++ - '0');
    }
    if (*at == '.') {
        ++at;
        directive->has_precision = 1;
        while (is_digit(*at) && directive->precision < 100000u) {
            directive->precision = directive->precision * 10 + static_cast<uint32_t>(*at++ - '0');
        }
    }
    if (at[0] == 'h' && at[1] == 'h') {
        directive->length = -2;
        at += 2;
    } else if (at[0] == 'h') {
        directive->length = -1;
        ++at;
    } else if (at[0] == 'l' && at[1] == 'l') {
        directive->length = 2;
        at += 2;
    } else if (at[0] == 'l') {
        directive->length = 1;
        ++at;
    } else if (at[0] == 'z') {
        directive->length = 3;
        ++at;
    } else if (at[0] == 'j') {
        directive->length = 4;
        ++at;
    }
    return at;
}

void format_into(Output* out, const char* format, va_list* arguments)
{
    const char* at = format;
    while (*at != '\0') {
        if (*at != '%') {
            const char* run_end = at;
            while (*run_end != '\0' && *run_end != '%') {
                ++run_end;
            }
            put_run(out, at, static_cast<uint32_t>(run_end - at));
            at = run_end;
            continue;
        }
        const char* conversion_start = at;
        Directive directive;
        at = read_directive(at + 1, &directive);
        char conversion = *at;
        switch (conversion) {
        case 'd':
        case 'i': {
            long long value = signed_argument(arguments, directive.length);
            // The magnitude in unsigned arithmetic, so that the smallest value needs no negation.
            unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            put_integer(out, &directive, magnitude, value < 0, 10, 0);
            break;
        }
        case 'u':
            put_integer(out, &directive, unsigned_argument(arguments, directive.length), 0, 10, 0);
            break;
        case 'x':
        case 'X':
            put_integer(out, &directive, unsigned_argument(arguments, directive.length), 0, 16, conversion == 'X');
            break;
        case 'c': {
            char c = static_cast<char>(va_arg(*arguments, int));
            Directive field = directive;
            field.zero_pad = 0;
            put_field(out, &field, "", &c, 1, 0);
            break;
        }
        case 's': {
            const char* text = va_arg(*arguments, const char*);
            if (text == nullptr) {
                text = "(null)";
            }
            uint32_t length = 0;
            while (text[length] != '\0' && (!directive.has_precision || length < directive.precision)) {
                ++length;
            }
            Directive field = directive;
            field.zero_pad = 0;
            put_field(out, &field, "", text, length, 0);
            break;
        }
        case '%':
            put(out, '%');
            break;
        default:
            // Not a conversion this formatter knows (or the format ended): copy it as it stands.
            for (const char* c = conversion_start; c < at; ++c) {
                put(out, *c);
            }
            if (conversion == '\0') {
                return;
            }
            put(out, conversion);
            break;
        }
        ++at;
    }
}

}  // namespace

void format_bounded(char* buffer, uint32_t capacity, const char* format, ...)
{
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    Output out = {buffer, capacity, 0};
    if (format != nullptr) {
        va_list arguments;
        va_start(arguments, format);
        format_into(&out, format, &arguments);
        va_end(arguments);
    }
    buffer[out.length < capacity ? out.length : capacity - 1] = '\0';
}
