// Two threads of one process, each with its own report objects, append to the
// same files. The named lock must keep them apart exactly as it keeps processes
// apart. These tests also run under ThreadSanitizer (label "threads").

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

constexpr int kThreads = 2;

int RecordsPerThread() { return EnvInt("IDXREPORTS_THREAD_RECORDS", 4000); }

template <typename Kind>
void ExpectThreadsKeepEveryRecord(int singles) {
    StressDir dir;
    WaitPatiently();
    const int count = RecordsPerThread();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int writer = 0; writer < kThreads; ++writer) {
        threads.emplace_back([&, writer] {
            if (!WriteMixed<Kind>(dir.Path(), writer, count, singles)) ++failures;
        });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(failures.load(), 0) << "a writer failed; stderr names the operation";

    const ReportContent content = ReadReport<Kind>(dir / Kind::kFile);
    ExpectWholeReport(content, HeaderLineOf<Kind>(), Kind::kFile);
    ExpectEachRecordOnce(content.rows, kThreads, count);
}

TEST(ReportThreads, TwoThreadsWithTheirOwnJobStatsReportsKeepEveryRecord) {
    ExpectThreadsKeepEveryRecord<JobStatsKind>(2);
}

TEST(ReportThreads, TwoThreadsOpeningForEveryRecordKeepEveryRecord) {
    ExpectThreadsKeepEveryRecord<DanglingStubsKind>(50);
}

TEST(ReportThreads, ReaderThreadSeesRecordsInOrderWhileAnotherAppends) {
    StressDir dir;
    WaitPatiently();
    const int count = RecordsPerThread();
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread writer([&] {
        if (!WriteMixed<VerifyArchiveKind>(dir.Path(), 0, count)) ++failures;
        done = true;
    });
    while (!done) {
        VerifyArchiveReport reader;
        if (reader.Open(dir / VerifyArchiveKind::kFile, std::ios::in, false).IsError()) continue;
        // The operating system may show a reader part of a write in progress, so
        // the last line may be cut short; every other line is a whole record.
        std::vector<uint64_t> ids;
        int unreadable = 0;
        ASSERT_FALSE(reader
                         .ForEach(
                             [&](VerifyArchiveRecord& row) {
                                 uint64_t id = 0;
                                 int status = 0;
                                 if (VerifyArchiveKind::Decode(row, id, status)) {
                                     ids.push_back(id);
                                 } else {
                                     ++unreadable;
                                 }
                                 return CQiError::Success();
                             },
                             false)
                         .IsError());
        EXPECT_LE(unreadable, 1);
        for (std::size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], RecordId(0, static_cast<int>(i)));
    }
    writer.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace I2::stress
