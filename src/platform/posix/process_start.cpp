// Starting a program: CreateProcessA over posix_spawnp, the exit code of a started program, the
// waits and the close of its handle, and SIGINT and SIGTERM passed on to it while it runs.
//
// A started program's handle holds its pid, not a descriptor: the program is this process's
// child, and a child's pid stays its own until the child is reaped, which only CloseHandle does
// (a Windows process handle likewise keeps its process's object). Until then the child ends as
// a zombie, which keeps its exit status for GetExitCodeProcess.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/command_line.h"
#include "platform/posix/posix_internal.h"

extern char** environ;

// A Windows command line is at most 32767 characters; its words, split, take no more room, and
// there can be no more of them than half that.
static const size_t kCommandLineCapacity = 32768;
static char g_command_text[kCommandLineCapacity];
static char* g_command_words[kCommandLineCapacity / 2 + 1];

// ---- passing SIGINT and SIGTERM on --------------------------------------------------------------
// On Windows a console program started this way shares its parent's console, and Ctrl+C or the
// console's closing reaches every program of it. Here the signals a launcher sends to stop the
// game (SIGINT, SIGTERM) are passed on to the started program instead of ending this one, which
// then goes on to its normal end once the program it started has ended. Once that program has
// ended there is nobody to pass them to, and they have their own actions again (by default they
// end this program, as before anything was started).

static const int kForwardedSignals[] = {SIGINT, SIGTERM};
static const size_t kForwardedCount = sizeof kForwardedSignals / sizeof kForwardedSignals[0];

// Written by the main line only, before the child exists; read by the handlers.
static struct sigaction g_saved_actions[kForwardedCount];
static bool g_passed_on[kForwardedCount];  // false for a signal ignored from the start
static struct sigaction g_saved_child_action;
static bool g_forwarding = false;
// The child the signals go to: 0 while it is being started, -1 once it has ended.
static volatile sig_atomic_t g_forward_pid = 0;
// A signal that came while the child was being started.
static volatile sig_atomic_t g_pending_signal = 0;

// Async-signal-safe, as everything the handlers call: sigaction, kill, raise.
static void posix_restore_forwarded_actions(void)
{
    for (size_t index = 0; index < kForwardedCount; ++index) {
        if (g_passed_on[index]) {
            sigaction(kForwardedSignals[index], &g_saved_actions[index], nullptr);
        }
    }
}

static void posix_forward_signal(int signal_number)
{
    int saved_errno = errno;
    pid_t pid = (pid_t)g_forward_pid;
    if (pid > 0) {
        kill(pid, signal_number);
    } else if (pid == 0) {
        g_pending_signal = signal_number;
    } else {
        // Came just as the child ended: its own action, now.
        posix_restore_forwarded_actions();
        raise(signal_number);
    }
    errno = saved_errno;
}

static void posix_note_child_end(int signal_number, siginfo_t* info, void* context)
{
    (void)signal_number;
    (void)context;
    int saved_errno = errno;
    bool ended = info->si_code == CLD_EXITED || info->si_code == CLD_KILLED || info->si_code == CLD_DUMPED;
    if (ended && g_forward_pid > 0 && info->si_pid == (pid_t)g_forward_pid) {
        posix_restore_forwarded_actions();
        g_forward_pid = -1;
    }
    errno = saved_errno;
}

