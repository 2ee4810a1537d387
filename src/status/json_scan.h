// Reading one value by key out of a flat JSON text, by search rather than by parsing.
#pragma once

#include <stdint.h>

// Each finds the first occurrence of "\"key\":" in text and reads the value right after it.
// 1 when a value of the function's kind was read; 0 otherwise (output mostly untouched).
int json_find_bool(const char* text, const char* key, int32_t* out);
int json_find_int64(const char* text, const char* key, int64_t* out);
int json_find_string(const char* text, const char* key, char* out, uint32_t capacity);
