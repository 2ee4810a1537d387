// What the fuzz targets share: checks that stop the run, a reader that turns fuzz bytes into
// fields, and a clean fake machine for every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A failed check is a finding: it prints what failed and aborts, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz::check_failed(#condition, __FILE__, __LINE__))

namespace fuzz {

[[noreturn]] void check_failed(const char* condition, const char* file, int line);

// Once per process: makes every failure that the fake platform reports (a read that would block
// forever, a second close of a handle, an overlapped call) abort like a failed check.
void trap_fake_failures();

// Back to a clean fake machine, with the bookkeeping that long waits would pile up kept small.
void reset_machine();

// Lets the reply waits skip idle virtual time. A wait polls the pipe once a millisecond; after
// each of its sleeps the clock is moved on to the next moment at which something changes: the
// next chunk a peer has queued becomes ready, or deadline_ms (the end of the reply time of the
// read under way) comes. Nothing can be seen differently in between, so the results are those of
// stepping one millisecond at a time (a Sleep(1) that oversleeps, as a loaded system's does),
// at a fraction of the cost.
void skip_idle_time_until(uint64_t deadline_ms);

// The fake's files of the data folder beside "C:\Games\Kel\brightrelay.exe".
extern const char kStatusPath[];
extern const char kApplicationIdPath[];
extern const char kLogPath[];

// Checks the log: every line break is the CR LF of a line end, so nothing logged (text from the
// Discord peer included) can start a line of its own. A line cut at its bound may lose its end.
void check_log_lines();

// Reads fields off the front of the fuzz input; past the end every field reads as zero / empty.
struct ByteReader {
    const uint8_t* data;
    size_t size;
    size_t at;

    ByteReader(const uint8_t* input, size_t input_size) : data(input), size(input_size), at(0) {}

    bool empty() const { return at >= size; }
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    // Exactly count bytes, or fewer at the end of the input.
    std::string bytes(size_t count);
    // A length from one byte (below limit) and that many bytes.
    std::string short_text(size_t limit);
    // Everything not read yet.
    std::string rest();
};

}  // namespace fuzz
