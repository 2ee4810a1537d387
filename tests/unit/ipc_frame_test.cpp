// Frames on the Discord pipe: the header, the 2048-byte bounds, pieces, faults and the reply wait.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "ipc/connection.h"
#include "ipc/frame.h"
#include "unit/case_name.h"

namespace {

const char kPipe0[] = "\\\\.\\pipe\\discord-ipc-0";

std::string le32(uint32_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFFu));
    }
    return bytes;
}

std::string header(uint32_t opcode, uint32_t length)
{
    return le32(opcode) + le32(length);
}

// A pipe whose peer answers nothing by itself: each test queues exactly what it reads.
class IpcFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::PipePeer& peer = fake::pipe(0);
        peer.present = true;
        peer.on_frame = [](fake::PipePeer&, const fake::Frame&) {};
        pipe_ = CreateFileA(kPipe0, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
        ASSERT_NE(pipe_, INVALID_HANDLE_VALUE);
        fake::clear_calls();
    }

    fake::PipePeer& peer() { return fake::pipe(0); }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

// ---- writing ---------------------------------------------------------------------------------

struct WriteCase {
    const char* name;
    uint32_t opcode;
    std::string payload;
    int result;
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

class IpcWriteFrameTest : public IpcFrameTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(IpcWriteFrameTest, OneWriteOfHeaderAndPayloadOrNothing)
{
    const WriteCase& c = GetParam();
    EXPECT_EQ(ipc_write_frame(pipe_, c.opcode, c.payload.c_str()), c.result);
    std::vector<fake::Call> writes = fake::calls_named("WriteFile");
    if (c.result == 0) {
        EXPECT_TRUE(writes.empty()) << "a frame past 2048 bytes must not reach the pipe";
        EXPECT_TRUE(peer().frames.empty());
        return;
    }
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size, c.payload.size() + 8);
    // The peer decodes the header as little-endian opcode and length: one whole frame with
    // nothing left over means the 8 header bytes were exactly those.
    ASSERT_EQ(peer().frames.size(), 1u);
    EXPECT_EQ(peer().frames[0].opcode, c.opcode);
    EXPECT_EQ(peer().frames[0].payload, c.payload);
    EXPECT_TRUE(peer().incoming.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, IpcWriteFrameTest,
    ::testing::Values(
        // A 15-digit ID's handshake: 00 00 00 00, 25 00 00 00, then 37 payload bytes.
        WriteCase{"Handshake45Bytes", 0, "{\"v\":1,\"client_id\":\"123456789012345\"}", 1},
        WriteCase{"EmptyPayload", 1, "", 1},
        WriteCase{"ExactlyTheBound", 1, std::string(2040, 'x'), 1},
        WriteCase{"OneByteOverTheBound", 1, std::string(2041, 'x'), 0},
        WriteCase{"HighOpcodeBytes", 0x01020304u, "{}", 1}),
    CaseName());

TEST_F(IpcFrameTest, ShortOrFailedWriteFailsAndIsNotRetried)
{
    for (const char* fault : {"short:10", "fail"}) {
        SCOPED_TRACE(fault);
        fake::clear_calls();
        peer().write_script = {fault};
        EXPECT_EQ(ipc_write_frame(pipe_, 1, "{\"cmd\":\"X\"}"), 0);
        EXPECT_EQ(fake::count_calls("WriteFile"), 1u);
    }
}

// ---- reading ---------------------------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::vector<fake::Chunk> chunks;  // queued before the read; ready_at_ms is the delay
    uint32_t capacity;
    int result;
    std::string text;          // on success
    size_t read_calls;         // ReadFile calls made
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

fake::Chunk data(const std::string& bytes, uint64_t delay_ms = 0)
{
    fake::Chunk chunk;
    chunk.bytes = bytes;
    chunk.ready_at_ms = delay_ms;
    return chunk;
}

fake::Chunk failing()
{
    fake::Chunk chunk;
    chunk.kind = fake::Chunk::fail;
    return chunk;
}

fake::Chunk empty()
{
    fake::Chunk chunk;
    chunk.kind = fake::Chunk::empty;
    return chunk;
}

class IpcReadFrameTest : public IpcFrameTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(IpcReadFrameTest, ReadsOneWholeFrameOrFails)
{
    const ReadCase& c = GetParam();
    for (const fake::Chunk& chunk : c.chunks) {
        switch (chunk.kind) {
        case fake::Chunk::data: peer().send_raw(chunk.bytes, chunk.ready_at_ms); break;
        case fake::Chunk::fail: peer().send_fail(chunk.ready_at_ms); break;
        case fake::Chunk::empty: peer().send_empty(chunk.ready_at_ms); break;
        }
    }
    std::vector<char> buffer(c.capacity + 1, '#');
    EXPECT_EQ(ipc_read_frame(pipe_, buffer.data(), c.capacity), c.result);
    if (c.result == 1) {
        EXPECT_EQ(std::string(buffer.data()), c.text);
    }
    EXPECT_EQ(buffer[c.capacity], '#') << "nothing may land past the capacity";
    EXPECT_EQ(fake::count_calls("ReadFile"), c.read_calls);
}

const std::string kPayload2047(2047, 'p');
const std::string kPayload2048(2048, 'p');

INSTANTIATE_TEST_SUITE_P(
    Frames, IpcReadFrameTest,
    ::testing::Values(
        ReadCase{"OneChunk", {data(fake::frame_bytes(1, "{\"evt\":null}"))}, 2048, 1,
                 "{\"evt\":null}", 2},
        ReadCase{"AnyOpcode", {data(fake::frame_bytes(7, "abc"))}, 2048, 1, "abc", 2},
        ReadCase{"ZeroLengthNeedsNoPayloadRead", {data(header(1, 0))}, 2048, 1, "", 1},
        ReadCase{"LengthCapacityLessOneFits", {data(fake::frame_bytes(1, kPayload2047))}, 2048, 1,
                 kPayload2047, 2},
        ReadCase{"LengthEqualToCapacityRefusedUnread", {data(fake::frame_bytes(1, kPayload2048))},
                 2048, 0, "", 1},
        ReadCase{"LengthAllOnesRefused", {data(header(1, 0xFFFFFFFFu) + "xyz")}, 2048, 0, "", 1},
        ReadCase{"SmallCapacity", {data(fake::frame_bytes(1, "abcd"))}, 4, 0, "", 1},
        ReadCase{"PayloadInPieces",
                 {data(header(1, 10)), data("abc"), data("defg"), data("hij")}, 2048, 1,
                 "abcdefghij", 4},
        ReadCase{"HeaderInPiecesFails", {data(header(1, 3).substr(0, 5)), data(header(1, 3).substr(5)),
                                         data("abc")},
                 2048, 0, "", 1},
        ReadCase{"ZeroByteHeaderReadFails", {empty()}, 2048, 0, "", 1},
        ReadCase{"ZeroBytePayloadReadFails", {data(header(1, 6) + "abc"), empty(), data("def")},
                 2048, 0, "", 3},
        ReadCase{"FailedHeaderReadFails", {failing()}, 2048, 0, "", 1},
        ReadCase{"FailedPayloadReadFails", {data(header(1, 6) + "abc"), failing()}, 2048, 0, "",
                 3}),
    CaseName());

TEST_F(IpcFrameTest, LengthRefusedLeavesPayloadInPipe)
{
    peer().send_raw(fake::frame_bytes(1, kPayload2048));
    char buffer[2048];
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), 0);
    DWORD available = 0;
    ASSERT_TRUE(PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(available, 2048u);
}

