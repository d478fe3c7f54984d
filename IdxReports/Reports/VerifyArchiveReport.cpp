#include <IdxReports/Reports/VerifyArchiveReport.h>

#include <cstddef>
#include <new>

#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

constexpr std::size_t Columns = 4;

}  // namespace

void VerifyArchiveRecord::DebugMe() {}

std::string VerifyArchiveRecord::ToString() {
    const std::size_t texts = filePath.size() + originalAppguid.size();
    return detail::FixedLine(*this, texts + Columns * detail::FixedLine::NumberWidth)
        .Text(filePath)
        .Number(modifiedTimestamp)
        .Number(sizeInBytes)
        .Text(originalAppguid)
        .Take();
}

CQiError VerifyArchiveRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Columns);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "VerifyArchiveRecord");

        fields.Text(0, filePath);
        modifiedTimestamp = fields.Number<long>(1);
        sizeInBytes = fields.Number<unsigned long long>(2);
        fields.Text(3, originalAppguid);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> VerifyArchiveReport::GetHeader() const {
    static const std::vector<std::string> header{"File Path", "Modified Time", "Size In Bytes", "Origin App GUID"};
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
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

}  // namespace I2
