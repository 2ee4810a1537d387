// The activity text for a usable status snapshot.
//
// The details join the character's name and <guild>, then the level line (Lvl, level, class,
// race, faction) with middle dots, written as the JSON escape \u00b7; the state is the zone; the
// start is the play start time. What is sent has to be an activity the Discord client accepts,
// so every value is prepared before it goes into the template:
// - Escaped. The status values are decoded text and may hold quotes, backslashes and control
//   characters. Quote, backslash, line feed, carriage return and tab are written as \" \\ \n \r
//   \t; any other byte below 0x20 becomes a blank. Every other byte stands as it is, so a value
//   without those characters goes in unchanged.
// - Whole UTF-8 characters. A value cut at its field's capacity can end inside a multi-byte
//   character; that incomplete tail is dropped (before the tests for empty values), so UTF-8
//   status values give an activity in valid UTF-8. Bytes elsewhere are not touched.
// - Valid UTF-8 throughout. A byte that does not belong to a well-formed UTF-8 character (a
//   status written in an 8-bit code page, or plain garbage) would make the client refuse the
//   whole activity on every pass; such a byte is taken as the Latin-1 character of that value
//   and written in its two-byte UTF-8 form, and one of the C1 control range (0x80 to 0x9F)
//   becomes a blank like the other control bytes. Well-formed UTF-8 stands as it is.
// - Within the client's limits. The client refuses an empty details or state, and one longer
//   than 128 characters as it counts them (UTF-16 units). An empty one is left out together
//   with its key; a longer one is cut to 128 at a character boundary, never inside an escape or
//   inside a UTF-8 sequence.
// The working texts are sized for the escaped worst case, so no step of the joining cuts a text.
#include "status/compose.h"

#include <string.h>

#include "common/format.h"
#include "common/limits.h"
#include "common/text.h"
#include "status/snapshot.h"

namespace {

// A field of capacity N holds at most N - 1 bytes; escaping, like writing a stray byte as its
// two-byte Latin-1 character, at most doubles each byte, so it escapes to at most 2 * (N - 1)
// bytes, plus the terminator.
constexpr uint32_t escaped_capacity(uint32_t field_capacity)
{
    return 2 * (field_capacity - 1) + 1;
}

const uint32_t kNameCapacity = escaped_capacity(sizeof(StatusSnapshot::name));              // 63
const uint32_t kZoneCapacity = escaped_capacity(sizeof(StatusSnapshot::zone));              // 159
const uint32_t kGuildCapacity = escaped_capacity(sizeof(StatusSnapshot::guild));            // 127
const uint32_t kFactionCapacity = escaped_capacity(sizeof(StatusSnapshot::faction));        // 47
const uint32_t kClassCapacity = escaped_capacity(sizeof(StatusSnapshot::class_name));       // 63
const uint32_t kRaceCapacity = escaped_capacity(sizeof(StatusSnapshot::race));              // 63

// " \u00b7 ": a blank, the six characters of the escape, a blank.
const uint32_t kSeparatorLength = 8;
// "Lvl " and a positive signed 32-bit level (at most 10 digits) and a blank.
const uint32_t kLevelPrefixLength = 4 + 10 + 1;
// Level line: 15 + class 62 + 8 + race 62 + 8 + faction 46 = 201 characters.
const uint32_t kLevelLineCapacity = kLevelPrefixLength + (kClassCapacity - 1) + kSeparatorLength +
                                    (kRaceCapacity - 1) + kSeparatorLength + (kFactionCapacity - 1) + 1;
// Details line: name 62 + " <" 2 + guild 126 + ">" 1 + 8 + level line 201 = 400 characters.
const uint32_t kDetailsCapacity = (kNameCapacity - 1) + 2 + (kGuildCapacity - 1) + 1 + kSeparatorLength +
                                  (kLevelLineCapacity - 1) + 1;
static_assert(kLevelLineCapacity == 202 && kDetailsCapacity == 401, "working texts as reckoned above");

// The activity text around its values, and the longest start time ("-9223372036854775808").
const uint32_t kTemplateLength = sizeof("{\"details\":\"\",\"state\":\"\",\"timestamps\":{\"start\":}}") - 1;
const uint32_t kStartTimeLength = 20;
// 49 + details 400 + state 158 + 20 = 627 characters; cutting a text to 128 only shortens it.
const uint32_t kLongestActivity = kTemplateLength + (kDetailsCapacity - 1) + (kZoneCapacity - 1) + kStartTimeLength;
static_assert(kLongestActivity <= kActivityCapacity - 1, "the longest activity text fits its buffer");

// The client's limit for details and state, in UTF-16 code units.
const uint32_t kMostClientUnits = 128;

// The length a UTF-8 lead byte announces for its sequence; 0 for a byte that leads none.
uint32_t utf8_sequence_length(unsigned char lead)
{
    if ((lead & 0xE0u) == 0xC0u) {
        return 2;
    }
    if ((lead & 0xF0u) == 0xE0u) {
        return 3;
    }
    if ((lead & 0xF8u) == 0xF0u) {
        return 4;
    }
    return 0;
}

int is_utf8_continuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// The length of value without an incomplete multi-byte sequence at its end (a lead byte
// followed by fewer continuation bytes than it announces), as a field cut at its capacity has.
uint32_t complete_utf8_length(const char* value)
{
    uint32_t length = static_cast<uint32_t>(strlen(value));
    uint32_t continuations = 0;
    while (continuations < 3 && continuations < length && is_utf8_continuation(value[length - 1 - continuations])) {
        continuations++;
    }
    if (continuations == length) {
        return length;
    }
    uint32_t lead_at = length - 1 - continuations;
    uint32_t announced = utf8_sequence_length(static_cast<unsigned char>(value[lead_at]));
    if (announced != 0 && continuations + 1 < announced) {
        return lead_at;
    }
    return length;
}

// The length of the well-formed UTF-8 character at text (2 to 4 bytes, within the available
// ones), or 0 where the bytes form none: a stray continuation byte, a lead byte that cannot
// start a character (C0, C1, F5 and above), an overlong form, a surrogate, a code point beyond
// U+10FFFF, or a character cut short.
uint32_t well_formed_sequence_length(const char* text, uint32_t available)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    unsigned char lead = bytes[0];
    uint32_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        second_low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong three-byte forms
        second_high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        second_low = lead == 0xF0 ? 0x90 : 0x80;   // no overlong four-byte forms
        second_high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (length > available || bytes[1] < second_low || bytes[1] > second_high) {
        return 0;
    }
    for (uint32_t k = 2; k < length; k++) {
        if (!is_utf8_continuation(text[k])) {
            return 0;
        }
    }
    return length;
}

