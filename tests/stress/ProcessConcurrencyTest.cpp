// Several processes append to one report of each kind at once, while others
// rewrite the job statistics (marking jobs invalid) and convert files of the
// older job statistics layout. Afterwards every record must stand in its file
// exactly once, whole and readable, in its writer's order.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/internal/IdxLockDirectory.h>
#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

constexpr int kWriters = 4;
constexpr int kRotationLimit = 10000;
constexpr int kLegacyRows = 300;
constexpr int kLegacyAppends = 5;
constexpr const char* kDoneMarker = "writers-done";

int RecordsPerWriter() { return EnvInt("IDXREPORTS_STRESS_RECORDS", 5000); }

bool Invalid(uint64_t id) { return SeqOf(id) % 10 == 3; }

std::vector<unsigned long> InvalidIds(int writers, int count) {
    std::vector<unsigned long> ids;
    for (int writer = 0; writer < writers; ++writer) {
        for (int seq = 3; seq < count; seq += 10) ids.push_back(RecordId(writer, seq));
    }
    // Unsorted on purpose: SetInvalidJobs sorts the caller's list itself.
    std::reverse(ids.begin(), ids.end());
    return ids;
}

int RunWriter(const std::string& dir, int writer, int count) {
    WaitPatiently();
    const bool ok = WriteMixed<JobStatsKind>(dir, writer, count) && WriteMixed<LogicalDiskKind>(dir, writer, count) &&
                    WriteMixed<DanglingStubsKind>(dir, writer, count) &&
                    WriteMixed<DroppedFilesKind>(dir, writer, count) &&
                    WriteMixed<VerifyArchiveKind>(dir, writer, count);
    if (!ok) return 1;
    // The log clean-up report's own Open starts the file afresh; appending
    // writers share it through one long-lived writer each, which holds the lock
    // for all of its records.
    LogCleanUpReport logs;
    if (!ChildOk("open log clean-up", LogCleanUpKind::OpenAppend(logs, dir))) return 1;
    for (int seq = 0; seq < count; ++seq) {
        if (!ChildOk("append log clean-up", LogCleanUpKind::Append(logs, RecordId(writer, seq)))) return 1;
    }
    return ChildOk("close log clean-up", logs.Close()) ? 0 : 1;
}

// Marks jobs invalid again and again until the writers are done.
int RunInvalidator(const std::string& dir, int count) {
    WaitPatiently();
    const std::vector<unsigned long> listed = InvalidIds(kWriters, count);
    int rounds = 0;
    while (!PathExists(dir + "/" + kDoneMarker) || rounds < 3) {
        std::vector<unsigned long> ids = listed;
        if (!ChildOk("SetInvalidJobs", JobStatsReport::SetInvalidJobs(dir, ids))) return 1;
        if (!std::is_sorted(ids.begin(), ids.end())) {
            std::fprintf(stderr, "SetInvalidJobs left the id list unsorted\n");
            return 1;
        }
        ++rounds;
        usleep(5000);
    }
    std::printf("SetInvalidJobs rewrote the job statistics %d times meanwhile\n", rounds);
    return 0;
}

