// The status snapshot: reading the status file once, the required flags, freshness, the optional
// texts and level, and what makes a snapshot usable.
#include "status/snapshot.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fake/fake_platform.h"
#include "unit/case_name.h"

namespace {

const char kStatusPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_kel_status.json";
const int64_t kNow = 1700000000;

std::string status_with(const std::string& ts, const std::string& rest)
{
    return "{\"ok\":true,\"in_world\":true,\"ts\":" + ts + rest + "}";
}

std::string fresh_status(const std::string& rest)
{
    return status_with(std::to_string(kNow), rest);
}

class ReadStatusSnapshot : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::set_unix_time(kNow);
        std::memset(&snapshot, 0x5A, sizeof(snapshot));
    }

    // Reads the staged file; the file is always closed again and nothing is logged.
    int read()
    {
        int result = read_status_snapshot(&snapshot);
        EXPECT_EQ(0u, fake::open_handle_count());
        EXPECT_EQ(0u, fake::count_calls("WriteFile"));
        return result;
    }

    StatusSnapshot snapshot;
};

TEST_F(ReadStatusSnapshot, FullFileFillsEveryField)
{
    fake::put_file(kStatusPath, fresh_status(",\"name\":\"Tamsin\",\"zone\":\"Harbor Market\",\"guild\":\"Lantern "
                                             "Keepers\",\"faction\":\"coastal\",\"class\":\"Warden\",\"race\":"
                                             "\"Human\",\"level\":27"));
    ASSERT_EQ(1, read());
    EXPECT_STREQ("Tamsin", snapshot.name);
    EXPECT_STREQ("Harbor Market", snapshot.zone);
    EXPECT_STREQ("Lantern Keepers", snapshot.guild);
    EXPECT_STREQ("coastal", snapshot.faction);
    EXPECT_STREQ("Warden", snapshot.class_name);
    EXPECT_STREQ("Human", snapshot.race);
    EXPECT_EQ(27, snapshot.level);
    EXPECT_EQ(kNow, snapshot.ts);
    EXPECT_EQ(1, snapshot.ok);
    EXPECT_EQ(1, snapshot.in_world);
}

TEST_F(ReadStatusSnapshot, OpensOnceForReadingWithFullSharingAndReadsOnce)
{
    fake::put_file(kStatusPath, fresh_status(",\"name\":\"Tamsin\""));
    ASSERT_EQ(1, read());
    std::vector<fake::Call> opens = fake::calls_named("CreateFileA");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(kStatusPath, opens[0].path);
    EXPECT_EQ(GENERIC_READ, opens[0].access);
    EXPECT_EQ(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, opens[0].share);
    EXPECT_EQ(OPEN_EXISTING, opens[0].disposition);
    EXPECT_EQ(FILE_ATTRIBUTE_NORMAL, opens[0].flags);
    std::vector<fake::Call> reads = fake::calls_named("ReadFile");
    ASSERT_EQ(1u, reads.size());
    EXPECT_EQ(2047u, reads[0].size);
    EXPECT_EQ(1u, fake::count_calls("CloseHandle"));
}

struct FreshnessCase {
    const char* label;
    std::string ts;
    int result;
};

class StatusFreshness : public ReadStatusSnapshot, public ::testing::WithParamInterface<FreshnessCase> {};

TEST_P(StatusFreshness, AcceptsThirtySecondsBehindAndFiveAhead)
{
    fake::put_file(kStatusPath, status_with(GetParam().ts, ",\"name\":\"Tamsin\""));
    EXPECT_EQ(GetParam().result, read());
}

INSTANTIATE_TEST_SUITE_P(Bounds, StatusFreshness,
                         ::testing::Values(FreshnessCase{"now", std::to_string(kNow), 1},
                                           FreshnessCase{"behind_30", std::to_string(kNow - 30), 1},
                                           FreshnessCase{"behind_31", std::to_string(kNow - 31), 0},
                                           FreshnessCase{"ahead_5", std::to_string(kNow + 5), 1},
                                           FreshnessCase{"ahead_6", std::to_string(kNow + 6), 0},
                                           FreshnessCase{"zero", "0", 0}, FreshnessCase{"negative", "-5", 0},
                                           FreshnessCase{"largest", "9223372036854775807", 0},
                                           FreshnessCase{"quoted", "\"" + std::to_string(kNow) + "\"", 0}),
                         CaseLabel());

TEST_F(ReadStatusSnapshot, ZeroClockStillRejectsTimeStampZero)
{
    fake::set_unix_time(0);
    fake::put_file(kStatusPath, status_with("0", ",\"name\":\"Tamsin\""));
    EXPECT_EQ(0, read());
}

struct RejectCase {
    const char* label;
    std::string text;
};

class StatusRejected : public ReadStatusSnapshot, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(StatusRejected, GivesZero)
{
    fake::put_file(kStatusPath, GetParam().text);
    EXPECT_EQ(0, read());
}

const std::string kNowText = std::to_string(kNow);

