// The Discord connection: handshake, activity publishing and clearing over the IPC frames.
#pragma once

#include <stdint.h>

#include "common/limits.h"
#include "platform/platform.h"

// The shortest time between two SET_ACTIVITY commands on a connection. The Discord client drops
// an update that comes sooner after the one before, without an error: the reply echoes it like a
// success and the presence shown stays the old one. Its advice is one update per 15 s.
const DWORD kIpcPublishIntervalMs = 15000;

// The one connection record, owned by the driver for the whole run.
struct IpcConnection {
    HANDLE pipe;                               // INVALID_HANDLE_VALUE when not connected
    char last_activity[kActivityCapacity];     // last text Discord accepted on this connection
    uint32_t nonce;                            // nonce of the last SET_ACTIVITY formed
    // For the pacing: the tick count when the last SET_ACTIVITY was written on this connection,
    // valid once published is 1. A text that changes sooner after it is held, not sent.
    DWORD last_publish_ms;
    int published;
    // The last text Discord refused on this connection, so that a refusal that persists is
    // logged once rather than at every retry; empty when there is none.
    char last_refused[kActivityCapacity];
};

// Opens the first of the pipes "\\.\pipe\discord-ipc-0" to "-9" that opens and performs the
// handshake with application_id. 1 when connected; 0 otherwise (not connected).
int ipc_connect(IpcConnection* connection, const char* application_id);

// Sends activity (a JSON object text) as the activity of process_id unless it equals the last
// accepted text, or the last SET_ACTIVITY on this connection went less than kIpcPublishIntervalMs
// ago (then nothing is sent or kept: a later call with the text current then sends it). 1 when
// it is, afterwards, the last accepted text; 0 otherwise (held, refused, or the connection lost).
int ipc_set_activity(IpcConnection* connection, uint32_t process_id, const char* activity);

// Clears the activity of process_id (a null activity) and closes the pipe; nothing when not
// connected.
void ipc_clear_activity(IpcConnection* connection, uint32_t process_id);

// Deals with what the Discord client did since the last call, before anything is sent: drops
// the connection when the client has closed its end of the pipe or sent a CLOSE (logged like a
// refusal), answers its PINGs, and passes over any other frame it sent unasked. Nothing when not
// connected; one peek and nothing else when nothing has come.
void ipc_handle_unasked_frames(IpcConnection* connection);
