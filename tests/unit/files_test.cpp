// Local files: the data folder paths, the log, and the application ID file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "fake/fake_platform.h"
#include "files/application_id.h"
#include "files/data_path.h"
#include "files/log.h"
#include "unit/log_file.h"
#include "unit/case_name.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kMissingMessage[] =
    "discord_application_id is missing. Add your Discord Application ID to Brightrelay\\discord_application_id.";
const char kInvalidMessage[] =
    "discord_application_id is invalid. Replace the file contents with your numeric Discord Application ID.";
const char kIdPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_application_id";

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

// ---- build_data_path -------------------------------------------------------------------------

struct DataPathCase {
    const char* name;
    const char* module_path;
    const char* folder;       // a folder to add first ("" for none)
    int result;
    const char* path;         // the output on success
    const char* data_folder;  // the folder created ("" for none)
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const DataPathCase& c, std::ostream* os) { *os << c.name; }

class DataPathTest : public ::testing::TestWithParam<DataPathCase> {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_P(DataPathTest, FolderBesideTheExecutable)
{
    const DataPathCase& c = GetParam();
    fake::set_module_path(c.module_path);
    if (c.folder[0] != '\0') {
        fake::add_folder(c.folder);
    }
    char out[260];
    memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    const std::string before = out;

    EXPECT_EQ(build_data_path(out, sizeof out, "Brightrelay.log"), c.result);
    if (c.result == 1) {
        EXPECT_STREQ(out, c.path);
    } else {
        EXPECT_EQ(std::string(out), before) << "a failure leaves the output untouched";
    }
    std::vector<fake::Call> creates = fake::calls_named("CreateDirectoryA");
    if (c.data_folder[0] != '\0') {
        ASSERT_EQ(creates.size(), 1u);
        EXPECT_EQ(creates[0].path, c.data_folder);
        EXPECT_TRUE(fake::folder_exists(c.data_folder));
    } else {
        EXPECT_TRUE(creates.empty());
    }
    EXPECT_EQ(fake::calls_named("GetModuleFileNameA").at(0).size, 260u);
}

INSTANTIATE_TEST_SUITE_P(
    ModulePaths, DataPathTest,
    ::testing::Values(
        DataPathCase{"InAFolder", "C:\\Games\\Tools\\relay.exe", "C:\\Games\\Tools", 1,
                     "C:\\Games\\Tools\\Brightrelay\\Brightrelay.log", "C:\\Games\\Tools\\Brightrelay"},
        DataPathCase{"DriveRoot", "C:\\relay.exe", "", 1, "C:\\Brightrelay\\Brightrelay.log",
                     "C:\\Brightrelay"},
        DataPathCase{"ForwardSlashesOnly", "C:/Games/relay.exe", "C:/Games", 1,
                     "C:/Games\\Brightrelay\\Brightrelay.log", "C:/Games\\Brightrelay"},
        DataPathCase{"LastBackslashWinsOverLaterSlashes", "C:\\a/b/relay.exe", "", 1,
                     "C:\\Brightrelay\\Brightrelay.log", "C:\\Brightrelay"},
        DataPathCase{"NoSeparator", "relay.exe", "", 0, "", ""},
        DataPathCase{"ModulePathFails", "", "", 0, "", ""}),
    CaseName());

// An executable folder of this many characters makes a data folder path of length + 12.
std::string folder_of_length(size_t length)
{
    return "C:\\" + std::string(length - 3, 'f');
}

TEST_F(FilesTest, DataFolderOf258CharactersIsMadeAnd259IsRefusedBeforeCreation)
{
    const std::string fits = folder_of_length(258 - 12);
    fake::add_folder(fits);
    fake::set_module_path(fits + "\\r.exe");
    char out[300];
    ASSERT_EQ(build_data_path(out, sizeof out, "x"), 1);
    EXPECT_EQ(std::string(out), fits + "\\Brightrelay\\x");
    EXPECT_TRUE(fake::folder_exists(fits + "\\Brightrelay"));

    fake::clear_calls();
    const std::string too_long = folder_of_length(259 - 12);
    fake::add_folder(too_long);
    fake::set_module_path(too_long + "\\r.exe");
    memset(out, '#', sizeof out);
    EXPECT_EQ(build_data_path(out, sizeof out, "x"), 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(fake::count_calls("CreateDirectoryA"), 0u);
    EXPECT_FALSE(fake::folder_exists(too_long + "\\Brightrelay"));
}

// "C:\Games\Kel\Brightrelay" (24) + "\" + "Brightrelay.log" (15) + terminator = 41 bytes.
TEST_F(FilesTest, OutputCapacityExactFitSucceedsOneLessFailsButTheFolderIsMade)
{
    char out[64];
    memset(out, '#', sizeof out);
    ASSERT_EQ(build_data_path(out, 41, "Brightrelay.log"), 1);
    EXPECT_STREQ(out, unit::default_log_path());

    fake::reset();
    memset(out, '#', sizeof out);
    EXPECT_EQ(build_data_path(out, 40, "Brightrelay.log"), 0);
    for (size_t i = 0; i < sizeof out; ++i) {
        ASSERT_EQ(out[i], '#') << "byte " << i << " was written";
    }
    EXPECT_TRUE(fake::folder_exists(unit::default_data_folder()));
}

// ---- log_line --------------------------------------------------------------------------------

SYSTEMTIME local_time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

TEST_F(FilesTest, LogAppendsStampedLinesInOrder)
{
    fake::put_file(unit::default_log_path(), "earlier run\r\n");
    fake::set_local_time(local_time(2024, 3, 7, 9, 5, 2));
    log_line("Connected to Discord IPC.");
    log_line("Kel stopped; Brightrelay exiting.");
    Sleep(1000);
    log_line(nullptr);
    EXPECT_EQ(fake::file_content(unit::default_log_path()),
              "earlier run\r\n"
              "2024-03-07 09:05:02 Connected to Discord IPC.\r\n"
              "2024-03-07 09:05:02 Kel stopped; Brightrelay exiting.\r\n"
              "2024-03-07 09:05:03 \r\n");
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(FilesTest, LogOpensAppendOnlySharedForReadAndWriteAndWritesOnce)
{
    log_line("hello");
    std::vector<fake::Call> opens = fake::calls_named("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, unit::default_log_path());
    EXPECT_EQ(opens[0].access, FILE_APPEND_DATA);
    EXPECT_EQ(opens[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(opens[0].disposition, OPEN_ALWAYS);
    EXPECT_EQ(opens[0].flags, FILE_ATTRIBUTE_NORMAL);
    std::vector<fake::Call> writes = fake::calls_named("WriteFile");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].size, strlen("2023-11-14 22:13:20 hello\r\n"));
    EXPECT_EQ(fake::count_calls("CloseHandle"), 1u);
}

// The stamp and its blank take 20 characters, so a message of 1178 makes a 1200-character line.
struct CutLineCase {
    const char* name;
    size_t message_length;
    const char* line_end;     // what is left of CR LF
    size_t message_kept;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const CutLineCase& c, std::ostream* os) { *os << c.name; }

class LogCutTest : public ::testing::TestWithParam<CutLineCase> {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_P(LogCutTest, LineIsCutAfter1199Characters)
{
    const CutLineCase& c = GetParam();
    std::string message;
    for (size_t i = 0; i < c.message_length; ++i) {
        message.push_back(static_cast<char>('a' + i % 26));
    }
    log_line(message.c_str());
    const std::string expected =
        "2023-11-14 22:13:20 " + message.substr(0, c.message_kept) + c.line_end;
    EXPECT_EQ(fake::file_content(unit::default_log_path()), expected);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogCutTest,
                         ::testing::Values(CutLineCase{"Line1199Whole", 1177, "\r\n", 1177},
                                           CutLineCase{"Line1200LosesLineFeed", 1178, "\r", 1178},
                                           CutLineCase{"Line1201LosesBoth", 1179, "", 1179},
                                           CutLineCase{"LongMessageLosesItsTail", 1500, "", 1179}),
                         CaseName());

TEST_F(FilesTest, LogWritesNothingWhenTheDataFolderCannotBeMade)
{
    fake::fail_create_directory(true);
    log_line("lost");
    log_line("lost too");
    EXPECT_FALSE(fake::file_exists(unit::default_log_path()));
    EXPECT_EQ(fake::count_calls("WriteFile"), 0u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(FilesTest, LogWritesNothingWithoutAnExecutablePath)
{
    fake::set_module_path("");
    log_line("lost");
    EXPECT_EQ(fake::count_calls("CreateFileA"), 0u);
}

// ---- load_application_id ---------------------------------------------------------------------

struct IdCase {
    const char* name;
    bool file_present;
    std::string content;
    int result;
    const char* id;       // out afterwards
    const char* message;  // logged ("" for none)
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class ApplicationIdTest : public ::testing::TestWithParam<IdCase> {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_P(ApplicationIdTest, JudgesTheFile)
{
    const IdCase& c = GetParam();
    if (c.file_present) {
        fake::put_file(kIdPath, c.content);
    }
    char out[64];
    memset(out, '#', sizeof out);
    EXPECT_EQ(load_application_id(out, sizeof out), c.result);
    EXPECT_STREQ(out, c.id);
    if (c.message[0] == '\0') {
        EXPECT_THAT(unit::log_messages(), IsEmpty());
    } else {
        EXPECT_THAT(unit::log_messages(), ElementsAre(c.message));
    }
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

const char k15[] = "123456789012345";
const char k24[] = "123456789012345678901234";

INSTANTIATE_TEST_SUITE_P(
    Contents, ApplicationIdTest,
    ::testing::Values(
        IdCase{"MissingFile", false, "", 0, "", kMissingMessage},
        IdCase{"EmptyFile", true, "", 0, "", kInvalidMessage},
        IdCase{"WhitespaceOnly", true, " \t\r\n \r\n", 0, "", kInvalidMessage},
        IdCase{"FourteenDigits", true, "12345678901234", 0, "", kInvalidMessage},
        IdCase{"FifteenDigits", true, k15, 1, k15, ""},
        IdCase{"TwentyFourDigits", true, k24, 1, k24, ""},
        IdCase{"TwentyFiveDigits", true, "1234567890123456789012345", 0, "", kInvalidMessage},
        IdCase{"LineEnd", true, std::string(k15) + "\r\n", 1, k15, ""},
        IdCase{"BlanksAndBlankLinesAround", true, "\r\n \t" + std::string(k15) + " \t\r\n\r\n", 1, k15, ""},
        IdCase{"LeadingZerosKept", true, "000000000000000042", 1, "000000000000000042", ""},
        IdCase{"Sign", true, "+123456789012345", 0, "", kInvalidMessage},
        IdCase{"Letter", true, "12345678901234a", 0, "", kInvalidMessage},
        IdCase{"DecimalPoint", true, "1234567890123.45", 0, "", kInvalidMessage},
        IdCase{"InnerBlank", true, "1234567 89012345", 0, "", kInvalidMessage},
        IdCase{"ByteOrderMark", true, "\xEF\xBB\xBF" + std::string(k15), 0, "", kInvalidMessage},
        IdCase{"ZeroByteEndsTheText", true, std::string(k15) + std::string(1, '\0') + "garbage", 1, k15, ""},
        IdCase{"Utf16Text", true, std::string("\xFF\xFE" "1\0" "2\0" "3\0" "4\0" "5\0" "6\0" "7\0" "8\0"
                                              "9\0" "0\0" "1\0" "2\0" "3\0" "4\0" "5\0", 32),
               0, "", kInvalidMessage},
        IdCase{"IdWithin63BytesThenAnything", true, std::string(k15) + std::string(48, ' ') + "junk", 1, k15, ""},
        IdCase{"IdEndingAtByte63", true, std::string(48, ' ') + k15, 1, k15, ""},
        IdCase{"DigitsPastByte63AreNotRead", true, std::string(50, ' ') + k15, 0, "", kInvalidMessage}),
    CaseName());

TEST_F(FilesTest, ApplicationIdReadsOnceWithTheSmallFileFlags)
{
    fake::put_file(kIdPath, k15);
    char out[64];
    ASSERT_EQ(load_application_id(out, sizeof out), 1);
    std::vector<fake::Call> opens = fake::calls_named("CreateFileA");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, kIdPath);
    EXPECT_EQ(opens[0].access, GENERIC_READ);
    EXPECT_EQ(opens[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    EXPECT_EQ(opens[0].disposition, OPEN_EXISTING);
    std::vector<fake::Call> reads = fake::calls_named("ReadFile");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].size, 63u);
}

TEST_F(FilesTest, ApplicationIdFirstStartMakesTheFolderAndReportsTheFileMissing)
{
    ASSERT_FALSE(fake::folder_exists(unit::default_data_folder()));
    char out[64];
    EXPECT_EQ(load_application_id(out, sizeof out), 0);
    EXPECT_TRUE(fake::folder_exists(unit::default_data_folder()));
    EXPECT_THAT(unit::log_messages(), ElementsAre(kMissingMessage));
}

TEST_F(FilesTest, ApplicationIdReadFailureIsReportedAsMissingAndClosesTheFile)
{
    fake::put_file(kIdPath, k15);
    fake::FileFaults faults;
    faults.fail_read = true;
    fake::set_file_faults(kIdPath, faults);
    char out[64];
    memset(out, '#', sizeof out);
    EXPECT_EQ(load_application_id(out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_THAT(unit::log_messages(), ElementsAre(kMissingMessage));
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(FilesTest, ApplicationIdWithoutAPathIsReportedAsMissing)
{
    // No executable path: neither the ID file nor the log can be reached, so nothing is written.
    fake::set_module_path("");
    char out[64];
    memset(out, '#', sizeof out);
    EXPECT_EQ(load_application_id(out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(fake::count_calls("CreateFileA"), 0u);
}

TEST_F(FilesTest, ApplicationIdGuardsLeaveOutUntouchedAndLogNothing)
{
    fake::put_file(kIdPath, k15);
    char out[64];
    memset(out, '#', sizeof out);
    EXPECT_EQ(load_application_id(out, 24), 0);
    for (size_t i = 0; i < sizeof out; ++i) {
        ASSERT_EQ(out[i], '#') << "byte " << i << " was written";
    }
    EXPECT_EQ(load_application_id(nullptr, 64), 0);
    EXPECT_EQ(fake::count_calls("CreateFileA"), 0u);
    EXPECT_FALSE(fake::file_exists(unit::default_log_path()));

    EXPECT_EQ(load_application_id(out, 25), 1) << "25 is the smallest capacity taken";
    EXPECT_STREQ(out, k15);
}

}  // namespace
