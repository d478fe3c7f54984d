// Hostile paths and names: paths too long for a lock file name, links planted
// where the library writes its lock, temporary or ".old" file, a directory where
// a report should be, a report path that is a device, and every awkward byte in
// every text field.

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <algorithm>
#include <iterator>

#include <functional>
#include <string>
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

}  // namespace
}  // namespace I2::stress
