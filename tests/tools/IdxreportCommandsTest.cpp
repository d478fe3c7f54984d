// idxreport jobs, invalidate, freespace, diskfile and demo, and the command
// line itself: usage errors, help, version and the verbose trace.
#include <algorithm>
#include <filesystem>
#include <ios>
#include <sstream>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>

#include "Console.h"
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
    ToolResult result = RunTool(dir, {"invalidate", dir.Path(), "2"});
    EXPECT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.out, path + ": marked 2 rows invalid\n");

    ToolResult shown = RunTool(dir, {"show", "--format", "json", path});
    std::vector<int> statuses;
    for (const auto& row : nlohmann::json::parse(shown.out)) statuses.push_back(row["Status"]);
    EXPECT_EQ(statuses, (std::vector<int>{0, 1, 1, 0}));

    EXPECT_EQ(RunTool(dir, {"invalidate", dir.Path(), "2"}).out, path + ": marked 0 rows invalid (2 already were)\n");
}

// A typo in a job id, or a job whose rows rotated away, must not look done.
TEST(IdxreportInvalidate, FailsForJobsWithoutRowsAndNamesThoseOnlyInOld) {
    TempDir dir;
    WriteJobs(dir.Path(), "JobStats.csv.old", {{5, "a", 1, 1, 1, 0}});
    WriteJobs(dir.Path(), "JobStats.csv", {{1, "a", 1, 1, 1, 0}});
    const std::string path = dir.File("JobStats.csv");
    RunCases(dir, {
        {{"invalidate", dir.Path(), "1", "999999"}, 1, "=" + path + ": marked 1 row invalid\n",
         "=idxreport: " + path + ": no rows for job id 999999\n"},
        {{"invalidate", dir.Path(), "5", "7", "8"}, 1, "marked 0 rows",
         "no rows for job ids 7, 8; job id 5 only in " + path + ".old, which invalidate does not change"},
    });
}

void AddSamples(const std::string& path, const std::vector<std::pair<long, unsigned long long>>& samples) {
    LogicalDiskReport report;
    ASSERT_LIB_OK(report.Open(path, std::ios::out | std::ios::app, false));
    for (const auto& [time, freeMiB] : samples) {
        LogicalDiskRecord sample;
        sample.SetTime(time);
        sample.SetDiskFree(freeMiB << 20);
        ASSERT_LIB_OK(report.AddRecord(sample));
    }
}

// The value metrics publishes as the disk's latest daily average, or -1 when
// it publishes none.
double PublishedDailyAverage(const TempDir& dir) {
    const ToolResult metrics = RunTool(dir, {"metrics", dir.Path()});
    const std::string name = "\nidxreports_disk_daily_average_free_bytes{";
    const std::size_t at = metrics.out.find(name);
    if (at == std::string::npos) return -1;
    const std::size_t end = metrics.out.find('\n', at + 1);
    const std::size_t value = metrics.out.rfind(' ', end) + 1;
    return std::stod(metrics.out.substr(value, end - value));
}

TEST(IdxreportFreeSpace, OneRowPerPeriodDatedByItsStart) {
    TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "/mnt/disk");
    // A gap of two days: the rows say so by their dates.
    AddSamples(path, {{1709251200, 1}, {1709254800, 2}, {1709337599, 3}, {1709510400, 4}, {1709510401, 7}});
    std::vector<double> library;
    {
        LogicalDiskReport report;
        ASSERT_LIB_OK(report.Open(dir.Path(), "/mnt/disk"));
        ASSERT_LIB_OK(report.LoadIndexCacheDiskFreeSpace(library));
    }
    ASSERT_EQ(library, (std::vector<double>{2.0, 5.5}));
    // metrics averages in its one pass, and must agree with the library.
    EXPECT_EQ(PublishedDailyAverage(dir), 5.5 * 1048576);
    const std::string csv = "=Period start (UTC),Free MiB\n2024-03-01T00:00:00Z,2.0\n2024-03-04T00:00:00Z,5.5\n";
    RunCases(dir, {
        {{"freespace", dir.Path(), "/mnt/disk"}, 0, csv},
        {{"freespace", path}, 0, csv},
        {{"freespace", "--format", "table", path}, 0, "2024-03-04 00:00:00       5.5"},
        {{"freespace", "--format", "jsonl", path}, 0, "{\"Period start (UTC)\": \"2024-03-01T00:00:00Z\", \"Free MiB\": 2.0}\n"},
        {{"freespace", dir.Path(), "/mnt/disk/"}, 1, "=", "the key is taken byte for byte, and \"/mnt/disk\" has samples"},
        {{"freespace", dir.Path(), "/mnt/other"}, 1, "=", "no samples for disk key \"/mnt/other\""},
        {{"freespace", dir.Path(), ""}, 2, "=", "the disk key is empty"},
        {{"freespace", dir.Path()}, 2, "=", "is a directory"},
    });
    ToolResult table = RunTool(dir, {"freespace", "--format", "table", path});
    EXPECT_EQ(table.out.find('#'), std::string::npos) << "bars are for terminals only";
}

