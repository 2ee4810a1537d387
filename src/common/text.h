// Bounded copy of terminated texts, and making a text from outside safe for one log line.
#pragma once

#include <stdint.h>

// Copies source into destination, keeping at most capacity - 1 characters and always writing
// the terminator (nothing is written when capacity is 0).
void copy_bounded(char* destination, uint32_t capacity, const char* source);

// Turns line breaks and every other control byte (below 0x20, and 0x7F) of text into blanks, so
// that text from outside (a peer's reply, a command line) stays one log line and cannot write
// lines of its own.
void blank_control_bytes(char* text);
