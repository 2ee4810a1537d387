// The fake platform's files and folders: a path -> content map and a folder set, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "fake/fake_state.h"

namespace fake {
namespace detail {

namespace {

// The folder a path lives in: everything before its last backslash. A path without one lives
// in the current folder, which always exists.
bool parent_exists(const std::string& path)
{
    size_t separator = path.rfind('\\');
    if (separator == std::string::npos) {
        return true;
    }
    return machine().folders.count(path.substr(0, separator)) != 0;
}

FileFaults faults_of(const std::string& path)
{
    Machine& m = machine();
    auto found = m.faults.find(path);
    return found == m.faults.end() ? FileFaults() : found->second;
}

}  // namespace

void reset_files()
{
    Machine& m = machine();
    m.module_path = "C:\\Games\\Kel\\brightrelay.exe";
    m.folders.insert("C:");
    m.folders.insert("C:\\Games");
    m.folders.insert("C:\\Games\\Kel");
}

// Reads see the content as it is at read time (content is shared by path); a file removed while
// open reads as empty.
BOOL read_file_slot(size_t slot, void* buffer, DWORD size, DWORD* bytes_read)
{
    Machine& m = machine();
    FileSlot& file = m.file_slots[slot];
    if ((file.access & GENERIC_READ) == 0) {
        fail_with(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    FileFaults faults = faults_of(file.path);
    if (faults.fail_read) {
        fail_with(ERROR_GEN_FAILURE);
        return FALSE;
    }
    auto found = m.files.find(file.path);
    const std::string content = found == m.files.end() ? std::string() : found->second;
    uint64_t available = file.position < content.size() ? content.size() - file.position : 0;
    uint64_t count = std::min<uint64_t>(available, size);
    if (faults.read_limit != 0) {
        count = std::min<uint64_t>(count, faults.read_limit);
    }
    if (count != 0) {
        memcpy(buffer, content.data() + file.position, static_cast<size_t>(count));
    }
    file.position += count;
    if (bytes_read != nullptr) {
        *bytes_read = static_cast<DWORD>(count);
    }
    return TRUE;
}

// FILE_APPEND_DATA without GENERIC_WRITE appends at the current end, as Windows does for an
// append-only handle; GENERIC_WRITE writes at the handle's position.
BOOL write_file_slot(size_t slot, const void* buffer, DWORD size, DWORD* bytes_written)
{
    Machine& m = machine();
    FileSlot& file = m.file_slots[slot];
    bool generic_write = (file.access & GENERIC_WRITE) != 0;
    bool append_only = !generic_write && (file.access & FILE_APPEND_DATA) != 0;
    if (!generic_write && !append_only) {
        fail_with(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    FileFaults faults = faults_of(file.path);
    if (faults.fail_write) {
        fail_with(ERROR_HANDLE_DISK_FULL);
        return FALSE;
    }
    DWORD count = size;
    if (faults.write_limit != 0) {
        count = std::min(count, faults.write_limit);
    }
    std::string& content = m.files[file.path];
    uint64_t at = append_only ? content.size() : file.position;
    if (content.size() < at + count) {
        content.resize(static_cast<size_t>(at + count), '\0');
    }
    if (count != 0) {
        memcpy(&content[static_cast<size_t>(at)], buffer, count);
    }
    file.position = at + count;
    if (bytes_written != nullptr) {
        *bytes_written = count;
    }
    return TRUE;
}

}  // namespace detail

using namespace detail;

void set_module_path(const std::string& path)
{
    machine().module_path = path;
}

void add_folder(const std::string& path)
{
    machine().folders.insert(path);
}

bool folder_exists(const std::string& path)
{
    return machine().folders.count(path) != 0;
}

void fail_create_directory(bool fail)
{
    machine().fail_create_directory = fail;
}

void put_file(const std::string& path, const std::string& content)
{
    machine().files[path] = content;
}

bool file_exists(const std::string& path)
{
    return machine().files.count(path) != 0;
}

std::string file_content(const std::string& path)
{
    Machine& m = machine();
    auto found = m.files.find(path);
    return found == m.files.end() ? std::string() : found->second;
}

void remove_file(const std::string& path)
{
    machine().files.erase(path);
}

void set_file_faults(const std::string& path, const FileFaults& faults)
{
    machine().faults[path] = faults;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file)
{
    Machine& m = machine();
    Call& call = record("CreateFileA");
    call.path = file_name != nullptr ? file_name : "";
    call.access = desired_access;
    call.share = share_mode;
    call.disposition = creation_disposition;
    call.flags = flags_and_attributes;
    call.handle = INVALID_HANDLE_VALUE;
    (void)security_attributes;
    (void)template_file;
    if (file_name == nullptr) {
        fail_with(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (is_pipe_name(file_name)) {
        HANDLE pipe = open_pipe(file_name);
        m.calls.back().handle = pipe;
        return pipe;
    }
    const std::string path = file_name;
    if (m.folders.count(path) != 0) {
        fail_with(ERROR_ACCESS_DENIED);  // a folder opened as a file
        return INVALID_HANDLE_VALUE;
    }
    if (!parent_exists(path)) {
        fail_with(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (faults_of(path).fail_open) {
        fail_with(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool exists = m.files.count(path) != 0;
    switch (creation_disposition) {
    case CREATE_NEW:
        if (exists) {
            fail_with(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        m.files[path] = std::string();
        break;
    case CREATE_ALWAYS:
        m.files[path] = std::string();
        break;
    case OPEN_EXISTING:
        if (!exists) {
            fail_with(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        break;
    case OPEN_ALWAYS:
        if (!exists) {
            m.files[path] = std::string();
        }
        break;
    default:
        fail_with(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    FileSlot slot;
    slot.open = true;
    slot.path = path;
    slot.access = desired_access;
    m.file_slots.push_back(slot);
    HANDLE handle = make_handle(kind_file, m.file_slots.size() - 1);
    m.calls.back().handle = handle;
    return handle;
}

BOOL WINAPI CreateDirectoryA(LPCSTR path_name, LPSECURITY_ATTRIBUTES security_attributes)
{
    Machine& m = machine();
    Call& call = record("CreateDirectoryA");
    call.path = path_name != nullptr ? path_name : "";
    (void)security_attributes;
    if (path_name == nullptr) {
        fail_with(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string path = path_name;
    if (m.fail_create_directory) {
        fail_with(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (m.folders.count(path) != 0 || m.files.count(path) != 0) {
        fail_with(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!parent_exists(path)) {
        fail_with(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    m.folders.insert(path);
    return TRUE;
}

// As current Windows: the length copied when it fits; when cut, size - 1 characters and the
// terminator, the result size and ERROR_INSUFFICIENT_BUFFER.
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size)
{
    Machine& m = machine();
    Call& call = record("GetModuleFileNameA");
    call.size = size;
    (void)module;
    if (m.module_path.empty()) {
        fail_with(ERROR_GEN_FAILURE);
        return 0;
    }
    if (size == 0) {
        fail_with(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    DWORD length = static_cast<DWORD>(m.module_path.size());
    if (length < size) {
        memcpy(file_name, m.module_path.c_str(), length + 1);
        return length;
    }
    memcpy(file_name, m.module_path.data(), size - 1);
    file_name[size - 1] = '\0';
    fail_with(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

}  // extern "C"
