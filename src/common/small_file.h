// Reading the program's small input files (application ID, status) the one way they are read.
#pragma once

#include <stdint.h>

// Opens path for reading, sharing read, write and delete with other processes; reads once, at
// most capacity - 1 bytes; closes the file (also after a failed read) and terminates the text
// right after the bytes read. Returns 1 when the bytes are in buffer, 0 when the file could not
// be opened or read (buffer then holds no usable text). A longer file is cut; nothing is read
// twice. Capacity must be at least 1.
int read_small_file(const char* path, char* buffer, uint32_t capacity);