// A signal ignored when this program started (a launcher's background job) stays ignored, and
// the started program inherits that, as it would from a shell. SIGCHLD is this layer's while a
// child is forwarded to; an ignored SIGCHLD (inherited so from a launcher) would otherwise have
// the child reaped behind its back and its exit status lost.
static void posix_start_forwarding(void)
{
    struct sigaction forward;
    memset(&forward, 0, sizeof forward);
    forward.sa_handler = posix_forward_signal;
    forward.sa_flags = SA_RESTART;
    sigemptyset(&forward.sa_mask);
    g_forward_pid = 0;
    if (g_forwarding) {
        // A further child: the signals may have been handed back when the last one ended.
        for (size_t index = 0; index < kForwardedCount; ++index) {
            if (g_passed_on[index]) {
                sigaction(kForwardedSignals[index], &forward, nullptr);
            }
        }
        return;
    }
    struct sigaction child;
    memset(&child, 0, sizeof child);
    child.sa_sigaction = posix_note_child_end;
    child.sa_flags = SA_SIGINFO | SA_NOCLDSTOP | SA_RESTART;
    sigemptyset(&child.sa_mask);
    sigaction(SIGCHLD, &child, &g_saved_child_action);
    for (size_t index = 0; index < kForwardedCount; ++index) {
        g_passed_on[index] = sigaction(kForwardedSignals[index], &forward, &g_saved_actions[index]) == 0;
        if (g_passed_on[index] && g_saved_actions[index].sa_handler == SIG_IGN) {
            sigaction(kForwardedSignals[index], &g_saved_actions[index], nullptr);
            g_passed_on[index] = false;
        }
    }
    g_forwarding = true;
}

// Back to the actions from before; a signal that came while the child was being started gets
// its own action now (by default it ends this program, as it would have).
static void posix_stop_forwarding(void)
{
    if (!g_forwarding) {
        return;
    }
    g_forward_pid = -1;
    posix_restore_forwarded_actions();
    sigaction(SIGCHLD, &g_saved_child_action, nullptr);
    for (size_t index = 0; index < kForwardedCount; ++index) {
        g_passed_on[index] = false;
    }
    g_forwarding = false;
    g_forward_pid = 0;
    int pending = (int)g_pending_signal;
    g_pending_signal = 0;
    if (pending != 0) {
        raise(pending);
    }
}

// ---- the child's state ----------------------------------------------------------------------------

// 1 when the child has ended (info then holds how), 0 while it runs, -1 on failure (last error
// set). The child is not reaped.
static int posix_child_state(pid_t pid, siginfo_t* info, int block)
{
    memset(info, 0, sizeof *info);
    int result;
    do {
        result = waitid(P_PID, (id_t)pid, info, WEXITED | WNOWAIT | (block ? 0 : WNOHANG));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        posix_set_last_error(errno == ECHILD ? ERROR_INVALID_HANDLE : posix_win32_error(errno, kPosixCallOther));
        return -1;
    }
    return info->si_pid == pid ? 1 : 0;
}

DWORD posix_wait_child(pid_t pid, DWORD milliseconds)
{
    siginfo_t info;
    if (milliseconds == INFINITE) {
        return posix_child_state(pid, &info, 1) < 0 ? WAIT_FAILED : WAIT_OBJECT_0;
    }
    if (milliseconds > 0) {
        // A pidfd of the child (also of a zombie) signals its end without polling.
        long fd = syscall(SYS_pidfd_open, pid, 0u);
        if (fd >= 0) {
            DWORD result = WaitForSingleObject(posix_handle_make((int)fd, kPosixHandleProcess), milliseconds);
            close((int)fd);
            return result;
        }
        if (errno != ENOSYS) {
            posix_set_last_error_from_errno(kPosixCallOther);
            return WAIT_FAILED;
        }
    }
    // Without pidfds the child is looked at every few milliseconds.
    const int64_t kStepMs = 10;
    int64_t deadline_ms = posix_monotonic_ms() + (int64_t)milliseconds;
    for (;;) {
        int state = posix_child_state(pid, &info, 0);
        if (state != 0) {
            return state > 0 ? WAIT_OBJECT_0 : WAIT_FAILED;
        }
        int64_t left_ms = deadline_ms - posix_monotonic_ms();
        if (left_ms <= 0) {
            return WAIT_TIMEOUT;
        }
        struct timespec step;
        step.tv_sec = 0;
        step.tv_nsec = (long)((left_ms > kStepMs ? kStepMs : left_ms) * 1000000);
        nanosleep(&step, nullptr);
    }
}

