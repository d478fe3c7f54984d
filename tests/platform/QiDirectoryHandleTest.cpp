#include <platform/QiDirectoryHandle.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/internal/SysCalls.h>

#include "platform/PlatformTestSupport.h"

namespace {

using I2::Testing::ReadWhole;
using I2::Testing::TempDir;
using I2::Testing::WriteWhole;
using I2::Utils::RealSysCalls;
using I2::Utils::ScopedSysCalls;
using I2::Utils::Sys;

constexpr uint32_t kNobody = 65534;

bool Contains(const CQiError& error, const std::string& text) {
    return error.GetMessage().find(text) != std::string::npos;
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : ~0u;
}

CQiError Write(CQiFile& file, const std::string& data) {
    std::size_t written = 0;
    return file.Write(data.data(), data.size(), written);
}

// Kills the test binary instead of letting a blocked open hang the suite.
class HangGuard {
public:
    HangGuard() { ::alarm(20); }
    ~HangGuard() { ::alarm(0); }
};

enum class Planted { LinkToFile, DanglingLink, Fifo, Device, Directory };

// What an attacker who can write the directory leaves at `name`. False when
// this process may not make it (a device node needs root).
bool Plant(const TempDir& dir, const std::string& name, Planted what) {
    const std::string path = dir.File(name);
    switch (what) {
        case Planted::LinkToFile: return ::symlink(dir.File("victim").c_str(), path.c_str()) == 0;
        case Planted::DanglingLink: return ::symlink(dir.File("nowhere").c_str(), path.c_str()) == 0;
        case Planted::Fifo: return ::mkfifo(path.c_str(), 0666) == 0;
        case Planted::Device: return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
        case Planted::Directory: return ::mkdir(path.c_str(), 0777) == 0;
    }
    return false;
}

TEST(CQiDirectoryHandle, PlantedNamesAreRefusedOrReplacedNeverFollowedOrWaitedOn) {
    const struct {
        Planted what;
        const char* label;
        const char* found;       // in the message of a refused open and a refused create
        bool unlinkAndRenameOk;  // a directory is not removed or replaced by a file
    } cases[] = {
        {Planted::LinkToFile, "link to file", "a symbolic link", true},
        {Planted::DanglingLink, "dangling link", "a symbolic link", true},
        {Planted::Fifo, "FIFO", "a FIFO", true},
        {Planted::Device, "device", "a character device", true},
        {Planted::Directory, "directory", "a directory", false},
    };
    const unsigned openModes[] = {CQiFile::OpenRead, CQiFile::OpenWrite | CQiFile::OpenAppend,
                                  CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenTruncate};
    HangGuard guard;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        WriteWhole(dir.File("victim"), "keep");
        ::chmod(dir.File("victim").c_str(), 0600);
        if (!Plant(dir, "r.csv", c.what)) {
            std::cout << "[  SKIPPED ] cannot make a " << c.label << " here\n";
            continue;
        }
        CQiDirectoryHandle handle;
        ASSERT_FALSE(handle.Open(dir.Path()).IsError());

        for (unsigned mode : openModes) {
            CQiFile file;
            const CQiError error = handle.OpenFile("r.csv", mode, file);
            EXPECT_EQ(error.GetErrNo(), 22) << mode << ": " << error.GetMessage();
            EXPECT_TRUE(Contains(error, dir.File("r.csv") + "]: it is " + c.found)) << error.GetMessage();
            EXPECT_FALSE(file.IsOpen());
        }

        CQiFile created;
        CQiError error = handle.CreateFile("r.csv", CQiFileAttributes{0600u, {}, {}}, created);
        EXPECT_EQ(error.GetErrNo(), 22);
        EXPECT_EQ(error.GetSystemErrNo(), EEXIST);
        EXPECT_TRUE(Contains(error, std::string("exists already, as ") + c.found)) << error.GetMessage();

        WriteWhole(dir.File("new"), "new");
        error = handle.Rename("new", "r.csv");
        EXPECT_EQ(error.IsError(), !c.unlinkAndRenameOk) << error.GetMessage();
        if (c.unlinkAndRenameOk) { EXPECT_EQ(ReadWhole(dir.File("r.csv")), "new"); }

        if (c.unlinkAndRenameOk) { ASSERT_TRUE(Plant(dir, "side", c.what)); }
        error = handle.Unlink(c.unlinkAndRenameOk ? "side" : "r.csv", false);
        EXPECT_EQ(error.IsError(), !c.unlinkAndRenameOk) << error.GetMessage();
        if (!c.unlinkAndRenameOk) { EXPECT_EQ(error.GetSystemErrNo(), EISDIR); }

        EXPECT_EQ(ReadWhole(dir.File("victim")), "keep");
        EXPECT_EQ(ModeOf(dir.File("victim")), 0600u);
        EXPECT_FALSE(CQiPath::Exists(dir.File("nowhere")));
    }
}

