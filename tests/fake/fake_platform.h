// A scriptable, in-memory stand-in for the platform, linked into the unit tests in place of the
// POSIX layer. It implements every function of src/platform/win32_subset.h with Win32 results,
// records each call, and lets a test stage files, clocks, processes and Discord pipe peers.
//
// Time is virtual: Sleep, and a WaitForSingleObject that times out, advance the tick count, the
// UTC clock and the local clock together, without sleeping, so a whole run of the driver takes
// milliseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// ---- reset ----------------------------------------------------------------------------------
// Back to a clean machine: no files, module path "C:\Games\Kel\brightrelay.exe" with its folder
// "C:\Games\Kel" present, tick count 1000, Unix time 1700000000 (local time 2023-11-14
// 22:13:20), no processes, no pipes, no calls recorded, no handles open.
void reset();

// ---- calls --------------------------------------------------------------------------------
struct Call {
    std::string name;         // the Win32 name, e.g. "CreateFileA"
    std::string path;         // CreateFileA / CreateDirectoryA: the path as passed; ReadFile,
                              // WriteFile, PeekNamedPipe, CloseHandle: the file's path or pipe's
                              // name behind the handle ("" for other handles)
    HANDLE handle = nullptr;  // the handle passed (or, for CreateFileA / OpenProcess /
                              // CreateToolhelp32Snapshot, returned)
    DWORD access = 0;         // CreateFileA: desired access; OpenProcess: desired access
    DWORD share = 0;          // CreateFileA: share mode
    DWORD disposition = 0;    // CreateFileA: creation disposition
    DWORD flags = 0;          // CreateFileA: flags and attributes; CreateToolhelp32Snapshot: flags
    DWORD size = 0;           // ReadFile / WriteFile / PeekNamedPipe: bytes asked;
                              // GetModuleFileNameA: size; Sleep: milliseconds;
                              // WaitForSingleObject: time-out; OpenProcess and
                              // CreateToolhelp32Snapshot: pid; lstrcpynA: max length
                              // CreateProcessA: the command line in path, inherit_handles in
                              // access, creation flags in flags, the process handle returned
    uint64_t at_ms = 0;       // virtual time of the call (see now_ms)
};
const std::vector<Call>& calls();
std::vector<Call> calls_named(const std::string& name);
size_t count_calls(const std::string& name);
void clear_calls();

// Handles currently open, of every kind (files, pipes, processes, snapshots).
size_t open_handle_count();

// Stops (false) or resumes (true) the call record; reset() resumes it. For long runs that look
// at outcomes only, where recording every call would cost most of the time.
void record_calls(bool on);

// ---- clocks -------------------------------------------------------------------------------
// Virtual milliseconds since reset(); Sleep(n) adds n.
uint64_t now_ms();
void set_tick_count(DWORD ticks);   // GetTickCount from now on counts up from this value
void set_unix_time(int64_t seconds);  // the UTC clock (GetSystemTimeAsFileTime), whole seconds
void set_local_time(const SYSTEMTIME& local);  // GetLocalTime from now on counts up from this
// Runs after every Sleep, and after every WaitForSingleObject that times out, with the virtual
// time after it: lets a test change the world over time.
void on_sleep(std::function<void(uint64_t now_ms)> hook);

// ---- files and folders ----------------------------------------------------------------------
// Paths are compared as given, byte for byte (tests use backslashes throughout).
void set_module_path(const std::string& path);  // "" makes GetModuleFileNameA fail (0)
void add_folder(const std::string& path);
bool folder_exists(const std::string& path);
void fail_create_directory(bool fail);  // CreateDirectoryA fails, creating nothing
void put_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);
std::string file_content(const std::string& path);
void remove_file(const std::string& path);
// Faults of one file: its open fails (ERROR_ACCESS_DENIED), its reads fail (ERROR_GEN_FAILURE),
// each read returns at most read_limit bytes, its writes fail (ERROR_HANDLE_DISK_FULL, nothing
// written), or each write writes at most write_limit bytes and reports that count (0: no limit).
struct FileFaults {
    bool fail_open = false;
    bool fail_read = false;
    DWORD read_limit = 0;
    bool fail_write = false;
    DWORD write_limit = 0;
};
void set_file_faults(const std::string& path, const FileFaults& faults);

// ---- processes --------------------------------------------------------------------------------
// A process in the table, shown by snapshots in the order added.
void add_process(DWORD pid, const std::string& exe_name);
// Ends it: later waits on its handles give WAIT_OBJECT_0, and snapshots no longer show it.
void end_process(DWORD pid);
// Ends it once this many waits on its handles have timed out (0: at the next wait, which then
// returns at once whatever its time-out).
void end_process_after_waits(DWORD pid, int waits);
// Ends it at this virtual time (see now_ms): a wait whose time-out reaches past it returns
// WAIT_OBJECT_0 at that moment, with the clock moved on only so far.
void end_process_at(DWORD pid, uint64_t at_ms);
void set_process_openable(DWORD pid, bool openable);  // false: OpenProcess fails (access denied)
void fail_snapshots(int count);   // the next count snapshots return INVALID_HANDLE_VALUE
void fail_waits(bool fail);       // WaitForSingleObject returns WAIT_FAILED