// Converts one file of the older layout after another, appending to each, and
// reads the shared job statistics through the header check in between.
int RunConverter(const std::string& dir) {
    WaitPatiently();
    const std::string header = HeaderLineOf<JobStatsKind>();
    int converted = 0;
    for (int round = 0; !PathExists(dir + "/" + kDoneMarker) || round < 3; ++round, ++converted) {
        const int writer = 100 + round;
        const std::string name = "Legacy" + std::to_string(round) + ".csv";
        std::string old = OldJobStatsHeader() + "\n";
        for (int seq = 0; seq < kLegacyRows; ++seq) old += OldJobStatsRow(RecordId(writer, seq)) + "\n";
        ReplaceFile(dir + "/" + name, old);

        JobStatsReport legacy;
        if (!ChildOk("open legacy", legacy.Open(dir, name, std::ios::out | std::ios::app))) return 1;
        for (int seq = kLegacyRows; seq < kLegacyRows + kLegacyAppends; ++seq) {
            if (!ChildOk("append legacy", JobStatsKind::Append(legacy, RecordId(writer, seq)))) return 1;
        }
        if (!ChildOk("close legacy", legacy.Close())) return 1;
        const ReportContent converted = ReadReport<JobStatsKind>(dir + "/" + name, true);
        bool ordered = converted.rows.size() == kLegacyRows + kLegacyAppends;
        for (std::size_t i = 0; ordered && i < converted.rows.size(); ++i) {
            ordered = converted.rows[i].id == RecordId(writer, static_cast<int>(i)) && converted.rows[i].fields == 16;
        }
        if (converted.firstLine != header || !converted.badLines.empty() || !ordered) {
            std::fprintf(stderr, "converted %s is not the old rows plus the new ones\n", name.c_str());
            return 1;
        }

        JobStatsReport shared;
        JobStatsReport::DataFrame_t rows;
        if (!ChildOk("open shared", shared.Open(dir, JobStatsKind::kFile, std::ios::in)) ||
            !ChildOk("load shared", shared.LoadAll(rows))) {
            return 1;
        }
        usleep(2000);
    }
    std::printf("converted %d files of the older layout meanwhile\n", converted);
    return 0;
}

TEST(ConcurrentProcesses, EveryRecordOfEveryWriterStandsOnceInEachReport) {
    StressDir dir;
    WaitPatiently();
    const int count = RecordsPerWriter();
    const int total = kWriters * count;
    ASSERT_LE(total, 2 * kRotationLimit) << "a second rotation would drop records by design";
    // Writers meet the shared job statistics in the older layout and convert it
    // while the others append.
    WriteFile(dir / JobStatsKind::kFile, OldJobStatsHeader() + "\n");

    std::vector<pid_t> writers;
    for (int writer = 0; writer < kWriters; ++writer) {
        writers.push_back(Spawn([&dir, writer, count] { return RunWriter(dir.Path(), writer, count); }));
    }
    const pid_t invalidator = Spawn([&dir, count] { return RunInvalidator(dir.Path(), count); });
    const pid_t converter = Spawn([&dir] { return RunConverter(dir.Path()); });
    const bool writersOk = WaitAll(writers);
    WriteFile(dir / kDoneMarker, "");
    const bool othersOk = WaitAll({invalidator, converter});
    ASSERT_TRUE(writersOk && othersOk) << "a child failed; its stderr names the operation";

    // One more marking, with nobody else about, settles every status.
    std::vector<unsigned long> ids = InvalidIds(kWriters, count);
    ASSERT_FALSE(JobStatsReport::SetInvalidJobs(dir.Path(), ids).IsError());

    const std::string jobsHeader = HeaderLineOf<JobStatsKind>();
    const ReportContent current = ReadReport<JobStatsKind>(dir / JobStatsKind::kFile);
    ExpectWholeReport(current, jobsHeader, JobStatsKind::kFile);
    std::vector<Row> jobs;
    if (total > kRotationLimit) {
        const ReportContent old = ReadReport<JobStatsKind>(dir / "JobStats.csv.old");
        ExpectWholeReport(old, jobsHeader, "JobStats.csv.old");
        EXPECT_EQ(old.rows.size(), static_cast<std::size_t>(kRotationLimit));
        jobs = old.rows;
        // Rows rotated away before a marking reached them may still read 0.
        for (const Row& row : old.rows) EXPECT_TRUE(row.status == 0 || Invalid(row.id)) << row.id;
    }
    for (const Row& row : current.rows) EXPECT_EQ(row.status, Invalid(row.id) ? 1 : 0) << row.id;
    jobs.insert(jobs.end(), current.rows.begin(), current.rows.end());
    ExpectEachRecordOnce(jobs, kWriters, count);

    const auto expectKind = [&](auto kind, const char* what) {
        using Kind = decltype(kind);
        const ReportContent content = ReadReport<Kind>(dir / Kind::kFile);
        ExpectWholeReport(content, HeaderLineOf<Kind>(), what);
        ExpectEachRecordOnce(content.rows, kWriters, count);
        return content;
    };
    expectKind(LogicalDiskKind{}, "disk samples");
    expectKind(DanglingStubsKind{}, "dangling stubs");
    expectKind(DroppedFilesKind{}, "dropped files");
    expectKind(VerifyArchiveKind{}, "verify archive");
    const ReportContent logs = expectKind(LogCleanUpKind{}, "log clean-up");
    // Each long-lived log writer held the lock for all its records: one block each.
    for (std::size_t i = 1; i < logs.rows.size(); ++i) {
        if (SeqOf(logs.rows[i].id) != 0) {
            EXPECT_EQ(logs.rows[i].id, logs.rows[i - 1].id + 1) << "line " << i + 2;
        }
    }

    EXPECT_TRUE(LeftoverTemporaries(dir.Path()).empty());
}

