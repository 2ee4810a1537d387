// The Discord connection: handshake, activity publishing and clearing over the IPC frames.
#pragma once

#include <stdint.h>

#include "common/limits.h"
#include "platform/platform.h"

// The one connection record, owned by the driver for the whole run.
struct IpcConnection {
    HANDLE pipe;                               // INVALID_HANDLE_VALUE when not connected
    char last_activity[kActivityCapacity];     // last text Discord accepted on this connection
    uint32_t nonce;                            // nonce of the last SET_ACTIVITY formed
};

// Opens the first of the pipes "\\.\pipe\discord-ipc-0" to "-9" that opens and performs the
// handshake with application_id. 1 when connected; 0 otherwise (not connected).
int ipc_connect(IpcConnection* connection, const char* application_id);

// Sends activity (a JSON object text) as the activity of process_id unless it equals the last
// accepted text. 1 when it is, afterwards, the last accepted text; 0 otherwise.
int ipc_set_activity(IpcConnection* connection, uint32_t process_id, const char* activity);

// Clears the activity of process_id (a null activity) and closes the pipe; nothing when not
// connected.
void ipc_clear_activity(IpcConnection* connection, uint32_t process_id);

// Deals with what the Discord client did since the last call, before anything is sent: drops
// the connection when the client has closed its end of the pipe or sent a CLOSE (logged like a
// refusal), answers its PINGs, and passes over any other frame it sent unasked. Nothing when not
// connected; one peek and nothing else when nothing has come.
void ipc_handle_unasked_frames(IpcConnection* connection);
