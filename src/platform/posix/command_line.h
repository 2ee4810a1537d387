// Windows command lines and argument vectors: the Linux entry point joins its arguments into the
// one command line that Windows hands a program, and CreateProcessA splits one back, both by the
// Microsoft C runtime's rules, so that any argument vector survives the round trip unchanged.
#pragma once

#include <stddef.h>

// Joins count arguments with blanks, quoting an argument that is empty or holds a blank, a tab
// or a quote, and doubling the backslashes that precede a quote or the closing quote. 1 when
// the whole line fits in capacity; else 0, with buffer holding the arguments that fitted whole.
int posix_join_command_line(int count, const char* const* arguments, char* buffer, size_t capacity);

// Splits line into words at blanks and tabs outside quotes: 2n backslashes and a quote give n
// backslashes and open or close a quoted part; 2n + 1 backslashes and a quote give n backslashes
// and a quote; backslashes elsewhere are kept; two quotes inside a quoted part give one quote.
// The words go into text (at least strlen(line) + 1 bytes) and their starts into words (at most
// word_capacity - 1 of them, then a null). Returns the number of words, or -1 when there are
// more than that.
long posix_split_command_line(const char* line, char* text, char** words, size_t word_capacity);
