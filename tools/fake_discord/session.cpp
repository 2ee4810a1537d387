// The read-answer loop of one connection, and the faults that bend the answers.
#include "session.h"

#include <cstdint>
#include <random>
#include <string>

#include "protocol.h"
#include "server.h"
#include "sys.h"

namespace {

// Far above anything the client sends; a larger length means the stream is out of step.
const uint32_t kMaxIncomingPayload = 65536;
const size_t kOversizedPayload = 4096;

void put_u32(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t get_u32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// Pads a JSON object text to exactly size bytes with a "padding" member, so it stays JSON.
std::string padded(const std::string& payload, size_t size) {
    const std::string member = ",\"padding\":\"\"";
    if (payload.size() + member.size() > size || payload.empty() || payload.back() != '}') {
        std::string out = payload;
        out.resize(size, ' ');
        return out;
    }
    std::string out = payload.substr(0, payload.size() - 1);
    out += ",\"padding\":\"";
    out.append(size - out.size() - 2, 'x');
    out += "\"}";
    return out;
}

std::string random_bytes(std::mt19937& random) {
    std::uniform_int_distribution<int> length(16, 256);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(static_cast<size_t>(length(random)), '\0');
    for (char& c : out) c = static_cast<char>(byte(random));
    return out;
}

bool send_frame(Channel& channel, const Frame& frame, bool pieces) {
    unsigned char header[8];
    put_u32(header, frame.opcode);
    put_u32(header + 4, static_cast<uint32_t>(frame.payload.size()));
    if (!pieces) {
        std::string whole(reinterpret_cast<const char*>(header), sizeof header);
        whole += frame.payload;
        return channel.write_all(whole.data(), whole.size());
    }
    if (!channel.write_all(header, sizeof header)) return false;
    size_t size = frame.payload.size();
    size_t cuts[4] = {0, size / 3, 2 * size / 3, size};
    for (int i = 0; i < 3; ++i) {
        sleep_ms(100);
        if (!channel.write_all(frame.payload.data() + cuts[i], cuts[i + 1] - cuts[i])) return false;
    }
    return true;
}

}  // namespace

void run_session(Channel& channel, unsigned conn, const Options& options, EventLog& log) {
    const Faults& faults = options.faults;
    std::mt19937 random(12345u + conn);
    SessionState state;
    unsigned frames_received = 0;
    std::string reason = "client closed";
    log.connect(conn);
    for (;;) {
        unsigned char header[8];
        if (!channel.read_exact(header, sizeof header)) break;
        Frame frame;
        frame.opcode = get_u32(header);
        uint32_t length = get_u32(header + 4);
        if (length > kMaxIncomingPayload) {
            reason = "frame length " + std::to_string(length) + " too large";
            break;
        }
        frame.payload.resize(length);
        if (length > 0 && !channel.read_exact(&frame.payload[0], length)) {
            reason = "client closed inside a frame";
            break;
        }
        ++frames_received;
        log.frame(conn, "frame", frame.opcode, frame.payload);
        if (faults.close_after > 0 && frames_received >= faults.close_after) {
            reason = "fault close-after";
            break;
        }
        Outcome outcome = handle_frame(state, frame, options);
        bool answer = !faults.silent && !(faults.silent_commands && frame.opcode != kOpHandshake);
        bool written = true;
        for (Frame& reply : outcome.replies) {
            if (!answer) break;
            if (faults.garbage) reply.payload = random_bytes(random);
            else if (faults.oversized) reply.payload = padded(reply.payload, kOversizedPayload);
            written = send_frame(channel, reply, faults.pieces);
            if (!written) break;
            log.frame(conn, "reply", reply.opcode, reply.payload);
        }
        if (!written) {
            reason = "write failed";
            break;
        }
        if (answer && outcome.accepted_activity) log.card(outcome.card);
        if (outcome.close) {
            reason = outcome.close_reason;
            break;
        }
    }
    // A read cut short by the stand-in's own stop is not the client's doing.
    if (g_stopping && reason == "client closed") reason = "server stopping";
    log.close(conn, reason);
}
