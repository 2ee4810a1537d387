// The presence cycle: what each pass of the monitor loop does with Discord, and the end of it.
#pragma once

#include <stdint.h>

struct IpcConnection;

// One pass: connect if needed, read the status, compose (or the bare text), publish.
void presence_pass(IpcConnection* connection, const char* application_id, uint32_t process_id,
                   int64_t play_start_time);

// After the game ended: clear the activity and close the pipe if connected.
void presence_end(IpcConnection* connection, uint32_t process_id);
