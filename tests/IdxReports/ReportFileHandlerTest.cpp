#include <IdxReports/ReportFileHandler.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <platform/DbgLog.h>
#include <platform/QiDirectoryHandle.h>
#include <IdxReports/ReportBadLines.h>

#include <IdxReports/IdxReportsTestSupport.h>

namespace I2::test {
namespace {

using Fields = std::vector<std::string>;

class ReportFileHandlerTest : public HandlerTest {};

const char kOldContent[] = "h\na\nb\nc\n";  // a header line and three data lines

// What each writing mode stores, what it finds in the file, and what the file
// holds after a header (when missing) and one line "x" are put.
TEST_F(ReportFileHandlerTest, WritingModesStoreAdjustedModeAndKeepHeaderAndCount) {
    struct Case {
        Mode mode;
        bool existing;
        Mode stored;
        const char* header;
        size_t count;
        const char* after;
    };
    const Case cases[] = {
        {kOut | kApp, false, kOut, "", 0, "H\nx\n"},
        {kOut | kApp, true, kOut | kApp, "h", 3, "h\na\nb\nc\nx\n"},
        {kOut | kTrunc | kApp, true, kOut | kTrunc, "", 0, "H\nx\n"},
        {kOut | kTrunc | kApp, false, kOut | kTrunc, "", 0, "H\nx\n"},
        {kOut | kTrunc, true, kOut | kTrunc, "", 0, "H\nx\n"},
        {kIn | kOut | kApp, false, kOut, "", 0, "H\nx\n"},
        {kIn | kOut | kApp, true, kIn | kOut | kApp, "h", 3, "h\na\nb\nc\nx\n"},
        {kIn | kOut | kTrunc, true, kIn | kOut | kTrunc, "", 0, "H\nx\n"},
        {kOut | kApp | kAte, true, kOut | kApp | kAte, "h", 3, "h\na\nb\nc\nx\n"},
        {kOut, false, kOut, "", 0, "H\nx\n"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(c.mode)) + (c.existing ? " existing" : " missing"));
        const std::string path = Path("r" + std::to_string(index++) + ".csv");
        if (c.existing) WriteAll(path, kOldContent);
        ReportFileHandler handler;
        ASSERT_FALSE(handler.Open(path, c.mode).IsError());
        EXPECT_EQ(handler.GetOpenMode(), c.stored);
        EXPECT_EQ(handler.HasHeader(), *c.header != '\0');
        EXPECT_EQ(handler.GetLineCount(), c.count);
        if (!handler.HasHeader()) {
            ASSERT_FALSE(handler.PutLine("H").IsError());
        }
        ASSERT_FALSE(handler.PutLine("x").IsError());
        EXPECT_EQ(handler.GetLineCount(), c.count + 1);
        handler.Close();
        EXPECT_EQ(ReadAll(path), c.after);
    }
}

TEST_F(ReportFileHandlerTest, ReaderGetsHeaderButNoCountNoLockAndNoWrites) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, kOldContent, kIn);
    EXPECT_TRUE(handler.IsOpen());
    EXPECT_EQ(handler.GetOpenMode(), kIn);
    Fields header;
    ASSERT_FALSE(handler.GetHeader(header, ',').IsError());
    EXPECT_EQ(header, Fields{"h"});
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_TRUE(LockIsFree(path));
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "h");

    const CQiError err = handler.PutLine("x");  // a reader cannot write
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to write to report");
    handler.Close();
    EXPECT_EQ(ReadAll(path), kOldContent);
}

TEST_F(ReportFileHandlerTest, ReaderOfMissingFileFailsNamingPathAndMode) {
    const std::string path = Path("missing.csv");
    ReportFileHandler handler;
    const CQiError err = handler.Open(path, kIn);
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "Could not open report file [" + path + "] in mode [8]");
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_EQ(handler.GetFullPath(), path);
    EXPECT_FALSE(Exists(path));
}

// Modes a standard file buffer refuses fail the open and leave the file alone.
TEST_F(ReportFileHandlerTest, RefusedModesFailWithoutTouchingTheFile) {
    const std::string path = Path("r.csv");
    WriteAll(path, kOldContent);
    for (const Mode mode : {Mode{}, kTrunc, kIn | kTrunc, kTrunc | kApp, kAte}) {
        SCOPED_TRACE(static_cast<int>(mode));
        ReportFileHandler handler;
        const CQiError err = handler.Open(path, mode);
        EXPECT_EQ(err.GetErrNo(), 22);
        EXPECT_EQ(err.GetMessage(),
                  "Could not open report file [" + path + "] in mode [" + std::to_string(static_cast<int>(mode)) + "]");
        EXPECT_FALSE(handler.IsOpen());
        EXPECT_EQ(ReadAll(path), kOldContent);
    }
}

TEST_F(ReportFileHandlerTest, OpenOnOpenHandlerFailsAndChangesNothing) {
    const std::string path = Path("r.csv");
    const std::string other = Path("other.csv");
    WriteAll(path, kOldContent);
    std::vector<std::pair<std::string, std::string>> lines;
    EvDebug::SetDebugSink([&](const std::string& tag, const std::string& line) { lines.emplace_back(tag, line); });
    const int savedLevel = EvDebug().getDebugLevel();

    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    ASSERT_FALSE(handler.PutLine("d").IsError());
    EvDebug::SetDebugLevel(-1);
    CQiError err = handler.Open(other, kIn);
    EvDebug::SetDebugLevel(2);
    const CQiError again = handler.Open(other, kOut | kTrunc);
    EvDebug::SetDebugLevel(savedLevel);
    EvDebug::SetDebugSink({});

    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "File is already open.");
    EXPECT_EQ(again.GetErrNo(), 22);
    EXPECT_TRUE(handler.IsOpen());
    EXPECT_EQ(handler.GetFullPath(), path);
    EXPECT_EQ(handler.GetOpenMode(), kOut | kApp);
    EXPECT_EQ(handler.GetLineCount(), 4u);
    EXPECT_TRUE(handler.HasHeader());
    EXPECT_FALSE(Exists(other));
    // The misuse is visible even at the default level; the tag only from level 2.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, "");
    EXPECT_EQ(lines[0].second, "File [" + other + "] is already open.");
    EXPECT_NE(lines[1].first.find("ReportFileHandler::Open"), std::string::npos);
    handler.Close();
    EXPECT_EQ(ReadAll(path), std::string(kOldContent) + "d\n");
}

