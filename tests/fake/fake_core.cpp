// The fake platform's core: reset, the call record, handles, clocks and lstrcpynA.
#include <gtest/gtest.h>

#include <ctime>

#include "fake/fake_state.h"

namespace fake {
namespace detail {

Machine& machine()
{
    static Machine state;
    return state;
}

Call& record(const char* name)
{
    Machine& m = machine();
    if (!m.recording) {
        return m.unrecorded;
    }
    Call call;
    call.name = name;
    call.at_ms = m.elapsed_ms;
    m.calls.push_back(call);
    return m.calls.back();
}

void fail_with(DWORD error)
{
    machine().last_error = error;
}

HANDLE make_handle(HandleKind kind, size_t slot)
{
    uintptr_t value = (static_cast<uintptr_t>(kind) << 16) | static_cast<uintptr_t>(slot + 1);
    return reinterpret_cast<HANDLE>(value);
}

long open_slot(HANDLE handle, HandleKind kind)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || (value >> 16) != kind) {
        return -1;
    }
    size_t slot = (value & 0xFFFFu) - 1;
    Machine& m = machine();
    bool open = false;
    switch (kind) {
    case kind_file: open = slot < m.file_slots.size() && m.file_slots[slot].open; break;
    case kind_pipe: open = slot < m.pipe_slots.size() && m.pipe_slots[slot].open; break;
    case kind_process: open = slot < m.process_slots.size() && m.process_slots[slot].open; break;
    case kind_snapshot: open = slot < m.snapshot_slots.size() && m.snapshot_slots[slot].open; break;
    case kind_started: open = slot < m.started.size() && m.started[slot].process_open; break;
    case kind_started_thread: open = slot < m.started.size() && m.started[slot].thread_open; break;
    }
    return open ? static_cast<long>(slot) : -1;
}

void pass_time(uint64_t milliseconds)
{
    Machine& m = machine();
    m.elapsed_ms += milliseconds;
    if (m.sleep_hook) {
        // A copy: the hook may install another hook.
        std::function<void(uint64_t)> hook = m.sleep_hook;
        hook(m.elapsed_ms);
    }
}

}  // namespace detail

using namespace detail;

namespace {

const int64_t kIntervalsFrom1601To1970 = 116444736000000000LL;

// Calendar fields as UTC seconds; the fake's local clock has no zone, so timegm serves both.
int64_t seconds_of(const SYSTEMTIME& time)
{
    struct tm fields = {};
    fields.tm_year = time.wYear - 1900;
    fields.tm_mon = time.wMonth - 1;
    fields.tm_mday = time.wDay;
    fields.tm_hour = time.wHour;
    fields.tm_min = time.wMinute;
    fields.tm_sec = time.wSecond;
    return static_cast<int64_t>(timegm(&fields));
}

SYSTEMTIME system_time_of(int64_t ms)
{
    int64_t seconds = ms / 1000;
    int64_t rest = ms % 1000;
    if (rest < 0) {
        rest += 1000;
        seconds -= 1;
    }
    time_t when = static_cast<time_t>(seconds);
    struct tm fields = {};
    gmtime_r(&when, &fields);
    SYSTEMTIME out = {};
    out.wYear = static_cast<WORD>(fields.tm_year + 1900);
    out.wMonth = static_cast<WORD>(fields.tm_mon + 1);
    out.wDayOfWeek = static_cast<WORD>(fields.tm_wday);
    out.wDay = static_cast<WORD>(fields.tm_mday);
    out.wHour = static_cast<WORD>(fields.tm_hour);
    out.wMinute = static_cast<WORD>(fields.tm_min);
    out.wSecond = static_cast<WORD>(fields.tm_sec);
    out.wMilliseconds = static_cast<WORD>(rest);
    return out;
}

}  // namespace

void reset()
{
    Machine& m = machine();
    m = Machine();
    m.tick_base = 1000;
    m.unix_base_ms = 1700000000LL * 1000;
    m.local_base = system_time_of(m.unix_base_ms);
    reset_files();
}

const std::vector<Call>& calls()
{
    return machine().calls;
}

std::vector<Call> calls_named(const std::string& name)
{
    std::vector<Call> out;
    for (const Call& call : machine().calls) {
        if (call.name == name) {
            out.push_back(call);
        }
    }
    return out;
}

size_t count_calls(const std::string& name)
{
    return calls_named(name).size();
}

void clear_calls()
{
    machine().calls.clear();
}

void record_calls(bool on)
{
    machine().recording = on;
}

size_t open_handle_count()
{
    Machine& m = machine();
    size_t count = 0;
    for (const FileSlot& slot : m.file_slots) count += slot.open ? 1 : 0;
    for (const PipeSlot& slot : m.pipe_slots) count += slot.open ? 1 : 0;
    for (const ProcessSlot& slot : m.process_slots) count += slot.open ? 1 : 0;
    for (const SnapshotSlot& slot : m.snapshot_slots) count += slot.open ? 1 : 0;
    for (const StartedProgram& program : m.started) count += (program.process_open ? 1 : 0) + (program.thread_open ? 1 : 0);
    return count;
}

uint64_t now_ms()
{
    return machine().elapsed_ms;
}

void set_tick_count(DWORD ticks)
{
    Machine& m = machine();
    m.tick_base = ticks;
    m.tick_set_at_ms = m.elapsed_ms;
}

void set_unix_time(int64_t seconds)
{
    Machine& m = machine();
    m.unix_base_ms = seconds * 1000;
    m.unix_set_at_ms = m.elapsed_ms;
}

