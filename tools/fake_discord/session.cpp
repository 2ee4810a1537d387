// The read-answer loop of one connection, and the faults that bend the answers.
#include "session.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

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

// What the connection shows and what it asked of the client, beyond the protocol's state.
struct Presence {
    bool applied_any = false;  // an update was applied on this connection
    int64_t last_applied_ms = 0;
    bool shown = false;        // the last update applied was an activity, not a clear
    unsigned pings_sent = 0;
    std::vector<std::string> pings_waiting;  // payloads of the PINGs not answered yet
};

// Sends a PING unasked and remembers its payload for the PONG.
bool send_ping(Channel& channel, unsigned conn, Presence& presence, EventLog& log) {
    ++presence.pings_sent;
    Frame ping{kOpPing, "{\"ping\":\"" + std::to_string(conn) + "." + std::to_string(presence.pings_sent) + "\"}"};
    if (!send_frame(channel, ping, false)) return false;
    presence.pings_waiting.push_back(ping.payload);
    log.conn_event(conn, "ping", ",\"payload\":" + json_string(ping.payload));
    return true;
}

// An accepted update, applied unless it comes within the rate limit of the last one applied on
// this connection: then, as the real client does, it was answered like a success and is dropped.
void apply_update(unsigned conn, const Options& options, const Outcome& outcome, Presence& presence,
                  EventLog& log) {
    int64_t now = steady_ms_now();
    if (options.rate_limit_seconds > 0 && presence.applied_any &&
        static_cast<double>(now - presence.last_applied_ms) < options.rate_limit_seconds * 1000.0) {
        log.conn_event(conn, "dropped", ",\"activity\":" + outcome.activity);
        return;
    }
    presence.applied_any = true;
    presence.last_applied_ms = now;
    presence.shown = outcome.activity != "null";
    log.conn_event(conn, "applied", ",\"activity\":" + outcome.activity);
    log.card(outcome.card);
}

}  // namespace

void run_session(Channel& channel, unsigned conn, const Options& options, EventLog& log) {
    const Faults& faults = options.faults;
    std::mt19937 random(12345u + conn);
    SessionState state;
    Presence presence;
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
        if (frame.opcode == kOpPong) {
            // It must carry the payload of a PING that has not had its PONG yet.
            auto& waiting = presence.pings_waiting;
            auto match = std::find(waiting.begin(), waiting.end(), frame.payload);
            bool matches = match != waiting.end();
            if (matches) waiting.erase(match);
            log.conn_event(conn, "pong", ",\"payload\":" + json_string(frame.payload) + ",\"matches\":" +
                                             (matches ? "true" : "false"));
        }
        if (faults.close_after > 0 && frames_received >= faults.close_after) {
            reason = "fault close-after";
            break;
        }
        Outcome outcome = handle_frame(state, frame, options);
        bool answer = !faults.silent && !(faults.silent_commands && frame.opcode != kOpHandshake);
        if (answer && faults.stray_reply && frame.opcode == kOpFrame) {
            // A refusal that belongs to no command of this client's, ahead of the real answer.
            outcome.replies.insert(outcome.replies.begin(),
                                   Frame{kOpFrame, "{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"code\":4000,\"message\":"
                                                   "\"stray reply\"},\"evt\":\"ERROR\",\"nonce\":\"stray\"}"});
        }
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
        if (answer && outcome.accepted_activity) apply_update(conn, options, outcome, presence, log);
        if (outcome.close) {
            reason = outcome.close_reason;
            break;
        }
        if (faults.close_frame_after > 0 && frames_received >= faults.close_frame_after) {
            // The client ends the connection on its own: a close frame, unasked, then the close.
            Frame close{kOpClose, "{\"code\":1000,\"message\":\"Closing on request\"}"};
            if (send_frame(channel, close, false)) log.frame(conn, "reply", close.opcode, close.payload);
            reason = "fault close-frame-after";
            break;
        }
        // The PINGs: one right after READY, read by the client while it waits for the answer to
        // its first command; one right after that answer, waiting for the client between passes.
        bool ping_due = (frame.opcode == kOpHandshake && state.handshaken && presence.pings_sent == 0) ||
                        (frame.opcode == kOpFrame && presence.pings_sent == 1);
        if (options.ping && answer && ping_due && !send_ping(channel, conn, presence, log)) {
            reason = "write failed";
            break;
        }
    }
    for (const std::string& payload : presence.pings_waiting) {
        log.conn_event(conn, "pong_missing", ",\"payload\":" + json_string(payload));
    }
    // The client clears a connection's presence when the connection closes.
    if (presence.shown) {
        log.conn_event(conn, "applied", ",\"activity\":null,\"reason\":\"connection closed\"");
        log.card(closed_card());
    }
    // A read cut short by the stand-in's own stop is not the client's doing.
    if (g_stopping && reason == "client closed") reason = "server stopping";
    log.close(conn, reason);
}