// The server's averaging stops at a bad line; the tool names it, averages the
// rest and sends the user to the repair.
TEST(IdxreportFreeSpace, SkipsABadLineByNumberAndPointsToTheRepair) {
    TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "disk");
    AddSamples(path, {{0, 1}, {60, 3}});
    WriteWhole(path, ReadWhole(path) + "120,0,0,0,0,0,0,notanumber,\n");
    AddSamples(path, {{180, 5}});
    RunCases(dir, {{{"freespace", path}, 1, "=Period start (UTC),Free MiB\n1970-01-01T00:00:00Z,3.0\n",
                    "idxreport: " + path + ":4: skipped unreadable line: column \"DiskFree\": \"notanumber\" is not a "
                    "number\nidxreport: " + path + ": skipped 1 unreadable line; the server's own averaging stops at "
                    "the first of them: idxreport check --repair " + path}});
    // Where the tool refuses a line, metrics shows the library's own verdict.
    std::vector<double> library;
    LogicalDiskReport report;
    ASSERT_LIB_OK(report.Open(path, std::ios::in, false));
    const bool averaged = !report.LoadIndexCacheDiskFreeSpace(library).IsError() && !library.empty();
    EXPECT_EQ(PublishedDailyAverage(dir), averaged ? library.back() * 1048576 : -1);
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
        {"invalidate", dir.Path(), "-5"},
        {"invalidate", dir.Path(), "1", ""},
        {"freespace", dir.Path()},
        {"--no-such-flag"},
        {"show", "f.csv", "--head", "-1"},
        {"show", "f.csv", "--tail", "1.5"},
        {"show", "f.csv", "--where", "novalue"},
        {"show", "f.csv", "--until", "2024-02-30x"},
        {"check", "--lock-timeout", "100", "f.csv"},
        {"check", "--repair", "--lock-timeout", "-5", "f.csv"},
        {"check", "--repair", "--lock-timeout", "soon", "f.csv"},
        {"check", "--repair", "-"},
        {"jobs", "--format", "csv", dir.Path()},
        {"help", "bogus"},
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

TEST(IdxreportCommandLine, ErrorsNameTheCauseAndTheHelpToRead) {
    TempDir dir;
    WriteWhole(dir.File("file"), "x\n");
    RunCases(dir, {
        {{"bogus"}, 2, "=", "=idxreport: unknown subcommand \"bogus\" (see idxreport --help)\n"},
        {{"show", "--head", "x", "f"}, 2, "=", "(see idxreport help show)\n"},
        {{"show", dir.File("file/r.csv")}, 1, "=", ": not a directory\n"},
        {{"show", dir.File("none.csv")}, 1, "=", ": no such file\n"},
        {{"jobs", dir.File("file")}, 1, "=", ": not a directory\n"},
        {{"jobs", dir.File("none")}, 1, "=", ": no such file\n"},
        {{"help"}, 0, "Usage: idxreport [OPTIONS] SUBCOMMAND"},
        {{"help", "check"}, 0, "--lock-timeout"},
        {{"check", "--help"}, 0, "3 when --repair repaired them"},
        {{"help"}, 0, "\n  3  check --repair repaired files"},
    });
}

TEST(IdxreportJobs, TakesThePathOfTheReportForItsDirectory) {
    TempDir dir;
    WriteJobs(dir.Path(), "JobStats.csv", {{1, "a", 1, 1, 1, 0}});
    RunCases(dir, {
        {{"jobs", dir.File("JobStats.csv")}, 0, "  JobStats.csv              1 row\n"},
        {{"jobs", "--format", "table", dir.Path()}, 0, "Invalid:        0 rows of 0 jobs\n"},
    });
    WriteWhole(dir.File("JobStats.csv"), ReadWhole(dir.File("JobStats.csv")) + "1,2,3\n");
    RunCases(dir, {{{"jobs", dir.Path()}, 1, "Unreadable:     1 line skipped\n", "skipped 1 unreadable line"}});
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

TEST(IdxreportCommandLine, FailureNamesEveryCauseAndVerboseTracesEach) {
    const CQiError root = FXErrorUtil::ErrorSysErrNo(FX_CODE_LOCATION, 28, 28, "No space left on device");
    const CQiError middle = FXErrorUtil::Recode(FX_CODE_LOCATION, 5, root, "Failed to flush");
    const CQiError top = FXErrorUtil::Recode(FX_CODE_LOCATION, 150, middle, "Cannot rewrite the report");
    const std::string line = "idxreport: r.csv: Cannot rewrite the report; caused by: Failed to flush; "
                             "caused by: No space left on device\n";
    for (const bool verbose : {false, true}) {
        std::ostringstream out, err;
        const IdxTool::Console console{out, err, false, false, verbose};
        EXPECT_EQ(console.Fail("r.csv", top), IdxTool::kExitFailed);
        const std::vector<std::string> lines = Lines(err.str());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0] + "\n", line);
        if (!verbose) {
            EXPECT_EQ(lines.size(), 1u) << err.str();
            continue;
        }
        // Each level: its trace, then the next cause under "caused by".
        std::vector<std::string> shape;
        for (std::size_t i = 1; i < lines.size(); ++i)
            shape.push_back(lines[i].rfind("    at ", 0) == 0 ? "at" : lines[i]);
        EXPECT_EQ(shape, (std::vector<std::string>{"at", "  caused by: Failed to flush", "at",
                                                   "  caused by: No space left on device", "at"}))
            << err.str();
    }
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
