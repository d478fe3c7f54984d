// idxreport jobs, invalidate, freespace, diskfile and demo, and the command
// line itself: usage errors, help, version and the verbose trace.
#include <algorithm>
#include <filesystem>
#include <ios>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>

#include "tools/ToolTestSupport.h"

namespace I2::Testing {
namespace {

struct Job {
    unsigned long long id;
    const char* host;
    int type;
    long timestamp;
    double seconds;
    int status;
};

void WriteJobs(const std::string& directory, const std::string& fileName, const std::vector<Job>& jobs) {
    JobStatsReport report;
    ASSERT_LIB_OK(report.Open(directory, fileName, std::ios::out | std::ios::app));
    for (const Job& job : jobs) {
        JobStatsRecord row;
        row.SetJobId(job.id);
        row.SetHostname(job.host);
        row.SetJobType(job.type);
        row.SetTimestamp(job.timestamp);
        row.SetSecondsToPlayback(job.seconds);
        row.SetStatus(job.status);
        row.SetTotalCommands(job.id * 10);
        row.SetAddedFiles(job.id);
        ASSERT_LIB_OK(report.AddRecord(row));
    }
}

TEST(IdxreportJobs, SummarisesTheFileAndItsOldRows) {
    TempDir dir;
    WriteJobs(dir.Path(), "JobStats.csv.old",
              {{1, "a", 1, 1000, 5, 0}, {2, "b", 2, 2000, 1, 0}, {3, "a", 1, 3000, 9, 1}});
    WriteJobs(dir.Path(), "JobStats.csv",
              {{4, "a", 1, 4000, 2, 0}, {5, "b", 2, 5000, 7, 0}, {6, "c", 3, 6000, 3, 1}, {7, "a", 1, 1709251200, 4, 0}});
    ToolResult result = RunTool(dir, {"jobs", "--format", "json", dir.Path()});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    nlohmann::json summary = nlohmann::json::parse(result.out);
    EXPECT_EQ(summary["rows"], 7);
    EXPECT_EQ(summary["files"], nlohmann::json::parse(R"([{"name":"JobStats.csv.old","rows":3},
                                                          {"name":"JobStats.csv","rows":4}])"));
    EXPECT_EQ(summary["per_host"], nlohmann::json::parse(R"({"a":4,"b":2,"c":1})"));
    EXPECT_EQ(summary["per_type"], nlohmann::json::parse(R"({"1":4,"2":2,"3":1})"));
    EXPECT_EQ(summary["invalid_rows"], 2);
    EXPECT_EQ(summary["invalid_jobs"], nlohmann::json::parse("[3,6]"));
    EXPECT_EQ(summary["first_timestamp"], "1970-01-01T00:16:40Z");
    EXPECT_EQ(summary["last_timestamp"], "2024-03-01T00:00:00Z");
    EXPECT_EQ(summary["totals"]["Total Commands"], 280);
    EXPECT_EQ(summary["totals"]["Added Files"], 28);
    EXPECT_EQ(summary["totals"]["Seconds To Playback"], 31.0);
    std::vector<unsigned long long> slowest;
    for (const auto& row : summary["slowest"]) slowest.push_back(row["Job Id"]);
    EXPECT_EQ(slowest, (std::vector<unsigned long long>{3, 5, 1, 7, 6}));

    ToolResult text = RunTool(dir, {"jobs", dir.Path()});
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("Rows:           7\n"), std::string::npos) << text.out;
}

TEST(IdxreportJobs, FailsWhereThereAreNoJobStatistics) {
    TempDir dir;
    ToolResult result = RunTool(dir, {"jobs", dir.Path()});
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_ONE_ERROR_LINE(result);
}

TEST(IdxreportInvalidate, MarksTheListedJobsAndCountsTheRows) {
    TempDir dir;
    WriteJobs(dir.Path(), "JobStats.csv", {{1, "a", 1, 1, 1, 0}, {2, "a", 1, 2, 1, 0}, {2, "b", 1, 3, 1, 0}, {3, "a", 1, 4, 1, 0}});
    const std::string path = dir.File("JobStats.csv");
    ToolResult result = RunTool(dir, {"invalidate", dir.Path(), "2", "9"});
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, path + ": marked 2 rows invalid\nno rows for job id 9\n");

    ToolResult shown = RunTool(dir, {"show", "--format", "json", path});
    std::vector<int> statuses;
    for (const auto& row : nlohmann::json::parse(shown.out)) statuses.push_back(row["Status"]);
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 0}));

    EXPECT_EQ(RunTool(dir, {"invalidate", dir.Path(), "2"}).out, path + ": marked 0 rows invalid (2 already were)\n");
}

