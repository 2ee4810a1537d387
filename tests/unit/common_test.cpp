// The shared helpers: bounded formatting and copy, Unix time, and the one way small files are read.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "common/format.h"
#include "common/small_file.h"
#include "common/text.h"
#include "common/unix_time.h"
#include "fake/fake_platform.h"
#include "unit/case_name.h"

namespace {

// A buffer with guard bytes behind its capacity, to see that nothing is written past it.
struct GuardedBuffer {
    static const size_t kGuard = 16;
    char bytes[64 + kGuard];
    uint32_t capacity;

    explicit GuardedBuffer(uint32_t usable) : capacity(usable) { memset(bytes, '#', sizeof bytes); }
    bool guard_intact() const
    {
        for (size_t i = capacity; i < capacity + kGuard; ++i) {
            if (bytes[i] != '#') {
                return false;
            }
        }
        return true;
    }
};

// ---- format_bounded --------------------------------------------------------------------------

struct CutCase {
    const char* name;
    uint32_t capacity;
    const char* expected;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class FormatBoundedCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(FormatBoundedCutTest, KeepsCapacityLessOneAndTerminates)
{
    const CutCase& c = GetParam();
    GuardedBuffer buffer(c.capacity);
    format_bounded(buffer.bytes, buffer.capacity, "%s-%d", "hello", 42);
    EXPECT_STREQ(buffer.bytes, c.expected);
    EXPECT_TRUE(buffer.guard_intact());
}

INSTANTIATE_TEST_SUITE_P(Capacities, FormatBoundedCutTest,
                         ::testing::Values(CutCase{"Roomy", 32, "hello-42"},
                                           CutCase{"ExactFit", 9, "hello-42"},
                                           CutCase{"OneShort", 8, "hello-4"},
                                           CutCase{"Cut", 4, "hel"},
                                           CutCase{"OnlyTerminator", 1, ""}),
                         CaseName());

TEST(FormatBoundedTest, CapacityZeroWritesNothing)
{
    GuardedBuffer buffer(0);
    format_bounded(buffer.bytes, 0, "%s", "text");
    EXPECT_TRUE(buffer.guard_intact());
}

TEST(FormatBoundedTest, ConversionsTheProgramUses)
{
    char text[128];
    format_bounded(text, sizeof text, "%lld|%lld", static_cast<long long>(INT64_MIN),
                   static_cast<long long>(INT64_MAX));
    EXPECT_STREQ(text, "-9223372036854775808|9223372036854775807");

    format_bounded(text, sizeof text, "%lu|%lu", static_cast<unsigned long>(UINT32_MAX), 0ul);
    EXPECT_STREQ(text, "4294967295|0");

    // The log's time stamp: at least four digits for the year, two for the rest, zero-padded.
    format_bounded(text, sizeof text, "%04u-%02u-%02u %02u", 7u, 3u, 12u, 0u);
    EXPECT_STREQ(text, "0007-03-12 00");
    format_bounded(text, sizeof text, "%04u-%02u", 12345u, 123u);
    EXPECT_STREQ(text, "12345-123");
}

// ---- copy_bounded ----------------------------------------------------------------------------

class CopyBoundedTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CopyBoundedTest, KeepsCapacityLessOneAndTerminates)
{
    const CutCase& c = GetParam();
    GuardedBuffer buffer(c.capacity);
    copy_bounded(buffer.bytes, buffer.capacity, "hello-42");
    EXPECT_STREQ(buffer.bytes, c.expected);
    EXPECT_TRUE(buffer.guard_intact());
}

INSTANTIATE_TEST_SUITE_P(Capacities, CopyBoundedTest,
                         ::testing::Values(CutCase{"Roomy", 32, "hello-42"},
                                           CutCase{"ExactFit", 9, "hello-42"},
                                           CutCase{"OneShort", 8, "hello-4"},
                                           CutCase{"OnlyTerminator", 1, ""}),
                         CaseName());

TEST(CopyBoundedEdgeTest, CapacityZeroWritesNothingAndNullSourceIsEmpty)
{
    GuardedBuffer untouched(0);
    copy_bounded(untouched.bytes, 0, "text");
    EXPECT_TRUE(untouched.guard_intact());

    char text[8] = "old";
    copy_bounded(text, sizeof text, nullptr);
    EXPECT_STREQ(text, "");
}

// ---- unix_time_now ---------------------------------------------------------------------------

struct ClockCase {
    const char* name;
    int64_t set_seconds;
    DWORD later_ms;  // virtual time that passes after the clock is set
    int64_t expected;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

class UnixTimeTest : public ::testing::TestWithParam<ClockCase> {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_P(UnixTimeTest, WholeSecondsRoundedDown)
{
    const ClockCase& c = GetParam();
    fake::set_unix_time(c.set_seconds);
    Sleep(c.later_ms);
    EXPECT_EQ(unix_time_now(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, UnixTimeTest,
    ::testing::Values(ClockCase{"Now", 1700000000, 0, 1700000000},
                      ClockCase{"SecondNotYetFull", 1700000000, 999, 1700000000},
                      ClockCase{"SecondFull", 1700000000, 1000, 1700000001},
                      ClockCase{"Epoch", 0, 0, 0},
                      ClockCase{"JustBefore1970", -1, 0, -1},
                      ClockCase{"PartSecondBefore1970", -2, 500, -2},
                      ClockCase{"DayBefore1970", -86400, 0, -86400},
                      ClockCase{"Year2100", 4102444800LL, 0, 4102444800LL}),
    CaseName());

// ---- read_small_file -------------------------------------------------------------------------

const char kPath[] = "C:\\Games\\Kel\\small.txt";

class ReadSmallFileTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(ReadSmallFileTest, OpensSharedForReadingOnlyReadsOnceAndCloses)
{
    fake::put_file(kPath, "12345");
    char buffer[16];
    memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(read_small_file(kPath, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "12345");

    std::vector<fake::Call> opens = fake::calls_named("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, kPath);
    EXPECT_EQ(opens[0].access, GENERIC_READ);
    EXPECT_EQ(opens[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_EQ(opens[0].disposition, OPEN_EXISTING);
    EXPECT_EQ(opens[0].flags, FILE_ATTRIBUTE_NORMAL);

    std::vector<fake::Call> reads = fake::calls_named("ReadFile");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size, sizeof buffer - 1) << "one byte is kept for the terminator";
    EXPECT_EQ(fake::count_calls("CloseHandle"), 1u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

struct LengthCase {
    const char* name;
    size_t file_length;
    size_t expected_length;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class ReadSmallFileLengthTest : public ::testing::TestWithParam<LengthCase> {
protected:
    void SetUp() override { fake::reset(); }
};

// With capacity 8: up to 7 bytes fit; a longer file is cut and its tail is not read again.
TEST_P(ReadSmallFileLengthTest, CutsAtCapacityLessOne)
{
    const LengthCase& c = GetParam();
    std::string content;
    for (size_t i = 0; i < c.file_length; ++i) {
        content.push_back(static_cast<char>('a' + i % 26));
    }
    fake::put_file(kPath, content);
    char buffer[8 + GuardedBuffer::kGuard];
    memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(read_small_file(kPath, buffer, 8), 1);
    EXPECT_EQ(std::string(buffer), content.substr(0, c.expected_length));
    EXPECT_EQ(buffer[8], '#');
    EXPECT_EQ(fake::count_calls("ReadFile"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ReadSmallFileLengthTest,
                         ::testing::Values(LengthCase{"Empty", 0, 0},
                                           LengthCase{"OneLessThanCapacity", 7, 7},
                                           LengthCase{"Capacity", 8, 7},
                                           LengthCase{"Longer", 40, 7}),
                         CaseName());

TEST_F(ReadSmallFileTest, FailedReadClosesTheFileAndFails)
{
    fake::put_file(kPath, "12345");
    fake::FileFaults faults;
    faults.fail_read = true;
    fake::set_file_faults(kPath, faults);
    char buffer[16];
    EXPECT_EQ(read_small_file(kPath, buffer, sizeof buffer), 0);
    EXPECT_EQ(fake::count_calls("CloseHandle"), 1u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(ReadSmallFileTest, MissingOrUnopenableFileFailsWithNothingToClose)
{
    char buffer[16];
    EXPECT_EQ(read_small_file(kPath, buffer, sizeof buffer), 0);

    fake::put_file(kPath, "12345");
    fake::FileFaults faults;
    faults.fail_open = true;
    fake::set_file_faults(kPath, faults);
    EXPECT_EQ(read_small_file(kPath, buffer, sizeof buffer), 0);

    EXPECT_EQ(fake::count_calls("ReadFile"), 0u);
    EXPECT_EQ(fake::count_calls("CloseHandle"), 0u);
}

}  // namespace
