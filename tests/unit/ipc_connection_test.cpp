// The Discord connection on the fake platform: the pipe walk, the handshake, publishing,
// clearing, the nonce, dropped connections and what reaches the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "ipc/connection.h"
#include "ipc/frame.h"
#include "unit/case_name.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kLogPath[] = "C:\\Games\\Kel\\Brightrelay\\Brightrelay.log";
const char kApplicationId[] = "123456789012345";
const uint32_t kSeed = 5000;
const uint32_t kGamePid = 4242;
const char kActivity[] = "{\"details\":\"Tamsin\",\"state\":\"Harbor Market\",\"timestamps\":{\"start\":1700000000}}";

std::string pipe_name(int index)
{
    return "\\\\.\\pipe\\discord-ipc-" + std::to_string(index);
}

// The messages of the log, without their time stamps ("YYYY-MM-DD hh:mm:ss ").
std::vector<std::string> log_messages()
{
    std::vector<std::string> messages;
    if (!fake::file_exists(kLogPath)) {
        return messages;
    }
    std::string content = fake::file_content(kLogPath);
    size_t start = 0;
    for (size_t end = content.find("\r\n"); end != std::string::npos;
         start = end + 2, end = content.find("\r\n", start)) {
        std::string line = content.substr(start, end - start);
        messages.push_back(line.size() > 20 ? line.substr(20) : line);
    }
    EXPECT_EQ(start, content.size()) << "the log ends in a partial line";
    return messages;
}

std::vector<std::string> pipe_opens()
{
    std::vector<std::string> paths;
    for (const fake::Call& call : fake::calls_named("CreateFileA")) {
        if (call.path.rfind("\\\\.\\pipe\\", 0) == 0) {
            paths.push_back(call.path);
        }
    }
    return paths;
}

std::string nonce_of(const std::string& payload)
{
    const std::string key = "\"nonce\":\"";
    size_t from = payload.find(key);
    if (from == std::string::npos) {
        return "";
    }
    from += key.size();
    return payload.substr(from, payload.find('"', from) - from);
}

std::string publish_payload(uint32_t pid, const std::string& activity, const std::string& nonce)
{
    return "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":" + std::to_string(pid) +
           ",\"activity\":" + activity + "},\"nonce\":\"" + nonce + "\"}";
}

// Answers the handshake with READY and every command with command_reply (the nonce filled in
// from the command), or with nothing when it is empty.
fake::FrameHandler ready_then(std::function<void(fake::PipePeer&, const fake::Frame&)> command_reply)
{
    return [command_reply](fake::PipePeer& peer, const fake::Frame& frame) {
        if (frame.opcode == kIpcOpcodeHandshake) {
            peer.reply(fake::ready_payload());
        } else if (command_reply) {
            command_reply(peer, frame);
        }
    };
}

std::string close_payload(const std::string& message)
{
    return "{\"code\":1000,\"message\":\"" + message + "\"}";
}

// The frames the client sent with opcode op, their payloads in order.
std::vector<std::string> sent_with_opcode(const fake::PipePeer& peer, uint32_t op)
{
    std::vector<std::string> out;
    for (const fake::Frame& frame : peer.frames) {
        if (frame.opcode == op) {
            out.push_back(frame.payload);
        }
    }
    return out;
}

class IpcConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        connection_ = IpcConnection{};
        connection_.pipe = INVALID_HANDLE_VALUE;
        connection_.nonce = kSeed;
    }

    fake::PipePeer& serve(int index)
    {
        fake::PipePeer& peer = fake::pipe(index);
        peer.present = true;
        return peer;
    }

    int connect() { return ipc_connect(&connection_, kApplicationId); }

    size_t pipe_io_calls()
    {
        return fake::count_calls("WriteFile") + fake::count_calls("ReadFile") +
               fake::count_calls("PeekNamedPipe");
    }

    IpcConnection connection_{};
};

// ---- connecting ------------------------------------------------------------------------------