TEST_F(ReportFileHandlerTest, MissingParentDirectoriesAreCreated) {
    ReportFileHandler handler;
    EXPECT_FALSE(handler.CheckPath(Path("a/b/c.csv")).IsError());
    EXPECT_TRUE(std::filesystem::is_directory(Path("a/b")));
    EXPECT_FALSE(Exists(Path("a/b/c.csv")));
    EXPECT_FALSE(handler.CheckPath(Path("a/b/c.csv")).IsError());
    EXPECT_FALSE(handler.CheckPath("bare.csv").IsError());  // the current directory
    ASSERT_FALSE(handler.Open(Path("x/y/r.csv"), kOut | kApp).IsError());  // a writer's Open checks too
    EXPECT_TRUE(Exists(Path("x/y/r.csv")));
    WriteAll(Path("file"), "");
    EXPECT_TRUE(handler.CheckPath(Path("file/sub/r.csv")).IsError());
}

// Fault: writers followed a link planted at the report's name (appending to,
// emptying or creating the file it named) and hung on a FIFO there. A second
// hard link is refused to writers; a symlinked directory above the report is
// an administrator's and is followed.
TEST_F(ReportFileHandlerTest, WriterFollowedALinkOrASecondNameAtTheReportsName) {
    const std::string report = Path("r.csv");
    const std::string elsewhere = Path("elsewhere");
    enum class Plant { Link, Dangling, Fifo, HardLink };
    for (const Plant plant : {Plant::Link, Plant::Dangling, Plant::Fifo, Plant::HardLink}) {
        SCOPED_TRACE(static_cast<int>(plant));
        std::filesystem::remove(report);
        std::filesystem::remove(elsewhere);
        if (plant != Plant::Dangling) WriteAll(elsewhere, "kept\n");
        int planted = 0;
        if (plant == Plant::Link || plant == Plant::Dangling) planted = symlink("elsewhere", report.c_str());
        if (plant == Plant::Fifo) planted = mkfifo(report.c_str(), 0600);
        if (plant == Plant::HardLink) planted = link(elsewhere.c_str(), report.c_str());
        ASSERT_EQ(planted, 0);
        for (const auto mode : {kOut | kApp, kOut | kTrunc, kIn}) {
            ReportFileHandler handler;
            const CQiError err = handler.Open(report, mode);
            if (plant == Plant::HardLink && mode == kIn) {
                EXPECT_FALSE(err.IsError()) << err.Describe();  // reading it harms no one
                continue;
            }
            EXPECT_EQ(err.GetErrNo(), 22) << err.Describe();
            EXPECT_NE(err.Describe().find(plant == Plant::HardLink ? "hard links"
                                          : plant == Plant::Fifo   ? "a FIFO"
                                                                   : "a symbolic link"),
                      std::string::npos)
                << err.Describe();
            EXPECT_FALSE(handler.IsOpen());
            EXPECT_TRUE(LockIsFree(report));
        }
        // The static Copy meets the same plants at either of its names.
        const std::string source = Path("source.csv");
        WriteAll(source, kOldContent);
        const CQiError into = ReportFileHandler::Copy(source, report);
        EXPECT_EQ(into.GetErrNo(), 150) << into.Describe();
        EXPECT_EQ(into.GetCause().GetErrNo(), 22) << into.Describe();
        const CQiError from = ReportFileHandler::Copy(report, Path("copy.csv"));
        EXPECT_EQ(from.GetErrNo(), plant == Plant::HardLink ? 0 : 150) << from.Describe();
        EXPECT_EQ(Exists(Path("copy.csv")), plant == Plant::HardLink);
        std::filesystem::remove(Path("copy.csv"));
        if (plant != Plant::HardLink) {
            // Nor does the static Move take one for the file it moves.
            EXPECT_EQ(ReportFileHandler::Move(report, Path("moved.csv")).GetErrNo(), 22);
            EXPECT_FALSE(std::filesystem::is_symlink(Path("moved.csv")) || Exists(Path("moved.csv")));
        }
        if (plant == Plant::Dangling) {
            EXPECT_FALSE(Exists(elsewhere)) << "created the target of a dangling link";
        } else {
            EXPECT_EQ(ReadAll(elsewhere), "kept\n");
        }
    }
    std::filesystem::remove(report);
    std::filesystem::create_directory(Path("real"));
    std::filesystem::create_directory_symlink(Path("real"), Path("linked"));
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(Path("linked/r.csv"), kOut | kApp).IsError());
    ASSERT_FALSE(handler.PutLine("h").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(Path("real/r.csv")), "h\n");
}

TEST_F(ReportFileHandlerTest, FirstLinePutBecomesTheUncountedHeader) {
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(Path("r.csv"), kOut | kTrunc).IsError());
    EXPECT_FALSE(handler.HasHeader());
    ASSERT_FALSE(handler.PutLine("a,b").IsError());
    EXPECT_TRUE(handler.HasHeader());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    ASSERT_FALSE(handler.PutLine("1,2").IsError());
    EXPECT_EQ(handler.GetLineCount(), 1u);
    Fields header{"before"};
    ASSERT_FALSE(handler.GetHeader(header, ',').IsError());
    EXPECT_EQ(header, (Fields{"before", "a", "b"}));
    handler.Close();
    EXPECT_FALSE(handler.HasHeader());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_EQ(handler.GetFullPath(), Path("r.csv"));
    EXPECT_EQ(handler.GetOpenMode(), kOut | kTrunc);
}

