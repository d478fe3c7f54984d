#include <platform/IdxNamedMutex.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <platform/DbgLog.h>
#include <platform/internal/IdxLockDirectory.h>
#include <platform/QiCanonicalPath.h>
#include <platform/internal/SysCalls.h>

#include "platform/PlatformTestSupport.h"

namespace {

using I2::Testing::ReadWhole;
using I2::Testing::TempDir;
using I2::Testing::WriteWhole;
using I2::Utils::IdxNamedMutex;

// Whether another thread of this process could take `name` within `timeoutMs`.
bool OtherThreadGets(const std::string& name, int timeoutMs) {
    bool got = false;
    std::thread([&] {
        IdxNamedMutex other(name);
        got = other.lock(timeoutMs);
    }).join();
    return got;
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().string());
    return names;
}

constexpr uid_t kNobody = 65534;

bool Root() { return ::geteuid() == 0; }

// In a forked child: becomes `uid` (when it is not ours already), runs `body`
// and reports what it returned; "" means all went well.
std::string InChild(uid_t uid, const std::function<std::string()>& body) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        ::close(pipeFds[0]);
        std::string result = "cannot become uid " + std::to_string(uid);
        if (uid == ::geteuid() || (::setgid(uid) == 0 && ::setuid(uid) == 0)) result = body();
        (void)::write(pipeFds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

// A child process of `uid` holding `name` until it is killed; -1 when it could not take it.
pid_t StartHolder(const std::string& name, uid_t uid) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        IdxNamedMutex held(name);
        const bool became = uid == ::geteuid() || (::setgid(uid) == 0 && ::setuid(uid) == 0);
        const char report = became && held.lock(-1) ? '1' : '0';
        (void)::write(ready[1], &report, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char report = 0;
    const bool held = ::read(ready[0], &report, 1) == 1 && report == '1';
    ::close(ready[0]);
    if (held) return child;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return -1;
}

void Kill(pid_t child) {
    ::kill(child, SIGKILL);
    // The kernel drops a dead holder's lock before waitpid returns.
    ::waitpid(child, nullptr, 0);
}

// Points the shared default lock directory at `path` for one test.
class SharedDirectoryAt {
public:
    explicit SharedDirectoryAt(const std::string& path) : saved_(I2::Utils::SharedLockDirectory()) {
        I2::Utils::SharedLockDirectory() = path;
        ::unsetenv("IDXREPORTS_LOCK_DIR");
    }
    ~SharedDirectoryAt() { I2::Utils::SharedLockDirectory() = saved_; }
    SharedDirectoryAt(const SharedDirectoryAt&) = delete;
    SharedDirectoryAt& operator=(const SharedDirectoryAt&) = delete;

private:
    std::string saved_;
};

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(IdxNamedMutex, ExcludesAnotherProcessUntilItDies) {
    TempDir dir;
    const std::string name = "_tmp_cross_process.csv";
    const pid_t child = StartHolder(name, ::geteuid());
    ASSERT_GT(child, 0);

    IdxNamedMutex mine(name);
    EXPECT_FALSE(mine.lock(200));
    EXPECT_FALSE(mine.isLocked());
    EXPECT_EQ(mine.failureReason(), "Timed out after 200 ms");

    Kill(child);
    EXPECT_TRUE(mine.lock(1));
    EXPECT_TRUE(mine.isLocked());
    EXPECT_EQ(mine.failureReason(), "");
}

// Root and an unprivileged service share one report: each must keep the other
// out, in a directory set up as the shared one is, and neither may be able to
// remove the lock file from under the other.
TEST(IdxNamedMutex, SharedDirectoryExcludesAcrossUsers) {
    if (!Root()) GTEST_SKIP() << "needs root, to run a second user's process";
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string shared = dir.File("idxreports");
    SharedDirectoryAt at(shared);
    ASSERT_TRUE(IdxNamedMutex("first-use").lock(1));
    const struct stat made = StatOf(shared);
    EXPECT_EQ(made.st_uid, 0u);
    EXPECT_EQ(made.st_mode & 07777, 01777u) << "root makes the shared directory on first use";

    const struct {
        uid_t holder, locker;
    } cases[] = {{kNobody, 0}, {0, kNobody}};
    for (const auto& c : cases) {
        const std::string name = "cross-user-" + std::to_string(c.holder);
        const pid_t holder = StartHolder(name, c.holder);
        ASSERT_GT(holder, 0) << "holder uid " << c.holder;
        const auto tryLock = [&name](int timeoutMs) {
            IdxNamedMutex mutex(name);
            return mutex.lock(timeoutMs) ? std::string() : mutex.failureReason();
        };
        EXPECT_EQ(InChild(c.locker, [&] { return tryLock(200); }), "Timed out after 200 ms") << "locker " << c.locker;
        Kill(holder);
        EXPECT_EQ(InChild(c.locker, [&] { return tryLock(1); }), "") << "locker " << c.locker;
        const struct stat file = StatOf(shared + "/L" + name);
        EXPECT_EQ(file.st_uid, 0u) << "root has taken over the file nobody made, so nobody cannot delete it";
        EXPECT_EQ(file.st_mode & 07777, 0644u);
    }

    // A file of a third user is a stranger's to the service, and refused; root takes it over.
    const std::string foreign = shared + "/Lforeign";
    WriteWhole(foreign, "");
    ASSERT_EQ(::chown(foreign.c_str(), kNobody - 1, kNobody - 1), 0);
    EXPECT_EQ(InChild(kNobody, [] {
                  IdxNamedMutex mutex("foreign");
                  return mutex.lock(1) ? std::string() : mutex.failureReason();
              }),
              "Lock file [" + foreign + "] unsafe: owned by uid 65533 (must be root or the caller)");
    EXPECT_TRUE(IdxNamedMutex("foreign").lock(1));
    EXPECT_EQ(StatOf(foreign).st_uid, 0u);
}

TEST(IdxNamedMutex, UnprivilegedProcessFallsBackToPrivateDirectoryWhenSharedIsMissing) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 01777);
    const std::string shared = dir.File("idxreports");
    SharedDirectoryAt at(shared);
    const uid_t user = Root() ? kNobody : ::geteuid();
    const std::string fallback = shared + "-" + std::to_string(user);
    EXPECT_EQ(InChild(user,
                      [&] {
                          int notes = 0;
                          EvDebug::SetDebugSink([&notes](const std::string&, const std::string& line) {
                              notes += line.find("exclude only processes of uid") != std::string::npos;
                          });
                          IdxNamedMutex first("fallback-1");
                          IdxNamedMutex second("fallback-2");
                          if (!first.lock(1) || !second.lock(1)) return "lock failed: " + first.failureReason();
                          return notes == 1 ? std::string() : "said " + std::to_string(notes) + " times";
                      }),
              "");
    EXPECT_FALSE(std::filesystem::exists(shared)) << "only root makes the shared directory";
    const struct stat st = StatOf(fallback);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(Entries(fallback).size(), 2u);
}

