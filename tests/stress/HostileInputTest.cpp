// Hostile paths and names: paths too long for a lock file name, links planted
// where the library writes its lock, temporary or ".old" file, a directory where
// a report should be, a report path that is a device, and every awkward byte in
// every text field; lines no rewrite of ours wrote; a directory whose owner plants
// links, FIFOs and devices at every name the library uses, or swaps side files
// for links while root rewrites; and hostile content under a memory limit.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <platform/IdxNamedMutex.h>
#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

constexpr const char* kPrecious = "precious, not a report\n";

// Restores the named lock's wait when it goes out of scope.
class ShortLockWait {
public:
    explicit ShortLockWait(int timeoutMs) : saved(I2::Utils::IdxNamedMutex::GetDefaultTimeoutMs()) {
        I2::Utils::IdxNamedMutex::SetDefaultTimeoutMs(timeoutMs);
    }
    ~ShortLockWait() { I2::Utils::IdxNamedMutex::SetDefaultTimeoutMs(saved); }
    ShortLockWait(const ShortLockWait&) = delete;
    ShortLockWait& operator=(const ShortLockWait&) = delete;

private:
    int saved;
};

std::string DeepDirectory(const std::string& base, char letter, int levels) {
    std::string path = base;
    for (int i = 0; i < levels; ++i) path += "/" + std::string(200, letter);
    return path;
}

void WriteJobRows(const std::string& dir, int rows) {
    JobStatsReport report;
    ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir).IsError());
    for (int seq = 0; seq < rows; ++seq) ASSERT_FALSE(JobStatsKind::Append(report, RecordId(1, seq)).IsError());
    ASSERT_FALSE(report.Close().IsError());
}

std::vector<unsigned long> AllJobIds(int rows) {
    const std::vector<uint64_t> ids = Sequence(1, static_cast<std::size_t>(rows));
    return std::vector<unsigned long>(ids.begin(), ids.end());
}

// --- paths too long ---

TEST(HostilePaths, ReportWhosePathIsTooLongForALockFileNameStillLocksAndWrites) {
    StressDir dir;
    const std::string deep = DeepDirectory(dir.Path(), 'a', 5);
    using Kind = DanglingStubsKind;
    Kind::ReportT first, second;
    ASSERT_FALSE(Kind::OpenAppend(first, deep).IsError());
    ASSERT_FALSE(Kind::Append(first, RecordId(1, 0)).IsError());
    {
        // The lock is still a lock: a second writer of the same path waits.
        ShortLockWait wait(200);
        const CQiError err = Kind::OpenAppend(second, deep);
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.GetErrNo(), 1001);
    }
    ASSERT_FALSE(first.Close().IsError());
    ASSERT_FALSE(Kind::OpenAppend(second, deep).IsError());
    ASSERT_FALSE(Kind::Append(second, RecordId(1, 1)).IsError());
    ASSERT_FALSE(second.Close().IsError());
    EXPECT_EQ(ReadReport<Kind>(deep + "/" + Kind::kFile).Ids(), Sequence(1, 2));
}

TEST(HostilePaths, LongPathsThatDifferOnlyAtTheEndHaveLocksOfTheirOwn) {
    StressDir dir;
    const std::string common = DeepDirectory(dir.Path(), 'b', 4);
    ShortLockWait wait(200);
    DanglingStubsReport one, two;
    ASSERT_FALSE(DanglingStubsKind::OpenAppend(one, common + "/one").IsError());
    EXPECT_FALSE(DanglingStubsKind::OpenAppend(two, common + "/two").IsError())
        << "two reports share a lock because their names were cut short";
}

TEST(HostilePaths, PathBeyondTheSystemLimitFailsCleanly) {
    StressDir dir;
    const std::string tooDeep = DeepDirectory(dir.Path(), 'c', 22);  // over 4096 bytes
    DanglingStubsReport report;
    const CQiError err = DanglingStubsKind::OpenAppend(report, tooDeep);
    ASSERT_TRUE(err.IsError());
    EXPECT_NE(err.GetMessage(), "");
    EXPECT_TRUE(report.AddDanglingStubsInfo("x", "", "", 0, 0, false, "", "").IsError());
}

// --- links planted where the library writes ---

TEST(HostilePaths, LinkPlantedAsTheLockFileIsNotWrittenThrough) {
    StressDir dir;
    // Learn the lock file name from a report that locked normally.
    const std::string probe = dir / "probe.csv";
    {
        DanglingStubsReport report;
        ASSERT_FALSE(report.Open(probe, std::ios::out | std::ios::app, false).IsError());
    }
    const std::string lockFile = dir / ("locks/L" + ReportFileHandler::LockNameOf(probe));
    ASSERT_TRUE(PathExists(lockFile)) << "lock files are no longer named as this test expects";

    const std::string path = dir / DanglingStubsKind::kFile;
    const std::string victim = dir / "victim";
    WriteFile(victim, kPrecious);
    ASSERT_EQ(symlink(victim.c_str(), (dir / ("locks/L" + ReportFileHandler::LockNameOf(path))).c_str()), 0);

    ShortLockWait wait(200);
    DanglingStubsReport report;
    const CQiError err = DanglingStubsKind::OpenAppend(report, dir.Path());
    if (err.IsError()) {
        EXPECT_EQ(err.GetErrNo(), 1001) << err.Describe();
    } else {
        EXPECT_FALSE(DanglingStubsKind::Append(report, RecordId(1, 0)).IsError());
        EXPECT_FALSE(report.Close().IsError());
        EXPECT_EQ(ReadReport<DanglingStubsKind>(path).Ids(), Sequence(1, 1));
    }
    EXPECT_EQ(ReadFile(victim), kPrecious);
}

TEST(HostilePaths, RewriteWroteThroughALinkPlantedAsItsTemporary) {
    StressDir dir;
    WriteJobRows(dir.Path(), 100);
    const std::string path = dir / JobStatsKind::kFile;
    const std::string victim = dir / "victim";
    const std::string missing = dir / "never-created";
    WriteFile(victim, kPrecious);

    for (const std::string& target : {victim, missing}) {
        SCOPED_TRACE(target);
        std::remove((path + ".tmp").c_str());
        ASSERT_EQ(symlink(target.c_str(), (path + ".tmp").c_str()), 0);
        const std::string before = ReadFile(path);
        std::vector<unsigned long> ids = AllJobIds(100);
        const CQiError err = JobStatsReport::SetInvalidJobs(dir.Path(), ids);
        EXPECT_EQ(ReadFile(victim), kPrecious);
        EXPECT_FALSE(PathExists(missing));
        const ReportContent after = ReadReport<JobStatsKind>(path);
        ExpectWholeReport(after, HeaderLineOf<JobStatsKind>(), JobStatsKind::kFile);
        if (err.IsError()) {
            EXPECT_EQ(ReadFile(path), before);
        } else {
            ASSERT_EQ(after.Ids(), Sequence(1, 100));
            for (const Row& row : after.rows) EXPECT_EQ(row.status, 1);
        }
    }

    // The conversion of an older layout goes through the same temporary name.
    const std::string legacy = dir / "Legacy.csv";
    const std::string text = OldJobStatsHeader() + "\n" + OldJobStatsRow(RecordId(2, 0)) + "\n";
    WriteFile(legacy, text);
    ASSERT_EQ(symlink(victim.c_str(), (legacy + ".tmp").c_str()), 0);
    JobStatsReport report;
    const CQiError err = report.Open(dir.Path(), "Legacy.csv", std::ios::in);
    EXPECT_EQ(ReadFile(victim), kPrecious);
    if (!err.IsError()) {
        EXPECT_EQ(ReadReport<JobStatsKind>(legacy).firstLine, HeaderLineOf<JobStatsKind>());
    }
}

