#pragma once

// Runs the real idxreport binary with captured output, and writes report files
// through the library for it to read.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
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

// Runs idxreport with `args`; stdin is `input` (empty unless given) and stdout
// and stderr are files, so the tool sees no terminal. The tool inherits
// IDXREPORTS_LOCK_DIR from the TempDir of the test.
inline ToolResult RunTool(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
    const std::string outPath = dir.File(".tool-stdout");
    const std::string errPath = dir.File(".tool-stderr");
    const std::string inPath = dir.File(".tool-stdin");
    WriteWhole(inPath, input);
    std::vector<char*> argv;
    std::string binary = IDXREPORT_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    ToolResult result;
    pid_t child = ::fork();
    if (child == 0) {
        int in = ::open(inPath.c_str(), O_RDONLY);
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
    ::unlink(inPath.c_str());
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

// A command line, the exit code it must give, and text its stdout and stderr
// must hold (empty: not checked; "=" first: exactly what follows).
struct ToolCase {
    ToolCase(std::vector<std::string> a, int c, std::string o = "", std::string e = "", std::string i = "")
        : args(std::move(a)), code(c), out(std::move(o)), err(std::move(e)), input(std::move(i)) {}
    std::vector<std::string> args;
    int code;
    std::string out;
    std::string err;
    std::string input;
};

inline void ExpectText(const std::string& actual, const std::string& expected, const std::string& what) {
    if (expected.empty()) return;
    if (expected[0] == '=')
        EXPECT_EQ(actual, expected.substr(1)) << what;
    else
        EXPECT_NE(actual.find(expected), std::string::npos) << what << ": " << actual;
}

// Runs every case; a failure names the command line.
inline void RunCases(const TempDir& dir, const std::vector<ToolCase>& cases) {
    for (const ToolCase& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += arg + " ";
        const ToolResult result = RunTool(dir, c.args, c.input);
        EXPECT_EQ(result.code, c.code) << shown << "\nout: " << result.out << "\nerr: " << result.err;
        ExpectText(result.out, c.out, shown + "(stdout)");
        ExpectText(result.err, c.err, shown + "(stderr)");
    }
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
