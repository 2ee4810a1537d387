// The fake platform's machine: the state that its parts (core, files, processes, pipes) share.
// Only the fake's own sources include this; tests use fake_platform.h.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake/fake_platform.h"

namespace fake {
namespace detail {

// Handles encode their kind above bit 16 and their slot + 1 below, so that no handle is ever
// null or INVALID_HANDLE_VALUE. Slots are never reused before reset(), so a second close of the
// same handle is caught.
enum HandleKind : uintptr_t {
    kind_file = 1,
    kind_pipe = 2,
    kind_process = 3,
    kind_snapshot = 4,
    kind_started = 5,         // a program started by CreateProcessA
    kind_started_thread = 6,  // its first thread
};

struct FileSlot {
    bool open = false;
    std::string path;
    DWORD access = 0;
    uint64_t position = 0;
};

struct PipeSlot {
    bool open = false;
    int index = 0;
    int connection = 0;  // the peer's connection count when this handle was opened
};

struct ProcessSlot {
    bool open = false;
    size_t process = 0;  // index into Machine::processes
};

struct SnapshotEntry {
    DWORD pid = 0;
    std::string exe_name;
};

struct SnapshotSlot {
    bool open = false;
    std::vector<SnapshotEntry> entries;
    size_t next = 0;
};

struct Process {
    DWORD pid = 0;
    std::string exe_name;
    bool ended = false;
    bool openable = true;
    int waits_before_end = -1;  // -1: runs until end_process
    uint64_t starts_at_ms = 0;  // shown and openable from this virtual time on
    bool end_scheduled = false; // end_process_at: it ends at end_at_ms of the virtual clock
    uint64_t end_at_ms = 0;
};

// A program started by CreateProcessA, and which of its two handles are still open.
struct StartedProgram {
    Program script;
    std::string command_line;
    uint64_t started_at_ms = 0;
    bool process_open = true;
    bool thread_open = true;
};

struct Machine {
    std::vector<Call> calls;
    bool recording = true;
    Call unrecorded;  // what record() hands out while recording is off
    DWORD last_error = ERROR_SUCCESS;

    // Clocks: virtual time since reset, and each clock's value with the time it was set at.
    uint64_t elapsed_ms = 0;
    DWORD tick_base = 0;
    uint64_t tick_set_at_ms = 0;
    int64_t unix_base_ms = 0;
    uint64_t unix_set_at_ms = 0;
    SYSTEMTIME local_base = {};
    uint64_t local_set_at_ms = 0;
    std::function<void(uint64_t)> sleep_hook;

    // Files and folders.
    std::string module_path;
    std::set<std::string> folders;
    std::map<std::string, std::string> files;
    std::map<std::string, FileFaults> faults;
    bool fail_create_directory = false;

    // Processes.
    std::vector<Process> processes;
    int snapshot_failures = 0;
    bool fail_waits = false;

    // Programs to start: each CreateProcessA takes the first script left.
    std::vector<Program> program_scripts;
    std::vector<StartedProgram> started;

    // Pipes.
    std::array<PipePeer, 10> peers;
    std::function<void(int, const std::string&)> pipe_write_hook;

    // Open handles, by kind.
    std::vector<FileSlot> file_slots;
    std::vector<PipeSlot> pipe_slots;
    std::vector<ProcessSlot> process_slots;
    std::vector<SnapshotSlot> snapshot_slots;
};

Machine& machine();

// Records a call and returns it for its arguments to be filled in.
Call& record(const char* name);

// Moves the virtual clock on by milliseconds and runs the sleep hook, as every Sleep does.
void pass_time(uint64_t milliseconds);

// Sets the error that GetLastError reports, for a call that fails.
void fail_with(DWORD error);

HANDLE make_handle(HandleKind kind, size_t slot);
// The slot of handle if it is of kind and open; -1 otherwise.
long open_slot(HANDLE handle, HandleKind kind);

// Per-kind parts of the Win32 calls that take any handle.
bool is_pipe_name(const char* path);
HANDLE open_pipe(const char* path);
BOOL read_pipe(size_t slot, void* buffer, DWORD size, DWORD* bytes_read);
BOOL write_pipe(size_t slot, const void* buffer, DWORD size, DWORD* bytes_written);
void close_pipe(size_t slot);
std::string pipe_name(int index);

// True while process (an entry of the table) has started and not ended.
bool process_runs(const Process& process);
// WaitForSingleObject on a started program's handle.
DWORD wait_started(size_t slot, DWORD milliseconds);

BOOL read_file_slot(size_t slot, void* buffer, DWORD size, DWORD* bytes_read);
BOOL write_file_slot(size_t slot, const void* buffer, DWORD size, DWORD* bytes_written);

// The machine's files and folders after reset().
void reset_files();

}  // namespace detail
}  // namespace fake
