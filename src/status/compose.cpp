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
// - Whole UTF-8 characters. A value that fills its field was cut there by the scanner and can
//   end inside a multi-byte character; that incomplete tail is dropped (before the tests for
//   empty values). A shorter value was not cut, so bytes at its end are taken as they stand.
// - Valid UTF-8 throughout. A byte that does not belong to a well-formed UTF-8 character would
//   make the client refuse the whole activity on every pass. Such bytes come from game sides
//   that write the Windows code page of Western Europe, Windows-1252, so each is taken as its
//   Windows-1252 character and written in UTF-8: 0x80 to 0x9F by that code page's table (the
//   curly quotes, dashes, the euro sign...; its five unassigned bytes become blanks), 0xA0 to
//   0xFF as the Latin-1 characters they are there too. Well-formed UTF-8 stands as it is.
// - Within the client's limits. The client refuses an empty details or state, one of a single
//   character, and one longer than 128 characters as it counts them (UTF-16 units). An empty one
//   is left out together with its key; a longer one is cut to 128 at a character boundary, never
//   inside an escape or inside a UTF-8 sequence; one of a single character is padded (below).
// The working texts are sized for the escaped worst case, so no step of the joining cuts a text.
#include "status/compose.h"

#include <string.h>

#include "common/format.h"
#include "common/limits.h"
#include "common/text.h"
#include "status/snapshot.h"

