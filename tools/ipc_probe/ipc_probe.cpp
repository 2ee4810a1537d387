// Drives the Discord IPC client over the real platform, one command-line command at a time,
// and prints one result line per command, for end-to-end tests against the stand-in Discord.
//
//   ipc_probe [pid N] [nonce N] [connect ID] [publish TEXT] [clear] [peek] [sleep MS] [await]...
//
// Each result line is "<command> <result> nonce=<counter> ms=<time the command took>", with the
// result 1 or 0 (connect, publish), "connected" or "not-connected" (peek, clear), "done" (sleep,
// await). "await" prints "awaiting" and then blocks until a line arrives on standard input, so
// that a test can change the world (restart the stand-in) at a known point of the run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ipc/connection.h"
#include "ipc/frame.h"
#include "platform/platform.h"

static void report(const char* command, const char* result, const IpcConnection& connection,
                   DWORD started_ms)
{
    printf("%s %s nonce=%lu ms=%lu\n", command, result,
           static_cast<unsigned long>(connection.nonce),
           static_cast<unsigned long>(GetTickCount() - started_ms));
    fflush(stdout);
}

static const char* state_of(const IpcConnection& connection)
{
    return connection.pipe == INVALID_HANDLE_VALUE ? "not-connected" : "connected";
}

static int usage(const char* problem)
{
    fprintf(stderr, "ipc_probe: %s\nusage: ipc_probe [pid N] [nonce N] [connect ID] [publish TEXT] "
                    "[clear] [peek] [sleep MS] [await]...\n", problem);
    return 2;
}

int main(int argc, char** argv)
{
    IpcConnection connection;
    memset(&connection, 0, sizeof connection);
    connection.pipe = INVALID_HANDLE_VALUE;
    connection.nonce = GetTickCount();
    uint32_t process_id = 4242;

    for (int i = 1; i < argc; ++i) {
        const char* command = argv[i];
        int takes_value = strcmp(command, "pid") == 0 || strcmp(command, "nonce") == 0 ||
                          strcmp(command, "connect") == 0 || strcmp(command, "publish") == 0 ||
                          strcmp(command, "sleep") == 0;
        const char* value = nullptr;
        if (takes_value) {
            if (i + 1 >= argc) {
                return usage("a command lacks its value");
            }
            value = argv[++i];
        }
        DWORD started_ms = GetTickCount();
        if (strcmp(command, "pid") == 0) {
            process_id = static_cast<uint32_t>(strtoul(value, nullptr, 10));
            report(command, "done", connection, started_ms);
        } else if (strcmp(command, "nonce") == 0) {
            connection.nonce = static_cast<uint32_t>(strtoul(value, nullptr, 10));
            report(command, "done", connection, started_ms);
        } else if (strcmp(command, "connect") == 0) {
            int connected = connection.pipe != INVALID_HANDLE_VALUE ? 1 : ipc_connect(&connection, value);
            report(command, connected ? "1" : "0", connection, started_ms);
        } else if (strcmp(command, "publish") == 0) {
            int accepted = ipc_set_activity(&connection, process_id, value);
            report(command, accepted ? "1" : "0", connection, started_ms);
        } else if (strcmp(command, "clear") == 0) {
            ipc_clear_activity(&connection, process_id);
            report(command, state_of(connection), connection, started_ms);
        } else if (strcmp(command, "peek") == 0) {
            ipc_handle_unasked_frames(&connection);
            report(command, state_of(connection), connection, started_ms);
        } else if (strcmp(command, "sleep") == 0) {
            Sleep(static_cast<DWORD>(strtoul(value, nullptr, 10)));
            report(command, "done", connection, started_ms);
        } else if (strcmp(command, "await") == 0) {
            printf("awaiting\n");
            fflush(stdout);
            char line[64];
            if (fgets(line, sizeof line, stdin) == nullptr) {
                return usage("standard input ended during await");
            }
            report(command, "done", connection, GetTickCount());
        } else {
            return usage("unknown command");
        }
    }
    ipc_disconnect(&connection);
    return 0;
}
