// idxreport metrics, checked by the components it publishes into: promtool
// checks the exposition and the example rules, and a node_exporter started
// here on the loopback serves the textfile to a scrape. The tests that need
// them skip, saying what to install, where they are missing.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <ios>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <IdxReports/Reports/JobStatsReport.h>

#include "Metrics.h"
#include "System.h"
#include "tools/ToolTestSupport.h"

namespace I2::Testing {
namespace {

// The value of the sample written exactly as `series` (name and labels, in
// the sorted label order both we and Prometheus use), if there is one.
std::optional<double> Sample(const std::string& text, const std::string& series) {
    for (const std::string& line : Lines(text)) {
        if (line.size() > series.size() && line.compare(0, series.size(), series) == 0 && line[series.size()] == ' ')
            return std::stod(line.substr(series.size() + 1));
    }
    return std::nullopt;
}

// The sum of every sample of `name` whose labels hold `labelText`.
double SumOf(const std::string& text, const std::string& name, const std::string& labelText = "") {
    double sum = 0;
    for (const std::string& line : Lines(text)) {
        if (line.compare(0, name.size() + 1, name + "{") == 0 && line.find(labelText) != std::string::npos)
            sum += std::stod(line.substr(line.rfind(' ') + 1));
    }
    return sum;
}

void AddJob(JobStatsReport& report, unsigned long long id, const std::string& host, int type, long timestamp,
            double seconds, int status) {
    JobStatsRecord row;
    row.SetJobId(id);
    row.SetHostname(host);
    row.SetJobType(type);
    row.SetTimestamp(timestamp);
    row.SetSecondsToPlayback(seconds);
    row.SetStatus(status);
    row.SetTotalCommands(id * 10);
    row.SetAddedFiles(id);
    row.SetTotalFilesInIndex(1000);
    ASSERT_LIB_OK(report.AddRecord(row));
}

TEST(IdxreportMetrics, LabelValuesAreEscapedAndStayUtf8) {
    struct Case {
        std::string in;
        std::string out;
        bool altered;
    };
    const Case cases[] = {
        {"idx-east-01", "idx-east-01", false},
        {"a\"b\\c", "a\\\"b\\\\c", false},
        {"two\nlines", "two\\nlines", false},
        {"tab\tstays", "tab\tstays", false},
        {"h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", "h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", false},
        {"host\xff", "host\\\\xff", true},
        {"\xc0\xaf", "\\\\xc0\\\\xaf", true},         // overlong '/'
        {"\xed\xa0\x80", "\\\\xed\\\\xa0\\\\x80", true},  // a surrogate
        {"cut\xe2\x82", "cut\\\\xe2\\\\x82", true},     // a sequence cut short
        {"\xf4\x90\x80\x80", "\\\\xf4\\\\x90\\\\x80\\\\x80", true},  // past U+10FFFF
    };
    for (const Case& c : cases) {
        bool altered = false;
        EXPECT_EQ(IdxTool::LabelValue(c.in, altered), c.out) << c.in;
        EXPECT_EQ(altered, c.altered) << c.in;
    }
}

// Job statistics in the file and its .old, two disks, and a report of each
// kind of damage; what the metrics say about each.
class MetricsDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        {
            JobStatsReport old;
            ASSERT_LIB_OK(old.Open(dir.Path(), "JobStats.csv.old", std::ios::out | std::ios::app));
            AddJob(old, 1, "a", 1, 1000, 0.5, 0);
            AddJob(old, 2, "b", 2, 2000, 30, 0);
            AddJob(old, 3, "a", 1, 3000, 4000, 1);
        }
        {
            JobStatsReport current;
            ASSERT_LIB_OK(current.Open(dir.Path(), "JobStats.csv", std::ios::out | std::ios::app));
            AddJob(current, 4, "a", 1, 4000, 2, 0);
            AddJob(current, 5, "b", 2, 5000, 100000, 0);
            AddJob(current, 6, "a", 3, 1709251200, 60, 0);
        }
        WriteDiskSamples(dir.Path(), "/mnt/a", {{100, 3ull << 20, ""}, {3700, 5ull << 20, "low"}, {90000, 8ull << 20, ""}});
        WriteDiskSamples(dir.Path(), "/mnt/b", {{100, 1ull << 40, "disk full soon"}});
        // A dropped-files report with an unreadable line and a cut last line,
        // the .bad of an earlier repair and a temporary a crash left.
        WriteWhole(dir.File("Dropped.csv"),
                   "File Path,Version GUID,Stub Or Data,Modified Time,Size In Bytes,Reason Code,Reason\n"
                   "/a,g,Stub,1,2,3,r\n"
                   "/b,g\n"
                   "/c,g,Stub,1,2,3,r\n"
                   "/d,g,Stub,1,2,3,cut he");
        WriteWhole(dir.File("Dropped.csv.bad"), "# moved\n1\tx\n2\ty");
        WriteWhole(dir.File("Dropped.csv.tmp"), "");
        WriteWhole(dir.File("notes.csv"), "not,a,report\n");
        WriteWhole(dir.File("Gone.csv.tmp"), "");
        WriteWhole(dir.File("unrelated.log"), "ignored\n");
        // Where LogCleanUpReport keeps its file, and deeper than reports go.
        std::filesystem::create_directories(dir.File("Logs/CleanUp/deeper"));
        WriteWhole(dir.File("Logs/CleanUp/LogCleanUpReport.csv"), "Job Id,Reason\n1,r\n2,s\n");
        WriteWhole(dir.File("Logs/CleanUp/deeper/Too.csv"), "Job Id,Reason\n1,r\n");
        WriteWhole(dir.File("Logs/export.csv"), "somebody,else's\n");
    }

