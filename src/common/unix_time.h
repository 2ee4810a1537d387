// Unix time: whole seconds since 1970-01-01 00:00:00 UTC, from the system clock.
#pragma once

#include <stdint.h>

int64_t unix_time_now(void);
