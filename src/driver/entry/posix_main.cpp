// The Linux entry point: the arguments, joined again into one command line as Windows hands it,
// quoted by the Microsoft C runtime's rules (by which CreateProcessA here splits a command back).
#include <string.h>

#include "driver/driver.h"
#include "files/log.h"
#include "platform/posix/command_line.h"

// A Windows command line is at most 32767 characters.
static char g_command_line[32768];

int main(int argc, char** argv)
{
    if (!posix_join_command_line(argc - 1, argv + 1, g_command_line, sizeof g_command_line)) {
        // Cut short, a command to start would run with arguments missing, or not at all while
        // the program waited for a game that nothing starts. Without one, only --pid matters
        // and the arguments that fitted are used, as before.
        for (int index = 1; index < argc; ++index) {
            if (strcmp(argv[index], "--") == 0) {
                log_line("Could not start the command: its command line is longer than 32767 characters; "
                         "Brightrelay exiting.");
                return 1;
            }
        }
    }
    return brightrelay_run(g_command_line);
}
