#include "Commands.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <ctime>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "ReportFile.h"
#include "System.h"

namespace IdxTool {
namespace {

using I2::JobStatsRecord;

// Reads every readable row of a job statistics file; unreadable lines are
// counted, not fatal, since a summary of the rest is still worth having.
CQiError ForEachJobRow(const Console& console, const std::string& path,
                       const std::function<void(const JobStatsRecord&)>& onRow, std::size_t& unreadable) {
    ReportFile file;
    CQiError error = file.Open(path);
    if (error.IsError()) return error;
    if (file.Kind() == nullptr || file.Kind()->Columns() != I2::JobStatsReport().GetHeader()) {
        const std::string what = file.Kind() ? file.Kind()->Name() + " file" : file.KindProblem();
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "not a job statistics file: %s", what.c_str());
    }
    const std::size_t columns = file.Header().size();
    JobStatsRecord record;
    std::string why;
    error = file.ForEachDataLine(console, [&](const InputLine& line) {
        if (!line.terminated) return true;  // not yet written
        if (!line.TooLong() && ReadRecord(record, line.text, columns, why))
            onRow(record);
        else
            ++unreadable;
        return true;
    });
    return error.Push(FX_CODE_LOCATION);
}

std::string UtcTime(long seconds, const char* format) {
    return fmt::format(fmt::runtime(format), fmt::gmtime(static_cast<std::time_t>(seconds)));
}

using Column = JobStatsRecord::Column;

// The additive counters of a row: the column each stands in (whose name the
// header gives) and how a record yields it.
struct Counter {
    std::size_t column;
    unsigned long long (JobStatsRecord::*value)() const;
};
constexpr Counter kCounters[] = {
    {Column::TotalCommands, &JobStatsRecord::GetTotalCommands},
    {Column::AddedFiles, &JobStatsRecord::GetAddedFiles},
    {Column::DeletedFolders, &JobStatsRecord::GetDeletedFolders},
    {Column::DeletedFiles, &JobStatsRecord::GetDeletedFiles},
    {Column::ModifiedFiles, &JobStatsRecord::GetModifiedFiles},
    {Column::InvalidMIMEClassification, &JobStatsRecord::GetInvalidMIMEClassification},
};
constexpr std::size_t kSlowest = 5;
// Distinct hosts, types and invalid jobs kept, and the bytes of host names;
// the rest are counted together, so a hostile file of ever new (or huge) host
// names cannot grow the summary.
constexpr std::size_t kMaxDistinct = 10000;
constexpr std::size_t kMaxHostBytes = 16u << 20;

std::size_t KeyBytes(const std::string& key) { return key.size(); }
std::size_t KeyBytes(int) { return 0; }

template <typename Map, typename Key>
void CountIn(Map& map, const Key& key, std::size_t& others, std::size_t& bytes) {
    auto it = map.find(key);
    if (it != map.end()) {
        ++it->second;
    } else if (map.size() < kMaxDistinct && bytes + KeyBytes(key) <= kMaxHostBytes) {
        map.emplace(key, 1);
        bytes += KeyBytes(key);
    } else {
        ++others;
    }
}

struct JobSummary {
    std::vector<std::pair<std::string, std::size_t>> files;  // name, rows
    std::size_t rows = 0;
    std::size_t unreadable = 0;
    std::map<std::string, std::size_t> perHost;
    std::map<int, std::size_t> perType;
    std::size_t otherHosts = 0;  // rows of hosts past kMaxDistinct
    std::size_t otherTypes = 0;
    std::size_t hostBytes = 0;
    std::size_t invalidRows = 0;
    std::set<unsigned long long> invalidJobs;
    bool moreInvalidJobs = false;
    long firstTimestamp = std::numeric_limits<long>::max();
    long lastTimestamp = std::numeric_limits<long>::min();
    std::array<unsigned long long, std::size(kCounters)> totals{};
    double playbackSeconds = 0;
    std::vector<JobStatsRecord> slowest;  // by Seconds To Playback, slowest first

