// Discord IPC framing: one JSON text per frame on the pipe, with a bounded wait for replies.
#include "ipc/frame.h"

#include <stddef.h>
#include <string.h>

#include "ipc/connection.h"

namespace {

// The wire header: two little-endian 32-bit fields, nothing between or after them.
struct IpcFrameHeader {
    uint32_t opcode;
    uint32_t length;
};
static_assert(sizeof(IpcFrameHeader) == 8, "the frame header is 8 bytes on the wire");
static_assert(offsetof(IpcFrameHeader, length) == 4, "the length follows the opcode");
static_assert(sizeof(IpcFrameHeader) == kIpcHeaderSize, "kIpcHeaderSize matches the header");

// Byte by byte, so the frame is little-endian whatever the host's byte order.
void store_le32(unsigned char* out, uint32_t value)
{
    out[0] = static_cast<unsigned char>(value & 0xFFu);
    out[1] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    out[2] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    out[3] = static_cast<unsigned char>((value >> 24) & 0xFFu);
}

uint32_t load_le32(const unsigned char* in)
{
    return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
           (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// Waits until the pipe has something for ReadFile (bytes, or the peer's end of the stream) or
// the reply's time is up. The pipe is synchronous, so a ReadFile on an empty pipe would block
// for as long as the peer keeps silent; asking first keeps every wait bounded. 1 when a read
// may go ahead; 0 when the peek failed (the peer is gone) or the deadline passed.
int wait_for_reply_bytes(HANDLE pipe, DWORD started_ms)
{
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return 0;
        }
        if (available > 0) {
            return 1;
        }
        // Unsigned subtraction: correct across the tick count's wrap at 2^32 ms.
        if (GetTickCount() - started_ms >= kIpcReplyTimeoutMs) {
            return 0;
        }
        // The shortest step there is: a prompt reply then costs about a millisecond (one timer
        // tick on Windows), and a single-threaded program has nothing else to do meanwhile.
        Sleep(1);
    }
}

}  // namespace

int ipc_write_frame(HANDLE pipe, uint32_t opcode, const char* payload)
{
    if (payload == nullptr) {
        return 0;
    }
    size_t length = strlen(payload);
    if (length > kIpcFrameCapacity - kIpcHeaderSize) {
        return 0;
    }
    unsigned char frame[kIpcFrameCapacity];
    store_le32(frame, opcode);
    store_le32(frame + 4, static_cast<uint32_t>(length));
    memcpy(frame + kIpcHeaderSize, payload, length);

    DWORD frame_length = static_cast<DWORD>(length + kIpcHeaderSize);
    DWORD written = 0;
    if (!WriteFile(pipe, frame, frame_length, &written, nullptr)) {
        return 0;
    }
    // A short write leaves a broken frame in the pipe; the caller drops the connection.
    return written == frame_length ? 1 : 0;
}

int ipc_read_frame(HANDLE pipe, char* buffer, uint32_t capacity)
{
    if (buffer == nullptr) {
        return 0;
    }
    // The reply's time runs from here: the caller reads right after writing its command.
    return ipc_read_frame_since(pipe, nullptr, buffer, capacity, GetTickCount());
}

int ipc_read_frame_since(HANDLE pipe, uint32_t* opcode, char* buffer, uint32_t capacity, DWORD started_ms)
{
    if (buffer == nullptr) {
        return 0;
    }
    unsigned char header[kIpcHeaderSize];
    DWORD bytes_read = 0;
    if (!wait_for_reply_bytes(pipe, started_ms)) {
        return 0;
    }
    // The header comes in one read or not at all; its rest is not awaited.
    if (!ReadFile(pipe, header, kIpcHeaderSize, &bytes_read, nullptr) ||
        bytes_read != kIpcHeaderSize) {
        return 0;
    }
    uint32_t length = load_le32(header + 4);
    if (length >= capacity) {
        return 0;
    }
    if (opcode != nullptr) {
        *opcode = load_le32(header);
    }

    uint32_t received = 0;
    while (received < length) {
        if (!wait_for_reply_bytes(pipe, started_ms)) {
            return 0;
        }
        bytes_read = 0;
        DWORD remaining = length - received;
        if (!ReadFile(pipe, buffer + received, remaining, &bytes_read, nullptr) ||
            bytes_read == 0 || bytes_read > remaining) {
            return 0;
        }
        received += bytes_read;
    }
    buffer[length] = '\0';
    return 1;
}

void ipc_disconnect(IpcConnection* connection)
{
    if (connection == nullptr) {
        return;
    }
    if (connection->pipe != nullptr && connection->pipe != INVALID_HANDLE_VALUE) {
        CloseHandle(connection->pipe);
    }
    connection->pipe = INVALID_HANDLE_VALUE;
    connection->last_activity[0] = '\0';
    connection->published = 0;
    connection->last_refused[0] = '\0';
}
