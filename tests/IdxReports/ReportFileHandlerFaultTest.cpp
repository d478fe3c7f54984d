// Failures the file handler must survive or report: full disks, short writes,
// read errors, crashed writers, moves across file systems, and the faults we
// mended (each test named after its fault).

#include <IdxReports/ReportFileHandler.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <platform/internal/SysCalls.h>
#include <IdxReports/ReportLineTriage.h>

#include <IdxReports/IdxReportsTestSupport.h>

namespace I2::test {
namespace {

using I2::Utils::RealSysCalls;
using I2::Utils::ScopedSysCalls;
using I2::Utils::Sys;
using Fields = std::vector<std::string>;

class ReportFileHandlerFaultTest : public HandlerTest {};

// --- injected system-call failures ----------------------------------------

// write(2) that lets `g_writeBudget` more bytes through, then fails with ENOSPC.
size_t g_writeBudget = 0;
ssize_t WriteWithinBudget(int fd, const void* buffer, size_t length) {
    if (g_writeBudget == 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t n = RealSysCalls().write(fd, buffer, std::min(length, g_writeBudget));
    if (n > 0) g_writeBudget -= static_cast<size_t>(n);
    return n;
}

ssize_t FailingRead(int, void*, size_t, off_t) {
    errno = EIO;
    return -1;
}

// rename(2) that claims `g_crossDeviceSource` lives on another file system.
std::string g_crossDeviceSource;
int CrossDeviceRename(const char* from, const char* to) {
    if (g_crossDeviceSource == from) {
        errno = EXDEV;
        return -1;
    }
    return RealSysCalls().rename(from, to);
}

// fstatat(2) after which the directory's owner renames `g_swapFrom` over the
// report "r.csv", once: between a rewrite's look at the report and its read.
std::string g_swapFrom, g_swapInto;
int SwappingFstatat(int dirfd, const char* name, struct stat* st, int flags) {
    const int result = RealSysCalls().fstatat(dirfd, name, st, flags);
    if (!g_swapFrom.empty() && dirfd != AT_FDCWD && std::strcmp(name, "r.csv") == 0) {
        RealSysCalls().rename(g_swapFrom.c_str(), g_swapInto.c_str());
        g_swapFrom.clear();
    }
    return result;
}

// --- mended faults ----------------------------------------------------------

// Fault: a rewrite gave its new file the owner and mode of the report it had
// looked at, then read the content by the name again: a private file renamed
// over the report in between came out whole under the report's wider mode.
TEST_F(ReportFileHandlerFaultTest, RewriteGaveAnotherFilesContentTheReportsMode) {
    const std::string report = Path("r.csv");
    const std::string secret = Path("secret");
    WriteAll(report, "h\na\n");
    ASSERT_EQ(chmod(report.c_str(), 0644), 0);
    WriteAll(secret, "h\nsecret\n");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    ScopedSysCalls restore;
    g_swapFrom = secret;
    g_swapInto = report;
    Sys().fstatat = SwappingFstatat;
    ReportFileHandler own;
    std::size_t moved = 0;
    const CQiError err = ReportLineTriage::Sort(
        own, report, nullptr, [](std::string_view, std::string_view, std::string&) { return ReportLineFate::Keep; },
        "test", moved);
    EXPECT_TRUE(g_swapFrom.empty()) << "the report was never looked at";
    struct stat st {};
    ASSERT_EQ(stat(report.c_str(), &st), 0);
    if (ReadAll(report).find("secret") != std::string::npos) {
        EXPECT_EQ(st.st_mode & 07777, 0600u) << err.Describe();
    }
}

// Fault: a failed Open left the lock it took held, with no Close to release it.
TEST_F(ReportFileHandlerFaultTest, FailedOpenReleasesLock) {
    const std::string path = Path("a-directory.csv");
    std::filesystem::create_directory(path);
    ReportFileHandler handler;
    const CQiError err = handler.Open(path, kOut | kApp);
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "Could not open report file [" + path + "] in mode [17]");
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_EQ(handler.GetFullPath(), path);
    EXPECT_EQ(handler.GetOpenMode(), kOut | kApp);
    EXPECT_TRUE(LockIsFree(path));

    // The handler is usable afterwards, and its lock works.
    const std::string good = Path("r.csv");
    ASSERT_FALSE(handler.Open(good, kOut | kApp).IsError());
    EXPECT_FALSE(LockIsFree(good));
}

// Fault: a write the disk refused was reported as success. A full disk is a
// regular file whose every write fails: a device at a report's name is refused.
TEST_F(ReportFileHandlerFaultTest, FullDiskWriteIsReportedByFlushAndPutLine) {
    ScopedSysCalls restore;
    Sys().write = WriteWithinBudget;
    g_writeBudget = 0;
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(Path("full.csv"), kOut | kApp).IsError());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    ASSERT_FALSE(handler.PutLine("h").IsError());  // still in memory
    CQiError err = handler.Flush();
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to flush to report");
    EXPECT_EQ(err.GetSystemErrNo(), ENOSPC);
    EXPECT_TRUE(handler.HasHeader());  // still waiting to be written

