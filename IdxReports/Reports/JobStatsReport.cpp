#include <IdxReports/Reports/JobStatsReport.h>

#include <algorithm>
#include <cstddef>
#include <ctime>
#include <ios>
#include <iterator>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include <platform/DbgLog.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/ReportLineTriage.h>
#include <IdxReports/internal/FixedRecordFields.h>
#include <IdxReports/internal/NumberScan.h>

namespace I2 {

namespace {

using Column = JobStatsRecord::Column;

const char* const ColumnNames[] = {"Total Files in Index",
                                   "Job Id",
                                   "Total Commands",
                                   "Added Files",
                                   "Deleted Folders",
                                   "Deleted Files",
                                   "Seconds To Playback",
                                   "Start Time",
                                   "End Time",
                                   "Modified Files",
                                   "Job Type",
                                   "Hostname",
                                   "Timestamp",
                                   "Status",
                                   "Root Size",
                                   "Invalid MIME Classification"};
static_assert(std::size(ColumnNames) == Column::Count);

// The fields in line order: ToString writes them, VisitFields shows them.
template <typename Out>
Out& Fields(const JobStatsRecord& r, Out& out) {
    return out.Number(r.GetTotalFilesInIndex())
        .Number(r.GetJobId())
        .Number(r.GetTotalCommands())
        .Number(r.GetAddedFiles())
        .Number(r.GetDeletedFolders())
        .Number(r.GetDeletedFiles())
        .Number(r.GetSecondsToPlayback())
        .Number(r.GetStartTime())
        .Number(r.GetEndTime())
        .Number(r.GetModifiedFiles())
        .Number(r.GetJobType())
        .Text(r.GetHostname())
        .Number(r.GetTimestamp())
        .Number(r.GetStatus())
        .Number(r.GetRootSize())
        .Number(r.GetInvalidMIMEClassification());
}

// Column `index` converted to T; the default when the line is shorter (an older
// layout) or the text does not convert. Text columns lose their quoting.
// The fields of one line as SplitViews left them.
struct LineFields {
    const std::string_view* fields;
    std::size_t count;
    std::string_view line;  // holds every field: the digits are read a word at a time
    std::size_t size() const { return count; }
    std::string_view operator[](std::size_t index) const { return fields[index]; }
};

template <typename T, typename Columns>
T ColumnValue(const Columns& columns, std::size_t index, T defaultValue) {
    if (index >= columns.size()) return defaultValue;
    if constexpr (std::is_same_v<T, std::string>) {
        return ReportRecord::UnquoteText(columns[index]);
    } else if constexpr (std::is_integral_v<T>) {
        if constexpr (std::is_same_v<Columns, LineFields>) {
            return internal::IntegerField<T>(columns[index], columns.line, defaultValue);
        } else {
            return internal::IntegerField<T>(std::string_view(columns[index]), defaultValue);
        }
    } else {
        return ReportRecord::StringToField<T>(std::string_view(columns[index]), defaultValue);
    }
}

}  // namespace

// --- JobStatsRecord ---

template <typename T>
T JobStatsRecord::GetColumnValue(const std::vector<std::string>& columns, unsigned long index,
                                 T defaultValue) {
    return ColumnValue(columns, index, std::move(defaultValue));
}

template unsigned long long JobStatsRecord::GetColumnValue<unsigned long long>(
    const std::vector<std::string>&, unsigned long, unsigned long long);
template double JobStatsRecord::GetColumnValue<double>(const std::vector<std::string>&, unsigned long,
                                                       double);
template long JobStatsRecord::GetColumnValue<long>(const std::vector<std::string>&, unsigned long, long);
template int JobStatsRecord::GetColumnValue<int>(const std::vector<std::string>&, unsigned long, int);
template std::string JobStatsRecord::GetColumnValue<std::string>(const std::vector<std::string>&,
                                                                 unsigned long, std::string);

std::string JobStatsRecord::ToString() {
    detail::FixedLine line(*this, Column::Count * detail::FixedLine::NumberWidth + hostname.size());
    return Fields(*this, line).Take();
}

void JobStatsRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, ColumnNames);
    Fields(*this, walk);
}