void set_local_time(const SYSTEMTIME& local)
{
    Machine& m = machine();
    m.local_base = local;
    m.local_set_at_ms = m.elapsed_ms;
}

void on_sleep(std::function<void(uint64_t now_ms)> hook)
{
    machine().sleep_hook = std::move(hook);
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

extern "C" {

DWORD WINAPI GetLastError(void)
{
    record("GetLastError");
    return machine().last_error;
}

BOOL WINAPI CloseHandle(HANDLE object)
{
    Machine& m = machine();
    Call& call = record("CloseHandle");
    call.handle = object;
    long slot = -1;
    if ((slot = open_slot(object, kind_file)) >= 0) {
        call.path = m.file_slots[static_cast<size_t>(slot)].path;
        m.file_slots[static_cast<size_t>(slot)].open = false;
        return TRUE;
    }
    if ((slot = open_slot(object, kind_pipe)) >= 0) {
        call.path = pipe_name(m.pipe_slots[static_cast<size_t>(slot)].index);
        close_pipe(static_cast<size_t>(slot));
        return TRUE;
    }
    if ((slot = open_slot(object, kind_process)) >= 0) {
        m.process_slots[static_cast<size_t>(slot)].open = false;
        return TRUE;
    }
    if ((slot = open_slot(object, kind_snapshot)) >= 0) {
        m.snapshot_slots[static_cast<size_t>(slot)].open = false;
        return TRUE;
    }
    if ((slot = open_slot(object, kind_started)) >= 0) {
        m.started[static_cast<size_t>(slot)].process_open = false;
        return TRUE;
    }
    if ((slot = open_slot(object, kind_started_thread)) >= 0) {
        m.started[static_cast<size_t>(slot)].thread_open = false;
        return TRUE;
    }
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
                     LPOVERLAPPED overlapped)
{
    Machine& m = machine();
    Call& call = record("ReadFile");
    call.handle = file;
    call.size = bytes_to_read;
    if (overlapped != nullptr) {
        ADD_FAILURE() << "ReadFile with an OVERLAPPED structure: the fake is synchronous only";
    }
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    long slot = -1;
    if ((slot = open_slot(file, kind_file)) >= 0) {
        call.path = m.file_slots[static_cast<size_t>(slot)].path;
        return read_file_slot(static_cast<size_t>(slot), buffer, bytes_to_read, bytes_read);
    }
    if ((slot = open_slot(file, kind_pipe)) >= 0) {
        call.path = pipe_name(m.pipe_slots[static_cast<size_t>(slot)].index);
        return read_pipe(static_cast<size_t>(slot), buffer, bytes_to_read, bytes_read);
    }
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
                      LPOVERLAPPED overlapped)
{
    Machine& m = machine();
    Call& call = record("WriteFile");
    call.handle = file;
    call.size = bytes_to_write;
    if (overlapped != nullptr) {
        ADD_FAILURE() << "WriteFile with an OVERLAPPED structure: the fake is synchronous only";
    }
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    long slot = -1;
    if ((slot = open_slot(file, kind_file)) >= 0) {
        call.path = m.file_slots[static_cast<size_t>(slot)].path;
        return write_file_slot(static_cast<size_t>(slot), buffer, bytes_to_write, bytes_written);
    }
    if ((slot = open_slot(file, kind_pipe)) >= 0) {
        call.path = pipe_name(m.pipe_slots[static_cast<size_t>(slot)].index);
        return write_pipe(static_cast<size_t>(slot), buffer, bytes_to_write, bytes_written);
    }
    fail_with(ERROR_INVALID_HANDLE);
    return FALSE;
}

void WINAPI GetLocalTime(LPSYSTEMTIME system_time)
{
    Machine& m = machine();
    record("GetLocalTime");
    int64_t base_ms = seconds_of(m.local_base) * 1000 + m.local_base.wMilliseconds;
    *system_time = system_time_of(base_ms + static_cast<int64_t>(m.elapsed_ms - m.local_set_at_ms));
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME system_time_as_file_time)
{
    Machine& m = machine();
    record("GetSystemTimeAsFileTime");
    int64_t ms = m.unix_base_ms + static_cast<int64_t>(m.elapsed_ms - m.unix_set_at_ms);
    uint64_t intervals = static_cast<uint64_t>(ms * 10000 + kIntervalsFrom1601To1970);
    system_time_as_file_time->dwLowDateTime = static_cast<DWORD>(intervals & 0xFFFFFFFFu);
    system_time_as_file_time->dwHighDateTime = static_cast<DWORD>(intervals >> 32);
}

DWORD WINAPI GetTickCount(void)
{
    Machine& m = machine();
    record("GetTickCount");
    return static_cast<DWORD>(m.tick_base + (m.elapsed_ms - m.tick_set_at_ms));
}

void WINAPI Sleep(DWORD milliseconds)
{
    Call& call = record("Sleep");
    call.size = milliseconds;
    pass_time(milliseconds);
}

// As on Windows: at most max_length - 1 characters and a terminator; nothing written for 0.
LPSTR WINAPI lstrcpynA(LPSTR string1, LPCSTR string2, int max_length)
{
    Call& call = record("lstrcpynA");
    call.size = static_cast<DWORD>(max_length);
    if (string1 == nullptr || string2 == nullptr) {
        return nullptr;
    }
    char* destination = string1;
    unsigned count = static_cast<unsigned>(max_length);
    while (count > 1 && *string2 != '\0') {
        --count;
        *destination++ = *string2++;
    }
    if (count != 0) {
        *destination = '\0';
    }
    return string1;
}

}  // extern "C"