TEST_F(IpcConnectionTest, ConnectSkipsAbsentAndBusyPipesAndShakesHands)
{
    serve(1).busy = true;
    fake::PipePeer& peer = serve(2);
    ASSERT_EQ(connect(), 1);

    EXPECT_THAT(pipe_opens(), ElementsAre(pipe_name(0), pipe_name(1), pipe_name(2)));
    for (const fake::Call& open : fake::calls_named("CreateFileA")) {
        if (open.path.rfind("\\\\.\\pipe\\", 0) != 0) {
            continue;
        }
        EXPECT_EQ(open.access, GENERIC_READ | GENERIC_WRITE);
        EXPECT_EQ(open.share, 0u);
        EXPECT_EQ(open.disposition, OPEN_EXISTING);
        EXPECT_EQ(open.flags, 0u) << "the pipe is synchronous: no overlapped flag";
    }
    ASSERT_EQ(peer.frames.size(), 1u);
    EXPECT_EQ(peer.frames[0].opcode, 0u);
    EXPECT_EQ(peer.frames[0].payload, "{\"v\":1,\"client_id\":\"123456789012345\"}");
    EXPECT_NE(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(connection_.last_activity, "");
    EXPECT_EQ(connection_.nonce, kSeed) << "the handshake carries no nonce";
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC."));
}

TEST_F(IpcConnectionTest, NoDiscordTriesAllTenNamesEachAttemptAndLogsNothing)
{
    std::vector<std::string> ten;
    for (int index = 0; index < 10; ++index) {
        ten.push_back(pipe_name(index));
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        fake::clear_calls();
        EXPECT_EQ(connect(), 0);
        EXPECT_EQ(pipe_opens(), ten);
        EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    }
    EXPECT_THAT(log_messages(), IsEmpty());
    EXPECT_EQ(connection_.nonce, kSeed);
}

// Pipe 0 opens but its handshake fails; pipe 1 would be healthy but is not tried.
struct HandshakeFault {
    const char* name;
    std::vector<std::string> write_script;
    std::function<void(fake::PipePeer&)> answer;  // to the handshake; empty: no answer at all
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const HandshakeFault& c, std::ostream* out) { *out << c.name; }

class IpcHandshakeFaultTest : public IpcConnectionTest,
                              public ::testing::WithParamInterface<HandshakeFault> {};

TEST_P(IpcHandshakeFaultTest, EndsTheAttemptAndTheNextStartsAtPipeZero)
{
    const HandshakeFault& c = GetParam();
    fake::PipePeer& first = serve(0);
    first.write_script = c.write_script;
    std::function<void(fake::PipePeer&)> answer = c.answer;
    first.on_frame = [answer](fake::PipePeer& peer, const fake::Frame&) {
        if (answer) {
            answer(peer);
        }
    };
    fake::PipePeer& second = serve(1);

    for (int attempt = 0; attempt < 2; ++attempt) {
        fake::clear_calls();
        EXPECT_EQ(connect(), 0);
        EXPECT_THAT(pipe_opens(), ElementsAre(pipe_name(0)));
        EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
        EXPECT_EQ(fake::open_handle_count(), 0u) << "the pipe that failed is closed";
    }
    EXPECT_EQ(second.connections, 0);
    EXPECT_EQ(connection_.nonce, kSeed);
    for (const std::string& message : log_messages()) {
        EXPECT_EQ(message.find("Connected"), std::string::npos) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IpcHandshakeFaultTest,
    ::testing::Values(
        HandshakeFault{"WriteFails", {"fail"}, {}},
        HandshakeFault{"WriteShort", {"short:20"}, {}},
        HandshakeFault{"ReadFails", {}, [](fake::PipePeer& peer) { peer.send_fail(); }},
        HandshakeFault{"NoAnswer", {}, {}},
        HandshakeFault{"ReplyOf2048Bytes", {},
                       [](fake::PipePeer& peer) {
                           peer.reply("{\"evt\":\"READY\",\"pad\":\"" + std::string(2048 - 24, 'x') + "\"}");
                       }},
        HandshakeFault{"ReplyWithoutReady", {},
                       [](fake::PipePeer& peer) { peer.reply("{\"evt\":\"faults-suite\"}", 2); }},
        HandshakeFault{"PeerHangsUp", {}, [](fake::PipePeer& peer) { peer.close(); }}),
    CaseName());

struct ReadyCase {
    const char* reply;
    int connected;
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const ReadyCase& c, std::ostream* out) { *out << c.reply; }

class IpcReadyTest : public IpcConnectionTest, public ::testing::WithParamInterface<ReadyCase> {};

TEST_P(IpcReadyTest, QuotedReadyAnywhereCounts)
{
    std::string reply = GetParam().reply;
    serve(0).on_frame = [reply](fake::PipePeer& peer, const fake::Frame&) { peer.reply(reply); };
    EXPECT_EQ(connect(), GetParam().connected) << reply;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IpcReadyTest,
    ::testing::Values(ReadyCase{"{\"cmd\":\"DISPATCH\",\"data\":{\"v\":1},\"evt\":\"READY\"}", 1},
                      ReadyCase{"{\"evt\":\"HELLO\",\"data\":{\"note\":\"READY\"}}", 1},
                      ReadyCase{"\"READY\"", 1},
                      ReadyCase{"{\"evt\":READY,\"case\":\"ready-1\"}", 0},
                      ReadyCase{"{\"evt\":\"NOT_READY\",\"case\":\"ready-2\"}", 0},
                      ReadyCase{"{\"evt\":\"ready\",\"case\":\"ready-3\"}", 0}));

// ---- the refusal message ---------------------------------------------------------------------

TEST_F(IpcConnectionTest, RefusalIsLoggedOnceUntilItChanges)
{
    std::string refusal = "{\"code\":4000,\"message\":\"Invalid Client ID (once)\"}";
    serve(0).on_frame = [&refusal](fake::PipePeer& peer, const fake::Frame&) {
        peer.reply(refusal, 2);
    };
    const std::string first = refusal;
    const std::string other = "{\"code\":4000,\"message\":\"Invalid Client ID (other)\"}";

    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(connect(), 0);
    refusal = other;
    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(connect(), 0);
    refusal = first;
    EXPECT_EQ(connect(), 0);

    EXPECT_THAT(log_messages(), ElementsAre("Discord refused the handshake: " + first,
                                            "Discord refused the handshake: " + other,
                                            "Discord refused the handshake: " + first));
}

TEST_F(IpcConnectionTest, AbsentDiscordAndSilenceAreNotRefusals)
{
    EXPECT_EQ(connect(), 0);  // nothing serves
    serve(0).on_frame = [](fake::PipePeer&, const fake::Frame&) {};
    EXPECT_EQ(connect(), 0);  // opens, never answers
    EXPECT_THAT(log_messages(), IsEmpty());
}

TEST_F(IpcConnectionTest, ControlBytesInARefusalBecomeBlanks)
{
    serve(0).on_frame = [](fake::PipePeer& peer, const fake::Frame&) {
        peer.reply(std::string("{\"message\":\"bad id\r\n2023-11-14 22:13:20 Connected\tto\x01\x7f\"}"), 2);
    };
    EXPECT_EQ(connect(), 0);
    EXPECT_THAT(log_messages(),
                ElementsAre("Discord refused the handshake: {\"message\":\"bad id  2023-11-14 "
                            "22:13:20 Connected to  \"}"));
}

// ---- publishing ------------------------------------------------------------------------------

TEST_F(IpcConnectionTest, PublishSendsTheTemplateWithTheNextNonce)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);

    ASSERT_EQ(peer.frames.size(), 2u);
    EXPECT_EQ(peer.frames[1].opcode, 1u);
    EXPECT_EQ(peer.frames[1].payload, publish_payload(kGamePid, kActivity, "5001"));
    EXPECT_STREQ(connection_.last_activity, kActivity);
    EXPECT_EQ(connection_.nonce, kSeed + 1);
}