    for (int i = 1; i < 1000; ++i) ASSERT_FALSE(handler.PutLine("x").IsError());
    EXPECT_EQ(handler.GetLineCount(), 999u);
    err = handler.PutLine("x");  // the thousandth line flushes
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to flush to report");
    ASSERT_EQ(err.GetTrace().size(), 2u);
    EXPECT_NE(err.GetTrace()[1].function.find("PutLine"), std::string::npos);
    EXPECT_EQ(handler.GetLineCount(), 0u);  // the lost lines are not counted

    err = handler.PutLine(std::string(70 * 1024, 'y'));  // too big to keep: handed over at once
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to write to report");
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_TRUE(handler.Sync().IsError());
    handler.Close();
}

// Fault: a write cut short (a full disk mid-write) left a torn line in the file.
TEST_F(ReportFileHandlerFaultTest, ShortWriteIsCutBackToLastWholeLine) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, "h\na\n", kOut | kApp);
    {
        ScopedSysCalls restore;
        Sys().write = WriteWithinBudget;
        g_writeBudget = 5;
        for (int i = 0; i < 3; ++i) ASSERT_FALSE(handler.PutLine("bbbbbbbb").IsError());
        const CQiError err = handler.Flush();
        EXPECT_EQ(err.GetErrNo(), 150);
        EXPECT_EQ(err.GetMessage(), "Failed to flush to report");
        EXPECT_EQ(ReadAll(path), "h\na\n");
        EXPECT_EQ(handler.GetLineCount(), 1u);

        // A hand-over of PutLine's own fails the same way, with its own message.
        g_writeBudget = 1000;
        const std::string line(1000, 'c');
        CQiError put;
        for (int i = 0; i < 100 && !put.IsError(); ++i) put = handler.PutLine(line);
        EXPECT_EQ(put.GetErrNo(), 150);
        EXPECT_EQ(put.GetMessage(), "Failed to write to report");
        EXPECT_EQ(ReadAll(path), "h\na\n");
        EXPECT_EQ(handler.GetLineCount(), 1u);
    }
    ASSERT_FALSE(handler.PutLine("z").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(path), "h\na\nz\n");
}

// A header line that could not be written stays waiting, so data lines never
// reach the file without it.
TEST_F(ReportFileHandlerFaultTest, HeaderLineSurvivesAFailedWrite) {
    const std::string path = Path("r.csv");
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kTrunc).IsError());
    ASSERT_FALSE(handler.PutLine("H").IsError());
    ASSERT_FALSE(handler.PutLine("lost").IsError());
    {
        ScopedSysCalls restore;
        Sys().write = WriteWithinBudget;
        g_writeBudget = 1;
        EXPECT_TRUE(handler.Flush().IsError());
    }
    EXPECT_EQ(ReadAll(path), "");
    EXPECT_TRUE(handler.HasHeader());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    ASSERT_FALSE(handler.PutLine("y").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(path), "H\ny\n");
}

// Fault: the static Copy did not notice read or write failures on the way.
TEST_F(ReportFileHandlerFaultTest, CopyReportsReadAndWriteFailures) {
    const std::string source = Path("r.csv");
    const std::string target = Path("copy.csv");
    WriteAll(source, "h\na\n");
    ScopedSysCalls restore;
    Sys().write = WriteWithinBudget;
    g_writeBudget = 2;
    CQiError err = ReportFileHandler::Copy(source, target);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetSystemErrNo(), ENOSPC);
    EXPECT_NE(err.GetMessage().find(target), std::string::npos);

    Sys() = RealSysCalls();
    Sys().pread = FailingRead;
    err = ReportFileHandler::Copy(source, target);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetSystemErrNo(), EIO);
    EXPECT_NE(err.GetMessage().find(source), std::string::npos);
}

