// The process list and process waits of the POSIX layer, with real child processes.
#include <gtest/gtest.h>

#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>

#include "platform/platform.h"
#include "posix_test_support.h"

namespace {

using posix_test::Child;

// A safety limit for waits on a child that has been told to end, not a measured time.
const DWORD kSafetyWaitMs = 30000;

struct Walk {
    bool found = false;
    std::string name;        // the entry's szExeFile for the pid looked for
    std::set<DWORD> pids;    // every pid listed
    bool duplicate = false;
    DWORD end_error = 0;     // GetLastError after the walk's last call
};

Walk walk_for(DWORD pid)
{
    Walk walk;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(INVALID_HANDLE_VALUE, snapshot);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return walk;
    }
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        EXPECT_EQ(sizeof entry, entry.dwSize);
        walk.duplicate |= !walk.pids.insert(entry.th32ProcessID).second;
        if (entry.th32ProcessID == pid) {
            walk.found = true;
            walk.name = entry.szExeFile;
        }
    }
    walk.end_error = GetLastError();
    CloseHandle(snapshot);
    return walk;
}

std::string own_command_name()
{
    std::string comm = posix_test::read_text("/proc/self/comm");
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    return comm;
}

TEST(PosixProcessList, GameIsFoundByTheFileNameOfItsFirstArgument)
{
    const char* first_arguments[] = {
        "Kel_Nordvale.exe",
        "C:\\Games\\Kel\\Kel_Nordvale.exe",
        "/opt/games/kel/Kel_Nordvale.exe",
    };
    for (const char* first_argument : first_arguments) {
        SCOPED_TRACE(first_argument);
        Child game(first_argument);
        ASSERT_GT(game.pid(), 0);
        // The child may still be between fork and exec for a moment: look until it shows its
        // new first argument (bounded, as a safety limit).
        Walk walk;
        for (int attempt = 0; attempt < 500; ++attempt) {
            walk = walk_for((DWORD)game.pid());
            if (walk.found && walk.name == "Kel_Nordvale.exe") {
                break;
            }
            Sleep(10);
        }
        EXPECT_TRUE(walk.found);
        EXPECT_EQ(0, strcasecmp("Kel_Nordvale.exe", walk.name.c_str())) << walk.name;
    }
}

TEST(PosixProcessList, WalkListsEveryProcessOnceAndEndsWithNoMoreFiles)
{
    Walk walk = walk_for((DWORD)getpid());
    EXPECT_TRUE(walk.found);
    EXPECT_EQ("brightrelay_posix_tests", walk.name);
    EXPECT_FALSE(walk.duplicate);
    EXPECT_EQ(ERROR_NO_MORE_FILES, walk.end_error);
}

TEST(PosixProcessList, FirstStartsTheWalkOverAgain)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32First(snapshot, &entry));
    DWORD first = entry.th32ProcessID;
    while (Process32Next(snapshot, &entry)) {
    }
    EXPECT_FALSE(Process32Next(snapshot, &entry)) << "the end stays the end";
    ASSERT_TRUE(Process32First(snapshot, &entry));
    EXPECT_EQ(first, entry.th32ProcessID);
    ASSERT_TRUE(Process32Next(snapshot, &entry));
    EXPECT_NE(first, entry.th32ProcessID);
    CloseHandle(snapshot);
}

TEST(PosixProcessList, ZombieWithoutArgumentsIsListedByItsCommandName)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        _exit(0);
    }
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)pid);
    ASSERT_NE(nullptr, process);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, kSafetyWaitMs));
    CloseHandle(process);

    Walk walk = walk_for((DWORD)pid);
    EXPECT_TRUE(walk.found);
    EXPECT_EQ(own_command_name(), walk.name);
    int status = 0;
    waitpid(pid, &status, 0);
}

TEST(PosixProcessList, BadSnapshotCallsFail)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateToolhelp32Snapshot(0x8u /* modules */, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry - 1;
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    CloseHandle(snapshot);

    entry.dwSize = sizeof entry;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)getpid());
    ASSERT_NE(nullptr, process);
    EXPECT_FALSE(Process32First(process, &entry)) << "a process is not a snapshot";
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(process);
}

TEST(PosixProcessWait, ExitIsSeenAlsoWhileAZombieAndAfterReaping)
{
    Child game("Kel_Nordvale.exe");
    ASSERT_GT(game.pid(), 0);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)game.pid());
    ASSERT_NE(nullptr, process);
    ASSERT_NE(INVALID_HANDLE_VALUE, process);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(process, 30));

    game.end_input();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, kSafetyWaitMs));
    ASSERT_TRUE(game.has_exited_unreaped());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 0)) << "a zombie has ended";
    game.reap();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, 0));
    EXPECT_TRUE(CloseHandle(process));
}

TEST(PosixProcessWait, InfiniteWaitReturnsWhenTheProcessEnds)
{
    Child game("Kel_Nordvale.exe");
    ASSERT_GT(game.pid(), 0);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)game.pid());
    ASSERT_NE(nullptr, process);
    game.end_input();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, INFINITE));
    CloseHandle(process);
}

TEST(PosixProcessWait, OpenOfNoProcessGivesNull)
{
    const DWORD pids[] = {0u, 0x3FFFFFF0u, 4294967288u /* "--pid -8" */};
    for (DWORD pid : pids) {
        SCOPED_TRACE(pid);
        EXPECT_EQ(nullptr, OpenProcess(SYNCHRONIZE, FALSE, pid));
        EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    }
}

TEST(PosixProcessWait, WaitOnABadHandleFails)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, snapshot);
    // Closed last, so that no descriptor opened afterwards takes its number.
    HANDLE closed = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)getpid());
    ASSERT_NE(nullptr, closed);
    ASSERT_TRUE(CloseHandle(closed));
    for (HANDLE bad : {(HANDLE) nullptr, INVALID_HANDLE_VALUE, snapshot, closed}) {
        EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bad, 0));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
    CloseHandle(snapshot);
}

}  // namespace
