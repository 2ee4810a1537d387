// The world around the program during the soak: Discord peers that come, go and misbehave, a
// status file that is rewritten, torn, garbled or removed, and clocks that jump. Every fault is
// drawn from one seeded generator, so a seed replays a whole soak.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "fake/fake_platform.h"

namespace soak {

extern const char kDataFolder[];
extern const char kStatusPath[];
extern const char kIdPath[];
extern const char kLogPath[];

// Whether text is well-formed UTF-8, as a strict JSON reader demands (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const std::string& text);

// How one Discord pipe answers while it keeps this character.
enum class Persona { healthy, flaky, erroring, silent, refusing, garbage, slow, count };

class Surroundings {
public:
    explicit Surroundings(uint64_t seed) : rng_(seed) {}

    // A fresh machine for a run: the application ID (valid unless presence is to be off), a
    // Discord layout, a status file, the clocks. Installs the peers' frame handlers.
    void start_run(bool presence_on);

    // Changes the world between two passes.
    void between_passes();


    // Draws in [0, bound).
    uint64_t below(uint64_t bound) { return bound == 0 ? 0 : rng_() % bound; }
    bool chance(double probability) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < probability; }

private:
    void answer(fake::PipePeer& peer, int index, const fake::Frame& frame);
    void answer_handshake(fake::PipePeer& peer, Persona persona);
    void answer_command(fake::PipePeer& peer, Persona persona, const std::string& nonce);
    void misbehave(fake::PipePeer& peer, const std::string& good_payload);
    void send_unasked(fake::PipePeer& peer);
    void send_in_pieces(fake::PipePeer& peer, const std::string& payload, uint64_t total_ms);
    void new_discord_layout();
    void change_status_file();
    void change_clocks();
    std::string status_text(int64_t ts);
    std::string value_text(bool hostile);
    std::string garbage_bytes(size_t length);
    std::string forged_message();
    int64_t unix_now() const;

    std::mt19937_64 rng_;
    Persona personas_[10] = {};
    // The fake's UTC clock as last set: seconds, at the virtual time it was set.
    int64_t unix_base_s_ = 0;
    uint64_t unix_set_at_ms_ = 0;
};

}  // namespace soak