TEST(HostilePaths, RotationWroteThroughALinkPlantedAsItsPartialCopy) {
    for (const char* side : {".old", ".old.tmp"}) {
        SCOPED_TRACE(side);
        StressDir dir;
        WriteJobRows(dir.Path(), 10000);
        const std::string path = dir / JobStatsKind::kFile;
        const std::string before = ReadFile(path);
        const std::string victim = dir / "victim";
        WriteFile(victim, kPrecious);
        ASSERT_EQ(symlink(victim.c_str(), (path + side).c_str()), 0);

        JobStatsReport report;
        ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
        const CQiError err = JobStatsKind::Append(report, RecordId(2, 0));
        report.Close();
        EXPECT_EQ(ReadFile(victim), kPrecious);
        if (err.IsError()) {
            EXPECT_EQ(ReadFile(path), before);
        } else {
            EXPECT_EQ(ReadFile(path + ".old"), before);
            EXPECT_EQ(ReadReport<JobStatsKind>(path).Ids(), Sequence(2, 1));
        }
    }
}

// --- something else where a report or its side file should be ---

TEST(HostilePaths, DirectoryWhereTheReportShouldBeFailsEveryOperationCleanly) {
    StressDir dir;
    ASSERT_EQ(mkdir((dir / JobStatsKind::kFile).c_str(), 0700), 0);
    JobStatsReport jobs;
    EXPECT_TRUE(JobStatsKind::OpenAppend(jobs, dir.Path()).IsError());
    EXPECT_TRUE(jobs.Open(dir.Path(), JobStatsKind::kFile, std::ios::in).IsError());
    JobStatsReport::DataFrame_t rows;
    EXPECT_TRUE(jobs.LoadAll(rows).IsError());
    std::vector<unsigned long> ids{1, 2};
    EXPECT_TRUE(JobStatsReport::SetInvalidJobs(dir.Path(), ids).IsError());

    ASSERT_EQ(mkdir((dir / LogicalDiskReport::GetFileName("disk")).c_str(), 0700), 0);
    LogicalDiskReport disk;
    const CQiError err = disk.Open(dir.Path(), "disk");
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 2);
    std::vector<double> averages;
    EXPECT_TRUE(disk.LoadIndexCacheDiskFreeSpace(averages).IsError());
    EXPECT_TRUE(averages.empty());
}

TEST(HostilePaths, DirectoryWhereASideFileShouldBeFailsAndKeepsTheReport) {
    StressDir dir;
    WriteJobRows(dir.Path(), 10000);
    const std::string path = dir / JobStatsKind::kFile;
    const std::string before = ReadFile(path);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((path + ".old").c_str(), 0700), 0);

    std::vector<unsigned long> ids = AllJobIds(10);
    EXPECT_TRUE(JobStatsReport::SetInvalidJobs(dir.Path(), ids).IsError());
    EXPECT_EQ(ReadFile(path), before);

    JobStatsReport report;
    ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
    EXPECT_TRUE(JobStatsKind::Append(report, RecordId(2, 0)).IsError()) << "rotated onto a directory";
    report.Close();
    EXPECT_EQ(ReadFile(path), before);
}

TEST(HostilePaths, ReadOnlyReportRefusesWriters) {
    if (geteuid() == 0) GTEST_SKIP() << "file permissions do not stop root; run as another user to test this";
    StressDir dir;
    WriteJobRows(dir.Path(), 10);
    const std::string path = dir / JobStatsKind::kFile;
    const std::string before = ReadFile(path);
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    JobStatsReport report;
    EXPECT_TRUE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
    EXPECT_EQ(ReadFile(path), before);
}

// A report path that is a device node: appending to it is the caller's business
// (it may be /dev/null on purpose), but a rewrite must never replace the node with
// a regular file, nor read it without end. The node is a private one of
// /dev/zero's kind, so nothing done to it can touch the system's own.
TEST(HostilePaths, RewriteReplacedADeviceNodeWithARegularFile) {
    StressDir dir;
    const std::string device = dir / JobStatsKind::kFile;
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 5)) != 0) {
        GTEST_SKIP() << "cannot make a device node here: " << std::strerror(errno);
    }
    const std::string path = dir.Path();
    const pid_t child = Spawn([path]() -> int {
        std::vector<unsigned long> ids{1};
        if (!JobStatsReport::SetInvalidJobs(path, ids).IsError()) return 1;
        JobStatsReport report;
        JobStatsReport::DataFrame_t rows;
        if (!report.Open(path, JobStatsKind::kFile, std::ios::in).IsError()) report.LoadAll(rows);
        report.Open(path, JobStatsKind::kFile, std::ios::out | std::ios::app);
        return 0;
    });
    EXPECT_EQ(WaitFor(child, 60), 0) << "1: the rewrite succeeded; -2: hung";
    struct stat st {};
    ASSERT_EQ(lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device node was replaced";
}

// --- awkward bytes in every text field ---

const std::vector<std::string>& KeptTexts() {
    static const std::vector<std::string> texts = {
        "",        ",",       "\"",      "\"\"",     "a,b",   "\"a\"",       "a\"b",        "\r",
        "a\rb",    "x,",      ",x",      "\"open",   "close\"", "a;b|c\td", "\xff\xfe\x01", "caf\xc3\xa9",
        "\",\",\"", "\"\",\"", " ,\" ,",  "a,,\"\"\"b", " lead", "trail ", "\t", " \" ", "\r "};
    return texts;
}

const std::vector<std::string>& RefusedTexts() {
    static const std::vector<std::string> texts = {"\n", "a\nb", "\r\n", std::string("a\0b", 3), std::string(1, '\0')};
    return texts;
}

template <typename Record>
struct TextField {
    const char* name;
    std::function<void(Record&, const std::string&)> set;
    std::function<std::string(const Record&)> get;
};

