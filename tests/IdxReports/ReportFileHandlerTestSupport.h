#pragma once

// Shared by the file handler's tests: a private directory per test (with its own
// lock directory), whole-file helpers, and a way to see a named lock from outside.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <IdxReports/ReportFileHandler.h>
#include <platform/IdxNamedMutex.h>

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