// Fault: a failure re-coded as 150 lost the system's reason, so a user saw only
// "Failed to write" and never why.
TEST_F(ReportFileHandlerFaultTest, RecodedFailuresKeepTheSystemsReason) {
    const std::string source = Path("r.csv");
    const std::string target = Path("copy.csv");
    WriteAll(source, "h\na\n");
    ScopedSysCalls restore;
    Sys().write = WriteWithinBudget;
    g_writeBudget = 0;
    const CQiError copy = ReportFileHandler::Copy(source, target);
    EXPECT_EQ(copy.GetCause().GetMessage(), "Failed to write [" + target + "]: " + std::string(std::strerror(ENOSPC)));
    EXPECT_FALSE(copy.GetCause().GetTrace().empty());
    EXPECT_NE(copy.Describe().find("\ncaused by: " + copy.GetCause().GetMessage() + "\n  at "), std::string::npos)
        << copy.Describe();

    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(Path("full.csv"), kOut | kApp).IsError());
    ASSERT_FALSE(handler.PutLine("h").IsError());
    const CQiError flush = handler.Flush();
    EXPECT_EQ(flush.GetMessage(), "Failed to flush to report");
    EXPECT_EQ(flush.GetCause().GetSystemErrNo(), ENOSPC);

    // Running out of lines is no failure of the system: nothing to keep.
    ReportFileHandler reader;
    ASSERT_FALSE(reader.Open(source, kIn).IsError());
    std::string line;
    while (!reader.GetLine(line).IsError()) {
    }
    const CQiError atEnd = reader.GetLine(line);
    EXPECT_EQ(atEnd.GetErrNo(), 150);
    EXPECT_FALSE(atEnd.GetCause().IsError());
}

// Fault: Move deleted the target before it knew the source could be copied.
TEST_F(ReportFileHandlerFaultTest, MoveNeverLosesTheTarget) {
    const std::string source = Path("incoming.csv");
    const std::string target = Path("r.csv");
    WriteAll(target, "target\n");
    const CQiError err = ReportFileHandler::Move(source, target);
    EXPECT_EQ(err.GetErrNo(), 2);
    EXPECT_EQ(ReadAll(target), "target\n");

    // Across file systems: copied beside the target, then renamed over it.
    WriteAll(source, "source\n");
    {
        ScopedSysCalls restore;
        g_crossDeviceSource = source;
        Sys().rename = CrossDeviceRename;
        ASSERT_FALSE(ReportFileHandler::Move(source, target).IsError());
    }
    EXPECT_EQ(ReadAll(target), "source\n");
    EXPECT_FALSE(Exists(source));
    EXPECT_FALSE(Exists(target + ".tmp"));

    // A copy that fails across file systems leaves both files as they were.
    WriteAll(source, "newer\n");
    {
        ScopedSysCalls restore;
        g_crossDeviceSource = source;
        Sys().rename = CrossDeviceRename;
        Sys().write = WriteWithinBudget;
        g_writeBudget = 2;
        EXPECT_EQ(ReportFileHandler::Move(source, target).GetErrNo(), 150);
    }
    EXPECT_EQ(ReadAll(target), "source\n");
    EXPECT_EQ(ReadAll(source), "newer\n");
    EXPECT_FALSE(Exists(target + ".tmp"));
}

TEST_F(ReportFileHandlerFaultTest, MoveAcrossRealFileSystems) {
    char pattern[] = "/dev/shm/idxreports-handler-XXXXXX";
    if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm";
    const std::string other = pattern;
    struct stat here {}, there {};
    if (stat(dir.c_str(), &here) != 0 || stat(other.c_str(), &there) != 0 || here.st_dev == there.st_dev) {
        std::filesystem::remove_all(other);
        GTEST_SKIP() << "one file system only";
    }
    const std::string source = other + "/r.csv";
    const std::string target = Path("r.csv");
    WriteAll(source, "h\na\n");
    WriteAll(target, "old\n");
    const CQiError err = ReportFileHandler::Move(source, target);
    EXPECT_FALSE(err.IsError()) << err.Describe();
    EXPECT_EQ(ReadAll(target), "h\na\n");
    EXPECT_FALSE(Exists(source));
    EXPECT_FALSE(Exists(target + ".tmp"));
    std::filesystem::remove_all(other);
}