// Writes value, less an incomplete UTF-8 tail, as the inside of a JSON string in valid UTF-8.
void escape_value(char* out, uint32_t capacity, const char* value)
{
    uint32_t length = complete_utf8_length(value);
    uint32_t written = 0;
    for (uint32_t at = 0; at < length; at++) {
        unsigned char high = static_cast<unsigned char>(value[at]);
        if (high >= 0x80u) {
            uint32_t sequence = well_formed_sequence_length(value + at, length - at);
            if (sequence > 0) {
                if (written + sequence > capacity - 1) {
                    break;
                }
                memcpy(out + written, value + at, sequence);
                written += sequence;
                at += sequence - 1;
            } else if (high < 0xA0u) {
                if (written + 1 > capacity - 1) {
                    break;
                }
                out[written++] = ' ';
            } else {
                if (written + 2 > capacity - 1) {
                    break;
                }
                out[written++] = static_cast<char>(0xC0u | (high >> 6));
                out[written++] = static_cast<char>(0x80u | (high & 0x3Fu));
            }
            continue;
        }
        char byte = value[at];
        char escape = 0;
        switch (byte) {
        case '"':
            escape = '"';
            break;
        case '\\':
            escape = '\\';
            break;
        case '\n':
            escape = 'n';
            break;
        case '\r':
            escape = 'r';
            break;
        case '\t':
            escape = 't';
            break;
        default:
            if (static_cast<unsigned char>(byte) < 0x20u) {
                byte = ' ';
            }
            break;
        }
        uint32_t needed = escape != 0 ? 2 : 1;
        if (written + needed > capacity - 1) {
            break;
        }
        if (escape != 0) {
            out[written++] = '\\';
            out[written++] = escape;
        } else {
            out[written++] = byte;
        }
    }
    out[written] = '\0';
}

