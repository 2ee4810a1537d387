// What the soak checks about the program while it runs: every frame it writes, every log line,
// its handles, its heap use and how long each pass takes on the fake clock.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace soak {

// The longest a pass may take on the fake clock: the frames that came unasked since the last
// pass, the handshake reply and then the publish reply may each take the whole reply limit, plus
// the few milliseconds of polling steps around them.
const uint64_t kLongestPassMs = 3 * 5000 + 30;
// The presence end waits for at most one reply.
const uint64_t kLongestEndMs = 5000 + 10;

class Observer {
public:
    Observer(uint32_t game_pid, const std::string& application_id)
        : game_pid_(game_pid), application_id_(application_id)
    {
    }

    // A new run, whose nonce counter is seeded with seed.
    void start_run(uint32_t seed, bool presence_on);
    // The monitor loop has ended: from now on only the clear may be written.
    void game_ended() { ended_ = true; }


    // Every WriteFile on a Discord pipe, as the client handed it.
    void on_pipe_write(int index, const std::string& bytes);

    // After each pass (at the end of the wait that follows it) and after the run. pass_ms is
    // the pass's length on the fake clock; limit_ms what it may take; open_limit how many handles
    // may be open. Returns false once any check failed.
    bool after_pass(uint64_t pass_ms, uint64_t limit_ms, size_t open_limit);
    // After the run: no handle open, at most one clear, and for a whole run of the driver its
    // final log line.
    void after_run(bool whole_run);

    // For the loop over presence_pass, which sees the connection record itself.
    uint32_t last_nonce() const { return last_nonce_; }
    // Whether text went out in a SET_ACTIVITY on the current connection.
    bool sent_on_this_connection(const std::string& text) const { return sent_since_handshake_.count(text) != 0; }
    int connection_index() const { return connection_index_; }

    long pass_number() const { return passes_; }
    long commands() const { return commands_; }
    long handshakes() const { return handshakes_; }
    long log_records() const { return log_records_; }
    long pongs() const { return pongs_; }

private:
    void check_command(const std::string& payload);
    void check_activity(const std::string& raw);
    void check_new_log_records();

    uint32_t game_pid_;
    std::string application_id_;
    bool presence_on_ = true;
    bool ended_ = false;
    size_t allocations_before_ = 0;  // counted before this run, by other tests of the binary

    uint32_t last_nonce_ = 0;
    std::set<std::string> sent_since_handshake_;  // activity texts written on this connection
    int connection_index_ = -1;      // the pipe of the last handshake written
    bool published_on_connection_ = false;  // an activity was written since that handshake
    uint32_t last_publish_ticks_ = 0;       // when, as GetTickCount had it
    bool start_known_ = false;
    long long play_start_ = 0;
    int clears_ = 0;

    // This pass.
    int pass_handshakes_ = 0;
    bool command_after_handshake_ = false;
    int pass_connected_lines_ = 0;
    std::string last_message_;

    size_t log_checked_ = 0;         // bytes of the log already checked
    long passes_ = 0;
    long commands_ = 0;
    long handshakes_ = 0;
    long log_records_ = 0;
    long pongs_ = 0;
};

}  // namespace soak
