// Launch mode, "brightrelay [--pid N] -- COMMAND...": the program starts the command (a game
// launcher's command line), finds the game while the command runs, follows it as usual, and
// ends with the command's exit status, which the launcher reads.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// The command started, if any. All zero when none was.
struct LaunchedCommand {
    int started;
    HANDLE process;
    HANDLE thread;
};

// The first "--" that stands alone as a word (at the start of command_line or after a blank or
// a tab, and followed by one or the end), or null when there is none: then nothing is launched.
const char* launch_separator(const char* command_line);

// The process id of the "--pid" option found before separator (anywhere when it is null), as
// parse_pid_option reads it; 0 when there is none usable.
uint32_t launch_pid_option(const char* command_line, const char* separator);

// Starts the command that follows separator, with the program's own environment and standard
// handles. 1 when it runs. Otherwise 0: the failure is logged as the run's final message and
// *status is the exit status to end with (127 not found, 126 access denied, else 1).
int launch_start(const char* separator, LaunchedCommand* launched, int* status);

// The id of the game, looked for while the command runs: one scan of the process list per pass,
// the passes a wait on the command apart; no limit on their number. 0 when the command ended
// without the game ever appearing.
uint32_t launch_find_game(const LaunchedCommand* launched);

// Waits for the command to end, however long it takes, closes its handles and returns its exit
// status (1 when that cannot be had). 0 when nothing was launched.
int launch_finish(LaunchedCommand* launched);