// Cuts an escaped text to its first kMostClientUnits characters as the client counts them: a
// 4-byte UTF-8 sequence is two UTF-16 units, every other character (an escape pair, the
// six-character \u00b7, a shorter sequence, a stray byte) is one.
void cut_to_client_length(char* text)
{
    uint32_t units = 0;
    uint32_t at = 0;
    while (text[at] != '\0') {
        uint32_t bytes = 1;
        uint32_t character_units = 1;
        unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte == '\\') {
            bytes = text[at + 1] == 'u' ? 6 : 2;
            for (uint32_t k = 1; k < bytes; k++) {
                if (text[at + k] == '\0') {
                    bytes = k;
                    break;
                }
            }
        } else {
            uint32_t announced = utf8_sequence_length(byte);
            while (bytes < announced && is_utf8_continuation(text[at + bytes])) {
                bytes++;
            }
            if (announced == 4 && bytes == 4) {
                character_units = 2;
            }
        }
        if (units + character_units > kMostClientUnits) {
            text[at] = '\0';
            return;
        }
        units += character_units;
        at += bytes;
    }
}

// Appends " \u00b7 segment" to line, within the line's capacity.
void append_segment(char* line, uint32_t capacity, const char* segment)
{
    uint32_t used = static_cast<uint32_t>(strlen(line));
    format_bounded(line + used, capacity - used, " \\u00b7 %s", segment);
}

}  // namespace

void compose_activity(const StatusSnapshot* snapshot, char* out, uint32_t capacity, int64_t play_start_time)
{
    if (snapshot == nullptr || out == nullptr || capacity == 0) {
        return;
    }
    char name[kNameCapacity];
    char zone[kZoneCapacity];
    char guild[kGuildCapacity];
    char faction[kFactionCapacity];
    char class_name[kClassCapacity];
    char race[kRaceCapacity];
    escape_value(name, kNameCapacity, snapshot->name);
    escape_value(zone, kZoneCapacity, snapshot->zone);
    escape_value(guild, kGuildCapacity, snapshot->guild);
    escape_value(faction, kFactionCapacity, snapshot->faction);
    escape_value(class_name, kClassCapacity, snapshot->class_name);
    escape_value(race, kRaceCapacity, snapshot->race);

    char details[kDetailsCapacity];
    char level_line[kLevelLineCapacity];
    memset(details, 0, sizeof(details));
    memset(level_line, 0, sizeof(level_line));

    // Only the faction's first letter is raised; a byte above 127 or a non-letter stays.
    if (faction[0] >= 'a' && faction[0] <= 'z') {
        faction[0] = static_cast<char>(faction[0] - 32);
    }

    if (name[0] != '\0' && guild[0] != '\0') {
        format_bounded(details, kDetailsCapacity, "%s <%s>", name, guild);
    } else if (name[0] != '\0') {
        format_bounded(details, kDetailsCapacity, "%s", name);
    } else if (guild[0] != '\0') {
        format_bounded(details, kDetailsCapacity, "<%s>", guild);
    }

    // A level of 0 or below means the game did not give one; it is never written.
    int level = static_cast<int>(snapshot->level);
    if (level > 0 && class_name[0] != '\0') {
        format_bounded(level_line, kLevelLineCapacity, "Lvl %d %s", level, class_name);
    } else if (level > 0) {
        format_bounded(level_line, kLevelLineCapacity, "Lvl %d", level);
    } else if (class_name[0] != '\0') {
        format_bounded(level_line, kLevelLineCapacity, "%s", class_name);
    }

    // Race before faction; a segment that starts the line has no separator before it.
    const char* const segments[2] = {race, faction};
    for (const char* segment : segments) {
        if (segment[0] == '\0') {
            continue;
        }
        if (level_line[0] != '\0') {
            append_segment(level_line, kLevelLineCapacity, segment);
        } else {
            format_bounded(level_line, kLevelLineCapacity, "%s", segment);
        }
    }

    if (details[0] != '\0' && level_line[0] != '\0') {
        append_segment(details, kDetailsCapacity, level_line);
    } else if (level_line[0] != '\0') {
        copy_bounded(details, kDetailsCapacity, level_line);
    }

    cut_to_client_length(details);
    cut_to_client_length(zone);

    long long start = static_cast<long long>(play_start_time);
    if (details[0] != '\0' && zone[0] != '\0') {
        format_bounded(out, capacity, "{\"details\":\"%s\",\"state\":\"%s\",\"timestamps\":{\"start\":%lld}}", details,
                       zone, start);
    } else if (details[0] != '\0') {
        format_bounded(out, capacity, "{\"details\":\"%s\",\"timestamps\":{\"start\":%lld}}", details, start);
    } else if (zone[0] != '\0') {
        format_bounded(out, capacity, "{\"state\":\"%s\",\"timestamps\":{\"start\":%lld}}", zone, start);
    } else {
        format_bounded(out, capacity, "{\"timestamps\":{\"start\":%lld}}", start);
    }
    out[capacity - 1] = '\0';
}
