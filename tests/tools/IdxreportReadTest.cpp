// idxreport show and check, on files the library wrote and on damaged ones.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <ios>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

#include "tools/ToolTestSupport.h"

namespace I2::Testing {
namespace {

void WriteDroppedFiles(const std::string& path) {
    DroppedFilesReport report;
    ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
    ASSERT_LIB_OK(report.AddDroppedFilesInfo("/a/Q1, Q2.xlsx", "v1", true, 1000, 42, 3, "gone"));
    ASSERT_LIB_OK(report.AddDroppedFilesInfo("/a/the \"final\" one.pdf", "v2", false, 2000, 7, 1, "pruned, twice"));
    ASSERT_LIB_OK(report.AddDroppedFilesInfo("/a/plain.txt", "", true, 0, 0, 0, ""));
}

void WriteCleanUps(const std::string& directory, int count) {
    LogCleanUpReport report;
    ASSERT_LIB_OK(report.Open(directory, "", ""));
    for (int i = 0; i < count; ++i) ASSERT_LIB_OK(report.AddCleanUpRecord(std::to_string(i), "aged out"));
}

void AddSample(const std::string& path, long time, unsigned long long freeMiB) {
    LogicalDiskReport report;
    ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
    LogicalDiskRecord sample;
    sample.SetTime(time);
    sample.SetDiskSize(1ull << 40);
    sample.SetDiskFree(freeMiB << 20);
    ASSERT_LIB_OK(report.AddRecord(sample));
}

void AddStub(const std::string& path, const std::string& name) {
    VerifyArchiveReport report;
    ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
    ASSERT_LIB_OK(report.AddStubsInfo(name, 1, 1, "g"));
}

void Append(const std::string& path, const std::string& text) { WriteWhole(path, ReadWhole(path) + text); }

TEST(IdxreportShow, CsvOutputIsTheFileTheLibraryWrote) {
    TempDir dir;
    const std::string path = dir.File("dropped.csv");
    WriteDroppedFiles(path);
    ToolResult result = RunTool(dir, {"show", path});  // not a terminal: CSV
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, ReadWhole(path));
}

TEST(IdxreportShow, JsonGivesQuotedFieldsAsTheirTextAndNumbersAsNumbers) {
    TempDir dir;
    const std::string path = dir.File("dropped.csv");
    WriteDroppedFiles(path);
    ToolResult result = RunTool(dir, {"show", "--format", "json", path});
    ASSERT_EQ(result.code, 0) << result.err;
    nlohmann::json rows = nlohmann::json::parse(result.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]["File Path"], "/a/Q1, Q2.xlsx");
    EXPECT_EQ(rows[0]["Size In Bytes"], 42);
    EXPECT_EQ(rows[0]["Stub Or Data"], "Stub");
    EXPECT_EQ(rows[1]["File Path"], "/a/the \"final\" one.pdf");
    EXPECT_EQ(rows[1]["Reason"], "pruned, twice");
    EXPECT_EQ(rows[2]["Version GUID"], "");
}

TEST(IdxreportShow, RecognisesEveryKindByTheHeaderItsReportWrites) {
    TempDir dir;
    struct Kind {
        std::string path;
        std::vector<std::string> header;
        std::function<void()> write;
    };
    const std::vector<Kind> kinds = {
        {dir.File("JobStats.csv"), JobStatsReport().GetHeader(),
         [&] {
             JobStatsReport report;
             JobStatsRecord row;
             row.SetHostname("h, 1");
             ASSERT_LIB_OK(report.Open(dir.Path(), "JobStats.csv", std::ios::out | std::ios::app));
             ASSERT_LIB_OK(report.AddJobStats(row));
         }},
        {LogicalDiskReport::GetFilePath(dir.Path(), "disk"), LogicalDiskReport().GetHeader(),
         [&] { AddSample(LogicalDiskReport::GetFilePath(dir.Path(), "disk"), 1, 1); }},
        {dir.File("stubs.csv"), DanglingStubsReport().GetHeader(),
         [&] {
             DanglingStubsReport report;
             ASSERT_LIB_OK(report.Open(dir.File("stubs.csv"), std::ios::out | std::ios::app, false));
             ASSERT_LIB_OK(report.AddDanglingStubsInfo("/d/f", "s", "d", 1, 2, true, "t", "g"));
         }},
        {dir.File("dropped.csv"), DroppedFilesReport().GetHeader(), [&] { WriteDroppedFiles(dir.File("dropped.csv")); }},
        {dir.File(LogCleanUpReport::FileName), LogCleanUpReport().GetHeader(), [&] { WriteCleanUps(dir.Path(), 1); }},
        {dir.File("verify.csv"), VerifyArchiveReport().GetHeader(), [&] { AddStub(dir.File("verify.csv"), "/d/f"); }},
    };
    for (const Kind& kind : kinds) {
        kind.write();
        ToolResult result = RunTool(dir, {"show", "--format", "json", kind.path});
        ASSERT_EQ(result.code, 0) << kind.path << ": " << result.err;
        nlohmann::ordered_json rows = nlohmann::ordered_json::parse(result.out);
        ASSERT_GE(rows.size(), 1u) << kind.path;
        std::vector<std::string> keys;
        for (auto& item : rows[0].items()) keys.push_back(item.key());
        EXPECT_EQ(keys, kind.header) << kind.path;
    }
}