// A process that appears at a virtual time: snapshots show it and OpenProcess opens it from
// then on (add_process is the same at time 0).
void add_process_at(uint64_t at_ms, DWORD pid, const std::string& exe_name);

// ---- started programs ---------------------------------------------------------------------------
// What a program started by CreateProcessA does. It runs for runs_ms of virtual time from its
// start and then exits with exit_code; a wait on it with a time-out advances the virtual clock
// by the time-out, or up to its end when that comes first. It can start a game: the process
// game_pid, named game_exe, appearing game_after_ms after the program's start and then running
// for game_waits timed-out waits on its handles (as end_process_after_waits).
struct Program {
    DWORD start_error = ERROR_SUCCESS;  // not ERROR_SUCCESS: CreateProcessA fails with it
    DWORD pid = 5000;
    uint64_t runs_ms = 0;
    DWORD exit_code = 0;
    DWORD game_pid = 0;  // 0: it starts no game
    std::string game_exe = "Kel_Nordvale.exe";
    uint64_t game_after_ms = 0;
    int game_waits = 0;
};
// The next CreateProcessA follows this script; scripts are taken in the order given.
void script_program(const Program& program);
// The command lines of the programs started so far, in order.
std::vector<std::string> started_command_lines();

// ---- pipes -----------------------------------------------------------------------------------
// One Discord pipe index, "\\.\pipe\discord-ipc-N". A peer is absent until configured.
struct Frame {
    uint32_t opcode = 0;
    std::string payload;
};

// A chunk of what the peer sends, made readable at a virtual time. Kinds:
//   data:  bytes, read in pieces of at most the size asked; one ReadFile never spans chunks;
//   fail:  the ReadFile that reaches it fails (ERROR_BROKEN_PIPE);
//   empty: the ReadFile that reaches it succeeds with zero bytes.
struct Chunk {
    enum Kind { data, fail, empty } kind = data;
    std::string bytes;
    uint64_t ready_at_ms = 0;
};

struct PipePeer;
// How the peer answers each complete frame it received on a connection. The default answers a
// handshake with a READY dispatch and a command with a SET_ACTIVITY success echoing its nonce.
using FrameHandler = std::function<void(PipePeer& peer, const Frame& frame)>;

struct PipePeer {
    bool present = false;      // false: the open fails with ERROR_FILE_NOT_FOUND
    bool busy = false;         // true: the open fails with ERROR_PIPE_BUSY
    FrameHandler on_frame;     // empty: the default behaviour above

    // Faults of the client's next writes, applied in order, one per WriteFile: "ok", "fail"
    // (FALSE, ERROR_NO_DATA), or "short:N" (TRUE with N bytes written, the rest lost).
    std::vector<std::string> write_script;

    // State of the current connection (reset by every successful open):
    bool connected = false;            // the client holds an open handle
    bool closed_by_peer = false;       // the peer has closed its end (see close())
    std::vector<Chunk> outgoing;       // what the client can still read
    std::string incoming;              // bytes received not yet forming a whole frame

    // Everything received, over all connections, in order.
    std::vector<Frame> frames;
    int connections = 0;               // successful opens so far

    // For handlers: queue a reply frame (header and payload in one chunk), ready after delay_ms.
    void reply(const std::string& payload, uint32_t opcode = 1, uint64_t delay_ms = 0);
    // Queue any chunk: raw bytes, a failing read, an empty read.
    void send_raw(const std::string& bytes, uint64_t delay_ms = 0);
    void send_fail(uint64_t delay_ms = 0);
    void send_empty(uint64_t delay_ms = 0);
    // The peer closes its end: once the queued bytes are read, reads and peeks fail with
    // ERROR_BROKEN_PIPE and writes fail with ERROR_NO_DATA.
    void close();
};

// The peer of pipe index (0 to 9); configure it in place.
PipePeer& pipe(int index);

// Runs for every WriteFile on an open Discord pipe handle, with the pipe's index and the bytes
// exactly as the client handed them, before any write fault of the peer applies: lets a test
// see every frame the client formed, also the ones a failing write lost.
void on_pipe_write(std::function<void(int index, const std::string& bytes)> hook);

// Payloads the default peer uses.
std::string ready_payload();
std::string set_activity_reply(const std::string& nonce);
std::string error_reply(const std::string& nonce, const std::string& message);

// Frame bytes as they travel: little-endian opcode and length, then the payload.
std::string frame_bytes(uint32_t opcode, const std::string& payload);

// ---- bounded copy ------------------------------------------------------------------------------
// lstrcpynA behaves as on Windows; nothing to stage.

}  // namespace fake