// SetInvalidJobs opened the report, then waited for its lock; meanwhile another
// process replaced the file (a rewrite renames a new file over it) and added rows.
// The rows were then loaded from the replaced file, and the rewrite dropped the
// new ones.
TEST(ConcurrentProcesses, SetInvalidJobsDroppedRowsOfAFileReplacedWhileItWaitedForTheLock) {
    StressDir dir;
    WaitPatiently();
    const std::string path = dir / JobStatsKind::kFile;
    std::string text = HeaderLineOf<JobStatsKind>() + "\n";
    for (int seq = 0; seq < 10; ++seq) {
        JobStatsRecord record;
        record.SetJobId(RecordId(1, seq));
        record.SetTotalFilesInIndex(RecordId(1, seq));
        record.SetHostname(RecordTag(RecordId(1, seq)));
        text += record.ToString() + "\n";
    }
    WriteFile(path, text);

    JobStatsReport holder;  // holds the lock while the file is replaced
    ASSERT_FALSE(JobStatsKind::OpenAppend(holder, dir.Path()).IsError());
    const pid_t marker = Spawn([&dir] {
        std::vector<unsigned long> ids{static_cast<unsigned long>(RecordId(1, 0))};
        return ChildOk("SetInvalidJobs", JobStatsReport::SetInvalidJobs(dir.Path(), ids)) ? 0 : 1;
    });
    // Time for the child to open the file and wait for the lock; were it slower,
    // the test would pass without showing anything, never fail wrongly.
    usleep(300000);
    JobStatsRecord added;
    added.SetJobId(RecordId(2, 0));
    added.SetTotalFilesInIndex(RecordId(2, 0));
    added.SetHostname(RecordTag(RecordId(2, 0)));
    ReplaceFile(path, text + added.ToString() + "\n");
    ASSERT_FALSE(holder.Close().IsError());
    ASSERT_EQ(Wait(marker), 0);

    const ReportContent after = ReadReport<JobStatsKind>(path);
    ExpectWholeReport(after, HeaderLineOf<JobStatsKind>(), JobStatsKind::kFile);
    EXPECT_EQ(after.Ids(), Concat(Sequence(1, 10), {RecordId(2, 0)}));
    ASSERT_FALSE(after.rows.empty());
    EXPECT_EQ(after.rows.front().status, 1);
}

// A child forked by a process that held a report's lock was refused that lock
// at once, as if it already held it itself, instead of waiting for the parent.
TEST(ConcurrentProcesses, ChildOfALockHolderWasRefusedTheLockInsteadOfWaiting) {
    StressDir dir;
    WaitPatiently();
    DanglingStubsReport parent;
    ASSERT_FALSE(DanglingStubsKind::OpenAppend(parent, dir.Path()).IsError());
    const pid_t child = Spawn([&dir] {
        DanglingStubsReport report;
        return ChildOk("open", DanglingStubsKind::OpenAppend(report, dir.Path())) &&
                       ChildOk("append", DanglingStubsKind::Append(report, RecordId(2, 0))) &&
                       ChildOk("close", report.Close())
                   ? 0
                   : 1;
    });
    usleep(200000);  // the child is waiting for the lock by now, or soon will be
    ASSERT_FALSE(DanglingStubsKind::Append(parent, RecordId(1, 0)).IsError());
    ASSERT_FALSE(parent.Close().IsError());
    ASSERT_EQ(Wait(child), 0);
    EXPECT_EQ(ReadReport<DanglingStubsKind>(dir / DanglingStubsKind::kFile).Ids(),
              (std::vector<uint64_t>{RecordId(1, 0), RecordId(2, 0)}));
}

