// Whole-file operations: counting a 1 GB report on open, the open-append-close
// cycle of a job, rewriting with SetInvalidJobs, and the lock; each against what
// the system calls alone cost. (Disk samples at every scale: ScaleBench.cpp.)

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <platform/IdxNamedMutex.h>

#include "BenchData.h"

namespace bench {
namespace {

constexpr auto kAppend = std::ios::out | std::ios::app;

// --- counting the lines of a 1 GB report when it is opened for appending --------

void OpenCountOurs(benchmark::State& state) {
    const std::string& path = WarmJobFile1GB();
    for (auto _ : state) {
        UnlimitedJobStatsReport report;
        if (report.Open(path, kAppend, true).IsError()) return state.SkipWithError("open failed");
        report.Close();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}

void OpenCountFloor(benchmark::State& state) {
    const std::string& path = WarmJobFile1GB();
    for (auto _ : state) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(CountNewlines(fd));
        ::close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}

void OpenCountWc(benchmark::State& state) {
    const std::string& path = WarmJobFile1GB();
    for (auto _ : state)
        if (!RunProgram({"/usr/bin/wc", "-l", path})) return state.SkipWithError("wc -l failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}

// --- one job: open, append, close on a full-sized "JobStats.csv" ------------------

constexpr std::size_t kJobLines = 9999;  // with its header, a 10,000-line file

struct CycleFile {
    std::string dir;
    std::string path;
    std::size_t size = 0;
};

const CycleFile& MakeCycleFile(const char* name) {
    static std::vector<std::unique_ptr<CycleFile>> files;
    files.push_back(std::make_unique<CycleFile>());
    CycleFile& f = *files.back();
    f.dir = ScratchDir() + "/" + name;
    std::filesystem::create_directories(f.dir);
    f.path = f.dir + "/" + I2::JobStatsReport::FileName;
    FloorWriter out(f.path);
    out.Put(JobHeaderLine());
    for (std::size_t i = 0; i < kJobLines; ++i) out.Commit(FormatJobLine(out.Room(), JobPool()[i]));
    out.Close();
    f.size = FileSize(f.path);
    return f;
}

// Each iteration appends one line; taking it off again is not timed.
void Restore(benchmark::State& state, const CycleFile& f) {
    state.PauseTiming();
    if (::truncate(f.path.c_str(), static_cast<off_t>(f.size)) != 0) state.SkipWithError("truncate failed");
    state.ResumeTiming();
}

void CycleOurs(benchmark::State& state) {
    static const CycleFile& f = MakeCycleFile("cycle-ours");
    std::size_t i = 0;
    for (auto _ : state) {
        I2::JobStatsReport report;
        I2::JobStatsRecord record = JobPool()[i++ & (kPoolSize - 1)];
        if (report.Open(f.dir, I2::JobStatsReport::FileName, kAppend).IsError() ||
            report.AddJobStats(record).IsError() || report.Close().IsError())
            return state.SkipWithError("cycle failed");
        Restore(state, f);
    }
}

void CycleFloor(benchmark::State& state) {
    static const CycleFile& f = MakeCycleFile("cycle-floor");
    std::size_t i = 0;
    char line[kMaxLine];
    for (auto _ : state) {
        int fd = ::open(f.path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return state.SkipWithError("open failed");
        benchmark::DoNotOptimize(CountNewlines(fd));
        I2::JobStatsRecord record = JobPool()[i++ & (kPoolSize - 1)];
        record.SetTimestamp(::time(nullptr));
        char* end = FormatJobLine(line, record);
        if (::write(fd, line, static_cast<std::size_t>(end - line)) != end - line)
            return state.SkipWithError("write failed");
        ::flock(fd, LOCK_UN);
        ::close(fd);
        Restore(state, f);
    }
}

// --- SetInvalidJobs on a full file ------------------------------------------------

constexpr std::size_t kFullLines = 10000;

std::string MakeFullJobDir(const char* name) {
    std::string dir = ScratchDir() + "/" + name;
    std::filesystem::create_directories(dir);
    FloorWriter out(dir + "/" + I2::JobStatsReport::FileName);
    out.Put(JobHeaderLine());
    for (std::size_t i = 0; i < kFullLines; ++i) out.Commit(FormatJobLine(out.Room(), JobPool()[i]));
    out.Close();
    return dir;
}

// Every 100th job of the file, and some that are not in it.
std::vector<unsigned long> InvalidIds() {
    std::vector<unsigned long> ids;
    for (std::size_t i = 0; i < kFullLines; i += 100) ids.push_back(JobPool()[i].GetJobId());
    for (unsigned long k = 0; k < 20; ++k) ids.push_back(9000000 + k);
    std::reverse(ids.begin(), ids.end());
    return ids;
}

void SetInvalidJobsOurs(benchmark::State& state) {
    static const std::string dir = MakeFullJobDir("invalid-ours");
    for (auto _ : state) {
        std::vector<unsigned long> ids = InvalidIds();
        if (I2::JobStatsReport::SetInvalidJobs(dir, ids).IsError()) return state.SkipWithError("failed");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFullLines));
}

// Read, parse every field, mark, format, write a temporary file, sync, rename
// over the report, sync the directory: the durable rewrite with nothing else.
void SetInvalidJobsFloor(benchmark::State& state) {
    static const std::string dir = MakeFullJobDir("invalid-floor");
    const std::string path = dir + "/" + I2::JobStatsReport::FileName;
    const std::string tmp = path + ".tmp";
    const std::string header = JobHeaderLine();
    std::vector<JobRow> rows;
    std::vector<char> out;
    for (auto _ : state) {
        std::vector<unsigned long> ids = InvalidIds();
        int lockFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lockFd < 0 || ::flock(lockFd, LOCK_EX) != 0) return state.SkipWithError("lock failed");
        rows.clear();
        ForEachDataLine(path, [&](std::string_view line) {
            rows.emplace_back();
            ParseJobLine(line, rows.back());
        });
        std::sort(ids.begin(), ids.end());
        out.resize(header.size() + 1 + rows.size() * 400);
        char* o = out.data();
        std::memcpy(o, header.data(), header.size());
        o += header.size();
        *o++ = '\n';
        for (JobRow& r : rows) {
            if (std::binary_search(ids.begin(), ids.end(), r.jobId)) r.status = 1;
            o = FormatJobRow(o, r);
        }
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::size_t length = static_cast<std::size_t>(o - out.data());
        if (fd < 0 || ::write(fd, out.data(), length) != static_cast<ssize_t>(length) || ::fsync(fd) != 0)
            return state.SkipWithError("write failed");
        ::close(fd);
        if (::rename(tmp.c_str(), path.c_str()) != 0) return state.SkipWithError("rename failed");
        int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fsync(dirFd);
        ::close(dirFd);
        ::flock(lockFd, LOCK_UN);
        ::close(lockFd);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFullLines));
}

// --- an uncontended lock ------------------------------------------------------------

void LockOurs(benchmark::State& state) {
    I2::Utils::IdxNamedMutex mutex("_idxreports-bench_" + std::to_string(::getpid()));
    for (auto _ : state) {
        if (!mutex.lock(0)) return state.SkipWithError("lock failed");
        mutex.unlock();
    }
}

void LockFloor(benchmark::State& state) {
    std::string path = ScratchDir() + "/flock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    for (auto _ : state) {
        ::flock(fd, LOCK_EX);
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
}

}  // namespace

#define IDX_BENCH(fn, name, unit) BENCHMARK(fn)->Name(name)->UseRealTime()->Unit(benchmark::unit)
IDX_BENCH(OpenCountOurs, "OpenCount_1GB/ours", kMillisecond);
IDX_BENCH(OpenCountFloor, "OpenCount_1GB/floor", kMillisecond);
IDX_BENCH(OpenCountWc, "OpenCount_1GB/wc", kMillisecond);
IDX_BENCH(CycleOurs, "Cycle_JobStats_10k/ours", kMicrosecond);
IDX_BENCH(CycleFloor, "Cycle_JobStats_10k/floor", kMicrosecond);
IDX_BENCH(SetInvalidJobsOurs, "SetInvalidJobs_10k/ours", kMillisecond);
IDX_BENCH(SetInvalidJobsFloor, "SetInvalidJobs_10k/floor", kMillisecond);
IDX_BENCH(LockOurs, "Lock_AcquireRelease/ours", kNanosecond);
IDX_BENCH(LockFloor, "Lock_AcquireRelease/floor", kNanosecond);

}  // namespace bench
