// The soak's checks: frames, nonces and activities as written, log records, handles, heap use
// and pass lengths.
#include "soak/observer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "fake/fake_platform.h"
#include "platform/platform.h"
#include "soak/alloc_guard.h"
#include "soak/surroundings.h"

namespace soak {

namespace {

const size_t kFrameCapacity = 2048;
const size_t kLogLineCapacity = 1200;
const size_t kStampLength = 20;  // "YYYY-MM-DD hh:mm:ss "
const size_t kActivityMost = 767;

uint32_t le32(const std::string& bytes, size_t at)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD hh:mm:ss " at text[at].
bool is_stamp(const std::string& text, size_t at)
{
    static const char kShape[] = "dddd-dd-dd dd:dd:dd ";
    if (text.size() < at + kStampLength) {
        return false;
    }
    for (size_t i = 0; i < kStampLength; ++i) {
        char expected = kShape[i];
        char actual = text[at + i];
        if (expected == 'd' ? !is_digit(actual) : actual != expected) {
            return false;
        }
    }
    return true;
}

// The messages the program writes: its fixed sentences, and Discord's refusals as received.
bool is_known_message(const std::string& message, bool cut)
{
    static const char* const kFixed[] = {
        "Kel_Nordvale.exe detected.",
        "Kel stopped; Brightrelay exiting.",
        "Connected to Discord IPC.",
        "Discord Rich Presence is disabled until a valid discord_application_id is configured.",
        "discord_application_id is missing. Add your Discord Application ID to Brightrelay\\discord_application_id.",
        "discord_application_id is invalid. Replace the file contents with your numeric Discord Application ID.",
    };
    for (const char* fixed : kFixed) {
        if (message == fixed) {
            return true;
        }
    }
    if (message.compare(0, 31, "Discord refused the handshake: ") == 0 ||
        message.compare(0, 31, "Discord closed the connection: ") == 0) {
        return true;
    }
    // An error reply is logged whole; a cut record may have lost the word with its tail.
    return message.find("\"ERROR\"") != std::string::npos || (cut && message.compare(0, 1, "{") == 0);
}

}  // namespace

void Observer::start_run(uint32_t seed, bool presence_on)
{
    presence_on_ = presence_on;
    ended_ = false;
    allocations_before_ = program_allocations();
    last_nonce_ = seed;
    sent_since_handshake_.clear();
    connection_index_ = -1;
    published_on_connection_ = false;
    start_known_ = false;
    clears_ = 0;
    log_checked_ = 0;
    pass_handshakes_ = 0;
    command_after_handshake_ = false;
    pass_connected_lines_ = 0;
    last_message_.clear();
}

void Observer::on_pipe_write(int index, const std::string& bytes)
{
    EXPECT_TRUE(presence_on_) << "pass " << passes_ << ": a write to pipe " << index << " with presence off";
    EXPECT_GE(bytes.size(), 8u) << "pass " << passes_ << ": a write shorter than a frame header";
    EXPECT_LE(bytes.size(), kFrameCapacity) << "pass " << passes_ << ": a frame over 2048 bytes";
    if (bytes.size() < 8) {
        return;
    }
    uint32_t opcode = le32(bytes, 0);
    uint32_t length = le32(bytes, 4);
    EXPECT_EQ(length, bytes.size() - 8) << "pass " << passes_ << ": the header's length is not the payload's";
    std::string payload = bytes.substr(8);
    if (opcode == 0) {
        EXPECT_EQ(payload, "{\"v\":1,\"client_id\":\"" + application_id_ + "\"}") << "pass " << passes_;
        EXPECT_FALSE(ended_) << "pass " << passes_ << ": a handshake after the game ended";
        ++pass_handshakes_;
        ++handshakes_;
        command_after_handshake_ = false;
        connection_index_ = index;
        sent_since_handshake_.clear();
        published_on_connection_ = false;
        return;
    }
    EXPECT_EQ(index, connection_index_) << "pass " << passes_ << ": a frame on a pipe without a handshake";
    if (opcode == 4) {
        ++pongs_;  // the answer to a PING, with its payload: nothing to check here
        return;
    }
    EXPECT_EQ(opcode, 1u) << "pass " << passes_ << ": unknown opcode";
    command_after_handshake_ = true;
    ++commands_;
    check_command(payload);
}

void Observer::check_command(const std::string& payload)
{
    std::string text = payload;
    if (!is_valid_utf8(text)) {
        for (char& byte : text) {
            if (static_cast<unsigned char>(byte) >= 0x80u) {
                byte = '?';  // judged in check_activity
            }
        }
    }
    nlohmann::json command = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(command.is_discarded()) << "pass " << passes_ << ": a command that is not JSON: " << payload;
    ASSERT_TRUE(command.is_object()) << payload;
    EXPECT_EQ(command.value("cmd", ""), "SET_ACTIVITY") << payload;
    ASSERT_TRUE(command.contains("args") && command["args"].is_object()) << payload;
    EXPECT_EQ(command["args"].value("pid", 0u), game_pid_) << payload;
    ASSERT_TRUE(command.contains("nonce") && command["nonce"].is_string()) << payload;
    const std::string nonce = command["nonce"].get<std::string>();
    uint32_t expected = last_nonce_ + 1u;
    EXPECT_EQ(nonce, std::to_string(expected)) << "pass " << passes_ << ": nonce not the previous plus one";
    last_nonce_ = expected;

    const nlohmann::json& activity = command["args"]["activity"];
    if (activity.is_null()) {
        EXPECT_TRUE(ended_) << "pass " << passes_ << ": a clear while the game runs";
        ++clears_;
        EXPECT_EQ(clears_, 1) << "more than one clear in a run";
        return;
    }
    EXPECT_FALSE(ended_) << "after the game ended: " << payload;
    // The client drops updates that come too soon after the last one: never two within 15 s,
    // measured on the tick count as the program sees it (the surroundings move it to just below
    // its wrap now and then, a jump no real clock makes, and the unsigned difference then counts).
    const DWORD ticks = GetTickCount();
    if (published_on_connection_) {
        EXPECT_GE(static_cast<DWORD>(ticks - last_publish_ticks_), 15000u)
            << "pass " << passes_ << ": a SET_ACTIVITY within the publishing interval";
    }
    published_on_connection_ = true;
    last_publish_ticks_ = ticks;
    // The activity as inserted, between its key and the nonce that follows it.
    const std::string head = "\"activity\":";
    const std::string tail = "},\"nonce\":\"" + nonce + "\"}";
    size_t start = payload.find(head);
    ASSERT_NE(start, std::string::npos) << payload;
    start += head.size();
    ASSERT_GE(payload.size(), start + tail.size()) << payload;
    ASSERT_EQ(payload.compare(payload.size() - tail.size(), tail.size(), tail), 0) << payload;
    check_activity(payload.substr(start, payload.size() - tail.size() - start));
}

void Observer::check_activity(const std::string& raw)
{
    sent_since_handshake_.insert(raw);
    EXPECT_LE(raw.size(), kActivityMost) << "pass " << passes_ << ": an activity over 767 characters";
    // Whatever bytes the status file holds, the activity is valid UTF-8: a strict reader such as
    // the client refuses anything else (nlohmann's parser checks it too).
    EXPECT_TRUE(is_valid_utf8(raw)) << "pass " << passes_ << ": an activity not in UTF-8: " << raw;
    const std::string& text = raw;
    nlohmann::json activity = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(activity.is_discarded()) << "pass " << passes_ << ": an activity that is not valid JSON: " << raw;
    ASSERT_TRUE(activity.is_object()) << raw;
    for (auto member = activity.begin(); member != activity.end(); ++member) {
        const std::string& key = member.key();
        EXPECT_TRUE(key == "details" || key == "state" || key == "timestamps") << raw;
        if (key != "timestamps") {
            EXPECT_TRUE(member.value().is_string()) << raw;
        }
    }
    ASSERT_TRUE(activity.contains("timestamps") && activity["timestamps"].is_object()) << raw;
    ASSERT_TRUE(activity["timestamps"].contains("start") && activity["timestamps"]["start"].is_number_integer()) << raw;
    long long start = activity["timestamps"]["start"].get<long long>();
    if (!start_known_) {
        start_known_ = true;
        play_start_ = start;
    }
    EXPECT_EQ(start, play_start_) << "pass " << passes_ << ": the play start time changed within the run";
}

// Every record of the log: a time stamp, then a message without control bytes, then CR LF; or,
// for a message too long for its 1200-byte line, exactly 1199 characters without the line end.
void Observer::check_new_log_records()
{
    const std::string log = fake::file_content(kLogPath);
    size_t at = log_checked_;
    while (at < log.size()) {
        ASSERT_TRUE(is_stamp(log, at)) << "pass " << passes_ << ": a log record without a time stamp: "
                                       << log.substr(at, 80);
        size_t line_end = log.find("\r\n", at);
        size_t most = at + kLogLineCapacity - 1;
        bool cut = line_end == std::string::npos || line_end + 2 > most;
        size_t end = cut ? most : line_end + 2;
        ASSERT_LE(end, log.size()) << "pass " << passes_ << ": a log record torn short";
        size_t message_end = cut ? end : end - 2;
        std::string message = log.substr(at + kStampLength, message_end - at - kStampLength);
        if (cut && !message.empty() && message.back() == '\r') {
            message.pop_back();  // a line of exactly 1200 characters loses only its line feed
        }
        for (char byte : message) {
            unsigned char value = static_cast<unsigned char>(byte);
            ASSERT_FALSE(value < 0x20u || value == 0x7Fu)
                << "pass " << passes_ << ": a control byte " << static_cast<int>(value) << " in a log message";
        }
        EXPECT_TRUE(is_known_message(message, cut)) << "pass " << passes_ << ": a message the program does not write: "
                                                    << message.substr(0, 200);
        if (message == "Connected to Discord IPC.") {
            ++pass_connected_lines_;
        }
        last_message_ = message;
        ++log_records_;
        at = end;
    }
    // The fake keeps the log in memory and hands out copies: start it afresh once it is read.
    if (!log.empty()) {
        fake::put_file(kLogPath, "");
    }
    log_checked_ = 0;
}

bool Observer::after_pass(uint64_t pass_ms, uint64_t limit_ms, size_t open_limit)
{
    check_new_log_records();
    EXPECT_LE(pass_ms, limit_ms) << "pass " << passes_ << " took " << pass_ms << " ms on the fake clock";
    EXPECT_LE(fake::open_handle_count(), open_limit) << "pass " << passes_ << ": a handle leaked";
    EXPECT_EQ(program_allocations(), allocations_before_) << "pass " << passes_ << ": the program allocated on the heap";
    EXPECT_LE(pass_handshakes_, 1) << "pass " << passes_ << ": more than one handshake in a pass";
    EXPECT_LE(pass_connected_lines_, 1) << "pass " << passes_;
    if (pass_connected_lines_ == 1 && !ended_) {
        // The text is empty on a new connection, so the pass that connects also publishes.
        EXPECT_TRUE(command_after_handshake_) << "pass " << passes_ << ": connected but published nothing";
    }
    pass_handshakes_ = 0;
    pass_connected_lines_ = 0;
    command_after_handshake_ = false;
    ++passes_;
    return !::testing::Test::HasFailure();
}

void Observer::after_run(bool whole_run)
{
    check_new_log_records();
    EXPECT_EQ(fake::open_handle_count(), 0u) << "a handle left open after the run";
    if (whole_run) {
        EXPECT_EQ(last_message_, "Kel stopped; Brightrelay exiting.");
    }
    EXPECT_LE(clears_, 1);
    EXPECT_EQ(program_allocations(), allocations_before_) << "the program allocated on the heap";
}

}  // namespace soak