// --- a reader among writers ---
//
// Each row carries a digest of its id in its last column and a padded host name,
// so a line cut short at the end of the file, or glued from the bytes of two
// rows, never reads back as one that was written.

uint64_t Digest(uint64_t id) {
    constexpr uint64_t kSpan = 100000000000000000ull;  // 18 digits, always
    return kSpan + (id * 2654435761ull) % kSpan;
}
std::string PaddedTag(uint64_t id) { return RecordTag(id) + std::string(60, 'p'); }

CQiError AppendChecked(JobStatsReport& report, uint64_t id) {
    JobStatsRecord record;
    record.SetJobId(id);
    record.SetTotalFilesInIndex(id);
    record.SetHostname(PaddedTag(id));
    record.SetRootSize(id);
    record.SetInvalidMIMEClassification(Digest(id));
    return report.AddRecord(record);
}
bool AsWritten(const JobStatsRecord& r) {
    const uint64_t id = r.GetJobId();
    return id != 0 && r.GetTotalFilesInIndex() == id && r.GetHostname() == PaddedTag(id) && r.GetRootSize() == id &&
           r.GetInvalidMIMEClassification() == Digest(id) && (r.GetStatus() == 0 || r.GetStatus() == 1);
}
CQiError AppendChecked(LogicalDiskReport& report, uint64_t id) {
    LogicalDiskRecord record;
    record.SetTime(static_cast<long>(id));
    record.SetDB(id);
    record.SetDiskFree(id);
    record.SetDiskSize(Digest(id));
    record.SetAlert(PaddedTag(id));
    return report.AddRecord(record);
}
bool AsWritten(const LogicalDiskRecord& r) {
    const auto id = static_cast<uint64_t>(r.GetTime());
    return id != 0 && r.GetDB() == id && r.GetDiskFree() == id && r.GetDiskSize() == Digest(id) &&
           r.GetAlert() == PaddedTag(id);
}

using Clock = std::chrono::steady_clock;

// Appends until `until`: a long-lived writer in runs of 2000 records (so that it
// hands the system 64 KiB blocks that straddle pages), or one open, append and
// close per record.
template <typename Kind>
int WriteUntil(const std::string& dir, int writer, bool longLived, Clock::time_point until) {
    WaitPatiently();
    typename Kind::ReportT report;
    for (int seq = 0; Clock::now() < until;) {
        if (!ChildOk("open", Kind::OpenAppend(report, dir))) return 1;
        for (int n = longLived ? 2000 : 1; n > 0; --n, ++seq) {
            if (!ChildOk("append", AppendChecked(report, RecordId(writer, seq)))) return 1;
        }
        if (!ChildOk("close", report.Close())) return 1;
        // Leaves the two cores to the reader now and then: the more loads, the
        // more often one meets a write in progress.
        if (longLived) usleep(30000);
    }
    return 0;
}

struct ReaderCounts {
    long loads = 0, failedLoads = 0, rows = 0, notAsWritten = 0;
    std::string firstProblem;
};

// One LoadAll and one ForEach of the report at `path`, every row checked.
template <typename Report>
void LoadAndCheck(const std::string& path, ReaderCounts& counts) {
    Report report;
    typename Report::DataFrame_t rows;
    const auto check = [&counts](const auto& record) {
        ++counts.rows;
        if (AsWritten(record)) return;
        if (counts.notAsWritten++ == 0) {
            auto copy = record;
            counts.firstProblem = "row not as written: " + copy.ToString();
        }
    };
    const auto failed = [&counts](const char* what, const CQiError& err) {
        if (!err.IsError()) return false;
        if (counts.failedLoads++ == 0) counts.firstProblem = std::string(what) + " failed: " + err.Describe();
        return true;
    };
    ++counts.loads;
    if (failed("open", report.Open(path, std::ios::in, false)) || failed("LoadAll", report.LoadAll(rows))) return;
    for (const auto& record : rows) check(record);
    ++counts.loads;
    failed("ForEach", report.ForEach(
                          [&check](auto& record) {
                              check(record);
                              return CQiError::Success();
                          },
                          true));
}