    void Add(const JobStatsRecord& row) {
        ++rows;
        CountIn(perHost, row.GetHostname(), otherHosts, hostBytes);
        std::size_t noBytes = 0;
        CountIn(perType, row.GetJobType(), otherTypes, noBytes);
        if (row.GetStatus() == 1) {
            ++invalidRows;
            if (invalidJobs.size() < kMaxDistinct)
                invalidJobs.insert(row.GetJobId());
            else
                moreInvalidJobs = moreInvalidJobs || invalidJobs.count(row.GetJobId()) == 0;
        }
        firstTimestamp = std::min(firstTimestamp, row.GetTimestamp());
        lastTimestamp = std::max(lastTimestamp, row.GetTimestamp());
        // No index into the table: g++ 12 with the sanitizers miscompiles an
        // indexed pointer-to-member call here (the index reads as garbage).
        auto total = totals.begin();
        for (const Counter& counter : kCounters) *total++ += (row.*counter.value)();
        playbackSeconds += row.GetSecondsToPlayback();
        auto slower = [](const JobStatsRecord& a, const JobStatsRecord& b) {
            return a.GetSecondsToPlayback() > b.GetSecondsToPlayback();
        };
        if (slowest.size() < kSlowest || slower(row, slowest.back())) {
            slowest.insert(std::upper_bound(slowest.begin(), slowest.end(), row, slower), row);
            if (slowest.size() > kSlowest) slowest.pop_back();
        }
    }
};

CQiError Summarise(const Console& console, const std::string& directory, JobSummary& summary) {
    const std::string current = CQiPath::Append(directory, I2::JobStatsReport::FileName);
    const std::string old = I2::ReportSideFiles::Previous(current);
    const std::string problem = DirectoryProblem(directory);
    if (!problem.empty()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s", problem.c_str());
    if (!CQiPath::Exists(current) && !CQiPath::Exists(old))
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "no %s in this directory", I2::JobStatsReport::FileName);
    // The ".old" file holds the rows before the current file's, so it comes first.
    for (const std::string& path : {old, current}) {
        if (!CQiPath::Exists(path)) continue;
        const std::size_t before = summary.rows;
        CQiError error = ForEachJobRow(
            console, path, [&](const JobStatsRecord& row) { summary.Add(row); }, summary.unreadable);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        summary.files.emplace_back(CQiPath::GetFileName(path).str(), summary.rows - before);
    }
    return CQiError::Success();
}

void PrintSection(const Console& console, const std::string& title, const std::vector<std::string>& columns,
                  const std::vector<Row>& rows) {
    console.out << '\n' << title << '\n';
    auto table = MakeRowWriter(Format::Table, console.out);
    table->Begin(columns);
    for (const Row& row : rows) table->Add(row);
    table->End();
}

Cell Count(unsigned long long n) { return Cell{std::to_string(n), true}; }

void PrintText(const Console& console, const std::string& directory, const JobSummary& s,
               const std::vector<std::string>& header) {
    console.out << fmt::format("Job statistics in {}\n", Printable(directory));
    for (const auto& [name, rows] : s.files)
        console.out << fmt::format("  {:<18} {:>8} {}\n", name, rows, rows == 1 ? "row" : "rows");
    console.out << fmt::format("Rows:           {}\n", s.rows);
    console.out << fmt::format("Invalid:        {} of {}{}\n", Plural(s.invalidRows, "row", "rows"),
                               Plural(s.invalidJobs.size(), "job", "jobs"), s.moreInvalidJobs ? " and more" : "");
    if (s.unreadable > 0)
        console.out << fmt::format("Unreadable:     {} skipped\n", Plural(s.unreadable, "line", "lines"));
    if (s.rows > 0) {
        console.out << fmt::format("First row:      {}\n", UtcTime(s.firstTimestamp, "{:%Y-%m-%d %H:%M:%S} UTC"));
        console.out << fmt::format("Last row:       {}\n", UtcTime(s.lastTimestamp, "{:%Y-%m-%d %H:%M:%S} UTC"));
    }
    std::vector<Row> rows;
    for (const auto& [host, n] : s.perHost) rows.push_back({Cell{host, false}, Count(n)});
    if (s.otherHosts > 0) rows.push_back({Cell{"(other hosts)", false}, Count(s.otherHosts)});
    PrintSection(console, "Jobs per host", {header[Column::Hostname], "Jobs"}, rows);
    rows.clear();
    for (const auto& [type, n] : s.perType) rows.push_back({Cell{std::to_string(type), true}, Count(n)});
    if (s.otherTypes > 0) rows.push_back({Cell{"(other types)", false}, Count(s.otherTypes)});
    PrintSection(console, "Jobs per type", {header[Column::JobType], "Jobs"}, rows);
    rows.clear();
    for (std::size_t i = 0; i < s.totals.size(); ++i)
        rows.push_back({Cell{header[kCounters[i].column], false}, Count(s.totals[i])});
    rows.push_back({Cell{header[Column::SecondsToPlayback], false},
                    Cell{fmt::format("{:.1f}", s.playbackSeconds), true}});
    PrintSection(console, "Totals", {"Column", "Total"}, rows);
    rows.clear();
    for (const JobStatsRecord& row : s.slowest) {
        rows.push_back({Count(row.GetJobId()), Cell{row.GetHostname(), false},
                        Cell{fmt::format("{:.1f}", row.GetSecondsToPlayback()), true},
                        Cell{UtcTime(row.GetTimestamp(), "{:%Y-%m-%d %H:%M:%S}"), false}});
    }
    PrintSection(console, "Slowest playbacks",
                 {header[Column::JobId], header[Column::Hostname], header[Column::SecondsToPlayback],
                  "Timestamp (UTC)"},
                 rows);
}

// False when a text had to be altered to be JSON (bytes that are not UTF-8).
bool PrintJson(const Console& console, const std::string& directory, const JobSummary& s,
               const std::vector<std::string>& header) {
    nlohmann::ordered_json j;
    j["directory"] = directory;
    j["files"] = nlohmann::ordered_json::array();
    for (const auto& [name, rows] : s.files) j["files"].push_back({{"name", name}, {"rows", rows}});
    j["rows"] = s.rows;
    j["unreadable_lines"] = s.unreadable;
    j["invalid_rows"] = s.invalidRows;
    j["invalid_jobs"] = s.invalidJobs;
    if (s.moreInvalidJobs) j["invalid_jobs_truncated"] = true;
    if (s.otherHosts > 0) j["other_hosts_rows"] = s.otherHosts;
    if (s.otherTypes > 0) j["other_types_rows"] = s.otherTypes;
    if (s.rows > 0) {
        j["first_timestamp"] = UtcTime(s.firstTimestamp, "{:%Y-%m-%dT%H:%M:%SZ}");
        j["last_timestamp"] = UtcTime(s.lastTimestamp, "{:%Y-%m-%dT%H:%M:%SZ}");
    }
    j["per_host"] = s.perHost;
    nlohmann::ordered_json types = nlohmann::ordered_json::object();
    for (const auto& [type, n] : s.perType) types[std::to_string(type)] = n;
    j["per_type"] = types;
    nlohmann::ordered_json totals = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < s.totals.size(); ++i) totals[header[kCounters[i].column]] = s.totals[i];
    totals[header[Column::SecondsToPlayback]] = s.playbackSeconds;
    j["totals"] = totals;
    j["slowest"] = nlohmann::ordered_json::array();
    for (const JobStatsRecord& row : s.slowest) {
        j["slowest"].push_back({{header[Column::JobId], row.GetJobId()},
                                {header[Column::Hostname], row.GetHostname()},
                                {header[Column::SecondsToPlayback], row.GetSecondsToPlayback()},
                                {header[Column::Timestamp], row.GetTimestamp()}});
    }
    bool altered = false;
    console.out << JsonDump(j, 2, altered) << '\n';
    return !altered;
}

}  // namespace

