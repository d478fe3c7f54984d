// A writer killed at a random instant must never cost more than the record it
// was writing. The loop forks a child that appends (across the 10000-row
// rotation of the job statistics), marks jobs invalid (a whole-file rewrite),
// converts a file of the older layout, or appends records whose text needs
// quoting, or disk samples; kills it with SIGKILL after 0-20 ms; then reads
// every file as it stands. The files carry over from one round to the next, as
// they would on a server that crashes again and again. No row may ever stand in
// both ".old" and the report, and once the next writer has opened the report no
// torn line stands in it: the torn bytes are in FILE.bad, and the disk samples
// load in full.
//
// IDXREPORTS_CRASH_ITERATIONS sets the number of rounds (200), and
// IDXREPORTS_CRASH_SEED replays a failed run: the seed is in every failure.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/internal/SysCalls.h>
#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

constexpr std::size_t kLimit = 10000;
constexpr int kChildAppends = 4000;  // well short of a second rotation
constexpr int kNextWriterRecords = 3;
constexpr const char* kJobs = "JobStats.csv";
constexpr const char* kOld = "JobStats.csv.old";
constexpr const char* kLegacy = "Legacy.csv";

enum class Operation { AppendJobs, MarkInvalid, ConvertLegacy, AppendStubs, AppendDisk };
constexpr int kOperations = 5;

const char* NameOf(Operation operation) {
    switch (operation) {
        case Operation::AppendJobs: return "append across the rotation";
        case Operation::MarkInvalid: return "SetInvalidJobs";
        case Operation::ConvertLegacy: return "convert the older layout";
        case Operation::AppendStubs: return "append quoted records";
        case Operation::AppendDisk: return "append disk samples";
    }
    return "?";
}

[[noreturn]] void IdleUntilKilled() {
    for (;;) pause();
}

template <typename Kind>
[[noreturn]] void AppendUntilKilled(const std::string& dir, int writer) {
    typename Kind::ReportT report;
    if (!ChildOk("open", Kind::OpenAppend(report, dir))) _exit(1);
    for (int seq = 0; seq < kChildAppends; ++seq) {
        if (!ChildOk("append", Kind::Append(report, RecordId(writer, seq)))) _exit(1);
    }
    if (!ChildOk("close", report.Close())) _exit(1);
    IdleUntilKilled();
}

std::vector<uint64_t> Slice(const std::vector<uint64_t>& ids, std::size_t from, std::size_t to) {
    from = std::min(from, ids.size());
    to = std::min(to, ids.size());
    return std::vector<uint64_t>(ids.begin() + static_cast<long>(from), ids.begin() + static_cast<long>(to));
}

// Where two id sequences part: empty when they are equal.
std::string Difference(const std::vector<uint64_t>& actual, const std::vector<uint64_t>& expected) {
    if (actual == expected) return "";
    std::size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
    const auto at = [i](const std::vector<uint64_t>& ids) {
        return i < ids.size() ? std::to_string(ids[i]) : std::string("end");
    };
    return std::to_string(actual.size()) + " ids instead of " + std::to_string(expected.size()) + "; at " +
           std::to_string(i) + " " + at(actual) + " instead of " + at(expected);
}

// The text of the last line when it lacks its "\n", else "".
std::string TornTail(const std::string& path) {
    bool torn = false;
    const std::vector<std::string> lines = SplitLines(ReadFile(path), torn);
    return torn ? lines.back() : std::string();
}

std::size_t RowsInBoth(const ReportContent& current, const ReportContent& old) {
    const std::vector<uint64_t> ids = current.Ids();
    const std::set<uint64_t> inCurrent(ids.begin(), ids.end());
    std::size_t both = 0;
    for (const uint64_t id : old.Ids()) both += inCurrent.count(id);
    return both;
}

// Lines that do not read back as a whole record, a torn last line among them.
std::size_t BadLines(const ReportContent& content) { return content.badLines.size(); }

class CrashLoop {
public:
    explicit CrashLoop(uint64_t seed) : random(seed) {}

    void Run(int iterations);

private:
    struct Jobs {
        ReportContent current, old;
    };

