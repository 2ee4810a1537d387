// The soak's surroundings: what Discord, the game side and the clocks do to the program.
#include "soak/surroundings.h"

#include <cstdio>

namespace soak {

const char kDataFolder[] = "C:\\Games\\Kel\\Brightrelay";
const char kStatusPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_kel_status.json";
const char kIdPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_application_id";
const char kLogPath[] = "C:\\Games\\Kel\\Brightrelay\\Brightrelay.log";

namespace {

const int64_t kResetUnixTime = 1700000000;
const uint64_t kReplyLimitMs = 5000;

// The nonce of a command as the peer reads it: the text between the quotes after "nonce":.
std::string nonce_of(const std::string& payload)
{
    const std::string key = "\"nonce\":\"";
    size_t start = payload.find(key);
    if (start == std::string::npos) {
        return "null";
    }
    start += key.size();
    size_t end = payload.find('"', start);
    return payload.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

bool is_valid_utf8(const std::string& text)
{
    size_t at = 0;
    while (at < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if (lead < 0x80u) {
            ++at;
            continue;
        } else if ((lead & 0xE0u) == 0xC0u) {
            length = 2, code = lead & 0x1Fu, least = 0x80u;
        } else if ((lead & 0xF0u) == 0xE0u) {
            length = 3, code = lead & 0x0Fu, least = 0x800u;
        } else if ((lead & 0xF8u) == 0xF0u) {
            length = 4, code = lead & 0x07u, least = 0x10000u;
        } else {
            return false;
        }
        if (at + length > text.size()) {
            return false;
        }
        for (size_t i = 1; i < length; ++i) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0u) != 0x80u) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < least || code > 0x10FFFFu || (code >= 0xD800u && code <= 0xDFFFu)) {
            return false;
        }
        at += length;
    }
    return true;
}

int64_t Surroundings::unix_now() const
{
    return unix_base_s_ + static_cast<int64_t>((fake::now_ms() - unix_set_at_ms_) / 1000);
}

void Surroundings::start_run(bool presence_on)
{
    fake::reset();
    unix_base_s_ = kResetUnixTime;
    unix_set_at_ms_ = 0;
    fake::add_folder(kDataFolder);
    if (presence_on) {
        fake::put_file(kIdPath, "418829376113459201\r\n");
    } else if (chance(0.5)) {
        fake::put_file(kIdPath, "not an id");
    }
    // The nonce is seeded from the tick count: now and then right below the wrap.
    if (chance(0.3)) {
        fake::set_tick_count(static_cast<DWORD>(0xFFFFFFFFu - below(20)));
    } else {
        fake::set_tick_count(static_cast<DWORD>(rng_()));
    }
    for (int index = 0; index < 10; ++index) {
        fake::pipe(index).on_frame = [this, index](fake::PipePeer& peer, const fake::Frame& frame) {
            answer(peer, index, frame);
        };
    }
    new_discord_layout();
    change_status_file();
}

void Surroundings::between_passes()
{
    if (chance(0.004)) {
        new_discord_layout();
    }
    for (int index = 0; index < 10; ++index) {
        fake::PipePeer& peer = fake::pipe(index);
        if (peer.connected && chance(0.004)) {
            // Discord restarts or crashes: its end closes, found by the next peek.
            peer.close();
        }
        if (chance(0.01)) {
            personas_[index] = static_cast<Persona>(below(static_cast<uint64_t>(Persona::count)));
        }
        if (peer.connected && chance(0.005)) {
            peer.write_script.push_back(chance(0.5) ? "fail" : "short:" + std::to_string(below(40)));
        }
        if (peer.connected && chance(0.01)) {
            send_unasked(peer);
        }
    }
    change_status_file();
    change_clocks();
}

