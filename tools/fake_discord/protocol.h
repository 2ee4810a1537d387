// What the stand-in answers to each frame, as the Discord desktop client would: the handshake,
// SET_ACTIVITY with the client's checks of the activity, ping, close. No I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

const uint32_t kOpHandshake = 0;
const uint32_t kOpFrame = 1;
const uint32_t kOpClose = 2;
const uint32_t kOpPing = 3;
const uint32_t kOpPong = 4;

struct Frame {
    uint32_t opcode = 0;
    std::string payload;
};

struct SessionState {
    bool handshaken = false;
};

struct Outcome {
    std::vector<Frame> replies;
    bool close = false;        // close the connection after the replies
    std::string close_reason;  // for the log
    bool accepted_activity = false;
    std::string card;      // when an activity was accepted: its readable card
    std::string activity;  // ...and the activity as JSON text ("null" for a clear)
};

// Decides the replies to one received frame and advances the session's state.
Outcome handle_frame(SessionState& state, const Frame& frame, const Options& options);

// The card shown when a connection closes while its presence is shown: the client clears it.
std::string closed_card();

// Counts UTF-16 code units of a valid UTF-8 text, as the client measures lengths.
size_t utf16_length(const std::string& utf8);

// Dumps any JSON-ish text as a JSON string, invalid UTF-8 replaced, for the event log.
std::string json_string(const std::string& text);
