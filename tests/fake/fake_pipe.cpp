// The fake platform's Discord pipes: ten scriptable peers behind "\\.\pipe\discord-ipc-N".
#include <gtest/gtest.h>

#include <cstring>

#include "fake/fake_state.h"

namespace fake {
namespace detail {

namespace {

const char kPipePrefix[] = "\\\\.\\pipe\\";
const char kDiscordPrefix[] = "\\\\.\\pipe\\discord-ipc-";

uint32_t read_le32(const std::string& bytes, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

// The value of "nonce" in a command payload: the text between the quotes after its colon.
std::string nonce_of(const std::string& payload)
{
    const std::string key = "\"nonce\":\"";
    size_t start = payload.find(key);
    if (start == std::string::npos) {
        return std::string();
    }
    start += key.size();
    size_t end = payload.find('"', start);
    return payload.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void answer_by_default(PipePeer& peer, const Frame& frame)
{
    if (frame.opcode == 0) {
        peer.reply(ready_payload());
    } else if (frame.opcode == 1) {
        peer.reply(set_activity_reply(nonce_of(frame.payload)));
    }
}

// Hands every whole frame in incoming to the peer's handler, in order.
void deliver_frames(PipePeer& peer)
{
    while (peer.incoming.size() >= 8) {
        uint32_t length = read_le32(peer.incoming, 4);
        if (peer.incoming.size() - 8 < length) {
            return;
        }
        Frame frame;
        frame.opcode = read_le32(peer.incoming, 0);
        frame.payload = peer.incoming.substr(8, length);
        peer.incoming.erase(0, 8 + static_cast<size_t>(length));
        peer.frames.push_back(frame);
        if (peer.on_frame) {
            FrameHandler handler = peer.on_frame;
            handler(peer, frame);
        } else {
            answer_by_default(peer, frame);
        }
    }
}

// The peer of an open handle, or null when the handle belongs to an earlier connection.
PipePeer* current_peer(size_t slot)
{
    Machine& m = machine();
    const PipeSlot& pipe = m.pipe_slots[slot];
    PipePeer& peer = m.peers[static_cast<size_t>(pipe.index)];
    return peer.connections == pipe.connection ? &peer : nullptr;
}

bool head_ready(const PipePeer& peer)
{
    return !peer.outgoing.empty() && peer.outgoing.front().ready_at_ms <= now_ms();
}

}  // namespace

std::string pipe_name(int index)
{
    return std::string(kDiscordPrefix) + static_cast<char>('0' + index);
}

bool is_pipe_name(const char* path)
{
    return strncmp(path, kPipePrefix, sizeof(kPipePrefix) - 1) == 0;
}

HANDLE open_pipe(const char* path)
{
    Machine& m = machine();
    size_t prefix = sizeof(kDiscordPrefix) - 1;
    bool discord = strncmp(path, kDiscordPrefix, prefix) == 0 && path[prefix] >= '0' &&
                   path[prefix] <= '9' && path[prefix + 1] == '\0';
    if (!discord) {
        fail_with(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int index = path[prefix] - '0';
    PipePeer& peer = m.peers[static_cast<size_t>(index)];
    if (!peer.present) {
        fail_with(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (peer.busy) {
        fail_with(ERROR_PIPE_BUSY);
        return INVALID_HANDLE_VALUE;
    }
    peer.connected = true;
    peer.closed_by_peer = false;
    peer.outgoing.clear();
    peer.incoming.clear();
    peer.connections++;
    PipeSlot slot;
    slot.open = true;
    slot.index = index;
    slot.connection = peer.connections;
    m.pipe_slots.push_back(slot);
    return make_handle(kind_pipe, m.pipe_slots.size() - 1);
}

BOOL read_pipe(size_t slot, void* buffer, DWORD size, DWORD* bytes_read)
{
    PipePeer* peer = current_peer(slot);
    if (peer == nullptr) {
        fail_with(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    // Chunks are read in order: a chunk behind one that is not ready yet waits for it.
    if (!head_ready(*peer)) {
        if (peer->closed_by_peer) {
            fail_with(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        ADD_FAILURE() << "ReadFile would block: nothing is ready on "
                      << pipe_name(machine().pipe_slots[slot].index) << " at " << now_ms()
                      << " ms";
        fail_with(ERROR_GEN_FAILURE);
        return FALSE;
    }
    Chunk& chunk = peer->outgoing.front();
    if (chunk.kind == Chunk::fail) {
        peer->outgoing.erase(peer->outgoing.begin());
        fail_with(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (chunk.kind == Chunk::empty) {
        peer->outgoing.erase(peer->outgoing.begin());
        return TRUE;
    }
    size_t count = chunk.bytes.size() < size ? chunk.bytes.size() : size;
    if (count != 0) {
        memcpy(buffer, chunk.bytes.data(), count);
    }
    chunk.bytes.erase(0, count);
    if (chunk.bytes.empty()) {
        peer->outgoing.erase(peer->outgoing.begin());
    }
    if (bytes_read != nullptr) {
        *bytes_read = static_cast<DWORD>(count);
    }
    return TRUE;
}

BOOL write_pipe(size_t slot, const void* buffer, DWORD size, DWORD* bytes_written)
{
    Machine& m = machine();
    if (m.pipe_write_hook) {
        std::function<void(int, const std::string&)> hook = m.pipe_write_hook;
        hook(m.pipe_slots[slot].index, std::string(static_cast<const char*>(buffer), size));
    }
    PipePeer* peer = current_peer(slot);
    if (peer == nullptr || peer->closed_by_peer) {
        fail_with(ERROR_NO_DATA);
        return FALSE;
    }
    std::string step = "ok";
    if (!peer->write_script.empty()) {
        step = peer->write_script.front();
        peer->write_script.erase(peer->write_script.begin());
    }
    DWORD count = size;
    if (step == "fail") {
        fail_with(ERROR_NO_DATA);
        return FALSE;
    } else if (step.compare(0, 6, "short:") == 0) {
        DWORD limit = static_cast<DWORD>(strtoul(step.c_str() + 6, nullptr, 10));
        count = limit < size ? limit : size;
    } else if (step != "ok") {
        ADD_FAILURE() << "unknown write_script step \"" << step << "\"";
    }
    peer->incoming.append(static_cast<const char*>(buffer), count);
    if (bytes_written != nullptr) {
        *bytes_written = count;
    }
    deliver_frames(*peer);
    return TRUE;
}

void close_pipe(size_t slot)
{
    Machine& m = machine();
    m.pipe_slots[slot].open = false;
    PipePeer* peer = current_peer(slot);
    if (peer != nullptr) {
        peer->connected = false;
    }
}

}  // namespace detail

using namespace detail;

void PipePeer::reply(const std::string& payload, uint32_t opcode, uint64_t delay_ms)
{
    send_raw(frame_bytes(opcode, payload), delay_ms);
}

void PipePeer::send_raw(const std::string& bytes, uint64_t delay_ms)
{
    Chunk chunk;
    chunk.kind = Chunk::data;
    chunk.bytes = bytes;
    chunk.ready_at_ms = now_ms() + delay_ms;
    outgoing.push_back(chunk);
}

void PipePeer::send_fail(uint64_t delay_ms)
{
    Chunk chunk;
    chunk.kind = Chunk::fail;
    chunk.ready_at_ms = now_ms() + delay_ms;
    outgoing.push_back(chunk);
}

void PipePeer::send_empty(uint64_t delay_ms)
{
    Chunk chunk;
    chunk.kind = Chunk::empty;
    chunk.ready_at_ms = now_ms() + delay_ms;
    outgoing.push_back(chunk);
}

void PipePeer::close()
{
    closed_by_peer = true;
}

void on_pipe_write(std::function<void(int index, const std::string& bytes)> hook)
{
    machine().pipe_write_hook = std::move(hook);
}

PipePeer& pipe(int index)
{
    if (index < 0 || index > 9) {
        ADD_FAILURE() << "pipe index " << index << " is not 0 to 9";
        index = 0;
    }
    return machine().peers[static_cast<size_t>(index)];
}

std::string ready_payload()
{
    return "{\"cmd\":\"DISPATCH\",\"data\":{\"v\":1,\"config\":{\"cdn_host\":\"cdn.example\","
           "\"api_endpoint\":\"//api.example\",\"environment\":\"production\"},"
           "\"user\":{\"id\":\"100000000000000001\",\"username\":\"player\","
           "\"discriminator\":\"0\"}},\"evt\":\"READY\",\"nonce\":null}";
}

std::string set_activity_reply(const std::string& nonce)
{
    return "{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"name\":\"Kel\",\"application_id\":"
           "\"100000000000000002\",\"type\":0},\"evt\":null,\"nonce\":\"" +
           nonce + "\"}";
}

std::string error_reply(const std::string& nonce, const std::string& message)
{
    return "{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"code\":4000,\"message\":\"" + message +
           "\"},\"evt\":\"ERROR\",\"nonce\":\"" + nonce + "\"}";
}

std::string frame_bytes(uint32_t opcode, const std::string& payload)
{
    std::string bytes(8, '\0');
    uint32_t length = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>((opcode >> (8 * i)) & 0xFFu);
        bytes[static_cast<size_t>(4 + i)] = static_cast<char>((length >> (8 * i)) & 0xFFu);
    }
    return bytes + payload;
}

}  // namespace fake

using namespace fake;
using namespace fake::detail;

extern "C" {

BOOL WINAPI PeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD buffer_size, LPDWORD bytes_read,
                          LPDWORD total_bytes_avail, LPDWORD bytes_left_this_message)
{
    Machine& m = machine();
    Call& call = record("PeekNamedPipe");
    call.handle = pipe;
    call.size = buffer_size;
    if (bytes_read != nullptr) *bytes_read = 0;
    if (total_bytes_avail != nullptr) *total_bytes_avail = 0;
    if (bytes_left_this_message != nullptr) *bytes_left_this_message = 0;
    long slot = open_slot(pipe, kind_pipe);
    if (slot < 0) {
        fail_with(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    call.path = pipe_name(m.pipe_slots[static_cast<size_t>(slot)].index);
    PipePeer* peer = current_peer(static_cast<size_t>(slot));
    if (peer == nullptr) {
        fail_with(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (!head_ready(*peer)) {
        if (peer->closed_by_peer) {
            fail_with(ERROR_BROKEN_PIPE);
            return FALSE;
        }
        return TRUE;
    }
    if (peer->outgoing.front().kind != Chunk::data) {
        // Reported as one byte so that the reader goes on to the ReadFile that meets it.
        if (total_bytes_avail != nullptr) *total_bytes_avail = 1;
        return TRUE;
    }
    std::string ready;
    for (const Chunk& chunk : peer->outgoing) {
        if (chunk.kind != Chunk::data || chunk.ready_at_ms > now_ms()) {
            break;
        }
        ready += chunk.bytes;
    }
    size_t copied = 0;
    if (buffer != nullptr) {
        copied = ready.size() < buffer_size ? ready.size() : buffer_size;
        memcpy(buffer, ready.data(), copied);
    }
    if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(copied);
    if (total_bytes_avail != nullptr) *total_bytes_avail = static_cast<DWORD>(ready.size());
    return TRUE;
}

}  // extern "C"
