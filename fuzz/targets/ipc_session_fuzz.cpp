// ipc_connect, ipc_set_activity, ipc_clear_activity and ipc_handle_unasked_frames in any order,
// with pauses between them, against Discord peers that answer each frame with fuzz-chosen
// chunks: replies, raw pieces, delays, failing and empty reads, and closes. After every call the
// connection's rules hold, and two SET_ACTIVITY on one connection are never closer than the
// publishing interval.
//
// Input: which of the pipes 0 to 3 are present and which busy (2 bytes), the tick count and
// the nonce seed (4 bytes each), then operations until the input ends. Each operation takes an
// opcode byte and a write fault byte; set_activity also chooses its text, a pause its length.
// Each frame the peer receives takes, while it is answered, a chunk count and the chunks from the
// same input.
#include <cstring>
#include <string>

#include "common/limits.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "ipc/connection.h"
#include "ipc/frame.h"
#include "platform/platform.h"

namespace {

const char kApplicationId[] = "100000000000000002";
const int kPeers = 4;
const int kMostOperations = 12;
const uint64_t kDelays[] = {0, 0, 0, 1, 30, 4999, 5000, 5001};

const char* const kActivities[] = {
    "{\"timestamps\":{\"start\":1700000000}}",
    ("{\"details\":\"Tamsin <Lantern Keepers> \\u00b7 Lvl 27 Warden\",\"state\":\"Harbor Market\","
     "\"timestamps\":{\"start\":1700000000}}"),
    "",
};

std::string le32(uint32_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
    return bytes;
}

// A reply payload: one the client knows, or fuzz bytes.
std::string reply_payload(fuzz::ByteReader& in, const fake::Frame& frame)
{
    switch (in.u8() % 5) {
    case 0: return fake::ready_payload();
    case 1: return fake::set_activity_reply("1");
    case 2: return fake::error_reply("1", in.short_text(64));
    case 3: return frame.payload;  // an echo
    default: return in.bytes(in.u16() % 2100);
    }
}

void answer(fuzz::ByteReader& in, fake::PipePeer& peer, const fake::Frame& frame)
{
    int chunks = in.u8() % 4;
    for (int i = 0; i < chunks; ++i) {
        uint8_t kind = in.u8();
        uint64_t delay = kDelays[in.u8() % (sizeof kDelays / sizeof kDelays[0])];
        switch (kind % 7) {
        case 0:
        case 1:
            peer.reply(reply_payload(in, frame), in.u8(), delay);
            break;
        case 2: {  // a frame in two pieces
            std::string whole = fake::frame_bytes(in.u8(), reply_payload(in, frame));
            size_t split = in.u16() % (whole.size() + 1);
            if (split > 0) peer.send_raw(whole.substr(0, split), delay);
            if (split < whole.size()) peer.send_raw(whole.substr(split), delay);
            break;
        }
        case 3: {  // a header that promises a chosen length
            std::string header = le32(in.u8()) + le32(in.u16());
            peer.send_raw(header, delay);
            break;
        }
        case 4: peer.send_fail(delay); break;
        case 5: peer.send_empty(delay); break;
        default: peer.close(); break;
        }
    }
}

std::string activity_text(fuzz::ByteReader& in)
{
    uint8_t choice = in.u8();
    if (choice % 4 < 3) {
        return kActivities[choice % 4];
    }
    // Any text within the activity's bound (the publisher inserts it verbatim).
    std::string text = in.bytes(in.u16() % kActivityCapacity);
    return std::string(text.c_str());
}

// What the client wrote, as the peers saw it: the virtual time of the last SET_ACTIVITY with an
// activity on the current connection, if one was written since its handshake.
struct Writes {
    bool published = false;
    uint64_t last_publish_ms = 0;
};
Writes g_writes;

void on_write(int, const std::string& bytes)
{
    if (bytes.size() < 8) {
        return;
    }
    if (bytes[0] == 0) {
        g_writes.published = false;  // a new connection's handshake
    } else if (bytes[0] == 1 && bytes.find("\"activity\":null") == std::string::npos) {
        if (g_writes.published) {
            FUZZ_CHECK(fake::now_ms() - g_writes.last_publish_ms >= kIpcPublishIntervalMs);
        }
        g_writes.published = true;
        g_writes.last_publish_ms = fake::now_ms();
    }
}

void check_connection(const IpcConnection& connection)
{
    FUZZ_CHECK(memchr(connection.last_activity, '\0', sizeof connection.last_activity) != nullptr);
    if (connection.pipe == INVALID_HANDLE_VALUE) {
        FUZZ_CHECK(connection.last_activity[0] == '\0');
        FUZZ_CHECK(fake::open_handle_count() == 0);
    } else {
        // The one open handle is the connection's pipe, connected to one peer.
        FUZZ_CHECK(fake::open_handle_count() == 1);
        int connected = 0;
        for (int i = 0; i < 10; ++i) {
            connected += fake::pipe(i).connected ? 1 : 0;
        }
        FUZZ_CHECK(connected == 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    g_writes = Writes();
    fake::on_pipe_write(on_write);
    fuzz::ByteReader in(data, size);
    const uint8_t present = in.u8();
    const uint8_t busy = in.u8();
    fake::set_tick_count(in.u32());
    IpcConnection connection;
    memset(&connection, 0, sizeof connection);
    connection.pipe = INVALID_HANDLE_VALUE;
    connection.nonce = in.u32();

    for (int i = 0; i < kPeers; ++i) {
        fake::PipePeer& peer = fake::pipe(i);
        peer.present = ((present >> i) & 1) != 0;
        peer.busy = ((busy >> i) & 1) != 0;
        peer.on_frame = [&in](fake::PipePeer& self, const fake::Frame& frame) { answer(in, self, frame); };
    }

    for (int step = 0; step < kMostOperations && !in.empty(); ++step) {
        const uint8_t operation = in.u8() % 5;
        const uint8_t write_fault = in.u8();
        for (int i = 0; i < kPeers; ++i) {
            fake::PipePeer& peer = fake::pipe(i);
            peer.write_script.clear();
            if (write_fault % 8 == 6) {
                peer.write_script.push_back("fail");
            } else if (write_fault % 8 == 7) {
                peer.write_script.push_back("short:" + std::to_string(write_fault / 8));
            }
        }
        const bool was_connected = connection.pipe != INVALID_HANDLE_VALUE;
        const std::string last_before = connection.last_activity;
        const uint32_t nonce_before = connection.nonce;
        int connections_before[kPeers];
        for (int i = 0; i < kPeers; ++i) {
            connections_before[i] = fake::pipe(i).connections;
        }
        const uint64_t started_ms = fake::now_ms();
        // Each operation reads at most one reply, right after its one write.
        fuzz::skip_idle_time_until(started_ms + kIpcReplyTimeoutMs);
        uint32_t commands = 0;

        switch (operation) {
        case 0: {
            if (was_connected) {
                break;  // the caller connects only while not connected
            }
            int result = ipc_connect(&connection, kApplicationId);
            FUZZ_CHECK(result == 0 || result == 1);
            FUZZ_CHECK((result == 1) == (connection.pipe != INVALID_HANDLE_VALUE));
            // The first pipe that opens is the only one tried in an attempt.
            int opened = -1;
            for (int i = 0; i < kPeers; ++i) {
                if (fake::pipe(i).connections != connections_before[i]) {
                    FUZZ_CHECK(opened == -1);
                    FUZZ_CHECK(fake::pipe(i).connections == connections_before[i] + 1);
                    opened = i;
                }
            }
            for (int i = 0; i < opened; ++i) {
                FUZZ_CHECK(!fake::pipe(i).present || fake::pipe(i).busy);
            }
            if (result == 1) {
                // The handshake was written last, but for the PONGs that answered PINGs since.
                const fake::PipePeer& peer = fake::pipe(opened);
                size_t last = peer.frames.size();
                while (last > 0 && peer.frames[last - 1].opcode == kIpcOpcodePong) {
                    --last;
                }
                FUZZ_CHECK(last > 0);
                FUZZ_CHECK(peer.frames[last - 1].opcode == kIpcOpcodeHandshake);
                FUZZ_CHECK(peer.frames[last - 1].payload ==
                           std::string("{\"v\":1,\"client_id\":\"") + kApplicationId + "\"}");
            }
            break;
        }
        case 1: {
            const std::string activity = activity_text(in);
            // Held while the last SET_ACTIVITY on this connection is recent.
            const bool held = g_writes.published && fake::now_ms() - g_writes.last_publish_ms < kIpcPublishIntervalMs;
            commands = was_connected && activity != last_before && !held ? 1 : 0;
            int result = ipc_set_activity(&connection, 4242, activity.c_str());
            FUZZ_CHECK(result == 0 || result == 1);
            if (result == 1) {
                FUZZ_CHECK(activity == connection.last_activity);
                FUZZ_CHECK(connection.pipe != INVALID_HANDLE_VALUE);
            } else if (connection.pipe != INVALID_HANDLE_VALUE) {
                FUZZ_CHECK(last_before == connection.last_activity);  // refused: kept
            }
            if (!was_connected) {
                FUZZ_CHECK(result == 0);
            }
            break;
        }
        case 2:
            commands = was_connected ? 1 : 0;
            ipc_clear_activity(&connection, 4242);
            FUZZ_CHECK(connection.pipe == INVALID_HANDLE_VALUE);
            break;
        case 4:
            // A pause between passes; no reply is due in it.
            fuzz::skip_idle_time_until(0);
            Sleep(static_cast<DWORD>(in.u8()) * 100u);
            break;
        default:
            ipc_handle_unasked_frames(&connection);
            if (!was_connected) {
                FUZZ_CHECK(connection.pipe == INVALID_HANDLE_VALUE);
            }
            break;
        }
        FUZZ_CHECK(connection.nonce == nonce_before + commands);
        check_connection(connection);
        // Each frame written waits for one reply at most, so an operation is over in bounded
        // virtual time however silent the peer is.
        FUZZ_CHECK(operation == 4 || fake::now_ms() - started_ms <= kIpcReplyTimeoutMs);
    }
    fuzz::check_log_lines();
    // Leave no handle for the next input's reset to find.
    ipc_disconnect(&connection);
    for (int i = 0; i < kPeers; ++i) {
        fake::pipe(i).on_frame = nullptr;
    }
    fake::on_pipe_write(nullptr);
    return 0;
}
