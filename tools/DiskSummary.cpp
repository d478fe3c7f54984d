#include "DiskSummary.h"

#include <cstdint>
#include <string_view>

#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/QiFileSystem.h>

#include "ReportFile.h"

namespace IdxTool {

namespace {
constexpr long kSecondsPerDay = 86400;

// Reads the plain number that `text` starts with, up to the next comma, and
// steps `text` past that comma. 18 digits fit every column's type.
bool TakePlainNumber(std::string_view& text, unsigned long long& value) {
    constexpr std::size_t kMaxDigits = 18;
    std::size_t i = 0;
    value = 0;
    for (; i < text.size() && i <= kMaxDigits; ++i) {
        const char c = text[i];
        if (c == ',') break;
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    // "" is a value not given and "007" a padded one: both go the full way.
    if (i == 0 || i > kMaxDigits || i == text.size() || (text[0] == '0' && i > 1)) return false;
    text.remove_prefix(i + 1);
    return true;
}

bool IsPlainAlert(std::string_view alert) {
    const auto visible = [](char c) { return c > ' ' && c < '\x7f'; };
    if (alert.empty()) return true;
    if (!visible(alert.front()) || !visible(alert.back())) return false;
    for (const char c : alert) {
        if (c < ' ' || c >= '\x7f' || c == '"' || c == ',') return false;
    }
    return true;
}
}  // namespace

bool ReadPlainSample(std::string_view line, PlainSample& sample) {
    using Column = I2::LogicalDiskRecord::Column;
    std::string_view rest = line;
    for (std::size_t column = Column::Time; column < Column::Alert; ++column) {
        unsigned long long value = 0;
        if (!TakePlainNumber(rest, value)) return false;
        if (column == Column::Time) sample.time = static_cast<long>(value);
        if (column == Column::DiskFree) sample.diskFree = value;
    }
    if (!IsPlainAlert(rest)) return false;
    sample.alert = rest;
    return true;
}

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
    for (; periods.size() > keep_; ++dropped) periods.pop_front();
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
    I2::LogicalDiskRecord record;
    PlainSample sample;
    Averager averager;
    CQiError error = ScanReportLines(
        console, file,
        [&](const std::string& line, std::size_t columns, std::string& why) {
            if (columns != I2::LogicalDiskRecord::Column::Count || !ReadPlainSample(line, sample)) {
                if (!ReadRecord(record, line, columns, why)) return false;
                sample.time = record.GetTime();
                sample.diskFree = record.GetDiskFree();
                sample.alert = record.GetAlert();
            }
            if (summary.scan.records == 0) summary.firstTime = sample.time;
            averager.Add(sample.time, sample.diskFree);
            summary.latestTime = sample.time;
            summary.latestFreeBytes = sample.diskFree;
            // Only the last sample's alert is kept; most lines repeat it.
            if (summary.latestAlert != sample.alert) summary.latestAlert = sample.alert;
            return true;
        },
        summary.scan);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    averager.Close();
    if (summary.scan.unreadableLines == 0 && !averager.periods.empty())
        summary.latestDailyAverageMiB = averager.periods.back().average;
    return CQiError::Success();
}

}  // namespace IdxTool