void Surroundings::new_discord_layout()
{
    // Mostly one Discord on a low index; sometimes none, several, or squatters on index 0.
    for (int index = 0; index < 10; ++index) {
        fake::PipePeer& peer = fake::pipe(index);
        double present = index == 0 ? 0.7 : index < 3 ? 0.3 : 0.05;
        bool was_present = peer.present;
        peer.present = chance(present);
        peer.busy = peer.present && chance(0.1);
        if (was_present && !peer.present && peer.connected) {
            peer.close();  // Discord quit: the pipe goes with it
        }
        static const int kWeights[] = {50, 25, 6, 4, 5, 5, 5};
        uint64_t draw = below(100);
        int persona = 0;
        while (draw >= static_cast<uint64_t>(kWeights[persona])) {
            draw -= static_cast<uint64_t>(kWeights[persona]);
            ++persona;
        }
        personas_[index] = static_cast<Persona>(persona);
    }
}

void Surroundings::answer(fake::PipePeer& peer, int index, const fake::Frame& frame)
{
    Persona persona = personas_[index];
    if (frame.opcode == 0) {
        answer_handshake(peer, persona);
    } else {
        answer_command(peer, persona, nonce_of(frame.payload));
    }
}

void Surroundings::answer_handshake(fake::PipePeer& peer, Persona persona)
{
    switch (persona) {
    case Persona::healthy:
    case Persona::erroring:
        peer.reply(fake::ready_payload(), 1, chance(0.9) ? 0 : below(kReplyLimitMs));
        return;
    case Persona::slow:
        peer.reply(fake::ready_payload(), 1, kReplyLimitMs - 1000 + below(2000));
        return;
    case Persona::silent:
        return;
    case Persona::refusing:
        peer.reply("{\"code\":4000,\"message\":\"Invalid Client ID" + forged_message() + "\"}", 2);
        return;
    case Persona::garbage:
        peer.send_raw(garbage_bytes(1 + below(300)));
        return;
    case Persona::flaky:
    case Persona::count:
        misbehave(peer, fake::ready_payload());
        return;
    }
}

void Surroundings::answer_command(fake::PipePeer& peer, Persona persona, const std::string& nonce)
{
    switch (persona) {
    case Persona::healthy:
        if (chance(0.9)) {
            peer.reply(fake::set_activity_reply(nonce));
        } else {
            send_in_pieces(peer, fake::set_activity_reply(nonce), below(kReplyLimitMs));
        }
        return;
    case Persona::erroring:
        peer.reply(fake::error_reply(nonce, "Invalid activity" + forged_message()));
        return;
    case Persona::slow:
        peer.reply(fake::set_activity_reply(nonce), 1, kReplyLimitMs - 1000 + below(2000));
        return;
    case Persona::silent:
        return;
    case Persona::refusing:
        peer.reply(fake::error_reply(nonce, "Not authenticated"));
        return;
    case Persona::garbage:
        peer.send_raw(garbage_bytes(1 + below(300)));
        return;
    case Persona::flaky:
    case Persona::count:
        misbehave(peer, fake::set_activity_reply(nonce));
        return;
    }
}

// What the client sends between two commands, unasked: a PING, a reply to nothing, an event,
// or a CLOSE that ends the connection.
void Surroundings::send_unasked(fake::PipePeer& peer)
{
    switch (below(4)) {
    case 0:
        peer.reply("{\"ping\":" + std::to_string(below(1000)) + "}", 3);
        return;
    case 1:
        peer.reply(chance(0.5) ? fake::set_activity_reply(std::to_string(rng_() & 0xFFFFFFFFu))
                               : fake::error_reply(std::to_string(rng_() & 0xFFFFFFFFu), "stale" + forged_message()));
        return;
    case 2:
        peer.reply("{\"cmd\":\"DISPATCH\",\"evt\":\"ACTIVITY_JOIN\",\"data\":{},\"nonce\":null}");
        return;
    default:
        peer.reply("{\"code\":1000,\"message\":\"Closing" + forged_message() + "\"}", 2);
        peer.close();
        return;
    }
}

