// The game watch driver: the --pid option, the name scan, and whole runs on the fake machine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "driver/driver.h"
#include "fake/fake_platform.h"
#include "unit/log_file.h"
#include "unit/pipe_calls.h"
#include "unit/case_name.h"

namespace {

using ::testing::ElementsAre;

const char kIdPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_application_id";
const char kStatusPath[] = "C:\\Games\\Kel\\Brightrelay\\discord_kel_status.json";
const char kId[] = "123456789012345";
const char kGame[] = "Kel_Nordvale.exe";
const DWORD kGamePid = 4242;

const char kDetected[] = "Kel_Nordvale.exe detected.";
const char kStopped[] = "Kel stopped; Brightrelay exiting.";
const char kNotFound[] = "No running Kel_Nordvale.exe found; Brightrelay exiting.";
const char kNotOpened[] = "Could not open the target Kel process; Brightrelay exiting.";
const char kConnected[] = "Connected to Discord IPC.";
const char kDisabled[] = "Discord Rich Presence is disabled until a valid discord_application_id is configured.";
const char kMissing[] =
    "discord_application_id is missing. Add your Discord Application ID to Brightrelay\\discord_application_id.";

// ---- parse_pid_option ------------------------------------------------------------------------

struct PidCase {
    const char* name;
    const char* command_line;
    uint32_t pid;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const PidCase& c, std::ostream* os) { *os << c.name; }

class ParsePidTest : public ::testing::TestWithParam<PidCase> {};

TEST_P(ParsePidTest, FirstOccurrenceThenStrtoul)
{
    const PidCase& c = GetParam();
    EXPECT_EQ(parse_pid_option(c.command_line), c.pid) << "command line: " << (c.command_line ? c.command_line : "(null)");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, ParsePidTest,
    ::testing::Values(PidCase{"Null", nullptr, 0},
                      PidCase{"Empty", "", 0},
                      PidCase{"NoOption", "--verbose 812", 0},
                      PidCase{"Blank", "--pid 812", 812},
                      PidCase{"Joined", "--pid812", 812},
                      PidCase{"Tab", "--pid\t812", 812},
                      PidCase{"BlanksAndTabs", "--pid \t \t812", 812},
                      PidCase{"TrailingLetters", "--pid 812abc", 812},
                      PidCase{"EqualsSign", "--pid=812", 0},
                      PidCase{"Zero", "--pid 0", 0},
                      PidCase{"NotANumber", "--pid x", 0},
                      PidCase{"AtTheEnd", "--pid", 0},
                      PidCase{"OnlyBlanksAfter", "--pid  \t", 0},
                      PidCase{"UpperCase", "--PID 812", 0},
                      PidCase{"FirstOccurrenceOnly", "--pidfile a --pid 812", 0},
                      PidCase{"SecondNumberIgnored", "--pid 12 --pid 34", 12},
                      PidCase{"InsideAWord", "x--pid 9", 9},
                      PidCase{"InsideQuotes", "\"C:\\dir --pid 5\" --other", 5},
                      PidCase{"LineBreakSkippedByStrtoul", "--pid \n 5", 5},
                      PidCase{"PlusSign", "--pid +7", 7},
                      PidCase{"MinusSign", "--pid -8", 4294967288u},
                      PidCase{"Largest", "--pid 4294967295", 4294967295u},
                      PidCase{"BeyondRange", "--pid 4294967296", 4294967295u},
                      PidCase{"FarBeyondRange", "--pid 99999999999999999999999", 4294967295u},
                      PidCase{"NegativeBeyondRange", "--pid -4294967296", 4294967295u}),
    CaseName());

// ---- find_target_process ---------------------------------------------------------------------

class FindTargetTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(FindTargetTest, NoGameMeans25SnapshotsEach200MsApart)
{
    fake::add_process(10, "explorer.exe");
    EXPECT_EQ(find_target_process(), 0u);
    std::vector<fake::Call> snapshots = fake::calls_named("CreateToolhelp32Snapshot");
    ASSERT_EQ(snapshots.size(), 25u);
    for (size_t i = 0; i < snapshots.size(); ++i) {
        EXPECT_EQ(snapshots[i].at_ms, 200u * i);
        EXPECT_EQ(snapshots[i].flags, TH32CS_SNAPPROCESS);
        EXPECT_EQ(snapshots[i].size, 0u) << "process id 0";
    }
    std::vector<fake::Call> sleeps = fake::calls_named("Sleep");
    ASSERT_EQ(sleeps.size(), 25u) << "the last attempt sleeps too";
    for (const fake::Call& sleep : sleeps) {
        EXPECT_EQ(sleep.size, 200u);
    }
    EXPECT_EQ(fake::now_ms(), 5000u);
    EXPECT_EQ(fake::count_calls("CloseHandle"), 25u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(FindTargetTest, GameStartedDuringTheScanIsFoundWithoutAFurtherSleep)
{
    fake::on_sleep([](uint64_t now) {
        if (now == 1000) {
            fake::add_process(kGamePid, kGame);
        }
    });
    EXPECT_EQ(find_target_process(), kGamePid);
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 6u);
    EXPECT_EQ(fake::count_calls("Sleep"), 5u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(FindTargetTest, FailedSnapshotsCountAsAttempts)
{
    fake::add_process(kGamePid, kGame);
    fake::fail_snapshots(3);
    EXPECT_EQ(find_target_process(), kGamePid);
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 4u);
    EXPECT_EQ(fake::count_calls("Sleep"), 3u);

    fake::clear_calls();
    fake::fail_snapshots(25);
    EXPECT_EQ(find_target_process(), 0u);
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 25u);
    EXPECT_EQ(fake::count_calls("Sleep"), 25u);
    EXPECT_EQ(fake::count_calls("CloseHandle"), 0u) << "a failed snapshot has no handle to close";
}

struct NameCase {
    const char* exe_name;
    bool matches;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const NameCase& c, std::ostream* os) { *os << c.exe_name; }

class ImageNameTest : public ::testing::TestWithParam<NameCase> {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_P(ImageNameTest, WholeNameWithoutRegardToAsciiCase)
{
    const NameCase& c = GetParam();
    fake::add_process(kGamePid, c.exe_name);
    EXPECT_EQ(find_target_process(), c.matches ? kGamePid : 0u) << c.exe_name;
}

INSTANTIATE_TEST_SUITE_P(Names, ImageNameTest,
                         ::testing::Values(NameCase{"Kel_Nordvale.exe", true},
                                           NameCase{"kel_nordvale.EXE", true},
                                           NameCase{"KEL_NORDVALE.EXE", true},
                                           NameCase{"Kel_Nordvale", false},
                                           NameCase{"Kel_Nordvale.exe.bak", false},
                                           NameCase{"xKel_Nordvale.exe", false},
                                           NameCase{"Kel_Nordvale.ex", false},
                                           NameCase{"", false}));

TEST_F(FindTargetTest, FirstMatchInSnapshotOrderWins)
{
    fake::add_process(4, "System");
    fake::add_process(900, "kel_nordvale.exe");
    fake::add_process(300, kGame);
    EXPECT_EQ(find_target_process(), 900u);
    EXPECT_EQ(fake::count_calls("Sleep"), 0u);
}

// ---- brightrelay_run -------------------------------------------------------------------------

std::string usable_status()
{
    return "{\"ok\":true,\"in_world\":true,\"ts\":1700000000,\"name\":\"Tamsin\","
           "\"zone\":\"Harbor Market\",\"level\":27}";
}

class RunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::put_file(kIdPath, kId);
        fake::add_folder("C:\\Games\\Kel\\Brightrelay");
    }

