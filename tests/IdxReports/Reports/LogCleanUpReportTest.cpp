#include <IdxReports/Reports/LogCleanUpReport.h>

#include <filesystem>
#include <ios>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ReportsTestSupport.h"

namespace I2 {
namespace {

const std::string Header = "Job Id,Reason\n";

TEST(LogCleanUpRecord, WritesJobIdAndReason) {
    LogCleanUpRecord record;
    EXPECT_EQ(record.ToString(), "0,");
    record.SetJobId("17");
    record.SetReason("aged out");
    EXPECT_EQ(record.ToString(), "17,aged out");
}

TEST(LogCleanUpRecord, VisitsEveryColumnByNameInLineOrder) {
    LogCleanUpRecord record;
    record.SetJobId("17");
    record.SetReason("aged, \"out\"");
    using C = LogCleanUpRecord::Column;
    Testing::ExpectVisitedFields<LogCleanUpReport>(
        record, {{C::JobId, "17", false}, {C::Reason, "aged, \"out\"", false}});
}

TEST(LogCleanUpRecord, RefusesOtherThanTwoFieldsUnchanged) {
    for (const char* line : {"17", "", "17,aged,out"}) {
        LogCleanUpRecord record;
        record.SetJobId("5");
        record.SetReason("kept");
        Testing::ExpectInvalidLine(record.FromString(line), "LogCleanUpRecord");
        EXPECT_EQ(record.ToString(), "5,kept") << line;
    }
}

TEST(LogCleanUpRecord, AwkwardTextsRoundTrip) {
    for (const std::string& text : Testing::AwkwardTexts()) {
        LogCleanUpRecord written;
        written.SetJobId(text);
        written.SetReason(text);
        LogCleanUpRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError()) << written.ToString();
        EXPECT_EQ(read.GetJobId(), text);
        EXPECT_EQ(read.GetReason(), text);
    }
}

TEST(LogCleanUpReport, OpenCreatesDirectoriesAndStartsTheFileAfresh) {
    Testing::TempDir dir;
    const std::string path = dir.File("a/b/LogCleanUpReport.csv");
    LogCleanUpReport report;
    ASSERT_OK(report.Open(dir.Path(), "a", "b"));
    EXPECT_EQ(report.GetPath(), path);
    std::string jobId = "17";
    std::string reason = "aged out, twice";
    ASSERT_OK(report.AddCleanUpRecord(std::move(jobId), std::move(reason)));
    // Copied, not moved from.
    EXPECT_EQ(jobId, "17");
    EXPECT_EQ(reason, "aged out, twice");
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(path), Header + "17,\"aged out, twice\"\n");

    {
        LogCleanUpReport reader;
        ASSERT_OK(reader.Open(path, std::ios::in, false));
        LogCleanUpReport::DataFrame_t frame;
        ASSERT_OK(reader.LoadAll(frame));
        ASSERT_EQ(frame.size(), 1u);
        EXPECT_EQ(frame[0].GetReason(), "aged out, twice");
    }

    // Every Open empties the file, also twice on one object.
    ASSERT_OK(report.Open(dir.Path(), "a", "b"));
    ASSERT_OK(report.AddCleanUpRecord("1", "x"));
    ASSERT_OK(report.Open(dir.Path(), "a", "b"));
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(path), Header);
}

// Fault: a link planted at a directory the report creates sent the report (and
// its truncating open) into the directory the link named.
TEST(LogCleanUpReport, LinkPlantedAsItsDirectoryWasFollowed) {
    Testing::TempDir dir;
    const std::string elsewhere = dir.File("elsewhere");
    std::filesystem::create_directory(elsewhere);
    Testing::WriteWhole(elsewhere + "/LogCleanUpReport.csv", "precious\n");
    std::filesystem::create_directory(dir.File("Logs"));
    std::filesystem::create_directory_symlink(elsewhere, dir.File("Logs/CleanUp"));
    LogCleanUpReport report;
    const CQiError err = report.Open(dir.Path(), "Logs", "CleanUp");
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_NE(err.Describe().find("symbolic link"), std::string::npos) << err.Describe();
    EXPECT_EQ(Testing::ReadWhole(elsewhere + "/LogCleanUpReport.csv"), "precious\n");

    // Levels of several components below a base that does not exist yet.
    ASSERT_OK(report.Open(dir.File("new/base"), "x/y", "z"));
    ASSERT_OK(report.Close());
    EXPECT_EQ(Testing::ReadWhole(dir.File("new/base/x/y/z/LogCleanUpReport.csv")), Header);
}

TEST(LogCleanUpReport, AppendToUnopenedReportTracesBothOperations) {
    LogCleanUpReport report;
    Testing::ExpectNotOpenTrace(report.AddCleanUpRecord("1", "x"), "Reports/LogCleanUpReport.cpp", "AddCleanUpRecord");
}

}  // namespace
}  // namespace I2