// Lines stay in memory (no write per line) until every thousandth data line,
// an explicit Flush, or Close.
TEST_F(ReportFileHandlerTest, LinesReachTheFileAtEveryThousandthLineFlushAndClose) {
    const std::string path = Path("r.csv");
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    ASSERT_FALSE(handler.PutLine("h").IsError());
    for (int i = 1; i < 1000; ++i) ASSERT_FALSE(handler.PutLine(std::to_string(i)).IsError());
    EXPECT_EQ(ReadAll(path), "");
    ASSERT_FALSE(handler.PutLine("1000").IsError());
    std::string expected = "h\n";
    for (int i = 1; i <= 1000; ++i) expected += std::to_string(i) + "\n";
    EXPECT_EQ(ReadAll(path), expected);
    ASSERT_FALSE(handler.PutLine("1001").IsError());
    EXPECT_EQ(ReadAll(path), expected);
    ASSERT_FALSE(handler.Flush().IsError());
    EXPECT_EQ(ReadAll(path), expected + "1001\n");
    ASSERT_FALSE(handler.PutLine("1002").IsError());
    ASSERT_FALSE(handler.Sync().IsError());
    EXPECT_EQ(ReadAll(path), expected + "1001\n1002\n");
    ASSERT_FALSE(handler.PutLine("1003").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(path), expected + "1001\n1002\n1003\n");
}

TEST_F(ReportFileHandlerTest, LongLinesAreWrittenWhole) {
    const std::string path = Path("r.csv");
    const std::string big(200 * 1024, 'b');
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kTrunc).IsError());
    ASSERT_FALSE(handler.PutLine("h").IsError());
    ASSERT_FALSE(handler.PutLine(big).IsError());
    ASSERT_FALSE(handler.PutLine("t").IsError());
    handler.Close();
    EXPECT_EQ(ReadAll(path), "h\n" + big + "\nt\n");
}

TEST_F(ReportFileHandlerTest, GetLineKeepsCarriageReturnsAndFailsAtEnd) {
    ReportFileHandler handler;
    // "last" has no "\n" yet: a line still being written is not returned.
    const std::string path = OpenWith(handler, "h\r\na\n\nlast", kIn);
    EXPECT_EQ(AllLines(handler), (Fields{"h\r", "a", ""}));
    std::string line = "stale";
    CQiError err = handler.GetLine(line);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to get line from report");
    EXPECT_EQ(line, "");
    // Once its writer ends it, a fresh reader gets the line whole, not its tail.
    std::ofstream(path, std::ios::binary | std::ios::app) << "ing\n";
    ReportFileHandler again;
    ASSERT_FALSE(again.Open(path, kIn).IsError());
    EXPECT_EQ(AllLines(again), (Fields{"h\r", "a", "", "lasting"}));
    EXPECT_EQ(line, "");
    // Reading stays failed until Reset, even when the file grows.
    WriteAll(path, "h\r\na\n\nlast\nmore\n");
    EXPECT_TRUE(handler.GetLine(line).IsError());
    ASSERT_FALSE(handler.Reset(0).IsError());
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "h\r");
    ASSERT_FALSE(handler.Reset(3).IsError());
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "a");

    err = handler.Reset(std::streampos(-1));
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "Failed to reset report file [" + path + "]");
}

// Lines of every length, across the boundaries of the read blocks, come back
// exactly, and Count agrees with a walk.
TEST_F(ReportFileHandlerTest, LinesOfAnyLengthReadBackExactly) {
    const std::string path = Path("r.csv");
    std::mt19937 random(7);
    Fields written{"header"};
    std::string content = "header\n";
    while (content.size() < 3 * 1024 * 1024) {
        const size_t length = random() % 8 == 0 ? random() % (600 * 1024) : random() % 120;
        std::string line(length, static_cast<char>('a' + written.size() % 26));
        content += line + "\n";
        written.push_back(std::move(line));
    }
    WriteAll(path, content);

    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kIn).IsError());
    EXPECT_EQ(AllLines(handler), written);
    Fields walked;
    ASSERT_FALSE(handler.ForEachLine([&](std::string& line) {
        walked.push_back(line);
        return CQiError::Success();
    }).IsError());
    EXPECT_EQ(walked, Fields(written.begin() + 1, written.end()));
    size_t count = 0;
    ASSERT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, written.size() - 1);
    handler.Close();

    ASSERT_FALSE(handler.Open(path, kOut | kApp).IsError());
    EXPECT_EQ(handler.GetLineCount(), written.size() - 1);
    EXPECT_EQ(handler.GetFullPath(), path);
}

// A line of a few hundred megabytes was read whole into memory by every read.
// Now a line past kMaxLineBytes is skipped unread: GetLine, GetRecord and
// ForEachLine fail there (code 22) and reading goes on after it; record
// readers see it as unreadable; Count still counts it; a first line that long
// is no report at all.
TEST_F(ReportFileHandlerTest, LineLongerThanTheLimitWasReadWholeIntoMemory) {
    const std::string path = Path("r.csv");
    const std::string longest(kMaxLineBytes, 'a');
    WriteAll(path, "h\n" + longest + "\n" + std::string(kMaxLineBytes + 1, 'b') + "\nlast\n");
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kIn).IsError());
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, longest);
    CQiError err = handler.GetLine(line);
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_NE(err.GetMessage().find(std::to_string(kMaxLineBytes)), std::string::npos) << err.GetMessage();
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "last");
    EXPECT_EQ(handler.GetLine(line).GetErrNo(), 150);  // the end

    ASSERT_FALSE(handler.Reset(0).IsError());
    Fields fields;
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(handler.GetRecord(fields, ',').GetErrNo(), 22);
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(fields, (Fields{longest, "last"}));

    Fields walked;
    const auto keep = [&](std::string& text) {
        walked.push_back(text.size() > 8 ? text.substr(0, 1) : text);
        return CQiError::Success();
    };
    EXPECT_EQ(handler.ForEachLine(keep).GetErrNo(), 22);
    EXPECT_EQ(walked, (Fields{"a"}));
    walked.clear();
    int unreadable = 0;
    ASSERT_FALSE(handler.ForEachLineOrUnreadable([&](std::string& text, const CQiError& why) {
        unreadable += why.GetErrNo() == 22 && text.empty();
        return why.IsError() ? CQiError::Success() : keep(text);
    }).IsError());
    EXPECT_EQ(walked, (Fields{"a", "last"}));
    EXPECT_EQ(unreadable, 1);
    walked.clear();
    ASSERT_FALSE(handler.FindIfLine([&](std::string& text) { return keep(text), false; }).IsError());
    EXPECT_EQ(walked, (Fields{"a", "last"}));
    size_t count = 0;
    ASSERT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, 3u);
    handler.Close();

    WriteAll(path, std::string(kMaxLineBytes + 1, 'h') + "\n1,2");
    const std::string before = ReadAll(path);
    for (const auto mode : {kIn, kOut | kApp}) {
        err = handler.Open(path, mode);
        EXPECT_EQ(err.GetErrNo(), 22);
        EXPECT_NE(err.Describe().find("no report"), std::string::npos) << err.Describe();
        EXPECT_FALSE(handler.IsOpen());
    }
    EXPECT_EQ(ReadAll(path), before) << "a file that is no report was rewritten";
}

