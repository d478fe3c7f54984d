#include <IdxReports/Reports/JobStatsReport.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <ios>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReportsTestSupport.h"

namespace I2 {
namespace {

using Testing::Exists;
using Testing::FaultInjector;
using Testing::LockIsFree;
using Testing::ReadLines;
using Testing::ReadWhole;
using Testing::WriteWhole;

const std::string HeaderLine =
    "Total Files in Index,Job Id,Total Commands,Added Files,Deleted Folders,Deleted Files,Seconds To "
    "Playback,"
    "Start Time,End Time,Modified Files,Job Type,Hostname,Timestamp,Status,Root Size,Invalid MIME "
    "Classification";
const std::string ExampleLine = "120,7,3,2,0,1,2.5,100,160,4,1,hostA,170,0,5,0";
const auto Append = std::ios::out | std::ios::app;

JobStatsRecord Example() {
    JobStatsRecord record;
    record.SetTotalFilesInIndex(120);
    record.SetJobId(7);
    record.SetTotalCommands(3);
    record.SetAddedFiles(2);
    record.SetDeletedFolders(0);
    record.SetDeletedFiles(1);
    record.SetSecondsToPlayback(2.5);
    record.SetStartTime(100);
    record.SetEndTime(160);
    record.SetModifiedFiles(4);
    record.SetJobType(1);
    record.SetHostname("hostA");
    record.SetTimestamp(170);
    record.SetStatus(0);
    record.SetRootSize(5);
    record.SetInvalidMIMEClassification(0);
    return record;
}

JobStatsRecord Job(unsigned long long jobId, int status = 0) {
    JobStatsRecord record = Example();
    record.SetJobId(jobId);
    record.SetStatus(status);
    return record;
}

JobStatsRecord Parse(const std::string& line) {
    JobStatsRecord record;
    EXPECT_OK(record.FromString(line));
    return record;
}

void ExpectDefaults(const JobStatsRecord& record, unsigned long long totalFiles = 0) {
    EXPECT_EQ(record.GetTotalFilesInIndex(), totalFiles);
    EXPECT_EQ(record.GetJobId(), 0u);
    EXPECT_EQ(record.GetSecondsToPlayback(), 0.0);
    EXPECT_EQ(record.GetStartTime(), 0);
    EXPECT_EQ(record.GetJobType(), 0);
    EXPECT_EQ(record.GetHostname(), "");
    EXPECT_EQ(record.GetTimestamp(), 0);
    EXPECT_EQ(record.GetStatus(), 0);
    EXPECT_EQ(record.GetInvalidMIMEClassification(), 0u);
}

// --- the record ---

TEST(JobStatsRecord, ExampleLineIsWrittenAndReadByteForByte) {
    JobStatsRecord record = Example();
    EXPECT_EQ(record.ToString(), ExampleLine);
    JobStatsRecord read = Parse(ExampleLine);
    EXPECT_EQ(read.ToString(), ExampleLine);
    EXPECT_EQ(read.GetTotalFilesInIndex(), 120u);
    EXPECT_EQ(read.GetJobId(), 7u);
    EXPECT_EQ(read.GetSecondsToPlayback(), 2.5);
    EXPECT_EQ(read.GetEndTime(), 160);
    EXPECT_EQ(read.GetModifiedFiles(), 4u);
    EXPECT_EQ(read.GetHostname(), "hostA");
    EXPECT_EQ(read.GetTimestamp(), 170);
    EXPECT_EQ(read.GetRootSize(), 5u);
}

// Every field distinct, so that two columns swapped anywhere show.
TEST(JobStatsRecord, VisitsEveryColumnByNameInLineOrder) {
    JobStatsRecord record;
    record.SetTotalFilesInIndex(1);
    record.SetJobId(2);
    record.SetTotalCommands(3);
    record.SetAddedFiles(4);
    record.SetDeletedFolders(5);
    record.SetDeletedFiles(6);
    record.SetSecondsToPlayback(7.5);
    record.SetStartTime(-8);
    record.SetEndTime(9);
    record.SetModifiedFiles(10);
    record.SetJobType(11);
    record.SetHostname("host,12");
    record.SetTimestamp(13);
    record.SetStatus(14);
    record.SetRootSize(15);
    record.SetInvalidMIMEClassification(16);
    using C = JobStatsRecord::Column;
    Testing::ExpectVisitedFields<JobStatsReport>(
        record, {{C::TotalFilesInIndex, "1", true}, {C::JobId, "2", true},          {C::TotalCommands, "3", true},
                 {C::AddedFiles, "4", true},        {C::DeletedFolders, "5", true}, {C::DeletedFiles, "6", true},
                 {C::SecondsToPlayback, "7.5", true}, {C::StartTime, "-8", true},   {C::EndTime, "9", true},
                 {C::ModifiedFiles, "10", true},    {C::JobType, "11", true},       {C::Hostname, "host,12", false},
                 {C::Timestamp, "13", true},        {C::Status, "14", true},        {C::RootSize, "15", true},
                 {C::InvalidMIMEClassification, "16", true}});
}

TEST(JobStatsRecord, ShortOrDamagedLinesReadWithDefaults) {
    ExpectDefaults(Parse(""));
    ExpectDefaults(Parse("5,abc"), 5);
    ExpectDefaults(Parse(" 5"));

    // One record reused for several lines keeps nothing of the previous one.
    JobStatsRecord reused = Parse(ExampleLine);
    ASSERT_OK(reused.FromString("9"));
    ExpectDefaults(reused, 9);

    JobStatsRecord wide = Parse(ExampleLine + ",17,18,19,20");
    EXPECT_EQ(wide.ToString(), ExampleLine);
}

TEST(JobStatsRecord, NumbersKeepTheirTextualLimits) {
    JobStatsRecord record = Example();
    record.SetSecondsToPlayback(1234567.0);
    record.SetStartTime(-42);
    record.SetTotalFilesInIndex(18446744073709551615ULL);
    const std::string line = record.ToString();
    EXPECT_EQ(line, "18446744073709551615,7,3,2,0,1,1.23457e+06,-42,160,4,1,hostA,170,0,5,0");
    JobStatsRecord read = Parse(line);
    EXPECT_EQ(read.GetSecondsToPlayback(), 1234570.0);
    EXPECT_EQ(read.GetStartTime(), -42);
    EXPECT_EQ(read.GetTotalFilesInIndex(), 18446744073709551615ULL);
}

TEST(JobStatsRecord, HostnameBreakingTheLineFormatWasWrittenRaw) {
    for (const std::string& host : Testing::AwkwardTexts()) {
        JobStatsRecord record = Example();
        record.SetHostname(host);
        JobStatsRecord read = Parse(record.ToString());
        EXPECT_EQ(read.GetHostname(), host) << record.ToString();
        EXPECT_EQ(read.GetTimestamp(), 170) << record.ToString();
    }
    EXPECT_EQ(Parse("1,2,3,4,5,6,7,8,9,10,11,\"a,\"\"b\"\"\",13").GetHostname(), "a,\"b\"");
    EXPECT_EQ(Parse("1,2,3,4,5,6,7,8,9,10,11,\"a,\"\"b\"\"\",13").GetTimestamp(), 13);

    JobStatsRecord record;
    const std::vector<std::string> columns = {"12", "\"x,y\"", " 3"};
    EXPECT_EQ(record.GetColumnValue<int>(columns, 0, 1), 12);
    EXPECT_EQ(record.GetColumnValue<std::string>(columns, 1, ""), "x,y");
    EXPECT_EQ(record.GetColumnValue<long>(columns, 2, 4L), 4L);
    EXPECT_EQ(record.GetColumnValue<double>(columns, 3, 0.5), 0.5);
}

TEST(JobStatsRecord, DebugDumpListsEveryFieldAboveLevelSix) {
    JobStatsRecord record = Example();
    {
        Testing::DebugCapture quiet(6);
        record.DebugMe();
        EXPECT_TRUE(quiet.lines.empty());
    }
    Testing::DebugCapture capture(7);
    record.DebugMe();
    ASSERT_EQ(capture.lines.size(), 1u);
    EXPECT_EQ(
        capture.lines[0],
        "virtual void I2::JobStatsRecord::DebugMe()|\nTotal Files in Index = 120\nJob ID = 7\n"
        "Total Commands = 3\nAdded Files = 2\nDeleted Folder = 0\nDelted Files = 1\n"
        "Seconds to pback = 2.500000\nStart time = 100\nEnd time = 160\nModified Files = 4\nJob type = 1\n"
        "Hostname = hostA\nTimestamp = 170\nStatus = 0\nRoot Size = 5\nInvalid MIME Classification = 0");
}

// --- the report ---

class JobStats : public ::testing::Test {
protected:
    Testing::TempDir dir;
    const std::string path = dir.File(JobStatsReport::FileName);