// Every text: kept exactly, or refused with code 22 and nothing written.
template <typename Report, typename Record>
void ExpectTextsKeptOrRefused(const std::vector<TextField<Record>>& fields) {
    StressDir dir;
    const std::string path = dir / "report.csv";
    Report report;
    ASSERT_FALSE(report.Open(path, std::ios::out | std::ios::app, false).IsError());
    std::vector<std::pair<std::string, std::string>> written;  // field, text
    for (const TextField<Record>& field : fields) {
        for (const std::string& text : KeptTexts()) {
            Record record;
            field.set(record, text);
            ASSERT_FALSE(report.AddRecord(record).IsError()) << field.name;
            written.emplace_back(field.name, text);
        }
        for (const std::string& text : RefusedTexts()) {
            ASSERT_FALSE(report.Close().IsError());
            const std::string before = ReadFile(path);
            ASSERT_FALSE(report.Open(path, std::ios::out | std::ios::app, false).IsError());
            Record record;
            field.set(record, text);
            const CQiError err = report.AddRecord(record);
            ASSERT_TRUE(err.IsError()) << field.name << " took a line break or NUL";
            EXPECT_EQ(err.GetErrNo(), 22);
            ASSERT_FALSE(report.Close().IsError());
            EXPECT_EQ(ReadFile(path), before) << field.name;
            ASSERT_FALSE(report.Open(path, std::ios::out | std::ios::app, false).IsError());
        }
    }
    ASSERT_FALSE(report.Close().IsError());

    ASSERT_FALSE(report.Open(path, std::ios::in, false).IsError());
    typename Report::DataFrame_t rows;
    ASSERT_FALSE(report.LoadAll(rows).IsError());
    ASSERT_EQ(rows.size(), written.size());
    std::size_t i = 0;
    for (const TextField<Record>& field : fields) {
        for (std::size_t t = 0; t < KeptTexts().size(); ++t, ++i) {
            const std::string& text = KeptTexts()[t];
            EXPECT_EQ(field.get(rows[i]), text) << field.name << " text #" << t;
        }
    }
}

TEST(HostileTexts, EveryTextFieldKeepsAwkwardBytesOrRefusesLineBreaks) {
    ExpectTextsKeptOrRefused<JobStatsReport, JobStatsRecord>(
        {{"Hostname", &JobStatsRecord::SetHostname, &JobStatsRecord::GetHostname}});
    ExpectTextsKeptOrRefused<DanglingStubsReport, DanglingStubsRecord>({
        {"file path", &DanglingStubsRecord::SetFilePath, &DanglingStubsRecord::GetFilePath},
        {"stubs version", &DanglingStubsRecord::SetStubsVersionGUID, &DanglingStubsRecord::GetStubsVersionGUID},
        {"data version", &DanglingStubsRecord::SetDataVersionGUID, &DanglingStubsRecord::GetDataVersionGUID},
        {"stub type", &DanglingStubsRecord::SetStubType, &DanglingStubsRecord::GetStubType},
        {"application", &DanglingStubsRecord::SetOrigAppGUID, &DanglingStubsRecord::GetOrigAppGUID},
    });
    ExpectTextsKeptOrRefused<DroppedFilesReport, DroppedFilesRecord>({
        {"file path", &DroppedFilesRecord::SetFilePath, &DroppedFilesRecord::GetFilePath},
        {"version", &DroppedFilesRecord::SetVersionGuid, &DroppedFilesRecord::GetVersionGuid},
        {"stub or data", &DroppedFilesRecord::SetStubOrData, &DroppedFilesRecord::GetStubOrData},
        {"reason", &DroppedFilesRecord::SetReasonString, &DroppedFilesRecord::GetReasonString},
    });
    ExpectTextsKeptOrRefused<VerifyArchiveReport, VerifyArchiveRecord>({
        {"file path", &VerifyArchiveRecord::SetFilePath, &VerifyArchiveRecord::GetFilePath},
        {"application", &VerifyArchiveRecord::SetOriginalAppguid, &VerifyArchiveRecord::GetOriginalAppguid},
    });
    ExpectTextsKeptOrRefused<LogCleanUpReport, LogCleanUpRecord>({
        {"job id", &LogCleanUpRecord::SetJobId, &LogCleanUpRecord::GetJobId},
        {"reason", &LogCleanUpRecord::SetReason, &LogCleanUpRecord::GetReason},
    });
    ExpectTextsKeptOrRefused<LogicalDiskReport, LogicalDiskRecord>(
        {{"alert", &LogicalDiskRecord::SetAlert, &LogicalDiskRecord::GetAlert}});
}

// The disk record trims the blanks around a column when it reads one, and wrote
// an alert with blanks at its ends unquoted: the alert came back without them.
TEST(HostileTexts, DiskSampleAlertLostItsSurroundingBlanks) {
    for (const std::string alert : {" low", "low ", "\tlow\t", " ", " \"q\" "}) {
        LogicalDiskRecord written;
        written.SetAlert(alert);
        LogicalDiskRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError());
        EXPECT_EQ(read.GetAlert(), alert);
    }
}

// --- lines that no rewrite of this library wrote ---
//
// A rewrite re-serialised every line it loaded: a line it could not read came
// back as a row of zeros or a padded one, and numbers it read another way came
// back altered. Each line below must come through byte for byte (a selected row
// changes only its status), or go to FILE.bad with its line number; lines that
// are no record never become one.

constexpr std::size_t kStatusColumn = 13;

std::vector<std::string> SplitPlain(const std::string& line) {
    std::vector<std::string> fields(1);
    for (const char c : line) {
        if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}
std::string JoinPlain(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : ",") + fields[i];
    return line;
}

// A job statistics line of `columns` fields for job `id`, with `text` in
// column `at` when one is given.
std::string JobLine(uint64_t id, std::size_t columns, int at = -1, const std::string& text = "") {
    std::vector<std::string> fields(columns, "0");
    fields[0] = fields[1] = std::to_string(id);
    fields[11] = "host" + std::to_string(id);
    fields[12] = "1700000000";
    if (at >= 0) fields[static_cast<std::size_t>(at)] = text;
    return JoinPlain(fields);
}

struct HostileLine {
    std::string text;
    enum Kind { Record, ForeignNumber, NotARecord } kind;
    uint64_t job = 0;     // listed for SetInvalidJobs when `selected`
    bool selected = false;
    int column = -1;      // of the foreign number
};

// The table for a file of `columns` columns; its last line lacks its "\n".
std::vector<HostileLine> HostileLines(std::size_t columns) {
    std::vector<HostileLine> lines = {
        {JobLine(1, columns), HostileLine::Record, 1, false},
        {JobLine(2, columns), HostileLine::Record, 2, true},
        {"garbage line, important?", HostileLine::NotARecord},
        {"1,2,3", HostileLine::NotARecord},
    };
    const struct {
        int column;
        const char* text;
    } numbers[] = {{2, " 4116"}, {3, "-5"}, {6, "12345678.5"}};
    for (const bool selected : {true, false}) {
        for (std::size_t i = 0; i < std::size(numbers); ++i) {
            const uint64_t job = (selected ? 100 : 200) + i;
            lines.push_back({JobLine(job, columns, numbers[i].column, numbers[i].text), HostileLine::ForeignNumber, job,
                             selected, numbers[i].column});
        }
    }
    lines.push_back({JobLine(3, columns), HostileLine::Record, 3, false});
    const std::string torn = JobLine(4, columns);
    lines.push_back({torn.substr(0, torn.size() - 3), HostileLine::NotARecord});
    return lines;
}

std::string FileOf(const std::string& header, const std::vector<HostileLine>& lines) {
    std::string text = header + "\n";
    for (std::size_t i = 0; i < lines.size(); ++i) text += lines[i].text + (i + 1 < lines.size() ? "\n" : "");
    return text;
}

