// Handle values of the POSIX layer: never NULL nor INVALID_HANDLE_VALUE, of the right kind,
// their descriptors close-on-exec.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"
#include "posix_test_support.h"

namespace {

TEST(PosixHandles, EveryKindIsAValidCloseOnExecHandle)
{
    posix_test::TempDir dir;
    posix_test::ScopedEnv xdg("XDG_RUNTIME_DIR", dir.path().c_str());
    int listen_fd = posix_test::listen_unix(dir.file("discord-ipc-0"));
    ASSERT_GE(listen_fd, 0);

    struct Case {
        const char* label;
        HANDLE handle;
        PosixHandleKind kind;
    };
    const Case cases[] = {
        {"file",
         CreateFileA(dir.file("f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr),
         kPosixHandleFile},
        {"pipe",
         CreateFileA(posix_test::discord_pipe_name(0).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                     nullptr, OPEN_EXISTING, 0, nullptr),
         kPosixHandlePipe},
        {"process", OpenProcess(SYNCHRONIZE, FALSE, (DWORD)getpid()), kPosixHandleProcess},
        {"snapshot", CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), kPosixHandleSnapshot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_NE(nullptr, c.handle);
        EXPECT_NE(INVALID_HANDLE_VALUE, c.handle);
        int fd = posix_handle_fd(c.handle, c.kind);
        ASSERT_GE(fd, 0);
        int fd_flags = fcntl(fd, F_GETFD);
        EXPECT_NE(0, fd_flags & FD_CLOEXEC);
        for (PosixHandleKind other : {kPosixHandleFile, kPosixHandlePipe, kPosixHandleProcess,
                                      kPosixHandleSnapshot}) {
            if (other != c.kind) {
                EXPECT_EQ(-1, posix_handle_fd(c.handle, other));
            }
        }
        EXPECT_TRUE(CloseHandle(c.handle));
        EXPECT_EQ(-1, fcntl(fd, F_GETFD)) << "the descriptor is closed";
    }
    close(listen_fd);
}

TEST(PosixHandles, DescriptorZeroMakesAValidHandle)
{
    HANDLE handle = posix_handle_make(0, kPosixHandleFile);
    EXPECT_NE(nullptr, handle);
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(0, posix_handle_fd(handle, kPosixHandleFile));
}

}  // namespace
