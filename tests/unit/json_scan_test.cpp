// The flat JSON scanner: key search, the three value kinds, their stop rules and results.
#include "status/json_scan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "unit/case_name.h"

namespace {

const int32_t kBoolUntouched = 7;
const int64_t kIntUntouched = 4242;

struct BoolCase {
    const char* label;
    std::string text;
    int result;
    int32_t value;
};

class JsonFindBool : public ::testing::TestWithParam<BoolCase> {};

TEST_P(JsonFindBool, ReadsTheLiteralAfterTheFirstPattern)
{
    const BoolCase& c = GetParam();
    int32_t value = kBoolUntouched;
    EXPECT_EQ(c.result, json_find_bool(c.text.c_str(), "ok", &value));
    EXPECT_EQ(c.value, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonFindBool,
    ::testing::Values(BoolCase{"true", "{\"ok\":true}", 1, 1}, BoolCase{"false", "{\"ok\":false}", 1, 0},
                      BoolCase{"blanks_and_tabs_skipped", "{\"ok\": \t true}", 1, 1},
                      BoolCase{"blank_before_colon", "{\"ok\" :true}", 0, kBoolUntouched},
                      BoolCase{"capital_letter", "{\"ok\":True}", 0, kBoolUntouched},
                      BoolCase{"prefix_of_literal_is_enough", "{\"ok\":trueish}", 1, 1},
                      BoolCase{"line_feed_after_colon", "{\"ok\":\ntrue}", 0, kBoolUntouched},
                      BoolCase{"carriage_return_after_colon", "{\"ok\":\r\nfalse}", 0, kBoolUntouched},
                      BoolCase{"quoted", "{\"ok\":\"true\"}", 0, kBoolUntouched},
                      BoolCase{"short_literal", "{\"ok\":fals}", 0, kBoolUntouched},
                      BoolCase{"number", "{\"ok\":1}", 0, kBoolUntouched},
                      BoolCase{"nested_key_first", "{\"inner\":{\"ok\":false},\"ok\":true}", 1, 0},
                      BoolCase{"first_of_two", "{\"ok\":false,\"ok\":true}", 1, 0},
                      BoolCase{"later_occurrence_not_tried", "{\"ok\":1,\"ok\":true}", 0, kBoolUntouched},
                      BoolCase{"key_case_sensitive", "{\"OK\":true}", 0, kBoolUntouched},
                      BoolCase{"quote_is_part_of_pattern", "{\"book\":true}", 0, kBoolUntouched},
                      BoolCase{"missing", "{\"in_world\":true}", 0, kBoolUntouched},
                      BoolCase{"value_at_end_of_text", "{\"ok\":", 0, kBoolUntouched}),
    CaseLabel());

struct IntCase {
    const char* label;
    std::string text;
    int result;
    int64_t value;
};

class JsonFindInt64 : public ::testing::TestWithParam<IntCase> {};

TEST_P(JsonFindInt64, ConvertsLikeTheStandardSigned64BitConversion)
{
    const IntCase& c = GetParam();
    int64_t value = kIntUntouched;
    EXPECT_EQ(c.result, json_find_int64(c.text.c_str(), "ts", &value));
    EXPECT_EQ(c.value, value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonFindInt64,
    ::testing::Values(IntCase{"plain", "{\"ts\":1700000000}", 1, 1700000000},
                      IntCase{"line_break_skipped", "{\"ts\":\r\n\t 42}", 1, 42},
                      IntCase{"quoted", "{\"ts\":\"42\"}", 0, kIntUntouched},
                      IntCase{"fraction_not_read", "{\"ts\":60.5}", 1, 60},
                      IntCase{"exponent_not_read", "{\"ts\":6e3}", 1, 6},
                      IntCase{"negative", "{\"ts\":-7}", 1, -7}, IntCase{"plus_sign", "{\"ts\":+7}", 1, 7},
                      IntCase{"leading_zero_no_prefix", "{\"ts\":0x1F}", 1, 0},
                      IntCase{"octal_looking", "{\"ts\":010}", 1, 10},
                      IntCase{"trailing_letters", "{\"ts\":12abc}", 1, 12},
                      IntCase{"largest", "{\"ts\":9223372036854775807}", 1, INT64_MAX},
                      IntCase{"largest_plus_one_clamps", "{\"ts\":9223372036854775808}", 1, INT64_MAX},
                      IntCase{"twenty_nines_clamp", "{\"ts\":99999999999999999999}", 1, INT64_MAX},
                      IntCase{"twenty_nines_negative_clamp", "{\"ts\":-99999999999999999999}", 1, INT64_MIN},
                      IntCase{"smallest_exactly", "{\"ts\":-9223372036854775808}", 1, INT64_MIN},
                      IntCase{"minus_then_letter", "{\"ts\":-x}", 0, kIntUntouched},
                      IntCase{"lone_sign", "{\"ts\":-}", 0, kIntUntouched},
                      IntCase{"null", "{\"ts\":null}", 0, kIntUntouched},
                      IntCase{"boolean", "{\"ts\":true}", 0, kIntUntouched},
                      IntCase{"empty_value", "{\"ts\":}", 0, kIntUntouched},
                      IntCase{"end_of_text", "{\"ts\":", 0, kIntUntouched},
                      IntCase{"blank_before_colon", "{\"ts\" :5}", 0, kIntUntouched},
                      IntCase{"nested_key_first", "{\"a\":[{\"ts\":1}],\"ts\":2}", 1, 1}),
    CaseLabel());

const char kStringUntouched[] = "untouched";

struct StringCase {
    const char* label;
    std::string text;
    uint32_t capacity;
    int result;
    std::string value;
};

class JsonFindString : public ::testing::TestWithParam<StringCase> {};

TEST_P(JsonFindString, CopiesUntilTheClosingQuoteTheEndOrTheCapacity)
{
    const StringCase& c = GetParam();
    char out[64];
    std::memcpy(out, kStringUntouched, sizeof(kStringUntouched));
    EXPECT_EQ(c.result, json_find_string(c.text.c_str(), "name", out, c.capacity));
    EXPECT_EQ(c.value, std::string(out));
}

const std::string k31(31, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonFindString,
    ::testing::Values(
        StringCase{"plain", "{\"name\":\"Tamsin\"}", 32, 1, "Tamsin"},
        StringCase{"blanks_and_tabs_skipped", "{\"name\": \t\"Tamsin\"}", 32, 1, "Tamsin"},
        StringCase{"line_break_after_colon", "{\"name\":\n\"Tamsin\"}", 32, 0, kStringUntouched},
        StringCase{"empty", "{\"name\":\"\"}", 32, 1, ""},
        StringCase{"fills_capacity_exactly", "{\"name\":\"" + k31 + "\"}", 32, 1, k31},
        StringCase{"one_over_capacity", "{\"name\":\"" + k31 + "y\"}", 32, 0, k31},
        StringCase{"capacity_two", "{\"name\":\"ab\"}", 2, 0, "a"},
        StringCase{"escapes", "{\"name\":\"a\\\"b\\\\c\\/d\\ne\\rf\\tg\"}", 32, 1, "a\"b\\c/d\ne\rf\tg"},
        StringCase{"escape_pair_counts_one", "{\"name\":\"" + std::string(30, 'x') + "\\\"\"}", 32, 1,
                   std::string(30, 'x') + "\""},
        StringCase{"hex_escape_unsupported", "{\"name\":\"ab\\u00e9\"}", 32, 0, "ab"},
        StringCase{"backspace_escape_unsupported", "{\"name\":\"ab\\bc\"}", 32, 0, "ab"},
        StringCase{"unterminated", "{\"name\":\"Tams", 32, 0, "Tams"},
        StringCase{"trailing_backslash", "{\"name\":\"ab\\", 32, 0, "ab"},
        StringCase{"not_a_string", "{\"name\":42}", 32, 0, kStringUntouched},
        StringCase{"raw_bytes_and_controls_kept", "{\"name\":\"\xC3\xA9\x01\x7F\"}", 32, 1, "\xC3\xA9\x01\x7F"},
        StringCase{"multibyte_cut_at_capacity", "{\"name\":\"ab\xE2\x82\xAC\"}", 4, 0, "ab\xE2"},
        StringCase{"nested_key_first", "{\"o\":{\"name\":\"inner\"},\"name\":\"outer\"}", 32, 1, "inner"},
        StringCase{"capacity_one", "{\"name\":\"Tamsin\"}", 1, 0, kStringUntouched},
        StringCase{"capacity_zero", "{\"name\":\"Tamsin\"}", 0, 0, kStringUntouched},
        StringCase{"missing", "{\"zone\":\"Harbor\"}", 32, 0, kStringUntouched}),
    CaseLabel());

TEST(JsonFindOutput, NullOutputGivesZeroAfterAFoundKey)
{
    EXPECT_EQ(0, json_find_bool("{\"k\":true}", "k", nullptr));
    EXPECT_EQ(0, json_find_int64("{\"k\":5}", "k", nullptr));
    EXPECT_EQ(0, json_find_string("{\"k\":\"v\"}", "k", nullptr, 8));
}

// The pattern buffer holds 79 characters: a key of 77 loses the colon of its pattern, one of 78
// the closing quote as well, and a longer key its own end. Such a cut pattern matches more.
struct LongKeyCase {
    const char* label;
    size_t key_length;
    std::string text;  // the text after "\"" + the first 78 characters of the key
    int result;
    int64_t value;
};

class JsonLongKey : public ::testing::TestWithParam<LongKeyCase> {};

TEST_P(JsonLongKey, PatternIsCutAtSeventyNineCharacters)
{
    const LongKeyCase& c = GetParam();
    std::string key;
    for (size_t i = 0; i < c.key_length; i++) {
        key += static_cast<char>('a' + i % 26);
    }
    std::string text = "{\"" + key.substr(0, c.key_length < 78 ? c.key_length : 78) + c.text;
    int64_t value = kIntUntouched;
    EXPECT_EQ(c.result, json_find_int64(text.c_str(), key.c_str(), &value));
    EXPECT_EQ(c.value, value);
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonLongKey,
                         ::testing::Values(LongKeyCase{"key76_whole_pattern", 76, "\":42}", 1, 42},
                                           LongKeyCase{"key76_needs_colon", 76, "\" 42}", 0, kIntUntouched},
                                           LongKeyCase{"key77_no_colon", 77, "\" 42}", 1, 42},
                                           LongKeyCase{"key78_no_closing_quote", 78, "42}", 1, 42},
                                           LongKeyCase{"key80_end_of_key_cut", 80, "42}", 1, 42}),
                         CaseLabel());

}  // namespace