    // The game, running for this many timed-out waits.
    void start_game(int passes, DWORD pid = kGamePid, const char* exe = kGame)
    {
        fake::add_process(pid, exe);
        fake::end_process_after_waits(pid, passes);
    }
};

TEST_F(RunTest, NoGameEndsAfter25AttemptsWithTheFinalMessage)
{
    EXPECT_EQ(brightrelay_run(""), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kNotFound));
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 25u);
    EXPECT_EQ(fake::count_calls("OpenProcess"), 0u);
    EXPECT_EQ(fake::calls().back().name, "CloseHandle") << "the log line is the last thing done";
}

struct UnopenableCase {
    const char* name;
    bool process_exists;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const UnopenableCase& c, std::ostream* os) { *os << c.name; }

class RunUnopenableTest : public RunTest, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(RunUnopenableTest, PidThatCannotBeOpenedEndsTheRunWithoutAScan)
{
    if (GetParam().process_exists) {
        start_game(5);
        fake::set_process_openable(kGamePid, false);
    }
    fake::add_process(77, kGame);  // a game the scan would find
    EXPECT_EQ(brightrelay_run("--pid 4242"), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kNotOpened));
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 0u);
    std::vector<fake::Call> opens = fake::calls_named("OpenProcess");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].size, kGamePid);
    EXPECT_EQ(unit::discord_pipe_calls("CreateFileA"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Pids, RunUnopenableTest,
                         ::testing::Values(UnopenableCase{"AccessDenied", true}, UnopenableCase{"NoSuchProcess", false}),
                         CaseName());

TEST_F(RunTest, GameGoneBeforeTheFirstTestGetsNoPass)
{
    fake::pipe(0).present = true;
    start_game(0);
    EXPECT_EQ(brightrelay_run(""), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kStopped));
    EXPECT_EQ(fake::count_calls("Sleep"), 0u);
    std::vector<fake::Call> waits = fake::calls_named("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].size, 0u) << "the test before the first pass does not wait";
    EXPECT_EQ(fake::now_ms(), 0u);
    EXPECT_EQ(unit::discord_pipe_calls("CreateFileA"), 0u);
    EXPECT_TRUE(fake::pipe(0).frames.empty());
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

TEST_F(RunTest, PresenceOffWatchesTheGameWithoutTouchingDiscord)
{
    fake::remove_file(kIdPath);
    fake::pipe(0).present = true;
    start_game(3);
    EXPECT_EQ(brightrelay_run(""), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kMissing, kDisabled, kDetected, kStopped));
    EXPECT_EQ(fake::count_calls("Sleep"), 0u) << "the pause is a wait on the game";
    std::vector<fake::Call> waits = fake::calls_named("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 4u) << "the test before the first pass, then one wait after each of three";
    EXPECT_EQ(waits[0].size, 0u);
    for (size_t i = 1; i < waits.size(); ++i) {
        EXPECT_EQ(waits[i].size, 2000u);
        EXPECT_EQ(waits[i].at_ms, 2000u * (i - 1));
    }
    EXPECT_EQ(fake::now_ms(), 4000u) << "two waits timed out; the third ended with the game";
    EXPECT_EQ(unit::discord_pipe_calls("CreateFileA"), 0u);
    EXPECT_TRUE(fake::pipe(0).frames.empty());
}

TEST_F(RunTest, NormalRunConnectsPublishesClearsAndLogsInOrder)
{
    fake::put_file(kStatusPath, usable_status());
    fake::pipe(0).present = true;
    start_game(3);
    EXPECT_EQ(brightrelay_run("\"C:\\Games\\Kel\\brightrelay.exe\""), 0);

    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kConnected, kStopped));
    std::vector<fake::Call> opens = fake::calls_named("OpenProcess");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].access, SYNCHRONIZE);
    EXPECT_EQ(opens[0].size, kGamePid);

    const std::vector<fake::Frame>& frames = fake::pipe(0).frames;
    ASSERT_EQ(frames.size(), 3u) << "handshake, one publish (the text never changed), the clear";
    EXPECT_EQ(frames[0].opcode, 0u);
    EXPECT_EQ(frames[0].payload, "{\"v\":1,\"client_id\":\"123456789012345\"}");
    EXPECT_EQ(frames[1].opcode, 1u);
    EXPECT_NE(frames[1].payload.find("\"pid\":4242,"), std::string::npos) << frames[1].payload;
    EXPECT_NE(frames[1].payload.find("\"details\":\"Tamsin \\u00b7 Lvl 27\",\"state\":\"Harbor Market\","
                                     "\"timestamps\":{\"start\":1700000000}"),
              std::string::npos)
        << frames[1].payload;
    EXPECT_NE(frames[2].payload.find("\"args\":{\"pid\":4242,\"activity\":null}"), std::string::npos)
        << frames[2].payload;
    EXPECT_EQ(fake::pipe(0).connections, 1);
    EXPECT_FALSE(fake::pipe(0).connected) << "the pipe is closed at the end";
    EXPECT_EQ(fake::open_handle_count(), 0u) << "the process handle is closed too";
    EXPECT_EQ(fake::count_calls("WaitForSingleObject"), 4u);
}