namespace {

// The most bytes one byte of a field becomes: an escape pair is two, a Windows-1252 character
// written in UTF-8 up to three (the euro sign is U+20AC, E2 82 AC).
const uint32_t kMostBytesPerByte = 3;

// A field of capacity N holds at most N - 1 bytes, which become at most 3 * (N - 1) bytes, plus
// the terminator.
constexpr uint32_t escaped_capacity(uint32_t field_capacity)
{
    return kMostBytesPerByte * (field_capacity - 1) + 1;
}

const uint32_t kNameCapacity = escaped_capacity(sizeof(StatusSnapshot::name));              // 94
const uint32_t kZoneCapacity = escaped_capacity(sizeof(StatusSnapshot::zone));              // 238
const uint32_t kGuildCapacity = escaped_capacity(sizeof(StatusSnapshot::guild));            // 190
const uint32_t kFactionCapacity = escaped_capacity(sizeof(StatusSnapshot::faction));        // 70
const uint32_t kClassCapacity = escaped_capacity(sizeof(StatusSnapshot::class_name));       // 94
const uint32_t kRaceCapacity = escaped_capacity(sizeof(StatusSnapshot::race));              // 94

// " \u00b7 ": a blank, the six characters of the escape, a blank.
const uint32_t kSeparatorLength = 8;
// "Lvl " and a positive signed 32-bit level (at most 10 digits) and a blank.
const uint32_t kLevelPrefixLength = 4 + 10 + 1;
// Level line: 15 + class 93 + 8 + race 93 + 8 + faction 69 = 286 characters.
const uint32_t kLevelLineCapacity = kLevelPrefixLength + (kClassCapacity - 1) + kSeparatorLength +
                                    (kRaceCapacity - 1) + kSeparatorLength + (kFactionCapacity - 1) + 1;
// Details line: name 93 + " <" 2 + guild 189 + ">" 1 + 8 + level line 286 = 579 characters.
const uint32_t kDetailsCapacity = (kNameCapacity - 1) + 2 + (kGuildCapacity - 1) + 1 + kSeparatorLength +
                                  (kLevelLineCapacity - 1) + 1;
static_assert(kLevelLineCapacity == 287 && kDetailsCapacity == 580, "working texts as reckoned above");

// The client's limit for details and state, in UTF-16 code units.
const uint32_t kMostClientUnits = 128;

// What stands after a value of one character so that the client counts two units while the
// player still sees the one character: U+200B ZERO WIDTH SPACE, written as its JSON escape like
// the middle dot, so the activity stays ASCII-safe. It is invisible, one UTF-16 unit, and not
// white space to a JavaScript trim(), which the client may apply before it counts (U+FEFF and
// U+00A0 would be trimmed away, and the value refused after all).
const char kPadding[] = "\\u200b";
const uint32_t kPaddingLength = sizeof kPadding - 1;

// The longest texts that go into the activity. After the cut a value holds at most 128 units;
// a unit takes at most three bytes (a four-byte character is two units, an escape pair one)
// except the six-byte \u00b7 of a separator, of which the details have at most three. A padded
// value is one character of at most four bytes and the padding. The zone never reaches 128
// units of three bytes: its escaped worst case is shorter.
const uint32_t kMostSeparators = 3;
const uint32_t kMiddleDotEscapeLength = 6;  // \u00b7
const uint32_t kLongestCutDetails = kMostClientUnits * 3 + kMostSeparators * (kMiddleDotEscapeLength - 3);  // 393
const uint32_t kLongestPadded = 4 + kPaddingLength;                                                      // 10
static_assert(kLongestPadded < kLongestCutDetails && kLongestPadded < kZoneCapacity - 1,
              "a padded value is shorter than the longest value");
static_assert(kZoneCapacity - 1 < kMostClientUnits * 3, "the zone's worst case is under the cut's");
static_assert(kLongestPadded + 1 <= kZoneCapacity, "a padded zone fits its working text");

// The activity text around its values, and the longest start time ("-9223372036854775808").
const uint32_t kTemplateLength = sizeof("{\"details\":\"\",\"state\":\"\",\"timestamps\":{\"start\":}}") - 1;
const uint32_t kStartTimeLength = 20;
// 49 + details 393 + state 237 + 20 = 699 characters.
const uint32_t kLongestActivity = kTemplateLength + kLongestCutDetails + (kZoneCapacity - 1) + kStartTimeLength;
static_assert(kLongestActivity == 699, "the longest activity as reckoned above");
static_assert(kLongestActivity <= kActivityCapacity - 1, "the longest activity text fits its buffer");

// The Unicode characters of the Windows-1252 bytes 0x80 to 0x9F; 0 for its five unassigned
// bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D).
const uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

int is_utf8_continuation(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

// The well-formed UTF-8 character at text, with available bytes to look at: its length (2 to
// 4), or 0 where the bytes start none (a stray continuation byte, a lead byte that cannot start
// a character (C0, C1, F5 and above), an overlong form, a surrogate, a code point beyond
// U+10FFFF). When the bytes there are a correct beginning of a character that the end of the
// text cuts short, *cut_short is set and the length it would have is returned.
uint32_t utf8_character_at(const char* text, uint32_t available, int* cut_short)
{
    *cut_short = 0;
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
    for (uint32_t k = 1; k < length; k++) {
        if (k >= available) {
            *cut_short = 1;
            return length;
        }
        if (k == 1 ? (bytes[1] < second_low || bytes[1] > second_high) : !is_utf8_continuation(text[k])) {
            return 0;
        }
    }
    return length;
}

// The Unicode character a byte stands for where it is not part of UTF-8: its Windows-1252
// character; 0 for the bytes that code page leaves unassigned.
uint32_t windows_1252_character(unsigned char byte)
{
    return byte < 0xA0u ? kWindows1252High[byte - 0x80u] : byte;
}

// Appends code_point (U+0080 to U+FFFF) in UTF-8; 0 when it does not fit before the terminator.
int put_utf8(char* out, uint32_t capacity, uint32_t* written, uint32_t code_point)
{
    uint32_t needed = code_point < 0x800u ? 2 : 3;
    if (*written + needed > capacity - 1) {
        return 0;
    }
    if (needed == 2) {
        out[(*written)++] = static_cast<char>(0xC0u | (code_point >> 6));
    } else {
        out[(*written)++] = static_cast<char>(0xE0u | (code_point >> 12));
        out[(*written)++] = static_cast<char>(0x80u | ((code_point >> 6) & 0x3Fu));
    }
    out[(*written)++] = static_cast<char>(0x80u | (code_point & 0x3Fu));
    return 1;
}

// Writes value as the inside of a JSON string in valid UTF-8. field_capacity is the capacity of
// the snapshot field the value comes from: only a value that fills it can have been cut inside
// a character, and only then is an incomplete character at its end dropped.
void escape_value(char* out, uint32_t capacity, const char* value, uint32_t field_capacity)
{
    uint32_t length = static_cast<uint32_t>(strlen(value));
    int filled = length == field_capacity - 1;
    uint32_t written = 0;
    for (uint32_t at = 0; at < length; at++) {
        unsigned char high = static_cast<unsigned char>(value[at]);
        if (high >= 0x80u) {
            int cut_short = 0;
            uint32_t sequence = utf8_character_at(value + at, length - at, &cut_short);
            if (cut_short && filled) {
                break;  // the scanner's cut: the rest is the start of a character it did not keep
            }
            if (sequence > 0 && !cut_short) {
                if (written + sequence > capacity - 1) {
                    break;
                }
                memcpy(out + written, value + at, sequence);
                written += sequence;
                at += sequence - 1;
                continue;
            }
            uint32_t character = windows_1252_character(high);
            if (character == 0) {
                if (written + 1 > capacity - 1) {
                    break;
                }
                out[written++] = ' ';
            } else if (!put_utf8(out, capacity, &written, character)) {
                break;
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

// The character at text of an escaped value, as the client counts it: its length in bytes, and
// in *units its UTF-16 units. An escape pair, the six-character \u00b7 and every UTF-8 character
// of up to three bytes are one unit; a four-byte character is two.
uint32_t escaped_character(const char* text, uint32_t* units)
{
    *units = 1;
    if (text[0] == '\\') {
        uint32_t bytes = text[1] == 'u' ? 6 : 2;
        for (uint32_t k = 1; k < bytes; k++) {
            if (text[k] == '\0') {
                return k;
            }
        }
        return bytes;
    }
    unsigned char lead = static_cast<unsigned char>(text[0]);
    uint32_t announced = lead >= 0xF0u ? 4 : lead >= 0xE0u ? 3 : lead >= 0xC0u ? 2 : 1;
    uint32_t bytes = 1;
    while (bytes < announced && is_utf8_continuation(text[bytes])) {
        bytes++;
    }
    if (announced == 4 && bytes == 4) {
        *units = 2;
    }
    return bytes;
}

// Cuts an escaped text to its first kMostClientUnits units as the client counts them.
void cut_to_client_length(char* text)
{
    uint32_t units = 0;
    uint32_t at = 0;
    while (text[at] != '\0') {
        uint32_t character_units = 0;
        uint32_t bytes = escaped_character(text + at, &character_units);
        if (units + character_units > kMostClientUnits) {
            text[at] = '\0';
            return;
        }
        units += character_units;
        at += bytes;
    }
}

// Pads an escaped text of exactly one character, so that the client, which refuses a value
// shorter than two units, still shows it. A character of two units (beyond the BMP) is padded
// too: the character alone is what the player should see, whichever way it is counted.
void pad_single_character(char* text, uint32_t capacity)
{
    if (text[0] == '\0') {
        return;
    }
    uint32_t units = 0;
    uint32_t bytes = escaped_character(text, &units);
    if (text[bytes] == '\0' && bytes + kPaddingLength + 1 <= capacity) {
        memcpy(text + bytes, kPadding, kPaddingLength + 1);
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
    escape_value(name, kNameCapacity, snapshot->name, sizeof snapshot->name);
    escape_value(zone, kZoneCapacity, snapshot->zone, sizeof snapshot->zone);
    escape_value(guild, kGuildCapacity, snapshot->guild, sizeof snapshot->guild);
    escape_value(faction, kFactionCapacity, snapshot->faction, sizeof snapshot->faction);
    escape_value(class_name, kClassCapacity, snapshot->class_name, sizeof snapshot->class_name);
    escape_value(race, kRaceCapacity, snapshot->race, sizeof snapshot->race);

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
    pad_single_character(details, kDetailsCapacity);
    pad_single_character(zone, kZoneCapacity);

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