void posix_close_child(pid_t pid)
{
    // Reaped if it has ended; one still running is left to run, as on Windows.
    siginfo_t info;
    waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG);
    if (g_forwarding && (pid == (pid_t)g_forward_pid || g_forward_pid < 0)) {
        posix_stop_forwarding();
    }
}

// ---- the Win32 calls --------------------------------------------------------------------------------

// Only what the system asks for is supported: the program and its arguments from the command
// line alone, the program's own environment, folder, console and standard handles. Every
// descriptor of this layer is close-on-exec, so whatever inherit_handles says the started
// program gets standard input, output and error only, as a console program on Windows does.
BOOL WINAPI CreateProcessA(LPCSTR application_name, LPSTR command_line,
                           LPSECURITY_ATTRIBUTES process_attributes,
                           LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles,
                           DWORD creation_flags, LPVOID environment, LPCSTR current_directory,
                           LPSTARTUPINFOA startup_info,
                           LPPROCESS_INFORMATION process_information)
{
    (void)process_attributes;
    (void)thread_attributes;
    (void)inherit_handles;
    if (application_name != nullptr || command_line == nullptr || creation_flags != 0 ||
        environment != nullptr || current_directory != nullptr || startup_info == nullptr ||
        process_information == nullptr || strlen(command_line) >= kCommandLineCapacity) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    long count = posix_split_command_line(command_line, g_command_text, g_command_words,
                                          sizeof g_command_words / sizeof g_command_words[0]);
    if (count <= 0) {
        posix_set_last_error(ERROR_FILE_NOT_FOUND);  // no program named
        return FALSE;
    }
    posix_start_forwarding();
    pid_t pid = 0;
    // Searched in PATH like execvp, but a file that is no program is refused (ENOEXEC) rather
    // than handed to the shell, as Windows refuses it.
    int error_number = posix_spawnp(&pid, g_command_words[0], nullptr, nullptr, g_command_words, environ);
    if (error_number != 0) {
        posix_stop_forwarding();
        posix_set_last_error(posix_win32_error(error_number, kPosixCallSpawn));
        return FALSE;
    }
    g_forward_pid = (sig_atomic_t)pid;
    int pending = (int)g_pending_signal;
    if (pending != 0) {
        g_pending_signal = 0;
        kill(pid, pending);
    }
    // A child that ended before its pid was known here was not noticed by the SIGCHLD handler.
    siginfo_t info;
    if (posix_child_state(pid, &info, 0) > 0) {
        g_forward_pid = -1;
        posix_restore_forwarded_actions();
    }
    process_information->hProcess = posix_handle_make((int)pid, kPosixHandleChild);
    process_information->hThread = posix_handle_make((int)pid, kPosixHandleThread);
    process_information->dwProcessId = (DWORD)pid;
    process_information->dwThreadId = (DWORD)pid;  // a process's first thread has its pid as id
    return TRUE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exit_code)
{
    int pid = posix_handle_fd(process, kPosixHandleChild);
    if (pid <= 0) {
        // A process opened by OpenProcess was opened for waiting only, which on Windows does
        // not include the right to read its exit code.
        int kind = posix_handle_kind(process);
        posix_set_last_error(kind == kPosixHandleProcess || kind == kPosixHandleProcessDir
                                 ? ERROR_ACCESS_DENIED
                                 : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (exit_code == nullptr) {
        posix_set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    siginfo_t info;
    int state = posix_child_state((pid_t)pid, &info, 0);
    if (state < 0) {
        return FALSE;
    }
    if (state == 0) {
        *exit_code = STILL_ACTIVE;
    } else if (info.si_code == CLD_EXITED) {
        *exit_code = (DWORD)info.si_status;
    } else {
        // Ended by a signal: 128 and the signal's number, as shells report it (Windows has no
        // signals; a program ended from outside there has the code its killer chose).
        *exit_code = 128u + (DWORD)info.si_status;
    }
    return TRUE;
}
