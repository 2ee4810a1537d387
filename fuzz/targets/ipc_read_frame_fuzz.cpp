// ipc_read_frame against any peer bytes in any pieces, compared with a model of the framing
// rules: the header in one read, the payload in as many reads as it takes, every failure and
// the whole frame due within the reply time of the call.
//
// Input: capacity (2 bytes, up to 4096), the tick count at the call (4 bytes, so that its wrap
// falls inside waits), whether the peer has closed its end (1 byte), then chunks until the input
// ends: a kind byte, a delay byte, and for data a length (2 bytes) and the bytes.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "ipc/frame.h"
#include "platform/platform.h"

namespace {

const char kPipe0[] = "\\\\.\\pipe\\discord-ipc-0";

// Delays that matter: at once, soon, and around the end of the reply time.
const uint64_t kDelays[] = {0, 0, 0, 1, 7, 250, 4999, 5000, 5001, 9000};

struct PlannedChunk {
    fake::Chunk::Kind kind;
    std::string bytes;
    uint64_t ready_at_ms;
};

struct Outcome {
    int result = 0;
    std::string payload;
};

// What the reader should make of the chunks: a read waits for the chunk at the head of the
// pipe until it is ready, at most until the reply time (measured from the call) is up, and not
// at all once the peer has closed and nothing ready is left.
Outcome model(std::vector<PlannedChunk> chunks, bool closed, uint32_t capacity)
{
    Outcome out;
    uint64_t now = 0;
    size_t head = 0;
    auto wait = [&]() {
        if (head == chunks.size()) {
            return false;  // nothing more will come: a time-out, or the closed end
        }
        if (chunks[head].ready_at_ms > now) {
            if (closed || chunks[head].ready_at_ms > kIpcReplyTimeoutMs) {
                return false;
            }
            now = chunks[head].ready_at_ms;
        }
        return true;
    };
    // One read of up to want bytes; -1 for a failed read.
    auto read = [&](size_t want, std::string* got) {
        PlannedChunk& chunk = chunks[head];
        if (chunk.kind == fake::Chunk::fail) {
            ++head;
            return -1;
        }
        if (chunk.kind == fake::Chunk::empty) {
            ++head;
            return 0;
        }
        size_t count = chunk.bytes.size() < want ? chunk.bytes.size() : want;
        *got = chunk.bytes.substr(0, count);
        chunk.bytes.erase(0, count);
        if (chunk.bytes.empty()) {
            ++head;
        }
        return static_cast<int>(count);
    };
    std::string header;
    if (!wait() || read(8, &header) != 8) {
        return out;
    }
    uint32_t length = static_cast<uint32_t>(static_cast<unsigned char>(header[4])) |
                      (static_cast<uint32_t>(static_cast<unsigned char>(header[5])) << 8) |
                      (static_cast<uint32_t>(static_cast<unsigned char>(header[6])) << 16) |
                      (static_cast<uint32_t>(static_cast<unsigned char>(header[7])) << 24);
    if (length >= capacity) {
        return out;
    }
    while (out.payload.size() < length) {
        std::string got;
        if (!wait() || read(length - out.payload.size(), &got) <= 0) {
            return out;
        }
        out.payload += got;
    }
    out.result = 1;
    return out;
}

std::string le32(uint32_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fuzz::ByteReader in(data, size);
    const uint32_t capacity = in.u16() % 4097;
    fake::set_tick_count(in.u32());
    const bool closed = (in.u8() & 1) != 0;

    std::vector<PlannedChunk> chunks;
    while (!in.empty() && chunks.size() < 16) {
        uint8_t kind = in.u8();
        uint64_t delay = kDelays[in.u8() % (sizeof kDelays / sizeof kDelays[0])];
        PlannedChunk chunk{fake::Chunk::data, std::string(), delay};
        switch (kind % 6) {
        case 0:  // a header with a chosen length, so well-formed frames are easy to reach
            chunk.bytes = le32(in.u8()) + le32(in.u16());
            break;
        case 1:
        case 2:
            chunk.bytes = in.bytes(in.u16() % 3000);
            break;
        case 3:
            chunk.kind = fake::Chunk::fail;
            break;
        case 4:
            chunk.kind = fake::Chunk::empty;
            break;
        default:  // a whole frame in one piece
        {
            std::string payload = in.short_text(256);
            chunk.bytes = le32(in.u8()) + le32(static_cast<uint32_t>(payload.size())) + payload;
            break;
        }
        }
        // A data chunk with no bytes would be a peer that sends nothing; leave it out.
        if (chunk.kind == fake::Chunk::data && chunk.bytes.empty()) {
            continue;
        }
        chunks.push_back(chunk);
    }

    fake::PipePeer& peer = fake::pipe(0);
    peer.present = true;
    peer.on_frame = [](fake::PipePeer&, const fake::Frame&) {};
    HANDLE pipe = CreateFileA(kPipe0, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    FUZZ_CHECK(pipe != INVALID_HANDLE_VALUE);
    for (const PlannedChunk& chunk : chunks) {
        if (chunk.kind == fake::Chunk::fail) {
            peer.send_fail(chunk.ready_at_ms);
        } else if (chunk.kind == fake::Chunk::empty) {
            peer.send_empty(chunk.ready_at_ms);
        } else {
            peer.send_raw(chunk.bytes, chunk.ready_at_ms);
        }
    }
    if (closed) {
        peer.close();
    }

    // Exactly capacity bytes of its own, so a write past the buffer is an ASan report.
    std::unique_ptr<char[]> buffer(new char[capacity == 0 ? 1 : capacity]);
    char* into = capacity == 0 ? buffer.get() + 1 : buffer.get();
    fuzz::skip_idle_time_until(kIpcReplyTimeoutMs);
    int result = ipc_read_frame(pipe, into, capacity);
    Outcome expected = model(chunks, closed, capacity);
    FUZZ_CHECK(result == expected.result);
    if (result == 1) {
        FUZZ_CHECK(memcmp(into, expected.payload.data(), expected.payload.size()) == 0);
        FUZZ_CHECK(into[expected.payload.size()] == '\0');
    }
    // The reply wait is bounded: however the peer behaves, the call is over by its deadline.
    FUZZ_CHECK(fake::now_ms() <= kIpcReplyTimeoutMs);
    FUZZ_CHECK(CloseHandle(pipe) != 0);
    return 0;
}