TEST_F(IpcConnectionTest, UnchangedTextSendsNothing)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);

    fake::clear_calls();
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, ""), 1) << "empty equals the empty text";
    EXPECT_EQ(pipe_io_calls(), 0u);

    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    fake::clear_calls();
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    EXPECT_EQ(pipe_io_calls(), 0u);
    EXPECT_EQ(peer.frames.size(), 2u);
    EXPECT_EQ(connection_.nonce, kSeed + 1);
}

TEST_F(IpcConnectionTest, NotConnectedSendsNothingAndSpendsNoNonce)
{
    serve(0);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    ipc_clear_activity(&connection_, kGamePid);
    ipc_handle_unasked_frames(&connection_);
    EXPECT_EQ(fake::calls().size(), 0u);
    EXPECT_EQ(connection_.nonce, kSeed);
    EXPECT_EQ(ipc_set_activity(nullptr, kGamePid, kActivity), 0);
}

TEST_F(IpcConnectionTest, ErrorReplyIsLoggedOnceBlankedAndTheTextGoesAgainAfterTheInterval)
{
    fake::PipePeer& peer = serve(0);
    bool refuse = true;
    peer.on_frame = ready_then([&refuse](fake::PipePeer& p, const fake::Frame& frame) {
        if (!refuse) {
            p.reply(fake::set_activity_reply(nonce_of(frame.payload)));
            return;
        }
        p.reply("{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"code\":4002,\"message\":\"bad\r\nforged\"},"
                "\"evt\":\"ERROR\",\"nonce\":\"" + nonce_of(frame.payload) + "\"}");
    });
    ASSERT_EQ(connect(), 1);

    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    EXPECT_NE(connection_.pipe, INVALID_HANDLE_VALUE) << "an error reply keeps the connection";
    EXPECT_STREQ(connection_.last_activity, "");
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0) << "held: too soon after the last";
    EXPECT_EQ(peer.frames.size(), 2u);
    Sleep(kIpcPublishIntervalMs);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    ASSERT_EQ(peer.frames.size(), 3u);
    EXPECT_EQ(nonce_of(peer.frames[1].payload), "5001");
    EXPECT_EQ(peer.frames[2].payload, publish_payload(kGamePid, kActivity, "5002"));
    const std::string logged = "{\"cmd\":\"SET_ACTIVITY\",\"data\":{\"code\":4002,\"message\":\"bad  "
                               "forged\"},\"evt\":\"ERROR\",\"nonce\":\"";
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC.", logged + "5001\"}"))
        << "the same text refused again is not logged again";

    // Once a text was accepted, a later refusal of the first text is news again.
    const char kOther[] = "{\"state\":\"Old Quarry\",\"timestamps\":{\"start\":1700000000}}";
    refuse = false;
    Sleep(kIpcPublishIntervalMs);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kOther), 1);
    refuse = true;
    Sleep(kIpcPublishIntervalMs);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    EXPECT_EQ(log_messages().size(), 3u);
}