// ---- the bounded wait, on the fake clock -------------------------------------------------------

TEST_F(IpcFrameTest, SilentPeerFailsAtTheLimit)
{
    char buffer[2048];
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), 0);
    uint64_t waited = fake::now_ms() - started;
    EXPECT_GE(waited, kIpcReplyTimeoutMs);
    EXPECT_LE(waited, kIpcReplyTimeoutMs + 20u);
    EXPECT_EQ(fake::count_calls("ReadFile"), 0u) << "a read on a silent pipe would block";
}

TEST_F(IpcFrameTest, PromptReplyCostsAboutOneStep)
{
    peer().send_raw(fake::frame_bytes(1, "late"), 1);
    char buffer[2048];
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), 1);
    EXPECT_LE(fake::now_ms() - started, 2u);
    for (const fake::Call& sleep : fake::calls_named("Sleep")) {
        EXPECT_LE(sleep.size, 1u);
    }
}

struct WaitCase {
    const char* name;
    std::vector<uint64_t> ready_at_ms;  // header, then the payload's pieces
    int result;
};

// Cases print by name (their raw bytes include padding).
void PrintTo(const WaitCase& c, std::ostream* out) { *out << c.name; }

class IpcReadWaitTest : public IpcFrameTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(IpcReadWaitTest, WholeFrameWithinTheLimit)
{
    const WaitCase& c = GetParam();
    const std::string payload = "{\"cmd\":\"SET_ACTIVITY\",\"evt\":null}";
    size_t pieces = c.ready_at_ms.size() - 1;
    peer().send_raw(header(1, static_cast<uint32_t>(payload.size())), c.ready_at_ms[0]);
    size_t step = payload.size() / pieces;
    for (size_t i = 0; i < pieces; ++i) {
        size_t from = i * step;
        size_t count = i + 1 == pieces ? payload.size() - from : step;
        peer().send_raw(payload.substr(from, count), c.ready_at_ms[i + 1]);
    }
    char buffer[2048];
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), c.result);
    if (c.result == 1) {
        EXPECT_EQ(std::string(buffer), payload);
    } else {
        EXPECT_LE(fake::now_ms() - started, kIpcReplyTimeoutMs + 20u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Timing, IpcReadWaitTest,
    ::testing::Values(WaitCase{"ArrivesAt4999", {4999, 4999}, 1},
                      WaitCase{"ArrivesAt5001", {5001, 5001}, 0},
                      WaitCase{"PiecesSpreadWithinLimit", {0, 1500, 3000, 4990}, 1},
                      WaitCase{"LastPieceTooLate", {0, 1500, 3000, 5050}, 0},
                      WaitCase{"HeaderLatePayloadPrompt", {4000, 4000}, 1}),
    CaseName());

TEST_F(IpcFrameTest, WaitIsSafeAcrossTickCountWrap)
{
    fake::set_tick_count(0xFFFFFFFFu - 1000u);
    peer().send_raw(fake::frame_bytes(1, "ok"), 3000);
    char buffer[2048];
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "ok");
}