TEST(IdxreportFreeSpace, PrintsOneAveragePerDay) {
    TempDir dir;
    {
        LogicalDiskReport report;
        ASSERT_LIB_OK(report.Open(LogicalDiskReport::GetFilePath(dir.Path(), "/mnt/disk"),
                                  std::ios::out | std::ios::app, false));
        const std::pair<long, unsigned long long> samples[] = {{0, 1}, {3600, 2}, {86399, 3}, {86400, 4}};
        for (const auto& [time, freeMiB] : samples) {
            LogicalDiskRecord sample;
            sample.SetTime(time);
            sample.SetDiskFree(freeMiB << 20);
            ASSERT_LIB_OK(report.AddRecord(sample));
        }
    }
    EXPECT_EQ(RunTool(dir, {"freespace", dir.Path(), "/mnt/disk"}).out, "Day,Free MiB\n1,2.0\n2,4.0\n");
    ToolResult json = RunTool(dir, {"freespace", "--format", "json", dir.Path(), "/mnt/disk"});
    EXPECT_EQ(nlohmann::json::parse(json.out), nlohmann::json::parse(R"([{"Day":1,"Free MiB":2.0},
                                                                         {"Day":2,"Free MiB":4.0}])"));
    ToolResult table = RunTool(dir, {"freespace", "--format", "table", dir.Path(), "/mnt/disk"});
    EXPECT_EQ(table.out.find('#'), std::string::npos) << "bars are for terminals only";

    ToolResult unknown = RunTool(dir, {"freespace", dir.Path(), "/mnt/other"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_ONE_ERROR_LINE(unknown);
}

TEST(IdxreportDiskFile, PrintsTheNameTheLibraryUses) {
    TempDir dir;
    ToolResult result = RunTool(dir, {"diskfile", "/mnt/Disk"});
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.out, LogicalDiskReport::GetFileName("/mnt/Disk") + "\n");
}

TEST(IdxreportCommandLine, UsageErrorsExitWithTwoAndOneLine) {
    TempDir dir;
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"frobnicate"},
        {"show"},
        {"show", "f.csv", "--format", "xml"},
        {"show", "f.csv", "--head", "many"},
        {"show", "f.csv", "--head", "1", "--tail", "1"},
        {"check"},
        {"invalidate", dir.Path(), "abc"},
        {"freespace", dir.Path()},
        {"--no-such-flag"},
    };
    for (const auto& args : usages) {
        ToolResult result = RunTool(dir, args);
        std::string shown;
        for (const std::string& arg : args) shown += arg + " ";
        EXPECT_EQ(result.code, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_ONE_ERROR_LINE(result);
    }
}

TEST(IdxreportCommandLine, HelpAndVersionSucceedOnStdout) {
    TempDir dir;
    ToolResult help = RunTool(dir, {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* command : {"show", "check", "jobs", "freespace", "diskfile", "invalidate", "demo"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    ToolResult checkHelp = RunTool(dir, {"check", "--help"});
    EXPECT_EQ(checkHelp.code, 0);
    EXPECT_NE(checkHelp.out.find("--repair"), std::string::npos);
    ToolResult version = RunTool(dir, {"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("idxreport ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '.'), 2) << version.out;
    EXPECT_EQ(Lines(version.out).size(), 1u) << version.out;
    EXPECT_EQ(help.err + checkHelp.err + version.err, "");
}

TEST(IdxreportCommandLine, VerboseFailureAddsTheTraceOneLocationPerLine) {
    TempDir dir;
    ToolResult quiet = RunTool(dir, {"show", dir.File("missing.csv")});
    EXPECT_ONE_ERROR_LINE(quiet);
    ToolResult verbose = RunTool(dir, {"show", "-v", dir.File("missing.csv")});
    EXPECT_EQ(verbose.code, 1);
    const auto lines = Lines(verbose.err);
    ASSERT_GE(lines.size(), 2u) << verbose.err;
    EXPECT_EQ(lines[0], Lines(quiet.err)[0]);
    for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind("    at ", 0), 0u) << lines[i];
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

TEST(IdxreportDemo, WritesTheSameSoundReportsEveryTime) {
    TempDir dir;
    ToolResult first = RunTool(dir, {"demo", dir.File("a")});
    ToolResult second = RunTool(dir, {"demo", dir.File("b")});
    ASSERT_EQ(first.code, 0) << first.err;
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(first.err + second.err, "");
    EXPECT_EQ(ReplaceAll(first.out, dir.File("a"), "DIR"), ReplaceAll(second.out, dir.File("b"), "DIR"));

    // Past 10000 rows the job statistics rotated.
    EXPECT_EQ(Lines(ReadWhole(dir.File("a/JobStats.csv.old"))).size(), 10001u);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.File("a"))) {
        if (!entry.is_regular_file()) continue;
        files.push_back(entry.path().string());
        const std::string twin = dir.File("b/" + std::filesystem::relative(entry.path(), dir.File("a")).string());
        EXPECT_EQ(ReadWhole(entry.path().string()), ReadWhole(twin)) << twin;
    }
    EXPECT_GE(files.size(), 8u);
    std::vector<std::string> check = {"check"};
    check.insert(check.end(), files.begin(), files.end());
    EXPECT_EQ(RunTool(dir, check).code, 0);

    ToolResult again = RunTool(dir, {"demo", dir.File("a")});
    EXPECT_EQ(again.code, 1);
    EXPECT_ONE_ERROR_LINE(again);
}

}  // namespace
}  // namespace I2::Testing