// The game ends in the middle of the pause after a pass: the wait wakes then, and the clear and
// the final line follow at that moment, not at the end of the 2000 ms.
TEST_F(RunTest, GameEndingDuringThePauseIsClearedAtOnce)
{
    fake::put_file(kStatusPath, usable_status());
    fake::pipe(0).present = true;
    fake::add_process(kGamePid, kGame);
    fake::end_process_at(kGamePid, 2000 + 700);  // in the second pause
    std::vector<uint64_t> writes_at;
    fake::on_pipe_write([&writes_at](int, const std::string&) { writes_at.push_back(fake::now_ms()); });
    EXPECT_EQ(brightrelay_run(""), 0);
    fake::on_pipe_write(nullptr);

    ASSERT_EQ(fake::pipe(0).frames.size(), 3u) << "handshake, publish, clear";
    ASSERT_EQ(writes_at.size(), 3u);
    EXPECT_EQ(writes_at[2], 2700u) << "the clear goes when the game ends";
    EXPECT_EQ(fake::now_ms(), 2700u) << "nothing waits after the game's end";
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kConnected, kStopped));
    std::vector<fake::Call> waits = fake::calls_named("WaitForSingleObject");
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits[1].at_ms, 0u);
    EXPECT_EQ(waits[2].at_ms, 2000u);
}

