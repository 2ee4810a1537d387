// Checks, the fake's failure trap, the per-input reset and the byte reader of the fuzz targets.
#include "fuzz_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "fake/fake_platform.h"
#include "platform/platform.h"

namespace fuzz {

const char kStatusPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_kel_status.json";
const char kApplicationIdPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_application_id";
const char kLogPath[] = "C:\\Games\\Kel\\Brightrelay\\Brightrelay.log";

void check_failed(const char* condition, const char* file, int line)
{
    fprintf(stderr, "fuzz check failed: %s at %s:%d\n", condition, file, line);
    abort();
}

namespace {

// The fake reports misuse through GoogleTest (ADD_FAILURE); outside a test run nothing would
// stop, so this listener turns each reported failure into an abort.
class AbortOnFakeFailure : public ::testing::EmptyTestEventListener {
public:
    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (!result.failed()) {
            return;
        }
        fprintf(stderr, "fake platform failure at %s:%d: %s\n",
                result.file_name() != nullptr ? result.file_name() : "?", result.line_number(),
                result.summary());
        abort();
    }
};

}  // namespace

void trap_fake_failures()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    ::testing::UnitTest::GetInstance()->listeners().Append(new AbortOnFakeFailure);
}

namespace {

uint64_t g_idle_deadline_ms = 0;
bool g_skipping = false;

void after_sleep(uint64_t now_ms)
{
    // The targets never look at old calls, so the record is emptied at every sleep instead of
    // growing by thousands of entries in a long wait.
    fake::clear_calls();
    if (g_skipping) {
        return;
    }
    uint64_t target = g_idle_deadline_ms;
    for (int i = 0; i < 10; ++i) {
        for (const fake::Chunk& chunk : fake::pipe(i).outgoing) {
            if (chunk.ready_at_ms > now_ms && chunk.ready_at_ms < target) {
                target = chunk.ready_at_ms;
            }
        }
    }
    if (target > now_ms) {
        g_skipping = true;
        Sleep(static_cast<DWORD>(target - now_ms));
        g_skipping = false;
    }
}

}  // namespace

void skip_idle_time_until(uint64_t deadline_ms)
{
    g_idle_deadline_ms = deadline_ms;
}

void reset_machine()
{
    trap_fake_failures();
    fake::reset();
    g_idle_deadline_ms = 0;
    g_skipping = false;
    fake::on_sleep(after_sleep);
}

void check_log_lines()
{
    if (!fake::file_exists(kLogPath)) {
        return;
    }
    const std::string log = fake::file_content(kLogPath);
    for (size_t i = 0; i < log.size(); ++i) {
        bool next_is_line_start = i + 1 == log.size() || (log[i + 1] >= '0' && log[i + 1] <= '9');
        if (log[i] == '\n') {
            FUZZ_CHECK(i > 0 && log[i - 1] == '\r');
            FUZZ_CHECK(next_is_line_start);
        } else if (log[i] == '\r') {
            FUZZ_CHECK((i + 1 < log.size() && log[i + 1] == '\n') || next_is_line_start);
        }
    }
}

uint8_t ByteReader::u8()
{
    return at < size ? data[at++] : 0;
}

uint16_t ByteReader::u16()
{
    uint16_t low = u8();
    return static_cast<uint16_t>(low | (static_cast<uint16_t>(u8()) << 8));
}

uint32_t ByteReader::u32()
{
    uint32_t low = u16();
    return low | (static_cast<uint32_t>(u16()) << 16);
}

uint64_t ByteReader::u64()
{
    uint64_t low = u32();
    return low | (static_cast<uint64_t>(u32()) << 32);
}

std::string ByteReader::bytes(size_t count)
{
    size_t left = size - (at < size ? at : size);
    if (count > left) {
        count = left;
    }
    std::string out(reinterpret_cast<const char*>(data + at), count);
    at += count;
    return out;
}

std::string ByteReader::short_text(size_t limit)
{
    size_t length = limit == 0 ? 0 : u8() % limit;
    return bytes(length);
}

std::string ByteReader::rest()
{
    return bytes(size);
}

}  // namespace fuzz