// `kept` says whether a table line stands in the rewritten report, as its
// expected form; each line that does not must be in FILE.bad with its number.
void ExpectHostileLinesKeptOrMoved(const std::string& path, const std::string& header,
                                   const std::vector<HostileLine>& lines,
                                   const std::function<bool(const HostileLine&, const std::vector<std::string>&)>& kept) {
    bool torn = false;
    std::vector<std::string> result = SplitLines(ReadFile(path), torn);
    EXPECT_FALSE(torn) << "an unterminated tail stands in the report";
    ASSERT_FALSE(result.empty());
    EXPECT_EQ(result.front(), header);
    result.erase(result.begin());
    std::size_t expectedRows = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const HostileLine& line = lines[i];
        SCOPED_TRACE("line " + std::to_string(i + 2) + ": " + line.text);
        const bool inReport = kept(line, result);
        const bool inBad = MovedToBad(path, std::to_string(i + 2) + "\t" + line.text);
        switch (line.kind) {
            case HostileLine::Record: EXPECT_TRUE(inReport) << "a record was lost or altered"; break;
            case HostileLine::ForeignNumber:
                EXPECT_TRUE(inReport != inBad) << (inReport ? "kept and also moved" : "altered, and not in FILE.bad");
                break;
            case HostileLine::NotARecord:
                EXPECT_TRUE(inBad) << "not in FILE.bad with its line number";
                EXPECT_EQ(std::count(result.begin(), result.end(), line.text), 0) << "still in the report";
                break;
        }
        expectedRows += inReport && line.kind != HostileLine::NotARecord ? 1 : 0;
    }
    EXPECT_EQ(result.size(), expectedRows) << "rows that no one wrote stand in the report";
}

TEST(HostileLines, SetInvalidJobsInventedRowsFromUnreadableLinesAndAlteredForeignNumbers) {
    StressDir dir;
    const std::string path = dir / JobStatsKind::kFile;
    const std::string header = HeaderLineOf<JobStatsKind>();
    const std::vector<HostileLine> lines = HostileLines(16);
    WriteFile(path, FileOf(header, lines));
    std::vector<unsigned long> ids;
    for (const HostileLine& line : lines) {
        if (line.selected) ids.push_back(static_cast<unsigned long>(line.job));
    }
    const CQiError err = JobStatsReport::SetInvalidJobs(dir.Path(), ids);
    ASSERT_FALSE(err.IsError()) << err.Describe();
    ExpectHostileLinesKeptOrMoved(path, header, lines, [](const HostileLine& line, const std::vector<std::string>& result) {
        std::vector<std::string> fields = SplitPlain(line.text);
        if (line.selected) fields[kStatusColumn] = "1";
        return std::count(result.begin(), result.end(), JoinPlain(fields)) == 1;
    });
}

TEST(HostileLines, HeaderConversionInventedRowsFromUnreadableLinesAndAlteredForeignNumbers) {
    StressDir dir;
    const std::string path = dir / "Legacy.csv";
    const std::vector<HostileLine> lines = HostileLines(14);
    WriteFile(path, FileOf(OldJobStatsHeader(), lines));
    JobStatsReport report;
    const CQiError err = report.Open(dir.Path(), "Legacy.csv", std::ios::out | std::ios::app);
    ASSERT_FALSE(err.IsError()) << err.Describe();
    ASSERT_FALSE(report.Close().IsError());
    // Converted into the longer layout: the old fields keep their values.
    const auto value = [](const std::string& text) { return std::strtod(text.c_str(), nullptr); };
    ExpectHostileLinesKeptOrMoved(
        path, HeaderLineOf<JobStatsKind>(), lines, [&](const HostileLine& line, const std::vector<std::string>& result) {
            const std::vector<std::string> old = SplitPlain(line.text);
            return std::count_if(result.begin(), result.end(), [&](const std::string& converted) {
                       const std::vector<std::string> fields = SplitPlain(converted);
                       if (fields.size() != 16 || line.kind == HostileLine::NotARecord) return false;
                       for (std::size_t i = 0; i < old.size(); ++i) {
                           if (i != 11 && value(fields[i]) != value(old[i])) return false;
                       }
                       return fields[1] == old[1] && fields[11] == old[11];
                   }) == 1;
        });
}

// --- a hostile directory ---
//
// Whoever writes the report's directory (the service user) may plant anything
// at the names the library uses there, while root runs a writer or a rewrite.
// Planted by that user when the test runs as root; a device node only root can
// make, so root plants those.

// A link to a blocking file points at /proc/kmsg: "regular", readable by root
// alone, and its read waits for the next kernel message.
enum class Plant { LinkToFile, DanglingLink, Fifo, Device, Directory, LinkToBlockingFile };
constexpr const char* kBlockingFile = "/proc/kmsg";
const char* NameOf(Plant plant) {
    switch (plant) {
        case Plant::LinkToFile: return "symlink to a file";
        case Plant::DanglingLink: return "dangling symlink";
        case Plant::Fifo: return "FIFO";
        case Plant::Device: return "device node";
        case Plant::Directory: return "directory";
        case Plant::LinkToBlockingFile: return "symlink to a file whose read waits";
    }
    return "?";
}

// The user who plants, and who owns the report's directory: "nobody" under
// root, else this process's own user.
struct Planter {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    Planter() {
        std::string ignored;
        UnprivilegedUser(uid, gid, ignored);
    }
    bool Plant(Plant plant, const std::string& at, const std::string& target) const {
        if (plant == Plant::Device) return mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
        return AsUser(uid, gid, [&] {
            switch (plant) {
                case Plant::LinkToFile:
                case Plant::LinkToBlockingFile:
                case Plant::DanglingLink: return symlink(target.c_str(), at.c_str()) == 0;
                case Plant::Fifo: return mkfifo(at.c_str(), 0666) == 0;
                case Plant::Directory: return mkdir(at.c_str(), 0755) == 0;
                case Plant::Device: break;
            }
            return false;
        });
    }
    // A directory of the planter's own, reachable by it.
    void MakeDirectory(const std::string& path) const {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
    }
    void Own(const std::string& path) const { ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path; }
};

// Root's side of a hostile directory: the base directory (searchable by the
// planter), a lock directory any user may add to, and victims that the planter
// can neither read nor write.
struct HostileBase {
    StressDir dir;
    Planter planter;
    std::string victim = dir / "victim";
    std::string program = dir / "program";
    FileState victimState, programState;

    HostileBase() {
        EXPECT_EQ(chmod(dir.Path().c_str(), 0755), 0);
        const std::string locks = dir / "locks";
        EXPECT_EQ(mkdir(locks.c_str(), 0755), 0);
        EXPECT_EQ(chmod(locks.c_str(), 01777), 0);
        WriteFile(victim, kPrecious);
        EXPECT_EQ(chmod(victim.c_str(), 0600), 0);
        WriteFile(program, "#!/bin/sh\nexit 0\n");
        EXPECT_EQ(chmod(program.c_str(), 0755), 0);
        victimState = StateOf(victim);
        programState = StateOf(program);
    }
    // Put back as they were after a failure, so that each case starts alike.
    void ExpectVictimsUntouched() const {
        for (const auto& [path, state, mode] : {std::make_tuple(victim, victimState, 0600),
                                                std::make_tuple(program, programState, 0755)}) {
            if (StateOf(path) == state) continue;
            ADD_FAILURE() << path << " changed: now " << Describe(StateOf(path)) << ", was " << Describe(state);
            std::filesystem::remove(path);
            WriteFile(path, state.bytes);
            chmod(path.c_str(), static_cast<mode_t>(mode));
        }
    }
    std::string LockFileOf(const std::string& path) const {
        return dir / ("locks/L" + ReportFileHandler::LockNameOf(path));
    }
};