// Loads both reports again and again until the writers are done; the counts go
// to a file for the test to judge.
int RunReader(const std::string& dir) {
    ReaderCounts counts;
    for (int round = 0; !PathExists(dir + "/" + kDoneMarker) || round < 2; ++round) {
        LoadAndCheck<JobStatsReport>(dir + "/" + JobStatsKind::kFile, counts);
        LoadAndCheck<LogicalDiskReport>(dir + "/" + LogicalDiskKind::kFile, counts);
    }
    WriteFile(dir + "/reader-counts", std::to_string(counts.loads) + " " + std::to_string(counts.failedLoads) + " " +
                                          std::to_string(counts.rows) + " " + std::to_string(counts.notAsWritten) +
                                          "\n" + counts.firstProblem);
    return 0;
}

// Marks jobs invalid, and keeps the disk samples short by rewriting them with
// their latest rows, so that the reader reaches the end of each file often.
int RunRewriter(const std::string& dir, Clock::time_point until) {
    WaitPatiently();
    std::mt19937_64 random(42);
    const std::string diskPath = dir + "/" + LogicalDiskKind::kFile;
    while (Clock::now() < until) {
        std::vector<unsigned long> ids;
        for (int i = 0; i < 50; ++i) ids.push_back(RecordId(int(random() % 2), int(random() % 20000)));
        if (!ChildOk("SetInvalidJobs", JobStatsReport::SetInvalidJobs(dir, ids))) return 1;
        const CQiError err = RewriteUnderLock<LogicalDiskReport>(diskPath, [](LogicalDiskReport::DataFrame_t& rows) {
            if (rows.size() <= 4000) return false;
            rows.erase(rows.begin(), rows.end() - 1000);
            return true;
        });
        if (!ChildOk("rewrite disk samples", err)) return 1;
        usleep(20000);
    }
    return 0;
}

// IDXREPORTS_READER_SECONDS lengthens the run (3 s).
TEST(ConcurrentProcesses, ReaderGotRowsNoOneWroteFromFragmentsAndRotations) {
    StressDir dir;
    WaitPatiently();
    const auto until = Clock::now() + std::chrono::seconds(EnvInt("IDXREPORTS_READER_SECONDS", 3));
    {
        // Both reports exist before the reader starts: a missing file is no fault.
        JobStatsReport jobs;
        LogicalDiskReport disk;
        ASSERT_FALSE(JobStatsKind::OpenAppend(jobs, dir.Path()).IsError());
        ASSERT_FALSE(LogicalDiskKind::OpenAppend(disk, dir.Path()).IsError());
    }
    const std::string path = dir.Path();
    std::vector<pid_t> writers;
    for (int writer = 0; writer < 2; ++writer) {
        const bool longLived = writer == 0;
        writers.push_back(Spawn([=] { return WriteUntil<JobStatsKind>(path, writer, longLived, until); }));
        writers.push_back(Spawn([=] { return WriteUntil<LogicalDiskKind>(path, writer, longLived, until); }));
    }
    writers.push_back(Spawn([=] { return RunRewriter(path, until); }));
    const pid_t reader = Spawn([=] { return RunReader(path); });
    const bool writersOk = WaitAll(writers);
    WriteFile(dir / kDoneMarker, "");
    ASSERT_EQ(Wait(reader), 0);
    ASSERT_TRUE(writersOk) << "a writer failed; its stderr names the operation";

    ReaderCounts counts;
    std::istringstream in(ReadFile(dir / "reader-counts"));
    in >> counts.loads >> counts.failedLoads >> counts.rows >> counts.notAsWritten;
    std::getline(in >> std::ws, counts.firstProblem);
    std::printf("reader: %ld loads, %ld rows checked, %ld rows not as written, %ld loads failed\n", counts.loads,
                counts.rows, counts.notAsWritten, counts.failedLoads);
    EXPECT_GT(counts.rows, 0);
    EXPECT_EQ(counts.notAsWritten, 0) << counts.firstProblem;
    EXPECT_EQ(counts.failedLoads, 0) << counts.firstProblem;
    EXPECT_TRUE(PathExists(dir / "JobStats.csv.old")) << "no rotation happened meanwhile: lengthen the run";
}

