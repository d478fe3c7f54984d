#include <IdxReports/Reports/LogCleanUpReport.h>

#include <cstddef>
#include <initializer_list>
#include <ios>
#include <iterator>
#include <new>
#include <utility>

#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

using Column = LogCleanUpRecord::Column;

const char* const ColumnNames[] = {"Job Id", "Reason"};
static_assert(std::size(ColumnNames) == Column::Count);

// The fields in line order: ToString writes them, VisitFields shows them.
template <typename Out>
Out& Fields(const LogCleanUpRecord& r, Out& out) {
    return out.Text(r.GetJobId()).Text(r.GetReason());
}

// Makes `levels` ("Logs", "CleanUp"; each may hold several components) below
// `base` one directory at a time, each made with mkdirat and entered without
// following a link, and leaves the last one open in `dir`: the report is then
// opened in that very directory, so that a link planted at one of the levels
// (the directory is the service's, writable by it), before or after they were
// made, never sends the report somewhere else. Links in `base`, the caller's
// own directory, are followed.
CQiError MakeLevels(const std::string& base, std::initializer_list<const std::string*> levels,
                    CQiDirectoryHandle& dir) {
    CQiError err = base.empty() || CQiPath::IsDirectory(base) ? CQiError::Success() : CQiDirectory::Create(base, true);
    if (!err.IsError()) err = dir.Open(base);
    for (const std::string* level : levels) {
        for (std::size_t start = 0; !err.IsError() && start < level->size();) {
            std::size_t end = level->find('/', start);
            if (end == std::string::npos) end = level->size();
            const std::string name = level->substr(start, end - start);
            start = end + 1;
            if (name.empty() || name == ".") continue;
            CQiDirectoryHandle sub;
            err = dir.MakeDirectory(name, true);
            if (!err.IsError()) err = dir.OpenDirectory(name, sub);
            if (!err.IsError()) dir = std::move(sub);
        }
    }
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace

void LogCleanUpRecord::DebugMe() {}

std::string LogCleanUpRecord::ToString() {
    detail::FixedLine line(*this, jobId.size() + reason.size() + 2 * Column::Count);
    return Fields(*this, line).Take();
}

void LogCleanUpRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, ColumnNames);
    Fields(*this, walk);
}

CQiError LogCleanUpRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Column::Count);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "LogCleanUpRecord");

        fields.Text(Column::JobId, jobId);
        fields.Text(Column::Reason, reason);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> LogCleanUpReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(ColumnNames);
    return header;
}

CQiError LogCleanUpReport::Open(const std::string& part1, const std::string& part2, const std::string& part3) {
    try {
        CQiDirectoryHandle directory;
        CQiError err = MakeLevels(part1, {&part2, &part3}, directory);
        // Truncating on purpose: the file holds the clean-ups of one run only.
        if (!err.IsError()) err = OpenIn(directory, FileName, std::ios::out | std::ios::trunc);
        return err.Push(FX_CODE_LOCATION);
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

CQiError LogCleanUpReport::AddCleanUpRecord(std::string&& jobId, std::string&& reason) {
    CQiError err = detail::AppendRecord<LogCleanUpRecord>(*this, [&](LogCleanUpRecord& record) {
        record.SetJobId(jobId);
        record.SetReason(reason);
    });
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
