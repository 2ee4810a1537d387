// The fake platform's started programs: CreateProcessA by script, waits that advance the virtual
// clock up to a program's end, its exit code, and the game it may start.
#include <gtest/gtest.h>

#include "fake/fake_state.h"

namespace fake {
namespace detail {

namespace {

uint64_t end_of(const StartedProgram& program)
{
    return program.started_at_ms + program.script.runs_ms;
}

}  // namespace

DWORD wait_started(size_t slot, DWORD milliseconds)
{
    Machine& m = machine();
    uint64_t end_ms = end_of(m.started[slot]);
    if (end_ms <= m.elapsed_ms) {
        return WAIT_OBJECT_0;
    }
    if (milliseconds == INFINITE || end_ms <= m.elapsed_ms + milliseconds) {
        m.elapsed_ms = end_ms;
        return WAIT_OBJECT_0;
    }
    pass_time(milliseconds);  // as a Sleep of it, hooks included
    return WAIT_TIMEOUT;
}

}  // namespace detail

using namespace detail;

void script_program(const Program& program)
{
    machine().program_scripts.push_back(program);
}

std::vector<std::string> started_command_lines()
{
    std::vector<std::string> lines;
    for (const StartedProgram& program : machine().started) {
        lines.push_back(program.command_line);
    }
    return lines;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information)
{
    Machine& m = machine();
    Call& call = record("CreateProcessA");
    call.path = command_line != nullptr ? command_line : "";
    call.access = static_cast<DWORD>(inherit_handles);
    call.flags = creation_flags;
    (void)process_attributes;
    (void)thread_attributes;
    // The system starts a program from its command line alone, in its own environment and
    // folder; the fake supports nothing else.
    if (application_name != nullptr || environment != nullptr || current_directory != nullptr ||
        command_line == nullptr || startup_info == nullptr || process_information == nullptr ||
        startup_info->cb != sizeof(STARTUPINFOA)) {
        ADD_FAILURE() << "CreateProcessA with arguments the fake does not support";
        fail_with(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (m.program_scripts.empty()) {
        ADD_FAILURE() << "CreateProcessA without a scripted program (fake::script_program)";
        fail_with(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    Program script = m.program_scripts.front();
    m.program_scripts.erase(m.program_scripts.begin());
    if (script.start_error != ERROR_SUCCESS) {
        fail_with(script.start_error);
        return FALSE;
    }
    StartedProgram program;
    program.script = script;
    program.command_line = command_line;
    program.started_at_ms = m.elapsed_ms;
    m.started.push_back(program);
    if (script.game_pid != 0) {
        add_process_at(m.elapsed_ms + script.game_after_ms, script.game_pid, script.game_exe);
        m.processes.back().waits_before_end = script.game_waits;
    }
    size_t slot = m.started.size() - 1;
    process_information->hProcess = make_handle(kind_started, slot);
    process_information->hThread = make_handle(kind_started_thread, slot);
    process_information->dwProcessId = script.pid;
    process_information->dwThreadId = script.pid + 1;
    call.handle = process_information->hProcess;
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code)
{
    Machine& m = machine();
    record("GetExitCodeProcess").handle = process;
    long slot = open_slot(process, kind_started);
    if (slot < 0) {
        // A process opened for waiting only (SYNCHRONIZE) may not be asked.
        fail_with(open_slot(process, kind_process) >= 0 ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const StartedProgram& program = m.started[static_cast<size_t>(slot)];
    *exit_code = end_of(program) <= m.elapsed_ms ? program.script.exit_code : STILL_ACTIVE;
    return TRUE;
}

}  // extern "C"