// The same refusal on a new connection is logged again: the player may have changed something.
TEST_F(IpcConnectionTest, RefusalIsLoggedAgainOnANewConnection)
{
    fake::PipePeer& peer = serve(0);
    peer.on_frame = ready_then([](fake::PipePeer& p, const fake::Frame& frame) {
        p.reply(fake::error_reply(nonce_of(frame.payload), "refused"));
    });
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    peer.close();
    ipc_handle_unasked_frames(&connection_);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0) << "a new connection publishes at once";
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC.", fake::error_reply("5001", "refused"),
                                            "Connected to Discord IPC.", fake::error_reply("5002", "refused")));
}

// ---- pacing ----------------------------------------------------------------------------------

// Texts handed in at these times after the first SET_ACTIVITY of a connection; which of them go
// out. The first goes at once; any later one only when 15 s have passed since the last one sent.
struct PacingCase {
    const char* name;
    DWORD seed_ticks;                 // the tick count at the first publish
    std::vector<uint64_t> offsets_ms;
    std::vector<bool> sent;
};

void PrintTo(const PacingCase& c, std::ostream* out) { *out << c.name; }

class IpcPacingTest : public IpcConnectionTest, public ::testing::WithParamInterface<PacingCase> {};

TEST_P(IpcPacingTest, SendsAtMostOncePerInterval)
{
    const PacingCase& c = GetParam();
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    fake::set_tick_count(c.seed_ticks);
    uint64_t started = fake::now_ms();
    std::vector<std::string> expected;
    for (size_t i = 0; i < c.offsets_ms.size(); ++i) {
        Sleep(static_cast<DWORD>(started + c.offsets_ms[i] - fake::now_ms()));
        std::string text = "{\"state\":\"Zone " + std::to_string(i) + "\",\"timestamps\":{\"start\":1}}";
        uint32_t nonce_before = connection_.nonce;
        EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, text.c_str()), c.sent[i] ? 1 : 0) << "text " << i;
        EXPECT_EQ(connection_.nonce, nonce_before + (c.sent[i] ? 1u : 0u)) << "a held text spends no nonce";
        if (c.sent[i]) {
            expected.push_back(text);
        } else {
            EXPECT_STRNE(connection_.last_activity, text.c_str()) << "a held text is not kept";
        }
    }
    std::vector<std::string> published;
    for (const std::string& payload : sent_with_opcode(peer, kIpcOpcodeFrame)) {
        size_t from = payload.find("\"activity\":") + 11;
        published.push_back(payload.substr(from, payload.rfind("},\"nonce\"") - from));
    }
    EXPECT_EQ(published, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Timings, IpcPacingTest,
    ::testing::Values(
        PacingCase{"ChangesWithinTheIntervalAreHeld", 1000, {0, 1000, 7000, 14999, 15000},
                   {true, false, false, false, true}},
        PacingCase{"IntervalCountsFromTheLastSent", 1000, {0, 15000, 29999, 30000, 31000},
                   {true, true, false, true, false}},
        PacingCase{"AcrossTheTickCountsWrap", 0xFFFFFFFFu - 5000, {0, 14999, 15000},
                   {true, false, true}}),
    CaseName());