enum class Operation { Append, Rotate, MarkInvalid, Convert, Load, Copy, LogCleanUp, Repair, Show, Jobs, Metrics };
const char* NameOf(Operation operation) {
    switch (operation) {
        case Operation::Append: return "append";
        case Operation::Rotate: return "rotation";
        case Operation::MarkInvalid: return "SetInvalidJobs";
        case Operation::Convert: return "header conversion";
        case Operation::Load: return "LoadAll";
        case Operation::Copy: return "Copy to .old";
        case Operation::LogCleanUp: return "log clean-up writer";
        case Operation::Repair: return "idxreport check --repair";
        case Operation::Show: return "idxreport show";
        case Operation::Jobs: return "idxreport jobs";
        case Operation::Metrics: return "idxreport metrics";
    }
    return "?";
}

constexpr int kHangSeconds = 5;  // far beyond what any operation here takes

// What a child's exit code says went wrong; "" when it succeeded or returned an error.
std::string Misbehaved(int code) {
    if (code == 0 || code == 10) return "";
    if (code == -2 || code == 128 + SIGALRM) return "hung";
    if (code == 11) return "an error without a reason";
    if (code == 12) return "an exception escaped";
    return "crashed: exit " + std::to_string(code);
}

// The idxreport tool with `args`, in a process of its own that an alarm ends
// after `seconds`, under `addressSpace` bytes of address space when not 0, its
// output discarded and its errors in `errors`: 0 when it succeeded or repaired,
// 10 when it failed with a reason, 12 when an exception reached its main, else
// the exit code past 20 or 128 plus the signal; -1 when there is no tool.
int RunTool(const std::vector<std::string>& args, const std::string& errors, int seconds,
            std::size_t addressSpace = 0) {
#ifdef IDXREPORT_BINARY
    const pid_t child = fork();
    if (child == 0) {
        alarm(static_cast<unsigned>(seconds));
        const rlimit bound{static_cast<rlim_t>(addressSpace), static_cast<rlim_t>(addressSpace)};
        if (addressSpace != 0 && setrlimit(RLIMIT_AS, &bound) != 0) _exit(126);
        const int null = open("/dev/null", O_RDWR);
        const int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (null < 0 || err < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(err, 2) < 0) _exit(126);
        std::vector<std::string> copies = args;
        std::vector<char*> argv{const_cast<char*>(IDXREPORT_BINARY)};
        for (std::string& arg : copies) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return 125;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    const int code = WEXITSTATUS(status);
    if (ReadFile(errors).find("bad_alloc") != std::string::npos) return 12;
    if (code == 0 || code == 3) return 0;
    return code == 1 ? 10 : 20 + code;
#else
    (void)args, (void)errors, (void)seconds, (void)addressSpace;
    return -1;
#endif
}

// One log clean-up record, in DIR/Logs/CleanUp.
CQiError WriteLogCleanUp(const std::string& dir) {
    LogCleanUpReport report;
    CQiError err = report.Open(dir, "Logs", "CleanUp");
    if (!err.IsError()) err = report.AddCleanUpRecord("7", "aged out");
    const CQiError closed = report.Close();
    return err.IsError() ? err : closed;
}

// The operation in a child that an alarm ends if it hangs: 0 when it
// succeeded, 10 when it returned an error with a reason, 11 without one, 12 when
// an exception escaped.
int RunOperation(Operation operation, const std::string& dir) {
    alarm(kHangSeconds);
    try {
        CQiError err;
        switch (operation) {
            case Operation::Append:
            case Operation::Rotate: {
                JobStatsReport report;
                err = JobStatsKind::OpenAppend(report, dir);
                if (!err.IsError()) err = JobStatsKind::Append(report, RecordId(2, 0));
                const CQiError closed = report.Close();
                if (!err.IsError()) err = closed;
                break;
            }
            case Operation::MarkInvalid: {
                std::vector<unsigned long> ids{static_cast<unsigned long>(RecordId(1, 0))};
                err = JobStatsReport::SetInvalidJobs(dir, ids);
                break;
            }
            case Operation::Convert: {
                JobStatsReport report;
                err = report.Open(dir, JobStatsKind::kFile, std::ios::in);
                break;
            }
            case Operation::Load: {
                JobStatsReport report;
                JobStatsReport::DataFrame_t rows;
                err = report.Open(dir + "/" + JobStatsKind::kFile, std::ios::in, false);
                if (!err.IsError()) err = report.LoadAll(rows);
                break;
            }
            case Operation::Copy: {
                const std::string report = dir + "/" + JobStatsKind::kFile;
                err = ReportFileHandler::Copy(report, report + ".old");
                break;
            }
            case Operation::Repair:
                return RunTool({"check", "--repair", "--lock-timeout", "1000", dir + "/" + JobStatsKind::kFile},
                               dir + "/../tool-errors", kHangSeconds);
            case Operation::Show:
                return RunTool({"show", "--format", "csv", dir + "/" + JobStatsKind::kFile}, dir + "/../tool-errors",
                               kHangSeconds);
            case Operation::Jobs:
                return RunTool({"jobs", dir}, dir + "/../tool-errors", kHangSeconds);
            case Operation::Metrics:
                return RunTool({"metrics", dir}, dir + "/../tool-errors", kHangSeconds);
            case Operation::LogCleanUp:
                err = WriteLogCleanUp(dir);
                break;
        }
        if (!err.IsError()) return 0;
        return err.GetMessage().empty() ? 11 : 10;
    } catch (...) {
        return 12;
    }
}

// What the report holds before the operation: rows (10000 for a rotation, in
// the older layout for a conversion) and a torn last line, which a writer or a
// rewrite must move to FILE.bad, so that every operation also writes that file.
std::string ReportBefore(Operation operation) {
    const bool old = operation == Operation::Convert;
    std::string text = (old ? OldJobStatsHeader() : HeaderLineOf<JobStatsKind>()) + "\n";
    const int rows = operation == Operation::Rotate ? 10000 : 20;
    for (int seq = 0; seq < rows; ++seq) {
        const uint64_t id = RecordId(1, seq);
        if (old) {
            text += OldJobStatsRow(id) + "\n";
        } else {
            JobStatsRecord record;
            record.SetJobId(id);
            record.SetTotalFilesInIndex(id);
            record.SetHostname(RecordTag(id));
            text += record.ToString() + "\n";
        }
    }
    return text + "1,2";
}

// Every name a writer, a rotation, a rewrite or a reader of the job statistics
// uses, the lock file among them, times everything that can be planted there:
// no hang, no exception, nothing written through a link or created at its
// target; a plant at the report's own name is an error; an operation that
// succeeds despite a plant at a side file did its work on a regular report.
TEST(HostileDirectory, LinkFifoOrDeviceAtAReportOrSideFileNameWasFollowedOrHungTheWriter) {
    HostileBase base;
    const std::vector<std::pair<const char*, std::string>> sides = {
        {"the report", ""},          {".tmp", ".tmp"},         {".old", ".old"},           {".bad", ".bad"},
        {".rotation", ".rotation"}, {".retired", ".retired"}, {".old.tmp", ".old.tmp"}, {"the lock file", "lock"}};
    int cases = 0, errors = 0;
    std::vector<Operation> operations = {Operation::Append, Operation::Rotate, Operation::MarkInvalid,
                                         Operation::Convert, Operation::Load, Operation::Copy};
#ifdef IDXREPORT_BINARY
    operations.insert(operations.end(), {Operation::Repair, Operation::Show, Operation::Jobs, Operation::Metrics});
#endif
    std::vector<Plant> plants = {Plant::LinkToFile, Plant::DanglingLink, Plant::Fifo, Plant::Device, Plant::Directory};
    if (access(kBlockingFile, R_OK) == 0) plants.push_back(Plant::LinkToBlockingFile);
    // Readers: they change nothing, and metrics publishes problems as values.
    const auto reads = [](Operation operation) {
        return operation == Operation::Load || operation == Operation::Show || operation == Operation::Jobs ||
               operation == Operation::Metrics;
    };
    for (const Operation operation : operations) {
        const std::string text = ReportBefore(operation);
        for (const auto& [label, suffix] : sides) {
            for (const Plant plant : plants) {
                SCOPED_TRACE(std::string(NameOf(operation)) + ", " + NameOf(plant) + " as " + label);
                const std::string d = base.dir / ("case" + std::to_string(++cases));
                base.planter.MakeDirectory(d);
                const std::string report = d + "/" + JobStatsKind::kFile;
                const bool atReport = suffix.empty();
                if (!atReport) {
                    WriteFile(report, text);
                    base.planter.Own(report);
                }
                const std::string at = suffix == "lock" ? base.LockFileOf(report) : report + suffix;
                const std::string missing = base.dir / ("never-created" + std::to_string(cases));
                const std::string target = plant == Plant::DanglingLink         ? missing
                                           : plant == Plant::LinkToBlockingFile ? kBlockingFile
                                                                                : base.victim;
                ASSERT_TRUE(base.planter.Plant(plant, at, target));
                const FileState before = StateOf(report);

                const int code = WaitFor(Spawn([&] { return RunOperation(operation, d); }), 4 * kHangSeconds);
                EXPECT_EQ(Misbehaved(code), "");
                base.ExpectVictimsUntouched();
                EXPECT_FALSE(PathExists(missing)) << "created the target of a dangling link";
                if (atReport && operation != Operation::Metrics) {
                    EXPECT_EQ(code, 10) << "a " << NameOf(plant) << " at the report's name was taken for a report";
                } else if (code == 0 && !reads(operation)) {
                    // Read only when it is a regular file: a FIFO would hang the test.
                    const bool regular = S_ISREG(StateOf(report).mode);
                    EXPECT_TRUE(regular) << "the report is no regular file now";
                    const ReportContent after = regular ? ReadReport<JobStatsKind>(report) : ReportContent();
                    EXPECT_EQ(after.firstLine, HeaderLineOf<JobStatsKind>());
                    if (operation == Operation::Append || operation == Operation::Rotate) {
                        EXPECT_EQ(after.Ids().empty() ? 0 : after.Ids().back(), RecordId(2, 0)) << "the record is lost";
                    }
                } else if (code == 10) {
                    ++errors;
                    // The writer's open may set the torn last line aside before
                    // the operation itself is refused: that alone may change.
                    if (StateOf(report) != before) {
                        EXPECT_EQ(ReadFile(report), text.substr(0, text.rfind('\n') + 1))
                            << "failed, yet changed the report";
                    }
                }
                std::filesystem::remove_all(d);
            }
        }
    }
    // The log clean-up report creates its directory: a plant at that directory
    // or at the report itself.
    for (const bool atReport : {false, true}) {
        for (const Plant plant : {Plant::LinkToFile, Plant::DanglingLink, Plant::Fifo, Plant::Device, Plant::Directory}) {
            if (!atReport && plant == Plant::Directory) continue;  // what a directory should be
            SCOPED_TRACE(std::string(NameOf(plant)) + " as " + (atReport ? "LogCleanUpReport.csv" : "Logs/CleanUp"));
            const std::string d = base.dir / ("case" + std::to_string(++cases));
            base.planter.MakeDirectory(d);
            base.planter.MakeDirectory(d + "/Logs");
            if (atReport) base.planter.MakeDirectory(d + "/Logs/CleanUp");
            const std::string at = d + (atReport ? "/Logs/CleanUp/LogCleanUpReport.csv" : "/Logs/CleanUp");
            const std::string missing = base.dir / ("never-created" + std::to_string(cases));
            ASSERT_TRUE(base.planter.Plant(plant, at, plant == Plant::DanglingLink ? missing : base.victim));
            const int code = WaitFor(Spawn([&] { return RunOperation(Operation::LogCleanUp, d); }), 4 * kHangSeconds);
            EXPECT_EQ(Misbehaved(code), "");
            base.ExpectVictimsUntouched();
            EXPECT_FALSE(PathExists(missing)) << "created the target of a dangling link";
            if (code == 0) {
                const std::string report = d + "/Logs/CleanUp/LogCleanUpReport.csv";
                const bool regular = S_ISREG(StateOf(report).mode);
                EXPECT_TRUE(regular) << "succeeded, but no report holds the record";
                if (regular) {
                    EXPECT_NE(ReadFile(report).find("7,aged out\n"), std::string::npos) << "the record is lost";
                }
            }
            std::filesystem::remove_all(d);
        }
    }
    std::printf("%d planted cases, %d refused with an error\n", cases, errors);
}

// Swaps every side-file name of the job statistics and of a file of the older
// layout for a symlink to a victim, as fast as it can, and gives the reports it
// owns the setuid bit, until `done` exists. Names it does not know (a rewrite's
// or a rotation's own) are found by listing the directory. The log clean-up's
// directory Logs/CleanUp is, at every other swap, a link to `victimDir`.
int SwapSideFilesForLinks(const std::string& dir, const std::string& done, const std::vector<std::string>& victims,
                          const std::string& victimDir) {
    // Exchanged, so that the name is never missing: a missing one root would make.
    const std::string cleanUp = dir + "/Logs/CleanUp";
    const std::string link = dir + "/Logs/.link";
    if (symlink(victimDir.c_str(), link.c_str()) != 0) return 1;
    const std::vector<std::string> reports = {JobStatsKind::kFile, "Legacy.csv"};
    const std::string temporary = dir + "/.swap";
    long swaps = 0;
    for (long round = 0; round < 50000000 && (round % 64 != 0 || !PathExists(done)); ++round) {
        std::vector<std::string> names;
        for (const std::string& report : reports) {
            for (const char* side : {".tmp", ".old", ".bad", ".old.tmp"}) names.push_back(report + side);
        }
        if (round % 16 == 0) {
            std::error_code ignored;
            for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
                const std::string name = entry.path().filename().string();
                for (const std::string& report : reports) {
                    if (name.size() > report.size() && name.compare(0, report.size() + 1, report + ".") == 0) {
                        names.push_back(name);
                    }
                }
            }
            for (const std::string& report : reports) chmod((dir + "/" + report).c_str(), 04755);
        }
        for (const std::string& name : names) {
            if (renameat2(AT_FDCWD, cleanUp.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
            unlink(temporary.c_str());
            if (symlink(victims[static_cast<std::size_t>(swaps) % victims.size()].c_str(), temporary.c_str()) == 0 &&
                rename(temporary.c_str(), (dir + "/" + name).c_str()) == 0) {
                ++swaps;
            }
        }
    }
    std::printf("swapped %ld side-file names for links\n", swaps);
    return 0;
}

// Root's side of the race: rewrites, rotations, repairs and conversions for
// `seconds`; errors are allowed (a planted link may be refused), hangs and
// escaping exceptions are not.
int RewriteForAWhile(const std::string& dir, int seconds) {
    alarm(static_cast<unsigned>(seconds) + 60);
    WaitPatiently();
    const std::string path = dir + "/" + JobStatsKind::kFile;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int rounds = 0, errors = 0;
    try {
        for (; std::chrono::steady_clock::now() < until; ++rounds) {
            CQiError err;
            switch (rounds % 5) {
                case 0: {
                    std::vector<unsigned long> ids{static_cast<unsigned long>(RecordId(1, rounds))};
                    err = JobStatsReport::SetInvalidJobs(dir, ids);
                    break;
                }
                case 1: err = RewriteUnderLock<JobStatsReport>(path); break;
                case 2: {
                    // Enough records for one rotation whatever the report holds.
                    JobStatsReport report;
                    err = JobStatsKind::OpenAppend(report, dir);
                    for (int seq = 0; seq < 10001 && !err.IsError(); ++seq) {
                        err = JobStatsKind::Append(report, RecordId(2, seq));
                    }
                    const CQiError closed = report.Close();
                    if (!err.IsError()) err = closed;
                    break;
                }
                case 3: {
                    // Root's own write must not follow a link either: the service
                    // user may rename one onto any name in its directory.
                    const std::string legacy = dir + "/Legacy.csv";
                    const std::string text = OldJobStatsHeader() + "\n" + OldJobStatsRow(RecordId(3, rounds)) + "\n";
                    unlink(legacy.c_str());
                    const int fd = open(legacy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
                    if (fd < 0) break;  // the name was taken meanwhile
                    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                    close(fd);
                    if (!whole) break;
                    JobStatsReport report;
                    err = report.Open(dir, "Legacy.csv", std::ios::in);
                    break;
                }
                case 4: err = WriteLogCleanUp(dir); break;
            }
            errors += err.IsError() ? 1 : 0;
        }
    } catch (...) {
        std::fprintf(stderr, "an exception escaped the library\n");
        return 12;
    }
    std::printf("root ran %d rewrites, rotations, repairs and conversions (%d refused)\n", rounds, errors);
    return 0;
}

// A rewrite deleted its temporary and created it again by name, then reopened
// it by name to give it the report's mode; a rotation did the same with its
// partial copy; the log clean-up made its directory, then opened the report
// in it by path. A link swapped in between made root overwrite a file of its
// own, or give one the report's setuid bit. IDXREPORTS_RACE_SECONDS (3).
TEST(HostileDirectory, RootsRewriteWroteThroughASideFileSwappedForASymlink) {
    HostileBase base;
    const std::string reports = base.dir / "reports";
    base.planter.MakeDirectory(reports);
    base.planter.MakeDirectory(reports + "/Logs");
    base.planter.MakeDirectory(reports + "/Logs/CleanUp");
    const std::string victimDir = base.dir / "victim-dir";
    ASSERT_EQ(mkdir(victimDir.c_str(), 0700), 0);
    const std::string victimReport = victimDir + "/" + LogCleanUpReport::FileName;
    WriteFile(victimReport, kPrecious);
    const FileState victimReportBefore = StateOf(victimReport);
    {
        JobStatsReport report;
        ASSERT_FALSE(JobStatsKind::OpenAppend(report, reports).IsError());
        for (int seq = 0; seq < 9000; ++seq) ASSERT_FALSE(JobStatsKind::Append(report, RecordId(1, seq)).IsError());
        ASSERT_FALSE(report.Close().IsError());
    }
    base.planter.Own(reports + "/" + JobStatsKind::kFile);
    const std::string done = base.dir / "done";
    const std::vector<std::string> victims = {base.victim, base.program};
    const Planter& planter = base.planter;
    const pid_t attacker = Spawn([&] {
        if (planter.uid != geteuid() && !BecomeUser(planter.uid, planter.gid)) return 1;
        return SwapSideFilesForLinks(reports, done, victims, victimDir);
    });
    const int seconds = EnvInt("IDXREPORTS_RACE_SECONDS", 3);
    const int root = WaitFor(Spawn([&] { return RewriteForAWhile(reports, seconds); }), seconds + 120);
    WriteFile(done, "");
    EXPECT_EQ(Wait(attacker), 0);
    EXPECT_EQ(Misbehaved(root), "");
    base.ExpectVictimsUntouched();
    EXPECT_EQ(StateOf(victimReport), victimReportBefore);
    const auto entries = std::distance(std::filesystem::directory_iterator(victimDir), {});
    EXPECT_EQ(entries, 1) << "root created files in a directory a link led to";
}

// --- hostile content under a memory limit ---

// Sanitizers reserve address space of their own: a limit on it means nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// In a child: `body` under a limit of `headroom` bytes of address space beyond
// what the process uses now (none for 0), and an alarm. 0: success; 10: an error returned;
// 12: an exception escaped.
int UnderMemoryLimit(std::size_t headroom, const std::function<CQiError()>& body) {
    alarm(120);
    std::size_t pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const rlim_t limit = static_cast<rlim_t>(pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) + headroom);
    const rlimit bound{limit, limit};
    if (headroom != 0 && setrlimit(RLIMIT_AS, &bound) != 0) return 1;
    try {
        return body().IsError() ? 10 : 0;
    } catch (...) {
        return 12;
    }
}

// One 100 MB line of commas made a writer of the older layout abort (bad_alloc
// escaped JobStatsReport::Open, and a .tmp stayed behind); 40 MB of one-byte
// bad lines took memory without bound. Each operation must return, with an
// error or success, within 64 MiB more than the process had. Under a
// sanitizer, which reserves address space of its own, the files are smaller
// (still many times the line limit) and only the outcomes are checked.
TEST(HostileContent, HugeLineOrManyBadLinesAbortedTheWriterOrEscapedAsAnException) {
    StressDir dir;
    const std::size_t hugeBytes = kSanitized ? 8 * kMaxLineBytes : 100u << 20;
    const std::size_t badLineBytes = kSanitized ? 4u << 20 : 40u << 20;
    // The writer converts this one (its line goes to Huge.csv.bad); the readers
    // and the tool read a file of its own with the same line.
    const std::string huge = dir / "Huge.csv";
    const std::string hugeLine = std::string(hugeBytes, ',');
    const std::string oldRow = OldJobStatsRow(RecordId(1, 0));
    WriteFile(huge, OldJobStatsHeader() + "\n" + oldRow + "\n" + hugeLine + "\n" + oldRow + "\n");
    const std::string hugeToo = dir / "HugeToo.csv";
    WriteFile(hugeToo, HeaderLineOf<JobStatsKind>() + "\n" + hugeLine + "\n");
    // No report's header is that long: refused, and nothing rewritten.
    const std::string hugeHeader = dir / "HugeHeader.csv";
    WriteFile(hugeHeader, hugeLine + "\n1,2");
    const FileState hugeHeaderBefore = StateOf(hugeHeader);
    const std::string tiny = dir / JobStatsKind::kFile;
    {
        std::string text = HeaderLineOf<JobStatsKind>() + "\n";
        text.reserve(text.size() + badLineBytes);
        while (text.size() < badLineBytes) text += "x\n";
        WriteFile(tiny, text);
    }
    const std::size_t headroom = 64u << 20;
    const auto load = [](const std::string& path) {
        return [path]() {
            JobStatsReport report;
            JobStatsReport::DataFrame_t rows;
            CQiError err = report.Open(path, std::ios::in, false);
            if (!err.IsError()) err = report.LoadAll(rows);
            return err;
        };
    };
    const std::string d = dir.Path();
    // What each must end with: 0 success, 10 an error with a reason, -1 either.
    struct Row {
        const char* what;
        std::function<CQiError()> body;
        int expected;
    };
    const std::vector<Row> operations = {
        {"writer of the older layout opens the huge line",
         [d] {
             JobStatsReport report;
             return report.Open(d, "Huge.csv", std::ios::out | std::ios::app);
         },
         0},
        {"writer opens a file whose first line is huge",
         [d] {
             JobStatsReport report;
             return report.Open(d, "HugeHeader.csv", std::ios::out | std::ios::app);
         },
         10},
        {"LoadAll of the huge line", load(hugeToo), 10},
        {"ForEach past the huge line",
         [hugeToo] {
             JobStatsReport report;
             CQiError err = report.Open(hugeToo, std::ios::in, false);
             if (!err.IsError()) err = report.ForEach([](JobStatsRecord&) { return CQiError::Success(); }, false);
             return err;
         },
         0},
        {"GetLine of the huge line",
         [hugeToo] {
             ReportFileHandler file;
             std::string line;
             CQiError err = file.Open(hugeToo, std::ios::in);
             if (!err.IsError()) err = file.GetLine(line);
             if (!err.IsError()) err = file.GetLine(line);
             return err;
         },
         10},
        // Each "x" reads as a row of defaults: a frame of them does not fit
        // under the limit, and fits when there is none (under a sanitizer).
        {"LoadAll of the bad lines", load(tiny), kSanitized ? -1 : 10},
        {"SetInvalidJobs over the bad lines",
         [d] {
             std::vector<unsigned long> ids{1};
             return JobStatsReport::SetInvalidJobs(d, ids);
         },
         0},
        {"LoadIndexCacheDiskFreeSpace of the bad lines",
         [tiny] {
             LogicalDiskReport report;
             std::vector<double> averages;
             CQiError err = report.Open(tiny, std::ios::in, false);
             if (!err.IsError()) err = report.LoadIndexCacheDiskFreeSpace(averages);
             return err;
         },
         -1},
    };
    for (const Row& row : operations) {
        SCOPED_TRACE(row.what);
        const int code = WaitFor(
            Spawn([&] { return UnderMemoryLimit(kSanitized ? 0 : headroom, row.body); }),
            240);
        EXPECT_EQ(Misbehaved(code), "");
        if (row.expected >= 0) {
            EXPECT_EQ(code, row.expected);
        }
    }
    // The huge line moved out whole, the rows around it kept.
    EXPECT_GT(std::filesystem::file_size(huge + ".bad"), hugeBytes);
    const ReportContent converted = ReadReport<JobStatsKind>(huge);
    EXPECT_EQ(converted.firstLine, HeaderLineOf<JobStatsKind>());
    EXPECT_EQ(converted.Ids().size(), 2u);
    EXPECT_EQ(StateOf(hugeHeader), hugeHeaderBefore) << "a file that is no report was rewritten";
#ifdef IDXREPORT_BINARY
    // The tool holds buffers and at most a line of kMaxLineBytes (four times
    // that when escaped for a table): all of it, program and libraries
    // included, fits 64 MiB of address space and the line limit. A table of
    // lines at the limit, each escaped to four times its size, once took
    // 256 of them to measure its columns.
    const std::string unprintable = dir / "verify.csv";
    {
        std::string text = VerifyArchiveReport().GetHeader()[0];
        for (std::size_t i = 1; i < VerifyArchiveReport().GetHeader().size(); ++i)
            text += "," + VerifyArchiveReport().GetHeader()[i];
        text += "\n";
        const std::string line = std::string(kMaxLineBytes - 16, '\x01') + ",1,1,g\n";
        for (int i = 0; i < 40; ++i) text += line;
        WriteFile(unprintable, text);
    }
    // Fewer bad lines than above, which the tool only takes longer to read.
    const std::string small = dir / "small";
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    const std::string badLines = small + "/" + JobStatsKind::kFile;
    {
        std::string text = HeaderLineOf<JobStatsKind>() + "\n";
        while (text.size() < (8u << 20)) text += "x\n";
        WriteFile(badLines, text);
    }
    const std::string disk = dir / "disk.csv";
    {
        std::string text = LogicalDiskReport().GetHeader()[0];
        for (std::size_t i = 1; i < LogicalDiskReport().GetHeader().size(); ++i)
            text += "," + LogicalDiskReport().GetHeader()[i];
        WriteFile(disk, text + "\n" + std::string(3 * kMaxLineBytes, '9') + "\n1,0,0,0,0,0,0,notanumber,\n");
    }
    // A million job rows each of a new host, and three million samples each a
    // day after the one before: every host, and every day, was once held.
    const std::string manyHosts = dir / "hosts";
    const std::string manyDays = dir / "days";
    ASSERT_EQ(mkdir(manyHosts.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(manyDays.c_str(), 0700), 0);
    {
        std::ofstream jobs(manyHosts + "/" + JobStatsKind::kFile);
        jobs << HeaderLineOf<JobStatsKind>() << '\n';
        for (int i = 0; i < 1000000; ++i)
            jobs << "1," << i << ",1,1,0,0,2.5,1711411246,1711411253,0,1,host-" << i << ',' << 1711411253 + i << ",0,1,0\n";
        std::ofstream days(manyDays + "/IndexCacheStats_1.csv");
        days << "Time,DB,Logs,Reports,V1,Other,DiskSize,DiskFree,Alert\n";
        for (long i = 1; i <= 3000000; ++i) days << i * 86400 << ",1,1,1,1,1,9," << (i % 1000 + 1) * 1048576 << ",\n";
    }
    const std::vector<std::vector<std::string>> commands = {
        {"check", hugeToo},       {"show", "--format", "table", hugeToo}, {"show", "--format", "json", hugeToo},
        {"check", badLines},      {"jobs", small},                        {"freespace", disk},
        {"show", "--format", "table", unprintable}, {"check", "--repair", badLines}, {"check", "--repair", hugeToo},
        {"metrics", manyHosts},   {"disks", manyDays},                    {"metrics", manyDays},
        {"freespace", manyDays + "/IndexCacheStats_1.csv"}};
    for (const std::vector<std::string>& args : commands) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args.back());
        const std::size_t space = kSanitized ? 0 : (std::size_t{64} << 20) + kMaxLineBytes;
        const int code =
            WaitFor(Spawn([&] { return RunTool(args, dir / "tool-errors", 200, space); }), 240);
        EXPECT_EQ(Misbehaved(code), "") << ReadFile(dir / "tool-errors");
    }
#endif
    EXPECT_EQ(LeftoverTemporaries(dir.Path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace I2::stress
