// idxreport disks: the disk-samples files of a directory, in every format.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "DiskSummary.h"
#include "ReportKinds.h"
#include "tools/ToolTestSupport.h"

namespace I2::Testing {
namespace {

TEST(IdxreportDisks, ListsEachDiskFileWithItsLatestSampleInEveryFormat) {
    TempDir dir;
    // File order, not the clock, decides which sample is the latest.
    const std::string a = WriteDiskSamples(dir.Path(), "/mnt/a",
                                           {{1709251200, 5ull << 30, ""}, {1709337600, 7ull << 30, "disk low"},
                                            {1709300000, 6ull << 30, ""}});
    const std::string b = WriteDiskSamples(dir.Path(), "/mnt/b", {});
    WriteWhole(dir.File("IndexCacheStats_notanumber.csv"), "not a disk file\n");
    const std::string nameA = LogicalDiskReport::GetFileName("/mnt/a");
    const std::string nameB = LogicalDiskReport::GetFileName("/mnt/b");
    const bool aFirst = nameA < nameB;

    ToolResult json = RunTool(dir, {"disks", "--format", "json", dir.Path()});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(json.err, "");
    const nlohmann::json rowA = {{"File", nameA},        {"Samples", 3},
                                 {"First Time", 1709251200}, {"Latest Time", 1709300000},
                                 {"Latest DiskFree", 6ull << 30}, {"Latest Alert", ""}};
    const nlohmann::json rowB = {{"File", nameB},      {"Samples", 0},          {"First Time", ""},
                                 {"Latest Time", ""}, {"Latest DiskFree", ""}, {"Latest Alert", ""}};
    const nlohmann::json both = aFirst ? nlohmann::json::array({rowA, rowB}) : nlohmann::json::array({rowB, rowA});
    EXPECT_EQ(nlohmann::json::parse(json.out), both);

    ToolResult lines = RunTool(dir, {"disks", "--format", "jsonl", dir.Path()});
    ASSERT_EQ(lines.code, 0) << lines.err;
    const auto jsonLines = Lines(lines.out);
    ASSERT_EQ(jsonLines.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(jsonLines[aFirst ? 0 : 1]), rowA);

    ToolResult csv = RunTool(dir, {"disks", dir.Path()});
    EXPECT_EQ(csv.code, 0);
    EXPECT_NE(csv.out.find(nameA + ",3,1709251200,1709300000,6442450944,\n"), std::string::npos) << csv.out;

    // A table is for people: times as UTC date-times.
    ToolResult table = RunTool(dir, {"disks", "--format", "table", dir.Path()});
    EXPECT_EQ(table.code, 0);
    EXPECT_NE(table.out.find("2024-03-01 00:00:00  2024-03-01 13:33:20"), std::string::npos) << table.out;
}

TEST(IdxreportDisks, SkipsUnreadableLinesAndACutLastLineWithExitOne) {
    TempDir dir;
    const std::string path = WriteDiskSamples(dir.Path(), "/mnt/a", {{1000, 4096, ""}});
    // An unreadable line, a sound sample, then a sample cut inside its alert:
    // it still has nine fields, but a cut line is never taken for a sample.
    WriteWhole(path, ReadWhole(path) + "garbage\n2000,0,0,0,0,0,0,8192,\n3000,0,0,0,0,0,0,1,disk lo");
    ToolResult result = RunTool(dir, {"disks", "--format", "json", dir.Path()});
    EXPECT_EQ(result.code, 1);
    const nlohmann::json rows = nlohmann::json::parse(result.out);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["Samples"], 2);
    EXPECT_EQ(rows[0]["Latest Time"], 2000);
    EXPECT_EQ(rows[0]["Latest DiskFree"], 8192);
    const auto errors = Lines(result.err);
    ASSERT_EQ(errors.size(), 2u) << result.err;
    EXPECT_EQ(errors[0].rfind("idxreport: " + path + ":3: skipped an unreadable line", 0), 0u) << errors[0];
    EXPECT_NE(errors[1].find("the last line, which has no line end"), std::string::npos) << errors[1];
}

TEST(IdxreportDisks, NamesWhyADirectoryCannotBeListed) {
    TempDir dir;
    ToolResult missing = RunTool(dir, {"disks", dir.File("absent")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_ONE_ERROR_LINE(missing);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
    WriteWhole(dir.File("plain"), "");
    ToolResult file = RunTool(dir, {"disks", dir.File("plain")});
    EXPECT_EQ(file.code, 1);
    EXPECT_NE(file.err.find("Not a directory"), std::string::npos) << file.err;
}

// The one-pass reading of everyday samples must never take a line the full
// reading would judge otherwise: each line it takes reads the same both ways,
// and everything unusual is left to the full reading.
TEST(IdxreportDisks, PlainSampleReadingAgreesWithTheFullReading) {
    const struct {
        std::string line;
        bool plain;
    } cases[] = {
        {"1000,10,20,30,0,5,8192,4096,disk low", true},
        {"1000,10,20,30,0,5,8192,4096,", true},
        {"0,0,0,0,0,0,0,0,x", true},
        {"999999999999999999,1,1,1,1,1,1,999999999999999999,a-b_c.d", true},
        {"1000,10,20,30,0,5,8192,18446744073709551615,", false},  // 20 digits: the full way
        {"9223372036854775808,0,0,0,0,0,0,0,", false},
        {"-5,10,20,30,0,5,8192,4096,", false},
        {"+5,10,20,30,0,5,8192,4096,", false},
        {"007,10,20,30,0,5,8192,4096,", false},
        {" 1000,10,20,30,0,5,8192,4096,", false},
        {"1000,10,20,30,0,5,8192,4096 ,", false},
        {",,,,,,,,", false},
        {"1e3,10,20,30,0,5,8192,4096,", false},
        {"1000,10,20,30,0,5,8192,4096, low", false},
        {"1000,10,20,30,0,5,8192,4096,low ", false},
        {"1000,10,20,30,0,5,8192,4096,\"a,b\"", false},
        {"1000,10,20,30,0,5,8192,4096,\"low\"", false},
        {"1000,10,20,30,0,5,8192,4096,a\tb", false},
        {"1000,10,20,30,0,5,8192,4096,x\r", false},
        {"1000,10,20,30,0,5,8192,4096,caf\xc3\xa9", false},
        {std::string("1000,10,20,30,0,5,8192,4096,a") + '\0' + "b", false},
        {"1000,10,20,30,0,5,8192,4096", false},
        {"1000,10,20,30,0,5,8192,4096,x,y", false},
        {"1000,10,20,30,0,5,8192", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        IdxTool::PlainSample plain;
        const bool taken = IdxTool::ReadPlainSample(c.line, plain);
        EXPECT_EQ(taken, c.plain);
        if (!taken) continue;
        LogicalDiskRecord record;
        std::string why;
        ASSERT_TRUE(IdxTool::ReadRecord(record, c.line, LogicalDiskRecord::Column::Count, why)) << why;
        EXPECT_EQ(plain.time, record.GetTime());
        EXPECT_EQ(plain.diskFree, record.GetDiskFree());
        EXPECT_EQ(plain.alert, record.GetAlert());
    }
}

// A file whose every sample opens a new period has as many periods as lines:
// freespace shows the last 100000, says how many it left out and fails, and
// metrics still publishes the last period's average.
TEST(IdxreportDisks, FreespaceShowsTheLastPeriodsOfAFileOfEndlessDays) {
    TempDir dir;
    const std::string path = WriteDiskSamples(dir.Path(), "/mnt/a", {{86400, 1 << 20, ""}});
    std::string text = ReadWhole(path);
    const long periods = 100002;
    for (long i = 2; i <= periods; ++i) text += std::to_string(i * 86400) + ",0,0,0,0,0,0," + std::to_string((i % 7) << 20) + ",\n";
    WriteWhole(path, text);
    ToolResult result = RunTool(dir, {"freespace", "--format", "csv", path});
    EXPECT_EQ(result.code, 1);
    const auto rows = Lines(result.out);
    ASSERT_EQ(rows.size(), 100001u);
    EXPECT_EQ(rows[1], "1970-01-04T00:00:00Z,3.0");
    EXPECT_EQ(rows.back(), "2243-10-19T00:00:00Z,0.0");
    EXPECT_NE(result.err.find("showed the last 100000 periods; the 2 before them are left out"), std::string::npos)
        << result.err;
    ToolResult metrics = RunTool(dir, {"metrics", dir.Path()});
    EXPECT_EQ(metrics.code, 0) << metrics.err;
    EXPECT_NE(metrics.out.find("idxreports_disk_daily_average_free_bytes{dir=\"" + dir.Path() + "\",file=\"" +
                               LogicalDiskReport::GetFileName("/mnt/a") + "\"} " + std::to_string((periods % 7) << 20)),
              std::string::npos);
}

}  // namespace
}  // namespace I2::Testing
