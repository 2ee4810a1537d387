// The game watch driver: choose the game process, watch it, run the presence passes, end.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

// The time between two passes while the game is watched, and between two looks for a game that
// a launched command has not started yet.
const DWORD kPassIntervalMs = 2000;

// The whole run for one command line (the raw text after the program's name). Returns 0; in
// launch mode ("-- COMMAND...", see launch.h) the command's exit status.
int brightrelay_run(const char* command_line);

// The process id after the first "--pid" in command_line, or 0 when there is none usable.
uint32_t parse_pid_option(const char* command_line);

// The id of the first process named "Kel_Nordvale.exe", over up to 25 scans 200 ms apart; 0 when
// none was found.
uint32_t find_target_process(void);

// One walk over a snapshot of the process list: the id of the first process named
// "Kel_Nordvale.exe", or 0 when it is not in it.
uint32_t scan_process_list_once(void);