    TempDir dir;
};

TEST_F(MetricsDirectory, PublishesWhatTheReportsHold) {
    // The same directory given twice (once with a trailing slash) is published once.
    ToolResult result = RunTool(dir, {"metrics", dir.Path(), dir.Path() + "/"});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string& m = result.out;
    const std::string d = "dir=\"" + dir.Path() + "\"";
    const std::string a1 = "{" + d + ",host=\"a\",job_type=\"1\"}";
    EXPECT_EQ(Sample(m, "idxreports_job_rows" + a1), 3);
    EXPECT_EQ(Sample(m, "idxreports_job_invalid_rows" + a1), 1);
    EXPECT_EQ(Sample(m, "idxreports_job_latest_timestamp_seconds" + a1), 4000);
    EXPECT_EQ(Sample(m, "idxreports_job_commands" + a1), 80);
    EXPECT_EQ(Sample(m, "idxreports_job_added_files" + a1), 8);
    EXPECT_EQ(Sample(m, "idxreports_job_latest_timestamp_seconds{" + d + ",host=\"a\",job_type=\"3\"}"), 1709251200);
    EXPECT_EQ(Sample(m, "idxreports_job_hosts{" + d + "}"), 2);
    // Playback 0.5, 4000 and 2 seconds: cumulative buckets.
    const std::string bucketA1 = "idxreports_job_playback_seconds_bucket{" + d + ",host=\"a\",job_type=\"1\",le=";
    EXPECT_EQ(Sample(m, bucketA1 + "\"1\"}"), 1);
    EXPECT_EQ(Sample(m, bucketA1 + "\"10\"}"), 2);
    EXPECT_EQ(Sample(m, bucketA1 + "\"3600\"}"), 2);
    EXPECT_EQ(Sample(m, bucketA1 + "\"7200\"}"), 3);
    EXPECT_EQ(Sample(m, bucketA1 + "\"+Inf\"}"), 3);
    EXPECT_EQ(Sample(m, "idxreports_job_playback_seconds_sum" + a1), 4002.5);
    EXPECT_EQ(Sample(m, "idxreports_job_playback_seconds_count" + a1), 3);
    // Past the largest bucket: only +Inf holds it.
    const std::string bucketB2 = "idxreports_job_playback_seconds_bucket{" + d + ",host=\"b\",job_type=\"2\",le=";
    EXPECT_EQ(Sample(m, bucketB2 + "\"86400\"}"), 1);
    EXPECT_EQ(Sample(m, bucketB2 + "\"+Inf\"}"), 2);

    const std::string diskA = "{" + d + ",file=\"" + LogicalDiskReport::GetFileName("/mnt/a") + "\"}";
    const std::string diskB = "{" + d + ",file=\"" + LogicalDiskReport::GetFileName("/mnt/b") + "\"}";
    EXPECT_EQ(Sample(m, "idxreports_disk_samples" + diskA), 3);
    EXPECT_EQ(Sample(m, "idxreports_disk_free_bytes" + diskA), 8 << 20);
    EXPECT_EQ(Sample(m, "idxreports_disk_latest_sample_timestamp_seconds" + diskA), 90000);
    EXPECT_EQ(Sample(m, "idxreports_disk_alert" + diskA), 0);
    EXPECT_EQ(Sample(m, "idxreports_disk_alert" + diskB), 1);
    // The library's daily averages are 4 MiB and then 8 MiB; the latest, in bytes.
    EXPECT_EQ(Sample(m, "idxreports_disk_daily_average_free_bytes" + diskA), 8 << 20);
    EXPECT_EQ(Sample(m, "idxreports_disk_free_bytes" + diskB), 1ull << 40);

    auto health = [&](const std::string& file, const std::string& metric, const std::string& problem = "") {
        return Sample(m, "idxreports_report_" + metric + "{" + d + ",file=\"" + file + "\"" +
                             (problem.empty() ? "" : ",problem=\"" + problem + "\"") + "}");
    };
    EXPECT_EQ(health("Dropped.csv", "records"), 2);
    EXPECT_EQ(health("Dropped.csv", "problems", "unreadable_line"), 1);
    EXPECT_EQ(health("Dropped.csv", "problems", "unterminated_tail"), 1);
    EXPECT_EQ(health("Dropped.csv", "bad_lines"), 3);
    EXPECT_EQ(health("Dropped.csv", "leftover_tmp"), 1);
    EXPECT_EQ(health("notes.csv", "problems", "unknown_header"), 1);
    EXPECT_EQ(health("Gone.csv", "leftover_tmp"), 1);
    EXPECT_EQ(health("JobStats.csv", "records"), 3);
    EXPECT_EQ(health("JobStats.csv.old", "problems", "unreadable_line"), 0);
    EXPECT_EQ(SumOf(m, "idxreports_report_problems", "JobStats.csv"), 0);
    EXPECT_EQ(m.find("unrelated.log"), std::string::npos);
    EXPECT_EQ(health("Logs/CleanUp/LogCleanUpReport.csv", "records"), 2);
    EXPECT_EQ(m.find("Too.csv"), std::string::npos);
    EXPECT_EQ(m.find("export.csv"), std::string::npos) << "not a report";
    EXPECT_EQ(Sample(m, "idxreports_directory_readable{" + d + "}"), 1);
    EXPECT_TRUE(Sample(m, "idxreports_metrics_generated_timestamp_seconds"));
    EXPECT_TRUE(Sample(m, "idxreports_metrics_generation_duration_seconds"));
    // Every family once, under its HELP and TYPE.
    std::map<std::string, int> types;
    for (const std::string& line : Lines(m)) {
        if (line.rfind("# TYPE ", 0) == 0) ++types[line.substr(7, line.find(' ', 7) - 7)];
    }
    for (const auto& [name, count] : types) EXPECT_EQ(count, 1) << name;
}

