// The few operating-system pieces that the stand-in needs on both platforms: a lock, a sleep,
// a file test, clocks and the small files that tests wait for.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

// MinGW's default thread model has no std::mutex, so Windows gets a critical section.
class Lock {
public:
#if defined(_WIN32)
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }
#else
    Lock() = default;
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
#endif
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
#if defined(_WIN32)
    CRITICAL_SECTION section_;
#else
    std::mutex mutex_;
#endif
};

class Locked {
public:
    explicit Locked(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~Locked() { lock_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Lock& lock_;
};

void sleep_ms(unsigned milliseconds);
bool file_exists(const std::string& path);
int64_t unix_seconds_now();
int64_t steady_ms_now();

// Writes text to path through a temporary file and a rename, so that a reader never sees half.
bool write_file_whole(const std::string& path, const std::string& text);