int Jobs(const Console& console, const std::string& given, Format format) {
    // The report's own path names its directory: "jobs DIR/JobStats.csv".
    std::string directory = given;
    const std::string name = CQiPath::GetFileName(given).str();
    if (!CQiPath::IsDirectory(given) && CQiPath::IsFile(given) &&
        (name == I2::JobStatsReport::FileName || name == I2::ReportSideFiles::Previous(I2::JobStatsReport::FileName))) {
        directory = CQiPath::GetParent(given).str();
        if (directory.empty()) directory = ".";
    }
    JobSummary summary;
    CQiError error = Summarise(console, directory, summary);
    if (error.IsError()) return console.Fail(directory, error);
    const std::vector<std::string> header = I2::JobStatsReport().GetHeader();
    if (format == Format::Json) {
        if (!PrintJson(console, directory, summary, header)) {
            console.out.flush();
            return console.Fail(directory + ": some host names are not UTF-8; the JSON shows their bytes as U+FFFD");
        }
    } else {
        PrintText(console, directory, summary, header);
    }
    console.out.flush();
    if (summary.unreadable > 0)
        return console.Fail(fmt::format("{}: skipped {}; see idxreport check", directory,
                                        Plural(summary.unreadable, "unreadable line", "unreadable lines")));
    return kExitOk;
}

