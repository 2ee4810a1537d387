// The game watch driver: choose the game process, watch it, run the presence passes, end.
#pragma once

#include <stdint.h>

// The whole run for one command line (the raw text after the program's name); returns 0.
int brightrelay_run(const char* command_line);

// The process id after the first "--pid" in command_line, or 0 when there is none usable.
uint32_t parse_pid_option(const char* command_line);

// The id of the first process named "Kel_Nordvale.exe", over up to 25 scans 200 ms apart; 0 when
// none was found.
uint32_t find_target_process(void);
