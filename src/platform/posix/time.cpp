// Clocks and pacing: local time, UTC as a FILETIME, the tick count, Sleep.
#include <errno.h>
#include <time.h>

#include "platform/posix/posix_internal.h"

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01 (the Unix epoch).
static const uint64_t kFileTimeEpochOffsetSeconds = 11644473600ull;

void WINAPI GetLocalTime(LPSYSTEMTIME system_time)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    // The C library reads the time zone rules on the first call only.
    localtime_r(&now.tv_sec, &local);
    system_time->wYear = (WORD)(local.tm_year + 1900);
    system_time->wMonth = (WORD)(local.tm_mon + 1);
    system_time->wDayOfWeek = (WORD)local.tm_wday;  // 0 is Sunday on both sides
    system_time->wDay = (WORD)local.tm_mday;
    system_time->wHour = (WORD)local.tm_hour;
    system_time->wMinute = (WORD)local.tm_min;
    // A leap second (tm_sec 60) has no place in a SYSTEMTIME.
    system_time->wSecond = (WORD)(local.tm_sec > 59 ? 59 : local.tm_sec);
    system_time->wMilliseconds = (WORD)(now.tv_nsec / 1000000);
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME system_time_as_file_time)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t intervals = ((uint64_t)now.tv_sec + kFileTimeEpochOffsetSeconds) * 10000000ull +
                         (uint64_t)now.tv_nsec / 100u;
    system_time_as_file_time->dwLowDateTime = (DWORD)intervals;
    system_time_as_file_time->dwHighDateTime = (DWORD)(intervals >> 32);
}

int64_t posix_monotonic_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds since boot, wrapping every 49.7 days like the Windows tick count.
DWORD WINAPI GetTickCount(void)
{
    return (DWORD)(uint64_t)posix_monotonic_ms();
}

void WINAPI Sleep(DWORD milliseconds)
{
    struct timespec remaining;
    remaining.tv_sec = (time_t)(milliseconds / 1000u);
    remaining.tv_nsec = (long)(milliseconds % 1000u) * 1000000L;
    // A signal cuts nanosleep short; the rest of the time is slept, as Windows would.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
