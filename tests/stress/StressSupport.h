#pragma once

// What the stress tests share: a private directory whose lock files every forked
// child meets, forked children, the raw lines of a report as they stand on disk,
// and the test records that say who wrote them.
//
// A test record carries its identity twice, once as a number and once inside a
// text field that needs quoting ("r42,\"q\""), so a line that was cut, merged
// with another or mangled by the codec never reads back as a valid record.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <platform/QiError.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

namespace I2::stress {

// A fresh directory under /tmp, removed with its contents at destruction (kept
// after a failure when IDXREPORTS_KEEP_FAILED is set, for a look at the files). The
// constructor points IDXREPORTS_LOCK_DIR at its "locks" subdirectory; children
// forked afterwards inherit it.
class StressDir {
public:
    StressDir();
    ~StressDir();
    StressDir(const StressDir&) = delete;
    StressDir& operator=(const StressDir&) = delete;

    const std::string& Path() const { return path; }
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};

// The integer in environment variable `name`, or `fallback` when unset or not a number.
int EnvInt(const char* name, int fallback);

// Forks a child that runs `body` and leaves with its result through _exit, so the
// parent's test framework never runs in the child.
pid_t Spawn(const std::function<int()>& body);
// Waits for a child: its exit code, or 128 + the signal that ended it.
int Wait(pid_t pid);
// Waits at most `seconds` for a child, then kills it: its exit code, 128 + the
// signal that ended it, or -2 when it had to be killed (it hung).
int WaitFor(pid_t pid, int seconds);
// Waits for every child; true when all exited with 0.
bool WaitAll(const std::vector<pid_t>& pids);

// In a child, where there is no test framework: false, after printing `what`
// and the error to stderr, when `err` failed.
bool ChildOk(const char* what, const CQiError& err);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Writes through a temporary name and a rename, so a concurrent reader sees the
// old or the new content only.
void ReplaceFile(const std::string& path, const std::string& content);
bool PathExists(const std::string& path);
// Names in `dir` that end in ".tmp".
std::vector<std::string> LeftoverTemporaries(const std::string& dir);

// Identity of the record number `seq` of writer `writer`; never 0, the value a
// damaged line reads as.
inline uint64_t RecordId(int writer, int seq) {
    return static_cast<uint64_t>(writer) * 1000000u + static_cast<uint64_t>(seq) + 1u;
}
inline int WriterOf(uint64_t id) { return static_cast<int>((id - 1) / 1000000u); }
inline int SeqOf(uint64_t id) { return static_cast<int>((id - 1) % 1000000u); }
// The text twin of an id: holds a separator and quotes, so it is written quoted.
inline std::string RecordTag(uint64_t id) { return "r" + std::to_string(id) + ",\"q\""; }

inline std::vector<uint64_t> Concat(std::vector<uint64_t> a, const std::vector<uint64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Records 0 .. count-1 of `writer`.
std::vector<uint64_t> Sequence(int writer, std::size_t count);
// How many records of `writer` stand in `ids`; they must be its first ones, in
// order (a writer that was stopped loses its last records, never others).
std::size_t CountPrefixOf(const std::vector<uint64_t>& ids, int writer);

// One test record of each kind, added through the report's own operation.
CQiError AppendRecord(JobStatsReport& report, uint64_t id);
CQiError AppendRecord(LogicalDiskReport& report, uint64_t id);
CQiError AppendRecord(DanglingStubsReport& report, uint64_t id);
CQiError AppendRecord(DroppedFilesReport& report, uint64_t id);
CQiError AppendRecord(VerifyArchiveReport& report, uint64_t id);
CQiError AppendRecord(LogCleanUpReport& report, uint64_t id);
// The identity of a test record read back; false when it is not one, whole.
bool DecodeRecord(const JobStatsRecord& record, uint64_t& id, int& status);
bool DecodeRecord(const LogicalDiskRecord& record, uint64_t& id, int& status);
bool DecodeRecord(const DanglingStubsRecord& record, uint64_t& id, int& status);
bool DecodeRecord(const DroppedFilesRecord& record, uint64_t& id, int& status);
bool DecodeRecord(const VerifyArchiveRecord& record, uint64_t& id, int& status);
bool DecodeRecord(const LogCleanUpRecord& record, uint64_t& id, int& status);

// One report kind as the stress tests drive it: how a writer opens it for
// appending, how one test record is added, and how a parsed record gives back
// its identity (false when the text twin does not match the number).
template <typename Report, typename Record, const char* File>
struct Kind {
    using ReportT = Report;
    using RecordT = Record;
    static constexpr const char* kFile = File;
    // Through the template's Open, without the header check.
    static CQiError OpenAppend(ReportT& report, const std::string& dir) {
        return report.Open(dir + "/" + kFile, std::ios::out | std::ios::app, false);
    }
    static CQiError Append(ReportT& report, uint64_t id) { return AppendRecord(report, id); }
    static bool Decode(const RecordT& record, uint64_t& id, int& status) { return DecodeRecord(record, id, status); }
};

inline constexpr char kJobStatsFile[] = "JobStats.csv";
inline constexpr char kDiskFile[] = "IndexCacheStats_stress.csv";
inline constexpr char kDanglingFile[] = "DanglingStubs.csv";
inline constexpr char kDroppedFile[] = "DroppedFiles.csv";
inline constexpr char kVerifyFile[] = "VerifyArchive.csv";
inline constexpr char kLogCleanUpFile[] = "LogCleanUpReport.csv";

// Job statistics open through JobStatsReport::Open, with the header check.
struct JobStatsKind : Kind<JobStatsReport, JobStatsRecord, kJobStatsFile> {
    static CQiError OpenAppend(ReportT& report, const std::string& dir) {
        return report.Open(dir, kFile, std::ios::out | std::ios::app);
    }
};
using LogicalDiskKind = Kind<LogicalDiskReport, LogicalDiskRecord, kDiskFile>;
using DanglingStubsKind = Kind<DanglingStubsReport, DanglingStubsRecord, kDanglingFile>;
using DroppedFilesKind = Kind<DroppedFilesReport, DroppedFilesRecord, kDroppedFile>;
using VerifyArchiveKind = Kind<VerifyArchiveReport, VerifyArchiveRecord, kVerifyFile>;
// The log clean-up report's own Open starts the file afresh, which a test of
// many writers cannot use: it appends through the template's Open too.
using LogCleanUpKind = Kind<LogCleanUpReport, LogCleanUpRecord, kLogCleanUpFile>;

// One data line as it reads back.
struct Row {
    uint64_t id = 0;
    int status = 0;       // job statistics only
    std::size_t fields = 0;  // as the record codec splits the line, when asked for
};

// A report file as it stands on disk, read line by line without the library's
// help beyond the record's FromString.
struct ReportContent {
    bool exists = false;
    std::string firstLine;
    std::vector<Row> rows;              // readable data lines, in file order
    std::vector<std::string> badLines;  // "line N: text" of every unreadable data line
    bool tornTail = false;              // the file does not end in "\n"; its last line is a bad one
    uint64_t tornId = 0;                // the record of that line when only its "\n" is missing

    std::vector<uint64_t> Ids() const;
};

// Splits `content` at "\n"; `tornTail` is set when text follows the last "\n".
std::vector<std::string> SplitLines(const std::string& content, bool& tornTail);

template <typename Kind>
std::string HeaderLineOf() {
    typename Kind::ReportT report;
    return report.GetHeaderLine();
}

// `countFields` also splits each line to fill Row::fields.
template <typename Kind>
ReportContent ReadReport(const std::string& path, bool countFields = false) {
    ReportContent content;
    content.exists = PathExists(path);
    if (!content.exists) return content;
    const std::vector<std::string> lines = SplitLines(ReadFile(path), content.tornTail);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == 0) {
            content.firstLine = lines[0];
            continue;
        }
        typename Kind::RecordT record;
        Row row;
        const bool torn = content.tornTail && i + 1 == lines.size();
        if (record.FromString(lines[i]).IsError() || !Kind::Decode(record, row.id, row.status)) {
            content.badLines.push_back("line " + std::to_string(i + 1) + ": " + lines[i]);
            continue;
        }
        if (torn) {
            content.badLines.push_back("line " + std::to_string(i + 1) + " (no line end): " + lines[i]);
            content.tornId = row.id;
            continue;
        }
        if (countFields) row.fields = record.Split(lines[i]).size();
        content.rows.push_back(row);
    }
    return content;
}