TEST(CQiDirectoryHandle, FifoSwappedInAfterTheNameCheckIsCaughtOnTheDescriptor) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.File("r.csv").c_str(), 0666), 0);
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir.Path()).IsError());
    ScopedSysCalls scoped;
    Sys().fstatat = [](int dirfd, const char* name, struct stat* st, int flags) {
        const int rc = RealSysCalls().fstatat(dirfd, name, st, flags);
        st->st_mode = S_IFREG | 0644;  // what the name showed before the swap
        return rc;
    };
    HangGuard guard;
    CQiFile file;
    const CQiError error = handle.OpenFile("r.csv", CQiFile::OpenRead, file);
    EXPECT_EQ(error.GetErrNo(), 22);
    EXPECT_TRUE(Contains(error, "it is a FIFO, not a regular file")) << error.GetMessage();
    EXPECT_FALSE(file.IsOpen());
}

std::vector<std::string> g_calls;

TEST(CQiDirectoryHandle, CreatedFileGetsOwnerThenModeBeforeAnyByteAndNoSpecialBits) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
    TempDir dir;
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir.Path()).IsError());
    ScopedSysCalls scoped;
    g_calls.clear();
    Sys().openat = [](int dirfd, const char* name, int flags, mode_t mode) {
        g_calls.push_back("openat " + std::to_string(mode));
        return RealSysCalls().openat(dirfd, name, flags, mode);
    };
    Sys().fchown = [](int fd, uid_t owner, gid_t group) {
        g_calls.push_back("fchown");
        return RealSysCalls().fchown(fd, owner, group);
    };
    Sys().fchmod = [](int fd, mode_t mode) {
        g_calls.push_back("fchmod " + std::to_string(mode));
        return RealSysCalls().fchmod(fd, mode);
    };
    CQiFileStat report;
    report.mode = 06750;  // a report that someone made setuid and setgid
    report.owner = kNobody;
    report.group = kNobody;
    CQiFile file;
    ASSERT_FALSE(handle.CreateFile("r.csv.bad", CQiFileAttributes::Of(report), file).IsError());
    EXPECT_EQ(g_calls, (std::vector<std::string>{"openat " + std::to_string(0600), "fchown",
                                                 "fchmod " + std::to_string(0750)}));
    CQiFileStat st;
    ASSERT_FALSE(file.Stat(st).IsError());
    EXPECT_EQ(st.owner, kNobody);
    EXPECT_EQ(st.group, kNobody);
    EXPECT_EQ(st.mode, 0750u);
    EXPECT_EQ(st.size, 0u);
    EXPECT_EQ(st.type, CQiFileStat::Type::Regular);
}

TEST(CQiDirectoryHandle, RefusedOwnerChangeLeavesNoFileAndOwnAttributesNeedNoChange) {
    TempDir dir;
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir.Path()).IsError());
    ScopedSysCalls scoped;
    Sys().fchown = [](int, uid_t, gid_t) {
        errno = EPERM;
        return -1;
    };
    CQiFile file;
    CQiError error = handle.CreateFile("r.csv.tmp", CQiFileAttributes{0640u, ::geteuid() + 1, {}}, file);
    EXPECT_EQ(error.GetErrNo(), 150);
    EXPECT_EQ(error.GetSystemErrNo(), EPERM);
    EXPECT_TRUE(Contains(error, "change owner of [" + dir.File("r.csv.tmp") + "]")) << error.GetMessage();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(CQiPath::Exists(dir.File("r.csv.tmp")));

    // A file system that refuses every fchown still lets a user copy its own.
    error = handle.CreateFile("r.csv.tmp", CQiFileAttributes{0640u, ::geteuid(), ::getegid()}, file);
    EXPECT_FALSE(error.IsError()) << error.GetMessage();
    EXPECT_EQ(ModeOf(dir.File("r.csv.tmp")), 0640u);
}

