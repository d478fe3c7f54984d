#include <IdxReports/Reports/VerifyArchiveReport.h>

#include <cstddef>
#include <iterator>
#include <new>

#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

using Column = VerifyArchiveRecord::Column;

const char* const ColumnNames[] = {"File Path", "Modified Time", "Size In Bytes", "Origin App GUID"};
static_assert(std::size(ColumnNames) == Column::Count);

// The fields in line order: ToString writes them, VisitFields shows them.
template <typename Out>
Out& Fields(const VerifyArchiveRecord& r, Out& out) {
    return out.Text(r.GetFilePath())
        .Number(r.GetModifiedTimestamp())
        .Number(r.GetSizeInBytes())
        .Text(r.GetOriginalAppguid());
}

}  // namespace

void VerifyArchiveRecord::DebugMe() {}

std::string VerifyArchiveRecord::ToString() {
    const std::size_t texts = filePath.size() + originalAppguid.size();
    detail::FixedLine line(*this, texts + Column::Count * detail::FixedLine::NumberWidth);
    return Fields(*this, line).Take();
}

void VerifyArchiveRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, ColumnNames);
    Fields(*this, walk);
}

CQiError VerifyArchiveRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Column::Count);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "VerifyArchiveRecord");

        fields.Text(Column::FilePath, filePath);
        modifiedTimestamp = fields.Number<long>(Column::ModifiedTimestamp);
        sizeInBytes = fields.Number<unsigned long long>(Column::SizeInBytes);
        fields.Text(Column::OriginalAppguid, originalAppguid);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> VerifyArchiveReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(ColumnNames);
    return header;
}

CQiError VerifyArchiveReport::AddStubsInfo(const std::string& filePath, const uint64_t& modifiedTimestamp,
                                           const uint64_t& sizeInBytes, const std::string& originalAppguid) {
    CQiError err = detail::AppendRecord<VerifyArchiveRecord>(*this, [&](VerifyArchiveRecord& record) {
        record.SetFilePath(filePath);
        // Bit for bit: a time stamp of 2^63 or more reads back negative.
        record.SetModifiedTimestamp(static_cast<long>(modifiedTimestamp));
        record.SetSizeInBytes(sizeInBytes);
        record.SetOriginalAppguid(originalAppguid);
    });
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
