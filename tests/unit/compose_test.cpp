// The activity composer: the details and level lines, the faction's capital, escaping, the texts
// left out or cut to the client's limits, and incomplete UTF-8 tails.
#include "status/compose.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "common/limits.h"
#include "status/snapshot.h"
#include "unit/case_name.h"

namespace {

const int64_t kStart = 1700000000;

struct Fields {
    std::string name;
    std::string guild;
    int32_t level;
    std::string class_name;
    std::string race;
    std::string faction;
    std::string zone;
};

StatusSnapshot snapshot_of(const Fields& f)
{
    StatusSnapshot s;
    std::memset(&s, 0, sizeof(s));
    std::strncpy(s.name, f.name.c_str(), sizeof(s.name) - 1);
    std::strncpy(s.zone, f.zone.c_str(), sizeof(s.zone) - 1);
    std::strncpy(s.guild, f.guild.c_str(), sizeof(s.guild) - 1);
    std::strncpy(s.faction, f.faction.c_str(), sizeof(s.faction) - 1);
    std::strncpy(s.class_name, f.class_name.c_str(), sizeof(s.class_name) - 1);
    std::strncpy(s.race, f.race.c_str(), sizeof(s.race) - 1);
    s.level = f.level;
    return s;
}

std::string compose(const StatusSnapshot& s, int64_t start = kStart, uint32_t capacity = kActivityCapacity)
{
    char out[kActivityCapacity + 1];
    std::memset(out, 'X', sizeof(out));
    compose_activity(&s, out, capacity, start);
    EXPECT_EQ('X', out[capacity]) << "wrote past the capacity";
    return std::string(out);
}

std::string repeat_e_acute(size_t count)
{
    std::string text;
    for (size_t i = 0; i < count; i++) {
        text += "\xC3\xA9";
    }
    return text;
}

std::string with_details(const std::string& details, const std::string& state = "Harbor Market")
{
    return "{\"details\":\"" + details + "\",\"state\":\"" + state + "\",\"timestamps\":{\"start\":1700000000}}";
}

TEST(ComposeActivity, WorkedExampleByteForByte)
{
    StatusSnapshot s = snapshot_of({"Tamsin", "Lantern Keepers", 27, "Warden", "Human", "coastal", "Harbor Market"});
    EXPECT_EQ("{\"details\":\"Tamsin <Lantern Keepers> \\u00b7 Lvl 27 Warden \\u00b7 Human \\u00b7 Coastal\","
              "\"state\":\"Harbor Market\",\"timestamps\":{\"start\":1700000000}}",
              compose(s));
}

TEST(ComposeActivity, LeavesTheSnapshotUnchanged)
{
    StatusSnapshot s = snapshot_of({"Tamsin", "", 27, "Warden", "Human", "coastal", "Harbor\"Market"});
    StatusSnapshot before = s;
    compose(s);
    EXPECT_EQ(0, std::memcmp(&before, &s, sizeof(s)));
}

struct DetailsCase {
    const char* label;
    Fields fields;
    std::string details;
};

class ComposeDetails : public ::testing::TestWithParam<DetailsCase> {};

TEST_P(ComposeDetails, JoinsTheSegmentsInOrder)
{
    const DetailsCase& c = GetParam();
    Fields f = c.fields;
    f.zone = "Harbor Market";
    EXPECT_EQ(with_details(c.details), compose(snapshot_of(f)));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ComposeDetails,
    ::testing::Values(
        DetailsCase{"name_only", {"Tamsin", "", 0, "", "", "", ""}, "Tamsin"},
        DetailsCase{"guild_only", {"", "Lantern Keepers", 0, "", "", "", ""}, "<Lantern Keepers>"},
        DetailsCase{"name_and_guild", {"Tamsin", "Lantern Keepers", 0, "", "", "", ""}, "Tamsin <Lantern Keepers>"},
        DetailsCase{"level_without_class", {"", "", 27, "", "", "", ""}, "Lvl 27"},
        DetailsCase{"level_and_class", {"", "", 27, "Warden", "", "", ""}, "Lvl 27 Warden"},
        DetailsCase{"class_with_level_zero", {"", "", 0, "Warden", "", "", ""}, "Warden"},
        DetailsCase{"class_with_negative_level", {"", "", -3, "Warden", "", "", ""}, "Warden"},
        DetailsCase{"negative_level_never_written", {"Tamsin", "", -3, "", "", "", ""}, "Tamsin"},
        DetailsCase{"largest_level", {"", "", INT32_MAX, "", "", "", ""}, "Lvl 2147483647"},
        DetailsCase{"race_starts_empty_level_line", {"", "", 0, "", "Human", "", ""}, "Human"},
        DetailsCase{"faction_starts_empty_level_line", {"", "", 0, "", "", "coastal", ""}, "Coastal"},
        DetailsCase{"race_before_faction", {"", "", 0, "", "Human", "coastal", ""}, "Human \\u00b7 Coastal"},
        DetailsCase{"class_race_faction", {"", "", 0, "Warden", "Human", "coastal", ""},
                    "Warden \\u00b7 Human \\u00b7 Coastal"},
        DetailsCase{"level_line_alone_no_leading_separator", {"", "", 27, "Warden", "Human", "", ""},
                    "Lvl 27 Warden \\u00b7 Human"},
        DetailsCase{"name_then_race", {"Tamsin", "", 0, "", "Human", "", ""}, "Tamsin \\u00b7 Human"},
        DetailsCase{"guild_then_level", {"", "Lantern Keepers", 5, "", "", "", ""}, "<Lantern Keepers> \\u00b7 Lvl 5"},
        DetailsCase{"race_and_class_not_capitalised", {"", "", 0, "warden", "human", "", ""}, "warden \\u00b7 human"}),
    CaseLabel());

struct FactionCase {
    const char* label;
    std::string faction;
    std::string shown;
};

class ComposeFaction : public ::testing::TestWithParam<FactionCase> {};

TEST_P(ComposeFaction, RaisesOnlyALowerCaseAsciiFirstLetter)
{
    const FactionCase& c = GetParam();
    std::string composed = compose(snapshot_of({"Tamsin", "", 0, "", "", c.faction, "Harbor Market"}));
    EXPECT_EQ(with_details("Tamsin \\u00b7 " + c.shown), composed);
}

INSTANTIATE_TEST_SUITE_P(Capitals, ComposeFaction,
                         ::testing::Values(FactionCase{"lower", "coastal", "Coastal"},
                                           FactionCase{"already_upper", "Coastal", "Coastal"},
                                           FactionCase{"two_words", "sea folk", "Sea folk"},
                                           FactionCase{"rest_keeps_case", "cOASTAL", "COASTAL"},
                                           FactionCase{"z_boundary", "zeal", "Zeal"},
                                           FactionCase{"digit", "1st fleet", "1st fleet"},
                                           FactionCase{"byte_above_127", "\xC3\xA9quipe", "\xC3\xA9quipe"},
                                           FactionCase{"quote_first", "\"c\"", "\\\"c\\\""}),
                         CaseLabel());

TEST(ComposeActivity, StartTimeInSignedDecimal)
{
    StatusSnapshot s = snapshot_of({"Tamsin", "", 0, "", "", "", "Harbor Market"});
    const struct {
        int64_t start;
        const char* written;
    } cases[] = {{0, "0"}, {-1, "-1"}, {INT64_MAX, "9223372036854775807"}, {INT64_MIN, "-9223372036854775808"}};
    for (const auto& c : cases) {
        EXPECT_EQ(std::string("{\"details\":\"Tamsin\",\"state\":\"Harbor Market\",\"timestamps\":{\"start\":") +
                      c.written + "}}",
                  compose(s, c.start));
    }
}

TEST(ComposeActivity, SmallCapacityKeepsTheFirstCharacters)
{
    StatusSnapshot s = snapshot_of({"Tamsin", "", 0, "", "", "", "Harbor Market"});
    EXPECT_EQ("{\"details", compose(s, kStart, 10));
    EXPECT_EQ("", compose(s, kStart, 1));
}

// Values are escaped so that the activity is valid JSON whatever the game wrote.
struct EscapeCase {
    const char* label;
    std::string value;
    std::string escaped;
};

class ComposeEscaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(ComposeEscaping, EscapesInEveryField)
{
    const EscapeCase& c = GetParam();
    const std::string v = c.value;
    const std::string e = c.escaped;
    EXPECT_EQ(with_details("Tamsin", "Harbor" + e), compose(snapshot_of({"Tamsin", "", 0, "", "", "", "Harbor" + v})));
    EXPECT_EQ(with_details("Tam" + e + " <G" + e + "> \\u00b7 Lvl 3 C" + e + " \\u00b7 R" + e + " \\u00b7 F" + e),
              compose(snapshot_of({"Tam" + v, "G" + v, 3, "C" + v, "R" + v, "F" + v, "Harbor Market"})));
}

INSTANTIATE_TEST_SUITE_P(Values, ComposeEscaping,
                         ::testing::Values(EscapeCase{"quote", "\"", "\\\""}, EscapeCase{"backslash", "\\", "\\\\"},
                                           EscapeCase{"line_feed", "\n", "\\n"},
                                           EscapeCase{"carriage_return", "\r", "\\r"}, EscapeCase{"tab", "\t", "\\t"},
                                           EscapeCase{"other_control_is_blank", "\x01", " "},
                                           EscapeCase{"escape_control_is_blank", "\x1B", " "},
                                           EscapeCase{"unit_separator_is_blank", "\x1F", " "},
                                           EscapeCase{"delete_unchanged", "\x7F", "\x7F"},
                                           EscapeCase{"slash_unchanged", "/", "/"},
                                           EscapeCase{"utf8_unchanged", "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC"},
                                           EscapeCase{"literal_escape_text", "\\u00b7", "\\\\u00b7"}),
                         CaseLabel());

TEST(ComposeActivity, WorstCaseEscapingIsNeverCut)
{
    // Every field full of quotes: each byte doubles, and still nothing of it is lost.
    Fields f{std::string(31, '"'), std::string(63, '"'), INT32_MAX, std::string(31, '"'),
             std::string(31, '"'), std::string(23, '"'), std::string(79, '"')};
    std::string composed = compose(snapshot_of(f));
    std::string state;
    for (int i = 0; i < 79; i++) {
        state += "\\\"";
    }
    EXPECT_NE(std::string::npos, composed.find("\"state\":\"" + state + "\",\"timestamps\":{\"start\":1700000000}}"))
        << composed;
    EXPECT_LE(composed.size(), kActivityCapacity - 1);
}

// The client refuses an empty details or state: the key goes with it.
TEST(ComposeActivity, EmptyTextsAreLeftOutWithTheirKeys)
{
    EXPECT_EQ("{\"state\":\"Harbor Market\",\"timestamps\":{\"start\":1700000000}}",
              compose(snapshot_of({"", "", 0, "", "", "", "Harbor Market"})));
    EXPECT_EQ("{\"details\":\"Tamsin\",\"timestamps\":{\"start\":1700000000}}",
              compose(snapshot_of({"Tamsin", "", 0, "", "", "", ""})));
    EXPECT_EQ("{\"details\":\"Lvl 60\",\"timestamps\":{\"start\":1700000000}}",
              compose(snapshot_of({"", "", 60, "", "", "", ""})));
    // A name that is only an incomplete character is empty, and so is the whole text.
    EXPECT_EQ("{\"timestamps\":{\"start\":1700000000}}", compose(snapshot_of({"\xC3", "", 0, "", "", "", "\xE2\x82"})));
    // One character is sent as it is.
    EXPECT_EQ(with_details("T", "H"), compose(snapshot_of({"T", "", 0, "", "", "", "H"})));
}

struct TailCase {
    const char* label;
    std::string value;
    std::string kept;
};

class ComposeUtf8Tail : public ::testing::TestWithParam<TailCase> {};

TEST_P(ComposeUtf8Tail, DropsOnlyAnIncompleteSequenceAtTheEnd)
{
    const TailCase& c = GetParam();
    EXPECT_EQ(with_details("Tamsin", "Zone" + c.kept), compose(snapshot_of({"Tamsin", "", 0, "", "", "", "Zone" + c.value})));
    EXPECT_EQ(with_details("Tamsin \\u00b7 Human" + c.kept), compose(snapshot_of({"Tamsin", "", 0, "", "Human" + c.value, "", "Harbor Market"})));
}

INSTANTIATE_TEST_SUITE_P(Tails, ComposeUtf8Tail,
                         ::testing::Values(TailCase{"two_byte_lead", "\xC3", ""},
                                           TailCase{"three_byte_one_missing", "\xE2\x82", ""},
                                           TailCase{"three_byte_two_missing", "\xE2", ""},
                                           TailCase{"four_byte_one_missing", "\xF0\x9F\x98", ""},
                                           TailCase{"complete_two_byte", "\xC3\xA9", "\xC3\xA9"},
                                           TailCase{"complete_four_byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                                           TailCase{"complete_then_lead", "\xC3\xA9\xE2\x82", "\xC3\xA9"},
                                           TailCase{"stray_continuation_is_not_a_tail", "\x80", " "},
                                           TailCase{"incomplete_in_middle_is_not_a_tail", "\xC3z", "\xC3\x83z"}),
                         CaseLabel());

// Bytes that are not well-formed UTF-8 (a status saved in an 8-bit code page, or garbage) are
// taken as Latin-1 characters, so that the activity stays valid UTF-8 for the client; the C1
// control range becomes a blank.
struct StrayCase {
    const char* label;
    std::string zone;
    std::string state;
};

void PrintTo(const StrayCase& c, std::ostream* os)
{
    *os << c.label;
}

class ComposeStrayBytes : public ::testing::TestWithParam<StrayCase> {};

TEST_P(ComposeStrayBytes, BecomeLatin1CharactersInUtf8)
{
    const StrayCase& c = GetParam();
    EXPECT_EQ(with_details("Tamsin", c.state), compose(snapshot_of({"Tamsin", "", 0, "", "", "", c.zone})));
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ComposeStrayBytes,
    ::testing::Values(StrayCase{"latin1_letters", "Caf\xE9 \xC0 la mer", "Caf\xC3\xA9 \xC3\x80 la mer"},
                      StrayCase{"latin1_no_break_space_and_y_umlaut", "a\xA0\xFFz", "a\xC2\xA0\xC3\xBFz"},
                      StrayCase{"c1_control_becomes_blank", "a\x85z", "a z"},
                      StrayCase{"overlong_two_byte", "a\xC0\xAFz", "a\xC3\x80\xC2\xAFz"},
                      StrayCase{"overlong_three_byte", "a\xE0\x80\xAFz", "a\xC3\xA0 \xC2\xAFz"},
                      StrayCase{"surrogate", "a\xED\xA0\x80z", "a\xC3\xAD\xC2\xA0 z"},
                      StrayCase{"beyond_u10ffff", "a\xF4\x90\x80\x80z", "a\xC3\xB4   z"},
                      StrayCase{"lead_f5", "a\xF5z", "a\xC3\xB5z"},
                      StrayCase{"well_formed_stays", "a\xE2\x82\xAC\xF4\x8F\xBF\xBFz", "a\xE2\x82\xAC\xF4\x8F\xBF\xBFz"}),
    CaseLabel());

TEST(ComposeActivity, StrayBytesInEveryFieldStillFitAndParse)
{
    // Every byte of every field a stray one: each doubles, as an escape would, and nothing is cut.
    StatusSnapshot s = snapshot_of({std::string(31, '\xE9'), std::string(63, '\xE9'), 2147483647,
                                    std::string(31, '\xE9'), std::string(31, '\xE9'), std::string(23, '\xE9'),
                                    std::string(79, '\xE9')});
    std::string text = compose(s);
    EXPECT_LE(text.size(), kActivityCapacity - 1);
    // The last byte of each field looks like the start of a character cut off, and is dropped.
    EXPECT_NE(std::string::npos, text.find("\"state\":\"" + repeat_e_acute(78) + "\""));
}

TEST(ComposeActivity, IncompleteNameCountsAsEmpty)
{
    EXPECT_EQ(with_details("<Lantern Keepers>"), compose(snapshot_of({"\xE2\x82", "Lantern Keepers", 0, "", "", "", "Harbor Market"})));
    EXPECT_EQ(with_details("Tamsin"), compose(snapshot_of({"Tamsin", "", 0, "", "", "\xC3", "Harbor Market"})));
}

// Cutting details to 128 UTF-16 units. Name (31), " <", guild (63), ">", the separator (3
// units) and "Lvl 27 " take 107 units; the class then brings the text to the boundary.
const std::string kLongHead = std::string(31, 'N') + " <" + std::string(63, 'G') + "> \\u00b7 Lvl 27 ";

struct CutCase {
    const char* label;
    std::string class_name;
    std::string race;
    std::string kept;  // what stays of the class and race as escaped text
};

class ComposeCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(ComposeCut, CutsDetailsAtACharacterBoundary)
{
    const CutCase& c = GetParam();
    Fields f{std::string(31, 'N'), std::string(63, 'G'), 27, c.class_name, c.race, "", "Harbor Market"};
    EXPECT_EQ(with_details(kLongHead + c.kept), compose(snapshot_of(f)));
}

const std::string c19(19, 'c');
const std::string c20(20, 'c');
const std::string c21(21, 'c');

INSTANTIATE_TEST_SUITE_P(
    Boundary, ComposeCut,
    ::testing::Values(
        CutCase{"ascii_exactly_128", c21, "", c21}, CutCase{"ascii_over", c21 + "dddd", "", c21},
        CutCase{"two_byte_last_fits", c20 + "\xC3\xA9zz", "", c20 + "\xC3\xA9"},
        CutCase{"two_byte_over", c21 + "\xC3\xA9", "", c21},
        CutCase{"three_byte_last_fits", c20 + "\xE2\x82\xACzz", "", c20 + "\xE2\x82\xAC"},
        CutCase{"three_byte_over", c21 + "\xE2\x82\xAC", "", c21},
        CutCase{"four_byte_fits_in_two_units", c19 + "\xF0\x9F\x98\x80z", "", c19 + "\xF0\x9F\x98\x80"},
        CutCase{"four_byte_straddles", c20 + "\xF0\x9F\x98\x80", "", c20},
        CutCase{"quote_escape_last_fits", c20 + "\"z", "", c20 + "\\\""},
        CutCase{"quote_escape_over", c21 + "\"", "", c21},
        CutCase{"backslash_escape_over", c21 + "\\", "", c21},
        CutCase{"middle_dot_last_fits", c19, "Human", c19 + " \\u00b7"},
        CutCase{"middle_dot_over", c20, "Human", c20 + " "}),
    CaseLabel());

}  // namespace
