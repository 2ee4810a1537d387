// Command-line options of the stand-in Discord client.
#pragma once

#include <string>
#include <vector>

struct Faults {
    bool refuse = false;           // every handshake gets the close frame
    bool error = false;            // every command is answered with ERROR
    bool silent = false;           // nothing is ever answered
    bool silent_commands = false;  // the handshake is answered, commands are not
    bool pieces = false;           // reply payloads go out in three pieces, ~100 ms apart
    bool oversized = false;        // reply payloads are padded to 4096 bytes
    bool garbage = false;          // reply payloads are random bytes
    unsigned close_after = 0;      // close after this many frames received (0: never)
    unsigned close_frame_after = 0;  // send a close frame and close after answering this many (0: never)
    bool stray_reply = false;      // each command's answer comes behind an ERROR reply to another nonce
};

struct Options {
    std::string dir;  // POSIX: folder of the socket; empty: from the environment
    unsigned index = 0;
    std::vector<std::string> client_ids;  // empty: any ID of 15 to 24 digits is known
    std::string log_path;                 // empty: standard output
    std::string cards_path;               // empty: no cards
    std::string ready_file;
    std::string stop_file;
    double exit_after_seconds = 0;  // 0: no limit
    // Like the real client: an update less than this many seconds after the last one applied on
    // its connection is answered like a success but not applied (0: every update is applied).
    double rate_limit_seconds = 0;
    bool ping = false;  // send PINGs unasked (after READY, after the first reply) and check the PONGs
    Faults faults;
};

// Fills options from argv. On a bad command line, returns false with the reason in error.
bool parse_options(int argc, char** argv, Options& options, std::string& error);

const char* usage_text();