TEST(IdxreportShow, HeadAndTailPickTheirRecords) {
    TempDir dir;
    WriteCleanUps(dir.Path(), 10);
    const std::string path = dir.File(LogCleanUpReport::FileName);
    EXPECT_EQ(RunTool(dir, {"show", "--head", "2", path}).out, "Job Id,Reason\n0,aged out\n1,aged out\n");
    EXPECT_EQ(RunTool(dir, {"show", "--tail", "2", path}).out, "Job Id,Reason\n8,aged out\n9,aged out\n");
    EXPECT_EQ(RunTool(dir, {"show", "--head", "0", path}).out, "Job Id,Reason\n");
    EXPECT_EQ(Lines(RunTool(dir, {"show", "--tail", "50", path}).out).size(), 11u);
}

// Standard input through a pipe is read once, so --tail holds the last rows; a
// table holds them with their times as date-times, which are longer.
TEST(IdxreportShow, TailOfAPipeHoldsTheLastRowsWhateverTheFormat) {
    TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "disk");
    {
        LogicalDiskReport report;
        ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
        LogicalDiskRecord sample;
        for (long t = 0; t < 5000; ++t) {
            sample.SetTime(t * 60);
            ASSERT_LIB_OK(report.AddRecord(sample));
        }
    }
    const std::string text = ReadWhole(path);
    for (const std::string& name : {std::string("-"), std::string("/dev/stdin")}) {
        const ToolResult csv = RunTool(dir, {"show", "--tail", "2", "--columns", "Time", name}, text, Stdin::Pipe);
        EXPECT_EQ(csv.code, 0) << name << ": " << csv.err;
        EXPECT_EQ(csv.out, "Time\n299880\n299940\n") << name;
        const ToolResult table =
            RunTool(dir, {"show", "--format", "table", "--tail", "3", "--columns", "Time", name}, text, Stdin::Pipe);
        EXPECT_EQ(table.code, 0) << name << ": " << table.err;
        const std::vector<std::string> rows = Lines(table.out);
        ASSERT_FALSE(rows.empty()) << name;
        EXPECT_NE(rows.back().find("1970-01-04 11:19:00"), std::string::npos) << table.out;
        EXPECT_EQ(table.out.find("1970-01-01 "), std::string::npos) << table.out;
    }
}

TEST(IdxreportShow, OlderJobStatsFileShowsTheColumnsItHas) {
    TempDir dir;
    std::vector<std::string> header = JobStatsReport().GetHeader();
    header.resize(12);
    std::string headerLine;
    for (const std::string& name : header) headerLine += (headerLine.empty() ? "" : ",") + name;
    const std::string path = dir.File("JobStats.csv");
    WriteWhole(path, headerLine + "\n120,7,3,2,0,1,2.5,100,160,4,1,hostA\n");
    ToolResult result = RunTool(dir, {"show", "--format", "json", path});
    ASSERT_EQ(result.code, 0) << result.err;
    nlohmann::ordered_json rows = nlohmann::ordered_json::parse(result.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].size(), 12u);
    EXPECT_EQ(rows[0]["Hostname"], "hostA");
    EXPECT_EQ(rows[0]["Seconds To Playback"], 2.5);
    EXPECT_EQ(RunTool(dir, {"check", path}).out, path + ": ok (1 record)\n");
}