// The header line of the older, shorter job statistics layout (fourteen
// columns, before "Root Size" and "Invalid MIME Classification"), and one row in it.
std::string OldJobStatsHeader();
std::string OldJobStatsRow(uint64_t id);

// Appends records [0, count) of `writer`, mixing the two ways callers write: in
// every run of 50 records the first `singles` each go through a report of their
// own (open, append, close), the rest through one long-lived report that holds
// the lock for the run. False, with the cause on stderr, at the first failure.
template <typename Kind>
bool WriteMixed(const std::string& dir, int writer, int count, int singles = 2) {
    typename Kind::ReportT longLived;
    for (int seq = 0; seq < count; ++seq) {
        const uint64_t id = RecordId(writer, seq);
        const int inRun = seq % 50;
        if (inRun < singles) {
            typename Kind::ReportT single;
            if (!ChildOk("open", Kind::OpenAppend(single, dir)) || !ChildOk("append", Kind::Append(single, id)) ||
                !ChildOk("close", single.Close())) {
                return false;
            }
            continue;
        }
        if (inRun == singles && !ChildOk("open", Kind::OpenAppend(longLived, dir))) return false;
        if (!ChildOk("append", Kind::Append(longLived, id))) return false;
        if ((inRun == 49 || seq == count - 1) && !ChildOk("close", longLived.Close())) return false;
    }
    return true;
}