TEST_F(IpcFrameTest, PeerGoneFailsAtOnce)
{
    peer().close();
    char buffer[2048];
    uint64_t started = fake::now_ms();
    EXPECT_EQ(ipc_read_frame(pipe_, buffer, sizeof buffer), 0);
    EXPECT_EQ(fake::now_ms(), started);
}

// A reply read behind other frames: its time runs from when its command was written, not from
// the read, and the read hands back the frame's opcode.
TEST_F(IpcFrameTest, ReadSinceCountsFromTheCommandAndGivesTheOpcode)
{
    const DWORD written = GetTickCount();
    Sleep(3000);  // spent on frames read before this one
    peer().reply("{\"in\":\"time\"}", kIpcOpcodePing, 1999);
    char buffer[2048];
    uint32_t opcode = 99;
    EXPECT_EQ(ipc_read_frame_since(pipe_, &opcode, buffer, sizeof buffer, written), 1);
    EXPECT_STREQ(buffer, "{\"in\":\"time\"}");
    EXPECT_EQ(opcode, kIpcOpcodePing);

    const DWORD second = GetTickCount();
    Sleep(3000);
    peer().reply("{\"too\":\"late\"}", kIpcOpcodeFrame, kIpcReplyTimeoutMs - 3000 + 1);
    opcode = 99;
    EXPECT_EQ(ipc_read_frame_since(pipe_, &opcode, buffer, sizeof buffer, second), 0);
    EXPECT_EQ(GetTickCount() - second, kIpcReplyTimeoutMs) << "given up when the command's time ran out";
    EXPECT_EQ(opcode, 99u) << "no frame, no opcode";
}

// ---- dropping a connection -------------------------------------------------------------------

TEST_F(IpcFrameTest, DisconnectClosesOnlyARealHandleAndKeepsTheNonce)
{
    IpcConnection connection{};
    connection.pipe = pipe_;
    connection.nonce = 77;
    std::string("{\"details\":\"x\"}").copy(connection.last_activity, 15);
    size_t open_before = fake::open_handle_count();
    ipc_disconnect(&connection);
    EXPECT_EQ(fake::open_handle_count(), open_before - 1);
    EXPECT_EQ(connection.pipe, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(connection.last_activity, "");
    EXPECT_EQ(connection.nonce, 77u);

    // What the pacing and the refusal log keep belongs to the connection too.
    connection.pipe = CreateFileA(kPipe0, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    connection.published = 1;
    std::string("{\"details\":\"y\"}").copy(connection.last_refused, 15);
    ipc_disconnect(&connection);
    EXPECT_EQ(connection.published, 0);
    EXPECT_STREQ(connection.last_refused, "");

    for (HANDLE unusable : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        fake::clear_calls();
        connection.pipe = unusable;
        connection.last_activity[0] = 'x';
        ipc_disconnect(&connection);
        EXPECT_EQ(fake::count_calls("CloseHandle"), 0u);
        EXPECT_EQ(connection.pipe, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(connection.last_activity, "");
        EXPECT_EQ(connection.nonce, 77u);
    }
}

}  // namespace