TEST(IdxreportShow, RefusesWhatIsNoReportWithOneErrorLine) {
    TempDir dir;
    WriteWhole(dir.File("other.csv"), "a,b,c\n1,2,3\n");
    WriteWhole(dir.File("empty.csv"), "");
    for (const std::string& path : {dir.File("other.csv"), dir.File("empty.csv"), dir.File("missing.csv"), dir.Path()}) {
        ToolResult result = RunTool(dir, {"show", path});
        EXPECT_EQ(result.code, 1) << path;
        EXPECT_EQ(result.out, "") << path;
        EXPECT_ONE_ERROR_LINE(result);
        EXPECT_NE(result.err.find(path), std::string::npos) << result.err;
    }
}

TEST(IdxreportShow, SkipsUnreadableLinesAndSaysWhere) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    Append(path, "/d/2,2,2\n");
    AddStub(path, "/d/3");
    ToolResult result = RunTool(dir, {"show", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(Lines(result.out).size(), 3u) << result.out;
    EXPECT_ONE_ERROR_LINE(result);
    EXPECT_NE(result.err.find("line 3"), std::string::npos) << result.err;
}

TEST(IdxreportShow, TableNeverSendsControlCharactersToTheTerminal) {
    TempDir dir;
    const std::string path = dir.File("stubs.csv");
    AddStub(path, "/d/\x1b]0;owned\x07name");
    ToolResult result = RunTool(dir, {"show", "--format", "table", path});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(result.out.find('\x07'), std::string::npos);
    EXPECT_NE(result.out.find("/d/\\x1B]0;owned\\x07name"), std::string::npos) << result.out;
}

TEST(IdxreportCheck, PassesFilesTheLibraryWroteWithoutAWord) {
    TempDir dir;
    WriteCleanUps(dir.Path(), 2);
    WriteDroppedFiles(dir.File("dropped.csv"));
    const std::string cleanUps = dir.File(LogCleanUpReport::FileName);
    ToolResult result = RunTool(dir, {"check", cleanUps, dir.File("dropped.csv")});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, cleanUps + ": ok (2 records)\n" + dir.File("dropped.csv") + ": ok (3 records)\n");
}

TEST(IdxreportCheck, ListsEveryProblemWithItsLine) {
    TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "disk");
    AddSample(path, 0, 1);
    AddSample(path, 60, 1);
    Append(path, "1,2,3\n");
    AddSample(path, 120, 1);
    Append(path, "180,1,2");
    WriteWhole(path + ".tmp", LogicalDiskReport().GetHeaderLine() + "\n");
    WriteWhole(path + ".bad", "# moved\n3\tx\n5\ty\n");
    ToolResult result = RunTool(dir, {"check", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{path + ":4: unreadable line: 3 fields where the header has 9",
                                        path + ":6: unterminated last line (7 bytes without a line end): a write "
                                               "cut short; check --repair moves it to " + path + ".bad",
                                        path + ".tmp: leftover temporary file of an interrupted rewrite",
                                        path + ".bad: note: holds 2 lines moved out earlier"}))
        << result.out;
}