    // ".old" changes only when the report rotates; it is read again only then.
    Jobs ReadJobs() {
        // A kill between a rotation's exchange of names and its rename leaves
        // the old rows in FILE.rotation (or FILE.retired), out of sight until
        // the next writer's open makes the file FILE.old: read as that.
        struct stat report {};
        const bool haveReport = lstat((dir / kJobs).c_str(), &report) == 0;
        for (const char* side : {".rotation", ".retired"}) {
            const std::string leftover = dir / (std::string(kJobs) + side);
            struct stat st {};
            if (lstat(leftover.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            if (haveReport && st.st_ino == report.st_ino) continue;  // still the report itself
            ReportContent rows = ReadReport<JobStatsKind>(leftover);
            if (rows.rows.empty() && rows.badLines.empty()) continue;  // the new report, not yet in place
            oldKey = {};
            return {ReadReport<JobStatsKind>(dir / kJobs), rows};
        }
        struct stat st {};
        if (lstat((dir / kOld).c_str(), &st) != 0) st = {};
        const auto same = [](const timespec& a, const timespec& b) {
            return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
        };
        if (st.st_ino != oldKey.st_ino || st.st_size != oldKey.st_size || !same(st.st_mtim, oldKey.st_mtim) ||
            !same(st.st_ctim, oldKey.st_ctim)) {
            oldContent = ReadReport<JobStatsKind>(dir / kOld);
            oldKey = st;
        }
        return {ReadReport<JobStatsKind>(dir / kJobs), oldContent};
    }
    // A report that children only append to. It goes to a new directory now and
    // then, so that reading it back after every round stays cheap.
    struct Appended {
        const char* name;
        ReportContent content;
        int generation = 0;
    };
    std::string DirOf(const Appended& report) const {
        return dir / (report.name + std::to_string(report.generation));
    }
    template <typename Kind>
    std::string PathOf(const Appended& report) const {
        return DirOf(report) + "/" + Kind::kFile;
    }
    template <typename Kind>
    void CheckAppended(Appended& report, int writer);
    template <typename Kind>
    void AppendNextTo(Appended& report, const std::vector<uint64_t>& ids);
    // The report that `operation` writes, as a file name and as it stands.
    std::string PathWritten(Operation operation) const;
    const ReportContent& ContentWritten(Operation operation) const;
    int NextWriter() { return ++writers; }

    void CheckJobs(const Jobs& after, std::size_t badBefore);
    // After `appended` went to the job statistics (the writer possibly killed on
    // the way), the files hold `before` plus those records, rotated at most once.
    void ExpectJobsAppended(const Jobs& before, const Jobs& after, const std::vector<uint64_t>& appended,
                            bool mayStopInRotation);

    void TopUpJobs(std::size_t target);
    void WriteLegacy();
    pid_t StartChild(Operation operation, int writer, const std::vector<unsigned long>& invalid);
    void CheckAfterCrash(Operation operation, int writer, const std::vector<unsigned long>& invalid);
    void AppendNext(Operation operation);

    // What the crashes left, for the summary at the end.
    struct Seen {
        int kills[kOperations] = {};
        int tornLines = 0;
        int fragmentsMoved = 0;
        int betweenCopyAndCut = 0;
        int temporaries = 0;
    } seen;

    StressDir dir;
    std::mt19937_64 random;
    int writers = 0;
    Jobs jobs;
    Appended stubs{"stubs", {}};
    Appended disk{"disk", {}};
    std::vector<uint64_t> legacyIds;
    struct stat oldKey {};
    ReportContent oldContent;
};

void CrashLoop::CheckJobs(const Jobs& after, std::size_t badBefore) {
    const std::string header = HeaderLineOf<JobStatsKind>();
    ASSERT_TRUE(after.current.exists) << "the report must survive every crash";
    EXPECT_EQ(after.current.firstLine, header);
    if (after.old.exists) {
        // A rotation copy is complete or absent, never half of one.
        EXPECT_EQ(after.old.firstLine, header);
        EXPECT_EQ(after.old.rows.size() + after.old.badLines.size(), kLimit);
        EXPECT_FALSE(after.old.tornTail);
    }
    EXPECT_EQ(RowsInBoth(after.current, after.old), 0u) << "rows in both .old and the report";
    EXPECT_LE(BadLines(after.current) + BadLines(after.old), badBefore + 1)
        << "more than the one line that was being written is damaged";
    if (BadLines(after.current) + BadLines(after.old) > badBefore) ++seen.tornLines;
}

void CrashLoop::ExpectJobsAppended(const Jobs& before, const Jobs& after, const std::vector<uint64_t>& appended,
                                   bool mayStopInRotation) {
    const std::vector<uint64_t> current = after.current.Ids();
    const std::vector<uint64_t> old = after.old.Ids();
    // A torn last line is moved out by the next writer; or, when it lacked only
    // its "\n", it may be whole again; or it stays a damaged line. A damaged line
    // left standing took one of the 10000 lines before a rotation.
    enum class Torn { Stays, BecameWhole, MovedOut };
    for (const Torn torn : {Torn::Stays, Torn::BecameWhole, Torn::MovedOut}) {
        if (torn == Torn::BecameWhole && before.current.tornId == 0) continue;
        if (torn == Torn::MovedOut && !before.current.tornTail) continue;
        std::vector<uint64_t> sequence = before.current.Ids();
        if (torn == Torn::BecameWhole) sequence.push_back(before.current.tornId);
        sequence = Concat(sequence, appended);
        if (old == before.old.Ids() && current == sequence) return;  // no rotation
        const std::size_t damaged = BadLines(before.current) - (torn == Torn::Stays ? 0 : 1);
        const std::size_t split = kLimit - std::min(kLimit, damaged);
        if (old == Slice(sequence, 0, split) && current == Slice(sequence, split, sequence.size())) return;
        // Killed between the copy and the emptying: both hold the same rows (a
        // fault CheckJobs reports), and the next append rotates again.
        if (mayStopInRotation && old == sequence && current == sequence) {
            ++seen.betweenCopyAndCut;
            return;
        }
    }
    ADD_FAILURE() << "job statistics lost or duplicated rows: " << before.current.rows.size() << " rows + "
                  << appended.size() << " appended gave " << old.size() << " in .old and " << current.size()
                  << " in the report";
}

void CrashLoop::TopUpJobs(std::size_t target) {
    if (jobs.current.rows.size() >= target) return;
    const int writer = NextWriter();
    JobStatsReport report;
    ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
    for (std::size_t i = 0, n = target - jobs.current.rows.size(); i < n; ++i) {
        ASSERT_FALSE(JobStatsKind::Append(report, RecordId(writer, static_cast<int>(i))).IsError());
    }
    ASSERT_FALSE(report.Close().IsError());
    jobs = ReadJobs();
}

void CrashLoop::WriteLegacy() {
    const int writer = NextWriter();
    // Kept well under the rotation limit, which a conversion does not apply.
    if (legacyIds.size() > 5000) legacyIds.erase(legacyIds.begin(), legacyIds.begin() + 2500);
    const std::size_t more = std::uniform_int_distribution<std::size_t>(0, 400)(random);
    for (std::size_t i = 0; i < more; ++i) legacyIds.push_back(RecordId(writer, static_cast<int>(i)));
    std::string text = OldJobStatsHeader() + "\n";
    for (const uint64_t id : legacyIds) text += OldJobStatsRow(id) + "\n";
    ReplaceFile(dir / kLegacy, text);
}

pid_t CrashLoop::StartChild(Operation operation, int writer, const std::vector<unsigned long>& invalid) {
    const std::string path = dir.Path();
    const std::string stubsDir = DirOf(stubs);
    const std::string diskDir = DirOf(disk);
    return Spawn([operation, writer, invalid, path, stubsDir, diskDir]() -> int {
        switch (operation) {
            case Operation::AppendJobs: AppendUntilKilled<JobStatsKind>(path, writer);
            case Operation::AppendStubs: AppendUntilKilled<DanglingStubsKind>(stubsDir, writer);
            case Operation::AppendDisk: AppendUntilKilled<LogicalDiskKind>(diskDir, writer);
            case Operation::MarkInvalid:
                for (;;) {
                    std::vector<unsigned long> ids = invalid;
                    if (!ChildOk("SetInvalidJobs", JobStatsReport::SetInvalidJobs(path, ids))) return 1;
                }
            case Operation::ConvertLegacy:
                for (;;) {
                    JobStatsReport report;
                    if (!ChildOk("open legacy", report.Open(path, kLegacy, std::ios::in))) return 1;
                }
        }
        return 1;
    });
}

void CrashLoop::CheckAfterCrash(Operation operation, int writer, const std::vector<unsigned long>& invalid) {
    switch (operation) {
        case Operation::AppendJobs: {
            const Jobs after = ReadJobs();
            CheckJobs(after, BadLines(jobs.current) + BadLines(jobs.old));
            // Killed between the copy and the emptying, both files hold the rows
            // it wrote: count each once; the order is checked against the files.
            std::set<uint64_t> written;
            for (const uint64_t id : Concat(after.old.Ids(), after.current.Ids())) {
                if (WriterOf(id) == writer) written.insert(id);
            }
            ExpectJobsAppended(jobs, after, Sequence(writer, written.size()), true);
            jobs = after;
            break;
        }
        case Operation::MarkInvalid: {
            const Jobs after = ReadJobs();
            CheckJobs(after, BadLines(jobs.current) + BadLines(jobs.old));
            EXPECT_EQ(Difference(after.old.Ids(), jobs.old.Ids()), "");
            ASSERT_EQ(Difference(after.current.Ids(), jobs.current.Ids()), "") << "a rewrite must keep every row";
            std::size_t marked = 0;
            for (std::size_t i = 0; i < after.current.rows.size(); ++i) {
                const Row& row = after.current.rows[i];
                const bool listed = std::find(invalid.begin(), invalid.end(), row.id) != invalid.end();
                if (listed) {
                    marked += row.status == 1 ? 1 : 0;
                } else {
                    EXPECT_EQ(row.status, jobs.current.rows[i].status) << "row " << row.id << " changed unasked";
                }
            }
            EXPECT_TRUE(marked == 0 || marked == invalid.size())
                << "a rewrite left half its changes: " << marked << " of " << invalid.size();
            jobs = after;
            break;
        }
        case Operation::ConvertLegacy: {
            const ReportContent legacy = ReadReport<JobStatsKind>(dir / kLegacy, true);
            ASSERT_TRUE(legacy.exists);
            const bool converted = legacy.firstLine == HeaderLineOf<JobStatsKind>();
            EXPECT_TRUE(converted || legacy.firstLine == OldJobStatsHeader()) << legacy.firstLine;
            EXPECT_TRUE(legacy.badLines.empty() && !legacy.tornTail);
            EXPECT_EQ(Difference(legacy.Ids(), legacyIds), "") << "a conversion must keep every row";
            for (const Row& row : legacy.rows) {
                ASSERT_EQ(row.fields, converted ? 16u : 14u) << "a file is in one layout, never a mix";
            }
            break;
        }
        case Operation::AppendStubs: CheckAppended<DanglingStubsKind>(stubs, writer); break;
        case Operation::AppendDisk: CheckAppended<LogicalDiskKind>(disk, writer); break;
    }
}

template <typename Kind>
void CrashLoop::CheckAppended(Appended& report, int writer) {
    const ReportContent after = ReadReport<Kind>(PathOf<Kind>(report));
    // A writer killed while it created the report leaves no file, or one it had
    // not yet written its header line to.
    const bool creating = !report.content.exists;
    if (creating && (!after.exists || ReadFile(PathOf<Kind>(report)).empty())) return;
    ASSERT_TRUE(after.exists);
    EXPECT_EQ(after.firstLine, HeaderLineOf<Kind>());
    EXPECT_LE(BadLines(after), BadLines(report.content) + 1);
    if (BadLines(after) > BadLines(report.content)) ++seen.tornLines;
    const std::size_t n = CountPrefixOf(after.Ids(), writer);
    EXPECT_EQ(Difference(after.Ids(), Concat(report.content.Ids(), Sequence(writer, n))), "");
    report.content = after;
}

template <typename Kind>
void CrashLoop::AppendNextTo(Appended& report, const std::vector<uint64_t>& ids) {
    typename Kind::ReportT writer;
    ASSERT_FALSE(Kind::OpenAppend(writer, DirOf(report)).IsError());
    for (const uint64_t id : ids) ASSERT_FALSE(Kind::Append(writer, id).IsError());
    ASSERT_FALSE(writer.Close().IsError());
    const ReportContent& before = report.content;
    const ReportContent after = ReadReport<Kind>(PathOf<Kind>(report));
    // A torn line that lacked only its "\n" may be whole again; otherwise the
    // rows are those that stood plus the new ones.
    const std::vector<uint64_t> whole = Concat(Concat(before.Ids(), {before.tornId}), ids);
    if (before.tornId == 0 || after.Ids() != whole) {
        EXPECT_EQ(Difference(after.Ids(), Concat(before.Ids(), ids)), "");
    }
    EXPECT_FALSE(after.tornTail);
    report.content = after;
    if (report.content.rows.size() > 5000) {
        ++report.generation;
        report.content = ReportContent();
    }
}

std::string CrashLoop::PathWritten(Operation operation) const {
    switch (operation) {
        case Operation::AppendJobs:
        case Operation::MarkInvalid: return dir / kJobs;
        case Operation::ConvertLegacy: return dir / kLegacy;
        case Operation::AppendStubs: return PathOf<DanglingStubsKind>(stubs);
        case Operation::AppendDisk: return PathOf<LogicalDiskKind>(disk);
    }
    return "";
}

const ReportContent& CrashLoop::ContentWritten(Operation operation) const {
    static const ReportContent none;
    switch (operation) {
        case Operation::AppendJobs:
        case Operation::MarkInvalid: return jobs.current;
        case Operation::ConvertLegacy: return none;
        case Operation::AppendStubs: return stubs.content;
        case Operation::AppendDisk: return disk.content;
    }
    return none;
}

// The next writer after a crash: its records must be whole lines, after every
// record that survived.
void CrashLoop::AppendNext(Operation operation) {
    const int writer = NextWriter();
    const std::vector<uint64_t> ids = Sequence(writer, kNextWriterRecords);
    switch (operation) {
        case Operation::AppendJobs:
        case Operation::MarkInvalid: {
            JobStatsReport report;
            ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
            for (const uint64_t id : ids) ASSERT_FALSE(JobStatsKind::Append(report, id).IsError());
            ASSERT_FALSE(report.Close().IsError());
            const Jobs after = ReadJobs();
            CheckJobs(after, BadLines(jobs.current) + BadLines(jobs.old));
            ExpectJobsAppended(jobs, after, ids, false);
            jobs = after;
            break;
        }
        case Operation::ConvertLegacy: {
            JobStatsReport report;
            ASSERT_FALSE(report.Open(dir.Path(), kLegacy, std::ios::out | std::ios::app).IsError());
            for (const uint64_t id : ids) ASSERT_FALSE(JobStatsKind::Append(report, id).IsError());
            ASSERT_FALSE(report.Close().IsError());
            legacyIds.insert(legacyIds.end(), ids.begin(), ids.end());
            const ReportContent legacy = ReadReport<JobStatsKind>(dir / kLegacy);
            EXPECT_EQ(legacy.firstLine, HeaderLineOf<JobStatsKind>());
            EXPECT_EQ(Difference(legacy.Ids(), legacyIds), "");
            break;
        }
        case Operation::AppendStubs: AppendNextTo<DanglingStubsKind>(stubs, ids); break;
        case Operation::AppendDisk: AppendNextTo<LogicalDiskKind>(disk, ids); break;
    }
}

void CrashLoop::Run(int iterations) {
    WaitPatiently();
    TopUpJobs(9990);
    WriteLegacy();
    for (int iteration = 0; iteration < iterations && !::testing::Test::HasFailure(); ++iteration) {
        const auto operation = static_cast<Operation>(std::uniform_int_distribution<int>(0, kOperations - 1)(random));
        SCOPED_TRACE("iteration " + std::to_string(iteration) + ": " + NameOf(operation));
        std::vector<unsigned long> invalid;
        switch (operation) {
            case Operation::AppendJobs:
                TopUpJobs(std::uniform_int_distribution<std::size_t>(9950, kLimit)(random));
                break;
            case Operation::MarkInvalid:
                for (const Row& row : jobs.current.rows) {
                    if (row.status == 0 && random() % 200 == 0) invalid.push_back(row.id);
                }
                break;
            case Operation::ConvertLegacy:
                WriteLegacy();
                break;
            case Operation::AppendStubs:
            case Operation::AppendDisk:
                break;
        }
        if (::testing::Test::HasFatalFailure()) return;

        const int writer = NextWriter();
        const bool hadTemporaries = !LeftoverTemporaries(dir.Path()).empty();
        const pid_t child = StartChild(operation, writer, invalid);
        usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 20000)(random)));
        kill(child, SIGKILL);
        ASSERT_EQ(Wait(child), 128 + SIGKILL) << "the child failed before it was killed; its stderr says why";
        ++seen.kills[static_cast<int>(operation)];
        if (!hadTemporaries && !LeftoverTemporaries(dir.Path()).empty()) ++seen.temporaries;

