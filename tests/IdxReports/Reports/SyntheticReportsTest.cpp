#include <IdxReports/Reports/SyntheticReports.h>

#include <cstdint>
#include <ios>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ReportsTestSupport.h"

namespace I2 {
namespace {

DanglingStubsRecord MakeStub() {
    DanglingStubsRecord record;
    record.SetFilePath("/d/f");
    record.SetModifiedTimestamp(1000);
    record.SetSizeInBytes(42);
    record.SetPulledForwardFromPreviousCycle(true);
    record.SetStubType("t");
    return record;
}

DroppedFilesRecord MakeDropped() {
    DroppedFilesRecord record;
    record.SetFilePath("/d/f");
    record.SetVersionGuid("v");
    record.SetStubOrData("Stub");
    record.SetModifiedTimestamp(1000);
    record.SetSizeInBytes(42);
    record.SetReasonCode(3);
    record.SetReasonString("gone");
    return record;
}

TEST(DanglingStubsRecord, WritesEightColumns) {
    EXPECT_EQ(MakeStub().ToString(), "/d/f,,,1000,42,YES,t,");
    DanglingStubsRecord defaults;
    EXPECT_EQ(defaults.ToString(), ",,,0,0,NO,,");
    DanglingStubsRecord read = MakeStub();
    ASSERT_OK(read.FromString(",,,0,0,NO,,"));
    EXPECT_EQ(read.ToString(), ",,,0,0,NO,,");
}

TEST(DanglingStubsRecord, VisitsEveryColumnByNameInLineOrder) {
    DanglingStubsRecord record = MakeStub();
    record.SetStubsVersionGUID("s");
    record.SetDataVersionGUID("d,\"x\"");
    record.SetOrigAppGUID("g");
    using C = DanglingStubsRecord::Column;
    Testing::ExpectVisitedFields<DanglingStubsReport>(
        record, {{C::FilePath, "/d/f", false}, {C::StubsVersionGUID, "s", false},
                 {C::DataVersionGUID, "d,\"x\"", false}, {C::ModifiedTimestamp, "1000", true},
                 {C::SizeInBytes, "42", true}, {C::PulledForwardFromPreviousCycle, "YES", false},
                 {C::StubType, "t", false}, {C::OrigAppGUID, "g", false}});
}

TEST(DanglingStubsRecord, OnlyExactYesIsPulledForward) {
    for (const char* text : {"YES", "NO", "yes", "Yes", ""}) {
        DanglingStubsRecord record;
        ASSERT_OK(record.FromString(std::string("/d/f,,,1,2,") + text + ",t,"));
        EXPECT_EQ(record.GetPulledForwardFromPreviousCycle(), std::string(text) == "YES") << text;
    }
}

TEST(DanglingStubsRecord, NumbersThatDoNotConvertReadAsZero) {
    DanglingStubsRecord record = MakeStub();
    ASSERT_OK(record.FromString("/d/f,,,abc,,NO,t,"));
    EXPECT_EQ(record.GetModifiedTimestamp(), 0);
    EXPECT_EQ(record.GetSizeInBytes(), 0u);
    ASSERT_OK(record.FromString("/d/f,,,-7,12x,NO,t,"));
    EXPECT_EQ(record.GetModifiedTimestamp(), -7);
    EXPECT_EQ(record.GetSizeInBytes(), 0u);
}

TEST(DanglingStubsRecord, RefusesOtherColumnCountsUnchanged) {
    for (const char* line : {"/d/f,,,1,2,NO,t", "/d/f,,,1,2,NO,t,,", "/d/f,a,b,,,1,2,NO,t,", ""}) {
        DanglingStubsRecord record = MakeStub();
        Testing::ExpectInvalidLine(record.FromString(line), "DanglingStubsRecord");
        EXPECT_EQ(record.ToString(), "/d/f,,,1000,42,YES,t,") << line;
    }
}

TEST(DanglingStubsRecord, EveryTextFieldRoundTripsAwkwardTexts) {
    for (const std::string& text : Testing::AwkwardTexts()) {
        DanglingStubsRecord written;
        written.SetFilePath(text);
        written.SetStubsVersionGUID(text);
        written.SetDataVersionGUID(text);
        written.SetStubType(text);
        written.SetOrigAppGUID(text);
        DanglingStubsRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError()) << written.ToString();
        EXPECT_EQ(read.GetFilePath(), text);
        EXPECT_EQ(read.GetStubsVersionGUID(), text);
        EXPECT_EQ(read.GetDataVersionGUID(), text);
        EXPECT_EQ(read.GetStubType(), text);
        EXPECT_EQ(read.GetOrigAppGUID(), text);
    }
}

TEST(DanglingStubsReport, AppendsLinesThatReadBackExactly) {
    Testing::TempDir dir;
    DanglingStubsReport report;
    EXPECT_EQ(report.GetPath(), "");
    const std::string path = dir.File("stubs.csv");
    ASSERT_OK(report.Open(path, std::ios::out | std::ios::app, false));
    EXPECT_EQ(report.GetPath(), path);

    const std::string filePath = "/share/a \"b\", c.doc";
    ASSERT_OK(report.AddDanglingStubsInfo(filePath, "s", "d", 1ULL << 63, 42, false, "t", "g"));
    ASSERT_OK(report.AddDanglingStubsInfo("/d/f", "", "", 1000, 42, true, "t", ""));
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(path),
              "File Path,Stubs Version GUID,Data Version GUID,Modified Time,Size In Bytes,Pulled Forward,"
              "Stub Type,Origin App GUID\n"
              "\"/share/a \"\"b\"\", c.doc\",s,d,-9223372036854775808,42,NO,t,g\n"
              "/d/f,,,1000,42,YES,t,\n");