TEST(IdxreportCheck, FlagsJobStatsRowsOfTheWrongWidth) {
    TempDir dir;
    {
        JobStatsReport report;
        JobStatsRecord row;
        ASSERT_LIB_OK(report.Open(dir.Path(), "JobStats.csv", std::ios::out | std::ios::app));
        ASSERT_LIB_OK(report.AddJobStats(row));
    }
    const std::string path = dir.File("JobStats.csv");
    Append(path, "1,2,3\n\n");
    ToolResult result = RunTool(dir, {"check", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(Lines(result.out), (std::vector<std::string>{path + ":3: unreadable line: 3 fields where the header has 16",
                                                           path + ":4: unreadable line: 1 field where the header has 16"}));
}

TEST(IdxreportCheck, ReportsFilesItCannotReadOneLineEach) {
    TempDir dir;
    WriteWhole(dir.File("other.csv"), "a,b,c\n");
    WriteWhole(dir.File("empty.csv"), "");
    WriteCleanUps(dir.Path(), 1);
    const std::string good = dir.File(LogCleanUpReport::FileName);
    ToolResult result = RunTool(
        dir, {"check", dir.File("missing.csv"), dir.Path(), dir.File("empty.csv"), dir.File("other.csv"), good});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "");
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 5u) << result.out;
    EXPECT_EQ(lines[0], dir.File("missing.csv") + ": no such file");
    EXPECT_EQ(lines[1].rfind(dir.Path() + ": ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], dir.File("empty.csv") + ":1: empty file, no header line");
    EXPECT_EQ(lines[3].rfind(dir.File("other.csv") + ":1: unknown header \"a,b,c\"", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], good + ": ok (1 record)");
}

TEST(IdxreportRepair, MovesUnreadableLinesAsideAndTheDailyAveragesLoadAgain) {
    TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "disk");
    AddSample(path, 0, 1);
    AddSample(path, 3600, 2);
    Append(path, "garbage\n");
    AddSample(path, 86399, 3);
    AddSample(path, 86400, 4);
    Append(path, "86500,1,2");  // a write cut short

    std::vector<double> days;
    {
        LogicalDiskReport report;
        ASSERT_LIB_OK(report.Open(dir.Path(), "disk"));
        EXPECT_TRUE(report.LoadIndexCacheDiskFreeSpace(days).IsError());
    }
    ToolResult result = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(result.code, 3) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("moved 2 lines to " + path + ".bad"), std::string::npos) << result.out;

    const auto bad = Lines(ReadWhole(path + ".bad"));
    ASSERT_EQ(bad.size(), 3u);
    EXPECT_EQ(bad[0].rfind("# ", 0), 0u);
    EXPECT_EQ(bad[1], "4\tgarbage");
    EXPECT_EQ(bad[2], "7\t86500,1,2");
    {
        LogicalDiskReport report;
        ASSERT_LIB_OK(report.Open(dir.Path(), "disk"));
        ASSERT_LIB_OK(report.LoadIndexCacheDiskFreeSpace(days));
        EXPECT_EQ(days, (std::vector<double>{2.0, 4.0}));
    }
    // The moved lines are safe in ".bad": a note, and the check passes.
    ToolResult after = RunTool(dir, {"check", path});
    EXPECT_EQ(after.code, 0);
    EXPECT_EQ(after.out, path + ".bad: note: holds 2 lines moved out earlier\n" + path + ": ok (4 records)\n");
    // A second repair finds nothing to move and leaves ".bad" as it was.
    EXPECT_EQ(RunTool(dir, {"check", "--repair", path}).code, 0);
    EXPECT_EQ(Lines(ReadWhole(path + ".bad")).size(), 3u);
}

// A verify-archive line cut inside its GUID still has four fields; kept, it
// would read as a record that was never written.
TEST(IdxreportRepair, TornLastLineGoesAsideEvenWhenItsFieldsFit) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    const std::string whole = ReadWhole(path);
    Append(path, "/d/2,1,1,0112f1ce-54c8");
    ToolResult checked = RunTool(dir, {"check", path});
    EXPECT_EQ(checked.code, 1);
    EXPECT_NE(checked.out.find(path + ":3: unterminated last line (22 bytes without a line end)"), std::string::npos)
        << checked.out;

    ToolResult repaired = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(repaired.code, 3) << repaired.out << repaired.err;
    EXPECT_EQ(ReadWhole(path), whole);
    EXPECT_EQ(Lines(ReadWhole(path + ".bad"))[1], "3\t/d/2,1,1,0112f1ce-54c8");
    EXPECT_EQ(RunTool(dir, {"check", "--repair", path}).code, 0);
}

// A monitoring job checks reports that a server appends to: a last line that
// a writer holding the lock is still writing is no problem.
TEST(IdxreportCheck, LastLineOfALiveWriterIsBeingWrittenNotAProblem) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    VerifyArchiveReport writer;
    ASSERT_LIB_OK(writer.Open(path, std::ios::out | std::ios::app, false));  // holds the lock
    Append(path, "/d/2,1,");  // its line, half written
    ToolResult result = RunTool(dir, {"check", path});
    EXPECT_EQ(result.code, 0) << result.out;
    EXPECT_EQ(result.out, path + ":3: note: last line is being written (a writer holds the report's lock)\n" + path +
                              ": ok (1 record)\n");
}

TEST(IdxreportRepair, MovesALineTooLongToHoldWholeAndByteForByte) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    const std::string huge = "/d/" + std::string(3u << 20, 'x') + ",1,1,g";
    Append(path, huge + "\n");
    AddStub(path, "/d/3");
    ToolResult checked = RunTool(dir, {"check", path});
    EXPECT_EQ(checked.code, 1);
    EXPECT_NE(checked.out.find(path + ":3: unreadable line: " + std::to_string(huge.size()) + " bytes, longer than"),
              std::string::npos)
        << checked.out.substr(0, 300);
    EXPECT_EQ(RunTool(dir, {"check", "--repair", path}).code, 3);
    EXPECT_EQ(Lines(ReadWhole(path + ".bad"))[1], "3\t" + huge);
    EXPECT_EQ(Lines(ReadWhole(path)).size(), 3u);
}

