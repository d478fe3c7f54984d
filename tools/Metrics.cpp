#include "Metrics.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "DiskSummary.h"
#include "ReportFile.h"
#include "ReportScan.h"
#include "System.h"

namespace IdxTool {
namespace {

// Length of the valid UTF-8 sequence that starts at s[i], or 0 when none does
// (overlong forms, surrogates and code points past U+10FFFF are not valid).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > s.size() || byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// Label names in alphabetical order, as Prometheus itself orders them.
using Labels = std::vector<std::pair<const char*, std::string>>;

// The metric families in the order they are declared; the exposition format
// wants every sample of a family in one group under its HELP and TYPE lines.
class Exposition {
public:
    enum class Type { Gauge, Histogram };

    void Declare(const std::string& name, Type type, const std::string& help) {
        index_[name] = families_.size();
        families_.push_back(Family{name, type, help, std::string()});
    }

    // A sample of the family `family` (declared before) named family + suffix.
    void Add(const std::string& family, std::string_view suffix, const Labels& labels, double value) {
        AddText(family, suffix, labels, Number(value));
    }
    void AddCount(const std::string& family, std::string_view suffix, const Labels& labels, unsigned long long n) {
        AddText(family, suffix, labels, std::to_string(n));
    }

    std::string Text() const {
        std::string text;
        for (const Family& family : families_) {
            if (family.samples.empty()) continue;
            text += fmt::format("# HELP {} {}\n# TYPE {} {}\n", family.name, Help(family.help), family.name,
                                family.type == Type::Gauge ? "gauge" : "histogram");
            text += family.samples;
        }
        return text;
    }

    bool AlteredLabels() const { return altered_; }

    static std::string Number(double value) {
        if (std::isnan(value)) return "NaN";
        if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
        return fmt::format("{}", value);
    }

private:
    struct Family {
        std::string name;
        Type type;
        std::string help;
        std::string samples;
    };

    void AddText(const std::string& family, std::string_view suffix, const Labels& labels, const std::string& value) {
        std::string& out = families_.at(index_.at(family)).samples;
        out += family;
        out += suffix;
        if (!labels.empty()) {
            out += '{';
            for (std::size_t i = 0; i < labels.size(); ++i)
                out += fmt::format("{}{}=\"{}\"", i == 0 ? "" : ",", labels[i].first, LabelValue(labels[i].second, altered_));
            out += '}';
        }
        out += ' ';
        out += value;
        out += '\n';
    }

    // HELP text escapes only backslash and line feed.
    static std::string Help(const std::string& help) {
        std::string out;
        for (char c : help) {
            if (c == '\\')
                out += "\\\\";
            else if (c == '\n')
                out += "\\n";
            else
                out += c;
        }
        return out;
    }