    ASSERT_OK(report.Open(path, std::ios::in, false));
    DanglingStubsReport::DataFrame_t frame;
    ASSERT_OK(report.LoadAll(frame));
    ASSERT_EQ(frame.size(), 2u);
    EXPECT_EQ(frame[0].GetFilePath(), filePath);
    EXPECT_EQ(frame[0].GetModifiedTimestamp(), std::numeric_limits<long>::min());
}

TEST(DanglingStubsReport, RefusesALineBreakAndWritesNothing) {
    Testing::TempDir dir;
    DanglingStubsReport report;
    ASSERT_OK(report.Open(dir.File("stubs.csv"), std::ios::out, false));
    const CQiError err = report.AddDanglingStubsInfo("/d/two\nlines", "", "", 1, 2, false, "t", "");
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetTrace().back().file, "Reports/SyntheticReports.cpp");
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(dir.File("stubs.csv")).find("two"), std::string::npos);
}

TEST(DanglingStubsReport, AppendToUnopenedReportTracesBothOperations) {
    DanglingStubsReport report;
    Testing::ExpectNotOpenTrace(report.AddDanglingStubsInfo("/d/f", "", "", 1, 2, false, "t", ""),
                             "Reports/SyntheticReports.cpp", "AddDanglingStubsInfo");
}

TEST(DroppedFilesRecord, WritesSevenColumns) {
    EXPECT_EQ(MakeDropped().ToString(), "/d/f,v,Stub,1000,42,3,gone");
    DroppedFilesRecord defaults;
    EXPECT_EQ(defaults.ToString(), ",,,0,0,0,");
    DroppedFilesRecord read = MakeDropped();
    ASSERT_OK(read.FromString(",,,0,0,0,"));
    EXPECT_EQ(read.ToString(), ",,,0,0,0,");
}

TEST(DroppedFilesRecord, VisitsEveryColumnByNameInLineOrder) {
    DroppedFilesRecord record = MakeDropped();
    record.SetReasonString("gone, \"really\"");
    using C = DroppedFilesRecord::Column;
    Testing::ExpectVisitedFields<DroppedFilesReport>(
        record, {{C::FilePath, "/d/f", false}, {C::VersionGuid, "v", false}, {C::StubOrData, "Stub", false},
                 {C::ModifiedTimestamp, "1000", true}, {C::SizeInBytes, "42", true}, {C::ReasonCode, "3", true},
                 {C::ReasonString, "gone, \"really\"", false}});
}

