// Properties of the activity text over many generated snapshots: valid JSON in valid UTF-8,
// within its buffer, details and state within the client's limits, and decoding to the texts
// a player should see (built here independently of the composer).
#include "status/compose.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/limits.h"
#include "status/snapshot.h"
#include "text/utf16_units.h"

namespace {

// ---- generating snapshots --------------------------------------------------------------------

const char* const kPieces[] = {
    "a", "Z", "7", " ", "/", "<", ">", "\"", "\\", "\n", "\r", "\t", "\x01", "\x1F", "\x7F",
    "\\u00b7",                   // looks like an escape, is plain text
    "\xC3\xA9",                  // e acute, 2 bytes
    "\xC2\xB7",                  // middle dot, 2 bytes
    "\xE2\x82\xAC",              // euro sign, 3 bytes
    "\xE6\xB8\xAF",              // a CJK character, 3 bytes
    "\xF0\x9F\x98\x80",          // an emoji, 4 bytes (a surrogate pair in UTF-16)
    "\xF0\x90\x8D\x88",          // another 4-byte character
};

// A valid UTF-8 value, then cut by bytes at the field's capacity as the scanner cuts it, which
// may leave an incomplete character at its end.
void fill_field(std::mt19937& random, char* field, size_t capacity)
{
    std::string value;
    switch (random() % 6) {
    case 0:
        break;  // empty
    case 1:
        value = "x";  // one character
        break;
    case 2: {
        // plain letters, possibly overlong
        size_t length = random() % (capacity + 8);
        for (size_t i = 0; i < length; i++) {
            value += static_cast<char>('a' + random() % 26);
        }
        break;
    }
    default: {
        size_t pieces = random() % (capacity + 4);
        for (size_t i = 0; i < pieces; i++) {
            value += kPieces[random() % (sizeof(kPieces) / sizeof(kPieces[0]))];
        }
        break;
    }
    }
    std::memset(field, 0, capacity);
    std::memcpy(field, value.data(), value.size() < capacity - 1 ? value.size() : capacity - 1);
}

int32_t generated_level(std::mt19937& random)
{
    const int32_t extremes[] = {0, -1, 1, 27, INT32_MAX, INT32_MIN};
    if (random() % 2 == 0) {
        return extremes[random() % 6];
    }
    return static_cast<int32_t>(random());
}

int64_t generated_start(std::mt19937& random)
{
    const int64_t extremes[] = {0, -1, 1700000000, INT64_MAX, INT64_MIN};
    if (random() % 2 == 0) {
        return extremes[random() % 5];
    }
    return static_cast<int64_t>((static_cast<uint64_t>(random()) << 32) | random());
}

StatusSnapshot generated_snapshot(std::mt19937& random)
{
    StatusSnapshot s;
    std::memset(&s, 0, sizeof(s));
    fill_field(random, s.name, sizeof(s.name));
    fill_field(random, s.zone, sizeof(s.zone));
    fill_field(random, s.guild, sizeof(s.guild));
    fill_field(random, s.faction, sizeof(s.faction));
    fill_field(random, s.class_name, sizeof(s.class_name));
    fill_field(random, s.race, sizeof(s.race));
    s.level = generated_level(random);
    return s;
}

// ---- the expected display texts --------------------------------------------------------------

// The value as shown: whole characters only, control bytes other than \n \r \t as blanks.
std::string shown(const char* field)
{
    std::string value(field);
    std::string result;
    for (size_t at = 0; at < value.size();) {
        size_t length = utf16::utf8_character_length(static_cast<unsigned char>(value[at]));
        if (at + length > value.size()) {
            break;  // the character cut at the field's capacity
        }
        std::string character = value.substr(at, length);
        unsigned char first = static_cast<unsigned char>(character[0]);
        if (first < 0x20 && first != '\n' && first != '\r' && first != '\t') {
            character = " ";
        }
        result += character;
        at += length;
    }
    return result;
}

const std::string kMiddleDot = " \xC2\xB7 ";

std::string joined(const std::vector<std::string>& segments)
{
    std::string result;
    for (const std::string& segment : segments) {
        if (segment.empty()) {
            continue;
        }
        result += result.empty() ? segment : kMiddleDot + segment;
    }
    return result;
}

std::string expected_details_uncut(const StatusSnapshot& s)
{
    std::string name = shown(s.name);
    std::string guild = shown(s.guild);
    std::string head = guild.empty() ? name : (name.empty() ? "<" + guild + ">" : name + " <" + guild + ">");
    std::string class_name = shown(s.class_name);
    std::string level;
    if (s.level > 0) {
        level = "Lvl " + std::to_string(s.level) + (class_name.empty() ? "" : " " + class_name);
    } else {
        level = class_name;
    }
    std::string faction = shown(s.faction);
    if (!faction.empty() && faction[0] >= 'a' && faction[0] <= 'z') {
        faction[0] = static_cast<char>(faction[0] - 'a' + 'A');
    }
    return joined({head, joined({level, shown(s.race), faction})});
}

// ---- the properties ----------------------------------------------------------------------------

void check_text_field(const nlohmann::ordered_json& activity, const char* key, const std::string& expected_uncut)
{
    std::string expected = utf16::as_sent(expected_uncut);
    if (expected.empty()) {
        EXPECT_FALSE(activity.contains(key)) << key;
        return;
    }
    ASSERT_TRUE(activity.contains(key)) << key;
    ASSERT_TRUE(activity[key].is_string()) << key;
    std::string decoded = activity[key].get<std::string>();
    EXPECT_EQ(expected, decoded) << key;
    size_t units = utf16::utf16_units(decoded);
    EXPECT_LE(units, 128u) << key;
    EXPECT_GE(units, 2u) << key << ": the client refuses shorter texts";
}

TEST(ComposeProperty, ActivityIsValidAndShowsTheExpectedTexts)
{
    std::mt19937 random(20231114u);
    for (int round = 0; round < 20000; round++) {
        StatusSnapshot s = generated_snapshot(random);
        int64_t start = generated_start(random);
        char out[kActivityCapacity];
        compose_activity(&s, out, kActivityCapacity, start);
        std::string text(out);
        SCOPED_TRACE("round " + std::to_string(round) + ": " + text);

        ASSERT_LE(text.size(), kActivityCapacity - 1);
        // nlohmann's parser also rejects any byte sequence that is not valid UTF-8.
        nlohmann::ordered_json activity = nlohmann::ordered_json::parse(text, nullptr, false);
        ASSERT_FALSE(activity.is_discarded());
        ASSERT_TRUE(activity.is_object());

        check_text_field(activity, "details", expected_details_uncut(s));
        check_text_field(activity, "state", shown(s.zone));
        ASSERT_TRUE(activity.contains("timestamps"));
        EXPECT_EQ(start, activity["timestamps"]["start"].get<int64_t>());
        EXPECT_EQ(1u, activity["timestamps"].size());

        // Keys in their order: details, state, timestamps, each at most once.
        std::vector<std::string> keys;
        for (auto it = activity.begin(); it != activity.end(); ++it) {
            keys.push_back(it.key());
        }
        EXPECT_EQ("timestamps", keys.back());
        if (keys.size() == 3) {
            EXPECT_EQ("details", keys[0]);
            EXPECT_EQ("state", keys[1]);
        }
    }
}

// Values of plain text that fit the client's limits come out exactly as the plain template
// ({"details":"%s","state":"%s","timestamps":{"start":%lld}}) with the values as they are.
TEST(ComposeProperty, PlainValuesFillTheTemplateUnchanged)
{
    std::mt19937 random(77u);
    const char* const plain[] = {"a", "Z", "7", " ", "/", "'", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
    int compared = 0;
    for (int round = 0; round < 5000; round++) {
        StatusSnapshot s;
        std::memset(&s, 0, sizeof(s));
        char* fields[] = {s.name, s.zone, s.guild, s.faction, s.class_name, s.race};
        for (char* field : fields) {
            std::string value;
            size_t pieces = random() % 9;
            for (size_t i = 0; i < pieces; i++) {
                value += plain[random() % (sizeof(plain) / sizeof(plain[0]))];
            }
            std::memcpy(field, value.data(), value.size());  // at most 36 bytes: fits every field but faction
        }
        s.faction[sizeof(s.faction) - 1] = '\0';
        if (std::strlen(s.faction) > 0 && shown(s.faction) != std::string(s.faction)) {
            continue;  // the faction was cut inside a character
        }
        s.level = generated_level(random);
        std::string details = expected_details_uncut(s);
        if (details.empty() || s.zone[0] == '\0') {
            continue;
        }
        std::string escaped_details;
        for (size_t at = 0; at < details.size(); at++) {
            // The composer writes the middle dot as its JSON escape.
            if (details.compare(at, kMiddleDot.size(), kMiddleDot) == 0) {
                escaped_details += " \\u00b7 ";
                at += kMiddleDot.size() - 1;
            } else {
                escaped_details += details[at];
            }
        }
        // A value of one character carries the padding after it, as its escape.
        std::string zone = s.zone;
        if (utf16::as_sent(details) != details) {
            escaped_details += "\\u200b";
        }
        if (utf16::as_sent(zone) != zone) {
            zone += "\\u200b";
        }
        char out[kActivityCapacity];
        compose_activity(&s, out, kActivityCapacity, 1700000000);
        EXPECT_EQ("{\"details\":\"" + escaped_details + "\",\"state\":\"" + zone +
                      "\",\"timestamps\":{\"start\":1700000000}}",
                  std::string(out));
        compared++;
    }
    EXPECT_GT(compared, 1000);
}

}  // namespace
