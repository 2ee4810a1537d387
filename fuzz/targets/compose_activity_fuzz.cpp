// compose_activity over any snapshot: the activity text is valid JSON within 767 characters,
// its details and state are what the values give (escaped; well-formed UTF-8 kept, any other
// byte its Windows-1252 character, a character cut off by a full field left out; at most 128
// UTF-16 units, one character padded), and a smaller capacity gives a prefix of the same text.
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

// The characters of Windows-1252 for the bytes 0x80 to 0x9F, written out as UTF-8; a blank for
// its five unassigned bytes.
const char* const kWindows1252[32] = {
    "\u20AC", " ",      "\u201A", "\u0192", "\u201E", "\u2026", "\u2020", "\u2021",
    "\u02C6", "\u2030", "\u0160", "\u2039", "\u0152", " ",      "\u017D", " ",
    " ",      "\u2018", "\u2019", "\u201C", "\u201D", "\u2022", "\u2013", "\u2014",
    "\u02DC", "\u2122", "\u0161", "\u203A", "\u0153", " ",      "\u017E", "\u0178",
};

// A byte that is not part of UTF-8, as the reader should see it: Windows-1252.
std::string code_page_character(unsigned char byte)
{
    if (byte < 0xA0) {
        return kWindows1252[byte - 0x80];
    }
    std::string out;
    out += static_cast<char>(0xC0 | (byte >> 6));
    out += static_cast<char>(0x80 | (byte & 0x3F));
    return out;
}

// The value as a JSON reader gets it back: well-formed UTF-8 as it is; the start of a character
// cut off by the end of a value that fills its field (full) left out; every other byte its
// Windows-1252 character; line feed, carriage return and tab kept (as their escapes), other
// control bytes blanks.
std::string decoded(const std::string& value, bool full)
{
    std::string out;
    size_t at = 0;
    while (at < value.size()) {
        unsigned char lead = static_cast<unsigned char>(value[at]);
        size_t length = sequence_length(lead);
        size_t k = 1;
        while (length > 1 && k < length && at + k < value.size() &&
               continuation_fits(lead, k, static_cast<unsigned char>(value[at + k]))) {
            ++k;
        }
        if (length > 1 && k == length) {
            out += value.substr(at, length);
            at += length;
        } else if (length > 1 && at + k == value.size() && full) {
            break;  // the scanner's cut
        } else if (lead >= 0x80) {
            out += code_page_character(lead);
            ++at;
        } else {
            out += lead < 0x20 && lead != '\n' && lead != '\r' && lead != '\t' ? ' ' : static_cast<char>(lead);
            ++at;
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

    const char* const fields[6] = {snapshot.name, snapshot.zone, snapshot.guild,
                                   snapshot.faction, snapshot.class_name, snapshot.race};
    const size_t capacities[6] = {sizeof snapshot.name, sizeof snapshot.zone, sizeof snapshot.guild,
                                  sizeof snapshot.faction, sizeof snapshot.class_name, sizeof snapshot.race};
    std::string shown_values[6];
    for (int i = 0; i < 6; ++i) {
        shown_values[i] = decoded(fields[i], strlen(fields[i]) == capacities[i] - 1);
    }
    const std::string& name = shown_values[0];
    const std::string& zone = shown_values[1];
    const std::string& guild = shown_values[2];
    std::string faction = shown_values[3];
    const std::string& class_name = shown_values[4];
    const std::string& race = shown_values[5];
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
        FUZZ_CHECK(shown == utf16::as_sent(details));
        size_t units = utf16::utf16_units(shown);
        FUZZ_CHECK(units >= 2 && units <= 128);
        FUZZ_CHECK(text.compare(0, 12, "{\"details\":\"") == 0);
    }
    FUZZ_CHECK(parsed.contains("state") == !zone.empty());
    if (!zone.empty()) {
        ++keys;
        FUZZ_CHECK(parsed["state"].is_string());
        const std::string shown = parsed["state"].get<std::string>();
        FUZZ_CHECK(shown == utf16::as_sent(zone));
        size_t units = utf16::utf16_units(shown);
        FUZZ_CHECK(units >= 2 && units <= 128);
    }
    FUZZ_CHECK(parsed.size() == keys);
    // Keys in the order details, state, timestamps.
    size_t state_at = text.find("\"state\":");
    size_t timestamps_at = text.rfind("\"timestamps\":");
    FUZZ_CHECK(timestamps_at != std::string::npos);
    FUZZ_CHECK(state_at == std::string::npos || state_at < timestamps_at);
    return 0;
}