TEST(DroppedFilesRecord, ReadsAnyStubOrDataTextAndZeroForBadNumbers) {
    DroppedFilesRecord record;
    ASSERT_OK(record.FromString("/d/f,v,Folder,x,,-3,why"));
    EXPECT_EQ(record.GetStubOrData(), "Folder");
    EXPECT_EQ(record.GetModifiedTimestamp(), 0);
    EXPECT_EQ(record.GetSizeInBytes(), 0u);
    EXPECT_EQ(record.GetReasonCode(), -3);
    EXPECT_EQ(record.GetReasonString(), "why");
}

TEST(DroppedFilesRecord, RefusesOtherColumnCountsUnchanged) {
    for (const char* line : {"/d/f,v,Stub,1,2,3", "/d/f,v,Stub,1,2,3,gone,", "/d/f,v,Stub,1,2,3,gone,again"}) {
        DroppedFilesRecord record = MakeDropped();
        Testing::ExpectInvalidLine(record.FromString(line), "DroppedFilesRecord");
        EXPECT_EQ(record.ToString(), "/d/f,v,Stub,1000,42,3,gone") << line;
    }
}

TEST(DroppedFilesRecord, EveryTextFieldRoundTripsAwkwardTexts) {
    for (const std::string& text : Testing::AwkwardTexts()) {
        DroppedFilesRecord written;
        written.SetFilePath(text);
        written.SetVersionGuid(text);
        written.SetStubOrData(text);
        written.SetReasonString(text);
        DroppedFilesRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError()) << written.ToString();
        EXPECT_EQ(read.GetFilePath(), text);
        EXPECT_EQ(read.GetVersionGuid(), text);
        EXPECT_EQ(read.GetStubOrData(), text);
        EXPECT_EQ(read.GetReasonString(), text);
    }
}

TEST(DroppedFilesReport, AppendsStubOrDataAndBitExactNumbers) {
    Testing::TempDir dir;
    DroppedFilesReport report;
    EXPECT_EQ(report.GetPath(), "");
    const std::string path = dir.File("dropped.csv");
    ASSERT_OK(report.Open(path, std::ios::out, false));
    EXPECT_EQ(report.GetPath(), path);
    ASSERT_OK(report.AddDroppedFilesInfo("/d/f", "v", true, 1000, 42, 3, "gone"));
    ASSERT_OK(report.AddDroppedFilesInfo("/d/g,h", "v", false, 1, 2, 1U << 31, "no room, sorry"));
    report.Close();
    EXPECT_EQ(Testing::ReadWhole(path),
              "File Path,Version GUID,Stub Or Data,Modified Time,Size In Bytes,Reason Code,Reason\n"
              "/d/f,v,Stub,1000,42,3,gone\n"
              "\"/d/g,h\",v,Data,1,2,-2147483648,\"no room, sorry\"\n");

    ASSERT_OK(report.Open(path, std::ios::in, false));
    DroppedFilesReport::DataFrame_t frame;
    ASSERT_OK(report.LoadAll(frame));
    ASSERT_EQ(frame.size(), 2u);
    EXPECT_EQ(frame[1].GetFilePath(), "/d/g,h");
    EXPECT_EQ(frame[1].GetReasonCode(), std::numeric_limits<int>::min());
    EXPECT_EQ(frame[1].GetReasonString(), "no room, sorry");
}

TEST(DroppedFilesReport, AppendToUnopenedReportTracesBothOperations) {
    DroppedFilesReport report;
    Testing::ExpectNotOpenTrace(report.AddDroppedFilesInfo("/d/f", "v", true, 1, 2, 3, "r"),
                             "Reports/SyntheticReports.cpp", "AddDroppedFilesInfo");
}

}  // namespace
}  // namespace I2