// One of the ways a broken or hostile peer answers, or the right answer.
void Surroundings::misbehave(fake::PipePeer& peer, const std::string& good_payload)
{
    switch (below(15)) {
    case 0:  // no answer at all: the reply limit must end the wait
        return;
    case 1:  // too late
        peer.reply(good_payload, 1, kReplyLimitMs + 1 + below(4000));
        return;
    case 2:  // the payload in pieces, in time or not
        send_in_pieces(peer, good_payload, below(2 * kReplyLimitMs));
        return;
    case 3: {  // the header in two pieces
        std::string bytes = fake::frame_bytes(1, good_payload);
        size_t cut = 1 + below(7);
        peer.send_raw(bytes.substr(0, cut));
        peer.send_raw(bytes.substr(cut), below(100));
        return;
    }
    case 4: {  // oversized, with the expected word inside
        std::string payload = good_payload + std::string(2048 + below(4000), ' ');
        peer.reply(payload);
        return;
    }
    case 5:  // a header that announces more than ever comes
        peer.send_raw(fake::frame_bytes(1, good_payload).substr(0, 8 + below(good_payload.size())));
        return;
    case 6:
        peer.send_fail(below(kReplyLimitMs));
        return;
    case 7:
        peer.send_empty(below(kReplyLimitMs));
        return;
    case 8:  // the peer closes after reading
        peer.close();
        return;
    case 9:  // an answer, then trailing junk the next read would meet
        peer.reply(good_payload);
        peer.send_raw(garbage_bytes(1 + below(64)));
        return;
    case 10:
        peer.reply(garbage_bytes(below(400)));
        return;
    case 11:  // a PING first, then the answer
        peer.reply("{\"nonce\":\"" + std::to_string(below(100)) + "\"}", 3);
        peer.reply(good_payload, 1, below(100));
        return;
    case 12:  // a reply to another command first, then the answer
        peer.reply(fake::error_reply(std::to_string(rng_() & 0xFFFFFFFFu), "not this one"));
        peer.reply(good_payload);
        return;
    case 13:  // a CLOSE in place of the answer
        peer.reply("{\"code\":4000,\"message\":\"Invalid" + forged_message() + "\"}", 2);
        peer.close();
        return;
    default:
        peer.reply(good_payload);
        return;
    }
}

void Surroundings::send_in_pieces(fake::PipePeer& peer, const std::string& payload, uint64_t total_ms)
{
    std::string bytes = fake::frame_bytes(1, payload);
    peer.send_raw(bytes.substr(0, 8));
    size_t at = 8;
    size_t pieces = 1 + below(5);
    for (size_t piece = 1; piece <= pieces && at < bytes.size(); ++piece) {
        size_t length = piece == pieces ? bytes.size() - at : 1 + below(bytes.size() - at);
        peer.send_raw(bytes.substr(at, length), total_ms * piece / pieces);
        at += length;
    }
}

void Surroundings::change_status_file()
{
    uint64_t draw = below(100);
    int64_t now = unix_now();
    if (draw < 25) {
        fake::put_file(kStatusPath, status_text(now - static_cast<int64_t>(below(30)) + (chance(0.1) ? 5 : 0)));
    } else if (draw < 29) {
        static const int64_t kAways[] = {-31, 6, -100000, 100000};
        int64_t ts = chance(0.2) ? -static_cast<int64_t>(below(3)) : now + kAways[below(4)];
        fake::put_file(kStatusPath, status_text(ts));
    } else if (draw < 32) {
        fake::remove_file(kStatusPath);
    } else if (draw < 35) {  // caught half-written
        std::string text = status_text(now);
        fake::put_file(kStatusPath, text.substr(0, below(text.size())));
    } else if (draw < 37) {
        fake::put_file(kStatusPath, garbage_bytes(below(3000)));
    } else if (draw < 38) {  // longer than is read: "ts" lies beyond the first 2047 bytes
        fake::put_file(kStatusPath, "{\"pad\":\"" + std::string(2100, 'x') + "\"," + status_text(now).substr(1));
    } else if (draw < 39) {
        fake::FileFaults faults;
        faults.fail_open = chance(0.3);
        faults.fail_read = chance(0.3);
        faults.read_limit = chance(0.3) ? static_cast<DWORD>(1 + below(200)) : 0;
        fake::set_file_faults(kStatusPath, faults);
    }
}

