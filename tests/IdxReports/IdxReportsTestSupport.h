#pragma once

// What the tests of the file handler, the codec and the report template share:
// a private directory per test (with its own lock directory), whole-file
// helpers, a way to see a named lock from outside, failing or watching the
// system calls made on chosen files, and a small record and report to drive
// the template with.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <platform/QiError.h>
#include <platform/IdxNamedMutex.h>
#include <platform/internal/SysCalls.h>
#include <platform/PlatformTestSupport.h>
#include <IdxReports/Report.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportRecord.h>

namespace I2::test {

using Mode = ReportFileHandler::OpenMode_t;
constexpr Mode kIn = std::ios_base::in;
constexpr Mode kOut = std::ios_base::out;
constexpr Mode kApp = std::ios_base::app;
constexpr Mode kTrunc = std::ios_base::trunc;
constexpr Mode kAte = std::ios_base::ate;

inline void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

class HandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/idxreports-handler-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Lock files of this test only, so that tests running at once never meet.
        setenv("IDXREPORTS_LOCK_DIR", (dir + "/locks").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    // Writes `content` as the file `name` and opens `handler` on it; the path.
    std::string OpenWith(ReportFileHandler& handler, const std::string& content, Mode mode,
                         const std::string& name = "r.csv") {
        const std::string path = Path(name);
        WriteAll(path, content);
        const CQiError err = handler.Open(path, mode);
        EXPECT_FALSE(err.IsError()) << err.Describe();
        return path;
    }

    std::string dir;
};

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// The names in `directory` that begin with `prefix`, sorted.
inline std::vector<std::string> ListDirectory(const std::string& directory, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Whether anybody holds the lock of `path`. Asked from another thread: a second
// lock object in the holder's own thread is refused at once by design.
inline bool LockIsFree(const std::string& path) {
    bool free = false;
    std::thread probe([&] {
        I2::Utils::IdxNamedMutex mutex(ReportFileHandler::LockNameOf(path));
        free = mutex.lock(1);
        if (free) mutex.unlock();
    });
    probe.join();
    return free;
}

// Every line of the handler as GetLine returns it, from the start.
inline std::vector<std::string> AllLines(ReportFileHandler& handler) {
    std::vector<std::string> lines;
    std::string line;
    EXPECT_FALSE(handler.Reset(0).IsError());
    while (!handler.GetLine(line).IsError()) lines.push_back(line);
    return lines;
}

}  // namespace I2::test

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
        sys.openat = &OpenAt;
        sys.renameat = &RenameAt;
        sys.renameat2 = &RenameAt2;
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
    // Every exchange of two names fails as on a file system without it (EINVAL).
    void RefuseExchanges() { State().refuseExchange = true; }
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
        bool refuseExchange = false;
        Watch onRename, onTruncate, onRead;

        void Reset() {
            std::lock_guard<std::mutex> lock(mutex);
            paths.clear();
            failWrite.clear();
            failSync.clear();
            failRename.clear();
            refuseExchange = false;
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
    // Calls relative to a directory descriptor are matched on the path they reach.
    static std::string PathAt(int dirfd, const char* name) {
        if (dirfd == AT_FDCWD || name[0] == '/') return name;
        char target[4096];
        const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
        const ssize_t got = readlink(link.c_str(), target, sizeof target - 1);
        return got <= 0 ? std::string(name) : std::string(target, static_cast<size_t>(got)) + "/" + name;
    }
    static int OpenAt(int dirfd, const char* name, int flags, mode_t mode) {
        const int fd = I2::Utils::RealSysCalls().openat(dirfd, name, flags, mode);
        if (fd >= 0) {
            std::lock_guard<std::mutex> lock(State().mutex);
            State().paths[fd] = PathAt(dirfd, name);
        }
        return fd;
    }
    static int RenameAt(int fromDirfd, const char* from, int toDirfd, const char* to) {
        const std::string target = PathAt(toDirfd, to);
        Call(State().onRename, target);
        if (EndsWith(target, State().failRename)) {
            errno = EIO;
            return -1;
        }
        return I2::Utils::RealSysCalls().renameat(fromDirfd, from, toDirfd, to);
    }
    static int RenameAt2(int fromDirfd, const char* from, int toDirfd, const char* to, unsigned flags) {
        const std::string target = PathAt(toDirfd, to);
        Call(State().onRename, target);
        if (State().refuseExchange && (flags & RENAME_EXCHANGE)) {
            errno = EINVAL;
            return -1;
        }
        if (EndsWith(target, State().failRename)) {
            errno = EIO;
            return -1;
        }
        return I2::Utils::RealSysCalls().renameat2(fromDirfd, from, toDirfd, to, flags);
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

// A small record for exercising the template: Id, Name (text), Value.
//   7,alpha,2.5    "7,alpha" reads with Value 0    "x" is rejected (code 22)
// Lines with fewer than two or more than three fields are rejected, so tests
// can plant a line that does not convert.
class TestRecord : public ReportRecord {
public:
    TestRecord() = default;
    TestRecord(int idValue, std::string nameValue, double valueValue)
        : id(idValue), name(std::move(nameValue)), value(valueValue) {}

    void DebugMe() override {}

    std::string ToString() override {
        std::string line;
        AppendField(line, id);
        line.push_back(GetColumnSeparator());
        AppendText(line, name);
        line.push_back(GetColumnSeparator());
        AppendField(line, value);
        return line;
    }

    CQiError FromString(const std::string& line) override {
        thread_local std::vector<std::string_view> fields;
        SplitViews(line, fields);
        if (fields.size() < 2 || fields.size() > 3) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "Invalid line can't be converted to TestRecord");
        }
        id = StringToField<int>(fields[0], -1);
        name = UnquoteText(fields[1]);
        value = fields.size() > 2 ? StringToField<double>(fields[2], 0.0) : 0.0;
        return CQiError::Success();
    }

    int id = 0;
    std::string name;
    double value = 0.0;
};

inline std::vector<std::string> TestColumns() {
    return {"Id", "Name", "Value"};
}

// Rotates once it holds three data lines.
class SmallReport : public Report<TestRecord, 3, ','> {
public:
    std::vector<std::string> GetHeader() const override { return TestColumns(); }
};

// Grows without limit.
class TestReport : public Report<TestRecord, -1, ','> {
public:
    std::vector<std::string> GetHeader() const override { return TestColumns(); }
};

}  // namespace I2::Testing