// Fault: the member Move reopened with the stored mode, whose `trunc` (or `out`
// alone) emptied the file just moved.
TEST_F(ReportFileHandlerFaultTest, MemberMoveKeepsTheMovedContent) {
    const std::string path = Path("r.csv");
    const std::string moved = Path("moved.csv");
    for (const Mode mode : {kOut | kTrunc, kOut | kApp}) {
        SCOPED_TRACE(static_cast<int>(mode));
        std::filesystem::remove(path);
        ReportFileHandler handler;
        ASSERT_FALSE(handler.Open(path, mode).IsError());
        ASSERT_FALSE(handler.PutLine("h").IsError());
        ASSERT_FALSE(handler.PutLine("a").IsError());
        ASSERT_FALSE(handler.PutLine("b").IsError());
        ASSERT_FALSE(handler.Move(moved).IsError());
        EXPECT_EQ(handler.GetFullPath(), moved);
        EXPECT_EQ(handler.GetOpenMode(), kOut);
        EXPECT_EQ(handler.GetLineCount(), 2u);
        EXPECT_TRUE(handler.HasHeader());
        ASSERT_FALSE(handler.PutLine("c").IsError());
        handler.Close();
        EXPECT_EQ(ReadAll(moved), "h\na\nb\nc\n");
        EXPECT_FALSE(Exists(path));
    }
}

// Fault: a writer appended its first line to a last line torn by a crash,
// gluing two records into one; starting on a new line instead left the
// fragment standing among the rows for good.
TEST_F(ReportFileHandlerFaultTest, TornLastLineIsNotGluedToTheNextLine) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, "h\na\nto", kIn);
    handler.Close();
    EXPECT_EQ(ReadAll(path), "h\na\nto") << "a reader moves nothing";

    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    EXPECT_EQ(handler.GetLinesSetAside(), 1u);
    EXPECT_EQ(handler.GetLineCount(), 1u);
    ASSERT_FALSE(handler.PutLine("b").IsError());
    ASSERT_FALSE(handler.PutLine("c").IsError());
    EXPECT_EQ(handler.GetLineCount(), 3u);
    size_t count = 0;
    ASSERT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, 3u);
    handler.Close();
    EXPECT_EQ(ReadAll(path), "h\na\nb\nc\n");
    EXPECT_NE(ReadAll(path + ".bad").find("\n3\tto\n"), std::string::npos) << ReadAll(path + ".bad");

    // Once per crash: the next writer finds nothing to move.
    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    EXPECT_EQ(handler.GetLinesSetAside(), 0u);
    handler.Close();

    // A torn header line is a tail too: moved, and the report starts afresh.
    WriteAll(path, "h");
    ASSERT_FALSE(handler.Open(path, kIn | kOut | kApp).IsError());
    EXPECT_FALSE(handler.HasHeader());
    ASSERT_FALSE(handler.PutLine("x").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(path), "x\n");
    EXPECT_NE(ReadAll(path + ".bad").find("\n1\th\n"), std::string::npos) << ReadAll(path + ".bad");
}

// Fault: a writer's Open counted every line of the file, so one append to a
// report without a record limit cost more the older the report grew.
TEST_F(ReportFileHandlerFaultTest, WriterOpenReadTheWholeFileToCountItsLines) {
    const std::string path = Path("big.csv");
    std::string content = "h\n";
    for (int i = 0; content.size() < (4u << 20); ++i) content += std::to_string(i) + ",row\n";
    const size_t lines = static_cast<size_t>(std::count(content.begin(), content.end(), '\n')) - 1;
    // No torn tail: setting one aside copies the file, once per crash.
    WriteAll(path, content);
    Testing::FaultInjector injector;
    int reads = 0;
    injector.OnRead([&](const std::string& read) { reads += read == path; });

    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    // The header line's block and the last byte, through the descriptor the
    // writer appends through: none of it grows with the file.
    EXPECT_LE(reads, 2);
    EXPECT_TRUE(handler.HasHeader());
    ASSERT_FALSE(handler.PutLine("new").IsError());
    // Counted when asked, as Open counted.
    EXPECT_EQ(handler.GetLineCount(), lines + 1);
    const int afterCount = reads;
    EXPECT_EQ(handler.GetLineCount(), lines + 1);
    EXPECT_EQ(reads, afterCount);  // once
    handler.Close();
    EXPECT_TRUE(ReadAll(path) == content + "new\n");

    // A count that starts only after a cut back knows the file is empty.
    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    ASSERT_FALSE(handler.TruncateToHeader().IsError());
    ASSERT_FALSE(handler.PutLine("x").IsError());
    EXPECT_EQ(handler.GetLineCount(), 1u);
}

