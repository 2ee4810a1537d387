// The game watch driver: start-up, choice of the game process, the monitor loop, the end.
#include "driver/driver.h"

#include <stdlib.h>
#include <string.h>

#include "common/limits.h"
#include "common/unix_time.h"
#include "driver/launch.h"
#include "driver/presence.h"
#include "files/application_id.h"
#include "files/log.h"
#include "ipc/connection.h"
#include "platform/platform.h"

// The process list record is fixed by the platform; the 32-bit program walks it in this size.
static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 of the 32-bit build");

namespace {

const char kGameImageName[] = "Kel_Nordvale.exe";
const char kPidOption[] = "--pid";
const int kScanAttempts = 25;
const DWORD kScanIntervalMs = 200;

int ascii_lower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Compares whole names without regard to the case of ASCII letters.
int same_name_ignoring_case(const char* a, const char* b)
{
    while (*a != '\0' && ascii_lower(static_cast<unsigned char>(*a)) == ascii_lower(static_cast<unsigned char>(*b))) {
        ++a;
        ++b;
    }
    return *a == '\0' && *b == '\0';
}

}  // namespace

uint32_t scan_process_list_once(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32 entry;
    memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    uint32_t found = 0;
    BOOL more = Process32First(snapshot, &entry);
    while (more) {
        entry.szExeFile[sizeof entry.szExeFile - 1] = '\0';
        if (same_name_ignoring_case(entry.szExeFile, kGameImageName)) {
            found = entry.th32ProcessID;
            break;
        }
        more = Process32Next(snapshot, &entry);
    }
    CloseHandle(snapshot);
    return found;
}

namespace {

// The pause between passes is a wait on the game itself: the game's end wakes the loop at once,
// so the presence is cleared within moments of it rather than up to a pass interval later, and
// a pass costs one wait instead of a test and a sleep. The test before the first pass gives a
// game that has already ended no pass at all. Anything but a time-out ends the loop: the game's
// end and a failed wait alike.
void watch_game(HANDLE game, int presence_on, const char* application_id, uint32_t process_id,
                IpcConnection* connection)
{
    int64_t play_start_time = unix_time_now();
    if (WaitForSingleObject(game, 0) != WAIT_TIMEOUT) {
        return;
    }
    do {
        if (presence_on) {
            presence_pass(connection, application_id, process_id, play_start_time);
        }
    } while (WaitForSingleObject(game, kPassIntervalMs) == WAIT_TIMEOUT);
}

}  // namespace

uint32_t parse_pid_option(const char* command_line)
{
    if (command_line == nullptr) {
        return 0;
    }
    const char* option = strstr(command_line, kPidOption);
    if (option == nullptr) {
        return 0;
    }
    const char* value = option + (sizeof kPidOption - 1);
    while (*value == ' ' || *value == '\t') {
        ++value;
    }
    if (*value == '\0') {
        return 0;
    }
    char* end = nullptr;
    unsigned long id = strtoul(value, &end, 10);
    if (end == value) {
        return 0;
    }
    // Where unsigned long is 64 bits wide, a number beyond the 32-bit range must still give
    // the largest 32-bit value, and a minus sign must negate in 32-bit arithmetic, as they do
    // where it is 32 bits wide.
    if (sizeof(unsigned long) > 4) {
        const char* digits = value;
        while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) {
            ++digits;
        }
        int negative = *digits == '-';
        unsigned long magnitude = negative ? (0 - id) : id;
        if (magnitude > 0xFFFFFFFFul) {
            return 0xFFFFFFFFu;
        }
        return negative ? static_cast<uint32_t>(0u - static_cast<uint32_t>(magnitude)) : static_cast<uint32_t>(id);
    }
    return static_cast<uint32_t>(id);
}

uint32_t find_target_process(void)
{
    for (int attempt = 0; attempt < kScanAttempts; ++attempt) {
        uint32_t id = scan_process_list_once();
        if (id != 0) {
            return id;
        }
        Sleep(kScanIntervalMs);
    }
    return 0;
}

int brightrelay_run(const char* command_line)
{
    char application_id[kApplicationIdCapacity];
    memset(application_id, 0, sizeof application_id);

    IpcConnection connection;
    memset(&connection, 0, sizeof connection);
    connection.pipe = INVALID_HANDLE_VALUE;
    connection.nonce = GetTickCount();

    int presence_on = load_application_id(application_id, kApplicationIdCapacity);
    if (!presence_on) {
        log_line("Discord Rich Presence is disabled until a valid discord_application_id is configured.");
    }

    // After "--" comes a command to start; the run then ends with its exit status.
    const char* separator = launch_separator(command_line);
    LaunchedCommand launched;
    memset(&launched, 0, sizeof launched);
    int status = 0;
    if (separator != nullptr && !launch_start(separator, &launched, &status)) {
        return status;
    }

    uint32_t process_id = launch_pid_option(command_line, separator);
    if (process_id == 0) {
        process_id = launched.started ? launch_find_game(&launched) : find_target_process();
    }
    if (process_id == 0) {
        log_line("No running Kel_Nordvale.exe found; Brightrelay exiting.");
        return launch_finish(&launched);
    }
    HANDLE game = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (game == nullptr) {
        log_line("Could not open the target Kel process; Brightrelay exiting.");
        return launch_finish(&launched);
    }
    log_line("Kel_Nordvale.exe detected.");

    watch_game(game, presence_on, application_id, process_id, &connection);

    presence_end(&connection, process_id);
    CloseHandle(game);
    log_line("Kel stopped; Brightrelay exiting.");
    return launch_finish(&launched);
}
