#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/Report.h>

namespace I2 {

// One row of "JobStats.csv": the counters and times of one job.
//   120,7,3,2,0,1,2.5,100,160,4,1,hostA,170,0,5,0
// Lines of older, shorter layouts read with defaults for the missing columns;
// a field that does not convert reads as its default, so FromString never fails.
class IDXREPORTS_API JobStatsRecord : public ReportRecord {
public:
    struct Column {
        enum : std::size_t {
            TotalFilesInIndex,
            JobId,
            TotalCommands,
            AddedFiles,
            DeletedFolders,
            DeletedFiles,
            SecondsToPlayback,
            StartTime,
            EndTime,
            ModifiedFiles,
            JobType,
            Hostname,
            Timestamp,
            Status,
            RootSize,
            InvalidMIMEClassification,
            Count
        };
    };

    JobStatsRecord() = default;

    void DebugMe() override;
    std::string ToString() override;
    CQiError FromString(const std::string& line) override;
    void VisitFields(const FieldVisitor& visit) const;

    template <typename T>
    T GetColumnValue(const std::vector<std::string>& columns, unsigned long index, T defaultValue);

    unsigned long long GetTotalFilesInIndex() const { return totalFilesInIndex; }
    unsigned long long GetJobId() const { return jobId; }
    unsigned long long GetTotalCommands() const { return totalCommands; }
    unsigned long long GetAddedFiles() const { return addedFiles; }
    unsigned long long GetDeletedFolders() const { return deletedFolders; }
    unsigned long long GetDeletedFiles() const { return deletedFiles; }
    double GetSecondsToPlayback() const { return secondsToPlayback; }
    long GetStartTime() const { return startTime; }
    long GetEndTime() const { return endTime; }
    unsigned long long GetModifiedFiles() const { return modifiedFiles; }
    int GetJobType() const { return jobType; }
    const std::string& GetHostname() const { return hostname; }
    long GetTimestamp() const { return timestamp; }
    int GetStatus() const { return status; }
    unsigned long long GetRootSize() const { return rootSize; }
    unsigned long long GetInvalidMIMEClassification() const { return invalidMIMEClassification; }

    void SetTotalFilesInIndex(unsigned long long value) { totalFilesInIndex = value; }
    void SetJobId(unsigned long long value) { jobId = value; }
    void SetTotalCommands(unsigned long long value) { totalCommands = value; }
    void SetAddedFiles(unsigned long long value) { addedFiles = value; }
    void SetDeletedFolders(unsigned long long value) { deletedFolders = value; }
    void SetDeletedFiles(unsigned long long value) { deletedFiles = value; }
    void SetSecondsToPlayback(double value) { secondsToPlayback = value; }
    void SetStartTime(long value) { startTime = value; }
    void SetEndTime(long value) { endTime = value; }
    void SetModifiedFiles(unsigned long long value) { modifiedFiles = value; }
    void SetJobType(int value) { jobType = value; }
    void SetHostname(const std::string& value) { hostname = value; }
    void SetTimestamp(long value) { timestamp = value; }
    void SetStatus(int value) { status = value; }
    void SetRootSize(unsigned long long value) { rootSize = value; }
    void SetInvalidMIMEClassification(unsigned long long value) { invalidMIMEClassification = value; }

private:
    unsigned long long totalFilesInIndex = 0;
    unsigned long long jobId = 0;
    unsigned long long totalCommands = 0;
    unsigned long long addedFiles = 0;
    unsigned long long deletedFolders = 0;
    unsigned long long deletedFiles = 0;
    double secondsToPlayback = 0.0;
    long startTime = 0;
    long endTime = 0;
    unsigned long long modifiedFiles = 0;
    int jobType = 0;
    std::string hostname;
    long timestamp = 0;
    int status = 0;
    unsigned long long rootSize = 0;
    unsigned long long invalidMIMEClassification = 0;
};

// "JobStats.csv": at most 10000 rows; the 10001st starts the file afresh and the
// previous rows are kept in "JobStats.csv.old".
class IDXREPORTS_API JobStatsReport : public Report<JobStatsRecord, 10000, ','> {
public:
    static constexpr const char* FileName = "JobStats.csv";

    JobStatsReport() = default;
    ~JobStatsReport() = default;

    std::vector<std::string> GetHeader() const override;

    // Opens directory/fileName in `mode`, converting a file with another header.
    CQiError Open(const std::string& directory, const std::string& fileName,
                  ReportFileHandler::OpenMode_t mode);
    using Report::Open;
    // Stamps `record` with the current time (the caller's record keeps it) and appends it.
    CQiError AddJobStats(JobStatsRecord& record);
    // Marks with status 1 every row of directory/"JobStats.csv" whose job id is
    // listed. Holds the report's lock from before the load until the rewritten
    // file is in place; the rewrite is atomic. Leaves `jobIds` sorted.
    // Every other row stays byte for byte, and a marked row changes only its
    // status field. A line that is no record (the wrong number of fields, a
    // number column that holds no number, a crash's unterminated tail) goes to
    // JobStats.csv.bad with its line number instead.
    static CQiError SetInvalidJobs(std::string directory, std::vector<unsigned long>& jobIds);
    // The same, with `linesMoved` the lines moved to JobStats.csv.bad (by the
    // conversion of an older layout too).
    static CQiError SetInvalidJobs(std::string directory, std::vector<unsigned long>& jobIds,
                                   std::size_t& linesMoved);
};

}  // namespace I2
