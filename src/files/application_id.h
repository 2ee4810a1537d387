// The Discord application ID, read once at start from "discord_application_id".
#pragma once

#include <stdint.h>

// Fills out (capacity at least 25) with the file's ID, 15 to 24 digits after trimming blanks,
// tabs and line ends, and returns 1. Otherwise logs why, leaves out empty and returns 0; a null
// out or a capacity below 25 returns 0 without logging or touching out.
int load_application_id(char* out, uint32_t capacity);