    std::vector<Family> families_;
    std::map<std::string, std::size_t> index_;
    bool altered_ = false;
};

using Type = Exposition::Type;

// Names a person finds in a host's or a type's place when there were too many
// to publish one by one. A hostname cannot hold parentheses, and job types are
// numbers, so neither is mistaken for a real one.
const char* const kOtherHosts = "(other)";
const char* const kOtherJobTypes = "other";
// Host and job-type labels come from the data, which holds at most 20000 rows
// (JobStats.csv and its .old); in practice one or a few hosts write a node's
// reports. These caps keep a damaged or foreign file from publishing thousands
// of series: past them, the hosts (types) with the oldest latest job are folded.
constexpr std::size_t kMaxHosts = 50;
constexpr std::size_t kMaxJobTypes = 20;
// And these keep such a file from filling memory while it is read (a million
// rows of new host names, each up to a line long): hosts, types and host-type
// pairs past them, and host names no host can have (DNS names stop at 253
// bytes), are summed as "(other)" and "other" as they come. Files of real
// reports stay far inside, and are published exactly as before.
constexpr std::size_t kMaxTrackedHosts = 10000;
constexpr std::size_t kMaxTrackedTypes = 10000;
constexpr std::size_t kMaxTrackedGroups = 20000;
constexpr std::size_t kMaxHostNameBytes = 255;

// Seconds To Playback buckets: from quick incremental jobs to day-long rebuilds.
constexpr std::array<double, 11> kPlaybackBuckets = {1, 10, 60, 300, 900, 1800, 3600, 7200, 14400, 43200, 86400};

using JobColumn = I2::JobStatsRecord::Column;

// The columns that count what a job did: summed over rows, they say what the
// rows held did. Total Files in Index (a level) and Root Size (of no unit the
// reports define) are not sums of anything.
struct JobCounter {
    const char* metric;
    std::size_t column;
    unsigned long long (I2::JobStatsRecord::*value)() const;
};
constexpr JobCounter kJobCounters[] = {
    {"idxreports_job_commands", JobColumn::TotalCommands, &I2::JobStatsRecord::GetTotalCommands},
    {"idxreports_job_added_files", JobColumn::AddedFiles, &I2::JobStatsRecord::GetAddedFiles},
    {"idxreports_job_deleted_folders", JobColumn::DeletedFolders, &I2::JobStatsRecord::GetDeletedFolders},
    {"idxreports_job_deleted_files", JobColumn::DeletedFiles, &I2::JobStatsRecord::GetDeletedFiles},
    {"idxreports_job_modified_files", JobColumn::ModifiedFiles, &I2::JobStatsRecord::GetModifiedFiles},
    {"idxreports_job_invalid_mime_classifications", JobColumn::InvalidMIMEClassification,
     &I2::JobStatsRecord::GetInvalidMIMEClassification},
};

// What the rows of one host and job type add up to.
struct JobGroup {
    std::size_t rows = 0;
    std::size_t invalidRows = 0;
    long latestTimestamp = std::numeric_limits<long>::min();
    std::array<unsigned long long, std::size(kJobCounters)> sums{};
    std::array<std::size_t, kPlaybackBuckets.size()> buckets{};  // not cumulative: each counts its own range
    double playbackSeconds = 0;

    void Add(const I2::JobStatsRecord& row) {
        ++rows;
        if (row.GetStatus() == 1) ++invalidRows;
        latestTimestamp = std::max(latestTimestamp, row.GetTimestamp());
        // No index into the table: g++ 12 with the sanitizers miscompiles an
        // indexed pointer-to-member call here (the index reads as garbage).
        auto sum = sums.begin();
        for (const auto& counter : kJobCounters) *sum++ += (row.*counter.value)();
        const double seconds = row.GetSecondsToPlayback();
        playbackSeconds += seconds;
        const auto bucket = std::lower_bound(kPlaybackBuckets.begin(), kPlaybackBuckets.end(), seconds);
        if (bucket != kPlaybackBuckets.end()) ++buckets[static_cast<std::size_t>(bucket - kPlaybackBuckets.begin())];
    }

    void Merge(const JobGroup& other) {
        rows += other.rows;
        invalidRows += other.invalidRows;
        latestTimestamp = std::max(latestTimestamp, other.latestTimestamp);
        for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += other.sums[i];
        for (std::size_t i = 0; i < buckets.size(); ++i) buckets[i] += other.buckets[i];
        playbackSeconds += other.playbackSeconds;
    }
};


// The keys of `latest` (key -> latest timestamp) to publish on their own: all
// of them, or the `cap` with the most recent latest timestamp.
template <typename Key>
std::set<Key> Kept(const std::map<Key, long>& latest, std::size_t cap) {
    std::vector<std::pair<long, Key>> order;
    for (const auto& [key, time] : latest) order.emplace_back(time, key);
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::set<Key> kept;
    for (std::size_t i = 0; i < order.size() && i < cap; ++i) kept.insert(order[i].second);
    return kept;
}

void Raise(long& latest, bool& seen, long time) {
    latest = seen ? std::max(latest, time) : time;
    seen = true;
}

// The rows of job statistics summed by host and job type, in bounded memory:
// past the tracking caps a row is summed under "(other)" or "other" at once.
class JobGroups {
public:
    void Add(const I2::JobStatsRecord& row) {
        Host* host = &otherHosts_;
        const std::string& name = row.GetHostname();
        auto known = hosts_.find(name);
        if (known != hosts_.end())
            host = &known->second;
        else if (hosts_.size() < kMaxTrackedHosts && name.size() <= kMaxHostNameBytes)
            host = &hosts_[name];
        else
            anyOtherHost_ = true;
        const int type = row.GetJobType();
        JobGroup* group = &host->otherTypes;
        if (types_.count(type) != 0 || (types_.size() < kMaxTrackedTypes && types_.insert(type).second)) {
            auto pair = host->types.find(type);
            if (pair != host->types.end()) {
                group = &pair->second;
            } else if (groups_ < kMaxTrackedGroups) {
                group = &host->types[type];
                ++groups_;
            }
        }
        group->Add(row);
    }

