// A full disk: every operation that could not write its lines must say so
// (code 150), none may report success for records it lost, and once space
// returns the report reads back whole, with every record it had before.
//
// The small file system is a tmpfs mounted for the test, which needs root (and a
// kernel that lets this process mount); elsewhere those tests are skipped.
// /dev/full needs nothing and always runs.

#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

constexpr int kWriterBefore = 1;  // records in the report before the disk filled
constexpr int kWriterFull = 2;    // records appended to a full disk
constexpr int kWriterAfter = 3;   // records appended once space returned
constexpr int kRecordsBefore = 200;
constexpr int kMoreAfterFirstFailure = 20;
constexpr int kNoLimit = 100000;

// What a writer was told about records 0 .. n-1 of one writer, appended in order.
struct Outcome {
    std::vector<CQiError> appends;  // the result of each record's append
    CQiError close;
};

// Empty when the outcome is honest about which of the writer's records reached
// the file (`ids`, in file order): every record that was lost must be followed by
// a failure, of its own append, a later one or the close; every failure is code
// 150; and the records that did arrive stand once each, in order.
std::string SilentLoss(const Outcome& outcome, const std::vector<uint64_t>& ids, int writer) {
    const std::size_t n = outcome.appends.size();
    std::vector<char> present(n, 0);
    int last = -1;
    for (const uint64_t id : ids) {
        if (WriterOf(id) != writer) continue;
        const int seq = SeqOf(id);
        if (seq <= last || static_cast<std::size_t>(seq) >= n) return "record " + std::to_string(seq) + " out of place";
        present[static_cast<std::size_t>(seq)] = 1;
        last = seq;
    }
    std::size_t lastFailure = 0;
    bool anyFailure = false;
    for (std::size_t i = 0; i <= n; ++i) {
        const CQiError& err = i < n ? outcome.appends[i] : outcome.close;
        if (!err.IsError()) continue;
        if (err.GetErrNo() != 150) return "failure with code " + std::to_string(err.GetErrNo()) + ": " + err.Describe();
        lastFailure = i;
        anyFailure = true;
    }
    for (std::size_t i = n; i-- > 0;) {
        if (present[i] != 0) continue;
        if (!anyFailure || lastFailure < i) {
            return "record " + std::to_string(i) + " of " + std::to_string(n) +
                   " was lost, and nothing failed at or after its append";
        }
        break;
    }
    return "";
}

// Appends records of `writer` until one fails and `more` after it (or `limit`
// in all), then closes.
template <typename Kind>
Outcome AppendUntilFailure(typename Kind::ReportT& report, int writer, int more, int limit = kNoLimit) {
    Outcome outcome;
    int failedAt = -1;
    for (int seq = 0; seq < limit && (failedAt < 0 || seq <= failedAt + more); ++seq) {
        outcome.appends.push_back(Kind::Append(report, RecordId(writer, seq)));
        if (failedAt < 0 && outcome.appends.back().IsError()) failedAt = seq;
    }
    outcome.close = report.Close();
    return outcome;
}

DanglingStubsRecord StubRecord(uint64_t id) {
    DanglingStubsRecord record;
    // The same fields as DanglingStubsKind::Append writes.
    record.SetFilePath(RecordTag(id));
    record.SetStubsVersionGUID("{stub}");
    record.SetDataVersionGUID("{data}");
    record.SetModifiedTimestamp(static_cast<long>(id));
    record.SetSizeInBytes(id);
    record.SetPulledForwardFromPreviousCycle(id % 2 == 0);
    record.SetStubType("type");
    record.SetOrigAppGUID("app,\"x\"");
    return record;
}

class SmallDisk : public ::testing::Test {
protected:
    // False, with the reason in `skipReason`, when no file system can be mounted here.
    bool Mount(const char* size) {
        if (geteuid() != 0) {
            skipReason = "mounting a small tmpfs needs root";
            return false;
        }
        mountPoint = dir / "fs";
        if (mkdir(mountPoint.c_str(), 0700) != 0) {
            skipReason = std::string("mkdir: ") + std::strerror(errno);
            return false;
        }
        const std::string options = std::string("size=") + size + ",mode=0700";
        if (mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            skipReason = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            return false;
        }
        mounted = true;
        return true;
    }