TEST(CQiDirectoryHandle, ExchangeSwapsTwoNamesOrSaysItCannot) {
    TempDir dir;
    WriteWhole(dir.File("r.csv"), "full");
    WriteWhole(dir.File("r.csv.new"), "header\n");
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir.Path()).IsError());
    ASSERT_FALSE(handle.Exchange("r.csv", "r.csv.new").IsError());
    EXPECT_EQ(ReadWhole(dir.File("r.csv")), "header\n");
    EXPECT_EQ(ReadWhole(dir.File("r.csv.new")), "full");
    EXPECT_TRUE(handle.Exchange("r.csv", "none").IsError());

    ScopedSysCalls scoped;
    Sys().renameat2 = [](int, const char*, int, const char*, unsigned) {
        errno = EINVAL;
        return -1;
    };
    const CQiError error = handle.Exchange("r.csv", "r.csv.new");
    EXPECT_TRUE(CQiDirectoryHandle::IsExchangeUnsupported(error));
    EXPECT_TRUE(Contains(error, "cannot exchange two names atomically")) << error.GetMessage();
    EXPECT_EQ(ReadWhole(dir.File("r.csv")), "header\n");
}

TEST(CQiDirectoryHandle, TemporaryIsInvisibleUntilLinkedWithOrWithoutUnnamedFiles) {
    enum { Unnamed, UnnamedWithoutCapability, Named };
    for (const int variant : {Unnamed, UnnamedWithoutCapability, Named}) {
        SCOPED_TRACE(variant);
        const bool unnamedFiles = variant != Named;
        TempDir dir;
        CQiDirectoryHandle handle;
        ASSERT_FALSE(handle.Open(dir.Path()).IsError());
        ScopedSysCalls scoped;
        if (variant == UnnamedWithoutCapability) {
            // What an unprivileged caller gets for AT_EMPTY_PATH.
            Sys().linkat = [](int fromDirfd, const char* from, int toDirfd, const char* to, int flags) {
                if (flags & AT_EMPTY_PATH) {
                    errno = ENOENT;
                    return -1;
                }
                return RealSysCalls().linkat(fromDirfd, from, toDirfd, to, flags);
            };
        }
        if (variant == Named) {
            Sys().openat = [](int dirfd, const char* name, int flags, mode_t mode) {
                if ((flags & O_TMPFILE) == O_TMPFILE) {
                    errno = EOPNOTSUPP;
                    return -1;
                }
                return RealSysCalls().openat(dirfd, name, flags, mode);
            };
        }
        CQiFile file;
        std::string tempName;
        ASSERT_FALSE(handle.CreateTemporary("r.csv", CQiFileAttributes{0640u, {}, {}}, file, tempName).IsError());
        EXPECT_EQ(tempName.empty(), unnamedFiles);
        if (!unnamedFiles) { EXPECT_EQ(tempName.rfind(".r.csv.", 0), 0u) << tempName; }
        ASSERT_FALSE(Write(file, "header\n").IsError());

        WriteWhole(dir.File("taken"), "keep");
        EXPECT_EQ(handle.LinkTemporary(file, tempName, "taken").GetSystemErrNo(), EEXIST);
        EXPECT_EQ(ReadWhole(dir.File("taken")), "keep");

        ASSERT_FALSE(handle.LinkTemporary(file, tempName, "r.csv.tmp").IsError());
        EXPECT_EQ(file.GetPath(), dir.File("r.csv.tmp"));
        EXPECT_EQ(ReadWhole(dir.File("r.csv.tmp")), "header\n");
        EXPECT_EQ(ModeOf(dir.File("r.csv.tmp")), 0640u);
        if (!unnamedFiles) { EXPECT_FALSE(CQiPath::Exists(dir.File(tempName))); }
    }
}

