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

#include <IdxReports/Reports/JobStatsReport.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "ReportFile.h"

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
    error = file.ForEachDataLine(console, [&](std::size_t, const std::string& line) {
        if (ReadRecord(record, line, columns, why))
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

struct JobSummary {
    std::vector<std::pair<std::string, std::size_t>> files;  // name, rows
    std::size_t rows = 0;
    std::size_t unreadable = 0;
    std::map<std::string, std::size_t> perHost;
    std::map<int, std::size_t> perType;
    std::size_t invalidRows = 0;
    std::set<unsigned long long> invalidJobs;
    long firstTimestamp = std::numeric_limits<long>::max();
    long lastTimestamp = std::numeric_limits<long>::min();
    std::array<unsigned long long, std::size(kCounters)> totals{};
    double playbackSeconds = 0;
    std::vector<JobStatsRecord> slowest;  // by Seconds To Playback, slowest first

    void Add(const JobStatsRecord& row) {
        ++rows;
        ++perHost[row.GetHostname()];
        ++perType[row.GetJobType()];
        if (row.GetStatus() == 1) {
            ++invalidRows;
            invalidJobs.insert(row.GetJobId());
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
    const std::string old = current + ".old";
    if (!CQiPath::Exists(current) && !CQiPath::Exists(old))
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "no %s in %s", I2::JobStatsReport::FileName,
                                       directory.c_str());
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
    for (const auto& [name, rows] : s.files) console.out << fmt::format("  {:<18} {:>8} rows\n", name, rows);
    console.out << fmt::format("Rows:           {}\n", s.rows);
    console.out << fmt::format("Invalid:        {} rows of {} jobs\n", s.invalidRows, s.invalidJobs.size());
    if (s.unreadable > 0) console.out << fmt::format("Unreadable:     {} lines skipped\n", s.unreadable);
    if (s.rows > 0) {
        console.out << fmt::format("First row:      {}\n", UtcTime(s.firstTimestamp, "{:%Y-%m-%d %H:%M:%S} UTC"));
        console.out << fmt::format("Last row:       {}\n", UtcTime(s.lastTimestamp, "{:%Y-%m-%d %H:%M:%S} UTC"));
    }
    std::vector<Row> rows;
    for (const auto& [host, n] : s.perHost) rows.push_back({Cell{host, false}, Count(n)});
    PrintSection(console, "Jobs per host", {header[Column::Hostname], "Jobs"}, rows);
    rows.clear();
    for (const auto& [type, n] : s.perType) rows.push_back({Count(static_cast<unsigned long long>(type)), Count(n)});
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

void PrintJson(const Console& console, const std::string& directory, const JobSummary& s,
               const std::vector<std::string>& header) {
    nlohmann::ordered_json j;
    j["directory"] = directory;
    j["files"] = nlohmann::ordered_json::array();
    for (const auto& [name, rows] : s.files) j["files"].push_back({{"name", name}, {"rows", rows}});
    j["rows"] = s.rows;
    j["unreadable_lines"] = s.unreadable;
    j["invalid_rows"] = s.invalidRows;
    j["invalid_jobs"] = s.invalidJobs;
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
    console.out << JsonDump(j, 2) << '\n';
}

}  // namespace

int Jobs(const Console& console, const std::string& directory, bool json) {
    JobSummary summary;
    CQiError error = Summarise(console, directory, summary);
    if (error.IsError()) return console.Fail(directory, error);
    const std::vector<std::string> header = I2::JobStatsReport().GetHeader();
    if (json)
        PrintJson(console, directory, summary, header);
    else
        PrintText(console, directory, summary, header);
    console.out.flush();
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
    if (!missing.empty()) console.out << fmt::format("no rows for job id {}\n", fmt::join(missing, ", "));
    console.out.flush();
    return kExitOk;
}

}  // namespace IdxTool
