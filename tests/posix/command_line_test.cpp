// Windows command lines of the POSIX layer: argument vectors joined and split again unchanged,
// and command lines split by the Microsoft C runtime's rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/command_line.h"

namespace {

using Words = std::vector<std::string>;

Words split(const std::string& line)
{
    std::vector<char> text(line.size() + 1);
    std::vector<char*> words(line.size() / 2 + 2);
    long count = posix_split_command_line(line.c_str(), text.data(), words.data(), words.size());
    EXPECT_GE(count, 0);
    EXPECT_EQ(nullptr, words[count < 0 ? 0 : count]);
    return Words(words.begin(), words.begin() + (count < 0 ? 0 : count));
}

std::string join(const Words& arguments, size_t capacity = 32768, int* fits = nullptr)
{
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) {
        pointers.push_back(argument.c_str());
    }
    std::vector<char> buffer(capacity);
    int result = posix_join_command_line((int)pointers.size(), pointers.data(), buffer.data(), capacity);
    if (fits != nullptr) {
        *fits = result;
    }
    return buffer.data();
}

TEST(PosixCommandLine, AnyArgumentVectorSurvivesJoinAndSplit)
{
    const Words cases[] = {
        {"game", "--flag", "value"},
        {"/opt/My Games/kel", "two words", "\tleading tab", "trailing blank "},
        {"prog", "", "x", ""},
        {"prog", "say \"hi\"", "\"", "\"\"", "a\"b\"\"c"},
        {"prog", "C:\\dir\\", "a\\\\b", "\\", "\\\"", "end\\\\", "\\\\\""},
        {"prog", "dir with blank\\", "x \\\" y", "\\ \\\\ \"\\"},
        {"--", "--pid", "42", "-- ", " --"},
        {"prog", "Tamsin \xc2\xb7 Lvl 27", "line\nbreak", "%command%", "$HOME", "'single'"},
        {"\"quoted name\"", "a"},
    };
    for (const Words& arguments : cases) {
        std::string line = join(arguments);
        SCOPED_TRACE(line);
        EXPECT_EQ(arguments, split(line));
    }
}

TEST(PosixCommandLine, JoinQuotesOnlyWhatNeedsIt)
{
    struct Case {
        Words arguments;
        std::string line;
    };
    const Case cases[] = {
        {{"a", "b"}, "a b"},
        {{"a b", "c"}, "\"a b\" c"},
        {{""}, "\"\""},
        {{"a\\b\\"}, "a\\b\\"},
        {{"a b\\"}, "\"a b\\\\\""},
        {{"say \"hi\""}, "\"say \\\"hi\\\"\""},
        {{"\\\"x"}, "\"\\\\\\\"x\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.line, join(c.arguments));
    }
}

TEST(PosixCommandLine, LineTooLongKeepsTheWholeArgumentsThatFit)
{
    int fits = 1;
    EXPECT_EQ("one two", join({"one", "two", "three"}, 10, &fits));
    EXPECT_EQ(0, fits);
    EXPECT_EQ("\"a b\"", join({"a b", "c d e f"}, 10, &fits));
    EXPECT_EQ(0, fits);
    EXPECT_EQ("one two", join({"one", "two"}, 8, &fits));
    EXPECT_EQ(1, fits);
}

TEST(PosixCommandLine, SplitFollowsTheMicrosoftRules)
{
    struct Case {
        const char* line;
        Words words;
    };
    const Case cases[] = {
        {"", {}},
        {" \t ", {}},
        {"  a\tb  ", {"a", "b"}},
        {"\"a b c\" d e", {"a b c", "d", "e"}},
        {"\"ab\\\"c\" \"\\\\\" d", {"ab\"c", "\\", "d"}},
        {"a\\\\\\b d\"e f\"g h", {"a\\\\\\b", "de fg", "h"}},
        {"a\\\\\\\"b c d", {"a\\\"b", "c", "d"}},
        {"a\\\\\\\\\"b c\" d e", {"a\\\\b c", "d", "e"}},
        {"a\"b\"\" c d", {"ab\" c d"}},
        {"\"\" \"\"", {"", ""}},
        {"\"unclosed quote", {"unclosed quote"}},
        {"C:\\Games\\Kel\\Kel_Nordvale.exe -x", {"C:\\Games\\Kel\\Kel_Nordvale.exe", "-x"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(c.words, split(c.line));
    }
}

TEST(PosixCommandLine, SplitRefusesMoreWordsThanItHasRoomFor)
{
    char text[16];
    char* words[3];
    EXPECT_EQ(2, posix_split_command_line("a b", text, words, 3));
    EXPECT_EQ(-1, posix_split_command_line("a b c", text, words, 3));
}

}  // namespace
