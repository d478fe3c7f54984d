#include <platform/QiFileSystem.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/internal/SysCalls.h>

#include "platform/PlatformTestSupport.h"

namespace {

using I2::Testing::ReadWhole;
using I2::Testing::TempDir;
using I2::Testing::WriteWhole;
using I2::Utils::ScopedSysCalls;
using I2::Utils::Sys;

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
    return data;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : ~0u;
}

TEST(CQiPath, JoinsAndSplitsPaths) {
    const struct {
        const char* dir;
        const char* name;
        const char* joined;
    } joins[] = {{"/a", "b.csv", "/a/b.csv"}, {"/a/", "b.csv", "/a/b.csv"}, {"/a//", "/b", "/a/b"},
                 {"", "b.csv", "b.csv"},      {"/", "b", "/b"},             {"a", "/b/c", "a/b/c"}};
    for (const auto& j : joins) EXPECT_EQ(CQiPath::Append(j.dir, j.name).str(), j.joined) << j.dir << " + " << j.name;

    const struct {
        const char* path;
        const char* parent;
        const char* name;
    } splits[] = {{"/a/b/c.csv", "/a/b", "c.csv"}, {"c.csv", "", "c.csv"}, {"/c.csv", "/", "c.csv"},
                  {"/a/b/", "/a", "b"},            {"/a//b", "/a", "b"},   {"", "", ""}};
    for (const auto& s : splits) {
        EXPECT_EQ(CQiPath::GetParent(s.path).str(), s.parent) << s.path;
        EXPECT_EQ(CQiPath::GetFileName(s.path).str(), s.name) << s.path;
    }
}

TEST(CQiDirectory, CreateRecursiveMakesEveryMissingLevel) {
    TempDir dir;
    const std::string deep = dir.File("a/b//c/");
    EXPECT_EQ(CQiDirectory::Create(dir.File("x/y"), false).GetErrNo(), 2);
    ASSERT_FALSE(CQiDirectory::Create(deep, true).IsError());
    EXPECT_TRUE(CQiPath::IsDirectory(dir.File("a/b/c")));
    EXPECT_FALSE(CQiDirectory::Create(deep, true).IsError()) << "an existing directory is success";
    EXPECT_FALSE(CQiDirectory::Create(dir.File("a"), false).IsError());

    WriteWhole(dir.File("file"), "x");
    EXPECT_TRUE(CQiDirectory::Create(dir.File("file"), false).IsError());
    EXPECT_TRUE(CQiDirectory::Create(dir.File("file/sub"), true).IsError());
}

TEST(CQiFile, CopyReproducesContentAndPermissionsAcrossBlocks) {
    TempDir dir;
    const std::string data = Pattern((std::size_t{5} << 19) + 3);  // 2.5 MiB and a bit
    WriteWhole(dir.File("src"), data);
    ::chmod(dir.File("src").c_str(), 0664);  // group write: the umask would drop it
    ASSERT_FALSE(CQiFile::Copy(dir.File("src"), dir.File("dst")).IsError());
    EXPECT_EQ(ReadWhole(dir.File("dst")), data);
    EXPECT_EQ(ModeOf(dir.File("dst")), 0664u);

    // An existing, longer destination is emptied first.
    WriteWhole(dir.File("short"), "abc");
    ASSERT_FALSE(CQiFile::Copy(dir.File("short"), dir.File("dst")).IsError());
    EXPECT_EQ(ReadWhole(dir.File("dst")), "abc");

    WriteWhole(dir.File("empty"), "");
    ASSERT_FALSE(CQiFile::Copy(dir.File("empty"), dir.File("dst")).IsError());
    EXPECT_EQ(ReadWhole(dir.File("dst")), "");
}

TEST(CQiFile, CopyReportsMissingSource) {
    TempDir dir;
    const CQiError error = CQiFile::Copy(dir.File("none"), dir.File("dst"));
    EXPECT_EQ(error.GetErrNo(), 2);
    EXPECT_NE(error.GetMessage().find(dir.File("none")), std::string::npos);
    EXPECT_FALSE(CQiPath::Exists(dir.File("dst")));
}

TEST(CQiFile, CopyOntoItselfKeepsTheData) {
    TempDir dir;
    WriteWhole(dir.File("r.csv"), "header\nline\n");
    ::symlink(dir.File("r.csv").c_str(), dir.File("alias").c_str());
    EXPECT_EQ(CQiFile::Copy(dir.File("r.csv"), dir.File("r.csv")).GetErrNo(), 22);
    EXPECT_EQ(CQiFile::Copy(dir.File("r.csv"), dir.File("alias")).GetErrNo(), 22);
    EXPECT_EQ(ReadWhole(dir.File("r.csv")), "header\nline\n");
}

int g_fsyncCalls = 0;