    void WriteRows(const std::vector<JobStatsRecord>& rows) {
        std::string content = HeaderLine + "\n";
        for (JobStatsRecord row : rows) content += row.ToString() + "\n";
        WriteWhole(path, content);
    }
    std::vector<JobStatsRecord> Load() {
        JobStatsReport report;
        JobStatsReport::DataFrame_t rows;
        EXPECT_OK(report.Open(dir.Path(), JobStatsReport::FileName, std::ios::in));
        EXPECT_OK(report.LoadAll(rows));
        return rows;
    }
};

TEST_F(JobStats, HeaderIsBuiltOnceAndHandedOutAsCopies) {
    JobStatsReport report;
    EXPECT_EQ(report.GetHeaderLine(), HeaderLine);
    std::vector<std::string> copy = report.GetHeader();
    ASSERT_EQ(copy.size(), 16u);
    copy[0] = "changed";
    EXPECT_EQ(report.GetHeader()[0], "Total Files in Index");
}

TEST_F(JobStats, AddJobStatsStampsTheCallersRecord) {
    JobStatsReport report;
    ASSERT_OK(report.Open(dir.Path(), JobStatsReport::FileName, Append));
    JobStatsRecord record = Example();
    const long before = static_cast<long>(time(nullptr));
    ASSERT_OK(report.AddJobStats(record));
    const long after = static_cast<long>(time(nullptr));
    ASSERT_OK(report.Close());
    EXPECT_GE(record.GetTimestamp(), before);
    EXPECT_LE(record.GetTimestamp(), after);
    const std::vector<std::string> lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], HeaderLine);
    EXPECT_EQ(lines[1], record.ToString());

