#include <IdxReports/Reports/SyntheticReports.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <string>

#include <IdxReports/internal/FixedRecordFields.h>

namespace I2 {
namespace {

constexpr const char* Yes = "YES";
constexpr const char* No = "NO";
constexpr const char* Stub = "Stub";
constexpr const char* Data = "Data";

const char* const DanglingStubsNames[] = {"File Path",     "Stubs Version GUID", "Data Version GUID",
                                          "Modified Time", "Size In Bytes",      "Pulled Forward",
                                          "Stub Type",     "Origin App GUID"};
static_assert(std::size(DanglingStubsNames) == DanglingStubsRecord::Column::Count);

const char* const DroppedFilesNames[] = {"File Path",     "Version GUID", "Stub Or Data", "Modified Time",
                                         "Size In Bytes", "Reason Code",  "Reason"};
static_assert(std::size(DroppedFilesNames) == DroppedFilesRecord::Column::Count);

// The fields of each record in line order: ToString writes them, VisitFields
// shows them, and AddDanglingStubsInfo writes them from its arguments (`r` is a
// record or StubArguments).
template <typename Stub, typename Out>
Out& StubFields(const Stub& r, Out& out) {
    return out.Text(r.GetFilePath())
        .Text(r.GetStubsVersionGUID())
        .Text(r.GetDataVersionGUID())
        .Number(r.GetModifiedTimestamp())
        .Number(r.GetSizeInBytes())
        .Text(r.GetPulledForwardFromPreviousCycle() ? Yes : No)
        .Text(r.GetStubType())
        .Text(r.GetOrigAppGUID());
}

template <typename Out>
Out& Fields(const DroppedFilesRecord& r, Out& out) {
    return out.Text(r.GetFilePath())
        .Text(r.GetVersionGuid())
        .Text(r.GetStubOrData())
        .Number(r.GetModifiedTimestamp())
        .Number(r.GetSizeInBytes())
        .Number(r.GetReasonCode())
        .Text(r.GetReasonString());
}

// AddDanglingStubsInfo's arguments seen as the record they would fill, so that
// its line is written straight from them: filling a record would copy every
// text once more for nothing.
struct StubArguments {
    const std::string& filePath;
    const std::string& stubsVersionGUID;
    const std::string& dataVersionGUID;
    uint64_t modifiedTimestamp;
    uint64_t sizeInBytes;
    bool pulledForward;
    const std::string& stubType;
    const std::string& origAppGUID;

    const std::string& GetFilePath() const { return filePath; }
    const std::string& GetStubsVersionGUID() const { return stubsVersionGUID; }
    const std::string& GetDataVersionGUID() const { return dataVersionGUID; }
    // Bit for bit: a time stamp of 2^63 or more reads back negative.
    long GetModifiedTimestamp() const { return static_cast<long>(modifiedTimestamp); }
    unsigned long long GetSizeInBytes() const { return sizeInBytes; }
    bool GetPulledForwardFromPreviousCycle() const { return pulledForward; }
    const std::string& GetStubType() const { return stubType; }
    const std::string& GetOrigAppGUID() const { return origAppGUID; }
};

}  // namespace

// --- dangling stubs ---

void DanglingStubsRecord::DebugMe() {}

std::string DanglingStubsRecord::ToString() {
    const std::size_t texts =
        filePath.size() + stubsVersionGUID.size() + dataVersionGUID.size() + stubType.size() + origAppGUID.size();
    detail::FixedLine line(*this, texts + Column::Count * detail::FixedLine::NumberWidth);
    return StubFields(*this, line).Take();
}

void DanglingStubsRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, DanglingStubsNames);
    StubFields(*this, walk);
}

CQiError DanglingStubsRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Column::Count);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "DanglingStubsRecord");

        fields.Text(Column::FilePath, filePath);
        fields.Text(Column::StubsVersionGUID, stubsVersionGUID);
        fields.Text(Column::DataVersionGUID, dataVersionGUID);
        modifiedTimestamp = fields.Number<long>(Column::ModifiedTimestamp);
        sizeInBytes = fields.Number<unsigned long long>(Column::SizeInBytes);
        // Case-sensitive: "yes", "Yes" and an empty field all read as false.
        pulledForwardFromPreviousCycle = fields[Column::PulledForwardFromPreviousCycle] == Yes;
        fields.Text(Column::StubType, stubType);
        fields.Text(Column::OrigAppGUID, origAppGUID);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> DanglingStubsReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(DanglingStubsNames);
    return header;
}

CQiError DanglingStubsReport::AddDanglingStubsInfo(const std::string& filePath, const std::string& stubsVersionGUID,
                                                   const std::string& dataVersionGUID, uint64_t modifiedTimestamp,
                                                   uint64_t sizeInBytes, bool pulledForwardFromPreviousCycle,
                                                   const std::string& stubType, const std::string& origAppGUID) {
    try {
        const StubArguments stub{filePath,    stubsVersionGUID,           dataVersionGUID, modifiedTimestamp,
                                 sizeInBytes, pulledForwardFromPreviousCycle, stubType,        origAppGUID};
        // The record only lends the line its separator, the report's.
        static const DanglingStubsRecord layout;
        const std::size_t texts =
            filePath.size() + stubsVersionGUID.size() + dataVersionGUID.size() + stubType.size() + origAppGUID.size();
        detail::FixedLine line(layout, texts + DanglingStubsRecord::Column::Count * detail::FixedLine::NumberWidth);
        StubFields(stub, line);
        CQiError err = AddRecordLine(line.View(), line.BreaksLine());
        // A code location is two strings: built only when there is a failure to trace.
        if (err.IsError()) err.Push(FX_CODE_LOCATION);
        return err;
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::string DanglingStubsReport::GetPath() const { return Report::GetPath(); }

// --- dropped files ---

void DroppedFilesRecord::DebugMe() {}

std::string DroppedFilesRecord::ToString() {
    const std::size_t texts = filePath.size() + versionGuid.size() + stubOrData.size() + reasonString.size();
    detail::FixedLine line(*this, texts + Column::Count * detail::FixedLine::NumberWidth);
    return Fields(*this, line).Take();
}

void DroppedFilesRecord::VisitFields(const FieldVisitor& visit) const {
    detail::FieldWalk walk(visit, DroppedFilesNames);
    Fields(*this, walk);
}

CQiError DroppedFilesRecord::FromString(const std::string& line) {
    try {
        const detail::FixedFields fields(*this, line, Column::Count);
        if (!fields.Complete()) return detail::InvalidLine(FX_CODE_LOCATION, "DroppedFilesRecord");

        fields.Text(Column::FilePath, filePath);
        fields.Text(Column::VersionGuid, versionGuid);
        fields.Text(Column::StubOrData, stubOrData);
        modifiedTimestamp = fields.Number<long>(Column::ModifiedTimestamp);
        sizeInBytes = fields.Number<unsigned long long>(Column::SizeInBytes);
        reasonCode = fields.Number<int>(Column::ReasonCode);
        fields.Text(Column::ReasonString, reasonString);
        return CQiError::Success();
    } catch (const std::bad_alloc&) {
        return detail::OutOfMemory(FX_CODE_LOCATION);
    }
}

std::vector<std::string> DroppedFilesReport::GetHeader() const {
    static const std::vector<std::string> header = detail::HeaderOf(DroppedFilesNames);
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
    return err.Push(FX_CODE_LOCATION);
}

std::string DroppedFilesReport::GetPath() const { return Report::GetPath(); }

}  // namespace I2