TEST(CQiFile, CopyReportsFailedWritesAndReadsAndSyncsTheCopy) {
    TempDir dir;
    WriteWhole(dir.File("src"), Pattern(4096));
    {
        ScopedSysCalls scoped;
        Sys().write = [](int, const void*, size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        const CQiError error = CQiFile::Copy(dir.File("src"), dir.File("dst"));
        EXPECT_EQ(error.GetErrNo(), 150);
        EXPECT_EQ(error.GetSystemErrNo(), ENOSPC);
        EXPECT_GE(error.GetTrace().size(), 2u);
    }
    {
        ScopedSysCalls scoped;
        Sys().pread = [](int, void*, size_t, off_t) -> ssize_t {
            errno = EIO;
            return -1;
        };
        EXPECT_EQ(CQiFile::Copy(dir.File("src"), dir.File("dst")).GetErrNo(), 150);
    }
    {
        ScopedSysCalls scoped;
        g_fsyncCalls = 0;
        Sys().fsync = [](int fd) {
            ++g_fsyncCalls;
            return I2::Utils::RealSysCalls().fsync(fd);
        };
        ASSERT_FALSE(CQiFile::Copy(dir.File("src"), dir.File("dst")).IsError());
        EXPECT_EQ(g_fsyncCalls, 1);
    }
}

TEST(CQiFile, RenameReplacesTheTargetAsOneStep) {
    TempDir dir;
    WriteWhole(dir.File("r.csv"), "old");
    WriteWhole(dir.File("r.csv.tmp"), "new");
    std::ifstream reader(dir.File("r.csv"));  // a reader of the old file keeps seeing it whole
    ASSERT_FALSE(CQiFile::Rename(dir.File("r.csv.tmp"), dir.File("r.csv")).IsError());
    EXPECT_EQ(ReadWhole(dir.File("r.csv")), "new");
    EXPECT_FALSE(CQiPath::Exists(dir.File("r.csv.tmp")));
    std::string seen;
    std::getline(reader, seen);
    EXPECT_EQ(seen, "old");

    EXPECT_EQ(CQiFile::Rename(dir.File("none"), dir.File("r.csv")).GetErrNo(), 2);
    EXPECT_EQ(ReadWhole(dir.File("r.csv")), "new");
}

TEST(CQiFile, RenameReportsAFailedDirectorySync) {
    TempDir dir;
    WriteWhole(dir.File("a"), "a");
    ScopedSysCalls scoped;
    Sys().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(CQiFile::Rename(dir.File("a"), dir.File("b")).GetSystemErrNo(), EIO);
}

int g_lastOpenFlags = 0;

TEST(CQiFile, OpenMapsFlagsAndAlwaysClosesOnExec) {
    TempDir dir;
    const struct {
        unsigned flags;
        int expected;
    } cases[] = {
        {CQiFile::OpenRead, O_RDONLY},
        {CQiFile::OpenRead | CQiFile::OpenWrite | CQiFile::OpenCreate, O_RDWR | O_CREAT},
        {CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenTruncate, O_WRONLY | O_CREAT | O_TRUNC},
        {CQiFile::OpenWrite | CQiFile::OpenAppend, O_WRONLY | O_APPEND},
        {CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenExclusive | CQiFile::OpenNoFollow,
         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW},
        {CQiFile::OpenRead | CQiFile::OpenRegularOnly, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY},
    };
    ScopedSysCalls scoped;
    Sys().open = [](const char*, int flags, mode_t) {
        g_lastOpenFlags = flags;
        errno = EACCES;
        return -1;
    };
    for (const auto& c : cases) {
        CQiFile file;
        EXPECT_EQ(file.Open(dir.File("f"), c.flags).GetErrNo(), 150);
        EXPECT_EQ(g_lastOpenFlags, c.expected | O_CLOEXEC) << c.flags;
    }
}

TEST(CQiFile, OpenRefusesSymlinksWithNoFollowAndExistingFilesWithExclusive) {
    TempDir dir;
    WriteWhole(dir.File("target"), "keep");
    ::symlink(dir.File("target").c_str(), dir.File("link").c_str());
    CQiFile file;
    EXPECT_EQ(file.Open(dir.File("link"), CQiFile::OpenWrite | CQiFile::OpenTruncate | CQiFile::OpenNoFollow)
                  .GetErrNo(),
              22);
    EXPECT_EQ(file.Open(dir.File("target"), CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenExclusive)
                  .GetErrNo(),
              22);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadWhole(dir.File("target")), "keep");
}

int g_setFlags = -1;