TEST_F(IpcConnectionTest, NewConnectionPublishesAtOnceAndTheClearIsNotPaced)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    peer.close();
    ipc_handle_unasked_frames(&connection_);
    Sleep(1000);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1) << "1 s after the last, on a new connection";
    Sleep(1000);
    ipc_clear_activity(&connection_, kGamePid);
    std::vector<std::string> commands = sent_with_opcode(peer, kIpcOpcodeFrame);
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_NE(commands[2].find("\"activity\":null"), std::string::npos) << "the clear went, 1 s after a publish";
}

TEST_F(IpcConnectionTest, UnquotedErrorIsAcceptance)
{
    serve(0).on_frame = ready_then([](fake::PipePeer& p, const fake::Frame& frame) {
        p.reply("{\"evt\":null,\"data\":{\"note\":\"no ERROR here\"},\"nonce\":\"" + nonce_of(frame.payload) + "\"}");
    });
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    EXPECT_STREQ(connection_.last_activity, kActivity);
}

// The first publish on pipe 0 fails one way or another; the connection is dropped, and after a
// reconnect the same text goes out again with the next nonce.
struct PublishFault {
    const char* name;
    std::vector<std::string> write_script;   // the handshake's write first
    std::function<void(fake::PipePeer&)> answer;  // to commands on the first connection;
                                                  // empty: no answer
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const PublishFault& c, std::ostream* out) { *out << c.name; }

class IpcPublishFaultTest : public IpcConnectionTest,
                            public ::testing::WithParamInterface<PublishFault> {};

TEST_P(IpcPublishFaultTest, DropsTheConnectionAndResendsAfterReconnect)
{
    const PublishFault& c = GetParam();
    fake::PipePeer& peer = serve(0);
    peer.write_script = c.write_script;
    std::function<void(fake::PipePeer&)> answer = c.answer;
    peer.on_frame = ready_then([answer](fake::PipePeer& p, const fake::Frame& frame) {
        if (p.connections == 1) {
            if (answer) {
                answer(p);
            }
        } else {
            p.reply(fake::set_activity_reply(nonce_of(frame.payload)));
        }
    });
    ASSERT_EQ(connect(), 1);

    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(connection_.last_activity, "");
    EXPECT_EQ(connection_.nonce, kSeed + 1) << "the failed command's nonce is spent";
    EXPECT_EQ(fake::open_handle_count(), 0u);

    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    EXPECT_EQ(peer.frames.back().payload, publish_payload(kGamePid, kActivity, "5002"));
    EXPECT_STREQ(connection_.last_activity, kActivity);
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC.", "Connected to Discord IPC."));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IpcPublishFaultTest,
    ::testing::Values(
        PublishFault{"WriteFails", {"ok", "fail"}, {}},
        PublishFault{"WriteShort", {"ok", "short:30"}, {}},
        PublishFault{"ReadFails", {}, [](fake::PipePeer& p) { p.send_fail(); }},
        PublishFault{"ZeroByteRead", {}, [](fake::PipePeer& p) { p.send_empty(); }},
        PublishFault{"NoAnswer", {}, {}},
        PublishFault{"ReplyOf2048Bytes", {},
                     [](fake::PipePeer& p) { p.reply(std::string(2048, ' ')); }},
        PublishFault{"ReplyTooLate", {},
                     [](fake::PipePeer& p) { p.reply("{\"evt\":null}", 1, kIpcReplyTimeoutMs + 100); }}),
    CaseName());

TEST_F(IpcConnectionTest, ReplyJustInsideTheLimitIsAccepted)
{
    serve(0).on_frame = ready_then([](fake::PipePeer& p, const fake::Frame& frame) {
        p.reply(fake::set_activity_reply(nonce_of(frame.payload)), 1, kIpcReplyTimeoutMs - 1);
    });
    ASSERT_EQ(connect(), 1);
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    EXPECT_EQ(fake::now_ms() - started, kIpcReplyTimeoutMs - 1);
}

