// The subset of the Win32 API that the system uses, declared for platforms other than Windows.
//
// Types keep their Win32 widths (DWORD is 32 bits here too, although unsigned long is 64 bits
// on Linux), constants keep their Win32 values, and the functions keep their Win32 contracts:
// results, handle values, GetLastError codes. Implemented over POSIX in src/platform/posix/.
#pragma once

#include <stdint.h>

#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef BYTE* LPBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uintptr_t ULONG_PTR;
typedef char CHAR;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#ifdef __cplusplus
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#else
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#endif

// Access rights, share modes, dispositions and attributes of CreateFileA.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_APPEND_DATA 0x00000004u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// Processes.
#define SYNCHRONIZE 0x00100000u
#define TH32CS_SNAPPROCESS 0x00000002u
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu
#define STILL_ACTIVE 259u  // the exit code of a process that has not ended

// The GetLastError codes that the POSIX layer reports.
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_NO_PROC_SLOTS 89u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_BAD_EXE_FORMAT 193u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_PIPE_BUSY 231u
#define ERROR_NO_DATA 232u

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

// Files, folders and pipes. Backslashes in paths are separators; the pipe names
// "\\.\pipe\discord-ipc-N" open the Discord desktop client's Unix domain socket.
HANDLE WINAPI CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                          LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                          DWORD flags_and_attributes, HANDLE template_file);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                          LPDWORD total_bytes_avail, LPDWORD bytes_left_this_message);
BOOL WINAPI CloseHandle(HANDLE object);
BOOL WINAPI CreateDirectoryA(LPCSTR path_name, LPSECURITY_ATTRIBUTES security_attributes);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
DWORD WINAPI GetLastError(void);

// Time and pacing.
void WINAPI GetLocalTime(LPSYSTEMTIME system_time);
void WINAPI GetSystemTimeAsFileTime(LPFILETIME system_time_as_file_time);
DWORD WINAPI GetTickCount(void);
void WINAPI Sleep(DWORD milliseconds);

// Text.
LPSTR WINAPI lstrcpynA(LPSTR string1, LPCSTR string2, int max_length);

// Processes.
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
HANDLE WINAPI OpenProcess(DWORD desired_access, BOOL inherit_handle, DWORD process_id);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Starts the program named by the first word of command_line (application_name null), with
// the words after it as its arguments, split as the Microsoft C runtime splits them.
BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code);

#ifdef __cplusplus
}
#endif
