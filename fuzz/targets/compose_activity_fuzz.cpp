// compose_activity over any snapshot: the activity text is valid JSON within 767 characters,
// its details and state are what the values give (escaped, whole UTF-8 characters, at most 128
// UTF-16 units), and a smaller capacity gives a prefix of the same text.
//
// Input: the six texts (each one length byte, below its field's capacity, and the bytes), the
// level (4 bytes), the play start time (8 bytes), and a capacity for the cut check (2 bytes).
#include <nlohmann/json.hpp>

#include <cstring>
#include <string>

#include "common/limits.h"
#include "fuzz_support.h"
#include "status/compose.h"
#include "status/snapshot.h"
#include "text/utf16_units.h"

namespace {

const char kMiddleDot[] = "\xC2\xB7";  // U+00B7, what the separator's \u00b7 stands for

// The length of the sequence that lead starts, or 0 when it starts none (RFC 3629).
size_t sequence_length(unsigned char lead)
{
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Whether the continuation at position index (1 to 3) of the sequence led by lead may be byte.
bool continuation_fits(unsigned char lead, size_t index, unsigned char byte)
{
    if (index == 1) {
        if (lead == 0xE0) return byte >= 0xA0 && byte <= 0xBF;
        if (lead == 0xED) return byte >= 0x80 && byte <= 0x9F;
        if (lead == 0xF0) return byte >= 0x90 && byte <= 0xBF;
        if (lead == 0xF4) return byte >= 0x80 && byte <= 0x8F;
    }
    return byte >= 0x80 && byte <= 0xBF;
}

// A value counts as UTF-8 when it is valid UTF-8, or valid UTF-8 followed by the beginning of
// a valid sequence (what a field cut at its capacity can end with). Sets whole to the length
// without that beginning.
bool utf8_value(const std::string& value, size_t* whole)
{
    size_t at = 0;
    while (at < value.size()) {
        unsigned char lead = static_cast<unsigned char>(value[at]);
        size_t length = sequence_length(lead);
        if (length == 0) {
            return false;
        }
        size_t k = 1;
        for (; k < length && at + k < value.size(); ++k) {
            if (!continuation_fits(lead, k, static_cast<unsigned char>(value[at + k]))) {
                return false;
            }
        }
        if (k < length) {
            *whole = at;  // an incomplete but valid beginning at the very end
            return true;
        }
        at += length;
    }
    *whole = value.size();
    return true;
}

// The value as a JSON reader gets it back: line feed, carriage return and tab survive as their
// escapes, other control bytes are blanks.
std::string decoded(const std::string& value, size_t whole)
{
    std::string out = value.substr(0, whole);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t') {
            c = ' ';
        }
    }
    return out;
}

