#include "DiskSummary.h"

#include <ios>
#include <string_view>

#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/QiFileSystem.h>

#include "ReportFile.h"

namespace IdxTool {

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
    CQiError error = ScanReportLines(
        console, file,
        [&](const std::string& line, std::size_t columns, std::string& why) {
            if (!ReadRecord(sample, line, columns, why)) return false;
            if (summary.scan.records == 0) summary.firstTime = sample.GetTime();
            summary.latestTime = sample.GetTime();
            summary.latestFreeBytes = sample.GetDiskFree();
            summary.latestAlert = sample.GetAlert();
            return true;
        },
        summary.scan);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);

    I2::LogicalDiskReport report;
    std::vector<double> days;
    if (!report.Open(file.Path(), std::ios::in, false).IsError() && !report.LoadIndexCacheDiskFreeSpace(days).IsError() &&
        !days.empty())
        summary.latestDailyAverageMiB = days.back();
    return CQiError::Success();
}

}  // namespace IdxTool
