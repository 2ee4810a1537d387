// The stand-in's answers: handshake, SET_ACTIVITY, ping and close, and the activity checks.
#include "protocol.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "sys.h"

using Json = nlohmann::ordered_json;

namespace {

std::string dump(const Json& value) {
    // Replace rather than throw: an error message may quote a client's invalid bytes.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Frame close_frame(int code, const char* message) {
    Json body;
    body["code"] = code;
    body["message"] = message;
    return Frame{kOpClose, dump(body)};
}

Frame reply(const Json& cmd, const Json& data, const Json& evt, const Json& nonce) {
    Json body;
    body["cmd"] = cmd;
    body["data"] = data;
    body["evt"] = evt;
    body["nonce"] = nonce;
    return Frame{kOpFrame, dump(body)};
}

Frame error_reply(const Json& cmd, const Json& nonce, const std::string& message) {
    Json data;
    data["code"] = 4000;
    data["message"] = message;
    return reply(cmd, data, "ERROR", nonce);
}

Frame ready_dispatch() {
    Json config;
    config["cdn_host"] = "cdn.discordapp.com";
    config["api_endpoint"] = "//discord.com/api";
    config["environment"] = "production";
    Json user;
    user["id"] = "104527839201564672";
    user["username"] = "tamsin";
    user["discriminator"] = "0";
    user["global_name"] = "Tamsin";
    user["avatar"] = nullptr;
    user["bot"] = false;
    user["flags"] = 0;
    user["premium_type"] = 0;
    Json data;
    data["v"] = 1;
    data["config"] = config;
    data["user"] = user;
    return reply("DISPATCH", data, "READY", nullptr);
}

// Strict: no comments, no trailing commas, valid UTF-8 in strings. On failure, problem says
// where the text went wrong, cut so that the error reply stays small.
bool parse_json(const std::string& text, Json& value, std::string* problem = nullptr) {
    try {
        value = Json::parse(text);
        return true;
    } catch (const Json::parse_error& e) {
        if (problem) *problem = std::string(e.what()).substr(0, 240);
        return false;
    }
}

bool client_id_known(const std::string& id, const Options& options) {
    if (!options.client_ids.empty()) {
        for (const std::string& known : options.client_ids) {
            if (known == id) return true;
        }
        return false;
    }
    if (id.size() < 15 || id.size() > 24) return false;
    for (char c : id) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

Outcome handle_handshake(SessionState& state, const Frame& frame, const Options& options) {
    Outcome outcome;
    if (state.handshaken) {
        outcome.replies.push_back(error_reply(nullptr, nullptr, "Already connected"));
        return outcome;
    }
    Json message;
    int code = 4000;
    const char* reason = nullptr;
    if (!parse_json(frame.payload, message) || !message.is_object()) {
        reason = "Invalid Payload";
    } else if (!message.contains("v") || !message["v"].is_number_integer() || message["v"] != 1) {
        code = 4004;
        reason = "Invalid Version";
    } else if (!message.contains("client_id") || !message["client_id"].is_string() ||
               !client_id_known(message["client_id"].get<std::string>(), options) ||
               options.faults.refuse) {
        reason = "Invalid Client ID";
    }
    if (reason) {
        outcome.replies.push_back(close_frame(code, reason));
        outcome.close = true;
        outcome.close_reason = "handshake refused";
        return outcome;
    }
    state.handshaken = true;
    outcome.replies.push_back(ready_dispatch());
    return outcome;
}

bool check_text_field(const Json& activity, const char* key, std::string& problem) {
    if (!activity.contains(key)) return true;
    const Json& value = activity[key];
    std::string name = std::string("args.activity.") + key;
    if (!value.is_string()) {
        problem = name + " must be a string";
        return false;
    }
    size_t length = utf16_length(value.get<std::string>());
    if (length < 2) {
        problem = name + " length must be at least 2 characters long";
        return false;
    }
    if (length > 128) {
        problem = name + " length must be less than or equal to 128 characters long";
        return false;
    }
    return true;
}

bool check_set_activity(const Json& message, std::string& problem) {
    if (!message.contains("args") || !message["args"].is_object()) {
        problem = "args must be an object";
        return false;
    }
    const Json& args = message["args"];
    if (!args.contains("pid")) {
        problem = "args.pid is required";
        return false;
    }
    if (!args["pid"].is_number()) {
        problem = "args.pid must be a number";
        return false;
    }
    if (!args.contains("activity") || args["activity"].is_null()) return true;
    const Json& activity = args["activity"];
    if (!activity.is_object()) {
        problem = "args.activity must be an object or null";
        return false;
    }
    if (!check_text_field(activity, "details", problem)) return false;
    if (!check_text_field(activity, "state", problem)) return false;
    if (activity.contains("timestamps")) {
        const Json& timestamps = activity["timestamps"];
        if (!timestamps.is_object()) {
            problem = "args.activity.timestamps must be an object";
            return false;
        }
        for (const char* key : {"start", "end"}) {
            if (timestamps.contains(key) && !timestamps[key].is_number()) {
                problem = std::string("args.activity.timestamps.") + key + " must be a number";
                return false;
            }
        }
    }
    return true;
}

std::string elapsed_text(int64_t start) {
    // Start times in milliseconds are accepted by the client as well.
    if (start > 100000000000LL) start /= 1000;
    int64_t seconds = unix_seconds_now() - start;
    if (seconds < 0) seconds = 0;
    char text[64];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld elapsed",
                      static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld elapsed", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    }
    return text;
}

std::string card_with(const std::vector<std::string>& lines) {
    std::string card = "+-- Kel (Rich Presence) ";
    card.append(42 - card.size(), '-');
    card += "\n";
    for (const std::string& line : lines) card += "| " + line + "\n";
    card += "+" + std::string(40, '-') + "\n";
    return card;
}

std::string card_for(const Json& activity) {
    std::vector<std::string> lines;
    if (activity.is_null()) {
        lines.push_back("(presence cleared)");
    } else {
        if (activity.contains("details")) lines.push_back(activity["details"].get<std::string>());
        if (activity.contains("state")) lines.push_back(activity["state"].get<std::string>());
        if (activity.contains("timestamps") && activity["timestamps"].contains("start")) {
            lines.push_back(elapsed_text(activity["timestamps"]["start"].get<int64_t>()));
        }
        if (lines.empty()) lines.push_back("(empty activity)");
    }
    return card_with(lines);
}

Outcome handle_command(SessionState& state, const Frame& frame, const Options& options) {
    Outcome outcome;
    Json message;
    std::string problem;
    if (!parse_json(frame.payload, message, &problem)) {
        outcome.replies.push_back(error_reply(nullptr, nullptr, "Invalid JSON payload: " + problem));
        return outcome;
    }
    if (!message.is_object()) {
        outcome.replies.push_back(error_reply(nullptr, nullptr, "Payload is not a JSON object"));
        return outcome;
    }
    Json cmd = message.contains("cmd") ? message["cmd"] : Json(nullptr);
    Json nonce = message.contains("nonce") ? message["nonce"] : Json(nullptr);
    if (!state.handshaken) {
        outcome.replies.push_back(error_reply(cmd, nonce, "Not authenticated or invalid scope"));
        return outcome;
    }
    if (!cmd.is_string() || cmd.get<std::string>() != "SET_ACTIVITY") {
        std::string name = cmd.is_string() ? cmd.get<std::string>() : dump(cmd);
        outcome.replies.push_back(error_reply(cmd, nonce, "Unknown command: " + name));
        return outcome;
    }
    if (options.faults.error) {
        outcome.replies.push_back(error_reply(cmd, nonce, "Injected error"));
        return outcome;
    }
    if (!check_set_activity(message, problem)) {
        outcome.replies.push_back(error_reply(cmd, nonce, problem));
        return outcome;
    }
    const Json& args = message["args"];
    Json activity = args.contains("activity") ? args["activity"] : Json(nullptr);
    outcome.replies.push_back(reply(cmd, activity, nullptr, nonce));
    outcome.accepted_activity = true;
    outcome.card = card_for(activity);
    outcome.activity = dump(activity);
    return outcome;
}

}  // namespace

std::string closed_card() {
    return card_with({"(presence cleared: the connection closed)"});
}

size_t utf16_length(const std::string& utf8) {
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++units;  // one per code point...
        if ((c & 0xF8) == 0xF0) ++units;  // ...and a second for those beyond the BMP
    }
    return units;
}

std::string json_string(const std::string& text) {
    return dump(Json(text));
}

Outcome handle_frame(SessionState& state, const Frame& frame, const Options& options) {
    switch (frame.opcode) {
    case kOpHandshake:
        return handle_handshake(state, frame, options);
    case kOpFrame:
        return handle_command(state, frame, options);
    case kOpPing: {
        Outcome outcome;
        outcome.replies.push_back(Frame{kOpPong, frame.payload});
        return outcome;
    }
    case kOpPong:
        return Outcome();  // the session checks it against its PING
    case kOpClose: {
        Outcome outcome;
        outcome.close = true;
        outcome.close_reason = "client sent close";
        return outcome;
    }
    default: {
        Outcome outcome;
        outcome.replies.push_back(close_frame(4000, "Invalid Opcode"));
        outcome.close = true;
        outcome.close_reason = "invalid opcode";
        return outcome;
    }
    }
}