// Fault: the lock kept the name of the first path the handler ever locked, so
// a reopened or moved handler wrote a file under another file's lock.
TEST_F(ReportFileHandlerFaultTest, LockFollowsTheFile) {
    const std::string first = Path("first.csv");
    const std::string second = Path("second.csv");
    const std::string third = Path("third.csv");
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(first, kOut | kApp).IsError());
    EXPECT_FALSE(LockIsFree(first));
    handler.Close();

    ASSERT_FALSE(handler.Open(second, kOut | kApp).IsError());
    EXPECT_FALSE(LockIsFree(second));
    EXPECT_TRUE(LockIsFree(first));

    ASSERT_FALSE(handler.Move(third).IsError());
    EXPECT_FALSE(LockIsFree(third));
    EXPECT_TRUE(LockIsFree(second));
    handler.Close();
    EXPECT_TRUE(LockIsFree(third));

    // Through a linked directory, with and without the kernel naming the
    // directory opened (no /proc): the lock of the real path either way, so
    // both spellings meet on one lock.
    const std::string real = Path("real");
    const std::string link = Path("link");
    ASSERT_EQ(::mkdir(real.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    for (const bool procAnswers : {true, false}) {
        SCOPED_TRACE(procAnswers ? "named by the kernel" : "no /proc");
        ScopedSysCalls restore;
        if (!procAnswers) {
            Sys().readlink = [](const char*, char*, size_t) -> ssize_t {
                errno = ENOENT;
                return -1;
            };
        }
        ASSERT_FALSE(handler.Open(link + "/r.csv", kOut | kApp).IsError());
        EXPECT_FALSE(LockIsFree(real + "/r.csv"));
        handler.Close();
        EXPECT_TRUE(LockIsFree(real + "/r.csv"));
    }
}

// Fault: after a read ran out the read position could not be taken, so a walk
// failed to restore it.
TEST_F(ReportFileHandlerFaultTest, TraversalAfterReadingRanOutRestoresPosition) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, "h\na,1\n", kIn);
    Fields fields;
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());  // ran out
    std::string line;
    EXPECT_TRUE(handler.GetLine(line).IsError());

    size_t walked = 0;
    EXPECT_FALSE(handler.ForEachLine([&](std::string&) {
        ++walked;
        return CQiError::Success();
    }).IsError());
    EXPECT_EQ(walked, 1u);
    EXPECT_FALSE(handler.FindIfLine([](std::string&) { return false; }).IsError());
    size_t count = 0;
    EXPECT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, 1u);

    // Reading goes on where it had stopped: with the line added since.
    ReportFileHandler writer;
    ASSERT_FALSE(writer.Open(path, kOut | kApp).IsError());
    ASSERT_FALSE(writer.PutLine("b,2").IsError());
    writer.Close();
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(fields, (Fields{"a", "1", "b", "2"}));
}

// Fault: `out` alone emptied an existing file and `in|out` wrote over its first
// lines, while the handler kept the old header and count.
TEST_F(ReportFileHandlerFaultTest, OutAloneAndInOutAppendToAnExistingFile) {
    for (const Mode mode : {kOut, kIn | kOut, kIn | kOut | kAte}) {
        SCOPED_TRACE(static_cast<int>(mode));
        ReportFileHandler handler;
        const std::string path = OpenWith(handler, "h\na\nb\n", mode, "r" + std::to_string(static_cast<int>(mode)));
        EXPECT_EQ(handler.GetOpenMode(), mode);
        EXPECT_EQ(handler.GetLineCount(), 2u);
        ASSERT_FALSE(handler.PutLine("c").IsError());
        EXPECT_EQ(handler.GetLineCount(), 3u);
        handler.Close();
        EXPECT_EQ(ReadAll(path), "h\na\nb\nc\n");
    }
}

// --- other failures ---------------------------------------------------------

// A read error is not the end of the file: walks and counts report it instead
// of passing a partial result for a whole one.
TEST_F(ReportFileHandlerFaultTest, ReadErrorsAreReportedNotTakenForEndOfFile) {
    ReportFileHandler handler;
    OpenWith(handler, "h\na\nb\n", kIn);
    ScopedSysCalls restore;
    Sys().pread = FailingRead;
    std::string line;
    CQiError err = handler.GetLine(line);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to get line from report");
    EXPECT_EQ(err.GetSystemErrNo(), EIO);
    size_t calls = 0;
    EXPECT_TRUE(handler.ForEachLine([&](std::string&) {
        ++calls;
        return CQiError::Success();
    }).IsError());
    EXPECT_EQ(calls, 0u);
    EXPECT_TRUE(handler.FindIfLine([](std::string&) { return false; }).IsError());
    Fields fields;
    EXPECT_FALSE(handler.Reset(0).IsError());
    EXPECT_TRUE(handler.GetRecord(fields, ',').IsError());
    size_t count = 0;
    EXPECT_TRUE(handler.Count(count).IsError());
}

