#pragma once

// Runs the real idxreport binary with captured output, and writes report files
// through the library for it to read.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/PlatformTestSupport.h>
#include <platform/QiError.h>

namespace I2::Testing {

struct ToolResult {
    int code = -1;  // the exit code, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

enum class Stdin { File, Pipe };

// Runs idxreport with `args`; stdin is `input` (empty unless given), from a
// file or through a pipe, which can be read only once; stdout and stderr are
// files, so the tool sees no terminal. The tool inherits IDXREPORTS_LOCK_DIR
// from the TempDir of the test.
inline ToolResult RunTool(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "",
                          Stdin from = Stdin::File) {
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

    int pipeFds[2] = {-1, -1};
    if (from == Stdin::Pipe && ::pipe(pipeFds) != 0) ADD_FAILURE() << "no pipe";
    ToolResult result;
    pid_t child = ::fork();
    if (child == 0) {
        int in = from == Stdin::Pipe ? pipeFds[0] : ::open(inPath.c_str(), O_RDONLY);
        if (from == Stdin::Pipe) ::close(pipeFds[1]);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (from == Stdin::Pipe) {
        ::close(pipeFds[0]);
        // The tool's output goes to files, so it reads all of this without
        // waiting for anyone; a tool that stops early closes the pipe.
        ::signal(SIGPIPE, SIG_IGN);
        for (std::size_t done = 0; done < input.size();) {
            const ssize_t n = ::write(pipeFds[1], input.data() + done, input.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(pipeFds[1]);
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

struct DiskSample {
    long time;
    unsigned long long freeBytes;
    const char* alert;
};

// Appends `samples` to the disk-samples file of `diskKey` in `directory`
// through the library, as an index server does, and returns the file's path.
inline std::string WriteDiskSamples(const std::string& directory, const std::string& diskKey,
                                    const std::vector<DiskSample>& samples) {
    const std::string path = LogicalDiskReport::GetFilePath(directory, diskKey);
    LogicalDiskReport report;
    CQiError error = report.Open(path, std::ios::out | std::ios::app, false);
    for (const DiskSample& s : samples) {
        if (error.IsError()) break;
        LogicalDiskRecord record;
        record.SetTime(s.time);
        record.SetDiskFree(s.freeBytes);
        record.SetDiskSize(s.freeBytes * 2);
        record.SetAlert(s.alert);
        error = report.AddRecord(record);
    }
    EXPECT_FALSE(error.IsError()) << error.Describe();
    return path;
}

// --- other programs, and services a test starts on the loopback ---------------

// `name` looked up in PATH and the usual system directories (Debian installs
// node_exporter as /usr/bin/prometheus-node-exporter), or empty.
inline std::string FindProgram(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/bin:/usr/sbin:/bin:/sbin";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::string();
}

// A program running in the background, its stdin from `input` (a file; empty
// for /dev/null) and its output in files under the test's directory. It is
// stopped (SIGTERM, then SIGKILL after five seconds) when the object goes away,
// whatever the test's outcome, so no service outlives its test.
class ChildProcess {
public:
    ChildProcess(const TempDir& dir, std::vector<std::string> args, const std::string& input = "") {
        static int serial = 0;
        const std::string stem = dir.File(".child-" + std::to_string(++serial));
        outPath_ = stem + ".out";
        errPath_ = stem + ".err";
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string in = input.empty() ? "/dev/null" : input;
        pid_ = ::fork();
        if (pid_ == 0) {
            int inFd = ::open(in.c_str(), O_RDONLY);
            int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (inFd < 0 || out < 0 || err < 0) ::_exit(127);
            ::dup2(inFd, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (pid_ < 0) ADD_FAILURE() << "could not start " << args[0];
    }
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Running() {
        if (pid_ <= 0) return false;
        if (::waitpid(pid_, &status_, WNOHANG) != pid_) return true;
        pid_ = 0;
        return false;
    }
    // The exit code once it has ended; -1 when it did not exit normally.
    int Wait() {
        if (pid_ > 0 && ::waitpid(pid_, &status_, 0) == pid_) pid_ = 0;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    void Stop() {
        if (!Running()) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 50 && Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (Running()) ::kill(pid_, SIGKILL);
        Wait();
    }
    std::string Out() const { return ReadWhole(outPath_); }
    std::string Err() const { return ReadWhole(errPath_); }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string outPath_;
    std::string errPath_;
};

// Runs `args` (the program's full path first) to its end.
inline ToolResult RunProgram(const TempDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
    ChildProcess child(dir, args, input);
    ToolResult result;
    result.code = child.Wait();
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

// A TCP port on 127.0.0.1 that was free a moment ago: the kernel's choice for
// port 0. A service started on it may still lose a race for it, so callers
// retry with another port when the service does not come up.
inline int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

// GET http://127.0.0.1:PORT/path over HTTP/1.0 (the server closes the connection
// after the body, so no chunking to undo). True with the body for status 200.
inline bool HttpGet(int port, const std::string& path, std::string& body) {
    body.clear();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t got;
            while ((got = ::read(fd, buffer, sizeof buffer)) > 0) response.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    const std::size_t headerEnd = response.find("\r\n\r\n");
    if (response.compare(0, 12, "HTTP/1.0 200") != 0 && response.compare(0, 12, "HTTP/1.1 200") != 0) return false;
    if (headerEnd == std::string::npos) return false;
    body = response.substr(headerEnd + 4);
    return true;
}

}  // namespace I2::Testing
