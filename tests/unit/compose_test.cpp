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
    // A name that fills its field with nothing but control bytes is blanks, not empty.
    EXPECT_EQ("{\"details\":\"   \",\"timestamps\":{\"start\":1700000000}}",
              compose(snapshot_of({"\x01\x02\x03", "", 0, "", "", "", ""})));
}

// The client refuses a details or state of one character; such a value is sent with U+200B
// ZERO WIDTH SPACE after it, as its escape, so that the player sees the character alone.
struct SingleCase {
    const char* label;
    Fields fields;
    std::string details;
    std::string state;
};

class ComposeSingleCharacter : public ::testing::TestWithParam<SingleCase> {};

TEST_P(ComposeSingleCharacter, IsPaddedWithAZeroWidthSpace)
{
    const SingleCase& c = GetParam();
    EXPECT_EQ(with_details(c.details, c.state), compose(snapshot_of(c.fields)));
}

INSTANTIATE_TEST_SUITE_P(
    Values, ComposeSingleCharacter,
    ::testing::Values(
        SingleCase{"ascii_name_alone", {"T", "", 0, "", "", "", "Harbor Market"}, "T\\u200b", "Harbor Market"},
        SingleCase{"cjk_zone", {"Tamsin", "", 0, "", "", "", "\xE6\xB8\xAF"}, "Tamsin", "\xE6\xB8\xAF\\u200b"},
        SingleCase{"both", {"T", "", 0, "", "", "", "H"}, "T\\u200b", "H\\u200b"},
        SingleCase{"two_unit_character", {"\xF0\x9F\x98\x80", "", 0, "", "", "", "Harbor Market"},
                   "\xF0\x9F\x98\x80\\u200b", "Harbor Market"},
        SingleCase{"escaped_quote", {"\"", "", 0, "", "", "", "\\"}, "\\\"\\u200b", "\\\\\\u200b"},
        SingleCase{"code_page_byte", {"\x92", "", 0, "", "", "", "Harbor Market"}, "\xE2\x80\x99\\u200b",
                   "Harbor Market"},
        SingleCase{"class_alone", {"", "", 0, "W", "", "", "Harbor Market"}, "W\\u200b", "Harbor Market"},
        SingleCase{"faction_alone_capitalised", {"", "", 0, "", "", "c", "Harbor Market"}, "C\\u200b",
                   "Harbor Market"},
        SingleCase{"two_characters_unpadded", {"Ta", "", 0, "", "", "", "Zo"}, "Ta", "Zo"},
        SingleCase{"one_character_name_with_guild", {"T", "G", 0, "", "", "", "Harbor Market"}, "T <G>",
                   "Harbor Market"},
        SingleCase{"one_character_name_with_level", {"T", "", 5, "", "", "", "Harbor Market"},
                   "T \\u00b7 Lvl 5", "Harbor Market"}),
    CaseLabel());

// An incomplete UTF-8 character at the end of a value is the scanner's cut only when the value
// fills its field; in a shorter value those bytes are characters of the writer's code page.
struct TailCase {
    const char* label;
    std::string tail;
    std::string kept_when_full;
    std::string kept_when_short;
};

class ComposeUtf8Tail : public ::testing::TestWithParam<TailCase> {};

TEST_P(ComposeUtf8Tail, IsDroppedOnlyFromAFullField)
{
    const TailCase& c = GetParam();
    const std::string full_zone = std::string(79 - c.tail.size(), 'Z');
    EXPECT_EQ(with_details("Tamsin", full_zone + c.kept_when_full),
              compose(snapshot_of({"Tamsin", "", 0, "", "", "", full_zone + c.tail})));
    EXPECT_EQ(with_details("Tamsin", "Zone" + c.kept_when_short),
              compose(snapshot_of({"Tamsin", "", 0, "", "", "", "Zone" + c.tail})));
    const std::string full_race = std::string(31 - c.tail.size(), 'R');
    EXPECT_EQ(with_details("Tamsin \\u00b7 " + full_race + c.kept_when_full),
              compose(snapshot_of({"Tamsin", "", 0, "", full_race + c.tail, "", "Harbor Market"})));
}