void fill_field(fuzz::ByteReader& in, char* field, size_t capacity)
{
    std::string value = in.short_text(capacity);  // at most capacity - 1 bytes
    memcpy(field, value.data(), value.size());
    field[value.size()] = '\0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::reset_machine();
    fuzz::ByteReader in(data, size);
    StatusSnapshot snapshot;
    memset(&snapshot, 0, sizeof snapshot);
    fill_field(in, snapshot.name, sizeof snapshot.name);
    fill_field(in, snapshot.zone, sizeof snapshot.zone);
    fill_field(in, snapshot.guild, sizeof snapshot.guild);
    fill_field(in, snapshot.faction, sizeof snapshot.faction);
    fill_field(in, snapshot.class_name, sizeof snapshot.class_name);
    fill_field(in, snapshot.race, sizeof snapshot.race);
    snapshot.level = static_cast<int32_t>(in.u32());
    const int64_t start = static_cast<int64_t>(in.u64());
    const uint32_t small_capacity = 1 + in.u16() % kActivityCapacity;
    const StatusSnapshot before = snapshot;

    char out[kActivityCapacity];
    memset(out, 0x5A, sizeof out);
    compose_activity(&snapshot, out, sizeof out, start);
    FUZZ_CHECK(memchr(out, '\0', sizeof out) != nullptr);
    const std::string text(out);
    FUZZ_CHECK(text.size() <= kActivityCapacity - 1);
    FUZZ_CHECK(memcmp(&before, &snapshot, sizeof snapshot) == 0);

    // The same snapshot gives the same text; a smaller capacity gives its first capacity - 1.
    char again[kActivityCapacity];
    compose_activity(&snapshot, again, sizeof again, start);
    FUZZ_CHECK(text == again);
    char cut[kActivityCapacity];
    memset(cut, 0x5A, sizeof cut);
    compose_activity(&snapshot, cut, small_capacity, start);
    FUZZ_CHECK(text.substr(0, small_capacity - 1) == std::string(cut, strnlen(cut, small_capacity)));
    if (small_capacity < kActivityCapacity) {
        FUZZ_CHECK(static_cast<unsigned char>(cut[small_capacity]) == 0x5A);
    }

    const std::string values[6] = {snapshot.name, snapshot.zone, snapshot.guild,
                                   snapshot.faction, snapshot.class_name, snapshot.race};
    size_t whole[6] = {0, 0, 0, 0, 0, 0};
    bool all_utf8 = true;
    for (int i = 0; i < 6; ++i) {
        all_utf8 = utf8_value(values[i], &whole[i]) && all_utf8;
    }

    if (!all_utf8) {
        // Bytes that are not UTF-8 are written as Latin-1 characters: the activity is still
        // valid JSON in valid UTF-8 (nlohmann rejects anything else).
        nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
        FUZZ_CHECK(!parsed.is_discarded());
        FUZZ_CHECK(parsed.is_object());
        FUZZ_CHECK(parsed["timestamps"]["start"].get<int64_t>() == start);
        return 0;
    }

    const std::string name = decoded(values[0], whole[0]);
    const std::string zone = decoded(values[1], whole[1]);
    const std::string guild = decoded(values[2], whole[2]);
    std::string faction = decoded(values[3], whole[3]);
    const std::string class_name = decoded(values[4], whole[4]);
    const std::string race = decoded(values[5], whole[5]);
    if (!faction.empty() && faction[0] >= 'a' && faction[0] <= 'z') {
        faction[0] = static_cast<char>(faction[0] - 32);
    }

    // The details as a reader should see them, before the client's 128-unit limit.
    std::string details;
    if (!name.empty() && !guild.empty()) {
        details = name + " <" + guild + ">";
    } else if (!name.empty()) {
        details = name;
    } else if (!guild.empty()) {
        details = "<" + guild + ">";
    }
    std::string level_line;
    if (snapshot.level > 0) {
        level_line = "Lvl " + std::to_string(snapshot.level);
        if (!class_name.empty()) {
            level_line += " " + class_name;
        }
    } else {
        level_line = class_name;
    }
    for (const std::string* segment : {&race, static_cast<const std::string*>(&faction)}) {
        if (segment->empty()) {
            continue;
        }
        level_line = level_line.empty() ? *segment : level_line + " " + kMiddleDot + " " + *segment;
    }
    if (!details.empty() && !level_line.empty()) {
        details += std::string(" ") + kMiddleDot + " " + level_line;
    } else if (!level_line.empty()) {
        details = level_line;
    }

    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!parsed.is_discarded());
    FUZZ_CHECK(parsed.is_object());
    size_t keys = 1;
    FUZZ_CHECK(parsed.contains("timestamps") && parsed["timestamps"].is_object());
    FUZZ_CHECK(parsed["timestamps"].size() == 1);
    FUZZ_CHECK(parsed["timestamps"]["start"].is_number_integer());
    FUZZ_CHECK(parsed["timestamps"]["start"].get<int64_t>() == start);
    FUZZ_CHECK(parsed.contains("details") == !details.empty());
    if (!details.empty()) {
        ++keys;
        FUZZ_CHECK(parsed["details"].is_string());
        const std::string shown = parsed["details"].get<std::string>();
        FUZZ_CHECK(shown == utf16::cut_to_units(details, 128));
        size_t units = utf16::utf16_units(shown);
        FUZZ_CHECK(units >= 1 && units <= 128);
        // One unit only when the one value behind the details was a single character.
        FUZZ_CHECK(units >= 2 || shown == details);
        FUZZ_CHECK(text.compare(0, 12, "{\"details\":\"") == 0);
    }
    FUZZ_CHECK(parsed.contains("state") == !zone.empty());
    if (!zone.empty()) {
        ++keys;
        FUZZ_CHECK(parsed["state"].is_string());
        const std::string shown = parsed["state"].get<std::string>();
        FUZZ_CHECK(shown == utf16::cut_to_units(zone, 128));
        size_t units = utf16::utf16_units(shown);
        FUZZ_CHECK(units >= 1 && units <= 128);
        FUZZ_CHECK(units >= 2 || shown == zone);
    }
    FUZZ_CHECK(parsed.size() == keys);
    // Keys in the order details, state, timestamps.
    size_t state_at = text.find("\"state\":");
    size_t timestamps_at = text.rfind("\"timestamps\":");
    FUZZ_CHECK(timestamps_at != std::string::npos);
    FUZZ_CHECK(state_at == std::string::npos || state_at < timestamps_at);
    return 0;
}