TEST_F(ReportFileHandlerTest, ClosedHandlerReportsEachOperationsOwnError) {
    ReportFileHandler handler;
    std::string line;
    Fields fields;
    size_t count = 7;
    struct Expect {
        CQiError err;
        int code;
        std::string message;
    };
    const Expect expects[] = {
        {handler.GetLine(line), 150, "Failed to get line from report, report not open"},
        {handler.PutLine("x"), 150, "Failed to write to report, report not open"},
        {handler.Flush(), 150, "Failed to flush to report, report not open"},
        {handler.Reset(0), 22, "File is [] not open."},
        {handler.GetHeader(fields, ','), 22, "File is [] not open."},
        {handler.GetRecord(fields, ','), 22, "File is [] not open."},
        {handler.ForEachLine([](std::string&) { return CQiError::Success(); }), 22, "File is [] not open."},
        {handler.FindIfLine([](std::string&) { return true; }), 22, "File is [] not open."},
        {handler.Count(count), 22, "File is [] not open."},
    };
    for (const Expect& e : expects) {
        EXPECT_EQ(e.err.GetErrNo(), e.code) << e.message;
        EXPECT_EQ(e.err.GetMessage(), e.message);
    }
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(fields.empty());
}

TEST_F(ReportFileHandlerTest, ReadingWriterSeesItsOwnLines) {
    ReportFileHandler handler;
    OpenWith(handler, kOldContent, kIn | kOut | kApp);
    ASSERT_FALSE(handler.PutLine("d").IsError());
    EXPECT_EQ(AllLines(handler), (Fields{"h", "a", "b", "c", "d"}));
    size_t count = 0;
    ASSERT_FALSE(handler.PutLine("e").IsError());
    ASSERT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(handler.GetLineCount(), 5u);
}

TEST_F(ReportFileHandlerTest, GetRecordSkipsHeaderThenReturnsDataLinesInTurn) {
    ReportFileHandler handler;
    OpenWith(handler, "h1,h2\na,b\nc,d\n", kIn);
    Fields fields;
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(fields, (Fields{"a", "b"}));
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(fields, (Fields{"a", "b", "c", "d"}));
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    ASSERT_FALSE(handler.GetRecord(fields, ',').IsError());
    EXPECT_EQ(fields.size(), 4u);
}

TEST_F(ReportFileHandlerTest, ForEachLineWalksDataLinesAndRestoresReadPosition) {
    ReportFileHandler handler;
    OpenWith(handler, kOldContent, kIn);
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    ASSERT_FALSE(handler.GetLine(line).IsError());
    ASSERT_EQ(line, "a");

    Fields walked;
    ASSERT_FALSE(handler.ForEachLine([&](std::string& l) {
        walked.push_back(l);
        l = "changed by the callback";
        return CQiError::Success();
    }).IsError());
    EXPECT_EQ(walked, (Fields{"a", "b", "c"}));
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "b");
}

TEST_F(ReportFileHandlerTest, ForEachLineStopsAtCallbackErrorLeavingPositionAfterThatLine) {
    ReportFileHandler handler;
    OpenWith(handler, kOldContent, kIn);
    int calls = 0;
    const CQiError err = handler.ForEachLine([&](std::string& l) {
        ++calls;
        return l == "b" ? FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "bad line") : CQiError::Success();
    });
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "bad line");
    ASSERT_EQ(err.GetTrace().size(), 2u);
    EXPECT_NE(err.GetTrace()[1].function.find("ForEachLine"), std::string::npos);
    EXPECT_EQ(calls, 2);
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "c");
    // An exception from the callback was let through the library's boundary.
    const CQiError thrown = handler.ForEachLine([](std::string&) -> CQiError { throw std::runtime_error("boom"); });
    EXPECT_EQ(thrown.GetErrNo(), 22);
    EXPECT_NE(thrown.GetMessage().find("boom"), std::string::npos);
    EXPECT_EQ(handler.ForEachLine([](std::string&) -> CQiError { throw std::bad_alloc(); }).GetErrNo(), 150);
}

TEST_F(ReportFileHandlerTest, FindIfLineStopsAtFirstMatchAndRestoresPosition) {
    ReportFileHandler handler;
    OpenWith(handler, kOldContent, kIn);
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    Fields seen;
    ASSERT_FALSE(handler.FindIfLine([&](std::string& l) {
        seen.push_back(l);
        return l == "b";
    }).IsError());
    EXPECT_EQ(seen, (Fields{"a", "b"}));
    seen.clear();
    ASSERT_FALSE(handler.FindIfLine([&](std::string& l) {
        seen.push_back(l);
        return false;
    }).IsError());
    EXPECT_EQ(seen, (Fields{"a", "b", "c"}));
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "a");
}

