// The executable's path, the clocks, Sleep and lstrcpynA of the POSIX layer.
#include <gtest/gtest.h>

#include <string.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include "platform/platform.h"

namespace {

std::string module_path()
{
    char buffer[4096];
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, length);
}

TEST(PosixModule, PathIsTheRunningTestBinary)
{
    std::string path = module_path();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ('/', path[0]);
    const std::string name = "/brightrelay_posix_tests";
    ASSERT_GT(path.size(), name.size());
    EXPECT_EQ(name, path.substr(path.size() - name.size()));
    struct stat by_path;
    struct stat running;
    ASSERT_EQ(0, stat(path.c_str(), &by_path));
    ASSERT_EQ(0, stat("/proc/self/exe", &running));
    EXPECT_EQ(running.st_ino, by_path.st_ino);
    EXPECT_EQ(running.st_dev, by_path.st_dev);
}

TEST(PosixModule, CutPathKeepsSizeLessOneAndReturnsSize)
{
    const std::string full = module_path();
    const DWORD length = (DWORD)full.size();
    struct Case {
        DWORD size;
        DWORD result;
        std::string text;
    };
    const Case cases[] = {
        {length + 1, length, full},
        {length, length, full.substr(0, length - 1)},
        {5, 5, full.substr(0, 4)},
        {1, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        char buffer[4096];
        memset(buffer, 'Z', sizeof buffer);
        EXPECT_EQ(c.result, GetModuleFileNameA(nullptr, buffer, c.size));
        EXPECT_EQ(c.text, std::string(buffer));
        EXPECT_EQ('Z', buffer[c.size]) << "nothing written past the size";
        if (c.result == c.size) {
            EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
        }
    }
}

int64_t file_time_to_unix(const FILETIME& file_time)
{
    uint64_t intervals = ((uint64_t)file_time.dwHighDateTime << 32) | file_time.dwLowDateTime;
    return (int64_t)(intervals / 10000000ull) - 11644473600ll;
}

TEST(PosixClock, FileTimeIsUtcSince1601)
{
    FILETIME now;
    time_t before = time(nullptr);
    GetSystemTimeAsFileTime(&now);
    time_t after = time(nullptr);
    int64_t seconds = file_time_to_unix(now);
    EXPECT_GE(seconds, (int64_t)before);
    EXPECT_LE(seconds, (int64_t)after);
}

TEST(PosixClock, LocalTimeIsTheLocalCalendarOfNow)
{
    time_t before = time(nullptr);
    SYSTEMTIME local;
    GetLocalTime(&local);
    time_t after = time(nullptr);
    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_year = local.wYear - 1900;
    fields.tm_mon = local.wMonth - 1;
    fields.tm_mday = local.wDay;
    fields.tm_hour = local.wHour;
    fields.tm_min = local.wMinute;
    fields.tm_sec = local.wSecond;
    fields.tm_isdst = -1;
    time_t back = mktime(&fields);
    EXPECT_GE(back, before);
    EXPECT_LE(back, after);
    EXPECT_EQ(fields.tm_wday, (int)local.wDayOfWeek);
    EXPECT_LT(local.wMilliseconds, 1000);
}

TEST(PosixClock, TickCountAndUtcAdvanceOverASleep)
{
    FILETIME utc_before;
    GetSystemTimeAsFileTime(&utc_before);
    DWORD tick_before = GetTickCount();
    Sleep(120);
    DWORD tick_after = GetTickCount();
    FILETIME utc_after;
    GetSystemTimeAsFileTime(&utc_after);
    EXPECT_GE((DWORD)(tick_after - tick_before), 120u);
    uint64_t before = ((uint64_t)utc_before.dwHighDateTime << 32) | utc_before.dwLowDateTime;
    uint64_t after = ((uint64_t)utc_after.dwHighDateTime << 32) | utc_after.dwLowDateTime;
    EXPECT_GE(after - before, 1000000ull) << "at least 100 ms in 100 ns intervals";
}

void on_alarm(int) {}

TEST(PosixClock, SleepGoesOnAfterASignal)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_alarm;  // no SA_RESTART: nanosleep is cut short
    struct sigaction old_action;
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &old_action));
    struct itimerval timer;
    memset(&timer, 0, sizeof timer);
    timer.it_value.tv_usec = 20000;
    timer.it_interval.tv_usec = 20000;
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, nullptr));

    DWORD tick_before = GetTickCount();
    Sleep(150);
    DWORD slept = GetTickCount() - tick_before;

    memset(&timer, 0, sizeof timer);
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &old_action, nullptr);
    EXPECT_GE(slept, 150u);
}

TEST(PosixText, LstrcpynCopiesAtMostMaxLessOneAndTerminates)
{
    struct Case {
        const char* source;
        int max_length;
        const char* expected;  // the whole 8-byte destination, '#' where it was not written
    };
    const Case cases[] = {
        {"hello", 8, "hello\0##"},
        {"hello", 6, "hello\0##"},
        {"hello", 5, "hell\0###"},
        {"hello", 2, "h\0######"},
        {"hello", 1, "\0#######"},
        {"hello", 0, "########"},
        {"", 8, "\0#######"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " / " + std::to_string(c.max_length));
        char destination[8];
        memset(destination, '#', sizeof destination);
        EXPECT_EQ(destination, lstrcpynA(destination, c.source, c.max_length));
        EXPECT_EQ(std::string(c.expected, 8), std::string(destination, 8));
    }
}

}  // namespace