INSTANTIATE_TEST_SUITE_P(
    Files, StatusRejected,
    ::testing::Values(
        RejectCase{"empty_file", ""},
        RejectCase{"ok_false", "{\"ok\":false,\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"in_world_false", "{\"ok\":true,\"in_world\":false,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"ok_missing", "{\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"in_world_missing", "{\"ok\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"ts_missing", "{\"ok\":true,\"in_world\":true,\"name\":\"T\"}"},
        RejectCase{"ok_blank_before_colon", "{\"ok\" :true,\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"ok_capitalised", "{\"ok\":True,\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"nul_before_ok", std::string("{") + '\0' + "\"ok\":true,\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"T\"}"},
        RejectCase{"guild_only", fresh_status(",\"guild\":\"Lantern Keepers\",\"race\":\"Human\",\"class\":\"Warden\"")},
        RejectCase{"level_zero_only", fresh_status(",\"level\":0")},
        RejectCase{"level_negative_only", fresh_status(",\"level\":-3,\"guild\":\"G\"")},
        RejectCase{"level_two_to_31_only", fresh_status(",\"level\":2147483648")},
        RejectCase{"level_quoted_only", fresh_status(",\"level\":\"60\"")}),
    CaseLabel());

TEST_F(ReadStatusSnapshot, GuildWithPositiveLevelIsUsable)
{
    fake::put_file(kStatusPath, fresh_status(",\"guild\":\"Lantern Keepers\",\"level\":60"));
    ASSERT_EQ(1, read());
    EXPECT_STREQ("Lantern Keepers", snapshot.guild);
    EXPECT_EQ(60, snapshot.level);
    EXPECT_STREQ("", snapshot.name);
    EXPECT_STREQ("", snapshot.zone);
    EXPECT_STREQ("", snapshot.faction);
    EXPECT_STREQ("", snapshot.class_name);
    EXPECT_STREQ("", snapshot.race);
}

TEST_F(ReadStatusSnapshot, ZoneAloneIsUsable)
{
    fake::put_file(kStatusPath, fresh_status(",\"zone\":\"Harbor Market\""));
    EXPECT_EQ(1, read());
}

struct LevelCase {
    const char* label;
    std::string written;
    int32_t level;
};

class StatusLevel : public ReadStatusSnapshot, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(StatusLevel, KeepsTheLow32Bits)
{
    fake::put_file(kStatusPath, fresh_status(",\"name\":\"Tamsin\",\"level\":" + GetParam().written));
    ASSERT_EQ(1, read());
    EXPECT_EQ(GetParam().level, snapshot.level);
}

INSTANTIATE_TEST_SUITE_P(Values, StatusLevel,
                         ::testing::Values(LevelCase{"plain", "60", 60}, LevelCase{"fraction", "60.5", 60},
                                           LevelCase{"two_to_32_plus_1", "4294967297", 1},
                                           LevelCase{"two_to_31", "2147483648", INT32_MIN},
                                           LevelCase{"minus_one", "-1", -1}, LevelCase{"quoted", "\"60\"", 0},
                                           LevelCase{"null", "null", 0}),
                         CaseLabel());

TEST_F(ReadStatusSnapshot, LevelMissingIsZero)
{
    fake::put_file(kStatusPath, fresh_status(",\"name\":\"Tamsin\""));
    ASSERT_EQ(1, read());
    EXPECT_EQ(0, snapshot.level);
}

TEST_F(ReadStatusSnapshot, TextsKeepWhatTheScannerLeft)
{
    const std::string name40(40, 'n');
    fake::put_file(kStatusPath,
                   "{\"ok\":true,\"in_world\":true,\"ts\":" + kNowText + ",\"name\":\"" + name40 +
                       "\",\"zone\":\"Harbor\\u00e9\",\"guild\":42,\"faction\":\"a\\\"b\",\"race\":\"Hu");
    ASSERT_EQ(1, read());
    EXPECT_EQ(std::string(31, 'n'), snapshot.name);  // cut to its capacity
    EXPECT_STREQ("Harbor", snapshot.zone);           // stopped at an unsupported escape
    EXPECT_STREQ("", snapshot.guild);                // not a string
    EXPECT_STREQ("a\"b", snapshot.faction);          // escape decoded
    EXPECT_STREQ("", snapshot.class_name);           // missing
    EXPECT_STREQ("Hu", snapshot.race);               // not closed before the end
}

TEST_F(ReadStatusSnapshot, OnlyTheFirst2047BytesAreSeen)
{
    // "ts" starts within the first 2047 bytes when the padding is short enough, beyond them else.
    const std::string head = "{\"ok\":true,\"in_world\":true,\"name\":\"Tamsin\",\"pad\":\"";
    const std::string ts = "\",\"ts\":" + kNowText + "}";
    const size_t fits = 2047 - head.size() - ts.size();

    fake::put_file(kStatusPath, head + std::string(fits, 'p') + ts);
    EXPECT_EQ(1, read());
    fake::put_file(kStatusPath, head + std::string(fits + 20, 'p') + ts);
    EXPECT_EQ(0, read());
}

TEST_F(ReadStatusSnapshot, ClearsTheRecordBeforeAnythingCanFail)
{
    ASSERT_EQ(0, read());  // no file
    StatusSnapshot zero;
    std::memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, std::memcmp(&zero, &snapshot, sizeof(snapshot)));
}

TEST_F(ReadStatusSnapshot, PlatformFailuresGiveZero)
{
    fake::put_file(kStatusPath, fresh_status(",\"name\":\"Tamsin\""));

    fake::FileFaults open_fails;
    open_fails.fail_open = true;
    fake::set_file_faults(kStatusPath, open_fails);
    EXPECT_EQ(0, read());

    fake::FileFaults read_fails;
    read_fails.fail_read = true;
    fake::set_file_faults(kStatusPath, read_fails);
    EXPECT_EQ(0, read());
    EXPECT_EQ(1u, fake::count_calls("CloseHandle"));

    fake::set_file_faults(kStatusPath, fake::FileFaults());
    fake::set_module_path("");  // the path cannot be built
    EXPECT_EQ(0, read());
}

TEST_F(ReadStatusSnapshot, NothingIsLogged)
{
    fake::put_file(kStatusPath, "{}");
    EXPECT_EQ(0, read());
    EXPECT_FALSE(fake::file_exists("C:\\Games\\Kel\\Brightrelay\\Brightrelay.log"));
}

}  // namespace