// Count (a block scan) and a walk line by line must agree on every shape of
// file; a writer's Open counts the whole data lines, once it has moved a torn
// last line out.
TEST_F(ReportFileHandlerTest, CountAgreesWithWalkOnEveryFileShape) {
    // `expected`: what a reader counts and walks (bytes after the last "\n" are
    // no line); `whole`: what a writer counts once it has moved a torn tail out,
    // and `header` the header line it then finds. A writer reads the first 4 KiB
    // and the last byte apart only in a longer file; a header line longer than
    // that block is read on.
    const std::string longHeader(5000, 'h');
    std::string rows = "h\n";
    while (rows.size() < 4096) rows += "row\n";
    rows.resize(4096);
    rows.back() = '\n';
    const size_t rowLines = static_cast<size_t>(std::count(rows.begin(), rows.end(), '\n')) - 1;
    const struct {
        std::string content;
        size_t expected;
        size_t whole;
        std::string header;
    } cases[] = {
        {"", 0, 0, ""},
        {"h", 0, 0, ""},
        {"h\n", 0, 0, "h"},
        {"h\na", 0, 0, "h"},
        {"h\na\n", 1, 1, "h"},
        {"h\n\n", 1, 1, "h"},
        {"h\n\n\n", 2, 2, "h"},
        {"h\na\n\nb", 2, 2, "h"},
        {"\n", 0, 0, ""},
        {"\n\n", 1, 1, ""},
        {"h\r\na\r\n", 1, 1, "h\r"},
        {rows, rowLines, rowLines, "h"},
        {rows + "a", rowLines, rowLines, "h"},
        {rows + "a\n", rowLines + 1, rowLines + 1, "h"},
        {rows.substr(0, 4095) + "ab", rowLines - 1, rowLines - 1, "h"},
        {"h\n" + std::string(5000, 'a'), 0, 0, "h"},
        {longHeader + "\na\n", 1, 1, longHeader},
        {longHeader + "\na", 0, 0, longHeader},
        {longHeader, 0, 0, ""},
    };
    int index = 0;
    for (const auto& [content, expected, whole, header] : cases) {
        SCOPED_TRACE(::testing::PrintToString(content.substr(0, 40)) + " of " + std::to_string(content.size()));
        const std::string path = Path("r" + std::to_string(index++) + ".csv");
        WriteAll(path, content);
        ReportFileHandler reader;
        ASSERT_FALSE(reader.Open(path, kIn).IsError());
        size_t count = 99;
        ASSERT_FALSE(reader.Count(count).IsError());
        EXPECT_EQ(count, expected);
        size_t walked = 0;
        ASSERT_FALSE(reader.ForEachLine([&](std::string&) {
            ++walked;
            return CQiError::Success();
        }).IsError());
        EXPECT_EQ(walked, expected);
        reader.Close();
        ReportFileHandler writer;
        ASSERT_FALSE(writer.Open(path, kOut | kApp).IsError());
        EXPECT_EQ(writer.GetLineCount(), whole);
        Fields fields;
        ASSERT_FALSE(writer.GetHeader(fields, '\t').IsError());
        EXPECT_EQ(fields, header.empty() ? Fields{} : Fields{header});
        writer.Close();
        // Nothing torn is left in the report once a writer opened it.
        const std::string after = ReadAll(path);
        EXPECT_TRUE(after.empty() || after.back() == '\n');
    }
}

TEST_F(ReportFileHandlerTest, CountLeavesReadPositionAlone) {
    ReportFileHandler handler;
    OpenWith(handler, kOldContent, kIn);
    std::string line;
    ASSERT_FALSE(handler.GetLine(line).IsError());
    size_t count = 0;
    ASSERT_FALSE(handler.Count(count).IsError());
    EXPECT_EQ(count, 3u);
    ASSERT_FALSE(handler.GetLine(line).IsError());
    EXPECT_EQ(line, "a");
}

TEST_F(ReportFileHandlerTest, SplitLineFollowsItsRules) {
    const std::pair<std::string, Fields> cases[] = {
        {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}},
        {"a,b,", {"a", "b"}},
        {"", {}},
        {",", {""}},
        {",,", {"", ""}},
        {"a", {"a"}},
        {"\"x,y\",z", {"\"x", "y\"", "z"}},  // no quoting
        {" a ,b\r", {" a ", "b\r"}},         // no trimming
        {std::string("a\0b,c", 5), {std::string("a\0b", 3), "c"}},
    };
    ReportFileHandler handler;
    for (const auto& [line, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(line));
        Fields fields{"kept"};
        ASSERT_FALSE(handler.SplitLine(line, fields, ',').IsError());
        Fields want{"kept"};
        want.insert(want.end(), expected.begin(), expected.end());
        EXPECT_EQ(fields, want);
    }
    Fields fields;
    ASSERT_FALSE(handler.SplitLine("a;b,c;", fields, ';').IsError());
    EXPECT_EQ(fields, (Fields{"a", "b,c"}));
}

TEST_F(ReportFileHandlerTest, CheckHeaderComparesNamesExactlyAndInOrder) {
    const std::string path = Path("r.csv");
    WriteAll(path, "\"a,b\",c,d\n");
    ReportFileHandler handler;
    EXPECT_TRUE(handler.CheckHeader({}, ','));  // closed: an empty header
    EXPECT_FALSE(handler.CheckHeader({"\"a"}, ','));
    ASSERT_FALSE(handler.Open(path, kIn).IsError());
    EXPECT_TRUE(handler.CheckHeader({"\"a", "b\"", "c", "d"}, ','));
    EXPECT_FALSE(handler.CheckHeader({"\"a", "b\"", "d", "c"}, ','));
    EXPECT_FALSE(handler.CheckHeader({"\"A", "b\"", "c", "d"}, ','));
    EXPECT_FALSE(handler.CheckHeader({"\"a", "b\"", "c"}, ','));
    EXPECT_FALSE(handler.CheckHeader({"\"a", "b\"", "c", "d", ""}, ','));
    EXPECT_FALSE(handler.CheckHeader({}, ','));
}

