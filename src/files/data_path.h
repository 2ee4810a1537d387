// Paths inside the data folder "Brightrelay" beside the running executable.
#pragma once

#include <stdint.h>

// Forms "<executable folder>\Brightrelay\<file_name>" into out and creates the data folder on
// the way (on every call). Returns 1 on success; 0, with out untouched, when the executable's
// path cannot be had or has no separator, the folder path would pass 258 characters, or the
// result does not fit capacity.
int build_data_path(char* out, uint32_t capacity, const char* file_name);
