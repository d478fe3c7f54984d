#pragma once

// Runs the real idxreport binary with captured output, and writes report files
// through the library for it to read.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/PlatformTestSupport.h>
#include <platform/QiError.h>

namespace I2::Testing {

struct ToolResult {
    int code = -1;  // the exit code, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

// Runs idxreport with `args`; stdin is empty and stdout and stderr are files,
// so the tool sees no terminal. The tool inherits IDXREPORTS_LOCK_DIR from the
// TempDir of the test.
inline ToolResult RunTool(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string outPath = dir.File(".tool-stdout");
    const std::string errPath = dir.File(".tool-stderr");
    std::vector<char*> argv;
    std::string binary = IDXREPORT_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    ToolResult result;
    pid_t child = ::fork();
    if (child == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        ADD_FAILURE() << "could not run " << binary;
        return result;
    }
    if (WIFEXITED(status)) result.code = WEXITSTATUS(status);
    result.out = ReadWhole(outPath);
    result.err = ReadWhole(errPath);
    ::unlink(outPath.c_str());
    ::unlink(errPath.c_str());
    return result;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A library call that must succeed while a test prepares its files.
#define ASSERT_LIB_OK(expr)                                                  \
    do {                                                                     \
        const CQiError libResult = (expr);                                   \
        ASSERT_FALSE(libResult.IsError()) << libResult.Describe();           \
    } while (0)

// A usage or runtime error: exactly one line on stderr, in the tool's form.
#define EXPECT_ONE_ERROR_LINE(result)                                        \
    do {                                                                     \
        const auto errorLines = ::I2::Testing::Lines((result).err);          \
        ASSERT_EQ(errorLines.size(), 1u) << (result).err;                    \
        EXPECT_EQ(errorLines[0].rfind("idxreport: ", 0), 0u) << (result).err; \
    } while (0)

}  // namespace I2::Testing