// Every spelling of one report's path must meet on one lock: a writer that
// came through a symlinked directory or a relative path excludes the others.
TEST_F(ReportFileHandlerTest, LockNameIsTheCanonicalPathWithEverySlashReplaced) {
    EXPECT_EQ(ReportFileHandler::LockNameOf("/a/b/r.csv"), "_a_b_r.csv");
    EXPECT_EQ(ReportFileHandler::LockNameOf("//a/./b/../b//r.csv"), "_a_b_r.csv");
    const std::string canonical = ReportFileHandler::LockNameOf(Path("r.csv"));
    ASSERT_EQ(symlink(Path("").c_str(), Path("../link-" + std::to_string(getpid())).c_str()), 0);
    EXPECT_EQ(ReportFileHandler::LockNameOf(Path("../link-" + std::to_string(getpid()) + "/r.csv")), canonical);
    unlink(Path("../link-" + std::to_string(getpid())).c_str());
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(Path("").c_str()), 0);
    EXPECT_EQ(ReportFileHandler::LockNameOf("r.csv"), canonical);
    EXPECT_EQ(ReportFileHandler::LockNameOf("./sub/../r.csv"), canonical);
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(ReportFileHandlerTest, WriterHoldsTheLockUntilClose) {
    const std::string path = Path("r.csv");
    ReportFileHandler writer;
    ASSERT_FALSE(writer.Open(path, kOut | kApp).IsError());
    EXPECT_FALSE(LockIsFree(path));
    EXPECT_FALSE(writer.LockFile().IsError());  // held already

    ReportFileHandler second;
    const CQiError err = second.Open(path, kOut | kApp);
    EXPECT_EQ(err.GetErrNo(), 1001);
    // The fixed message, then why the lock was refused.
    EXPECT_EQ(err.GetMessage(), "Can't open report file [" + path +
                                    "], error to acquire lock: Held by this thread through another object");
    EXPECT_FALSE(second.IsOpen());

    writer.Close();
    EXPECT_TRUE(LockIsFree(path));
    ASSERT_FALSE(second.Open(path, kOut | kApp).IsError());
    EXPECT_FALSE(LockIsFree(path));
}

TEST_F(ReportFileHandlerTest, ReaderLockIsTakenOnRequestAndReleasedByClose) {
    const std::string path = Path("r.csv");
    WriteAll(path, kOldContent);
    ReportFileHandler reader;
    ASSERT_FALSE(reader.Open(path, kIn).IsError());
    EXPECT_TRUE(LockIsFree(path));
    ASSERT_FALSE(reader.LockFile().IsError());
    EXPECT_FALSE(LockIsFree(path));
    ASSERT_FALSE(reader.UnlockFile().IsError());
    EXPECT_TRUE(LockIsFree(path));
    ASSERT_FALSE(reader.LockFile().IsError());
    reader.Close();
    EXPECT_TRUE(LockIsFree(path));
}

TEST_F(ReportFileHandlerTest, ReopenClosesAndOpensTheSamePath) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, kOldContent, kOut | kApp);
    ASSERT_FALSE(handler.PutLine("d").IsError());
    ASSERT_FALSE(handler.Reopen(kOut | kTrunc).IsError());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_FALSE(handler.HasHeader());
    handler.Close();
    EXPECT_EQ(ReadAll(path), "");
    const CQiError err = handler.Reopen(kIn | kTrunc);
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetTrace().size(), 2u);
}

TEST_F(ReportFileHandlerTest, TruncateEmptiesTheFileKeepingTheLock) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, kOldContent, kIn | kOut | kApp);
    ASSERT_FALSE(handler.PutLine("d").IsError());
    ASSERT_FALSE(handler.Truncate().IsError());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_FALSE(handler.HasHeader());
    EXPECT_FALSE(LockIsFree(path));
    EXPECT_TRUE(AllLines(handler).empty());
    ASSERT_FALSE(handler.PutLine("H").IsError());
    ASSERT_FALSE(handler.PutLine("x").IsError());
    EXPECT_EQ(handler.GetLineCount(), 1u);
    handler.Close();
    EXPECT_EQ(ReadAll(path), "H\nx\n");

    ReportFileHandler reader;
    ASSERT_FALSE(reader.Open(path, kIn).IsError());
    EXPECT_EQ(reader.Truncate().GetErrNo(), 22);
    EXPECT_EQ(ReadAll(path), "H\nx\n");
}

TEST_F(ReportFileHandlerTest, TruncateToHeaderKeepsOnlyTheHeaderLine) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, kOldContent, kIn | kOut | kApp);
    ASSERT_FALSE(handler.PutLine("d").IsError());
    ASSERT_FALSE(handler.TruncateToHeader().IsError());
    EXPECT_EQ(ReadAll(path), "h\n");
    EXPECT_TRUE(handler.HasHeader());
    EXPECT_EQ(handler.GetLineCount(), 0u);
    EXPECT_EQ(AllLines(handler), Fields{"h"});
    ASSERT_FALSE(handler.PutLine("x").IsError());
    EXPECT_EQ(handler.GetLineCount(), 1u);
    handler.Close();
    EXPECT_EQ(ReadAll(path), "h\nx\n");
}

// When the file's first line was empty, the first line put became the header
// line but stands further down: the file is emptied rather than cut to a
// prefix that is not the header.
TEST_F(ReportFileHandlerTest, TruncateToHeaderEmptiesAFileNotStartingWithIt) {
    ReportFileHandler handler;
    const std::string path = OpenWith(handler, "\nold\n", kOut | kApp);
    EXPECT_FALSE(handler.HasHeader());
    ASSERT_FALSE(handler.PutLine("H").IsError());
    ASSERT_FALSE(handler.TruncateToHeader().IsError());
    EXPECT_EQ(ReadAll(path), "");
    EXPECT_FALSE(handler.HasHeader());
}

