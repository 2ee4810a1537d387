// Bounded formatting over the C runtime's vsnprintf.
#include "common/format.h"

#include <stdarg.h>
#include <stdio.h>

void format_bounded(char* buffer, uint32_t capacity, const char* format, ...)
{
    if (buffer == nullptr || capacity == 0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(buffer, capacity, format, arguments);
    va_end(arguments);
    // A runtime that reports an encoding error may leave the buffer unterminated; so may an
    // old one that does not terminate on overflow. Terminate in every case.
    if (written < 0) {
        buffer[0] = '\0';
    }
    buffer[capacity - 1] = '\0';
}