    bool Empty() const { return hosts_.empty() && !anyOtherHost_; }
    // Distinct host names, those summed as "(other)" counted as one.
    std::size_t Hosts() const { return hosts_.size() + (anyOtherHost_ ? 1 : 0); }

    // Groups by the labels they are published under, with the caps applied.
    std::map<std::pair<std::string, std::string>, JobGroup> Labelled() const {
        std::map<std::string, long> hostLatest;
        std::map<int, long> typeLatest;
        const auto noteTypes = [&typeLatest](const Host& host) {
            for (const auto& [type, group] : host.types) {
                long& t = typeLatest.try_emplace(type, group.latestTimestamp).first->second;
                t = std::max(t, group.latestTimestamp);
            }
        };
        for (const auto& [name, host] : hosts_) {
            long latest = 0;
            bool seen = false;
            for (const auto& [type, group] : host.types) Raise(latest, seen, group.latestTimestamp);
            if (host.otherTypes.rows > 0) Raise(latest, seen, host.otherTypes.latestTimestamp);
            if (seen) hostLatest.emplace(name, latest);
            noteTypes(host);
        }
        noteTypes(otherHosts_);
        const std::set<std::string> hosts = Kept(hostLatest, kMaxHosts);
        const std::set<int> types = Kept(typeLatest, kMaxJobTypes);
        std::map<std::pair<std::string, std::string>, JobGroup> labelled;
        const auto label = [&](const std::string& hostLabel, const Host& host) {
            for (const auto& [type, group] : host.types)
                labelled[{hostLabel, types.count(type) ? std::to_string(type) : kOtherJobTypes}].Merge(group);
            if (host.otherTypes.rows > 0) labelled[{hostLabel, kOtherJobTypes}].Merge(host.otherTypes);
        };
        for (const auto& [name, host] : hosts_) label(hosts.count(name) ? name : kOtherHosts, host);
        label(kOtherHosts, otherHosts_);
        return labelled;
    }

private:
    struct Host {
        std::map<int, JobGroup> types;
        JobGroup otherTypes;  // types past the caps
    };
    std::map<std::string, Host> hosts_;
    Host otherHosts_;  // hosts past the caps
    bool anyOtherHost_ = false;
    std::set<int> types_;
    std::size_t groups_ = 0;
};

// Lines in `name`, listed in `dir`, a last line without its line end included;
// false when it cannot be read (a link there is not followed).
bool CountLines(const CQiDirectoryHandle& dir, const std::string& name, unsigned long long& lines) {
    CQiFile file;
    if (OpenListed(dir, name, file).IsError()) return false;
    std::vector<char> buffer(1 << 16);
    uint64_t offset = 0;
    char last = '\n';
    lines = 0;
    for (;;) {
        std::size_t got = 0;
        if (file.ReadAt(buffer.data(), buffer.size(), offset, got).IsError()) return false;
        if (got == 0) break;
        lines += static_cast<unsigned long long>(std::count(buffer.begin(), buffer.begin() + static_cast<long>(got), '\n'));
        last = buffer[got - 1];
        offset += got;
    }
    if (last != '\n') ++lines;
    return true;
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The names the reports of a directory go by: every "*.csv" and "*.csv.old", and
// the report a leftover "FILE.tmp" or "FILE.bad" belongs to even when FILE is gone.
std::set<std::string> ReportNames(const std::vector<std::string>& files) {
    std::set<std::string> names;
    for (const std::string& file : files) {
        std::string name = file;
        for (const char* suffix : {I2::ReportSideFiles::kTemporarySuffix, I2::ReportSideFiles::kUnreadableSuffix}) {
            if (EndsWith(name, suffix)) name.resize(name.size() - std::char_traits<char>::length(suffix));
        }
        if (EndsWith(name, ".csv") || EndsWith(name, I2::ReportSideFiles::Previous(".csv"))) names.insert(name);
    }
    return names;
}

// How far below a directory reports are looked for: LogCleanUpReport lives
// two directory levels down ("Logs/CleanUp/LogCleanUpReport.csv").
constexpr int kReportDepth = 2;

const char* const kProblemKinds[] = {"unreadable_file", "unknown_header", "unreadable_line", "unterminated_tail"};

class Collector {
public:
    Collector(const Console& console, Exposition& metrics) : console_(console), metrics_(metrics) {}

    // False when `directory` could not be listed.
    bool Directory(const std::string& directory) {
        std::vector<std::string> files;
        CQiError error = FilesIn(directory, files, kReportDepth);
        metrics_.AddCount("idxreports_directory_readable", "", {{"dir", directory}}, error.IsError() ? 0 : 1);
        if (error.IsError()) {
            console_.Fail(directory, error);
            return false;
        }
        // Every file is opened through this one descriptor, a component at a
        // time, never following a link: the directory may be another user's.
        CQiDirectoryHandle dir;
        error = dir.Open(directory);
        if (error.IsError()) {
            console_.Fail(directory, error);
            return false;
        }
        const std::set<std::string> present(files.begin(), files.end());
        JobGroups jobs;
        for (const std::string& name : ReportNames(files)) {
            const Labels labels = {{"dir", directory}, {"file", name}};
            // Below the directory itself only files of a known kind are
            // reports: other CSV files there are somebody else's business.
            const bool nested = name.find('/') != std::string::npos;
            if (present.count(name) && !Report(dir, name, labels, IsJobFileName(name) ? &jobs : nullptr, nested))
                continue;
            if (nested && !present.count(name)) continue;
            unsigned long long badLines = 0;
            if (!present.count(I2::ReportSideFiles::Unreadable(name)) ||
                CountLines(dir, I2::ReportSideFiles::Unreadable(name), badLines))
                metrics_.AddCount("idxreports_report_bad_lines", "", labels, badLines);
            metrics_.AddCount("idxreports_report_leftover_tmp", "", labels, present.count(I2::ReportSideFiles::Temporary(name)));
        }
        Jobs(directory, jobs);
        return true;
    }

private:
    static bool IsJobFileName(const std::string& name) {
        return name == I2::JobStatsReport::FileName || name == I2::ReportSideFiles::Previous(I2::JobStatsReport::FileName);
    }

    // The health of one report file, and what its kind publishes. With
    // `knownOnly`, a file of no known kind publishes nothing and gives false.
    bool Report(const CQiDirectoryHandle& dir, const std::string& name, const Labels& labels, JobGroups* jobs,
                bool knownOnly) {
        std::map<std::string_view, std::size_t> problems;
        ReportFile file;
        ScanResult scan;
        CQiFile opened;
        CQiError error = OpenListed(dir, name, opened);
        if (!error.IsError()) error = file.Open(std::move(opened), dir.PathOf(name));
        if (knownOnly && (error.IsError() || file.Kind() == nullptr)) return false;
        if (error.IsError()) {
            problems["unreadable_file"] = 1;
        } else if (file.Kind() == nullptr) {
            problems["unknown_header"] = 1;
        } else {
            error = Scan(file, labels, jobs, scan);
            if (error.IsError()) problems["unreadable_file"] = 1;
            problems["unreadable_line"] = scan.unreadableLines;
            problems["unterminated_tail"] = scan.unterminatedTail ? 1 : 0;
            if (!error.IsError()) metrics_.AddCount("idxreports_report_records", "", labels, scan.records);
        }
        for (const char* kind : kProblemKinds) {
            Labels withKind = labels;
            withKind.emplace_back("problem", kind);
            metrics_.AddCount("idxreports_report_problems", "", withKind, problems[kind]);
        }
        return true;
    }

    CQiError Scan(ReportFile& file, const Labels& labels, JobGroups* jobs, ScanResult& scan) {
        static const ReportKind* const jobKind = RecogniseReportKind(I2::JobStatsReport().GetHeader());
        if (jobs != nullptr && file.Kind() == jobKind) {
            I2::JobStatsRecord row;
            return ScanReportLines(
                console_, file,
                [&](const std::string& line, std::size_t columns, std::string& why) {
                    if (!ReadRecord(row, line, columns, why)) return false;
                    jobs->Add(row);
                    return true;
                },
                scan);
        }
        if (IsDiskSamplesKind(file.Kind()) && IsDiskFileName(CQiPath::GetFileName(file.Path()))) {
            DiskSummary disk;
            CQiError error = SummariseDiskFile(console_, file, disk);
            scan = disk.scan;
            if (!error.IsError()) Disk(disk, labels);
            return error;
        }
        const ReportKind* kind = file.Kind();
        return ScanReportLines(
            console_, file,
            [kind](const std::string& line, std::size_t columns, std::string& why) {
                return kind->ReadLine(line, columns, nullptr, why);
            },
            scan);
    }

    void Disk(const DiskSummary& disk, const Labels& labels) {
        metrics_.AddCount("idxreports_disk_samples", "", labels, disk.scan.records);
        if (disk.scan.records == 0) return;
        metrics_.AddCount("idxreports_disk_free_bytes", "", labels, disk.latestFreeBytes);
        metrics_.Add("idxreports_disk_latest_sample_timestamp_seconds", "", labels,
                     static_cast<double>(disk.latestTime));
        metrics_.AddCount("idxreports_disk_alert", "", labels, disk.latestAlert.empty() ? 0 : 1);
        if (disk.latestDailyAverageMiB)
            metrics_.Add("idxreports_disk_daily_average_free_bytes", "", labels, *disk.latestDailyAverageMiB * 1048576.0);
    }

    void Jobs(const std::string& directory, const JobGroups& jobs) {
        if (jobs.Empty()) return;
        metrics_.AddCount("idxreports_job_hosts", "", {{"dir", directory}}, jobs.Hosts());
        for (const auto& [key, group] : jobs.Labelled()) {
            const Labels labels = {{"dir", directory}, {"host", key.first}, {"job_type", key.second}};
            metrics_.AddCount("idxreports_job_rows", "", labels, group.rows);
            metrics_.AddCount("idxreports_job_invalid_rows", "", labels, group.invalidRows);
            metrics_.Add("idxreports_job_latest_timestamp_seconds", "", labels,
                         static_cast<double>(group.latestTimestamp));
            for (std::size_t i = 0; i < group.sums.size(); ++i)
                metrics_.AddCount(kJobCounters[i].metric, "", labels, group.sums[i]);
            std::size_t cumulative = 0;
            for (std::size_t i = 0; i < kPlaybackBuckets.size(); ++i) {
                cumulative += group.buckets[i];
                Labels bucket = labels;
                bucket.emplace_back("le", Exposition::Number(kPlaybackBuckets[i]));
                metrics_.AddCount("idxreports_job_playback_seconds", "_bucket", bucket, cumulative);
            }
            Labels inf = labels;
            inf.emplace_back("le", "+Inf");
            metrics_.AddCount("idxreports_job_playback_seconds", "_bucket", inf, group.rows);
            metrics_.Add("idxreports_job_playback_seconds", "_sum", labels, group.playbackSeconds);
            metrics_.AddCount("idxreports_job_playback_seconds", "_count", labels, group.rows);
        }
    }

    const Console& console_;
    Exposition& metrics_;
};

void DeclareFamilies(Exposition& m) {
    const std::string held = " over the rows held in JobStats.csv and JobStats.csv.old (falls when rotation drops rows)";
    m.Declare("idxreports_metrics_generated_timestamp_seconds", Type::Gauge,
              "When idxreport metrics produced these metrics, in seconds since the epoch.");
    m.Declare("idxreports_metrics_generation_duration_seconds", Type::Gauge,
              "How long idxreport metrics took to read the reports.");
    m.Declare("idxreports_directory_readable", Type::Gauge,
              "1 when the report directory could be listed, 0 when not (idxreport says why on stderr).");
    m.Declare("idxreports_report_records", Type::Gauge, "Readable records in the report file.");
    m.Declare("idxreports_report_problems", Type::Gauge,
              "Problems idxreport check finds in the report file, by kind: unreadable_file, unknown_header, "
              "unreadable_line, unterminated_tail.");
    m.Declare("idxreports_report_bad_lines", Type::Gauge,
              "Lines in FILE.bad, where idxreport check --repair puts the lines it cannot read.");
    m.Declare("idxreports_report_leftover_tmp", Type::Gauge,
              "1 when FILE.tmp, the temporary file of an interrupted rewrite, exists.");
    m.Declare("idxreports_disk_samples", Type::Gauge, "Readable samples in the disk-samples file.");
    m.Declare("idxreports_disk_free_bytes", Type::Gauge, "Free space on the disk in its latest sample (DiskFree).");
    m.Declare("idxreports_disk_latest_sample_timestamp_seconds", Type::Gauge,
              "Time of the disk's latest sample, in seconds since the epoch.");
    m.Declare("idxreports_disk_daily_average_free_bytes", Type::Gauge,
              "Average free space of the latest one-day period of samples, as LoadIndexCacheDiskFreeSpace computes "
              "it (each sample rounded down to whole MiB).");
    m.Declare("idxreports_disk_alert", Type::Gauge, "1 when the disk's latest sample carries an alert text, else 0.");
    m.Declare("idxreports_job_hosts", Type::Gauge,
              fmt::format("Distinct hostnames in the job statistics; past {} the least recently active are "
                          "published as host=\"{}\".",
                          kMaxHosts, kOtherHosts));
    m.Declare("idxreports_job_rows", Type::Gauge, "Job statistics rows" + held + ".");
    m.Declare("idxreports_job_invalid_rows", Type::Gauge, "Rows marked invalid (Status 1)" + held + ".");
    m.Declare("idxreports_job_latest_timestamp_seconds", Type::Gauge,
              "The latest Timestamp (when the row was added, seconds since the epoch)" + held + ".");
    const std::vector<std::string> header = I2::JobStatsReport().GetHeader();
    for (const JobCounter& counter : kJobCounters)
        m.Declare(counter.metric, Type::Gauge, "Sum of \"" + header[counter.column] + "\"" + held + ".");
    m.Declare("idxreports_job_playback_seconds", Type::Histogram, "Seconds To Playback of the jobs" + held + ".");
}

}  // namespace

std::string LabelValue(const std::string& value, bool& altered) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        const std::size_t length = Utf8Length(value, i);
        if (length == 0) {
            out += fmt::format("\\\\x{:02x}", static_cast<unsigned char>(c));
            altered = true;
            ++i;
            continue;
        }
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out.append(value, i, length);
        i += length;
    }
    return out;
}

bool CollectMetrics(const Console& console, const std::vector<std::string>& directories, std::string& text) {
    const auto started = std::chrono::steady_clock::now();
    Exposition metrics;
    DeclareFamilies(metrics);
    Collector collector(console, metrics);
    bool allRead = true;
    // The same directory twice would publish every series twice, which a
    // scrape rejects as a whole.
    std::set<std::string> seen;
    for (const std::string& given : directories) {
        const std::string directory = AbsolutePath(given);
        if (seen.insert(directory).second && !collector.Directory(directory)) allRead = false;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    metrics.Add("idxreports_metrics_generated_timestamp_seconds", "", {},
                std::chrono::duration_cast<std::chrono::duration<double>>(now).count());
    metrics.Add("idxreports_metrics_generation_duration_seconds", "", {}, took.count());
    if (metrics.AlteredLabels())
        console.err << "idxreport: a label value was not UTF-8; its stray bytes are published as \\xNN\n";
    text += metrics.Text();
    return allRead;
}

}  // namespace IdxTool
