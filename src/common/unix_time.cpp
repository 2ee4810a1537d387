// Unix time from the platform's UTC system clock (100 ns intervals since 1601-01-01).
#include "common/unix_time.h"

#include "platform/platform.h"

namespace {

const uint64_t kIntervalsPerSecond = 10000000u;
const uint64_t kIntervalsFrom1601To1970 = 116444736000000000u;

}  // namespace

int64_t unix_time_now(void)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t intervals = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    int64_t since_1970 = static_cast<int64_t>(intervals) - static_cast<int64_t>(kIntervalsFrom1601To1970);
    // Round toward minus infinity so that a clock before 1970 still gives whole seconds below it.
    int64_t seconds = since_1970 / static_cast<int64_t>(kIntervalsPerSecond);
    if (since_1970 % static_cast<int64_t>(kIntervalsPerSecond) < 0) {
        seconds -= 1;
    }
    return seconds;
}
