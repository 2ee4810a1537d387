// Programs started by the POSIX layer's CreateProcessA: arguments, environment, exit codes,
// waits, failures to start, and SIGINT and SIGTERM passed on to the started program.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/platform.h"
#include "posix_test_support.h"

namespace {

using posix_test::ScopedEnv;
using posix_test::TempDir;

// A safety limit for waits on a program that has been told to end, not a measured time.
const DWORD kSafetyWaitMs = 30000;

struct Started {
    BOOL ok = FALSE;
    DWORD error = 0;
    PROCESS_INFORMATION info = {};
};

Started start(const std::string& command_line)
{
    std::string writable = command_line;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    Started started;
    started.ok = CreateProcessA(nullptr, &writable[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                &startup, &started.info);
    started.error = started.ok ? 0 : GetLastError();
    return started;
}

// Waits for the program's end and returns its exit code; closes both handles.
DWORD finish(const Started& started)
{
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.info.hProcess, kSafetyWaitMs));
    DWORD code = 0xDEADu;
    EXPECT_TRUE(GetExitCodeProcess(started.info.hProcess, &code));
    EXPECT_TRUE(CloseHandle(started.info.hThread));
    EXPECT_TRUE(CloseHandle(started.info.hProcess));
    return code;
}

TEST(PosixProcessStart, ArgumentsEnvironmentAndExitCodeGoThrough)
{
    TempDir dir;
    ScopedEnv variable("BRIGHTRELAY_START_TEST", "from the parent");
    // sh from PATH, its script and arguments split from the command line by the Windows rules.
    std::string out = dir.file("out");
    Started started = start("sh -c \"printf '%s|' \\\"$@\\\" \\\"$BRIGHTRELAY_START_TEST\\\" > '" + out +
                            "'; exit 7\" sh \"two words\" \"\" back\\\\slash \"say \\\"hi\\\"\"");
    ASSERT_TRUE(started.ok) << started.error;
    EXPECT_NE(nullptr, started.info.hProcess);
    EXPECT_NE(INVALID_HANDLE_VALUE, started.info.hProcess);
    EXPECT_GT(started.info.dwProcessId, 0u);
    EXPECT_EQ(7u, finish(started));
    EXPECT_EQ("two words||back\\\\slash|say \"hi\"|from the parent|", posix_test::read_text(out));
}

TEST(PosixProcessStart, RunningProgramIsStillActiveUntilItEndsAndIsReapedOnClose)
{
    TempDir dir;
    std::string stop = dir.file("stop");
    Started started = start("sh -c \"while [ ! -e '" + stop + "' ]; do sleep 0.01; done; exit 3\"");
    ASSERT_TRUE(started.ok) << started.error;
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(started.info.hProcess, &code));
    EXPECT_EQ(STILL_ACTIVE, code);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(started.info.hProcess, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(started.info.hProcess, 30));

    posix_test::write_text(stop, "");
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.info.hProcess, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.info.hProcess, 0)) << "ended stays ended";
    pid_t pid = (pid_t)started.info.dwProcessId;
    EXPECT_EQ(3u, finish(started));
    EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG)) << "reaped by the close";
    EXPECT_EQ(ECHILD, errno);
}

TEST(PosixProcessStart, ProgramEndedByASignalHas128AndItsNumber)
{
    Started started = start("sh -c \"kill -KILL $$\"");
    ASSERT_TRUE(started.ok) << started.error;
    EXPECT_EQ(128u + SIGKILL, finish(started));
}