TEST(IdxreportRepair, LeavesAFileThatIsNoTemporaryOfItsRewritesAlone) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    Append(path, "bad\n");
    const std::string before = ReadWhole(path);
    WriteWhole(path + ".tmp", "my notes\n");
    ToolResult result = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_NE(result.out.find(path + ".tmp: note: a file that is no temporary"), std::string::npos) << result.out;
    EXPECT_EQ(ReadWhole(path + ".tmp"), "my notes\n");
    EXPECT_EQ(ReadWhole(path), before);
}

TEST(IdxreportRepair, GivesUpWhileAWriterHoldsTheLockAndChangesNothing) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    Append(path, "bad line\n");
    const std::string before = ReadWhole(path);
    VerifyArchiveReport writer;
    ASSERT_LIB_OK(writer.Open(path, std::ios::out | std::ios::app, false));  // holds the lock

    ToolResult result = RunTool(dir, {"check", "--repair", "--lock-timeout", "200", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_ONE_ERROR_LINE(result);
    EXPECT_EQ(ReadWhole(path), before);
    EXPECT_FALSE(CQiPath::Exists(path + ".bad"));
}

// What stands at FILE.bad and is no file a repair may append to stops the
// repair before the report changes, however far the copy had gone; and a
// sound report beside it is no repair done.
TEST(IdxreportRepair, ABadFileItCannotWriteStopsTheRepairAndChangesNothing) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    const std::string header = Lines(ReadWhole(path))[0] + "\n";
    std::string rows;
    for (int i = 0; i < 20000; ++i) rows += "/d/" + std::to_string(i) + ",1,1,g\n";
    const std::string damaged = header + "/d/0,1,1,g\nbad line\n" + rows;
    WriteWhole(dir.File("elsewhere"), "not the report's\n");
    const std::vector<std::function<void(const std::string&)>> plants = {
        [&](const std::string& at) { ASSERT_EQ(::symlink(dir.File("elsewhere").c_str(), at.c_str()), 0); },
        [&](const std::string& at) { ASSERT_EQ(::mkdir(at.c_str(), 0700), 0); },
    };
    for (std::size_t k = 0; k < plants.size(); ++k) {
        SCOPED_TRACE("plant " + std::to_string(k));
        for (const std::string& content : {damaged, header + rows}) {
            WriteWhole(path, content);
            plants[k](path + ".bad");
            const ToolResult result = RunTool(dir, {"check", "--repair", path});
            EXPECT_EQ(result.code, 1) << result.out << result.err;
            EXPECT_TRUE(ReadWhole(path) == content);
            EXPECT_FALSE(CQiPath::Exists(path + ".tmp"));
            EXPECT_EQ(ReadWhole(dir.File("elsewhere")), "not the report's\n");
            std::filesystem::remove_all(path + ".bad");
        }
    }
}

// A lock that cannot even be asked for says nothing about writers: a torn
// last line then stays a problem instead of passing as one being written.
TEST(IdxreportCheck, ALockNotToBeHadLeavesATornLineAProblem) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    Append(path, "/d/2,1,");
    WriteWhole(dir.File("file"), "");
    const std::string locks = std::getenv("IDXREPORTS_LOCK_DIR");
    ::setenv("IDXREPORTS_LOCK_DIR", dir.File("file/locks").c_str(), 1);
    const ToolResult result = RunTool(dir, {"check", path});
    ::setenv("IDXREPORTS_LOCK_DIR", locks.c_str(), 1);
    EXPECT_EQ(result.code, 1) << result.out;
    EXPECT_NE(result.out.find(path + ":3: unterminated last line (7 bytes without a line end): cannot tell whether "
                                     "a writer is finishing it, the report's lock is not to be had: "),
              std::string::npos)
        << result.out;
}

TEST(IdxreportRepair, LeavesAFileOfUnknownKindAlone) {
    TempDir dir;
    const std::string path = dir.File("other.csv");
    WriteWhole(path, "a,b\n1\n");
    ToolResult result = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(ReadWhole(path), "a,b\n1\n");
    EXPECT_FALSE(CQiPath::Exists(path + ".bad"));
}

