#include <IdxReports/Reports/LogicalDiskReport.h>

#include <cstddef>
#include <cstdint>
#include <ios>
#include <iterator>
#include <new>
#include <string_view>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/range/iterator_range.hpp>

#include <platform/DbgLog.h>
#include <platform/QiCRC64.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/internal/FixedRecordFields.h>
#include <IdxReports/internal/NumberScan.h>

namespace I2 {
namespace {

using Column = LogicalDiskRecord::Column;

const char* const ColumnNames[] = {"Time",  "DB",       "Logs",     "Reports", "V1",
                                   "Other", "DiskSize", "DiskFree", "Alert"};
static_assert(std::size(ColumnNames) == Column::Count);
constexpr uint64_t SecondsPerDay = 86400;

// Blanks around a column are not part of its value: " 1000 " reads as 1000.
// White space is what the global locale says it is. Visible ASCII is never white
// space in any locale, so the usual column, which starts and ends with one, skips
// the locale's classification (it more than doubled the cost of a load).
std::string_view Trimmed(std::string_view column) {
    const auto visibleAscii = [](char c) { return c > ' ' && c < '\x7f'; };
    if (column.empty() || (visibleAscii(column.front()) && visibleAscii(column.back()))) return column;
    const boost::iterator_range<const char*> range(column.data(), column.data() + column.size());
    const boost::iterator_range<const char*> trimmed = boost::algorithm::trim_copy(range);
    return std::string_view(trimmed.begin(), trimmed.size());
}

// Whether a sample at `time` belongs to the period that opened at `start`: it lies
// less than a day after the start, or before it (a clock set back). Computed
// without the signed overflow that `time - start` has for far-apart times.
bool InPeriod(long start, long time) {
    return time < start || static_cast<uint64_t>(time) - static_cast<uint64_t>(start) < SecondsPerDay;
}

// The fields in line order up to the alert, which is last: ToString writes them,
// VisitFields shows them.
template <typename Out>
Out& Numbers(const LogicalDiskRecord& r, Out& out) {
    return out.Number(r.GetTime())
        .Number(r.GetDB())
        .Number(r.GetLogs())
        .Number(r.GetReports())
        .Number(r.GetV1())
        .Number(r.GetOther())
        .Number(r.GetDiskSize())
        .Number(r.GetDiskFree());
}

// Average free mebibytes per one-day period, fed the samples in file order.
// A period opens at its first sample and takes, in file order, every later
// sample up to a day after it. Whether a period is open is its own flag: any
// time, -1 included, can start a period.
//   times 0, 3600, 86399 (1, 2, 3 MiB free) -> {2.0};  times 0, 86400 -> two periods
class DailyFreeSpace {
public:
    // Add and Finish may throw std::bad_alloc (room for one more average).
    void Add(long time, unsigned long long diskFree) {
        const uint64_t mebibytes = diskFree >> 20;
        if (!periodOpen) {
            periodOpen = true;
            periodStart = time;
            sum = mebibytes;
        } else if (InPeriod(periodStart, time)) {
            sum += mebibytes;
            ++moreSamples;
        } else {
            averages.push_back(Average());
            periodStart = time;
            sum = mebibytes;
            moreSamples = 0;
        }
    }
    // A last period whose sum no longer fits a signed 64-bit number has always
    // been left out here; kept so, results stay as callers know them.
    void Finish() {
        if (periodOpen && static_cast<int64_t>(sum) >= 0) averages.push_back(Average());
        periodOpen = false;
    }
    const std::vector<double>& Averages() const { return averages; }

private:
    // The sum is read as signed, as it always has been: a sum past 2^63 averages negative.
    double Average() const {
        return static_cast<double>(static_cast<int64_t>(sum)) / static_cast<double>(moreSamples + 1);
    }

    std::vector<double> averages;
    bool periodOpen = false;
    long periodStart = 0;
    uint64_t sum = ~uint64_t{0};
    int32_t moreSamples = 0;  // samples in the period besides its first
};

}  // namespace

std::string LogicalDiskRecord::ToString() {
    detail::FixedLine line(*this, alert.size() + 4 + Column::Count * detail::FixedLine::NumberWidth);
    Numbers(*this, line);
    // Reading trims the blanks around a column, but not those inside quotes, so
    // an alert that starts or ends with a blank is written quoted and reads back
    // as it was:  alert " low"  ->  1000,...,4096," low"
    const auto blank = boost::algorithm::is_space();
    if (!alert.empty() && (blank(alert.front()) || blank(alert.back()))) {
        std::string quoted = "\"";
        for (const char c : alert) quoted.append(c == '"' ? 2 : 1, c);
        quoted += '"';
        return line.Take() + GetColumnSeparator() + quoted;
    }
    return line.Text(alert).Take();
}

void LogicalDiskRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, ColumnNames);
    Numbers(*this, walk).Text(alert);
}