TEST_F(ReportFileHandlerTest, CopyReplacesTargetAndIncludesLinesPutSoFar) {
    const std::string path = Path("r.csv");
    const std::string copy = Path("r.csv.old");
    WriteAll(copy, "previous content that is longer than the report\n");
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kOut | kTrunc).IsError());
    ASSERT_FALSE(handler.PutLine("h").IsError());
    ASSERT_FALSE(handler.PutLine("a").IsError());
    ASSERT_FALSE(handler.Copy(copy).IsError());
    EXPECT_EQ(ReadAll(copy), "h\na\n");
    EXPECT_TRUE(handler.IsOpen());
    EXPECT_EQ(handler.GetLineCount(), 1u);
}

TEST_F(ReportFileHandlerTest, CopyOpenFailuresNameTheirFile) {
    const std::string source = Path("r.csv");
    const std::string missing = Path("missing.csv");
    const std::string target = Path("copy.csv");
    CQiError err = ReportFileHandler::Copy(missing, target);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to from file path at [" + missing + "]");
    EXPECT_FALSE(Exists(target));

    WriteAll(source, kOldContent);
    const std::string unreachable = Path("no/such/dir/copy.csv");
    err = ReportFileHandler::Copy(source, unreachable);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to copy file path at [" + unreachable + "]");

    ReportFileHandler handler;
    ASSERT_EQ(handler.Open(missing, kIn).GetErrNo(), 22);
    err = handler.Copy(target);
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetTrace().size(), 2u);
}

// Several blocks long; copied onto itself under another spelling of its path,
// the file must come out unchanged rather than emptied.
TEST_F(ReportFileHandlerTest, CopyOfLargeFileIsCompleteEvenOntoItself) {
    const std::string source = Path("r.csv");
    const std::string target = Path("copy.csv");
    std::string content;
    for (int i = 0; content.size() < 3 * 1024 * 1024 + 17; ++i) content += "line " + std::to_string(i) + "\n";
    WriteAll(source, content);
    WriteAll(target, std::string(5 * 1024 * 1024, 'o'));
    ASSERT_FALSE(ReportFileHandler::Copy(source, target).IsError());
    EXPECT_EQ(ReadAll(target), content);
    ASSERT_FALSE(ReportFileHandler::Copy(source, dir + "/./r.csv").IsError());
    EXPECT_EQ(ReadAll(source), content);
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

// Fault: a new copy was created with the umask's mode (0644) and an existing
// one kept its own, so a private report's copy could be read by anyone.
TEST_F(ReportFileHandlerTest, CopyWasMoreOpenThanItsSource) {
    const std::string source = Path("r.csv");
    const std::string target = Path("copy.csv");
    WriteAll(source, kOldContent);
    ASSERT_EQ(chmod(source.c_str(), 0640), 0);
    ASSERT_FALSE(ReportFileHandler::Copy(source, target).IsError());
    EXPECT_EQ(ModeOf(target), 0640u);
    ASSERT_EQ(chmod(target.c_str(), 0666), 0);
    ASSERT_FALSE(ReportFileHandler::Copy(source, target).IsError());
    EXPECT_EQ(ModeOf(target), 0640u);
    ASSERT_EQ(chmod(target.c_str(), 0600), 0);
    ASSERT_FALSE(ReportFileHandler::Copy(source, target).IsError());
    EXPECT_EQ(ModeOf(target), 0600u) << "a narrower copy is left as narrow";
    EXPECT_EQ(ReadAll(target), kOldContent);
    if (geteuid() == 0) {
        // Its own owner reads a target whatever its mode: another user's gets
        // nothing that not everyone may read.
        WriteAll(target, "theirs\n");
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
        EXPECT_EQ(ReportFileHandler::Copy(source, target).GetCause().GetErrNo(), 22);
        EXPECT_EQ(ReadAll(target), "theirs\n");
        ASSERT_EQ(chmod(source.c_str(), 0644), 0);
        EXPECT_FALSE(ReportFileHandler::Copy(source, target).IsError());
    }
}

TEST_F(ReportFileHandlerTest, MoveReplacesTargetAndRemovesSource) {
    const std::string source = Path("r.csv.tmp");
    const std::string target = Path("r.csv");
    WriteAll(source, kOldContent);
    WriteAll(target, "old\n");
    ASSERT_FALSE(ReportFileHandler::Move(source, target).IsError());
    EXPECT_EQ(ReadAll(target), kOldContent);
    EXPECT_FALSE(Exists(source));
}

TEST_F(ReportFileHandlerTest, MemberMoveReopensAtNewPath) {
    const std::string path = Path("r.csv");
    const std::string moved = Path("sub/moved.csv");
    std::filesystem::create_directory(Path("sub"));
    WriteAll(path, kOldContent);
    ReportFileHandler handler;
    ASSERT_FALSE(handler.Open(path, kIn).IsError());
    ASSERT_FALSE(handler.Move(moved).IsError());
    EXPECT_TRUE(handler.IsOpen());
    EXPECT_EQ(handler.GetFullPath(), moved);
    EXPECT_EQ(handler.GetOpenMode(), kIn);
    EXPECT_EQ(AllLines(handler), (Fields{"h", "a", "b", "c"}));
    EXPECT_FALSE(Exists(path));

    // A failed move leaves the handler closed on its old path.
    const CQiError err = handler.Move(Path("missing-dir/x.csv"));
    EXPECT_TRUE(err.IsError());
    EXPECT_FALSE(handler.IsOpen());
    EXPECT_EQ(handler.GetFullPath(), moved);
    EXPECT_EQ(ReadAll(moved), kOldContent);
}

// Lines set aside keep their bytes and numbers, batch after batch, and the file
// that receives them is made like the report and never anything else.
TEST_F(ReportFileHandlerTest, BadLinesAppendBatchesToANewFileMadeLikeTheReport) {
    const std::string report = dir + "/r.csv";
    WriteAll(report, "A,B\n");
    ASSERT_EQ(chmod(report.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(report.c_str(), 65534, 65534), 0);  // a service user's report
    }
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir).IsError());
    CQiFileStat st;
    ASSERT_FALSE(handle.Stat("r.csv", st).IsError());

    const std::vector<ReportBadLine> first = {{3, std::string("x,\0y", 4)}, {7, "torn tail\r"}};
    ASSERT_FALSE(ReportBadLines::Append(handle, "r.csv", st, "test mover", first).IsError());
    ASSERT_FALSE(ReportBadLines::Append(handle, "r.csv", st, "test mover", {{9, ""}}).IsError());
    ASSERT_FALSE(ReportBadLines::Append(handle, "r.csv", st, "test mover", {}).IsError());

    // The stamp is "YYYY-MM-DDTHH:MM:SSZ"; everything else is exact.
    const std::string text = ReadAll(report + ".bad");
    auto comment = [&](std::size_t at) {
        return "# " + text.substr(at + 2, 20) + " test mover moved these lines out of " + report + "\n";
    };
    const std::string batch1 = comment(0) + std::string("3\tx,\0y\n7\ttorn tail\r\n", 20);
    ASSERT_GT(text.size(), batch1.size());
    EXPECT_EQ(text, batch1 + comment(batch1.size()) + "9\t\n");
    EXPECT_EQ(text[2 + 19], 'Z');

    struct stat bad {};
    ASSERT_EQ(stat((report + ".bad").c_str(), &bad), 0);
    EXPECT_EQ(bad.st_mode & 0777, 0640u);
    if (root) {
        EXPECT_EQ(bad.st_uid, 65534u);
    }

    EXPECT_TRUE(ReportBadLines::Append(handle, "r.csv", st, "m", {{2, "a\nb"}}).IsError());
    EXPECT_EQ(ReadAll(report + ".bad"), text);

    // A batch written a piece at a time reads as one Append of the whole lines,
    // pieces larger than the writer's buffer among them.
    const std::string longLine = std::string(300 * 1024, 'a') + std::string(700 * 1024, 'b');
    ReportBadLinesWriter writer;
    ASSERT_FALSE(writer.Open(handle, "r.csv", st, "test mover").IsError());
    ASSERT_FALSE(writer.Line(4).IsError());
    ASSERT_FALSE(writer.Bytes("short").IsError());
    ASSERT_FALSE(writer.Line(5).IsError());
    for (std::size_t at = 0; at < longLine.size(); at += 100 * 1024) {
        ASSERT_FALSE(writer.Bytes(std::string_view(longLine).substr(at, 100 * 1024)).IsError());
    }
    ASSERT_FALSE(writer.Bytes(std::string_view(longLine).substr(0, 10)).IsError());
    EXPECT_EQ(writer.Bytes("x\ny").GetErrNo(), 22);
    ASSERT_FALSE(writer.Commit().IsError());
    EXPECT_EQ(writer.Lines(), 2u);
    const std::string streamed = ReadAll(report + ".bad").substr(text.size());
    ASSERT_GT(streamed.size(), 22u);
    EXPECT_EQ(streamed, "# " + streamed.substr(2, 20) + " test mover moved these lines out of " + report + "\n4\tshort\n5\t" +
                            longLine + longLine.substr(0, 10) + "\n");

    ReportBadLinesWriter empty;
    ASSERT_FALSE(empty.Open(handle, "r.csv", st, "m").IsError());
    ASSERT_FALSE(empty.Commit().IsError());
    EXPECT_EQ(ReadAll(report + ".bad").size(), text.size() + streamed.size()) << "an empty batch wrote";
}

