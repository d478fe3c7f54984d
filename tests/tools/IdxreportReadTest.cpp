// idxreport show and check, on files the library wrote and on damaged ones.
#include <functional>
#include <ios>
#include <string>
#include <vector>

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
    EXPECT_EQ(RunTool(dir, {"check", path}).out, path + ": ok (1 records)\n");
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
    WriteWhole(path + ".tmp", "Time\n");
    ToolResult result = RunTool(dir, {"check", path});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(Lines(result.out),
              (std::vector<std::string>{path + ":4: unreadable line: 3 fields where the header has 9",
                                        path + ":6: torn last line, no line end: 3 fields where the header has 9",
                                        path + ".tmp: leftover temporary file of an interrupted rewrite"}))
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
    EXPECT_EQ(lines[4], good + ": ok (1 records)");
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
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("moved 2 unreadable lines to " + path + ".bad"), std::string::npos) << result.out;

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
    EXPECT_EQ(RunTool(dir, {"check", path}).out, path + ": ok (4 records)\n");
    // A second repair finds nothing to move and leaves ".bad" as it was.
    EXPECT_EQ(RunTool(dir, {"check", "--repair", path}).code, 0);
    EXPECT_EQ(Lines(ReadWhole(path + ".bad")).size(), 3u);
}

TEST(IdxreportRepair, KeepsAReadableLastLineAndGivesItItsLineEnd) {
    TempDir dir;
    WriteCleanUps(dir.Path(), 1);
    const std::string path = dir.File(LogCleanUpReport::FileName);
    Append(path, "18,late");
    ToolResult checked = RunTool(dir, {"check", path});
    EXPECT_EQ(checked.code, 1);
    EXPECT_EQ(checked.out, path + ":3: last line has no line end\n");

    ToolResult repaired = RunTool(dir, {"check", "--repair", path});
    EXPECT_EQ(repaired.code, 0) << repaired.err;
    EXPECT_EQ(ReadWhole(path), "Job Id,Reason\n0,aged out\n18,late\n");
    EXPECT_FALSE(CQiPath::Exists(path + ".bad"));
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
    EXPECT_EQ(result.code, 0) << result.out << result.err;
    EXPECT_FALSE(CQiPath::Exists(path + ".tmp"));
    EXPECT_EQ(ReadWhole(path), before);
}

}  // namespace
}  // namespace I2::Testing