TEST(IdxreportRepair, RemovesALeftoverTemporaryFileOfASoundReport) {
    TempDir dir;
    WriteCleanUps(dir.Path(), 1);
    const std::string path = dir.File(LogCleanUpReport::FileName);
    const std::string before = ReadWhole(path);
    WriteWhole(path + ".tmp", "Job Id,Reason\n");
    ToolResult result = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(result.code, 3) << result.out << result.err;
    EXPECT_FALSE(CQiPath::Exists(path + ".tmp"));
    EXPECT_EQ(ReadWhole(path), before);
}

// Numbers that the record would read as 0, wrap, or round are unreadable,
// named by column; a field that reads back exactly passes.
TEST(IdxreportCheck, NumberFieldsMustConvertExactly) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    AddStub(path, "/d/1");
    const std::string nines(1000000, '9');
    Append(path, "/a,notanumber,1,g\n/b,1,-5,g\n/c, 4116,1,g\n/d,1," + nines + ",g\n/e,1.5,1,g\n/f,-7,,g\n");
    ToolResult result = RunTool(dir, {"check", path});
    EXPECT_EQ(result.code, 1);
    const std::string p = path + ":";
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{
                  p + "3: unreadable line: column \"Modified Time\": \"notanumber\" is not a number",
                  p + "4: unreadable line: column \"Size In Bytes\": \"-5\" is negative where the column holds "
                      "unsigned numbers",
                  p + "5: unreadable line: column \"Modified Time\": \" 4116\" is not a number",
                  p + "6: unreadable line: column \"Size In Bytes\": \"" + std::string(32, '9') +
                      "...\" (1000000 bytes) is out of range for the column",
                  p + "7: unreadable line: column \"Modified Time\": \"1.5\" is not a number"}))
        << result.out.substr(0, 2000);

    // show skips the same lines, and never prints them as 0 or wrapped.
    ToolResult shown = RunTool(dir, {"show", "--format", "json", path});
    EXPECT_EQ(shown.code, 1);
    nlohmann::json rows = nlohmann::json::parse(shown.out);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1]["Modified Time"], -7);
    EXPECT_TRUE(rows[1]["Size In Bytes"].is_null()) << "an empty number is no value, not 0";
    EXPECT_NE(shown.err.find("skipped 5 unreadable lines (the first is " + path + " line 3)"), std::string::npos)
        << shown.err;
}

TEST(IdxreportShow, NumbersKeepTheTextTheLineHas) {
    TempDir dir;
    const std::string path = dir.File("JobStats.csv");
    std::string header;
    for (const std::string& name : JobStatsReport().GetHeader()) header += (header.empty() ? "" : ",") + name;
    WriteWhole(path, header + "\n1,2,3,4,5,6,12345678.5,0,0,1,1,h,1709251200,0,18446744073709551615,0\n");
    ToolResult json = RunTool(dir, {"show", "--format", "jsonl", path});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_NE(json.out.find("\"Seconds To Playback\": 12345678.5"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"Root Size\": 18446744073709551615"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"Timestamp\": 1709251200"), std::string::npos) << json.out;
    ToolResult table = RunTool(dir, {"show", "--format", "table", "--columns", "Job Id,Timestamp", path});
    EXPECT_EQ(Lines(table.out)[2], "     2  2024-03-01 00:00:00") << table.out;
}

TEST(IdxreportShow, SelectsColumnsAndFiltersRecords) {
    TempDir dir;
    const std::string path = dir.File("verify.csv");
    {
        VerifyArchiveReport report;
        ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
        ASSERT_LIB_OK(report.AddStubsInfo("/a", 1709251200, 1, "g1"));  // 2024-03-01
        ASSERT_LIB_OK(report.AddStubsInfo("/b", 1709337600, 2, "g2"));  // 2024-03-02
        ASSERT_LIB_OK(report.AddStubsInfo("/c", 1709424000, 1, "g3"));  // 2024-03-03
    }
    RunCases(dir, {
        {{"show", "--columns", "Origin App GUID,File Path", path}, 0, "=Origin App GUID,File Path\ng1,/a\ng2,/b\ng3,/c\n"},
        {{"show", "--where", "Size In Bytes=1", "--columns", "File Path", path}, 0, "=File Path\n/a\n/c\n"},
        {{"show", "--where", "Size In Bytes=1", "--where", "File Path=/c", "--columns", "File Path", path}, 0,
         "=File Path\n/c\n"},
        {{"show", "--since", "2024-03-02", "--columns", "File Path", path}, 0, "=File Path\n/b\n/c\n"},
        {{"show", "--until", "2024-03-02T00:00:00Z", "--columns", "File Path", path}, 0, "=File Path\n/a\n"},
        {{"show", "--since", "1709337600", "--until", "2024-03-03", "--columns", "File Path", path}, 0,
         "=File Path\n/b\n"},
        {{"show", "--tail", "1", "--where", "Size In Bytes=1", "--columns", "File Path", path}, 0, "=File Path\n/c\n"},
        {{"show", "--format", "jsonl", "--columns", "File Path", "--head", "2", path}, 0,
         "={\"File Path\": \"/a\"}\n{\"File Path\": \"/b\"}\n"},
        {{"show", "--columns", "Nope", path}, 1, "", "no column \"Nope\" in this verify archive file"},
        {{"show", "--since", "2024-13-01", path}, 2, "", "--since takes"},
        {{"show", "--since", "1", dir.File(LogCleanUpReport::FileName)}, 1, "", ""},
    });
}

