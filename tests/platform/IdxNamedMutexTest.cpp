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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

TEST(IdxNamedMutex, ExcludesAnotherProcessUntilItDies) {
    TempDir dir;
    const std::string name = "_tmp_cross_process.csv";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        IdxNamedMutex held(name);
        const char report = held.lock(-1) ? '1' : '0';
        (void)::write(ready[1], &report, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char report = 0;
    ASSERT_EQ(::read(ready[0], &report, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(report, '1');

    IdxNamedMutex mine(name);
    EXPECT_FALSE(mine.lock(200));
    EXPECT_FALSE(mine.isLocked());

    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // The kernel dropped the dead holder's lock before waitpid returned.
    EXPECT_TRUE(mine.lock(1));
    EXPECT_TRUE(mine.isLocked());
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

TEST(IdxNamedMutex, SymlinkInPlaceOfLockFileIsNotFollowed) {
    TempDir dir;
    const std::string lockDir = dir.File("locks");
    { IdxNamedMutex("planted").lock(1); }
    ASSERT_EQ(Entries(lockDir).size(), 1u);
    const std::string lockFile = Entries(lockDir)[0];
    WriteWhole(dir.File("victim"), "precious");
    ::chmod(dir.File("victim").c_str(), 0644);
    std::filesystem::remove(lockFile);
    std::filesystem::create_symlink(dir.File("victim"), lockFile);

    IdxNamedMutex mutex("planted");
    EXPECT_FALSE(mutex.lock(1));
    EXPECT_EQ(ReadWhole(dir.File("victim")), "precious");
    struct stat st {};
    ASSERT_EQ(::stat(dir.File("victim").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(IdxNamedMutex, UnsafeLockDirectoryIsRefused) {
    TempDir dir;
    const std::string shared = dir.File("shared");
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 0770);
    ::setenv("IDXREPORTS_LOCK_DIR", shared.c_str(), 1);
    EXPECT_FALSE(IdxNamedMutex("unsafe").lock(1));
    EXPECT_TRUE(Entries(shared).empty());

    const std::string link = dir.File("link");
    std::filesystem::create_symlink(dir.File("locks"), link);
    ::setenv("IDXREPORTS_LOCK_DIR", (link + "/").c_str(), 1);
    EXPECT_FALSE(IdxNamedMutex("unsafe").lock(1));
    EXPECT_TRUE(Entries(dir.File("locks")).empty());

    if (::geteuid() == 0) {
        const std::string foreign = dir.File("foreign");
        std::filesystem::create_directory(foreign);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ::setenv("IDXREPORTS_LOCK_DIR", foreign.c_str(), 1);
        EXPECT_FALSE(IdxNamedMutex("unsafe").lock(1));
        EXPECT_TRUE(Entries(foreign).empty());
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
    I2::Utils::Sys().fcntl_lock = [](int, int, struct flock*) {
        errno = ENOLCK;
        return -1;
    };
    IdxNamedMutex mutex("no-locks");
    EXPECT_FALSE(mutex.lock(-1));
    EXPECT_FALSE(mutex.isLocked());
}

}  // namespace