// --- across users and path spellings ---

// The lock directory shared by all users, as the system's is prepared (owned by
// root, sticky, writable by all), and IDXREPORTS_LOCK_DIR unset: every process
// here locks with the default settings, but away from the machine's own locks.
class DefaultLockDirectory {
public:
    explicit DefaultLockDirectory(const std::string& path) : saved(I2::Utils::SharedLockDirectory()) {
        if (mkdir(path.c_str(), 0755) != 0 || chmod(path.c_str(), 01777) != 0) ADD_FAILURE() << "cannot make " << path;
        const char* configured = std::getenv("IDXREPORTS_LOCK_DIR");
        if (configured != nullptr) savedEnv = configured;
        unsetenv("IDXREPORTS_LOCK_DIR");
        I2::Utils::SharedLockDirectory() = path;
    }
    ~DefaultLockDirectory() {
        I2::Utils::SharedLockDirectory() = saved;
        if (!savedEnv.empty()) setenv("IDXREPORTS_LOCK_DIR", savedEnv.c_str(), 1);
    }
    DefaultLockDirectory(const DefaultLockDirectory&) = delete;
    DefaultLockDirectory& operator=(const DefaultLockDirectory&) = delete;

private:
    std::string saved, savedEnv;
};

// One job statistics record per open, append and close, as a service that
// reports one job at a time writes them.
int AppendOneByOne(const std::string& dir, int writer, int count) {
    WaitPatiently();
    for (int seq = 0; seq < count; ++seq) {
        JobStatsReport report;
        if (!ChildOk("open", JobStatsKind::OpenAppend(report, dir)) ||
            !ChildOk("append", JobStatsKind::Append(report, RecordId(writer, seq))) ||
            !ChildOk("close", report.Close())) {
            return 1;
        }
    }
    return 0;
}

// Rewrites the report at directory/JobStats.csv until `done` exists, each
// kind of rewrite in turn, through the directory spellings given; after each,
// the file must still have the owner, group and mode of `keep`.
int RewriteUntil(const std::vector<std::string>& spellings, const std::string& done, const FileState& keep) {
    WaitPatiently();
    for (int round = 0; !PathExists(done) || round < 4; ++round) {
        const std::string& directory = spellings[static_cast<std::size_t>(round) % spellings.size()];
        const std::string path = directory + "/" + JobStatsKind::kFile;
        std::vector<unsigned long> ids{static_cast<unsigned long>(RecordId(0, round))};
        const bool mark = round % 2 == 0;
        const CQiError err = mark ? JobStatsReport::SetInvalidJobs(directory, ids) : RewriteUnderLock<JobStatsReport>(path);
        if (!ChildOk(mark ? "SetInvalidJobs" : "repair", err)) return 1;
        const FileState now = StateOf(path);
        if (now.uid != keep.uid || now.gid != keep.gid || now.mode != keep.mode) {
            std::fprintf(stderr, "%s handed the report over: %s, was %s\n", mark ? "SetInvalidJobs" : "repair",
                         Describe(now).c_str(), Describe(keep).c_str());
            return 2;
        }
        // A lock waiter polls: without a pause the rewriter would starve it.
        usleep(10000);
    }
    return 0;
}

