#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/Report.h>

namespace I2 {

// A stub found while an archive is verified, four columns:
//   /d/f,1000,42,g
class IDXREPORTS_API VerifyArchiveRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t { FilePath, ModifiedTimestamp, SizeInBytes, OriginalAppguid, Count };
    };

    VerifyArchiveRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    void SetFilePath(const std::string& value) { filePath = value; }
    void SetModifiedTimestamp(long value) { modifiedTimestamp = value; }
    void SetSizeInBytes(unsigned long long value) { sizeInBytes = value; }
    void SetOriginalAppguid(const std::string& value) { originalAppguid = value; }

    const std::string& GetFilePath() const { return filePath; }
    long GetModifiedTimestamp() const { return modifiedTimestamp; }
    unsigned long long GetSizeInBytes() const { return sizeInBytes; }
    const std::string& GetOriginalAppguid() const { return originalAppguid; }

private:
    std::string filePath;
    long modifiedTimestamp = 0;
    unsigned long long sizeInBytes = 0;
    std::string originalAppguid;
};

class IDXREPORTS_API VerifyArchiveReport : public Report<VerifyArchiveRecord, -1, ','> {
public:
    VerifyArchiveReport() = default;
    ~VerifyArchiveReport() = default;

    std::vector<std::string> GetHeader() const override;

    CQiError AddStubsInfo(const std::string& filePath, const uint64_t& modifiedTimestamp,
                          const uint64_t& sizeInBytes, const std::string& originalAppguid);
};

}  // namespace I2
