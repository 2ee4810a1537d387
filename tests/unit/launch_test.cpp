// Launch mode of the driver ("-- COMMAND..."): the separator, the --pid option before it, the
// command started, the game looked for while it runs, and the command's exit status at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "driver/driver.h"
#include "driver/launch.h"
#include "fake/fake_platform.h"
#include "unit/case_name.h"
#include "unit/log_file.h"
#include "unit/pipe_calls.h"

namespace {

using ::testing::ElementsAre;

const char kIdPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_application_id";
const char kId[] = "123456789012345";
const char kGame[] = "Kel_Nordvale.exe";
const DWORD kGamePid = 4242;

const char kDetected[] = "Kel_Nordvale.exe detected.";
const char kStopped[] = "Kel stopped; Brightrelay exiting.";
const char kNotFound[] = "No running Kel_Nordvale.exe found; Brightrelay exiting.";
const char kConnected[] = "Connected to Discord IPC.";

// ---- the separator and --pid -------------------------------------------------------------------

struct SeparatorCase {
    const char* name;
    const char* command_line;
    long at;  // where the separator starts; -1: none
    uint32_t pid;
};

void PrintTo(const SeparatorCase& c, std::ostream* os) { *os << c.name; }

class SeparatorTest : public ::testing::TestWithParam<SeparatorCase> {};

TEST_P(SeparatorTest, FirstDoubleDashStandingAloneAndPidOnlyBeforeIt)
{
    const SeparatorCase& c = GetParam();
    const char* separator = launch_separator(c.command_line);
    EXPECT_EQ(c.at, separator == nullptr ? -1 : separator - c.command_line) << c.command_line;
    EXPECT_EQ(c.pid, launch_pid_option(c.command_line, separator)) << c.command_line;
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, SeparatorTest,
    ::testing::Values(SeparatorCase{"Empty", "", -1, 0},
                      SeparatorCase{"PidAlone", "--pid 812", -1, 812},
                      SeparatorCase{"AtTheStart", "-- game.exe", 0, 0},
                      SeparatorCase{"Alone", "--", 0, 0},
                      SeparatorCase{"AtTheEnd", "--pid 5 --", 8, 5},
                      SeparatorCase{"AfterPid", "--pid 5 -- game.exe -x", 8, 5},
                      SeparatorCase{"AfterATab", "--pid\t5\t--\tgame.exe", 8, 5},
                      SeparatorCase{"PidAfterItIsTheCommands", "-- game.exe --pid 5", 0, 0},
                      SeparatorCase{"PidJoinedToIt", "--pid -- 5", 6, 0},
                      SeparatorCase{"FirstOfTwo", "-- launcher -- game.exe", 0, 0},
                      SeparatorCase{"PartOfAnOption", "--pid 5 --fullscreen", -1, 5},
                      SeparatorCase{"InsideAWord", "a--b x-- --y", -1, 0},
                      SeparatorCase{"ThreeDashes", "--- game.exe", -1, 0},
                      SeparatorCase{"AfterALineBreakIsNoBlank", "x\n-- y", -1, 0}),
    CaseName());

// ---- whole runs --------------------------------------------------------------------------------

class LaunchRunTest : public ::testing::Test {
protected:
    void SetUp() override { prepare(); }

    void prepare()
    {
        fake::reset();
        fake::put_file(kIdPath, kId);
        fake::add_folder("C:\\Games\\Kel\\Brightrelay");
        fake::pipe(0).present = true;
    }
};

TEST_F(LaunchRunTest, GameThatAppearsAfterAMinuteIsFoundAndTheCommandsStatusComesBack)
{
    fake::Program launcher;
    launcher.runs_ms = 200000;
    launcher.exit_code = 5;
    launcher.game_pid = kGamePid;
    launcher.game_after_ms = 61000;
    launcher.game_waits = 3;
    fake::script_program(launcher);

    EXPECT_EQ(5, brightrelay_run("--  \"C:\\Program Files\\Kel\\launcher.exe\" -w \"a b\""));

    std::vector<fake::Call> starts = fake::calls_named("CreateProcessA");
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ("\"C:\\Program Files\\Kel\\launcher.exe\" -w \"a b\"", starts[0].path);
    EXPECT_EQ(static_cast<DWORD>(TRUE), starts[0].access) << "handles inherited";
    EXPECT_EQ(0u, starts[0].flags) << "no console of its own";
    HANDLE command = starts[0].handle;

    // A scan, then a 2000 ms wait on the command, until the scan at 62 s finds the game.
    std::vector<fake::Call> snapshots = fake::calls_named("CreateToolhelp32Snapshot");
    ASSERT_EQ(32u, snapshots.size());
    EXPECT_EQ(62000u, snapshots.back().at_ms);
    size_t command_waits = 0;
    for (const fake::Call& wait : fake::calls_named("WaitForSingleObject")) {
        if (wait.handle == command) {
            ++command_waits;
            EXPECT_EQ(command_waits <= 31 ? 2000u : INFINITE, wait.size);
        }
    }
    EXPECT_EQ(32u, command_waits) << "31 between the scans, the last one at the end";
    for (const fake::Call& sleep : fake::calls_named("Sleep")) {
        EXPECT_GE(sleep.at_ms, 62000u) << "the scans do not sleep: they wait on the command";
    }

    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kConnected, kStopped));
    const std::vector<fake::Frame>& frames = fake::pipe(0).frames;
    ASSERT_EQ(3u, frames.size()) << "handshake, the activity, the clear";
    EXPECT_NE(std::string::npos, frames[2].payload.find("\"activity\":null"));
    EXPECT_EQ(200000u, fake::now_ms()) << "the end waits for the command";
    EXPECT_EQ(0u, fake::open_handle_count()) << "the command's two handles are closed too";
}

