#include <IdxReports/Reports/SyntheticReports.h>

#include <cstddef>
#include <new>

#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

constexpr std::size_t DanglingStubsColumns = 8;
constexpr std::size_t DroppedFilesColumns = 7;

constexpr const char* Yes = "YES";
constexpr const char* No = "NO";
constexpr const char* Stub = "Stub";
constexpr const char* Data = "Data";

}  // namespace

// --- dangling stubs ---

void DanglingStubsRecord::DebugMe() {}

std::string DanglingStubsRecord::ToString() {
    const std::size_t texts =
        filePath.size() + stubsVersionGUID.size() + dataVersionGUID.size() + stubType.size() + origAppGUID.size();
    return detail::FixedLine(*this, texts + DanglingStubsColumns * detail::FixedLine::NumberWidth)
        .Text(filePath)
        .Text(stubsVersionGUID)
        .Text(dataVersionGUID)
        .Number(modifiedTimestamp)
        .Number(sizeInBytes)
        .Text(pulledForwardFromPreviousCycle ? Yes : No)
        .Text(stubType)
        .Text(origAppGUID)
        .Take();
}

CQiError DanglingStubsRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, DanglingStubsColumns);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "DanglingStubsRecord");

        fields.Text(0, filePath);
        fields.Text(1, stubsVersionGUID);
        fields.Text(2, dataVersionGUID);
        modifiedTimestamp = fields.Number<long>(3);
        sizeInBytes = fields.Number<unsigned long long>(4);
        // Case-sensitive: "yes", "Yes" and an empty field all read as false.
        pulledForwardFromPreviousCycle = fields[5] == Yes;
        fields.Text(6, stubType);
        fields.Text(7, origAppGUID);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> DanglingStubsReport::GetHeader() const {
    static const std::vector<std::string> header{"File Path",      "Stubs Version GUID", "Data Version GUID",
                                                 "Modified Time",  "Size In Bytes",      "Pulled Forward",
                                                 "Stub Type",      "Origin App GUID"};
    return header;
}

CQiError DanglingStubsReport::AddDanglingStubsInfo(const std::string& filePath, const std::string& stubsVersionGUID,
                                                   const std::string& dataVersionGUID, uint64_t modifiedTimestamp,
                                                   uint64_t sizeInBytes, bool pulledForwardFromPreviousCycle,
                                                   const std::string& stubType, const std::string& origAppGUID) {
    CQiError err = detail::AppendRecord<DanglingStubsRecord>(*this, [&](DanglingStubsRecord& record) {
        record.SetFilePath(filePath);
        record.SetStubsVersionGUID(stubsVersionGUID);
        record.SetDataVersionGUID(dataVersionGUID);
        // Bit for bit: a time stamp of 2^63 or more reads back negative.
        record.SetModifiedTimestamp(static_cast<long>(modifiedTimestamp));
        record.SetSizeInBytes(sizeInBytes);
        record.SetPulledForwardFromPreviousCycle(pulledForwardFromPreviousCycle);
        record.SetStubType(stubType);
        record.SetOrigAppGUID(origAppGUID);
    });
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

std::string DanglingStubsReport::GetPath() const { return Report::GetPath(); }

// --- dropped files ---

void DroppedFilesRecord::DebugMe() {}

std::string DroppedFilesRecord::ToString() {
    const std::size_t texts = filePath.size() + versionGuid.size() + stubOrData.size() + reasonString.size();
    return detail::FixedLine(*this, texts + DroppedFilesColumns * detail::FixedLine::NumberWidth)
        .Text(filePath)
        .Text(versionGuid)
        .Text(stubOrData)
        .Number(modifiedTimestamp)
        .Number(sizeInBytes)
        .Number(reasonCode)
        .Text(reasonString)
        .Take();
}

CQiError DroppedFilesRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, DroppedFilesColumns);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "DroppedFilesRecord");

        fields.Text(0, filePath);
        fields.Text(1, versionGuid);
        fields.Text(2, stubOrData);
        modifiedTimestamp = fields.Number<long>(3);
        sizeInBytes = fields.Number<unsigned long long>(4);
        reasonCode = fields.Number<int>(5);
        fields.Text(6, reasonString);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> DroppedFilesReport::GetHeader() const {
    static const std::vector<std::string> header{"File Path",     "Version GUID", "Stub Or Data", "Modified Time",
                                                 "Size In Bytes", "Reason Code",  "Reason"};
    return header;
}

CQiError DroppedFilesReport::AddDroppedFilesInfo(const std::string& filePath, const std::string& versionGuid,
                                                 bool isStub, uint64_t modifiedTimestamp, uint64_t sizeInBytes,
                                                 uint32_t reasonCode, const std::string& reasonString) {
    CQiError err = detail::AppendRecord<DroppedFilesRecord>(*this, [&](DroppedFilesRecord& record) {
        record.SetFilePath(filePath);
        record.SetVersionGuid(versionGuid);
        record.SetStubOrData(isStub ? Stub : Data);
        // Bit for bit: a time stamp of 2^63 or more and a code of 2^31 or more read back negative.
        record.SetModifiedTimestamp(static_cast<long>(modifiedTimestamp));
        record.SetSizeInBytes(sizeInBytes);
        record.SetReasonCode(static_cast<int>(reasonCode));
        record.SetReasonString(reasonString);
    });
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

std::string DroppedFilesReport::GetPath() const { return Report::GetPath(); }

}  // namespace I2