        const std::string written = PathWritten(operation);
        const std::string fragment = TornTail(written);
        CheckAfterCrash(operation, writer, invalid);
        if (::testing::Test::HasFatalFailure()) return;
        AppendNext(operation);
        if (::testing::Test::HasFatalFailure()) return;
        // The next writer's Open moved the torn bytes out: none stands in the report.
        EXPECT_TRUE(ContentWritten(operation).badLines.empty())
            << "a torn line stands in " << written << ": " << ContentWritten(operation).badLines.front();
        if (!fragment.empty()) {
            ++seen.fragmentsMoved;
            EXPECT_TRUE(MovedToBad(written, fragment)) << "torn fragment not in .bad: " << fragment;
        }
        // One bad line would stop every later load of the averages.
        if (PathExists(PathOf<LogicalDiskKind>(disk))) {
            LogicalDiskReport samples;
            std::vector<double> averages;
            CQiError err = samples.Open(PathOf<LogicalDiskKind>(disk), std::ios::in, false);
            if (!err.IsError()) err = samples.LoadIndexCacheDiskFreeSpace(averages);
            EXPECT_FALSE(err.IsError()) << err.Describe();
        }
    }

    if (::testing::Test::HasFailure()) return;  // keep the files as the failure left them
    // Every operation once more without a crash: whatever temporaries the
    // crashes left are replaced and gone.
    TopUpJobs(kLimit);
    AppendNext(Operation::AppendJobs);
    std::vector<unsigned long> none;
    EXPECT_FALSE(JobStatsReport::SetInvalidJobs(dir.Path(), none).IsError());
    WriteLegacy();
    JobStatsReport legacy;
    EXPECT_FALSE(legacy.Open(dir.Path(), kLegacy, std::ios::in).IsError());
    EXPECT_TRUE(LeftoverTemporaries(dir.Path()).empty());
    std::printf("killed: %d appending across the rotation (%d between the copy and the cut), %d in "
                "SetInvalidJobs, %d converting, %d appending quoted records, %d appending disk samples; %d torn "
                "lines, %d fragments moved to .bad, %d temporaries left behind (removed by the next rewrite)\n",
                seen.kills[0], seen.betweenCopyAndCut, seen.kills[1], seen.kills[2], seen.kills[3], seen.kills[4],
                seen.tornLines, seen.fragmentsMoved, seen.temporaries);
}

