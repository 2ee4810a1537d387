// Counting and cutting well-formed UTF-8 texts the way the Discord client measures details and
// state: in UTF-16 code units (two for a character beyond U+FFFF, one for any other), and the
// padding of a one-character text. Shared by the composer's property test and its fuzz target.
#pragma once

#include <cstddef>
#include <string>

namespace utf16 {

// The length of the character that lead begins, in a well-formed UTF-8 text.
inline size_t utf8_character_length(unsigned char lead)
{
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xF0) {
        return 4;
    }
    return lead >= 0xE0 ? 3 : 2;
}

inline size_t utf16_units(const std::string& text)
{
    size_t units = 0;
    for (size_t at = 0; at < text.size();) {
        size_t length = utf8_character_length(static_cast<unsigned char>(text[at]));
        units += length == 4 ? 2 : 1;
        at += length;
    }
    return units;
}

// The longest prefix of text, in whole characters, of at most most UTF-16 units.
inline std::string cut_to_units(const std::string& text, size_t most)
{
    size_t units = 0;
    size_t at = 0;
    while (at < text.size()) {
        size_t length = utf8_character_length(static_cast<unsigned char>(text[at]));
        size_t character_units = length == 4 ? 2 : 1;
        if (units + character_units > most) {
            break;
        }
        units += character_units;
        at += length;
    }
    return text.substr(0, at);
}

// What a details or state text becomes on its way to the client, decoded: cut to 128 units,
// and, when one character is left, followed by U+200B ZERO WIDTH SPACE (the padding that lets the
// client count two units while the player sees the one character).
inline std::string as_sent(const std::string& text)
{
    std::string cut = cut_to_units(text, 128);
    if (!cut.empty() && utf8_character_length(static_cast<unsigned char>(cut[0])) == cut.size()) {
        cut += "\xE2\x80\x8B";
    }
    return cut;
}

}  // namespace utf16