TEST_F(LaunchRunTest, CommandThatEndsWithoutTheGameEndsTheRunWithItsStatus)
{
    const DWORD exit_codes[] = {3, 0, 255, 128 + 15, 0xC0000005u};
    for (DWORD exit_code : exit_codes) {
        SCOPED_TRACE(exit_code);
        prepare();
        fake::Program launcher;
        launcher.runs_ms = 7000;
        launcher.exit_code = exit_code;
        fake::script_program(launcher);

        EXPECT_EQ(static_cast<int>(exit_code), brightrelay_run("-- launcher.exe"));
        EXPECT_THAT(unit::log_messages(), ElementsAre(kNotFound));
        // Scans at 0, 2, 4 and 6 s, and one more once the command has ended at 7 s.
        EXPECT_EQ(5u, fake::count_calls("CreateToolhelp32Snapshot"));
        EXPECT_EQ(7000u, fake::now_ms());
        EXPECT_EQ(0u, fake::count_calls("OpenProcess"));
        EXPECT_EQ(0u, unit::discord_pipe_calls("CreateFileA"));
        EXPECT_EQ(0u, fake::open_handle_count());
    }
}

TEST_F(LaunchRunTest, GameStartedJustBeforeTheCommandEndedIsStillFound)
{
    fake::Program launcher;
    launcher.runs_ms = 3000;
    launcher.exit_code = 0;
    launcher.game_pid = kGamePid;
    launcher.game_after_ms = 2500;
    launcher.game_waits = 1;
    fake::script_program(launcher);
    EXPECT_EQ(0, brightrelay_run("-- launcher.exe"));
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kConnected, kStopped));
}

TEST_F(LaunchRunTest, PidBeforeTheSeparatorIsWatchedInsteadOfAScan)
{
    fake::add_process(777, "wine64-preloader");
    fake::end_process_after_waits(777, 2);
    fake::Program launcher;
    launcher.runs_ms = 30000;
    launcher.exit_code = 9;
    fake::script_program(launcher);
    EXPECT_EQ(9, brightrelay_run("--pid 777 -- launcher.exe --pid 1"));
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kConnected, kStopped));
    EXPECT_EQ(0u, fake::count_calls("CreateToolhelp32Snapshot"));
    std::vector<fake::Call> opens = fake::calls_named("OpenProcess");
    ASSERT_EQ(1u, opens.size());
    EXPECT_EQ(777u, opens[0].size);
    EXPECT_EQ(std::vector<std::string>{"launcher.exe --pid 1"}, fake::started_command_lines());
}

struct StartFailureCase {
    const char* name;
    const char* command_line;
    DWORD error;
    const char* message;
    int status;
};

void PrintTo(const StartFailureCase& c, std::ostream* os) { *os << c.name; }

class LaunchStartFailureTest : public LaunchRunTest, public ::testing::WithParamInterface<StartFailureCase> {};

TEST_P(LaunchStartFailureTest, IsTheFinalMessageWithTheCommandAndAReason)
{
    const StartFailureCase& c = GetParam();
    fake::Program launcher;
    launcher.start_error = c.error;
    fake::script_program(launcher);
    fake::add_process(kGamePid, kGame);  // a game a scan would find

    EXPECT_EQ(c.status, brightrelay_run(c.command_line));
    EXPECT_THAT(unit::log_messages(), ElementsAre(c.message));
    EXPECT_EQ(0u, fake::count_calls("CreateToolhelp32Snapshot"));
    EXPECT_EQ(0u, fake::count_calls("OpenProcess"));
    EXPECT_EQ(0u, unit::discord_pipe_calls("CreateFileA"));
    EXPECT_EQ(0u, fake::open_handle_count());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, LaunchStartFailureTest,
    ::testing::Values(
        StartFailureCase{"FileNotFound", "-- /opt/kel/run.sh -x", ERROR_FILE_NOT_FOUND,
                         "Could not start the command /opt/kel/run.sh -x: file not found; Brightrelay exiting.", 127},
        StartFailureCase{"PathNotFound", "--pid 5 --  C:\\Nowhere\\kel.exe", ERROR_PATH_NOT_FOUND,
                         "Could not start the command C:\\Nowhere\\kel.exe: path not found; Brightrelay exiting.", 127},
        StartFailureCase{"AccessDenied", "-- ./kel", ERROR_ACCESS_DENIED,
                         "Could not start the command ./kel: access denied; Brightrelay exiting.", 126},
        StartFailureCase{"OtherError", "-- kel.txt", ERROR_BAD_EXE_FORMAT,
                         "Could not start the command kel.txt: error 193; Brightrelay exiting.", 1},
        StartFailureCase{"NothingAfterTheSeparator", "--pid 5 --", ERROR_FILE_NOT_FOUND,
                         "Could not start the command : file not found; Brightrelay exiting.", 127}),
    CaseName());

TEST_F(LaunchRunTest, FailureMessageStaysOneLineAndEndsAsAlways)
{
    fake::Program launcher;
    launcher.start_error = ERROR_FILE_NOT_FOUND;
    fake::script_program(launcher);
    std::string command = "game\r\nforged line " + std::string(3000, 'x');
    EXPECT_EQ(127, brightrelay_run(("-- " + command).c_str()));
    std::vector<std::string> messages = unit::log_messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(0u, messages[0].find("Could not start the command game  forged line xxx"));
    const std::string ending = ": file not found; Brightrelay exiting.";
    EXPECT_EQ(ending, messages[0].substr(messages[0].size() - ending.size()));
    EXPECT_EQ(command, fake::calls_named("CreateProcessA")[0].path) << "the command itself is not cut";
}

}  // namespace
