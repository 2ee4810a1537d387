// Bounded copy of terminated texts.
#pragma once

#include <stdint.h>

// Copies source into destination, keeping at most capacity - 1 characters and always writing
// the terminator (nothing is written when capacity is 0).
void copy_bounded(char* destination, uint32_t capacity, const char* source);