TEST_F(IpcConnectionTest, SilentDiscordCostsOnlyTheLimit)
{
    int commands = 0;
    serve(0).on_frame = ready_then([&commands](fake::PipePeer&, const fake::Frame&) { ++commands; });
    ASSERT_EQ(connect(), 1);
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    uint64_t waited = fake::now_ms() - started;
    EXPECT_GE(waited, kIpcReplyTimeoutMs);
    EXPECT_LE(waited, kIpcReplyTimeoutMs + 20u);
    EXPECT_EQ(commands, 1);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
}

// ---- the nonce -------------------------------------------------------------------------------

TEST_F(IpcConnectionTest, NonceWrapsAndKeepsRisingAcrossReconnects)
{
    fake::PipePeer& peer = serve(0);
    connection_.nonce = 0xFFFFFFFFu;
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);
    EXPECT_EQ(nonce_of(peer.frames.back().payload), "0");
    EXPECT_EQ(connection_.nonce, 0u);

    peer.close();
    ipc_handle_unasked_frames(&connection_);
    ASSERT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1) << "sent again after a reconnect";
    EXPECT_EQ(nonce_of(peer.frames.back().payload), "1");
    ipc_clear_activity(&connection_, kGamePid);
    EXPECT_EQ(nonce_of(peer.frames.back().payload), "2");
    EXPECT_EQ(connection_.nonce, 2u);
}

// ---- clearing --------------------------------------------------------------------------------

TEST_F(IpcConnectionTest, ClearSendsNullActivityAndCloses)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    ipc_clear_activity(&connection_, kGamePid);
    ASSERT_EQ(peer.frames.size(), 2u);
    EXPECT_EQ(peer.frames[1].opcode, 1u);
    EXPECT_EQ(peer.frames[1].payload,
              "{\"cmd\":\"SET_ACTIVITY\",\"args\":{\"pid\":4242,\"activity\":null},\"nonce\":\"5001\"}");
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake::open_handle_count(), 0u);
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC."));
}

