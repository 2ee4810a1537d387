// Bounded printf-style formatting into fixed character buffers.
#pragma once

#include <stdint.h>

// The formatter follows the C99 conversions on every platform. On Windows the compiler's plain
// "printf" check means msvcrt's rules (which know neither %lld nor %zu), so it is told C99's.
#if defined(_WIN32)
#define FORMAT_BOUNDED_CHECK __attribute__((format(gnu_printf, 3, 4)))
#else
#define FORMAT_BOUNDED_CHECK __attribute__((format(printf, 3, 4)))
#endif

// Formats into buffer, never writing past capacity bytes. Leaves the whole output when it fits,
// else its first capacity - 1 characters; always terminated when capacity is at least 1.
void format_bounded(char* buffer, uint32_t capacity, const char* format, ...) FORMAT_BOUNDED_CHECK;