CQiError JobStatsRecord::FromString(const std::string& line) {
    try {
        // Views into `line`, in a vector each thread reuses from line to line.
        thread_local std::vector<std::string_view> split;
        SplitViews(line, split);
        // Read through a plain view of the vector: every use of the thread-local
        // itself would look its address up again after each call.
        const LineFields columns{split.data(), split.size(), line};
        totalFilesInIndex = ColumnValue(columns, Column::TotalFilesInIndex, 0ULL);
        jobId = ColumnValue(columns, Column::JobId, 0ULL);
        totalCommands = ColumnValue(columns, Column::TotalCommands, 0ULL);
        addedFiles = ColumnValue(columns, Column::AddedFiles, 0ULL);
        deletedFolders = ColumnValue(columns, Column::DeletedFolders, 0ULL);
        deletedFiles = ColumnValue(columns, Column::DeletedFiles, 0ULL);
        secondsToPlayback = ColumnValue(columns, Column::SecondsToPlayback, 0.0);
        startTime = ColumnValue(columns, Column::StartTime, 0L);
        endTime = ColumnValue(columns, Column::EndTime, 0L);
        modifiedFiles = ColumnValue(columns, Column::ModifiedFiles, 0ULL);
        jobType = ColumnValue(columns, Column::JobType, 0);
        // Into the string's own storage, as a record reused from line to line wants.
        if (Column::Hostname < columns.size()) {
            detail::AssignText(hostname, columns[Column::Hostname]);
        } else {
            hostname.clear();
        }
        timestamp = ColumnValue(columns, Column::Timestamp, 0L);
        status = ColumnValue(columns, Column::Status, 0);
        rootSize = ColumnValue(columns, Column::RootSize, 0ULL);
        invalidMIMEClassification = ColumnValue(columns, Column::InvalidMIMEClassification, 0ULL);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        // The fields set so far stay; the caller drops a record that failed.
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

void JobStatsRecord::DebugMe() {
    I2::Utils::DbgLogger log;
    if (log.getDebugLevel() > 6) {
        log.Debug(__PRETTY_FUNCTION__,
                  "\nTotal Files in Index = %llu\nJob ID = %llu\nTotal Commands = %llu\nAdded Files = %llu"
                  "\nDeleted Folder = %llu\nDelted Files = %llu\nSeconds to pback = %f\nStart time = %lu"
                  "\nEnd time = %lu\nModified Files = %llu\nJob type = %d\nHostname = %s\nTimestamp = %lu"
                  "\nStatus = %d\nRoot Size = %llu\nInvalid MIME Classification = %llu",
                  totalFilesInIndex, jobId, totalCommands, addedFiles, deletedFolders, deletedFiles,
                  secondsToPlayback, startTime, endTime, modifiedFiles, jobType, hostname.c_str(), timestamp,
                  status, rootSize, invalidMIMEClassification);
    }
}

// --- JobStatsReport ---

std::vector<std::string> JobStatsReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(ColumnNames);
    return header;
}

CQiError JobStatsReport::Open(const std::string& directory, const std::string& fileName,
                              ReportFileHandler::OpenMode_t mode) {
    const std::string path = CQiPath::Append(directory, fileName);
    CQiError err = Report::Open(path, mode, true);
    return err.Push(FX_CODE_LOCATION);
}

CQiError JobStatsReport::AddJobStats(JobStatsRecord& record) {
    record.SetTimestamp(static_cast<long>(time(nullptr)));
    CQiError err = AddRecord(record);
    return err.Push(FX_CODE_LOCATION);
}

namespace {

// The line with its status field (a view into it) made "1".
std::string MarkedInvalid(std::string_view line, std::string_view status) {
    const std::size_t at = static_cast<std::size_t>(status.data() - line.data());
    std::string marked;
    marked.reserve(line.size() + 1);
    marked.append(line.substr(0, at)).append(ReportRecord::FieldToString(1, false));
    marked.append(line.substr(at + status.size()));
    return marked;
}

}  // namespace

CQiError JobStatsReport::SetInvalidJobs(std::string directory, std::vector<unsigned long>& jobIds) {
    std::size_t linesMoved = 0;
    return SetInvalidJobs(std::move(directory), jobIds, linesMoved).Push(FX_CODE_LOCATION);
}

// The lock is taken before the old file is read and held until the rewritten
// file has replaced it, so a row that another process appends is either read
// here and written back, or appended after the replacement: never lost. The
// rewrite keeps every row (it does not rotate) and is atomic; the old file is
// read through a descriptor opened once the lock is held, as one opened before
// may name a file that another rewrite has since replaced.
//
// Rows are not re-serialised: a row this library did not write ("12345678.5",
// quoting of its own) would come back altered.
CQiError JobStatsReport::SetInvalidJobs(std::string directory, std::vector<unsigned long>& jobIds,
                                        std::size_t& linesMoved) {
    linesMoved = 0;
    JobStatsReport report;
    CQiError err = report.Open(directory, FileName, std::ios::in);
    linesMoved = report.GetLinesSetAside();
    if (!err.IsError()) err = report.Lock();
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    std::sort(jobIds.begin(), jobIds.end());
    try {
        const JobStatsRecord scratch;
        ReportRowSplitter<JobStatsRecord> rows(scratch, ',');
        const ReportLineTriage::Judge_t mark = [&](std::string_view header, std::string_view line,
                                                   std::string& marked) {
            if (!rows.IsRecord(header, line)) return ReportLineFate::SetAside;
            const std::vector<std::string_view>& fields = rows.Fields();
            if (fields.size() <= Column::Status) return ReportLineFate::Keep;
            const auto id = ReportRecord::StringToField<unsigned long long>(fields[Column::JobId], 0ULL);
            const std::string_view status = fields[Column::Status];
            if (!std::binary_search(jobIds.begin(), jobIds.end(), id) || status == "1") return ReportLineFate::Keep;
            marked = MarkedInvalid(line, status);
            return ReportLineFate::Replace;
        };
        std::size_t moved = 0;
        const std::string path = report.GetPath();
        err = ReportLineTriage::Sort(report.file, path, nullptr, mark, "SetInvalidJobs", moved);
        linesMoved += moved;
    } catch (...) {
        err = FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Marking jobs invalid in [%s]",
                                                report.GetPath().c_str());
    }
    if (!err.IsError()) err = report.Close();
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
