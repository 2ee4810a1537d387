// The fake platform's processes: a table in insertion order, snapshots of it, waits on handles.
#include <gtest/gtest.h>

#include <cstring>

#include "fake/fake_state.h"

namespace fake {
namespace detail {

namespace {

// The live entry of pid, the one added last; -1 when it has none.
long live_process(DWORD pid)
{
    Machine& m = machine();
    for (size_t i = m.processes.size(); i > 0; --i) {
        if (m.processes[i - 1].pid == pid && process_runs(m.processes[i - 1])) {
            return static_cast<long>(i - 1);
        }
    }
    return -1;
}

BOOL fill_entry(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first)
{
    Machine& m = machine();
    long slot = open_slot(snapshot, kind_snapshot);
    if (slot < 0) {
        fail_with(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Windows reports ERROR_BAD_LENGTH here, which the subset does not declare.
    if (entry == nullptr || entry->dwSize != sizeof(PROCESSENTRY32)) {
        fail_with(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SnapshotSlot& walk = m.snapshot_slots[static_cast<size_t>(slot)];
    if (first) {
        walk.next = 0;
    }
    if (walk.next >= walk.entries.size()) {
        fail_with(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const SnapshotEntry& process = walk.entries[walk.next++];
    entry->cntUsage = 0;
    entry->th32ProcessID = process.pid;
    entry->th32DefaultHeapID = 0;
    entry->th32ModuleID = 0;
    entry->cntThreads = 1;
    entry->th32ParentProcessID = 0;
    entry->pcPriClassBase = 8;
    entry->dwFlags = 0;
    size_t length = process.exe_name.size() < MAX_PATH - 1 ? process.exe_name.size() : MAX_PATH - 1;
    memcpy(entry->szExeFile, process.exe_name.data(), length);
    entry->szExeFile[length] = '\0';
    return TRUE;
}

}  // namespace

bool process_runs(const Process& process)
{
    return !process.ended && machine().elapsed_ms >= process.starts_at_ms;
}

}  // namespace detail

using namespace detail;

void add_process(DWORD pid, const std::string& exe_name)
{
    add_process_at(0, pid, exe_name);
}

void add_process_at(uint64_t at_ms, DWORD pid, const std::string& exe_name)
{
    Process process;
    process.pid = pid;
    process.exe_name = exe_name;
    process.starts_at_ms = at_ms;
    machine().processes.push_back(process);
}

void end_process(DWORD pid)
{
    long index = live_process(pid);
    if (index >= 0) {
        machine().processes[static_cast<size_t>(index)].ended = true;
    }
}

void end_process_after_waits(DWORD pid, int waits)
{
    long index = live_process(pid);
    if (index < 0) {
        ADD_FAILURE() << "end_process_after_waits: no running process " << pid;
        return;
    }
    machine().processes[static_cast<size_t>(index)].waits_before_end = waits < 0 ? 0 : waits;
}

void end_process_at(DWORD pid, uint64_t at_ms)
{
    long index = live_process(pid);
    if (index < 0) {
        ADD_FAILURE() << "end_process_at: no running process " << pid;
        return;
    }
    Process& process = machine().processes[static_cast<size_t>(index)];
    process.end_scheduled = true;
    process.end_at_ms = at_ms;
}

void set_process_openable(DWORD pid, bool openable)
{
    long index = live_process(pid);
    if (index >= 0) {
        machine().processes[static_cast<size_t>(index)].openable = openable;
    }
}

void fail_snapshots(int count)
{
    machine().snapshot_failures = count;
}

void fail_waits(bool fail)
{
    machine().fail_waits = fail;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

extern "C" {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD process_id)
{
    Machine& m = machine();
    Call& call = record("CreateToolhelp32Snapshot");
    call.flags = flags;
    call.size = process_id;
    call.handle = INVALID_HANDLE_VALUE;
    if (m.snapshot_failures > 0) {
        --m.snapshot_failures;
        fail_with(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    SnapshotSlot slot;
    slot.open = true;
    if ((flags & TH32CS_SNAPPROCESS) != 0) {
        for (const Process& process : m.processes) {
            if (process_runs(process)) {
                SnapshotEntry entry;
                entry.pid = process.pid;
                entry.exe_name = process.exe_name;
                slot.entries.push_back(entry);
            }
        }
    }
    m.snapshot_slots.push_back(slot);
    HANDLE handle = make_handle(kind_snapshot, m.snapshot_slots.size() - 1);
    m.calls.back().handle = handle;
    return handle;
}

BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    record("Process32First").handle = snapshot;
    return fill_entry(snapshot, entry, true);
}

BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    record("Process32Next").handle = snapshot;
    return fill_entry(snapshot, entry, false);
}

HANDLE WINAPI OpenProcess(DWORD desired_access, BOOL inherit_handle, DWORD process_id)
{
    Machine& m = machine();
    Call& call = record("OpenProcess");
    call.access = desired_access;
    call.size = process_id;
    (void)inherit_handle;
    long index = live_process(process_id);
    if (index < 0) {
        fail_with(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!m.processes[static_cast<size_t>(index)].openable) {
        fail_with(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ProcessSlot slot;
    slot.open = true;
    slot.process = static_cast<size_t>(index);
    m.process_slots.push_back(slot);
    HANDLE handle = make_handle(kind_process, m.process_slots.size() - 1);
    m.calls.back().handle = handle;
    return handle;
}

// A wait on a process with a time-out runs on the virtual clock. The process ends during the wait
// when its end is scheduled within the time-out (end_process_at): the clock moves on to that
// moment and the wait returns at once, as a real wait wakes when the process ends. Otherwise the
// whole time-out passes as a Sleep of it would, hooks included; what the hooks did to the process
// (ended it, or made waits fail) is what the wait reports, since it happened within the wait.
// A started program's end is scripted in virtual time, and waits on it follow that script.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Machine& m = machine();
    Call& call = record("WaitForSingleObject");
    call.handle = handle;
    call.size = milliseconds;
    long started = open_slot(handle, kind_started);
    if (started >= 0) {
        return wait_started(static_cast<size_t>(started), milliseconds);
    }
    long slot = open_slot(handle, kind_process);
    if (slot < 0) {
        fail_with(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    size_t index = m.process_slots[static_cast<size_t>(slot)].process;
    // The state as it stands now; the hooks below may change the process table.
    auto settled = [&m, index]() -> DWORD {
        if (m.fail_waits) {
            fail_with(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        Process& process = m.processes[index];
        if (process.end_scheduled && process.end_at_ms <= now_ms()) {
            process.ended = true;
        }
        if (process.waits_before_end == 0) {
            process.ended = true;
        }
        return process.ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    };
    DWORD state = settled();
    if (state != WAIT_TIMEOUT || milliseconds == 0) {
        if (state == WAIT_TIMEOUT && m.processes[index].waits_before_end > 0) {
            --m.processes[index].waits_before_end;
        }
        return state;
    }
    const Process& process = m.processes[index];
    if (milliseconds == INFINITE && !process.end_scheduled) {
        ADD_FAILURE() << "WaitForSingleObject without end on process " << process.pid
                      << ", which has no scheduled end: the run would never go on";
        fail_with(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (process.end_scheduled && (milliseconds == INFINITE || process.end_at_ms - now_ms() <= milliseconds)) {
        m.elapsed_ms = process.end_at_ms;
        return settled();
    }
    pass_time(milliseconds);
    state = settled();
    if (state == WAIT_TIMEOUT && m.processes[index].waits_before_end > 0) {
        --m.processes[index].waits_before_end;
    }
    return state;
}

}  // extern "C"