    JobStatsReport closed;
    Testing::ExpectNotOpenTrace(closed.AddJobStats(record), "Reports/JobStatsReport.cpp", "AddJobStats");
}

TEST_F(JobStats, OlderShorterLayoutIsConvertedOnOpen) {
    const std::string oldHeader = HeaderLine.substr(0, HeaderLine.find(",Root Size"));
    WriteWhole(path, oldHeader + "\n1,2,3,4,5,6,7,8,9,10,11,h,13,0\n");
    JobStatsReport report;
    ASSERT_OK(report.Open(dir.Path(), JobStatsReport::FileName, Append));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), HeaderLine + "\n1,2,3,4,5,6,7,8,9,10,11,h,13,0,0,0\n");
}

TEST_F(JobStats, TheTenThousandAndFirstRowStartsTheFileAfresh) {
    std::string rows;
    for (int i = 1; i <= 9999; ++i) rows += Job(i).ToString() + "\n";
    WriteWhole(path, HeaderLine + "\n" + rows);
    JobStatsReport report;
    ASSERT_OK(report.Open(dir.Path(), JobStatsReport::FileName, Append));
    JobStatsRecord row = Job(10000);
    ASSERT_OK(report.AddJobStats(row));
    EXPECT_FALSE(Exists(path + ".old"));
    JobStatsRecord next = Job(10001);
    ASSERT_OK(report.AddJobStats(next));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadLines(path + ".old").size(), 10001u);
    EXPECT_EQ(ReadLines(path + ".old").back(), row.ToString());
    EXPECT_EQ(ReadWhole(path), HeaderLine + "\n" + next.ToString() + "\n");
}

TEST_F(JobStats, SetInvalidJobsMarksEveryRowOfEveryListedJob) {
    WriteRows({Job(5), Job(3), Job(5), Job(9), Job(1, 1)});
    std::vector<unsigned long> ids = {9, 42, 5};
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids));
    EXPECT_EQ(ids, (std::vector<unsigned long>{5, 9, 42}));
    std::vector<std::pair<unsigned long long, int>> got;
    for (const JobStatsRecord& row : Load()) got.emplace_back(row.GetJobId(), row.GetStatus());
    EXPECT_EQ(got, (std::vector<std::pair<unsigned long long, int>>{{5, 1}, {3, 0}, {5, 1}, {9, 1}, {1, 1}}));

    const std::string marked = ReadWhole(path);
    std::vector<unsigned long> none;
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), none));
    EXPECT_EQ(ReadWhole(path), marked);
    EXPECT_FALSE(Exists(path + ".tmp"));
}

// Fault: every row was re-serialised, so a row this library did not write
// (quoted text, a number spelt otherwise) came back altered, marked or not.
TEST_F(JobStats, SetInvalidJobsAlteredRowsItWasNotAskedToChange) {
    const std::string kept = "120,8,3,2,0,1,2.50,100,160,4,1,\"host,a\",170,0,5,";
    const std::string marked = "120,7,3,2,0,1,1.5e+07,100,160,4,1,\"say \"\"hi\"\"\",170,0,5,0";
    WriteWhole(path, HeaderLine + "\n" + kept + "\n" + marked + "\n");
    std::vector<unsigned long> ids = {7};
    std::size_t moved = 9;
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids, moved));
    EXPECT_EQ(moved, 0u);
    std::string expected = marked;
    expected.replace(expected.rfind(",0,5,0"), 6, ",1,5,0");
    EXPECT_EQ(ReadWhole(path), HeaderLine + "\n" + kept + "\n" + expected + "\n");
    EXPECT_FALSE(Exists(path + ".bad"));
}