// Locks were per user, so root's rewrites went ahead while a service user's
// writer appended, and every rewrite run as root gave the file to root (after
// which the service could no longer write its own report).
TEST(ConcurrentProcesses, RootsRewritesLostAServiceUsersRecordsAndTookItsReport) {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why;
    if (!UnprivilegedUser(uid, gid, why)) GTEST_SKIP() << why;
    StressDir dir;
    WaitPatiently();
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    DefaultLockDirectory locks(dir / "shared-locks");
    const std::string reports = dir / "reports";
    ASSERT_EQ(mkdir(reports.c_str(), 0755), 0);
    ASSERT_EQ(chown(reports.c_str(), uid, gid), 0);
    ASSERT_TRUE(AsUser(uid, gid, [&reports] {
        JobStatsReport report;
        return ChildOk("create", JobStatsKind::OpenAppend(report, reports)) && ChildOk("close", report.Close());
    }));
    const std::string path = reports + "/" + JobStatsKind::kFile;
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const FileState created = StateOf(path);

    const int count = EnvInt("IDXREPORTS_CROSS_USER_RECORDS", 500);
    const std::string done = dir / kDoneMarker;
    const pid_t writer = Spawn([&] { return BecomeUser(uid, gid) ? AppendOneByOne(reports, 0, count) : 1; });
    const pid_t rewriter = Spawn([&] { return RewriteUntil({reports}, done, created); });
    const int written = Wait(writer);
    WriteFile(done, "");
    EXPECT_EQ(Wait(rewriter), 0) << "1: a rewrite failed; 2: a rewrite changed the report's owner or mode (stderr)";
    EXPECT_EQ(written, 0) << "the service's writer failed; its stderr says why";
    ExpectEachRecordOnce(ReadReport<JobStatsKind>(path).rows, 1, count);

    // A header conversion run as root keeps them too.
    const std::string legacy = reports + "/Legacy.csv";
    WriteFile(legacy, OldJobStatsHeader() + "\n" + OldJobStatsRow(RecordId(1, 0)) + "\n");
    ASSERT_EQ(chown(legacy.c_str(), uid, gid), 0);
    ASSERT_EQ(chmod(legacy.c_str(), 0640), 0);
    const FileState before = StateOf(legacy);
    JobStatsReport converted;
    ASSERT_FALSE(converted.Open(reports, "Legacy.csv", std::ios::in).IsError());
    const FileState after = StateOf(legacy);
    EXPECT_EQ(ReadReport<JobStatsKind>(legacy).firstLine, HeaderLineOf<JobStatsKind>());
    EXPECT_TRUE(after.uid == before.uid && after.gid == before.gid && after.mode == before.mode)
        << "the conversion handed the report over: " << Describe(after) << ", was " << Describe(before);
}

// The lock was named after the path as spelled, so a writer through a symlinked
// directory and a rewriter through the real one (or "..") each took a lock of
// their own, and the rewrite dropped the records appended meanwhile.
TEST(ConcurrentProcesses, PathThroughASymlinkedDirectoryTookAnotherLockAndLostRecords) {
    StressDir dir;
    WaitPatiently();
    const std::string real = dir / "real";
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(symlink(real.c_str(), (dir / "link").c_str()), 0);
    {
        JobStatsReport report;
        ASSERT_FALSE(JobStatsKind::OpenAppend(report, real).IsError());
    }
    const int count = EnvInt("IDXREPORTS_CROSS_USER_RECORDS", 500);
    const std::string done = dir / kDoneMarker;
    const FileState created = StateOf(real + "/" + JobStatsKind::kFile);
    const pid_t writer = Spawn([&] { return AppendOneByOne(dir / "link", 0, count); });
    const pid_t rewriter = Spawn([&] { return RewriteUntil({real, real + "/../real/"}, done, created); });
    const int written = Wait(writer);
    WriteFile(done, "");
    EXPECT_EQ(Wait(rewriter), 0) << "a rewrite failed; its stderr says why";
    EXPECT_EQ(written, 0) << "the writer failed; its stderr says why";
    ExpectEachRecordOnce(ReadReport<JobStatsKind>(real + "/" + JobStatsKind::kFile).rows, 1, count);
}

}  // namespace
}  // namespace I2::stress
