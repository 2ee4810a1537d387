// Discord IPC frames on the local pipe: an 8-byte little-endian header (opcode, length), then
// the JSON payload.
#pragma once

#include <stdint.h>

#include "platform/platform.h"

struct IpcConnection;

const uint32_t kIpcFrameCapacity = 2048;  // header and payload of one frame sent
const uint32_t kIpcHeaderSize = 8;
const uint32_t kIpcOpcodeHandshake = 0;
const uint32_t kIpcOpcodeFrame = 1;
const uint32_t kIpcOpcodeClose = 2;  // the peer ends the connection; {"code":...,"message":...}
const uint32_t kIpcOpcodePing = 3;   // wants a PONG with the same payload
const uint32_t kIpcOpcodePong = 4;

// How long a reply may take, its whole frame, from the moment its command was written. Past it
// the read fails like any failed read; nothing else ever waits on the peer.
const DWORD kIpcReplyTimeoutMs = 5000;

// Writes opcode, length and payload as one frame with one write. 1 when all of it went out; 0
// when the frame would pass 2048 bytes (nothing written) or the write failed or was short.
int ipc_write_frame(HANDLE pipe, uint32_t opcode, const char* payload);

// Reads one frame whose payload is shorter than capacity into buffer, terminated, and returns 1.
// Returns 0 on a failed or short header, a payload too long, a failed read, a zero-byte read,
// or a frame not complete within kIpcReplyTimeoutMs of the call.
int ipc_read_frame(HANDLE pipe, char* buffer, uint32_t capacity);

// The same read, for a reply that may come behind other frames: the time runs from started_ms
// (the tick count when its command was written) instead of from the call, and the frame's
// opcode is stored in *opcode when opcode is not null.
int ipc_read_frame_since(HANDLE pipe, uint32_t* opcode, char* buffer, uint32_t capacity, DWORD started_ms);

// Closes the pipe if open and leaves the connection not connected (texts empty, nothing
// published on it); the nonce counter is kept.
void ipc_disconnect(IpcConnection* connection);