// Every record of writers [0, writers) x [0, count) stands in `rows` exactly
// once, and each writer's records in the order it wrote them.
void ExpectEachRecordOnce(const std::vector<Row>& rows, int writers, int count);

// The file exists, starts with `header` and holds only whole, readable lines.
void ExpectWholeReport(const ReportContent& content, const std::string& header, const std::string& what);

// --- other users, planted files and what a file is ---

// The ids of "nobody" when this process is root and may act as another user;
// false, with the reason for a skip in `why`, otherwise.
bool UnprivilegedUser(uid_t& uid, gid_t& gid, std::string& why);
// In a child: becomes `uid`:`gid` for good; false, with the cause on stderr.
bool BecomeUser(uid_t uid, gid_t gid);
// Runs `body` as `uid`:`gid` in a child of its own (or here when `uid` is this
// process's own): for files that another user must make. False when it failed.
bool AsUser(uid_t uid, gid_t gid, const std::function<bool()>& body);

// What a name stands for, unfollowed: type, mode, owner and, for a regular file,
// every byte. Equal states mean nothing was written, moved or handed over.
struct FileState {
    bool exists = false;
    unsigned mode = 0;  // st_mode: type and permission bits
    unsigned uid = 0, gid = 0;
    std::string bytes;
    bool operator==(const FileState& other) const {
        return exists == other.exists && mode == other.mode && uid == other.uid && gid == other.gid &&
               bytes == other.bytes;
    }
    bool operator!=(const FileState& other) const { return !(*this == other); }
};
FileState StateOf(const std::string& path);
std::string Describe(const FileState& state);
inline void PrintTo(const FileState& state, std::ostream* out) { *out << Describe(state); }

// Names in `dir` other than `expected` (the "locks" directory aside).
std::vector<std::string> OtherNames(const std::string& dir, const std::vector<std::string>& expected);
// Whether the lines moved out of `report` into its ".bad" file hold `bytes`.
bool MovedToBad(const std::string& report, const std::string& bytes);

// A rewrite as `idxreport check --repair` makes one: the report's own handler
// holds the lock from before the load until the replacement is in place; `edit`
// may change the rows, and returns false to leave the file alone.
template <typename Report>
CQiError RewriteUnderLock(const std::string& path,
                          const std::function<bool(typename Report::DataFrame_t&)>& edit = nullptr) {
    Report locked, current;
    typename Report::DataFrame_t rows;
    CQiError err = locked.Open(path, std::ios::in, false);
    if (!err.IsError()) err = locked.Lock();
    if (!err.IsError()) err = current.Open(path, std::ios::in, false);
    if (!err.IsError()) err = current.LoadAll(rows);
    if (!err.IsError() && (!edit || edit(rows))) err = locked.Rewrite(path, rows);
    return err;
}

// Raises the named lock's wait so that a loaded machine never turns contention
// into a failed open: these tests count records, not waiting times.
void WaitPatiently();

}  // namespace I2::stress