TEST_F(JobStats, SetInvalidJobsOnEmptyMissingAndDamagedFiles) {
    std::vector<unsigned long> ids = {3, 1, 2};
    const CQiError missing = JobStatsReport::SetInvalidJobs(dir.Path(), ids);
    ASSERT_TRUE(missing.IsError());
    EXPECT_EQ(missing.GetErrNo(), 22);
    EXPECT_FALSE(Exists(path));

    WriteWhole(path, HeaderLine + "\n");
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids));
    EXPECT_EQ(ReadWhole(path), HeaderLine + "\n");
    EXPECT_EQ(ids, (std::vector<unsigned long>{1, 2, 3}));

    // A damaged line was written back as a row of zeros; it is set aside now.
    WriteWhole(path, HeaderLine + "\ngarbage\n" + ExampleLine + "\n");
    std::size_t moved = 0;
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids, moved));
    EXPECT_EQ(moved, 1u);
    EXPECT_EQ(ReadWhole(path), HeaderLine + "\n" + ExampleLine + "\n");
    EXPECT_NE(ReadWhole(path + ".bad").find("\n2\tgarbage\n"), std::string::npos);
}

// --- mended faults of SetInvalidJobs ---

TEST_F(JobStats, SetInvalidJobsRotatedALongFile) {
    std::vector<JobStatsRecord> rows;
    for (int i = 1; i <= 10001; ++i) rows.push_back(Job(i));
    WriteRows(rows);
    std::vector<unsigned long> ids = {10001};
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids));
    EXPECT_FALSE(Exists(path + ".old"));
    const std::vector<JobStatsRecord> loaded = Load();
    ASSERT_EQ(loaded.size(), 10001u);
    EXPECT_EQ(loaded.front().GetJobId(), 1u);
    EXPECT_EQ(loaded.back().GetStatus(), 1);
}

TEST_F(JobStats, SetInvalidJobsLostTheFileWhenTheRewriteFailed) {
    WriteRows({Job(1), Job(2)});
    const std::string before = ReadWhole(path);
    for (const bool failRename : {false, true}) {
        FaultInjector injector;
        if (failRename) {
            injector.FailRenames("/JobStats.csv");
        } else {
            injector.FailWrites("/JobStats.csv.tmp");
        }
        std::vector<unsigned long> ids = {1};
        EXPECT_TRUE(JobStatsReport::SetInvalidJobs(dir.Path(), ids).IsError());
        EXPECT_EQ(ReadWhole(path), before);
        EXPECT_FALSE(Exists(path + ".tmp"));
    }
    EXPECT_TRUE(LockIsFree(path));
}

TEST_F(JobStats, SetInvalidJobsReleasedTheLockBetweenLoadAndRewrite) {
    WriteRows({Job(1), Job(2)});
    FaultInjector injector;
    bool lastReadLocked = false;
    int renames = 0;
    injector.OnRead([&](const std::string& file) {
        if (file == path) lastReadLocked = !LockIsFree(path);
    });
    injector.OnRename(Testing::ExpectLockHeldAt(path, path, renames));
    std::vector<unsigned long> ids = {2};
    ASSERT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids));
    EXPECT_EQ(renames, 1);
    EXPECT_TRUE(lastReadLocked) << "the rows were loaded without the lock";
    EXPECT_TRUE(LockIsFree(path));
}

// One process appends job statistics while another marks jobs: every appended
// row survives exactly once and every listed job ends up marked.
TEST_F(JobStats, SetInvalidJobsLostRowsAppendedByAnotherProcess) {
    WriteRows({Job(1), Job(2), Job(3), Job(4)});
    constexpr int Appended = 150;
    const pid_t appender = fork();
    ASSERT_GE(appender, 0);
    if (appender == 0) {
        bool ok = true;
        for (int i = 0; i < Appended && ok; ++i) {
            JobStatsReport report;
            JobStatsRecord row = Job(1000 + i);
            ok = !report.Open(dir.Path(), JobStatsReport::FileName, Append).IsError() &&
                 !report.AddJobStats(row).IsError() && !report.Close().IsError();
        }
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    int passes = 0;
    for (;; ++passes) {
        std::vector<unsigned long> ids = {2, 4};
        EXPECT_OK(JobStatsReport::SetInvalidJobs(dir.Path(), ids));
        if (passes >= 3 && waitpid(appender, &status, WNOHANG) == appender) break;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::map<unsigned long long, int> count;
    for (const JobStatsRecord& row : Load()) {
        ++count[row.GetJobId()];
        const bool listed = row.GetJobId() == 2 || row.GetJobId() == 4;
        EXPECT_EQ(row.GetStatus(), listed ? 1 : 0) << "job " << row.GetJobId();
    }
    EXPECT_EQ(count.size(), 4u + Appended);
    for (const auto& [jobId, times] : count) EXPECT_EQ(times, 1) << "job " << jobId;
}

}  // namespace
}  // namespace I2