TEST_F(IpcConnectionTest, ClearClosesThePipeWhateverTheReply)
{
    struct {
        const char* name;
        std::vector<std::string> write_script;
        std::function<void(fake::PipePeer&, const std::string& nonce)> answer;
        bool waits;  // whether an answer is waited for at all
    } cases[] = {
        {"reply of 1024 bytes", {}, [](fake::PipePeer& p, const std::string&) { p.reply(std::string(1024, ' ')); },
         true},
        {"reply of 1023 bytes",
         {},
         [](fake::PipePeer& p, const std::string& nonce) {
             std::string reply = "{\"nonce\":\"" + nonce + "\",\"pad\":\"";
             p.reply(reply + std::string(1023 - reply.size() - 2, 'x') + "\"}");
         },
         true},
        {"failed write: nothing to wait for", {"ok", "fail"}, {}, false},
        {"error reply, not logged",
         {},
         [](fake::PipePeer& p, const std::string& nonce) {
             p.reply(fake::error_reply(nonce, "clear"));
         },
         true},
        {"no answer", {}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake::PipePeer& peer = serve(0);
        peer.write_script = c.write_script;
        auto answer = c.answer;
        peer.on_frame = ready_then([answer](fake::PipePeer& p, const fake::Frame& frame) {
            if (answer) {
                answer(p, nonce_of(frame.payload));
            }
        });
        ASSERT_EQ(connect(), 1);
        fake::clear_calls();
        uint64_t started = fake::now_ms();
        ipc_clear_activity(&connection_, kGamePid);
        EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
        EXPECT_EQ(fake::open_handle_count(), 0u);
        EXPECT_EQ(connection_.nonce, kSeed + 1);
        EXPECT_EQ(fake::count_calls("PeekNamedPipe") >= 1u, c.waits);
        EXPECT_LE(fake::now_ms() - started, kIpcReplyTimeoutMs + 20u);
        EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC."));
    }
}

// ---- replies in step -------------------------------------------------------------------------
// The answer to a command is the frame that carries its nonce; PINGs get their PONG, anything
// else the peer sends is passed over, and a CLOSE ends the connection.

TEST_F(IpcConnectionTest, PingBeforeTheHandshakeReplyGetsItsPong)
{
    fake::PipePeer& peer = serve(0);
    peer.on_frame = [](fake::PipePeer& p, const fake::Frame& frame) {
        if (frame.opcode == kIpcOpcodeHandshake) {
            p.reply("{\"ping\":1}", kIpcOpcodePing);
            p.reply("{\"pong\":\"stray\"}", kIpcOpcodePong);  // passed over like the PING
            p.reply(fake::ready_payload(), 1, 3);
        }
    };
    ASSERT_EQ(connect(), 1);
    EXPECT_THAT(sent_with_opcode(peer, kIpcOpcodePong), ElementsAre("{\"ping\":1}"));
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC."));
}

TEST_F(IpcConnectionTest, CloseDuringTheHandshakeIsARefusal)
{
    serve(0).on_frame = [](fake::PipePeer& p, const fake::Frame&) {
        p.reply("{\"ping\":2}", kIpcOpcodePing);
        p.reply("{\"code\":4000,\"message\":\"Invalid Client ID\",\"evt\":\"READY\"}", kIpcOpcodeClose);
    };
    EXPECT_EQ(connect(), 0);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_THAT(log_messages(),
                ElementsAre("Discord refused the handshake: {\"code\":4000,\"message\":\"Invalid Client ID\",\"evt\":\"READY\"}"));
}

// What the peer sends before the answer that carries the command's nonce; the outcome must be
// the answer's own, whatever stood before it.
struct InterleaveCase {
    const char* name;
    std::vector<fake::Frame> before;  // frames sent ahead of the answer
    bool refused;                     // the answer itself is an ERROR
    int result;
    std::vector<std::string> pongs;
};

void PrintTo(const InterleaveCase& c, std::ostream* out) { *out << c.name; }

class IpcInterleaveTest : public IpcConnectionTest, public ::testing::WithParamInterface<InterleaveCase> {};

TEST_P(IpcInterleaveTest, TheAnswerIsTheFrameWithTheNonce)
{
    const InterleaveCase& c = GetParam();
    fake::PipePeer& peer = serve(0);
    peer.on_frame = ready_then([&c](fake::PipePeer& p, const fake::Frame& frame) {
        if (frame.opcode != kIpcOpcodeFrame) {
            return;  // our PONGs
        }
        for (const fake::Frame& before : c.before) {
            p.reply(before.payload, before.opcode);
        }
        const std::string nonce = nonce_of(frame.payload);
        p.reply(c.refused ? fake::error_reply(nonce, "refused") : fake::set_activity_reply(nonce), 1, 2);
    });
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), c.result);
    EXPECT_STREQ(connection_.last_activity, c.result == 1 ? kActivity : "");
    EXPECT_NE(connection_.pipe, INVALID_HANDLE_VALUE) << "the connection stays";
    EXPECT_EQ(sent_with_opcode(peer, kIpcOpcodePong), c.pongs);
    std::vector<std::string> logged = log_messages();
    EXPECT_EQ(logged.size(), c.refused ? 2u : 1u) << "only the answer's own refusal is logged";
    EXPECT_TRUE(peer.outgoing.empty()) << "nothing is left unread to answer a later command";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IpcInterleaveTest,
    ::testing::Values(
        InterleaveCase{"StrayErrorWithAForeignNonceThenSuccess",
                       {{1, fake::error_reply("77", "stray")}}, false, 1, {}},
        InterleaveCase{"StraySuccessWithAForeignNonceThenError",
                       {{1, fake::set_activity_reply("77")}}, true, 0, {}},
        InterleaveCase{"NonceThatOnlyBeginsTheSame",
                       {{1, fake::error_reply("50010", "longer")}}, false, 1, {}},
        InterleaveCase{"EventWithoutNonce",
                       {{1, "{\"cmd\":\"DISPATCH\",\"evt\":\"ERROR\",\"data\":{}}"}}, false, 1, {}},
        InterleaveCase{"PingThenSuccess", {{3, "{\"p\":\"1\"}"}}, false, 1, {"{\"p\":\"1\"}"}},
        InterleaveCase{"TwoPingsThenError", {{3, "a"}, {4, "stray pong"}, {3, "b"}}, true, 0, {"a", "b"}}),
    CaseName());

TEST_F(IpcConnectionTest, CloseWhileWaitingForAnAnswerDropsAndIsLoggedOnce)
{
    fake::PipePeer& peer = serve(0);
    peer.on_frame = ready_then([](fake::PipePeer& p, const fake::Frame&) {
        p.reply(close_payload("going\r\naway"), kIpcOpcodeClose);
    });
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_EQ(connect(), 1);
        EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
        EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
        EXPECT_EQ(fake::open_handle_count(), 0u);
    }
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC.",
                                            "Discord closed the connection: " + close_payload("going  away"),
                                            "Connected to Discord IPC."));
}