// Found by these checks: a kill between the rotation's copy and its cut left
// every row in both files; a torn line stayed in the report for good.
TEST(CrashRecovery, RandomKillsLeftRowsInBothOldAndTheReportOrTornLinesStanding) {
    const int iterations = EnvInt("IDXREPORTS_CRASH_ITERATIONS", 200);
    const int fresh = static_cast<int>(std::random_device{}() >> 2);
    const auto seed = static_cast<uint64_t>(EnvInt("IDXREPORTS_CRASH_SEED", fresh));
    SCOPED_TRACE("replay with IDXREPORTS_CRASH_SEED=" + std::to_string(seed));
    CrashLoop(seed).Run(iterations);
}

// The crash windows the loop above finds by chance, opened on purpose: a write
// that fails right after the step stands for a crash at that instant.
bool g_cutToHeader = false;

int NoteCut(int fd, off_t length) {
    if (length < 4096) g_cutToHeader = true;  // not the copy to ".old", which is larger
    return I2::Utils::RealSysCalls().ftruncate(fd, length);
}

// The rotation's other way to a report that holds only its header: a new file
// takes the report's name.
int NoteReplacement(int fromDirfd, const char* from, int toDirfd, const char* to, unsigned flags) {
    const int rc = I2::Utils::RealSysCalls().renameat2(fromDirfd, from, toDirfd, to, flags);
    if (rc == 0) g_cutToHeader = true;
    return rc;
}