TEST_F(ReportFileHandlerTest, BadLinesRefuseAFifoALinkAndASecondNameWithoutWaiting) {
    WriteAll(dir + "/r.csv", "A\n");
    WriteAll(dir + "/elsewhere", "kept\n");
    CQiDirectoryHandle handle;
    ASSERT_FALSE(handle.Open(dir).IsError());
    CQiFileStat st;
    ASSERT_FALSE(handle.Stat("r.csv", st).IsError());
    const std::vector<ReportBadLine> lines = {{2, "row"}};

    ASSERT_EQ(mkfifo((dir + "/r.csv.bad").c_str(), 0600), 0);
    EXPECT_EQ(ReportBadLines::Append(handle, "r.csv", st, "m", lines).GetErrNo(), 22);
    ASSERT_EQ(unlink((dir + "/r.csv.bad").c_str()), 0);

    ASSERT_EQ(symlink("elsewhere", (dir + "/r.csv.bad").c_str()), 0);
    EXPECT_EQ(ReportBadLines::Append(handle, "r.csv", st, "m", lines).GetErrNo(), 22);
    ASSERT_EQ(unlink((dir + "/r.csv.bad").c_str()), 0);

    ASSERT_EQ(link((dir + "/elsewhere").c_str(), (dir + "/r.csv.bad").c_str()), 0);
    EXPECT_EQ(ReportBadLines::Append(handle, "r.csv", st, "m", lines).GetErrNo(), 22);
    EXPECT_EQ(ReadAll(dir + "/elsewhere"), "kept\n");
    ASSERT_EQ(unlink((dir + "/r.csv.bad").c_str()), 0);

    // Fault: an existing PATH.bad was filled whatever its mode and owner, so
    // whoever planted one (0666, or their own) read the report's lines there.
    const std::string bad = dir + "/r.csv.bad";
    ASSERT_EQ(chmod((dir + "/r.csv").c_str(), 0600), 0);
    ASSERT_FALSE(handle.Stat("r.csv", st).IsError());
    WriteAll(bad, "");
    ASSERT_EQ(chmod(bad.c_str(), 0666), 0);
    ASSERT_FALSE(ReportBadLines::Append(handle, "r.csv", st, "m", lines).IsError());
    struct stat planted {};
    ASSERT_EQ(stat(bad.c_str(), &planted), 0);
    EXPECT_EQ(planted.st_mode & 07777, 0600u);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(bad.c_str(), 65534, 65534), 0);
        const std::string before = ReadAll(bad);
        EXPECT_EQ(ReportBadLines::Append(handle, "r.csv", st, "m", lines).GetErrNo(), 22);
        EXPECT_EQ(ReadAll(bad), before);
    }
}

}  // namespace
}  // namespace I2::test
