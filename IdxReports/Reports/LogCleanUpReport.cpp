#include <IdxReports/Reports/LogCleanUpReport.h>

#include <cstddef>
#include <ios>
#include <iterator>
#include <new>

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
        const std::string directory = CQiPath::Append(CQiPath::Append(part1, part2), part3);
        // Truncating on purpose: the file holds the clean-ups of one run only.
        CQiError err = Report::Open(CQiPath::Append(directory, FileName), std::ios::out | std::ios::trunc, false);
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