    void TearDown() override {
        if (mounted) umount2(mountPoint.c_str(), MNT_DETACH);
    }

    std::string On(const std::string& name) const { return mountPoint + "/" + name; }

    // Fills the file system with a file of its own, then gives back `leave` bytes.
    void Fill(off_t leave) {
        const int fd = open(On("filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        const std::vector<char> block(4096, 'x');
        off_t size = 0;
        for (ssize_t n; (n = write(fd, block.data(), block.size())) > 0;) size += n;
        ASSERT_EQ(errno, ENOSPC);
        ASSERT_EQ(ftruncate(fd, size > leave ? size - leave : 0), 0);
        close(fd);
    }

    void FreeSpace() { ASSERT_EQ(unlink(On("filler").c_str()), 0); }

    // A job statistics report of `rows` records of `writer` on the small disk.
    void WriteJobs(int writer, int rows) {
        JobStatsReport report;
        ASSERT_FALSE(JobStatsKind::OpenAppend(report, mountPoint).IsError());
        for (int seq = 0; seq < rows; ++seq) {
            ASSERT_FALSE(JobStatsKind::Append(report, RecordId(writer, seq)).IsError());
        }
        ASSERT_FALSE(report.Close().IsError());
    }

    void ExpectNoTemporaries() {
        EXPECT_TRUE(LeftoverTemporaries(mountPoint).empty()) << "a failed rewrite left its temporary file";
    }

    StressDir dir;  // holds the lock directory too, outside the small file system
    std::string mountPoint;
    std::string skipReason;
    bool mounted = false;
};

TEST_F(SmallDisk, AppendsToAFullDiskReportEveryRecordTheyCannotKeep) {
    if (!Mount("256k")) GTEST_SKIP() << skipReason;
    using Kind = VerifyArchiveKind;
    const std::string path = On(Kind::kFile);
    const auto appendMode = std::ios::out | std::ios::app;
    Kind::ReportT report;
    ASSERT_FALSE(report.Open(path, appendMode, false).IsError());
    for (int seq = 0; seq < kRecordsBefore; ++seq) {
        ASSERT_FALSE(Kind::Append(report, RecordId(kWriterBefore, seq)).IsError());
    }
    ASSERT_FALSE(report.Close().IsError());
    Fill(8192);

    ASSERT_FALSE(report.Open(path, appendMode, false).IsError());
    const Outcome outcome = AppendUntilFailure<Kind>(report, kWriterFull, kMoreAfterFirstFailure);
    ASSERT_LT(outcome.appends.size(), static_cast<std::size_t>(kNoLimit)) << "no append failed on a full disk";

    FreeSpace();
    const ReportContent full = ReadReport<Kind>(path);
    ExpectWholeReport(full, HeaderLineOf<Kind>(), "after the disk filled");
    EXPECT_EQ(CountPrefixOf(full.Ids(), kWriterBefore), static_cast<std::size_t>(kRecordsBefore));
    EXPECT_EQ(SilentLoss(outcome, full.Ids(), kWriterFull), "");

    // With space back, the report takes records again, on lines of their own.
    ASSERT_FALSE(report.Open(path, appendMode, false).IsError());
    for (int seq = 0; seq < 10; ++seq) ASSERT_FALSE(Kind::Append(report, RecordId(kWriterAfter, seq)).IsError());
    ASSERT_FALSE(report.Close().IsError());
    const ReportContent after = ReadReport<Kind>(path);
    ExpectWholeReport(after, HeaderLineOf<Kind>(), "after space returned");
    EXPECT_EQ(after.Ids(), Concat(full.Ids(), Sequence(kWriterAfter, 10)));
    ExpectNoTemporaries();
}

TEST_F(SmallDisk, DataFrameThatDoesNotFitFailsInsteadOfReportingSuccess) {
    if (!Mount("256k")) GTEST_SKIP() << skipReason;
    using Kind = DanglingStubsKind;
    const std::string path = On(Kind::kFile);
    Kind::ReportT report;
    ASSERT_FALSE(report.Open(path, std::ios::out | std::ios::app, false).IsError());
    for (int seq = 0; seq < kRecordsBefore; ++seq) {
        ASSERT_FALSE(Kind::Append(report, RecordId(kWriterBefore, seq)).IsError());
    }
    ASSERT_FALSE(report.Close().IsError());
    Fill(8192);

    Kind::ReportT::DataFrame_t frame;
    for (int seq = 0; seq < 5000; ++seq) frame.push_back(StubRecord(RecordId(kWriterFull, seq)));
    ASSERT_FALSE(report.Open(path, std::ios::out | std::ios::app, false).IsError());
    // One result covers the whole frame: it stands for the last record's append.
    Outcome outcome;
    outcome.appends.assign(frame.size(), CQiError::Success());
    outcome.appends.back() = report.AddDataFrame(frame);
    outcome.close = report.Close();
    EXPECT_TRUE(outcome.appends.back().IsError() || outcome.close.IsError());

    FreeSpace();
    const ReportContent content = ReadReport<Kind>(path);
    ExpectWholeReport(content, HeaderLineOf<Kind>(), "after the disk filled");
    EXPECT_EQ(CountPrefixOf(content.Ids(), kWriterBefore), static_cast<std::size_t>(kRecordsBefore));
    EXPECT_EQ(SilentLoss(outcome, content.Ids(), kWriterFull), "");
}

TEST_F(SmallDisk, NewReportOnAFullDiskGetsItsHeaderOnceSpaceReturns) {
    if (!Mount("256k")) GTEST_SKIP() << skipReason;
    using Kind = DroppedFilesKind;
    Fill(0);
    Kind::ReportT report;
    const CQiError opened = Kind::OpenAppend(report, mountPoint);
    Outcome outcome;
    if (opened.IsError()) {
        EXPECT_EQ(opened.GetErrNo(), 150) << opened.Describe();
    } else {
        outcome = AppendUntilFailure<Kind>(report, kWriterFull, 5, 5);
    }
    FreeSpace();
    const ReportContent full = ReadReport<Kind>(On(Kind::kFile));
    EXPECT_EQ(SilentLoss(outcome, full.Ids(), kWriterFull), "");

    ASSERT_FALSE(Kind::OpenAppend(report, mountPoint).IsError());
    for (int seq = 0; seq < 3; ++seq) ASSERT_FALSE(Kind::Append(report, RecordId(kWriterAfter, seq)).IsError());
    ASSERT_FALSE(report.Close().IsError());
    const ReportContent after = ReadReport<Kind>(On(Kind::kFile));
    ExpectWholeReport(after, HeaderLineOf<Kind>(), "after space returned");
    EXPECT_EQ(after.Ids(), Concat(full.Ids(), Sequence(kWriterAfter, 3)));
}

TEST_F(SmallDisk, MarkingJobsInvalidOnAFullDiskFailsAndKeepsTheReport) {
    if (!Mount("256k")) GTEST_SKIP() << skipReason;
    WriteJobs(kWriterBefore, 1000);
    const std::string path = On(JobStatsKind::kFile);
    const std::string before = ReadFile(path);
    Fill(0);

    const std::vector<uint64_t> rows = Sequence(kWriterBefore, 1000);
    std::vector<unsigned long> ids(rows.begin(), rows.end());
    const CQiError err = JobStatsReport::SetInvalidJobs(mountPoint, ids);
    ASSERT_TRUE(err.IsError()) << "the rewrite cannot have fitted";
    EXPECT_EQ(err.GetErrNo(), 150) << err.Describe();
    EXPECT_EQ(ReadFile(path), before);
    ExpectNoTemporaries();

    FreeSpace();
    ASSERT_FALSE(JobStatsReport::SetInvalidJobs(mountPoint, ids).IsError());
    const ReportContent after = ReadReport<JobStatsKind>(path);
    ExpectWholeReport(after, HeaderLineOf<JobStatsKind>(), "after space returned");
    ASSERT_EQ(after.Ids(), rows);
    for (const Row& row : after.rows) EXPECT_EQ(row.status, 1);
}

TEST_F(SmallDisk, RotationThatCannotCopyFailsAndKeepsBothFiles) {
    if (!Mount("4m")) GTEST_SKIP() << skipReason;
    // A first rotation leaves a full ".old"; then the report fills up again.
    WriteJobs(kWriterBefore, 10001);
    WriteJobs(kWriterFull, 9999);
    const std::string path = On(JobStatsKind::kFile);
    const std::string oldPath = path + ".old";
    const std::string report = ReadFile(path);
    const std::string old = ReadFile(oldPath);
    ASSERT_EQ(ReadReport<JobStatsKind>(path).rows.size(), 10000u);
    // A rotation copies nothing (the report is replaced by a new file holding
    // its header), so only a disk without room for a header line refuses it.
    Fill(0);

    JobStatsReport jobs;
    ASSERT_FALSE(JobStatsKind::OpenAppend(jobs, mountPoint).IsError());
    const CQiError err = JobStatsKind::Append(jobs, RecordId(kWriterAfter, 0));
    ASSERT_TRUE(err.IsError()) << "the new report's header cannot have fitted";
    EXPECT_EQ(err.GetErrNo(), 150) << err.Describe();
    jobs.Close();
    EXPECT_EQ(ReadFile(path), report) << "the report was emptied though its rows were not kept";
    EXPECT_EQ(ReadFile(oldPath), old) << "a failed rotation replaced .old";
    ExpectNoTemporaries();

    FreeSpace();
    ASSERT_FALSE(JobStatsKind::OpenAppend(jobs, mountPoint).IsError());
    ASSERT_FALSE(JobStatsKind::Append(jobs, RecordId(kWriterAfter, 0)).IsError());
    ASSERT_FALSE(jobs.Close().IsError());
    EXPECT_EQ(ReadFile(oldPath), report);
    EXPECT_EQ(ReadReport<JobStatsKind>(path).Ids(), Sequence(kWriterAfter, 1));
}

TEST_F(SmallDisk, ConvertingAnOlderLayoutOnAFullDiskFailsAndKeepsTheFile) {
    if (!Mount("256k")) GTEST_SKIP() << skipReason;
    std::string text = OldJobStatsHeader() + "\n";
    for (int seq = 0; seq < 1000; ++seq) text += OldJobStatsRow(RecordId(kWriterBefore, seq)) + "\n";
    const std::string path = On("Legacy.csv");
    WriteFile(path, text);
    Fill(0);

    JobStatsReport report;
    const CQiError err = report.Open(mountPoint, "Legacy.csv", std::ios::out | std::ios::app);
    ASSERT_TRUE(err.IsError()) << "the converted copy cannot have fitted";
    EXPECT_EQ(err.GetErrNo(), 150) << err.Describe();
    EXPECT_EQ(ReadFile(path), text);
    ExpectNoTemporaries();

    FreeSpace();
    ASSERT_FALSE(report.Open(mountPoint, "Legacy.csv", std::ios::out | std::ios::app).IsError());
    ASSERT_FALSE(report.Close().IsError());
    const ReportContent after = ReadReport<JobStatsKind>(path);
    ExpectWholeReport(after, HeaderLineOf<JobStatsKind>(), "after the conversion");
    EXPECT_EQ(after.Ids(), Sequence(kWriterBefore, 1000));
}

// /dev/full takes no byte: whatever was appended is lost, so something must
// fail. A device at a report's name is refused at Open (code 22, naming it),
// which loses nothing either.
TEST(DevFull, AppendingReportsTheLoss) {
    StressDir dir;
    for (const auto mode : {std::ios::out | std::ios::trunc, std::ios::out | std::ios::app}) {
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)));
        // A writer's open reads an existing file first; /dev/full reads as
        // endless zeros, so the child is given a deadline.
        const pid_t child = Spawn([mode]() -> int {
            VerifyArchiveReport report;
            const CQiError opened = report.Open("/dev/full", mode, false);
            if (opened.IsError()) {
                std::fprintf(stderr, "open: %s\n", opened.Describe().c_str());
                if (opened.GetErrNo() == 150) return 0;
                return opened.GetErrNo() == 22 && opened.Describe().find("character device") != std::string::npos ? 0 : 2;
            }
            const Outcome outcome = AppendUntilFailure<VerifyArchiveKind>(report, kWriterFull, 3, 3);
            const std::string problem = SilentLoss(outcome, {}, kWriterFull);
            if (!problem.empty()) std::fprintf(stderr, "%s\n", problem.c_str());
            return problem.empty() ? 0 : 1;
        });
        EXPECT_EQ(WaitFor(child, 60), 0) << "1: silent loss; 2: wrong code; -2: hung; see stderr";
    }
    struct stat st {};
    ASSERT_EQ(stat("/dev/full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
}  // namespace I2::stress
