// Launch mode: the command after "--" started, the game looked for while it runs, its exit
// status handed back at the end.
#include "driver/launch.h"

#include <string.h>

#include "common/format.h"
#include "common/text.h"
#include "driver/driver.h"
#include "files/log.h"

namespace {

// A Windows command line is at most 32767 characters.
const uint32_t kCommandLineCapacity = 32768;
// The command as the log shows it: enough to recognise it, and the message still ends in
// "; Brightrelay exiting.".
const uint32_t kShownCommandCapacity = 768;
const uint32_t kMessageCapacity = kShownCommandCapacity + 128;

int is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// A short reason for a start that failed, and the exit status a shell gives for it.
void describe_start_failure(DWORD error, char* reason, uint32_t capacity, int* status)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        copy_bounded(reason, capacity, "file not found");
        *status = 127;
        break;
    case ERROR_PATH_NOT_FOUND:
        copy_bounded(reason, capacity, "path not found");
        *status = 127;
        break;
    case ERROR_ACCESS_DENIED:
        copy_bounded(reason, capacity, "access denied");
        *status = 126;
        break;
    default:
        format_bounded(reason, capacity, "error %lu", static_cast<unsigned long>(error));
        *status = 1;
        break;
    }
}

void log_start_failure(const char* command, DWORD error, int* status)
{
    char reason[32];
    describe_start_failure(error, reason, sizeof reason, status);
    char shown[kShownCommandCapacity];
    copy_bounded(shown, sizeof shown, command);
    // One message stays one line, whatever the command holds.
    blank_control_bytes(shown);
    char message[kMessageCapacity];
    format_bounded(message, sizeof message, "Could not start the command %s: %s; Brightrelay exiting.", shown, reason);
    log_line(message);
}

}  // namespace

const char* launch_separator(const char* command_line)
{
    if (command_line == nullptr) {
        return nullptr;
    }
    for (const char* at = strstr(command_line, "--"); at != nullptr; at = strstr(at + 1, "--")) {
        bool starts_word = at == command_line || is_blank(at[-1]);
        bool ends_word = at[2] == '\0' || is_blank(at[2]);
        if (starts_word && ends_word) {
            return at;
        }
    }
    return nullptr;
}

uint32_t launch_pid_option(const char* command_line, const char* separator)
{
    if (separator == nullptr) {
        return parse_pid_option(command_line);
    }
    // The options of the command belong to the command.
    const char* option = strstr(command_line, "--pid");
    return option != nullptr && option < separator ? parse_pid_option(option) : 0;
}

int launch_start(const char* separator, LaunchedCommand* launched, int* status)
{
    memset(launched, 0, sizeof *launched);
    const char* command = separator + 2;
    while (is_blank(*command)) {
        ++command;
    }
    // A copy, since CreateProcessA may write to the text it is given. On the stack: a static
    // buffer would take its whole size in the Windows program's file.
    char command_line[kCommandLineCapacity];
    copy_bounded(command_line, sizeof command_line, command);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information;
    memset(&information, 0, sizeof information);
    // Handles inherited and no console of its own: the command reads and writes what the
    // program was given, as when the launcher runs the command itself.
    if (!CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &information)) {
        log_start_failure(command, GetLastError(), status);
        return 0;
    }
    launched->started = 1;
    launched->process = information.hProcess;
    launched->thread = information.hThread;
    return 1;
}

uint32_t launch_find_game(const LaunchedCommand* launched)
{
    for (;;) {
        uint32_t id = scan_process_list_once();
        if (id != 0) {
            return id;
        }
        if (WaitForSingleObject(launched->process, kPassIntervalMs) != WAIT_TIMEOUT) {
            // The command has ended (or cannot be waited for): one more look, for a game it
            // started just before it ended.
            return scan_process_list_once();
        }
    }
}

int launch_finish(LaunchedCommand* launched)
{
    if (!launched->started) {
        return 0;
    }
    DWORD exit_code = 0;
    int status = 1;
    if (WaitForSingleObject(launched->process, INFINITE) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(launched->process, &exit_code)) {
        status = static_cast<int>(exit_code);
    }
    CloseHandle(launched->thread);
    CloseHandle(launched->process);
    memset(launched, 0, sizeof *launched);
    return status;
}