// Nothing stands between the game's detection and the first pass: no sleep, no wait that could
// time out; and the play start time is the moment of detection, also when the game turned up
// only at a later scan attempt.
TEST_F(RunTest, FirstPassRunsAtDetectionWithTheStartTimeOfDetection)
{
    fake::pipe(0).present = true;
    fake::on_sleep([](uint64_t now) {
        if (now == 3000) {  // after 15 of the scan's 200 ms sleeps
            fake::add_process(kGamePid, kGame);
            fake::end_process_after_waits(kGamePid, 1);
        }
    });
    EXPECT_EQ(brightrelay_run(""), 0);
    fake::on_sleep(nullptr);

    std::vector<fake::Call> opens = fake::calls_named("OpenProcess");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].at_ms, 3000u);
    uint64_t first_pipe_open = 0;
    for (const fake::Call& call : fake::calls_named("CreateFileA")) {
        if (call.path.find("\\\\.\\pipe\\") == 0) {
            first_pipe_open = call.at_ms;
            break;
        }
    }
    EXPECT_EQ(first_pipe_open, 3000u) << "the first pass runs right after the detection";
    const std::vector<fake::Frame>& frames = fake::pipe(0).frames;
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_NE(frames[1].payload.find("{\"timestamps\":{\"start\":1700000003}}"), std::string::npos)
        << "the start is the time of detection, not of the program's start: " << frames[1].payload;
}

TEST_F(RunTest, PidOfAnotherImageIsWatchedAndReportedAsTheGame)
{
    start_game(1, 777, "notepad.exe");
    EXPECT_EQ(brightrelay_run("--pid 777"), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kStopped));
    EXPECT_EQ(fake::count_calls("CreateToolhelp32Snapshot"), 0u);
}

TEST_F(RunTest, FailedWaitEndsTheRunLikeTheGameEnding)
{
    start_game(5);
    fake::fail_waits(true);
    EXPECT_EQ(brightrelay_run(""), 0);
    EXPECT_THAT(unit::log_messages(), ElementsAre(kDetected, kStopped));
    EXPECT_EQ(fake::count_calls("Sleep"), 0u);
    EXPECT_EQ(fake::open_handle_count(), 0u);
}

struct SeedCase {
    const char* name;
    DWORD seed;
    const char* first_nonce;
    const char* clear_nonce;
};

// Named in failure messages (the raw bytes would include padding).
void PrintTo(const SeedCase& c, std::ostream* os) { *os << c.name; }

class RunNonceTest : public RunTest, public ::testing::WithParamInterface<SeedCase> {};

TEST_P(RunNonceTest, NonceIsSeededFromTheTickCount)
{
    const SeedCase& c = GetParam();
    fake::set_tick_count(c.seed);
    fake::pipe(0).present = true;
    start_game(2);
    EXPECT_EQ(brightrelay_run(""), 0);
    const std::vector<fake::Frame>& frames = fake::pipe(0).frames;
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_NE(frames[1].payload.find(std::string("\"nonce\":\"") + c.first_nonce + "\"}"), std::string::npos)
        << frames[1].payload;
    EXPECT_NE(frames[2].payload.find(std::string("\"nonce\":\"") + c.clear_nonce + "\"}"), std::string::npos)
        << frames[2].payload;
}

INSTANTIATE_TEST_SUITE_P(Seeds, RunNonceTest,
                         ::testing::Values(SeedCase{"Ordinary", 5000, "5001", "5002"},
                                           SeedCase{"Wraps", 4294967295u, "0", "1"}),
                         CaseName());

}  // namespace