ssize_t FailWritesAfterCut(int fd, const void* buffer, size_t length) {
    if (!g_cutToHeader) return I2::Utils::RealSysCalls().write(fd, buffer, length);
    errno = ENOSPC;
    return -1;
}

// A rotation emptied the report, then wrote its header line again: a crash in
// between left a report without a header (and readers saw one meanwhile).
TEST(CrashRecovery, RotationLeftTheReportWithoutItsHeader) {
    StressDir dir;
    JobStatsReport report;
    ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
    for (int seq = 0; seq < 10000; ++seq) ASSERT_FALSE(JobStatsKind::Append(report, RecordId(1, seq)).IsError());
    ASSERT_FALSE(report.Close().IsError());

    ASSERT_FALSE(JobStatsKind::OpenAppend(report, dir.Path()).IsError());
    {
        I2::Utils::ScopedSysCalls scoped;
        g_cutToHeader = false;
        I2::Utils::Sys().ftruncate = NoteCut;
        I2::Utils::Sys().renameat2 = NoteReplacement;
        I2::Utils::Sys().write = FailWritesAfterCut;
        const CQiError appended = JobStatsKind::Append(report, RecordId(2, 0));
        const CQiError closed = report.Close();
        EXPECT_TRUE(appended.IsError() || closed.IsError());
        EXPECT_TRUE(g_cutToHeader);
    }
    EXPECT_EQ(ReadReport<JobStatsKind>(dir / kJobs).firstLine, HeaderLineOf<JobStatsKind>());
    EXPECT_EQ(ReadReport<JobStatsKind>(dir / kOld).Ids(), Sequence(1, 10000));
}