TEST(IdxreportMetrics, ManyHostsFoldTheLeastRecentlyActiveIntoOther) {
    TempDir dir;
    {
        JobStatsReport report;
        ASSERT_LIB_OK(report.Open(dir.Path(), "JobStats.csv", std::ios::out | std::ios::app));
        for (int i = 0; i < 55; ++i) AddJob(report, static_cast<unsigned long long>(i + 1), "h" + std::to_string(i), 1, 1000 + i, 1, 0);
    }
    ToolResult result = RunTool(dir, {"metrics", dir.Path()});
    ASSERT_EQ(result.code, 0) << result.err;
    const std::string d = "dir=\"" + dir.Path() + "\"";
    EXPECT_EQ(Sample(result.out, "idxreports_job_hosts{" + d + "}"), 55);
    EXPECT_EQ(Sample(result.out, "idxreports_job_rows{" + d + ",host=\"(other)\",job_type=\"1\"}"), 5);
    EXPECT_EQ(Sample(result.out, "idxreports_job_latest_timestamp_seconds{" + d + ",host=\"(other)\",job_type=\"1\"}"),
              1004);
    EXPECT_FALSE(Sample(result.out, "idxreports_job_rows{" + d + ",host=\"h4\",job_type=\"1\"}"));
    EXPECT_EQ(Sample(result.out, "idxreports_job_rows{" + d + ",host=\"h5\",job_type=\"1\"}"), 1);
    EXPECT_EQ(SumOf(result.out, "idxreports_job_rows"), 55);
}

