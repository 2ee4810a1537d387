// The allocation counter of alloc_guard.h: replaced operator new, wrapped C allocators, and the
// wrapped platform functions that raise the platform depth around the fake.
#include "soak/alloc_guard.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/platform.h"

extern "C" void* __real_malloc(size_t size);

namespace {

// One thread runs everything; thread_local keeps the counter honest if gtest ever adds one.
thread_local int t_program_depth = 0;
thread_local int t_platform_depth = 0;
size_t g_program_allocations = 0;

void note_allocation()
{
    if (t_program_depth > 0 && t_platform_depth == 0) {
        ++g_program_allocations;
    }
}

// Raises the platform depth for the lifetime of one wrapped call.
struct PlatformScope {
    PlatformScope() { ++t_platform_depth; }
    ~PlatformScope() { --t_platform_depth; }
    PlatformScope(const PlatformScope&) = delete;
    PlatformScope& operator=(const PlatformScope&) = delete;
};

void* allocate_or_throw(size_t size)
{
    note_allocation();
    void* block = __real_malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

namespace soak {

void alloc_guard_enter() { ++t_program_depth; }
void alloc_guard_leave() { --t_program_depth; }
size_t program_allocations() { return g_program_allocations; }

}  // namespace soak

// ---- operator new, every form that allocates -------------------------------------------------
void* operator new(size_t size) { return allocate_or_throw(size); }
void* operator new[](size_t size) { return allocate_or_throw(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    note_allocation();
    return __real_malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    note_allocation();
    return __real_malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

extern "C" {

// ---- the C allocators, as referenced from the program's objects (--wrap) ----------------------
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* block, size_t size);
char* __real_strdup(const char* text);
char* __real_strndup(const char* text, size_t size);

void* __wrap_malloc(size_t size)
{
    note_allocation();
    return __real_malloc(size);
}
void* __wrap_calloc(size_t count, size_t size)
{
    note_allocation();
    return __real_calloc(count, size);
}
void* __wrap_realloc(void* block, size_t size)
{
    note_allocation();
    return __real_realloc(block, size);
}
char* __wrap_strdup(const char* text)
{
    note_allocation();
    return __real_strdup(text);
}
char* __wrap_strndup(const char* text, size_t size)
{
    note_allocation();
    return __real_strndup(text, size);
}

// ---- the platform functions: the fake runs at platform depth ----------------------------------
HANDLE WINAPI __real_CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL WINAPI __real_ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI __real_WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL WINAPI __real_PeekNamedPipe(HANDLE, LPVOID, DWORD, LPDWORD, LPDWORD, LPDWORD);
BOOL WINAPI __real_CloseHandle(HANDLE);
BOOL WINAPI __real_CreateDirectoryA(LPCSTR, LPSECURITY_ATTRIBUTES);
DWORD WINAPI __real_GetModuleFileNameA(HMODULE, LPSTR, DWORD);
DWORD WINAPI __real_GetLastError(void);
void WINAPI __real_GetLocalTime(LPSYSTEMTIME);
void WINAPI __real_GetSystemTimeAsFileTime(LPFILETIME);
DWORD WINAPI __real_GetTickCount(void);
void WINAPI __real_Sleep(DWORD);
LPSTR WINAPI __real_lstrcpynA(LPSTR, LPCSTR, int);
HANDLE WINAPI __real_CreateToolhelp32Snapshot(DWORD, DWORD);
BOOL WINAPI __real_Process32First(HANDLE, LPPROCESSENTRY32);
BOOL WINAPI __real_Process32Next(HANDLE, LPPROCESSENTRY32);
HANDLE WINAPI __real_OpenProcess(DWORD, BOOL, DWORD);
DWORD WINAPI __real_WaitForSingleObject(HANDLE, DWORD);

HANDLE WINAPI __wrap_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE template_file)
{
    PlatformScope scope;
    return __real_CreateFileA(name, access, share, security, disposition, flags, template_file);
}
BOOL WINAPI __wrap_ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    PlatformScope scope;
    return __real_ReadFile(file, buffer, size, done, overlapped);
}
BOOL WINAPI __wrap_WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED overlapped)
{
    PlatformScope scope;
    return __real_WriteFile(file, buffer, size, done, overlapped);
}
BOOL WINAPI __wrap_PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read, LPDWORD available,
                                 LPDWORD left)
{
    PlatformScope scope;
    return __real_PeekNamedPipe(pipe, buffer, size, read, available, left);
}
BOOL WINAPI __wrap_CloseHandle(HANDLE object)
{
    PlatformScope scope;
    return __real_CloseHandle(object);
}
BOOL WINAPI __wrap_CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    PlatformScope scope;
    return __real_CreateDirectoryA(path, security);
}
DWORD WINAPI __wrap_GetModuleFileNameA(HMODULE module, LPSTR name, DWORD size)
{
    PlatformScope scope;
    return __real_GetModuleFileNameA(module, name, size);
}
DWORD WINAPI __wrap_GetLastError(void)
{
    PlatformScope scope;
    return __real_GetLastError();
}
void WINAPI __wrap_GetLocalTime(LPSYSTEMTIME local)
{
    PlatformScope scope;
    __real_GetLocalTime(local);
}
void WINAPI __wrap_GetSystemTimeAsFileTime(LPFILETIME utc)
{
    PlatformScope scope;
    __real_GetSystemTimeAsFileTime(utc);
}
DWORD WINAPI __wrap_GetTickCount(void)
{
    PlatformScope scope;
    return __real_GetTickCount();
}
void WINAPI __wrap_Sleep(DWORD milliseconds)
{
    PlatformScope scope;
    __real_Sleep(milliseconds);
}
LPSTR WINAPI __wrap_lstrcpynA(LPSTR out, LPCSTR text, int max_length)
{
    PlatformScope scope;
    return __real_lstrcpynA(out, text, max_length);
}
HANDLE WINAPI __wrap_CreateToolhelp32Snapshot(DWORD flags, DWORD pid)
{
    PlatformScope scope;
    return __real_CreateToolhelp32Snapshot(flags, pid);
}
BOOL WINAPI __wrap_Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    PlatformScope scope;
    return __real_Process32First(snapshot, entry);
}
BOOL WINAPI __wrap_Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    PlatformScope scope;
    return __real_Process32Next(snapshot, entry);
}
HANDLE WINAPI __wrap_OpenProcess(DWORD access, BOOL inherit, DWORD pid)
{
    PlatformScope scope;
    return __real_OpenProcess(access, inherit, pid);
}
DWORD WINAPI __wrap_WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    PlatformScope scope;
    return __real_WaitForSingleObject(handle, milliseconds);
}

}  // extern "C"
