#include <platform/DbgLog.h>

#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/PlatformTestSupport.h"

extern char** environ;

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

// Installs a capturing sink and a level for one test, restoring the defaults after.
class CapturedLog {
public:
    explicit CapturedLog(int level) {
        EvDebug::SetDebugLevel(level);
        EvDebug::SetDebugSink([this](const std::string& tag, const std::string& line) {
            lines.emplace_back(tag, line);  // unguarded on purpose: the sink is serialised
        });
    }
    ~CapturedLog() {
        EvDebug::SetDebugSink(nullptr);
        EvDebug::SetDebugLevel(-1);
    }
    Lines lines;
};

TEST(EvDebug, SinkReceivesFormattedLinesUnderTheirTag) {
    CapturedLog log(7);
    I2::Utils::DbgLogger logger;
    ASSERT_EQ(logger.getDebugLevel(), 7);
    if (logger.getDebugLevel() > 6) logger.Debug("void F()", "opened [%s] in mode [%d]", "r.csv", 17);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], (std::make_pair(std::string("void F()"), std::string("opened [r.csv] in mode [17]"))));
}

TEST(EvDebug, GuardedLinesAreNotWrittenAtTheDefaultLevel) {
    CapturedLog log(-1);
    EvDebug logger;
    if (logger.getDebugLevel() > 6) logger.Debug("tag", "hidden");
    EXPECT_TRUE(log.lines.empty());
}

TEST(EvDebug, LinesFromManyThreadsAreSerialised) {
    CapturedLog log(7);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            EvDebug logger;
            for (int i = 0; i < 250; ++i) logger.Debug("t", "%d:%d", t, i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(log.lines.size(), 1000u);
}

// Runs this binary again on one child test with `environment` added; true when it passed.
bool RunChild(const char* test, std::vector<std::string> environment) {
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("IDXREPORTS_DEBUG_LEVEL=", 0) != 0) environment.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string filter = std::string("--gtest_filter=") + test;
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), nullptr};
    pid_t child = -1;
    if (posix_spawn(&child, exe, nullptr, nullptr, argv, envp.data()) != 0) return false;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Child side of the tests below; skipped when run on its own.
TEST(EvDebugChild, ReportsLevelAndWritesToStderr) {
    const char* expected = std::getenv("IDXREPORTS_TEST_EXPECTED_LEVEL");
    if (expected == nullptr) GTEST_SKIP() << "runs only as a child";
    EvDebug logger;
    EXPECT_EQ(logger.getDebugLevel(), std::atoi(expected));
    if (const char* stderrFile = std::getenv("IDXREPORTS_TEST_STDERR")) {
        ASSERT_NE(std::freopen(stderrFile, "w", stderr), nullptr);
        logger.Debug("tag", "line %d", 1);
        logger.Debug("", "bare");
        std::fflush(stderr);
    }
}

TEST(EvDebug, LevelComesFromTheEnvironment) {
    const char* test = "EvDebugChild.ReportsLevelAndWritesToStderr";
    EXPECT_TRUE(RunChild(test, {"IDXREPORTS_DEBUG_LEVEL=9", "IDXREPORTS_TEST_EXPECTED_LEVEL=9"}));
    EXPECT_TRUE(RunChild(test, {"IDXREPORTS_TEST_EXPECTED_LEVEL=-1"}));
    EXPECT_TRUE(RunChild(test, {"IDXREPORTS_DEBUG_LEVEL=7x", "IDXREPORTS_TEST_EXPECTED_LEVEL=-1"}));
}

TEST(EvDebug, DefaultSinkWritesTaggedLinesToStderr) {
    I2::Testing::TempDir dir;
    const std::string captured = dir.File("stderr.txt");
    ASSERT_TRUE(RunChild("EvDebugChild.ReportsLevelAndWritesToStderr",
                         {"IDXREPORTS_TEST_EXPECTED_LEVEL=-1", "IDXREPORTS_TEST_STDERR=" + captured}));
    EXPECT_EQ(I2::Testing::ReadWhole(captured), "tag: line 1\nbare\n");
}

}  // namespace
