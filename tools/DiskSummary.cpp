#include "DiskSummary.h"

#include <cstdint>
#include <ios>
#include <string_view>

#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/QiFileSystem.h>

#include "ReportFile.h"

namespace IdxTool {

namespace {
constexpr long kSecondsPerDay = 86400;
}  // namespace

void Averager::Add(long time, unsigned long long diskFree) {
    const unsigned long long mebibytes = diskFree >> 20;
    if (open_ && (time < start_ || static_cast<uint64_t>(time) - static_cast<uint64_t>(start_) <
                                       static_cast<uint64_t>(kSecondsPerDay))) {
        sum_ += mebibytes;
        ++samples_;
        return;
    }
    Close();
    open_ = true;
    start_ = time;
    sum_ = mebibytes;
    samples_ = 1;
}

void Averager::Close() {
    if (open_) periods.push_back(Period{start_, static_cast<double>(sum_ / samples_)});
    open_ = false;
}

bool IsDiskSamplesKind(const ReportKind* kind) {
    static const ReportKind* const disk = RecogniseReportKind(I2::LogicalDiskReport().GetHeader());
    return kind != nullptr && kind == disk;
}

bool IsDiskFileName(const std::string& name) {
    // "IndexCacheStats_" + decimal digits + ".csv", as LogicalDiskReport::GetFileName makes it.
    constexpr std::string_view prefix = "IndexCacheStats_";
    constexpr std::string_view suffix = ".csv";
    const std::string_view n = name;
    if (n.size() <= prefix.size() + suffix.size() || n.substr(0, prefix.size()) != prefix ||
        n.substr(n.size() - suffix.size()) != suffix)
        return false;
    for (char c : n.substr(prefix.size(), n.size() - prefix.size() - suffix.size())) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

CQiError DiskFilesIn(const std::string& directory, std::vector<std::string>& names) {
    std::vector<std::string> all;
    CQiError error = FilesIn(directory, all);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    names.clear();
    for (std::string& name : all) {
        if (IsDiskFileName(name)) names.push_back(std::move(name));
    }
    return CQiError::Success();
}

CQiError SummariseDiskFile(const Console& console, ReportFile& file, DiskSummary& summary) {
    summary = DiskSummary();
    summary.path = file.Path();
    I2::LogicalDiskRecord sample;
    Averager averager;
    CQiError error = ScanReportLines(
        console, file,
        [&](const std::string& line, std::size_t columns, std::string& why) {
            if (!ReadRecord(sample, line, columns, why)) return false;
            if (summary.scan.records == 0) summary.firstTime = sample.GetTime();
            averager.Add(sample.GetTime(), sample.GetDiskFree());
            summary.latestTime = sample.GetTime();
            summary.latestFreeBytes = sample.GetDiskFree();
            // Only the last sample's alert is kept; most lines repeat it.
            if (summary.latestAlert != sample.GetAlert()) summary.latestAlert = sample.GetAlert();
            return true;
        },
        summary.scan);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    const ScanResult& scan = summary.scan;
    if (scan.unreadableLines == 0 && !scan.unterminatedTail && !scan.changedWhileRead) {
        averager.Close();
        if (!averager.periods.empty()) summary.latestDailyAverageMiB = averager.periods.back().average;
        return CQiError::Success();
    }

    I2::LogicalDiskReport report;
    std::vector<double> days;
    if (!report.Open(file.Path(), std::ios::in, false).IsError() && !report.LoadIndexCacheDiskFreeSpace(days).IsError() &&
        !days.empty())
        summary.latestDailyAverageMiB = days.back();
    return CQiError::Success();
}

}  // namespace IdxTool