// The same payload refused at a handshake and then sent as a CLOSE is not logged twice in a row.
TEST_F(IpcConnectionTest, RefusalAndCloseShareTheLastLoggedText)
{
    const std::string payload = close_payload("shared");
    bool refuse = true;
    serve(0).on_frame = [&refuse, payload](fake::PipePeer& p, const fake::Frame& frame) {
        if (frame.opcode == kIpcOpcodeHandshake) {
            p.reply(refuse ? payload : fake::ready_payload(), refuse ? kIpcOpcodeClose : 1);
        } else {
            p.reply(payload, kIpcOpcodeClose);
        }
    };
    EXPECT_EQ(connect(), 0);
    refuse = false;
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    EXPECT_THAT(log_messages(), ElementsAre("Discord refused the handshake: " + payload, "Connected to Discord IPC."));
}

TEST_F(IpcConnectionTest, PeerThatNeverStopsPingingCostsOnlyTheLimit)
{
    fake::PipePeer& peer = serve(0);
    peer.on_frame = ready_then([](fake::PipePeer& p, const fake::Frame&) {
        p.reply("{\"again\":true}", kIpcOpcodePing, 1);  // to the command and to every PONG
    });
    ASSERT_EQ(connect(), 1);
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 0);
    EXPECT_LE(fake::now_ms() - started, kIpcReplyTimeoutMs + 20u);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_GT(sent_with_opcode(peer, kIpcOpcodePong).size(), 100u);
}

// Frames that came between two passes are dealt with before anything is sent.
TEST_F(IpcConnectionTest, UnaskedPingAndStrayRepliesAreDealtWithBeforeTheNextCommand)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);

    peer.reply("{\"between\":\"passes\"}", kIpcOpcodePing);
    peer.reply(fake::error_reply("12", "an old refusal"));
    fake::clear_calls();
    ipc_handle_unasked_frames(&connection_);
    EXPECT_NE(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_THAT(sent_with_opcode(peer, kIpcOpcodePong), ElementsAre("{\"between\":\"passes\"}"));
    EXPECT_TRUE(peer.outgoing.empty());

    const char kOther[] = "{\"state\":\"Old Quarry\",\"timestamps\":{\"start\":1700000000}}";
    Sleep(kIpcPublishIntervalMs);
    EXPECT_EQ(ipc_set_activity(&connection_, kGamePid, kOther), 1);
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC."));
}

TEST_F(IpcConnectionTest, UnaskedCloseDropsTheConnectionAndIsLogged)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    peer.reply(close_payload("restarting"), kIpcOpcodeClose);
    ipc_handle_unasked_frames(&connection_);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake::open_handle_count(), 0u);
    EXPECT_THAT(log_messages(), ElementsAre("Connected to Discord IPC.",
                                            "Discord closed the connection: " + close_payload("restarting")));
}

TEST_F(IpcConnectionTest, UnaskedFrameCutShortDropsTheConnectionWithinTheLimit)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    peer.send_raw(fake::frame_bytes(1, "{\"half\":\"a frame\"}").substr(0, 14));
    uint64_t started = fake::now_ms();
    ipc_handle_unasked_frames(&connection_);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_LE(fake::now_ms() - started, kIpcReplyTimeoutMs + 20u);
}

// ---- a peer that went away -------------------------------------------------------------------

TEST_F(IpcConnectionTest, NothingUnaskedCostsOnePeekAndAClosedEndDrops)
{
    fake::PipePeer& peer = serve(0);
    ASSERT_EQ(connect(), 1);
    ASSERT_EQ(ipc_set_activity(&connection_, kGamePid, kActivity), 1);

    fake::clear_calls();
    ipc_handle_unasked_frames(&connection_);
    EXPECT_NE(connection_.pipe, INVALID_HANDLE_VALUE) << "a healthy pipe stays";
    EXPECT_STREQ(connection_.last_activity, kActivity);
    EXPECT_EQ(fake::count_calls("PeekNamedPipe"), 1u);
    EXPECT_EQ(pipe_io_calls(), 1u) << "no read, no write";

    peer.close();
    fake::clear_calls();
    ipc_handle_unasked_frames(&connection_);
    EXPECT_EQ(connection_.pipe, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(connection_.last_activity, "");
    EXPECT_EQ(fake::open_handle_count(), 0u);
    EXPECT_EQ(pipe_io_calls(), 1u);
    EXPECT_EQ(connection_.nonce, kSeed + 1);
}

}  // namespace
