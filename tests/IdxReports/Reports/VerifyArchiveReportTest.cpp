#include <IdxReports/Reports/VerifyArchiveReport.h>

#include <cstdint>
#include <ios>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "ReportsTestSupport.h"

namespace I2 {
namespace {

VerifyArchiveRecord MakeStub() {
    VerifyArchiveRecord record;
    record.SetFilePath("/d/f");
    record.SetModifiedTimestamp(1000);
    record.SetSizeInBytes(42);
    record.SetOriginalAppguid("g");
    return record;
}

TEST(VerifyArchiveRecord, WritesFourColumns) {
    EXPECT_EQ(MakeStub().ToString(), "/d/f,1000,42,g");
    VerifyArchiveRecord defaults;
    EXPECT_EQ(defaults.ToString(), ",0,0,");
    VerifyArchiveRecord read = MakeStub();
    ASSERT_OK(read.FromString(",0,0,"));
    EXPECT_EQ(read.ToString(), ",0,0,");
}

TEST(VerifyArchiveRecord, VisitsEveryColumnByNameInLineOrder) {
    VerifyArchiveRecord record;
    record.SetFilePath("/d/a,\"b\"");
    record.SetModifiedTimestamp(-5);
    record.SetSizeInBytes(42);
    record.SetOriginalAppguid("g");
    using C = VerifyArchiveRecord::Column;
    Testing::ExpectVisitedFields<VerifyArchiveReport>(
        record, {{C::FilePath, "/d/a,\"b\"", false}, {C::ModifiedTimestamp, "-5", true},
                 {C::SizeInBytes, "42", true}, {C::OriginalAppguid, "g", false}});
}

TEST(VerifyArchiveRecord, NumbersThatDoNotConvertReadAsZero) {
    VerifyArchiveRecord record = MakeStub();
    ASSERT_OK(record.FromString("/d/f,soon, 42,g"));
    EXPECT_EQ(record.GetModifiedTimestamp(), 0);
    EXPECT_EQ(record.GetSizeInBytes(), 0u);
}

TEST(VerifyArchiveRecord, RefusesOtherColumnCountsUnchanged) {
    for (const char* line : {"/d/f,1,2", "/d/f,1,2,g,", "/d/a,b,1,2,g", ""}) {
        VerifyArchiveRecord record = MakeStub();
        Testing::ExpectInvalidLine(record.FromString(line), "VerifyArchiveRecord");
        EXPECT_EQ(record.ToString(), "/d/f,1000,42,g") << line;
    }
}

TEST(VerifyArchiveRecord, AwkwardTextsRoundTrip) {
    for (const std::string& text : Testing::AwkwardTexts()) {
        VerifyArchiveRecord written;
        written.SetFilePath(text);
        written.SetOriginalAppguid(text);
        VerifyArchiveRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError()) << written.ToString();
        EXPECT_EQ(read.GetFilePath(), text);
        EXPECT_EQ(read.GetOriginalAppguid(), text);
    }
}

TEST(VerifyArchiveReport, AppendsLinesThatReadBackExactly) {
    Testing::TempDir dir;
    const std::string path = dir.File("verify.csv");
    VerifyArchiveReport report;
    ASSERT_OK(report.Open(path, std::ios::out | std::ios::app, false));
    ASSERT_OK(report.AddStubsInfo("/d/a,b", 1000, 42, "g"));
    ASSERT_OK(report.AddStubsInfo("/d/\"q\"", std::numeric_limits<uint64_t>::max(), 7, ""));
    // A line break cannot be stored: refused, nothing written.
    const CQiError err = report.AddStubsInfo("/d/two\nlines", 1, 2, "g");
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(path),
              "File Path,Modified Time,Size In Bytes,Origin App GUID\n"
              "\"/d/a,b\",1000,42,g\n"
              "\"/d/\"\"q\"\"\",-1,7,\n");

    ASSERT_OK(report.Open(path, std::ios::in, false));
    VerifyArchiveReport::DataFrame_t frame;
    ASSERT_OK(report.LoadAll(frame));
    ASSERT_EQ(frame.size(), 2u);
    EXPECT_EQ(frame[0].GetFilePath(), "/d/a,b");
    EXPECT_EQ(frame[1].GetFilePath(), "/d/\"q\"");
    EXPECT_EQ(frame[1].GetModifiedTimestamp(), -1);
}

TEST(VerifyArchiveReport, AppendToUnopenedReportTracesBothOperations) {
    VerifyArchiveReport report;
    Testing::ExpectNotOpenTrace(report.AddStubsInfo("/d/f", 1, 2, "g"), "Reports/VerifyArchiveReport.cpp",
                             "AddStubsInfo");
}

}  // namespace
}  // namespace I2
