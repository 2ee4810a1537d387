// format_bounded against the C library's snprintf: the same text for every conversion the
// program's formatter supports, cut and terminated alike at every capacity.
#include "common/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

// Formats with both and checks that they agree, at the full capacity and at every smaller one.
template <typename... Arguments>
void expect_like_snprintf(const char* format, Arguments... arguments)
{
    char expected[256];
    std::snprintf(expected, sizeof expected, format, arguments...);
    for (uint32_t capacity = 1; capacity <= std::strlen(expected) + 2; ++capacity) {
        char actual[258];
        std::memset(actual, 'X', sizeof actual);
        format_bounded(actual, capacity, format, arguments...);
        std::string want = std::string(expected).substr(0, capacity - 1);
        ASSERT_EQ(want, std::string(actual)) << "format \"" << format << "\", capacity " << capacity;
        ASSERT_EQ('X', actual[capacity]) << "wrote past the capacity, format \"" << format << "\"";
    }
}

TEST(FormatBounded, IntegersAgreeWithTheCLibrary)
{
    const int ints[] = {0, 1, -1, 7, -7, 42, 99999, INT_MAX, INT_MIN};
    const char* int_formats[] = {"%d", "%i", "%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%8.3d", "%-+6d|",
                                 "%.0d", "%02d", "%hd", "%hhd"};
    for (const char* format : int_formats) {
        for (int value : ints) {
            expect_like_snprintf(format, value);
        }
    }
    const unsigned uints[] = {0u, 1u, 9u, 10u, 12345u, UINT_MAX};
    const char* uint_formats[] = {"%u", "%02u", "%04u", "%4u", "%-4u|", "%x", "%X", "%08x", "%.0u", "%hu"};
    for (const char* format : uint_formats) {
        for (unsigned value : uints) {
            expect_like_snprintf(format, value);
        }
    }
    const unsigned long longs[] = {0ul, 4294967295ul, ULONG_MAX};
    for (unsigned long value : longs) {
        expect_like_snprintf("%lu", value);
        expect_like_snprintf("\"%lu\"", value);
        expect_like_snprintf("%ld", static_cast<long>(value));
    }
    const long long wides[] = {0ll, -1ll, 1700000000ll, LLONG_MAX, LLONG_MIN};
    for (long long value : wides) {
        expect_like_snprintf("{\"start\":%lld}", value);
        expect_like_snprintf("%20lld|%-21lld|%llu", value, value, static_cast<unsigned long long>(value));
    }
    expect_like_snprintf("%zu %zd", sizeof(int), static_cast<ptrdiff_t>(-3));
}

TEST(FormatBounded, TextsAndCharactersAgreeWithTheCLibrary)
{
    const char* texts[] = {"", "a", "Harbor Market", "\\u00b7 \"quoted\" \xC3\xA9"};
    const char* formats[] = {"%s", "[%8s]", "[%-8s]", "[%.3s]", "[%6.2s]", "%s\\%s", " \\u00b7 %s", "%%%s%%"};
    for (const char* format : formats) {
        for (const char* text : texts) {
            if (std::strstr(format, "%s\\%s") != nullptr) {
                expect_like_snprintf(format, text, text);
            } else {
                expect_like_snprintf(format, text);
            }
        }
    }
    expect_like_snprintf("%c|%3c|%-3c|", 'k', 'e', 'l');
    expect_like_snprintf("%04u-%02u-%02u %02u:%02u:%02u %s\r\n", 2026u, 3u, 7u, 9u, 5u, 2u,
                         "Connected to Discord IPC.");
}

TEST(FormatBounded, UnknownConversionsAreCopiedAsTheyStand)
{
    char text[32];
    format_bounded(text, sizeof text, "a%qb");
    EXPECT_STREQ("a%qb", text);
    format_bounded(text, sizeof text, "tail %");
    EXPECT_STREQ("tail %", text);
    format_bounded(text, sizeof text, "%s", static_cast<const char*>(nullptr));
    EXPECT_STREQ("(null)", text);
}

}  // namespace
