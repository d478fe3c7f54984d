#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/Report.h>

namespace I2 {

// One sample of the disk that holds the index cache, nine columns:
//   1000,10,20,30,0,5,8192,4096,      (Time, DB, Logs, Reports, V1, Other,
//                                      DiskSize, DiskFree, Alert)
// A line of other than nine columns is rejected, and so is one whose Time or
// DiskFree does not convert (an empty one included); columns are trimmed before
// conversion, and the other numbers read as 0 when they do not convert.
class IDXREPORTS_API LogicalDiskRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t { Time, DB, Logs, Reports, V1, Other, DiskSize, DiskFree, Alert, Count };
    };

    LogicalDiskRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    long GetTime() const { return time; }
    unsigned long long GetDB() const { return db; }
    unsigned long long GetLogs() const { return logs; }
    unsigned long long GetReports() const { return reports; }
    unsigned long long GetV1() const { return v1; }
    unsigned long long GetOther() const { return other; }
    unsigned long long GetDiskSize() const { return diskSize; }
    unsigned long long GetDiskFree() const { return diskFree; }
    const std::string& GetAlert() const { return alert; }

    void SetTime(long value) { time = value; }
    void SetDB(unsigned long long value) { db = value; }
    void SetLogs(unsigned long long value) { logs = value; }
    void SetReports(unsigned long long value) { reports = value; }
    void SetV1(unsigned long long value) { v1 = value; }
    void SetOther(unsigned long long value) { other = value; }
    void SetDiskSize(unsigned long long value) { diskSize = value; }
    void SetDiskFree(unsigned long long value) { diskFree = value; }
    void SetAlert(const std::string& value) { alert = value; }

private:
    long time = 0;
    unsigned long long db = 0;
    unsigned long long logs = 0;
    unsigned long long reports = 0;
    unsigned long long v1 = 0;
    unsigned long long other = 0;
    unsigned long long diskSize = 0;
    unsigned long long diskFree = 0;
    std::string alert;
};

// The samples of one disk, in "IndexCacheStats_<CRC-64 of the disk key>.csv".
class IDXREPORTS_API LogicalDiskReport : public Report<LogicalDiskRecord, -1, ','> {
public:
    LogicalDiskReport() = default;
    ~LogicalDiskReport() = default;

    std::vector<std::string> GetHeader() const override;

    // "IndexCacheStats_" + CRC-64/XZ of the key's bytes in decimal + ".csv".
    static std::string GetFileName(const std::string& diskKey);
    static std::string GetFilePath(const std::string& directory, const std::string& diskKey);

    // Opens the existing file of `diskKey` in `directory` for reading.
    CQiError Open(const std::string& directory, const std::string& diskKey);
    using Report::Open;
    // Appends one average free space (MiB) per one-day period of the samples.
    CQiError LoadIndexCacheDiskFreeSpace(std::vector<double>& freeSpace);
};

}  // namespace I2