TEST(CQiFile, OpenRegularOnlyRefusesLinksAndFifosWithoutWaitingAndOpensFilesBlocking) {
    TempDir dir;
    WriteWhole(dir.File("target"), "keep");
    ::symlink(dir.File("target").c_str(), dir.File("link").c_str());
    ::mkfifo(dir.File("fifo").c_str(), 0666);
    const struct {
        const char* name;
        unsigned flags;
        const char* found;
    } refused[] = {
        {"link", CQiFile::OpenWrite | CQiFile::OpenTruncate, "it is a symbolic link, not a regular file"},
        {"fifo", CQiFile::OpenRead, "it is a FIFO, not a regular file"},
        {"fifo", CQiFile::OpenWrite | CQiFile::OpenAppend | CQiFile::OpenCreate, "it is a FIFO"},
        {"", CQiFile::OpenWrite, "it is a directory, not a regular file"},
    };
    for (const auto& r : refused) {
        CQiFile file;
        const CQiError error = file.Open(dir.File(r.name), r.flags | CQiFile::OpenRegularOnly);
        EXPECT_EQ(error.GetErrNo(), 22) << r.name;
        EXPECT_NE(error.GetMessage().find(r.found), std::string::npos) << error.GetMessage();
        EXPECT_FALSE(file.IsOpen());
    }
    EXPECT_EQ(ReadWhole(dir.File("target")), "keep");

    ScopedSysCalls scoped;
    g_setFlags = -1;
    Sys().fcntl_flags = [](int fd, int command, int argument) {
        if (command == F_SETFL) g_setFlags = argument;
        return I2::Utils::RealSysCalls().fcntl_flags(fd, command, argument);
    };
    CQiFile file;
    ASSERT_FALSE(file.Open(dir.File("target"), CQiFile::OpenRead | CQiFile::OpenRegularOnly).IsError());
    ASSERT_NE(g_setFlags, -1);
    EXPECT_EQ(g_setFlags & O_NONBLOCK, 0) << "later reads must block, not fail with EAGAIN";
    CQiFileStat st;
    ASSERT_FALSE(file.Stat(st).IsError());
    EXPECT_EQ(st.size, 4u);

    // Making the descriptor blocking must not take its append mode away: a write
    // would then land over the first bytes instead of after the last.
    g_setFlags = -1;
    CQiFile appender;
    ASSERT_FALSE(
        appender.Open(dir.File("target"), CQiFile::OpenWrite | CQiFile::OpenAppend | CQiFile::OpenRegularOnly)
            .IsError());
    EXPECT_EQ(g_setFlags & (O_NONBLOCK | O_APPEND), O_APPEND);
    std::size_t written = 0;
    ASSERT_FALSE(appender.Write("more", 4, written).IsError());
    appender.Close();
    EXPECT_EQ(ReadWhole(dir.File("target")), "keepmore");
}

int g_writeCalls = 0;

TEST(CQiFile, WriteRetriesShortAndInterruptedWrites) {
    TempDir dir;
    const std::string data = Pattern(1000);
    CQiFile file;
    ASSERT_FALSE(file.Open(dir.File("f"), CQiFile::OpenWrite | CQiFile::OpenCreate).IsError());
    ScopedSysCalls scoped;
    g_writeCalls = 0;
    Sys().write = [](int fd, const void* buffer, size_t length) -> ssize_t {
        if (++g_writeCalls % 2 == 0) {
            errno = EINTR;
            return -1;
        }
        return I2::Utils::RealSysCalls().write(fd, buffer, length < 7 ? length : 7);
    };
    std::size_t written = 0;
    ASSERT_FALSE(file.Write(data.data(), data.size(), written).IsError());
    EXPECT_EQ(written, data.size());
    ASSERT_FALSE(file.Close().IsError());
    EXPECT_EQ(ReadWhole(dir.File("f")), data);
}

TEST(CQiFile, FailedWriteSaysHowMuchReachedTheFile) {
    TempDir dir;
    CQiFile file;
    ASSERT_FALSE(file.Open(dir.File("f"), CQiFile::OpenWrite | CQiFile::OpenCreate).IsError());
    ScopedSysCalls scoped;
    g_writeCalls = 0;
    Sys().write = [](int fd, const void* buffer, size_t) -> ssize_t {
        if (++g_writeCalls == 1) return I2::Utils::RealSysCalls().write(fd, buffer, 4);
        errno = ENOSPC;
        return -1;
    };
    std::size_t written = 0;
    const CQiError error = file.Write("0123456789", 10, written);
    EXPECT_EQ(error.GetErrNo(), 150);
    EXPECT_EQ(written, 4u);
    EXPECT_NE(error.GetMessage().find(dir.File("f")), std::string::npos);
}

TEST(CQiFile, CloseReportsFailureAndStillClosesAndClosedFilesFailCleanly) {
    TempDir dir;
    CQiFile file;
    ASSERT_FALSE(file.Open(dir.File("f"), CQiFile::OpenWrite | CQiFile::OpenCreate).IsError());
    {
        ScopedSysCalls scoped;
        Sys().close = [](int fd) {
            I2::Utils::RealSysCalls().close(fd);
            errno = EIO;
            return -1;
        };
        EXPECT_EQ(file.Close().GetErrNo(), 150);
    }
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Close().IsError());
    std::size_t written = 0;
    EXPECT_TRUE(file.Write("x", 1, written).IsError());
    EXPECT_TRUE(file.Sync().IsError());
}

TEST(CQiFile, DeleteMissingIsAnErrorOnlyWhenAskedFor) {
    TempDir dir;
    WriteWhole(dir.File("f"), "x");
    EXPECT_FALSE(CQiFile::Delete(dir.File("f"), false).IsError());
    EXPECT_FALSE(CQiPath::Exists(dir.File("f")));
    EXPECT_EQ(CQiFile::Delete(dir.File("f"), false).GetErrNo(), 2);
    EXPECT_FALSE(CQiFile::Delete(dir.File("f"), true).IsError());
}

}  // namespace