int Invalidate(const Console& console, const std::string& directory, std::vector<unsigned long> jobIds) {
    const std::string path = CQiPath::Append(directory, I2::JobStatsReport::FileName);
    const std::set<unsigned long long> listed(jobIds.begin(), jobIds.end());
    std::set<unsigned long long> found;
    std::size_t invalidBefore = 0;
    std::size_t invalidAfter = 0;
    std::size_t unreadable = 0;
    auto count = [&](std::size_t& invalid) {
        return ForEachJobRow(
            console, path,
            [&](const JobStatsRecord& row) {
                if (listed.count(row.GetJobId()) == 0) return;
                found.insert(row.GetJobId());
                if (row.GetStatus() == 1) ++invalid;
            },
            unreadable);
    };
    CQiError error = count(invalidBefore);
    if (!error.IsError()) error = I2::JobStatsReport::SetInvalidJobs(directory, jobIds);
    if (!error.IsError()) error = count(invalidAfter);
    if (error.IsError()) return console.Fail(path, error);

    const std::size_t marked = invalidAfter > invalidBefore ? invalidAfter - invalidBefore : 0;
    console.out << fmt::format("{}: marked {} row{} invalid", path, marked, marked == 1 ? "" : "s");
    if (invalidBefore > 0) console.out << fmt::format(" ({} already were)", invalidBefore);
    console.out << '\n';
    std::vector<unsigned long long> missing;
    std::set_difference(listed.begin(), listed.end(), found.begin(), found.end(), std::back_inserter(missing));
    console.out.flush();
    if (missing.empty()) return kExitOk;
    // A job that is listed but has no row is most often a typo; one whose rows
    // rotated into ".old" is out of invalidate's reach, and the user must know.
    std::set<unsigned long long> inOld;
    const std::string old = I2::ReportSideFiles::Previous(path);
    if (CQiPath::Exists(old)) {
        std::size_t ignored = 0;
        (void)ForEachJobRow(
            console, old,
            [&](const JobStatsRecord& row) {
                if (std::binary_search(missing.begin(), missing.end(), row.GetJobId())) inOld.insert(row.GetJobId());
            },
            ignored);
    }
    std::vector<unsigned long long> nowhere;
    std::set_difference(missing.begin(), missing.end(), inOld.begin(), inOld.end(), std::back_inserter(nowhere));
    std::string message;
    if (!nowhere.empty())
        message = fmt::format("no rows for job id{} {}", nowhere.size() == 1 ? "" : "s", fmt::join(nowhere, ", "));
    if (!inOld.empty())
        message += fmt::format("{}job id{} {} only in {}, which invalidate does not change", message.empty() ? "" : "; ",
                               inOld.size() == 1 ? "" : "s", fmt::join(inOld, ", "), old);
    return console.Fail(path + ": " + message);
}

}  // namespace IdxTool