TEST(IdxreportShow, ReadsStandardInputGzipAndSeveralFiles) {
    TempDir dir;
    WriteCleanUps(dir.Path(), 3);
    const std::string path = dir.File(LogCleanUpReport::FileName);
    const std::string text = ReadWhole(path);
    const std::string gz = dir.File("old.csv.gz");
    {
        // Two gzip members back to back, as `cat a.gz b.gz` makes.
        gzFile out = gzopen(gz.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        gzwrite(out, text.data(), 20);
        gzclose(out);
        gzFile more = gzopen(gz.c_str(), "ab");
        gzwrite(more, text.data() + 20, static_cast<unsigned>(text.size() - 20));
        gzclose(more);
    }
    const std::string twice = text + text.substr(text.find('\n') + 1);
    RunCases(dir, {
        {{"show", "-"}, 0, "=" + text, "", text},
        {{"show", "--tail", "1", "-"}, 0, "=Job Id,Reason\n2,aged out\n", "", text},
        {{"show", gz}, 0, "=" + text},
        {{"check", gz}, 0, "=" + gz + ": ok (3 records)\n"},
        {{"check", "-"}, 0, "=-: ok (3 records)\n", "", text},
        {{"show", gz, path}, 0, "=" + twice},
        {{"show", "--format", "jsonl", path, dir.File("verify.csv")}, 1, "", "verify.csv: no such file"},
    });
    AddStub(dir.File("verify.csv"), "/d/1");
    RunCases(dir, {
        {{"show", "--format", "csv", path, dir.File("verify.csv")}, 1, "", "give --format jsonl or table"},
        {{"show", "--format", "jsonl", path, dir.File("verify.csv")}, 0, "{\"File Path\": \"/d/1\""},
    });
    WriteWhole(dir.File("cut.csv.gz"), ReadWhole(gz).substr(0, 30));
    RunCases(dir, {{{"show", dir.File("cut.csv.gz")}, 1, "", "gzip data"}});
}

// What a header looks like on screen can hide why the tool refuses it.
TEST(IdxreportCheck, NamesWhatIsWrongWithAHeader) {
    TempDir dir;
    const std::string p = dir.File("r.csv");
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"\xEF\xBB\xBFJob Id,Reason\n1,a\n", "UTF-8 byte-order mark"},
        {"Job Id,Reason\r\n1,a\r\n", "ends in CR LF (Windows line ends)"},
        {"Job Id,Reason,Extra\n", "header has an extra column 3 \"Extra\" after the log clean-up columns"},
        {"Job Id,Reasons\n", "header column 2 is \"Reasons\" where a log clean-up header has \"Reason\""},
        {"File Path,Modified Time\n", "header ends after column 2; a verify archive header goes on with"},
    };
    for (const auto& [content, message] : headers) {
        WriteWhole(p, content);
        ToolResult result = RunTool(dir, {"check", p});
        EXPECT_EQ(result.code, 1) << message;
        EXPECT_NE(result.out.find(p + ":1: "), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(message), std::string::npos) << result.out;
    }
    WriteWhole(p, "Job Id,Reason\n1,a\r\n2,b\n");
    EXPECT_EQ(RunTool(dir, {"check", p}).out,
              p + ":2: unreadable line: the line ends in CR LF (a Windows line end), which report lines never do\n");
}

