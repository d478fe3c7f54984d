#include <IdxReports/Reports/LogCleanUpReport.h>

#include <cstddef>
#include <ios>
#include <new>

#include <platform/QiFileSystem.h>
#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

constexpr std::size_t Columns = 2;

}  // namespace

void LogCleanUpRecord::DebugMe() {}

std::string LogCleanUpRecord::ToString() {
    return detail::FixedLine(*this, jobId.size() + reason.size() + 2 * Columns).Text(jobId).Text(reason).Take();
}

CQiError LogCleanUpRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Columns);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "LogCleanUpRecord");

        fields.Text(0, jobId);
        fields.Text(1, reason);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> LogCleanUpReport::GetHeader() const {
    static const std::vector<std::string> header{"Job Id", "Reason"};
    return header;
}

CQiError LogCleanUpReport::Open(const std::string& part1, const std::string& part2, const std::string& part3) {
    try {
        const std::string directory = CQiPath::Append(CQiPath::Append(part1, part2), part3);
        // Truncating on purpose: the file holds the clean-ups of one run only.
        CQiError err = Report::Open(CQiPath::Append(directory, FileName), std::ios::out | std::ios::trunc, false);
        if (err.IsError()) err.Push(FX_CODE_LOCATION);
        return err;
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

CQiError LogCleanUpReport::AddCleanUpRecord(std::string&& jobId, std::string&& reason) {
    CQiError err = detail::AppendRecord<LogCleanUpRecord>(*this, [&](LogCleanUpRecord& record) {
        record.SetJobId(jobId);
        record.SetReason(reason);
    });
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

}  // namespace I2