TEST(CQiDirectoryHandle, SubdirectoriesAreMadeAndEnteredWithoutFollowingLinks) {
    TempDir dir;
    ::mkdir(dir.File("real").c_str(), 0777);
    ::symlink(dir.File("real").c_str(), dir.File("linked").c_str());
    WriteWhole(dir.File("real/file"), "x");
    CQiDirectoryHandle handle;
    // The path to the directory may go through links; names inside it may not.
    ASSERT_FALSE(handle.Open(dir.File("linked")).IsError());
    EXPECT_EQ(handle.Open(dir.Path()).GetErrNo(), 22) << "already open";

    CQiDirectoryHandle top;
    ASSERT_FALSE(top.Open(dir.Path()).IsError());
    ASSERT_FALSE(top.MakeDirectory("Logs", true).IsError());
    ASSERT_FALSE(top.MakeDirectory("Logs", true).IsError());
    EXPECT_EQ(top.MakeDirectory("Logs", false).GetSystemErrNo(), EEXIST);
    CQiError error = top.MakeDirectory("linked", true);
    EXPECT_TRUE(Contains(error, "it is a symbolic link, not a directory")) << error.GetMessage();

    CQiDirectoryHandle sub;
    error = top.OpenDirectory("linked", sub);
    EXPECT_EQ(error.GetErrNo(), 22);
    EXPECT_EQ(error.GetSystemErrNo(), ELOOP);
    error = handle.OpenDirectory("file", sub);
    EXPECT_EQ(error.GetErrNo(), 22);
    EXPECT_TRUE(Contains(error, "it is a regular file, not a directory")) << error.GetMessage();

    ASSERT_FALSE(top.OpenDirectory("Logs", sub).IsError());
    CQiFile file;
    ASSERT_FALSE(sub.CreateFile("a.csv", {}, file).IsError());
    EXPECT_TRUE(CQiPath::IsFile(dir.File("Logs/a.csv")));
    EXPECT_FALSE(sub.Sync().IsError());

    for (const char* name : {"", ".", "..", "../victim", "Logs/a.csv"}) {
        EXPECT_EQ(top.Unlink(name, true).GetErrNo(), 22) << name;
    }
    EXPECT_TRUE(CQiPath::IsFile(dir.File("Logs/a.csv")));

    // A handle names the directory it has open, not the path it was given:
    // the link resolved, and a rename since followed.
    const std::string base = std::filesystem::canonical(dir.Path()).string();
    std::string named;
    ASSERT_TRUE(handle.GetCanonicalPath(named));
    EXPECT_EQ(named, base + "/real");
    ASSERT_EQ(::rename(dir.File("real").c_str(), dir.File("moved").c_str()), 0);
    ASSERT_TRUE(handle.GetCanonicalPath(named));
    EXPECT_EQ(named, base + "/moved");
    {
        // Without /proc nothing is made up: the caller resolves the path.
        ScopedSysCalls restore;
        Sys().readlink = [](const char*, char*, size_t) -> ssize_t {
            errno = ENOENT;
            return -1;
        };
        EXPECT_FALSE(handle.GetCanonicalPath(named));
    }
    CQiDirectoryHandle removed;
    ASSERT_EQ(::mkdir(dir.File("gone").c_str(), 0777), 0);
    ASSERT_FALSE(removed.Open(dir.File("gone")).IsError());
    ASSERT_EQ(::rmdir(dir.File("gone").c_str()), 0);
    EXPECT_FALSE(removed.GetCanonicalPath(named)) << named;
    EXPECT_FALSE(CQiDirectoryHandle().GetCanonicalPath(named));
}

TEST(CQiDirectoryHandle, StatDescribesTheNameItselfAndTheOpenFile) {
    TempDir dir;
    WriteWhole(dir.File("r.csv"), "12345");
    ::chmod(dir.File("r.csv").c_str(), 0640);
    ::symlink(dir.File("r.csv").c_str(), dir.File("alias").c_str());
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir.Path()).IsError());
    CQiFileStat byName;
    ASSERT_FALSE(handle.Stat("r.csv", byName).IsError());
    EXPECT_EQ(byName.type, CQiFileStat::Type::Regular);
    EXPECT_EQ(byName.mode, 0640u);
    EXPECT_EQ(byName.size, 5u);
    EXPECT_EQ(byName.owner, ::geteuid());
    CQiFileStat link;
    ASSERT_FALSE(handle.Stat("alias", link).IsError());
    EXPECT_EQ(link.type, CQiFileStat::Type::SymbolicLink);
    EXPECT_FALSE(link.IsSameFile(byName));
    EXPECT_EQ(handle.Stat("none", link).GetErrNo(), 2);

    CQiFile file;
    ASSERT_FALSE(handle.OpenFile("r.csv", CQiFile::OpenRead, file).IsError());
    CQiFileStat open;
    ASSERT_FALSE(file.Stat(open).IsError());
    EXPECT_TRUE(open.IsSameFile(byName));
}

}  // namespace