// A new report's header line waited in the writer's buffer with its first lines,
// so the file stood empty until then; a crash left it so.
TEST(CrashRecovery, NewReportStoodWithoutItsHeaderUntilItsFirstFlush) {
    StressDir dir;
    DanglingStubsReport report;
    ASSERT_FALSE(DanglingStubsKind::OpenAppend(report, dir.Path()).IsError());
    ASSERT_FALSE(DanglingStubsKind::Append(report, RecordId(1, 0)).IsError());
    EXPECT_EQ(ReadReport<DanglingStubsKind>(dir / DanglingStubsKind::kFile).firstLine,
              HeaderLineOf<DanglingStubsKind>());
    ASSERT_FALSE(report.Close().IsError());
}

// --- a kill at each step ---
//
// A child counts the system calls that change files and dies at the chosen one:
// before it is made, or, tearing, inside a write after half its bytes reached
// the file (as a kill while the system publishes a write page by page leaves
// it). Going through every call in turn reaches every crash point that chance
// reaches only now and then.

int g_callsToKill = 0;
bool g_tear = false;

[[noreturn]] void DieNow() {
    raise(SIGKILL);
    for (;;) pause();
}

template <typename Pointer>
struct KillBefore;
template <typename R, typename... A>
struct KillBefore<R (*I2::Utils::SysCalls::*)(A...)> {
    template <R (*I2::Utils::SysCalls::*Member)(A...)>
    static R Call(A... args) {
        if (!g_tear && --g_callsToKill == 0) DieNow();
        return (I2::Utils::RealSysCalls().*Member)(args...);
    }
};
template <auto Member>
void CountCall() {
    I2::Utils::Sys().*Member = KillBefore<decltype(Member)>::template Call<Member>;
}