INSTANTIATE_TEST_SUITE_P(
    Tails, ComposeUtf8Tail,
    ::testing::Values(
        TailCase{"two_byte_lead", "\xC3", "", "\xC3\x83"},
        TailCase{"three_byte_one_missing", "\xE2\x82", "", "\xC3\xA2\xE2\x80\x9A"},
        TailCase{"three_byte_two_missing", "\xE2", "", "\xC3\xA2"},
        TailCase{"four_byte_one_missing", "\xF0\x9F\x98", "", "\xC3\xB0\xC5\xB8\xCB\x9C"},
        TailCase{"complete_two_byte", "\xC3\xA9", "\xC3\xA9", "\xC3\xA9"},
        TailCase{"complete_four_byte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        TailCase{"complete_then_lead", "\xC3\xA9\xE2\x82", "\xC3\xA9", "\xC3\xA9\xC3\xA2\xE2\x80\x9A"},
        TailCase{"stray_continuation_is_not_a_tail", "\x80", "\xE2\x82\xAC", "\xE2\x82\xAC"},
        TailCase{"impossible_beginning_is_not_a_tail", "\xE0\x80", "\xC3\xA0\xE2\x82\xAC", "\xC3\xA0\xE2\x82\xAC"},
        TailCase{"incomplete_in_middle_is_not_a_tail", "\xC3z", "\xC3\x83z", "\xC3\x83z"}),
    CaseLabel());

// Status text written in Windows-1252 by a game side on Western Windows: a name in a field of
// its own size and one that fills the field, where only a lead byte at the very end is cut.
struct CodePageCase {
    const char* label;
    std::string name;
    std::string details;
};

class ComposeCodePage : public ::testing::TestWithParam<CodePageCase> {};

TEST_P(ComposeCodePage, ShowsTheWritersCharacters)
{
    const CodePageCase& c = GetParam();
    EXPECT_EQ(with_details(c.details), compose(snapshot_of({c.name, "", 0, "", "", "", "Harbor Market"})));
}

const std::string x23(23, 'x');
const std::string x27(27, 'x');
const std::string x30(30, 'x');

INSTANTIATE_TEST_SUITE_P(
    Names, ComposeCodePage,
    ::testing::Values(CodePageCase{"ren_short", "Ren\xE9", "Ren\xC3\xA9"},
                      CodePageCase{"ren_filling_the_field", x27 + "Ren\xE9", x27 + "Ren"},
                      CodePageCase{"obrien_short", "O\x92" "Brien", "O\xE2\x80\x99" "Brien"},
                      CodePageCase{"obrien_filling_the_field", x23 + "O\x92" "Brien", x23 + "O\xE2\x80\x99" "Brien"},
                      CodePageCase{"quote_mark_last_in_a_full_field", x30 + "\x92", x30 + "\xE2\x80\x99"},
                      CodePageCase{"cafe_short", "Caf\xE9", "Caf\xC3\xA9"}),
    CaseLabel());

// The whole range where Windows-1252 differs from Latin-1, against its table written out as the
// characters themselves; its five unassigned bytes become blanks.
TEST(ComposeActivity, Windows1252RowOf0x80To0x9F)
{
    std::string zone = "a";
    for (int byte = 0x80; byte <= 0x9F; ++byte) {
        zone += static_cast<char>(byte);
    }
    zone += "z";
    const std::string shown = "a\u20AC \u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152 \u017D "
                              " \u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153 \u017E\u0178z";
    EXPECT_EQ(with_details("Tamsin", shown), compose(snapshot_of({"Tamsin", "", 0, "", "", "", zone})));
}

// Bytes that are not well-formed UTF-8 (a status saved in an 8-bit code page, or garbage) are
// taken as Windows-1252 characters, so that the activity stays valid UTF-8 for the client.
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

TEST_P(ComposeStrayBytes, BecomeWindows1252CharactersInUtf8)
{
    const StrayCase& c = GetParam();
    EXPECT_EQ(with_details("Tamsin", c.state), compose(snapshot_of({"Tamsin", "", 0, "", "", "", c.zone})));
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, ComposeStrayBytes,
    ::testing::Values(StrayCase{"latin1_letters", "Caf\xE9 \xC0 la mer", "Caf\xC3\xA9 \xC3\x80 la mer"},
                      StrayCase{"latin1_no_break_space_and_y_umlaut", "a\xA0\xFFz", "a\xC2\xA0\xC3\xBFz"},
                      StrayCase{"ellipsis", "a\x85z", "a\xE2\x80\xA6z"},
                      StrayCase{"unassigned_becomes_blank", "a\x81\x8D\x8F\x90\x9Dz", "a     z"},
                      StrayCase{"overlong_two_byte", "a\xC0\xAFz", "a\xC3\x80\xC2\xAFz"},
                      StrayCase{"overlong_three_byte", "a\xE0\x80\xAFz", "a\xC3\xA0\xE2\x82\xAC\xC2\xAFz"},
                      StrayCase{"surrogate", "a\xED\xA0\x80z", "a\xC3\xAD\xC2\xA0\xE2\x82\xACz"},
                      StrayCase{"beyond_u10ffff", "a\xF4\x90\x80\x80z", "a\xC3\xB4 \xE2\x82\xAC\xE2\x82\xACz"},
                      StrayCase{"lead_f5", "a\xF5z", "a\xC3\xB5z"},
                      StrayCase{"well_formed_stays", "a\xE2\x82\xAC\xF4\x8F\xBF\xBFz", "a\xE2\x82\xAC\xF4\x8F\xBF\xBFz"}),
    CaseLabel());

TEST(ComposeActivity, StrayBytesInEveryFieldStillFitAndParse)
{
    // Every byte of every field one that becomes three (the euro sign), and nothing is cut but
    // by the client's 128 units.
    StatusSnapshot s = snapshot_of({std::string(31, '\x80'), std::string(63, '\x80'), 2147483647,
                                    std::string(31, '\x80'), std::string(31, '\x80'), std::string(23, '\x80'),
                                    std::string(79, '\x80')});
    std::string text = compose(s);
    EXPECT_LE(text.size(), kActivityCapacity - 1);
    std::string euros;
    for (int i = 0; i < 79; i++) {
        euros += "\xE2\x82\xAC";
    }
    EXPECT_NE(std::string::npos, text.find("\"state\":\"" + euros + "\"")) << text;
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