TEST(IdxreportShow, JsonKeepsTextThatIsNotUtf8AsItsBytes) {
    TempDir dir;
    const std::string path = dir.File("stubs.csv");
    AddStub(path, "/d/caf\xE9");
    ToolResult result = RunTool(dir, {"show", "--format", "json", path});
    EXPECT_EQ(result.code, 0);
    nlohmann::json rows = nlohmann::json::parse(result.out);
    EXPECT_EQ(rows[0]["File Path"], nlohmann::json::parse(R"({"base64": "L2QvY2Fm6Q=="})"));
    EXPECT_NE(result.err.find("1 text field is not UTF-8"), std::string::npos) << result.err;
}

TEST(IdxreportShow, TableEscapesWhatATerminalActsOnAndAlignsWideText) {
    TempDir dir;
    const std::string path = dir.File("stubs.csv");
    AddStub(path, "/d/\xC2\x9B" "31m\x7F\xFF\xE2\x80\xAE");  // C1 CSI, DEL, a stray byte, RIGHT-TO-LEFT OVERRIDE
    AddStub(path, "/d/\xE6\x97\xA5\xE6\x9C\xAC");            // two wide characters
    AddStub(path, "/d/abcd");
    ToolResult result = RunTool(dir, {"show", "--format", "table", "--columns", "File Path,Size In Bytes", path});
    ASSERT_EQ(result.code, 0) << result.err;
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], "/d/\\u{009B}31m\\x7F\\xFF\\u{202E}              1");
    // The wide characters take four columns, as "abcd" does.
    EXPECT_EQ(lines[3].size() - 2, lines[4].size());
    EXPECT_EQ(lines[3].substr(lines[3].size() - 3), "  1");
}

// A name in a directory another user writes can be swapped for a link to a
// root-only file: no command reads through it, so none shows what it holds
// (a header quoted in an error, a host name, a sample), and none can be led
// to a file whose read waits. Standard input reached by /dev/stdin still is.
TEST(IdxreportRead, NoCommandReadsThroughALinkAtAFileName) {
    TempDir dir;
    TempDir elsewhere;
    std::string jobHeader;
    for (const std::string& column : JobStatsReport().GetHeader()) jobHeader += (jobHeader.empty() ? "" : ",") + column;
    WriteWhole(elsewhere.File("secret.csv"), "SECRET-HEADER,x\n");
    WriteWhole(elsewhere.File("jobs"), jobHeader + "\n1,2,1,1,0,0,2.5,1,2,0,1,secret-host,2,0,1,0\n");
    WriteWhole(elsewhere.File("disk"), "Time,DB,Logs,Reports,V1,Other,DiskSize,DiskFree,Alert\n1,0,0,0,0,0,0,31337000,\n");
    const std::vector<std::pair<std::string, std::string>> links = {
        {"shown.csv", "secret.csv"},
        {JobStatsReport::FileName, "jobs"},
        {"IndexCacheStats_1.csv", "disk"},
        {"verify.csv.bad", "secret.csv"},
        {"verify.csv.tmp", "secret.csv"}};
    for (const auto& [name, target] : links)
        ASSERT_EQ(::symlink(elsewhere.File(target).c_str(), dir.File(name).c_str()), 0) << name;
    AddStub(dir.File("verify.csv"), "/d/1");
    Append(dir.File("verify.csv"), "bad line\n");
    const std::vector<std::vector<std::string>> commands = {
        {"show", dir.File("shown.csv")},
        {"check", dir.File("shown.csv")},
        {"jobs", dir.Path()},
        {"disks", dir.Path()},
        {"freespace", dir.File("IndexCacheStats_1.csv")},
        {"check", "--repair", dir.File("verify.csv")},
        {"metrics", dir.Path()}};
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0] + " " + args.back());
        const ToolResult result = RunTool(dir, args);
        const std::string all = result.out + result.err;
        for (const char* secret : {"SECRET", "secret-host", "31337000", "29.0"})
            EXPECT_EQ(all.find(secret), std::string::npos) << all;
        if (args[0] == "metrics") {
            EXPECT_EQ(result.code, 0) << result.err;
            EXPECT_NE(result.out.find("file=\"JobStats.csv\",problem=\"unreadable_file\"} 1"), std::string::npos)
                << result.out;
        } else {
            EXPECT_EQ(result.code, 1) << all;
        }
    }
    EXPECT_NE(ReadWhole(dir.File("verify.csv")).find("bad line"), std::string::npos) << "repaired through a link";
}

}  // namespace
}  // namespace I2::Testing