ssize_t WriteOrTear(int fd, const void* buffer, size_t length) {
    if (g_tear && length > 1 && --g_callsToKill == 0) {
        // Torn a few bytes into a line, not at its end.
        const auto* bytes = static_cast<const char*>(buffer);
        std::size_t cut = length / 2;
        while (cut + 1 < length && (bytes[cut - 1] == '\n' || (cut >= 4 && std::memchr(bytes + cut - 4, '\n', 4)))) ++cut;
        (void)I2::Utils::RealSysCalls().write(fd, buffer, cut);
        DieNow();
    }
    if (!g_tear && --g_callsToKill == 0) DieNow();
    return I2::Utils::RealSysCalls().write(fd, buffer, length);
}

// In a child: from now on dies at change number `call` (writes only when tearing).
void KillAtCall(int call, bool tear) {
    using I2::Utils::SysCalls;
    g_callsToKill = call;
    g_tear = tear;
    I2::Utils::Sys().write = WriteOrTear;
    CountCall<&SysCalls::open>();
    CountCall<&SysCalls::fsync>();
    CountCall<&SysCalls::ftruncate>();
    CountCall<&SysCalls::rename>();
    CountCall<&SysCalls::unlink>();
    CountCall<&SysCalls::mkdir>();
    CountCall<&SysCalls::fchmod>();
    CountCall<&SysCalls::openat>();
    CountCall<&SysCalls::renameat>();
    CountCall<&SysCalls::renameat2>();
    CountCall<&SysCalls::linkat>();
    CountCall<&SysCalls::unlinkat>();
    CountCall<&SysCalls::mkdirat>();
    CountCall<&SysCalls::fchown>();
}

// Runs `prepare` then, dying at `call`, `body` in a child: true when the child was
// killed, false when it finished first (no call of that number was made).
bool KilledAt(int call, bool tear, const std::function<bool()>& prepare, const std::function<bool()>& body) {
    const int code = Wait(Spawn([&]() -> int {
        if (!prepare()) return 1;
        KillAtCall(call, tear);
        return body() ? 0 : 1;
    }));
    EXPECT_TRUE(code == 0 || code == 128 + SIGKILL) << "the child failed before it was killed; its stderr says why";
    return code == 128 + SIGKILL;
}

