// Capacities shared by more than one subsystem (each counts the terminator).
#pragma once

#include <stdint.h>

const uint32_t kPathCapacity = 260;           // MAX_PATH: every file path
const uint32_t kApplicationIdCapacity = 64;   // the driver's application ID buffer
const uint32_t kActivityCapacity = 768;       // an activity text: at most 767 characters
