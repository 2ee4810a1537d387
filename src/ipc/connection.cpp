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
const uint32_t kRefusalMessageCapacity = 64 + kReplyCapacity;

// The last handshake refusal logged during this run, so that a wrong application ID, refused on
// every pass, is reported once rather than every two seconds.
char g_last_refusal[kReplyCapacity];

// Text from the peer goes into the log: line breaks and other control bytes become blanks, so
// that one message stays one line and the peer cannot write lines of its own.
void blank_control_bytes(char* text)
{
    for (; *text != '\0'; ++text) {
        unsigned char byte = static_cast<unsigned char>(*text);
        if (byte < 0x20u || byte == 0x7Fu) {
            *text = ' ';
        }
    }
}

void log_refusal(char* reply)
{
    blank_control_bytes(reply);
    if (strcmp(reply, g_last_refusal) == 0) {
        return;
    }
    copy_bounded(g_last_refusal, sizeof g_last_refusal, reply);
    char message[kRefusalMessageCapacity];
    format_bounded(message, sizeof message, "Discord refused the handshake: %s", reply);
    log_line(message);
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

    connection->pipe = open_first_pipe();
    if (connection->pipe == INVALID_HANDLE_VALUE) {
        return 0;
    }

    char handshake[kHandshakeCapacity];
    format_bounded(handshake, sizeof handshake, "{\"v\":1,\"client_id\":\"%s\"}",
                   application_id != nullptr ? application_id : "");
    char reply[kReplyCapacity];
    if (!ipc_write_frame(connection->pipe, kIpcOpcodeHandshake, handshake) ||
        !ipc_read_frame(connection->pipe, reply, sizeof reply)) {
        // The pipe that opened failed; the later ones are left for the next attempt.
        ipc_disconnect(connection);
        return 0;
    }
    if (strstr(reply, "\"READY\"") == nullptr) {
        log_refusal(reply);
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
    // The nonce is spent as soon as the command is formed, whatever becomes of it.
    connection->nonce += 1u;

    char payload[kPublishCapacity];
    format_bounded(payload, sizeof payload,
                   "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":%lu,\"activity\":%s},\"nonce\":\"%lu\"}",
                   static_cast<unsigned long>(process_id), activity,
                   static_cast<unsigned long>(connection->nonce));
    char reply[kReplyCapacity];
    if (!ipc_write_frame(connection->pipe, kIpcOpcodeFrame, payload) ||
        !ipc_read_frame(connection->pipe, reply, sizeof reply)) {
        ipc_disconnect(connection);
        return 0;
    }
    if (strstr(reply, "\"ERROR\"") != nullptr) {
        // Not remembered: the same text goes again on the next call.
        blank_control_bytes(reply);
        log_line(reply);
        return 0;
    }
    copy_bounded(connection->last_activity, sizeof connection->last_activity, activity);
    return 1;
}

void ipc_clear_activity(IpcConnection* connection, uint32_t process_id)
{
    if (connection == nullptr || connection->pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    connection->nonce += 1u;

    char payload[kClearCapacity];
    format_bounded(payload, sizeof payload,
                   "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":%lu,\"activity\":null},\"nonce\":\"%lu\"}",
                   static_cast<unsigned long>(process_id),
                   static_cast<unsigned long>(connection->nonce));
    // The program is ending: the reply is read to let Discord finish, but nothing depends on
    // it, and the pipe is closed whatever happened.
    char reply[kClearReplyCapacity];
    (void)ipc_write_frame(connection->pipe, kIpcOpcodeFrame, payload);
    (void)ipc_read_frame(connection->pipe, reply, sizeof reply);
    ipc_disconnect(connection);
}

void ipc_drop_if_peer_closed(IpcConnection* connection)
{
    if (connection == nullptr || connection->pipe == INVALID_HANDLE_VALUE) {
        return;
    }
    // A peek neither blocks nor consumes anything; it fails once the peer has closed its end.
    DWORD available = 0;
    if (!PeekNamedPipe(connection->pipe, nullptr, 0, nullptr, &available, nullptr)) {
        ipc_disconnect(connection);
    }
}