TEST(PosixProcessStart, FailuresToStartHaveTheirWin32Error)
{
    TempDir dir;
    posix_test::write_text(dir.file("script"), "echo no interpreter line\n");
    chmod(dir.file("script").c_str(), 0755);
    posix_test::write_text(dir.file("not-executable"), "#!/bin/sh\n");
    chmod(dir.file("not-executable").c_str(), 0644);
    struct Case {
        std::string command_line;
        DWORD error;
    };
    const Case cases[] = {
        {dir.file("missing") + " x", ERROR_FILE_NOT_FOUND},
        {"brightrelay-no-such-program-in-path", ERROR_FILE_NOT_FOUND},
        {"", ERROR_FILE_NOT_FOUND},
        {"  \t ", ERROR_FILE_NOT_FOUND},
        {dir.file("script"), ERROR_BAD_EXE_FORMAT},
        {dir.file("not-executable"), ERROR_ACCESS_DENIED},
        {dir.file("script") + "/below-a-file", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command_line);
        Started started = start(c.command_line);
        EXPECT_FALSE(started.ok);
        EXPECT_EQ(c.error, started.error);
    }
    // What the layer does not do is refused, not half done.
    std::string line = "true";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    EXPECT_FALSE(CreateProcessA("/bin/true", &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0x10 /* new console */, nullptr,
                                nullptr, &startup, &info));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, "/", &startup, &info));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(PosixProcessStart, ExitCodeOfAProcessOpenedForWaitingIsRefused)
{
    HANDLE self = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)getpid());
    ASSERT_NE(nullptr, self);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeProcess(self, &code));
    EXPECT_EQ(ERROR_ACCESS_DENIED, GetLastError());
    CloseHandle(self);
    EXPECT_FALSE(GetExitCodeProcess(INVALID_HANDLE_VALUE, &code));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// Sets a signal's action until the end of its scope.
class ScopedAction {
public:
    ScopedAction(int signal_number, void (*handler)(int)) : signal_number_(signal_number)
    {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        sigaction(signal_number_, &action, &old_);
    }
    ~ScopedAction() { sigaction(signal_number_, &old_, nullptr); }
    ScopedAction(const ScopedAction&) = delete;
    ScopedAction& operator=(const ScopedAction&) = delete;

private:
    int signal_number_;
    struct sigaction old_;
};

volatile sig_atomic_t g_own_handler_calls = 0;
void own_handler(int) { g_own_handler_calls = g_own_handler_calls + 1; }

void (*current_handler(int signal_number))(int)
{
    struct sigaction action;
    sigaction(signal_number, nullptr, &action);
    return action.sa_handler;
}

TEST(PosixProcessStart, SigintAndSigtermGoToTheStartedProgramWhileItRuns)
{
    const int signals[] = {SIGTERM, SIGINT};
    for (int signal_number : signals) {
        SCOPED_TRACE(strsignal(signal_number));
        // This process's own handler, which must not see the signal while it is passed on.
        ScopedAction own(signal_number, own_handler);
        g_own_handler_calls = 0;
        Started started = start("sleep 30");
        ASSERT_TRUE(started.ok) << started.error;
        raise(signal_number);
        EXPECT_EQ(128u + (DWORD)signal_number, finish(started));
        EXPECT_EQ(0, g_own_handler_calls);
        EXPECT_EQ(own_handler, current_handler(signal_number)) << "the action from before is back";
        raise(signal_number);
        EXPECT_EQ(1, g_own_handler_calls);
    }
}

TEST(PosixProcessStart, OnceTheStartedProgramHasEndedSignalsHaveTheirOwnActionAgain)
{
    // Also before its handle is closed: a launcher that ended early must not leave this
    // program deaf to SIGTERM while it still watches a game.
    const char* command_lines[] = {"true", "sh -c \"sleep 0.2\""};
    for (const char* command_line : command_lines) {
        SCOPED_TRACE(command_line);
        ScopedAction own(SIGTERM, own_handler);
        g_own_handler_calls = 0;
        Started started = start(command_line);
        ASSERT_TRUE(started.ok) << started.error;
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.info.hProcess, kSafetyWaitMs));
        raise(SIGTERM);
        EXPECT_EQ(1, g_own_handler_calls);
        EXPECT_EQ(0u, finish(started));
    }
}

TEST(PosixProcessStart, SignalIgnoredAtStartStaysIgnoredForTheStartedProgram)
{
    ScopedAction ignored(SIGINT, SIG_IGN);
    Started started = start("sh -c \"kill -INT $$; exit 4\"");
    ASSERT_TRUE(started.ok) << started.error;
    EXPECT_EQ(4u, finish(started));
    EXPECT_EQ(SIG_IGN, current_handler(SIGINT));
}

TEST(PosixProcessStart, ExitCodeIsKeptWhenSigchldWasIgnored)
{
    ScopedAction ignored(SIGCHLD, SIG_IGN);
    Started started = start("sh -c \"exit 6\"");
    ASSERT_TRUE(started.ok) << started.error;
    EXPECT_EQ(6u, finish(started));
}

}  // namespace