CQiError LogicalDiskRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Column::Count);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "LogicalDiskRecord");

        // The time and the free space are what the daily averages are made of:
        // a line where either does not convert is no sample, and stops a load,
        // rather than being averaged in as 0 bytes free.
        long sampleTime = 0;
        unsigned long long sampleFree = 0;
        if (!internal::ParseInteger(Trimmed(fields[Column::Time]), fields.Line(), sampleTime) ||
            !internal::ParseInteger(Trimmed(fields[Column::DiskFree]), fields.Line(), sampleFree)) {
            return detail::InvalidLine(FX_CODE_LOCATION, "LogicalDiskRecord");
        }
        const auto number = [&fields](std::size_t index) {
            return internal::IntegerField<unsigned long long>(Trimmed(fields[index]), fields.Line(), 0ULL);
        };
        time = sampleTime;
        db = number(Column::DB);
        logs = number(Column::Logs);
        reports = number(Column::Reports);
        v1 = number(Column::V1);
        other = number(Column::Other);
        diskSize = number(Column::DiskSize);
        diskFree = sampleFree;
        detail::AssignText(alert, Trimmed(fields[Column::Alert]));
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

void LogicalDiskRecord::DebugMe() {
    const I2::Utils::DbgLogger log;
    if (log.getDebugLevel() > 6) {
        // Time is printed unsigned, as this dump always has.
        log.Debug(__PRETTY_FUNCTION__,
                  "\nTime = %lu\nDB = %llu\nLogs = %llu\nReports = %llu\nV1 = %llu\nOther = %llu"
                  "\nDiskSize = %llu\nDiskFree = %llu\nAlert = %s",
                  static_cast<unsigned long>(time), db, logs, reports, v1, other, diskSize, diskFree,
                  alert.c_str());
    }
}

std::vector<std::string> LogicalDiskReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(ColumnNames);
    return header;
}

std::string LogicalDiskReport::GetFileName(const std::string& diskKey) {
    CQiCRC64 crc;
    crc.UpdateCRC64(diskKey.data(), diskKey.size());
    return "IndexCacheStats_" + FXString::Format("%llu", static_cast<unsigned long long>(crc.GetCRC64())) +
           ".csv";
}

std::string LogicalDiskReport::GetFilePath(const std::string& directory, const std::string& diskKey) {
    return CQiPath::Append(directory, GetFileName(diskKey));
}

CQiError LogicalDiskReport::Open(const std::string& directory, const std::string& diskKey) {
    try {
        const std::string fileName = GetFileName(diskKey);
        const std::string path = CQiPath::Append(directory, fileName);
        if (!CQiPath::IsFile(path)) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "File [%s] does not exists in [%s]",
                                           fileName.c_str(), directory.c_str());
        }
        // Which disk file a server reads is worth seeing at low levels too.
        const int level = debugLog.getDebugLevel();
        if (level >= 0) {
            debugLog.Debug(level < 2 ? "" : __PRETTY_FUNCTION__, "Openning IndexCacheStats report [%s] from [%s].",
                           fileName.c_str(), directory.c_str());
        }
        CQiError err = Report::Open(path, std::ios::in, false);
        return err.Push(FX_CODE_LOCATION);
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

CQiError LogicalDiskReport::LoadIndexCacheDiskFreeSpace(std::vector<double>& freeSpace) {
    // The samples stream through one scratch record, so memory grows with the
    // number of days, not of samples (ten years of one-minute samples are 5
    // million lines). The averages are collected apart and appended only once
    // the whole file has been read: a bad line, or memory running out, leaves
    // `freeSpace` as it was.
    DailyFreeSpace days;
    CQiError err = ForEach(
        [&days](LogicalDiskRecord& sample) -> CQiError {
            try {
                days.Add(sample.GetTime(), sample.GetDiskFree());
            } catch (const std::bad_alloc&) {
                return detail::OutOfMemory(FX_CODE_LOCATION);
            }
            return CQiError::Success();
        },
        true);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    try {
        days.Finish();
        freeSpace.insert(freeSpace.end(), days.Averages().begin(), days.Averages().end());
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

}  // namespace I2
