#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/Report.h>

namespace I2 {

// A dangling stub met while a synthetic full is built, eight columns:
//   /d/f,,,1000,42,YES,t,
class IDXREPORTS_API DanglingStubsRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t {
            FilePath,
            StubsVersionGUID,
            DataVersionGUID,
            ModifiedTimestamp,
            SizeInBytes,
            PulledForwardFromPreviousCycle,  // YES or NO
            StubType,
            OrigAppGUID,
            Count
        };
    };

    DanglingStubsRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    void SetFilePath(const std::string& value) { filePath = value; }
    void SetStubsVersionGUID(const std::string& value) { stubsVersionGUID = value; }
    void SetDataVersionGUID(const std::string& value) { dataVersionGUID = value; }
    void SetModifiedTimestamp(long value) { modifiedTimestamp = value; }
    void SetSizeInBytes(unsigned long long value) { sizeInBytes = value; }
    void SetPulledForwardFromPreviousCycle(bool value) { pulledForwardFromPreviousCycle = value; }
    void SetStubType(const std::string& value) { stubType = value; }
    void SetOrigAppGUID(const std::string& value) { origAppGUID = value; }

    const std::string& GetFilePath() const { return filePath; }
    const std::string& GetStubsVersionGUID() const { return stubsVersionGUID; }
    const std::string& GetDataVersionGUID() const { return dataVersionGUID; }
    long GetModifiedTimestamp() const { return modifiedTimestamp; }
    unsigned long long GetSizeInBytes() const { return sizeInBytes; }
    bool GetPulledForwardFromPreviousCycle() const { return pulledForwardFromPreviousCycle; }
    const std::string& GetStubType() const { return stubType; }
    const std::string& GetOrigAppGUID() const { return origAppGUID; }

private:
    std::string filePath;
    std::string stubsVersionGUID;
    std::string dataVersionGUID;
    long modifiedTimestamp = 0;
    unsigned long long sizeInBytes = 0;
    bool pulledForwardFromPreviousCycle = false;
    std::string stubType;
    std::string origAppGUID;
};

class IDXREPORTS_API DanglingStubsReport : public Report<DanglingStubsRecord, -1, ','> {
public:
    DanglingStubsReport() = default;
    ~DanglingStubsReport() = default;

    std::vector<std::string> GetHeader() const override;

    CQiError AddDanglingStubsInfo(const std::string& filePath, const std::string& stubsVersionGUID,
                                  const std::string& dataVersionGUID, uint64_t modifiedTimestamp,
                                  uint64_t sizeInBytes, bool pulledForwardFromPreviousCycle,
                                  const std::string& stubType, const std::string& origAppGUID);
    std::string GetPath() const;
};

// A file dropped while a synthetic full is built, seven columns:
//   /d/f,v,Stub,1000,42,3,gone
class IDXREPORTS_API DroppedFilesRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t {
            FilePath,
            VersionGuid,
            StubOrData,
            ModifiedTimestamp,
            SizeInBytes,
            ReasonCode,
            ReasonString,
            Count
        };
    };

    DroppedFilesRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    void SetFilePath(const std::string& value) { filePath = value; }
    void SetVersionGuid(const std::string& value) { versionGuid = value; }
    void SetStubOrData(const std::string& value) { stubOrData = value; }
    void SetModifiedTimestamp(long value) { modifiedTimestamp = value; }
    void SetSizeInBytes(unsigned long long value) { sizeInBytes = value; }
    void SetReasonCode(int value) { reasonCode = value; }
    void SetReasonString(const std::string& value) { reasonString = value; }

    const std::string& GetFilePath() const { return filePath; }
    const std::string& GetVersionGuid() const { return versionGuid; }
    const std::string& GetStubOrData() const { return stubOrData; }
    long GetModifiedTimestamp() const { return modifiedTimestamp; }
    unsigned long long GetSizeInBytes() const { return sizeInBytes; }
    int GetReasonCode() const { return reasonCode; }
    const std::string& GetReasonString() const { return reasonString; }

private:
    std::string filePath;
    std::string versionGuid;
    std::string stubOrData;
    long modifiedTimestamp = 0;
    unsigned long long sizeInBytes = 0;
    int reasonCode = 0;
    std::string reasonString;
};

class IDXREPORTS_API DroppedFilesReport : public Report<DroppedFilesRecord, -1, ','> {
public:
    DroppedFilesReport() = default;
    ~DroppedFilesReport() = default;

    std::vector<std::string> GetHeader() const override;

    CQiError AddDroppedFilesInfo(const std::string& filePath, const std::string& versionGuid, bool isStub,
                                 uint64_t modifiedTimestamp, uint64_t sizeInBytes, uint32_t reasonCode,
                                 const std::string& reasonString);
    std::string GetPath() const;
};

}  // namespace I2
