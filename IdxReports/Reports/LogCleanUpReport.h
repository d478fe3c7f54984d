#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/Report.h>

namespace I2 {

// One log clean-up: job id (kept as text) and reason.
//   17,aged out
class IDXREPORTS_API LogCleanUpRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t { JobId, Reason, Count };
    };

    LogCleanUpRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    void SetJobId(const std::string& value) { jobId = value; }
    void SetReason(const std::string& value) { reason = value; }
    const std::string& GetJobId() const { return jobId; }
    const std::string& GetReason() const { return reason; }

private:
    std::string jobId = "0";
    std::string reason;
};

// "LogCleanUpReport.csv" under three directory parts. Every Open starts the file
// afresh: it only ever holds the clean-ups recorded since.
class IDXREPORTS_API LogCleanUpReport : public Report<LogCleanUpRecord, -1, ','> {
public:
    static constexpr const char* FileName = "LogCleanUpReport.csv";

    LogCleanUpReport() = default;
    ~LogCleanUpReport() = default;

    std::vector<std::string> GetHeader() const override;

    CQiError Open(const std::string& part1, const std::string& part2, const std::string& part3);
    using Report::Open;
    // Copies both texts; the caller's strings keep their contents.
    CQiError AddCleanUpRecord(std::string&& jobId, std::string&& reason);
};

}  // namespace I2
