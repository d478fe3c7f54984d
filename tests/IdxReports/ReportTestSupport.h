#pragma once

// What the tests of the report template and of the concrete reports share:
// checking results, reading a file's lines, asking whether a report's lock is
// free, and failing or watching the system calls made on chosen files.

#include <cerrno>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/QiError.h>
#include <platform/internal/SysCalls.h>
#include <platform/PlatformTestSupport.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportFileHandlerTestSupport.h>

#define EXPECT_OK(expr)                                                      \
    do {                                                                     \
        const CQiError expectOkResult = (expr);                              \
        EXPECT_FALSE(expectOkResult.IsError()) << expectOkResult.Describe(); \
    } while (0)

#define ASSERT_OK(expr)                                                      \
    do {                                                                     \
        const CQiError assertOkResult = (expr);                              \
        ASSERT_FALSE(assertOkResult.IsError()) << assertOkResult.Describe(); \
    } while (0)

namespace I2::Testing {

// Whether a file exists, and whether another holder could take the lock of the
// report at `path` now: the handler's tests ask the same.
using test::Exists;
using test::LockIsFree;

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadWhole(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Fails or watches system calls on files whose path ends with a given suffix.
// One at a time per process; the real table is back when it goes out of scope.
class FaultInjector {
public:
    using Watch = std::function<void(const std::string& path)>;

    FaultInjector() {
        State().Reset();
        I2::Utils::SysCalls& sys = I2::Utils::Sys();
        sys.open = &Open;
        sys.close = &Close;
        sys.write = &Write;
        sys.fsync = &Fsync;
        sys.rename = &Rename;
        sys.ftruncate = &Ftruncate;
        sys.pread = &Pread;
    }
    ~FaultInjector() { State().Reset(); }
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    void FailWrites(const std::string& suffix) { State().failWrite = suffix; }
    void FailSyncs(const std::string& suffix) { State().failSync = suffix; }
    // A rename onto a path with this suffix fails.
    void FailRenames(const std::string& suffix) { State().failRename = suffix; }
    void Clear() {
        State().failWrite.clear();
        State().failSync.clear();
        State().failRename.clear();
    }
    // Called with the target before each rename, and with the file's path before
    // each truncation and read.
    void OnRename(Watch watch) { State().onRename = std::move(watch); }
    void OnTruncate(Watch watch) { State().onTruncate = std::move(watch); }
    void OnRead(Watch watch) { State().onRead = std::move(watch); }

private:
    struct Hooks {
        std::mutex mutex;
        std::map<int, std::string> paths;  // open descriptors
        std::string failWrite, failSync, failRename;
        Watch onRename, onTruncate, onRead;

        void Reset() {
            std::lock_guard<std::mutex> lock(mutex);
            paths.clear();
            failWrite.clear();
            failSync.clear();
            failRename.clear();
            onRename = onTruncate = onRead = nullptr;
        }
    };

    static Hooks& State() {
        static Hooks hooks;
        return hooks;
    }
    static bool EndsWith(const std::string& text, const std::string& suffix) {
        return !suffix.empty() && text.size() >= suffix.size() &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    static std::string PathOf(int fd) {
        std::lock_guard<std::mutex> lock(State().mutex);
        auto found = State().paths.find(fd);
        return found == State().paths.end() ? std::string() : found->second;
    }
    static void Call(const Watch& watch, const std::string& path) {
        if (watch && !path.empty()) watch(path);
    }

    static int Open(const char* path, int flags, mode_t mode) {
        const int fd = I2::Utils::RealSysCalls().open(path, flags, mode);
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(State().mutex);
            State().paths[fd] = path;
        }
        return fd;
    }
    static int Close(int fd) {
        {
            std::lock_guard<std::mutex> lock(State().mutex);
            State().paths.erase(fd);
        }
        return I2::Utils::RealSysCalls().close(fd);
    }
    static ssize_t Write(int fd, const void* buffer, size_t length) {
        if (EndsWith(PathOf(fd), State().failWrite)) {
            errno = ENOSPC;
            return -1;
        }
        return I2::Utils::RealSysCalls().write(fd, buffer, length);
    }
    static int Fsync(int fd) {
        if (EndsWith(PathOf(fd), State().failSync)) {
            errno = EIO;
            return -1;
        }
        return I2::Utils::RealSysCalls().fsync(fd);
    }
    static int Rename(const char* from, const char* to) {
        Call(State().onRename, to);
        if (EndsWith(to, State().failRename)) {
            errno = EIO;
            return -1;
        }
        return I2::Utils::RealSysCalls().rename(from, to);
    }
    static int Ftruncate(int fd, off_t length) {
        Call(State().onTruncate, PathOf(fd));
        return I2::Utils::RealSysCalls().ftruncate(fd, length);
    }
    static ssize_t Pread(int fd, void* buffer, size_t length, off_t offset) {
        Call(State().onRead, PathOf(fd));
        return I2::Utils::RealSysCalls().pread(fd, buffer, length, offset);
    }

    I2::Utils::ScopedSysCalls restore;
};

// A watch for FaultInjector: counts the calls on `file` in `calls`, and expects
// at each that the lock of `report` is held, so no other writer can slip in.
inline FaultInjector::Watch ExpectLockHeldAt(const std::string& file, const std::string& report, int& calls) {
    return [file, report, &calls](const std::string& path) {
        if (path != file) return;
        ++calls;
        EXPECT_FALSE(LockIsFree(report)) << "another writer could change " << report << " here";
    };
}

}  // namespace I2::Testing