std::string NumberedLine(size_t i) {
    // Lengths vary so that lines fall across every block and page boundary.
    return "L" + std::to_string(i) + "-" + std::string(i * 7919 % 300, 'x') + ".";
}

// Runs `write` in a child process that ends by SIGKILL (sent by itself or by
// `killer`), and returns the lines it left.
template <typename Killer>
Fields LinesLeftByKilledWriter(const std::string& path, size_t stopAfter, Killer killer) {
    const pid_t child = fork();
    if (child == 0) {
        ReportFileHandler writer;
        if (writer.Open(path, kOut | kApp).IsError() || writer.PutLine("header").IsError()) _exit(1);
        for (size_t i = 1; i != stopAfter; ++i) {
            if (writer.PutLine(NumberedLine(i)).IsError()) _exit(2);
        }
        raise(SIGKILL);  // no Close: the lines still in memory die with the process
    }
    EXPECT_GT(child, 0);
    if (child <= 0) return {};
    killer(child);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ReportFileHandler reader;
    EXPECT_FALSE(reader.Open(path, kIn).IsError());
    return AllLines(reader);
}

// A writer that dies between writes leaves exactly the lines it had handed to
// the system, each whole; the lines it still held are simply missing.
TEST_F(ReportFileHandlerFaultTest, KilledWriterLeavesOnlyWholeLines) {
    const std::string path = Path("r.csv");
    const Fields lines = LinesLeftByKilledWriter(path, 5000, [](pid_t) {});
    const std::string content = ReadAll(path);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    ASSERT_GT(lines.size(), 1000u);  // at least up to the flush of the thousandth line
    EXPECT_LT(lines.size(), 5000u);  // and not what was still in memory
    EXPECT_EQ(lines[0], "header");
    for (size_t i = 1; i < lines.size(); ++i) ASSERT_EQ(lines[i], NumberedLine(i)) << "line " << i;
}

// Killed at a random moment, a writer can still be caught inside the system's
// write, which the kernel may then stop at a page boundary. Only the last line
// can be torn that way: readers never see it, and the next writer moves it to
// FILE.bad and starts after the whole lines, so every record stays whole and
// the counts agree.
TEST_F(ReportFileHandlerFaultTest, WriterKilledAtRandomTearsAtMostItsLastLine) {
    const std::string path = Path("r.csv");
    const Fields lines = LinesLeftByKilledWriter(path, 0, [&](pid_t child) {
        std::error_code ignored;
        while (std::filesystem::file_size(path, ignored) < 4 * 1024 * 1024 || ignored) {
            int status = 0;
            if (waitpid(child, &status, WNOHANG) != 0) return;  // ended by itself: the checks below fail
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(child, SIGKILL);
    });
    const std::string content = ReadAll(path);
    const std::string whole = content.substr(0, content.rfind('\n') + 1);
    const std::string tail = content.substr(whole.size());
    ASSERT_GT(lines.size(), 1u);
    EXPECT_EQ(lines[0], "header");
    for (size_t i = 1; i < lines.size(); ++i) ASSERT_EQ(lines[i], NumberedLine(i)) << "line " << i;
    if (!tail.empty()) {
        EXPECT_EQ(NumberedLine(lines.size()).compare(0, tail.size(), tail), 0) << tail;
        EXPECT_EQ(content.size() % static_cast<size_t>(sysconf(_SC_PAGESIZE)), 0u);
    }

    ReportFileHandler next;
    ASSERT_FALSE(next.Open(path, kOut | kApp).IsError());  // the dead writer's lock is free
    EXPECT_EQ(next.GetLinesSetAside(), tail.empty() ? 0u : 1u);
    EXPECT_EQ(next.GetLineCount(), lines.size() - 1);
    ASSERT_FALSE(next.PutLine("after").IsError());
    size_t count = 0;
    ASSERT_FALSE(next.Count(count).IsError());
    EXPECT_EQ(count, lines.size());
    next.Close();
    EXPECT_EQ(ReadAll(path), whole + "after\n");
    if (!tail.empty()) {
        EXPECT_NE(ReadAll(path + ".bad").find("\t" + tail + "\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace I2::test