TEST(IdxNamedMutex, ObjectsOfOneNameExcludeEachOtherAcrossThreads) {
    TempDir dir;
    const std::string name = "threads";
    IdxNamedMutex first(name);
    ASSERT_TRUE(first.lock(-1));
    EXPECT_TRUE(first.lock(-1)) << "relocking a held object succeeds at once";
    EXPECT_FALSE(OtherThreadGets(name, 100));

    std::atomic<bool> waiterGotIt{false};
    std::thread waiter([&] {
        IdxNamedMutex second(name);
        waiterGotIt = second.lock(-1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    first.unlock();
    waiter.join();
    EXPECT_TRUE(waiterGotIt);
    EXPECT_FALSE(first.isLocked());
    first.unlock();  // not held: nothing happens
    EXPECT_TRUE(OtherThreadGets(name, 1)) << "the waiter's object released the lock when destroyed";
}

TEST(IdxNamedMutex, SameThreadSecondObjectFailsInsteadOfDeadlocking) {
    TempDir dir;
    IdxNamedMutex first("same-thread");
    IdxNamedMutex second("same-thread");
    ASSERT_TRUE(first.lock(-1));
    EXPECT_FALSE(second.lock(-1));
    EXPECT_FALSE(second.lock(0));
    EXPECT_FALSE(second.isLocked());
    EXPECT_EQ(second.failureReason(), "Held by this thread through another object");
    first.unlock();
    EXPECT_TRUE(second.lock(1));
}

TEST(IdxNamedMutex, AwkwardAndVeryLongNamesAreDistinctLocks) {
    TempDir dir;
    const std::string longName(5000, 'n');
    const std::vector<std::string> names = {
        "",           ".",          "..",          "../escape",   "a/b",     "a%2Fb", "a_b", std::string("nul\0x", 5),
        std::string("nul\0y", 5), ".hidden", longName + "1", longName + "2", std::string(300, '/'),
    };
    std::vector<std::unique_ptr<IdxNamedMutex>> held;
    for (const std::string& name : names) {
        held.push_back(std::make_unique<IdxNamedMutex>(name));
        EXPECT_TRUE(held.back()->lock(1)) << "name #" << held.size() - 1;
    }
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_FALSE(OtherThreadGets(names[i], 1)) << "name #" << i;

    const std::string lockDir = dir.File("locks");
    EXPECT_EQ(Entries(lockDir).size(), names.size());
    for (const std::string& entry : Entries(lockDir)) EXPECT_TRUE(std::filesystem::is_regular_file(entry)) << entry;
    EXPECT_EQ(Entries(dir.Path()).size(), 1u) << "nothing escaped the lock directory";
}

// Whatever a stranger plants under a lock file's name is refused with its
// reason, at once, and nothing it points at is touched.
TEST(IdxNamedMutex, HostileEntryInPlaceOfLockFileIsRefused) {
    TempDir dir;
    const std::string lockDir = dir.File("locks");
    WriteWhole(dir.File("victim"), "precious");
    ::chmod(dir.File("victim").c_str(), 0644);
    WriteWhole(lockDir + "/Llinked", "");
    const struct {
        const char* name;
        std::function<void(const std::string&)> plant;
        const char* why;
    } cases[] = {
        {"symlink", [&](const std::string& at) { std::filesystem::create_symlink(dir.File("victim"), at); },
         "a symbolic link"},
        {"fifo", [](const std::string& at) { ::mkfifo(at.c_str(), 0644); }, "not a regular file"},
        {"directory", [](const std::string& at) { ::mkdir(at.c_str(), 0700); }, "not a regular file"},
        {"hardlink", [&](const std::string& at) { ::link((lockDir + "/Llinked").c_str(), at.c_str()); },
         "2 links (must be 1)"},
    };
    for (const auto& c : cases) {
        const std::string lockFile = lockDir + "/L" + c.name;
        c.plant(lockFile);
        IdxNamedMutex mutex(c.name);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(mutex.lock(-1)) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << c.name;
        EXPECT_EQ(mutex.failureReason(), "Lock file [" + lockFile + "] unsafe: " + c.why);
    }
    EXPECT_EQ(ReadWhole(dir.File("victim")), "precious");
    EXPECT_EQ(StatOf(dir.File("victim")).st_mode & 07777, 0644u);
}

// A directory that someone else could empty or swap is refused, with its reason.
TEST(IdxNamedMutex, UnsafeLockDirectoryIsRefused) {
    enum Kind { kDirectory, kSymlinkWithSlash, kFile, kShared };  // kShared: a directory named as the default
    const struct {
        Kind kind;
        mode_t mode;
        uid_t owner;  // other than ours: only when running as root
        const char* why;
    } cases[] = {
        {kDirectory, 0770, 0, "writable by others without the sticky bit"},
        {kSymlinkWithSlash, 0, 0, "a symbolic link"},
        {kFile, 0, 0, "not a directory"},
        {kDirectory, 0700, kNobody, "owned by uid 65534 (must be root or the caller)"},
        {kShared, 01777, kNobody, "owned by uid 65534 (must be root)"},
    };
    for (const auto& c : cases) {
        if (c.owner != 0 && !Root()) continue;
        TempDir dir;
        SharedDirectoryAt restore(I2::Utils::SharedLockDirectory());
        const std::string lockDir = dir.File("unsafe");
        if (c.kind == kSymlinkWithSlash) std::filesystem::create_symlink(dir.File("locks"), lockDir);
        if (c.kind == kFile) WriteWhole(lockDir, "");
        if (c.kind == kDirectory || c.kind == kShared) {
            ::mkdir(lockDir.c_str(), 0700);
            ::chmod(lockDir.c_str(), c.mode);
            ASSERT_EQ(c.owner == 0 ? 0 : ::chown(lockDir.c_str(), c.owner, c.owner), 0);
        }
        if (c.kind == kShared) {
            I2::Utils::SharedLockDirectory() = lockDir;
            ::unsetenv("IDXREPORTS_LOCK_DIR");
        } else {
            ::setenv("IDXREPORTS_LOCK_DIR", (lockDir + (c.kind == kSymlinkWithSlash ? "/" : "")).c_str(), 1);
        }
        IdxNamedMutex mutex("unsafe");
        EXPECT_FALSE(mutex.lock(1)) << c.why;
        EXPECT_EQ(mutex.failureReason(), "Lock directory [" + lockDir + "] unsafe: " + c.why);
        EXPECT_TRUE(Entries(dir.File("locks")).empty()) << c.why;
        if (std::filesystem::is_directory(lockDir)) {
            EXPECT_TRUE(Entries(lockDir).empty()) << c.why;
        }
    }
}

TEST(IdxNamedMutex, MissingLockDirectoryIsCreatedPrivate) {
    TempDir dir;
    const std::string fresh = dir.File("fresh");
    ::setenv("IDXREPORTS_LOCK_DIR", fresh.c_str(), 1);
    IdxNamedMutex mutex("fresh");
    ASSERT_TRUE(mutex.lock(1));
    struct stat st {};
    ASSERT_EQ(::lstat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(Entries(fresh).size(), 1u);
    ASSERT_EQ(::stat(Entries(fresh)[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(IdxNamedMutex, FailingLockCallReturnsFalseWithoutWaiting) {
    TempDir dir;
    I2::Utils::ScopedSysCalls scoped;
    I2::Utils::Sys().flock = [](int, int) {
        errno = ENOLCK;
        return -1;
    };
    IdxNamedMutex mutex("no-locks");
    EXPECT_FALSE(mutex.lock(-1));
    EXPECT_FALSE(mutex.isLocked());
    EXPECT_EQ(mutex.failureReason(), "Failed to lock [" + dir.File("locks/Lno-locks") + "]: No locks available");
}

// With fs.protected_regular, O_CREAT on another user's file in a sticky shared
// directory fails with EACCES even for root: an existing lock file must be
// opened without it, also when it appears between the two opens.
TEST(IdxNamedMutex, ExistingLockFileIsOpenedWithoutCreating) {
    TempDir dir;
    ASSERT_TRUE(IdxNamedMutex("existing").lock(1));
    I2::Utils::ScopedSysCalls scoped;
    I2::Utils::Sys().openat = [](int dirFd, const char* path, int flags, mode_t mode) {
        if ((flags & O_CREAT) == 0) return I2::Utils::RealSysCalls().openat(dirFd, path, flags, mode);
        errno = EACCES;
        return -1;
    };
    EXPECT_TRUE(IdxNamedMutex("existing").lock(1));

    static int plainOpens;
    plainOpens = 0;
    I2::Utils::Sys().openat = [](int dirFd, const char* path, int flags, mode_t mode) {
        if ((flags & O_CREAT) == 0 && plainOpens++ == 0) {
            errno = ENOENT;  // not there yet; made by another process before our O_EXCL
            return -1;
        }
        return I2::Utils::RealSysCalls().openat(dirFd, path, flags, mode);
    };
    IdxNamedMutex racing("existing");
    EXPECT_TRUE(racing.lock(1)) << racing.failureReason();
    EXPECT_EQ(plainOpens, 2);
}

// Every spelling of one file gives one path, so every spelling takes one lock.
TEST(IdxNamedMutex, LockNameIsOneForEverySpellingOfAPath) {
    TempDir dir;
    const std::string real = std::filesystem::canonical(dir.Path()).string() + "/real";
    std::filesystem::create_directory(dir.File("real"));
    std::filesystem::create_directory_symlink(dir.File("real"), dir.File("link"));
    std::filesystem::create_symlink(dir.File("elsewhere"), dir.File("real/file-link"));
    const std::string saved = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.File("real"));
    const struct {
        std::string given, canonical;
    } cases[] = {
        {dir.File("real/r.csv"), real + "/r.csv"},
        {dir.File("link/r.csv"), real + "/r.csv"},
        {dir.Path() + "//real///r.csv", real + "/r.csv"},
        {dir.File("real/./../real/r.csv"), real + "/r.csv"},
        {dir.File("link/../real/r.csv"), real + "/r.csv"},  // ".." of the link's target
        {"r.csv", real + "/r.csv"},
        {"../link/r.csv", real + "/r.csv"},
        {dir.File("link/new/deeper/r.csv"), real + "/new/deeper/r.csv"},
        {dir.File("link/new/../r.csv"), real + "/r.csv"},
        {dir.File("link/file-link"), real + "/file-link"},  // the file itself is not followed
        {"/", "/"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(I2::Utils::CanonicalPath(c.given), c.canonical) << c.given;
    std::filesystem::current_path(saved);

    EXPECT_EQ(I2::Utils::LockNameOfPath("/nonexistent-idxreports/b/r.csv"), "_nonexistent-idxreports_b_r.csv");
    EXPECT_EQ(I2::Utils::LockNameOfPath(dir.File("link/r.csv")), I2::Utils::LockNameOfPath(real + "/r.csv"));
}

}  // namespace