TEST_F(MetricsDirectory, AnUnreadableDirectoryIsPublishedAndFailsTheRun) {
    ToolResult result = RunTool(dir, {"metrics", dir.File("absent"), dir.Path()});
    EXPECT_EQ(result.code, 1);
    EXPECT_ONE_ERROR_LINE(result);
    EXPECT_EQ(Sample(result.out, "idxreports_directory_readable{dir=\"" + dir.File("absent") + "\"}"), 0);
    EXPECT_EQ(Sample(result.out, "idxreports_directory_readable{dir=\"" + dir.Path() + "\"}"), 1);
}

TEST_F(MetricsDirectory, TextfileIsReplacedWholeAndReadableByTheExporter) {
    const std::string textfiles = dir.File("textfiles");
    ::mkdir(textfiles.c_str(), 0755);
    const mode_t saved = ::umask(077);  // as under cron or a hardened unit
    ToolResult first = RunTool(dir, {"metrics", "--textfile-dir", textfiles, dir.Path()});
    ToolResult second = RunTool(dir, {"metrics", "--textfile-dir", textfiles, dir.Path()});
    ::umask(saved);
    ASSERT_EQ(first.code, 0) << first.err;
    ASSERT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(first.out + second.out, "");
    EXPECT_EQ(IdxTool::FilesUnder(textfiles), std::vector<std::string>{"idxreports.prom"}) << "a temporary was left";
    struct stat st {};
    ASSERT_EQ(::stat((textfiles + "/idxreports.prom").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_TRUE(Sample(ReadWhole(textfiles + "/idxreports.prom"), "idxreports_job_hosts{dir=\"" + dir.Path() + "\"}"));

    // A link planted at the name is replaced, never written through.
    const std::string victim = dir.File("victim");
    WriteWhole(victim, "keep\n");
    ::unlink((textfiles + "/idxreports.prom").c_str());
    ASSERT_EQ(::symlink(victim.c_str(), (textfiles + "/idxreports.prom").c_str()), 0);
    ToolResult overLink = RunTool(dir, {"metrics", "--textfile-dir", textfiles, dir.Path()});
    EXPECT_EQ(overLink.code, 0) << overLink.err;
    EXPECT_EQ(ReadWhole(victim), "keep\n");
    ASSERT_EQ(::lstat((textfiles + "/idxreports.prom").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(IdxTool::FilesUnder(textfiles), std::vector<std::string>{"idxreports.prom"});

    ToolResult missing = RunTool(dir, {"metrics", "--textfile-dir", dir.File("absent"), dir.Path()});
    EXPECT_EQ(missing.code, 1);
    EXPECT_ONE_ERROR_LINE(missing);
    EXPECT_EQ(missing.out, "");
}

std::string PromtoolOrSkip() {
    return FindProgram("promtool");
}
#define SKIP_WITHOUT(path, package)                                                                     \
    if ((path).empty()) GTEST_SKIP() << "needs " package " (apt-get install " package "); skipped"

TEST_F(MetricsDirectory, PromtoolAcceptsTheDemoAndDamagedReports) {
    const std::string promtool = PromtoolOrSkip();
    SKIP_WITHOUT(promtool, "prometheus");
    const std::string demo = dir.File("demo");
    ASSERT_EQ(RunTool(dir, {"demo", demo}).code, 0);
    // Names and hostnames that need escaping, and one that is not UTF-8.
    WriteWhole(dir.File("we\"ird\\name\nx.csv"), "Job Id,Reason\n1,r\n");
    {
        JobStatsReport report;
        ASSERT_LIB_OK(report.Open(dir.Path(), "JobStats.csv", std::ios::out | std::ios::app));
        AddJob(report, 7, "q\"uo\\te", 1, 7000, 1, 0);
        AddJob(report, 8, "bad\xff" "byte", 1, 8000, 1, 0);
    }
    for (const std::string& target : {demo, dir.Path()}) {
        const std::string prom = dir.File("out.prom");
        ToolResult metrics = RunTool(dir, {"metrics", target});
        ASSERT_EQ(metrics.code, 0) << metrics.err;
        WriteWhole(prom, metrics.out);
        ToolResult check = RunProgram(dir, {promtool, "check", "metrics"}, prom);
        EXPECT_EQ(check.code, 0) << target << "\n" << check.out << check.err;
        EXPECT_EQ(check.out + check.err, "") << "promtool's linter found something";
        if (target == dir.Path()) {
            EXPECT_NE(metrics.err.find("not UTF-8"), std::string::npos) << metrics.err;
            EXPECT_NE(metrics.out.find("host=\"q\\\"uo\\\\te\""), std::string::npos);
            EXPECT_NE(metrics.out.find("file=\"we\\\"ird\\\\name\\nx.csv\""), std::string::npos);
        }
    }
}

TEST(PrometheusExamples, RulesAndScrapeConfigPassPromtool) {
    const std::string promtool = PromtoolOrSkip();
    SKIP_WITHOUT(promtool, "prometheus");
    TempDir dir;
    const std::string examples = std::string(IDXREPORTS_SOURCE_DIR) + "/examples/prometheus/";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{promtool, "check", "rules", examples + "idxreports-rules.yml"},
          std::vector<std::string>{promtool, "test", "rules", examples + "idxreports-rules-test.yml"},
          std::vector<std::string>{promtool, "check", "config", examples + "prometheus.yml"}}) {
        ToolResult result = RunProgram(dir, args);
        EXPECT_EQ(result.code, 0) << args[1] << " " << args[2] << "\n" << result.out << result.err;
    }
}

// node_exporter with only the textfile collector, on a free loopback port;
// stopped when the returned process goes away. Empty when it did not come up.
std::unique_ptr<ChildProcess> StartNodeExporter(const TempDir& dir, const std::string& binary,
                                                const std::string& textfiles, int& port) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        port = FreeLoopbackPort();
        auto exporter = std::make_unique<ChildProcess>(
            dir, std::vector<std::string>{binary, "--collector.disable-defaults", "--collector.textfile",
                                          "--collector.textfile.directory=" + textfiles,
                                          "--web.listen-address=127.0.0.1:" + std::to_string(port)});
        std::string body;
        for (int i = 0; i < 100 && exporter->Running(); ++i) {
            if (HttpGet(port, "/metrics", body)) return exporter;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "node_exporter did not come up on port " << port << ":\n" << exporter->Err();
    }
    return nullptr;
}

TEST_F(MetricsDirectory, NodeExporterPublishesTheValuesTheReportsHold) {
    const std::string exporterBinary = FindProgram("prometheus-node-exporter").empty()
                                           ? FindProgram("node_exporter")
                                           : FindProgram("prometheus-node-exporter");
    SKIP_WITHOUT(exporterBinary, "prometheus-node-exporter");
    const std::string demo = dir.File("demo");
    ASSERT_EQ(RunTool(dir, {"demo", demo}).code, 0);
    const std::string textfiles = dir.File("textfiles");
    ::mkdir(textfiles.c_str(), 0755);
    int port = 0;
    std::unique_ptr<ChildProcess> exporter = StartNodeExporter(dir, exporterBinary, textfiles, port);
    ASSERT_TRUE(exporter);
    ToolResult written = RunTool(dir, {"metrics", "--textfile-dir", textfiles, demo});
    ASSERT_EQ(written.code, 0) << written.err;
    std::string scraped;
    ASSERT_TRUE(HttpGet(port, "/metrics", scraped));
    exporter->Stop();
    EXPECT_EQ(Sample(scraped, "node_textfile_scrape_error"), 0) << exporter->Err();

    ToolResult jobs = RunTool(dir, {"jobs", "--format", "json", demo});
    ASSERT_EQ(jobs.code, 0) << jobs.err;
    const nlohmann::json summary = nlohmann::json::parse(jobs.out);
    const std::string d = "dir=\"" + demo + "\"";
    EXPECT_EQ(SumOf(scraped, "idxreports_job_rows", d), summary["rows"].get<double>());
    EXPECT_EQ(SumOf(scraped, "idxreports_job_invalid_rows", d), summary["invalid_rows"].get<double>());
    for (const auto& [host, rows] : summary["per_host"].items())
        EXPECT_EQ(SumOf(scraped, "idxreports_job_rows", "host=\"" + host + "\""), rows.get<double>()) << host;
    EXPECT_EQ(SumOf(scraped, "idxreports_job_commands", d), summary["totals"]["Total Commands"].get<double>());
    EXPECT_EQ(SumOf(scraped, "idxreports_job_added_files", d), summary["totals"]["Added Files"].get<double>());
    EXPECT_EQ(SumOf(scraped, "idxreports_job_modified_files", d), summary["totals"]["Modified Files"].get<double>());
    EXPECT_NEAR(SumOf(scraped, "idxreports_job_playback_seconds_sum", d),
                summary["totals"]["Seconds To Playback"].get<double>(), 1e-6);

    std::vector<std::string> diskFiles;
    for (const std::string& name : IdxTool::FilesUnder(demo)) {
        if (name.rfind("IndexCacheStats_", 0) == 0) diskFiles.push_back(name);
    }
    ASSERT_EQ(diskFiles.size(), 2u);
    for (const std::string& name : diskFiles) {
        LogicalDiskReport report;
        LogicalDiskReport::DataFrame_t samples;
        ASSERT_LIB_OK(report.Open(demo + "/" + name, std::ios::in, false));
        ASSERT_LIB_OK(report.LoadAll(samples));
        ASSERT_FALSE(samples.empty());
        const std::string labels = "{" + d + ",file=\"" + name + "\"}";
        EXPECT_EQ(Sample(scraped, "idxreports_disk_free_bytes" + labels), samples.back().GetDiskFree()) << name;
        EXPECT_EQ(Sample(scraped, "idxreports_disk_latest_sample_timestamp_seconds" + labels),
                  samples.back().GetTime());
        EXPECT_EQ(Sample(scraped, "idxreports_disk_samples" + labels), samples.size());
        EXPECT_EQ(Sample(scraped, "idxreports_disk_alert" + labels), samples.back().GetAlert().empty() ? 0 : 1);
    }
}

// Hosts past those tracked while reading, and a host name longer than any
// host's, are summed as "(other)" as they come: no row is lost, and the long
// name, however recent, publishes no series of its own.
TEST(IdxreportMetrics, HostsPastTheTrackingCapAreSummedAsOtherAsTheyCome) {
    TempDir dir;
    std::string text;
    for (const std::string& column : JobStatsReport().GetHeader()) text += (text.empty() ? "" : ",") + column;
    text += '\n';
    const int hosts = 10005;
    for (int i = 0; i < hosts; ++i)
        text += "1," + std::to_string(i) + ",1,1,0,0,1,1,2,0,1,h" + std::to_string(i) + "," + std::to_string(1000 + i) +
                ",0,1,0\n";
    const std::string longName(300, 'n');
    text += "1,1,1,1,0,0,1,1,2,0,1," + longName + ",99999,0,1,0\n";
    WriteWhole(dir.File("JobStats.csv"), text);
    ToolResult result = RunTool(dir, {"metrics", dir.Path()});
    ASSERT_EQ(result.code, 0) << result.err;
    const std::string d = "dir=\"" + dir.Path() + "\"";
    EXPECT_EQ(Sample(result.out, "idxreports_job_hosts{" + d + "}"), 10001);
    EXPECT_EQ(SumOf(result.out, "idxreports_job_rows"), hosts + 1);
    EXPECT_EQ(result.out.find(longName), std::string::npos);
    EXPECT_EQ(Sample(result.out, "idxreports_job_latest_timestamp_seconds{" + d + ",host=\"(other)\",job_type=\"1\"}"),
              99999);
}

}  // namespace
}  // namespace I2::Testing
