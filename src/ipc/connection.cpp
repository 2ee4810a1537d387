// The Discord connection: finding the pipe, the handshake, publishing and clearing the activity.
#include "ipc/connection.h"

#include <string.h>

#include "common/format.h"
#include "common/text.h"
#include "files/log.h"
#include "ipc/frame.h"

namespace {

const int kPipeCount = 10;
const uint32_t kPipeNameCapacity = 64;
const uint32_t kHandshakeCapacity = 160;
const uint32_t kPublishCapacity = 1400;
const uint32_t kClearCapacity = 256;
const uint32_t kReplyCapacity = 2048;
const uint32_t kClearReplyCapacity = 1024;
const uint32_t kPeerMessageCapacity = 64 + kReplyCapacity;
const uint32_t kNonceKeyCapacity = 32;

// The last text from the peer that was logged as a refusal or a close, during this run, so that a
// wrong application ID, refused on every pass, or a client that keeps closing the connection the
// same way, is reported once rather than every two seconds.
char g_last_logged[kReplyCapacity];

// Logs prefix and the peer's text, unless that text is the one logged last.
void log_peer_text(const char* prefix, char* text)
{
    blank_control_bytes(text);
    if (strcmp(text, g_last_logged) == 0) {
        return;
    }
    copy_bounded(g_last_logged, sizeof g_last_logged, text);
    char message[kPeerMessageCapacity];
    format_bounded(message, sizeof message, "%s%s", prefix, text);
    log_line(message);
}

// Reads the next frame from the peer, within kIpcReplyTimeoutMs of started_ms, and answers it
// when it is a PING: with a PONG that carries its payload, as the client expects. 1 with the
// frame in buffer and its opcode in *opcode; 0 when the time ran out or a read or the PONG
// failed. The bound is tested before each frame, so that it holds also against a peer that
// never stops sending.
int read_peer_frame(HANDLE pipe, uint32_t* opcode, char* buffer, uint32_t capacity, DWORD started_ms)
{
    if (GetTickCount() - started_ms >= kIpcReplyTimeoutMs ||
        !ipc_read_frame_since(pipe, opcode, buffer, capacity, started_ms)) {
        return 0;
    }
    return *opcode != kIpcOpcodePing || ipc_write_frame(pipe, kIpcOpcodePong, buffer);
}

// Reads frames until the answer to the frame just written has come, within kIpcReplyTimeoutMs of
// written_ms. The answer to the handshake (nonce_key null) is the first frame that is neither a
// PING nor a PONG; the answer to a command is the frame that carries nonce_key ("nonce":"<n>"),
// or a CLOSE, which ends the connection instead. Meanwhile PINGs are answered, and every other
// frame is read and passed over, so that a frame the peer sent unasked never stands in for the
// answer. 1 with the answer in reply and its opcode in *opcode; 0 when a read or a PONG failed
// or the time ran out.
int read_answer(HANDLE pipe, const char* nonce_key, uint32_t* opcode, char* reply, uint32_t capacity,
                DWORD written_ms)
{
    for (;;) {
        if (!read_peer_frame(pipe, opcode, reply, capacity, written_ms)) {
            return 0;
        }
        if (*opcode == kIpcOpcodePing || *opcode == kIpcOpcodePong) {
            continue;
        }
        if (nonce_key == nullptr || *opcode == kIpcOpcodeClose || strstr(reply, nonce_key) != nullptr) {
            return 1;
        }
    }
}

// Sends a command (opcode 1), written at the tick count written_ms, and waits for its answer: 1
// with the answer in reply; 0 when the connection was dropped (a failed write or read, no answer
// in time, or the peer's CLOSE).
int send_command(IpcConnection* connection, const char* payload, char* reply, uint32_t capacity, DWORD written_ms)
{
    char nonce_key[kNonceKeyCapacity];
    format_bounded(nonce_key, sizeof nonce_key, "\"nonce\":\"%lu\"", static_cast<unsigned long>(connection->nonce));
    uint32_t opcode = 0;
    if (!ipc_write_frame(connection->pipe, kIpcOpcodeFrame, payload) ||
        !read_answer(connection->pipe, nonce_key, &opcode, reply, capacity, written_ms)) {
        ipc_disconnect(connection);
        return 0;
    }
    if (opcode == kIpcOpcodeClose) {
        log_peer_text("Discord closed the connection: ", reply);
        ipc_disconnect(connection);
        return 0;
    }
    return 1;
}

// Opens the first pipe that opens, or returns INVALID_HANDLE_VALUE when none does. An absent
// or busy pipe is passed over without waiting.
HANDLE open_first_pipe(void)
{
    for (int index = 0; index < kPipeCount; ++index) {
        char name[kPipeNameCapacity];
        format_bounded(name, sizeof name, "\\\\.\\pipe\\discord-ipc-%d", index);
        HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

int ipc_connect(IpcConnection* connection, const char* application_id)
{
    if (connection == nullptr) {
        return 0;
    }
    connection->pipe = INVALID_HANDLE_VALUE;
    connection->last_activity[0] = '\0';
    connection->published = 0;
    connection->last_refused[0] = '\0';

    connection->pipe = open_first_pipe();
    if (connection->pipe == INVALID_HANDLE_VALUE) {
        return 0;
    }

    char handshake[kHandshakeCapacity];
    format_bounded(handshake, sizeof handshake, "{\"v\":1,\"client_id\":\"%s\"}",
                   application_id != nullptr ? application_id : "");
    char reply[kReplyCapacity];
    DWORD written_ms = GetTickCount();
    uint32_t opcode = 0;
    if (!ipc_write_frame(connection->pipe, kIpcOpcodeHandshake, handshake) ||
        !read_answer(connection->pipe, nullptr, &opcode, reply, sizeof reply, written_ms)) {
        // The pipe that opened failed; the later ones are left for the next attempt.
        ipc_disconnect(connection);
        return 0;
    }
    if (opcode == kIpcOpcodeClose || strstr(reply, "\"READY\"") == nullptr) {
        log_peer_text("Discord refused the handshake: ", reply);
        ipc_disconnect(connection);
        return 0;
    }
    log_line("Connected to Discord IPC.");
    return 1;
}

int ipc_set_activity(IpcConnection* connection, uint32_t process_id, const char* activity)
{
    if (connection == nullptr || connection->pipe == INVALID_HANDLE_VALUE || activity == nullptr) {
        return 0;
    }
    if (strcmp(activity, connection->last_activity) == 0) {
        return 1;
    }
    // Held while the last update is recent: the client would drop this one silently. Nothing is
    // kept, since every pass forms the current text anew: the first call after the interval
    // sends the text current then, so the newest wins and the ones between are never sent. A
    // refused text waits for the interval too. Unsigned subtraction: right across the wrap.
    if (connection->published && GetTickCount() - connection->last_publish_ms < kIpcPublishIntervalMs) {
        return 0;
    }
    // The nonce is spent as soon as the command is formed, whatever becomes of it.
    connection->nonce += 1u;

    char payload[kPublishCapacity];
    format_bounded(payload, sizeof payload,
                   "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":%lu,\"activity\":%s},\"nonce\":\"%lu\"}",
                   static_cast<unsigned long>(process_id), activity,
                   static_cast<unsigned long>(connection->nonce));
    char reply[kReplyCapacity];
    connection->last_publish_ms = GetTickCount();
    connection->published = 1;
    if (!send_command(connection, payload, reply, sizeof reply, connection->last_publish_ms)) {
        return 0;
    }
    if (strstr(reply, "\"ERROR\"") != nullptr) {
        // Not remembered as accepted: the same text goes again once the interval has run out.
        // Logged the first time only, until another text is refused or one is accepted.
        if (strcmp(activity, connection->last_refused) != 0) {
            copy_bounded(connection->last_refused, sizeof connection->last_refused, activity);
            blank_control_bytes(reply);
            log_line(reply);
        }
        return 0;
    }
    copy_bounded(connection->last_activity, sizeof connection->last_activity, activity);
    connection->last_refused[0] = '\0';
    return 1;
}

void ipc_clear_activity(IpcConnection* connection, uint32_t process_id)
{
    if (connection == nullptr || connection->pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    // Not paced: the game has ended and the clear goes at once. Should the client drop it as too
    // soon, the presence goes all the same, since the client clears it when the pipe closes.
    connection->nonce += 1u;

    char payload[kClearCapacity];
    format_bounded(payload, sizeof payload,
                   "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":%lu,\"activity\":null},\"nonce\":\"%lu\"}",
                   static_cast<unsigned long>(process_id),
                   static_cast<unsigned long>(connection->nonce));
    // The program is ending: the answer is waited for to let Discord finish, but nothing
    // depends on it, and the pipe is closed whatever happened.
    char reply[kClearReplyCapacity];
    (void)send_command(connection, payload, reply, sizeof reply, GetTickCount());
    ipc_disconnect(connection);
}

void ipc_handle_unasked_frames(IpcConnection* connection)
{
    if (connection == nullptr || connection->pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    // A peek neither blocks nor consumes anything; it fails once the peer has closed its end.
    DWORD available = 0;
    if (!PeekNamedPipe(connection->pipe, nullptr, 0, nullptr, &available, nullptr)) {
        ipc_disconnect(connection);
        return;
    }
    if (available == 0) {
        return;  // the usual pass: nothing came
    }
    // What came since the last pass: PINGs are answered, a CLOSE ends the connection, anything
    // else is passed over; all of it within the reply time, counted from here.
    DWORD started_ms = GetTickCount();
    char frame[kReplyCapacity];
    while (available > 0) {
        uint32_t opcode = 0;
        if (!read_peer_frame(connection->pipe, &opcode, frame, sizeof frame, started_ms)) {
            ipc_disconnect(connection);
            return;
        }
        if (opcode == kIpcOpcodeClose) {
            log_peer_text("Discord closed the connection: ", frame);
            ipc_disconnect(connection);
            return;
        }
        available = 0;
        if (!PeekNamedPipe(connection->pipe, nullptr, 0, nullptr, &available, nullptr)) {
            ipc_disconnect(connection);
            return;
        }
    }
}
