// Files and folders of the POSIX layer, in a temp folder of their own.
#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

#include "platform/platform.h"
#include "posix_test_support.h"

namespace {

using posix_test::exists;
using posix_test::read_text;
using posix_test::TempDir;
using posix_test::write_text;

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kAnyError = 0xFFFFFFFEu;

HANDLE open_file(const std::string& path, DWORD access, DWORD disposition)
{
    return CreateFileA(path.c_str(), access, kShareAll, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool write_all(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) &&
           written == text.size();
}

struct DispositionCase {
    const char* label;
    DWORD disposition;
    bool exists_before;
    bool opens;
    DWORD last_error;      // after the open; kAnyError when Windows leaves it unspecified
    const char* content;   // of the file after "NEW" is written through the handle; null: none
};

TEST(PosixFiles, DispositionsOpenCreateOrTruncateAsOnWindows)
{
    const DispositionCase cases[] = {
        {"open existing, present", OPEN_EXISTING, true, true, kAnyError, "NEW-text"},
        {"open existing, absent", OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {"open always, present", OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "NEW-text"},
        {"open always, absent", OPEN_ALWAYS, false, true, ERROR_SUCCESS, "NEW"},
        {"create always, present", CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "NEW"},
        {"create always, absent", CREATE_ALWAYS, false, true, ERROR_SUCCESS, "NEW"},
        {"create new, present", CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old-text"},
        {"create new, absent", CREATE_NEW, false, true, kAnyError, "NEW"},
    };
    for (const DispositionCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        std::string path = dir.file("data.txt");
        if (c.exists_before) {
            write_text(path, "old-text");
        }
        HANDLE file = open_file(path, GENERIC_READ | GENERIC_WRITE, c.disposition);
        DWORD error = GetLastError();
        ASSERT_EQ(c.opens, file != INVALID_HANDLE_VALUE);
        if (c.last_error != kAnyError) {
            EXPECT_EQ(c.last_error, error);
        }
        if (c.opens) {
            EXPECT_NE(nullptr, file);
            EXPECT_TRUE(write_all(file, "NEW"));
            EXPECT_TRUE(CloseHandle(file));
        }
        if (c.content == nullptr) {
            EXPECT_FALSE(exists(path));
        } else {
            EXPECT_EQ(c.content, read_text(path));
        }
    }
}

TEST(PosixFiles, CreatedFileIsReadableByAllWritableByOwner)
{
    TempDir dir;
    mode_t old_mask = umask(022);
    HANDLE file = open_file(dir.file("log.txt"), FILE_APPEND_DATA, OPEN_ALWAYS);
    umask(old_mask);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("log.txt").c_str(), &info));
    EXPECT_EQ(0644u, info.st_mode & 0777u);
}

TEST(PosixFiles, TwoAppendHandlesNeverOverwriteEachOther)
{
    TempDir dir;
    std::string path = dir.file("Brightrelay.log");
    write_text(path, "start\n");
    HANDLE first = open_file(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    HANDLE second = open_file(path, FILE_APPEND_DATA, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    ASSERT_NE(INVALID_HANDLE_VALUE, second);
    EXPECT_TRUE(write_all(first, "one\n"));
    EXPECT_TRUE(write_all(second, "two\n"));
    EXPECT_TRUE(write_all(first, "three\n"));
    EXPECT_TRUE(write_all(second, "four\n"));
    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ("start\none\ntwo\nthree\nfour\n", read_text(path));
}

TEST(PosixFiles, GenericWriteWritesAtTheCurrentPositionNotTheEnd)
{
    TempDir dir;
    std::string path = dir.file("data.txt");
    write_text(path, "abcdef");
    HANDLE file = open_file(path, GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(write_all(file, "XY"));
    CloseHandle(file);
    EXPECT_EQ("XYcdef", read_text(path));
}

TEST(PosixFiles, BackslashesInPathsAreSeparators)
{
    TempDir dir;
    std::string folder = dir.path() + "\\Brightrelay";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    HANDLE file = open_file(folder + "\\Brightrelay.log", FILE_APPEND_DATA, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_TRUE(write_all(file, "line\r\n"));
    CloseHandle(file);
    EXPECT_EQ("line\r\n", read_text(dir.path() + "/Brightrelay/Brightrelay.log"));
}

TEST(PosixFiles, CreateDirectoryReportsExistingAndMissingParent)
{
    TempDir dir;
    std::string folder = dir.file("Brightrelay");
    EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_TRUE(exists(folder));

    struct Case {
        const char* label;
        std::string path;
        DWORD error;
    };
    write_text(dir.file("plain_file"), "x");
    const Case cases[] = {
        {"existing folder", folder, ERROR_ALREADY_EXISTS},
        {"existing file", dir.file("plain_file"), ERROR_ALREADY_EXISTS},
        {"missing parent", dir.file("missing/Brightrelay"), ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_FALSE(CreateDirectoryA(c.path.c_str(), nullptr));
        EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_FALSE(exists(dir.file("missing")));
}

TEST(PosixFiles, ReadAndWriteReportTheCountsOfOneCall)
{
    TempDir dir;
    std::string path = dir.file("status.json");
    HANDLE file = open_file(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(11u, written);
    CloseHandle(file);

    file = open_file(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    char buffer[64] = {};
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(file, buffer, 5, &got, nullptr));
    EXPECT_EQ(5u, got);
    EXPECT_EQ("hello", std::string(buffer, got));
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(6u, got);
    EXPECT_EQ(" world", std::string(buffer, got));
    got = 99;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr)) << "end of file is no error";
    EXPECT_EQ(0u, got);
    CloseHandle(file);
}

TEST(PosixFiles, FailuresGiveInvalidHandleAndAWin32Code)
{
    TempDir dir;
    struct Case {
        const char* label;
        std::string path;
        DWORD access;
        DWORD disposition;
        DWORD error;
    };
    const Case cases[] = {
        {"missing file", dir.file("absent.json"), GENERIC_READ, OPEN_EXISTING,
         ERROR_FILE_NOT_FOUND},
        {"folder missing", dir.file("absent/x.log"), FILE_APPEND_DATA, OPEN_ALWAYS,
         ERROR_FILE_NOT_FOUND},
        {"path too long", dir.path() + "/" + std::string(5000, 'a'), GENERIC_READ,
         OPEN_EXISTING, ERROR_FILENAME_EXCED_RANGE},
        {"no disposition", dir.file("x"), GENERIC_READ, 0, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(INVALID_HANDLE_VALUE, open_file(c.path, c.access, c.disposition));
        EXPECT_EQ(c.error, GetLastError());
    }
}

TEST(PosixFiles, CallsOnBadHandlesFailWithInvalidHandle)
{
    TempDir dir;
    HANDLE file = open_file(dir.file("x"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ASSERT_TRUE(CloseHandle(file));
    char buffer[4];
    DWORD count = 0;
    for (HANDLE bad : {(HANDLE) nullptr, INVALID_HANDLE_VALUE, file}) {
        EXPECT_FALSE(ReadFile(bad, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_FALSE(WriteFile(bad, "x", 1, &count, nullptr));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
}

}  // namespace