void Surroundings::change_clocks()
{
    if (chance(0.01)) {
        // The user or the network time service moves the clock by hours, either way.
        int64_t hours = 1 + static_cast<int64_t>(below(48));
        int64_t now = unix_now() + (chance(0.5) ? hours : -hours) * 3600;
        fake::set_unix_time(now);
        unix_base_s_ = now;
        unix_set_at_ms_ = fake::now_ms();
    }
    if (chance(0.005)) {
        // Close below the tick count's wrap, so that the next reply wait straddles it.
        fake::set_tick_count(static_cast<DWORD>(0xFFFFFFFFu - below(8000)));
    }
}

std::string Surroundings::status_text(int64_t ts)
{
    bool hostile = chance(0.3);
    std::string text = "{\"ok\":" + std::string(chance(0.95) ? "true" : "false") +
                       ",\"in_world\":" + (chance(0.95) ? "true" : "false") + ",\"ts\":" + std::to_string(ts);
    static const char* const kKeys[] = {"name", "zone", "guild", "faction", "class", "race"};
    for (const char* key : kKeys) {
        if (chance(0.8)) {
            text += ",\"" + std::string(key) + "\":\"" + value_text(hostile) + "\"";
        }
    }
    if (chance(0.8)) {
        static const char* const kLevels[] = {"27", "0", "-5", "60.5", "4294967297", "2147483648", "\"12\"", "1e3"};
        text += ",\"level\":" + std::string(chance(0.7) ? std::to_string(1 + below(80)) : kLevels[below(8)]);
    }
    return text + "}";
}

// A value as it stands in the file, between its quotes. Hostile values carry the escapes the
// scanner decodes, raw control bytes, cut UTF-8 and bytes that are not UTF-8 at all.
std::string Surroundings::value_text(bool hostile)
{
    static const char* const kPlain[] = {"Tamsin", "Harbor Market", "Lantern Keepers", "coastal", "Warden",
                                         "Human", " ", "\xc3\xa9", "\xe6\xbc\xa2", "\xf0\x9f\x99\x82", "a"};
    static const char* const kHostile[] = {"\\\"", "\\\\", "\\n", "\\r", "\\t", "\\u00e9", "\\/", "\\b",
                                           "\x01", "\x7f", "\xc3", "\xff", "\\", "\"", "}", "{\"", ":"};
    std::string value;
    size_t parts = below(hostile ? 60 : 12);
    for (size_t part = 0; part < parts; ++part) {
        if (hostile && chance(0.4)) {
            value += kHostile[below(sizeof kHostile / sizeof kHostile[0])];
        } else {
            value += kPlain[below(sizeof kPlain / sizeof kPlain[0])];
        }
    }
    return value;
}

std::string Surroundings::garbage_bytes(size_t length)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(below(256));
    }
    return bytes;
}

// Text a hostile peer puts into a reply that the program logs: line breaks and what would look
// like a log line of the program's own.
std::string Surroundings::forged_message()
{
    switch (below(4)) {
    case 0:
        return "\\r\\n2023-11-14 22:13:20 Kel stopped; Brightrelay exiting.";
    case 1:
        return std::string("\r\n2023-11-14 22:13:20 Connected to Discord IPC.\r\n");
    case 2:
        return garbage_bytes(below(40));
    default:
        return std::string(below(1500), 'L');
    }
}

}  // namespace soak