// A writer killed at each step of a rotation (copy to ".old", cut or replacement
// of the report, the first append after it), then the next writer's Open and
// append. Seen on the way: the rows in both ".old" and the report after a kill
// between the copy and the cut; a torn last line standing in the report for good;
// the rotation's partial copy left in the directory.
TEST(CrashRecovery, RotationKilledAtAnyStepLeftRowsInBothFilesATornLineOrAStrayFile) {
    StressDir dir;
    const std::string full = dir / "full";
    ASSERT_EQ(mkdir(full.c_str(), 0700), 0);
    {
        JobStatsReport report;
        ASSERT_FALSE(JobStatsKind::OpenAppend(report, full).IsError());
        for (int seq = 0; seq < 10000; ++seq) ASSERT_FALSE(JobStatsKind::Append(report, RecordId(1, seq)).IsError());
        ASSERT_FALSE(report.Close().IsError());
    }
    const std::string rows = ReadFile(full + "/" + kJobs);
    int kills = 0, fragments = 0;
    for (const bool tear : {false, true}) {
        for (int call = 1; call < 500; ++call) {
            SCOPED_TRACE(std::string(tear ? "torn inside write " : "killed before change ") + std::to_string(call));
            const std::string d = dir / ("round" + std::to_string(call) + (tear ? "t" : "k"));
            ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
            WriteFile(d + "/" + kJobs, rows);
            JobStatsReport child;
            const bool killed = KilledAt(
                call, tear, [&] { return ChildOk("open", JobStatsKind::OpenAppend(child, d)); },
                [&] { return ChildOk("append", JobStatsKind::Append(child, RecordId(2, 0))) &&
                             ChildOk("close", child.Close()); });
            if (!killed) break;
            ++kills;
            const ReportContent current = ReadReport<JobStatsKind>(d + "/" + kJobs);
            ASSERT_TRUE(current.exists) << "the report must survive every crash";
            EXPECT_EQ(RowsInBoth(current, ReadReport<JobStatsKind>(d + "/" + kOld)), 0u)
                << "rows in both .old and the report after the kill";
            const std::string fragment = TornTail(d + "/" + kJobs);

            JobStatsReport next;
            ASSERT_FALSE(JobStatsKind::OpenAppend(next, d).IsError());
            EXPECT_EQ(OtherNames(d, {kJobs, kOld, std::string(kJobs) + ".bad"}), std::vector<std::string>{})
                << "left after the next writer's Open";
            ASSERT_FALSE(JobStatsKind::Append(next, RecordId(3, 0)).IsError());
            ASSERT_FALSE(next.Close().IsError());

            const ReportContent after = ReadReport<JobStatsKind>(d + "/" + kJobs);
            const ReportContent old = ReadReport<JobStatsKind>(d + "/" + kOld);
            ExpectWholeReport(after, HeaderLineOf<JobStatsKind>(), "the report after the next writer");
            EXPECT_EQ(RowsInBoth(after, old), 0u) << "rows in both .old and the report after the next writer";
            std::vector<uint64_t> all = Concat(old.Ids(), after.Ids());
            all.erase(std::remove(all.begin(), all.end(), RecordId(2, 0)), all.end());  // may be lost or torn
            std::sort(all.begin(), all.end());
            EXPECT_EQ(Difference(all, Concat(Sequence(1, 10000), {RecordId(3, 0)})), "");
            if (!fragment.empty()) {
                ++fragments;
                EXPECT_TRUE(MovedToBad(d + "/" + kJobs, fragment)) << "torn fragment not in .bad: " << fragment;
            }
            std::filesystem::remove_all(d);
        }
    }
    EXPECT_GT(kills, 10);
    std::printf("killed %d times inside a rotation; %d torn lines to move\n", kills, fragments);
}

// A kill inside the write of disk samples left a torn line; the next writer
// started on a new line, and the fragment, now in the middle of the file, made
// every later LoadIndexCacheDiskFreeSpace fail.
TEST(CrashRecovery, TornDiskSampleStoodInTheReportAndStoppedEveryFreeSpaceLoad) {
    StressDir dir;
    const std::string path = dir / LogicalDiskKind::kFile;
    {
        LogicalDiskReport report;
        ASSERT_FALSE(LogicalDiskKind::OpenAppend(report, dir.Path()).IsError());
        for (int seq = 0; seq < 100; ++seq) ASSERT_FALSE(LogicalDiskKind::Append(report, RecordId(1, seq)).IsError());
        ASSERT_FALSE(report.Close().IsError());
    }
    LogicalDiskReport child;
    ASSERT_TRUE(KilledAt(
        1, true, [&] { return ChildOk("open", LogicalDiskKind::OpenAppend(child, dir.Path())); },
        [&] {
            for (int seq = 0; seq < 10; ++seq) {
                if (!ChildOk("append", LogicalDiskKind::Append(child, RecordId(2, seq)))) return false;
            }
            return ChildOk("close", child.Close());
        }));
    const std::string fragment = TornTail(path);
    ASSERT_NE(fragment, "") << "the kill tore no line";

    LogicalDiskReport next;
    ASSERT_FALSE(LogicalDiskKind::OpenAppend(next, dir.Path()).IsError());
    ASSERT_FALSE(LogicalDiskKind::Append(next, RecordId(3, 0)).IsError());
    ASSERT_FALSE(next.Close().IsError());
    const ReportContent after = ReadReport<LogicalDiskKind>(path);
    ExpectWholeReport(after, HeaderLineOf<LogicalDiskKind>(), "disk samples after the next writer");
    EXPECT_TRUE(MovedToBad(path, fragment)) << "torn fragment not in .bad: " << fragment;
    LogicalDiskReport reader;
    ASSERT_FALSE(reader.Open(path, std::ios::in, false).IsError());
    std::vector<double> averages;
    const CQiError err = reader.LoadIndexCacheDiskFreeSpace(averages);
    EXPECT_FALSE(err.IsError()) << err.Describe();
}

}  // namespace
}  // namespace I2::stress
