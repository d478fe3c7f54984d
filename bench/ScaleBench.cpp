// Cost against size and against contention, on disk-sample files:
// - the scale table: open-append-close and the daily averages on files of one
//   day, one year and (with IDXREPORTS_BENCH_TEN_YEARS=1) ten years of one-minute
//   samples, each beside its floor, each with the peak memory of a fresh process
//   that does it once; and open-append-close on files of 1 MB and 1 GiB, whose
//   ratio shows whether an append's cost grows with the file;
// - four processes appending to one report at once, one open-append-close per
//   record, against the same processes doing flock, one write, unlock.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "BenchData.h"

namespace bench {
namespace {

const char* const kDiskKey = "/var/idx/cache";
constexpr auto kAppend = std::ios::out | std::ios::app;

// A file of one-minute samples: `samples` of them, or as many as fill `bytes`.
struct Scale {
    const char* name;
    std::size_t samples;
    std::size_t bytes;
};
constexpr Scale kScales[] = {{"Day", 1440, 0}, {"Year", 525600, 0}, {"TenYears", 5256000, 0}};
// Cycled only: the daily averages of 1 GiB would be the ten years' again.
constexpr Scale kSizes[] = {{"1MB", 0, 1000000}, {"1GiB", 0, std::size_t{1} << 30}};

// The directory whose disk file holds the samples of `scale`; made once, when a
// benchmark of that scale first runs (a run filtered without it writes no 1 GiB).
const std::string& SamplesDir(const Scale& scale) {
    static std::map<std::string, std::string> dirs;
    auto it = dirs.find(scale.name);
    if (it != dirs.end()) return it->second;
    const std::string dir = ScratchDir() + "/samples-" + scale.name;
    std::filesystem::create_directories(dir);
    FloorWriter out(I2::LogicalDiskReport::GetFilePath(dir, kDiskKey));
    out.Put(DiskHeaderLine());
    std::size_t written = 0;
    for (std::size_t i = 0; i < scale.samples || written < scale.bytes; ++i) {
        char* const start = out.Room();
        char* const end = FormatDiskLine(start, DiskSample(i));
        written += static_cast<std::size_t>(end - start);
        out.Commit(end);
    }
    out.Close();
    SyncScratch();
    return dirs.emplace(scale.name, dir).first->second;
}

std::string DiskPath(const std::string& dir) { return I2::LogicalDiskReport::GetFilePath(dir, kDiskKey); }

// The floor of the daily averages: the samples streamed, parsed with from_chars
// and averaged as the library averages them.
std::vector<double> FloorDailyFreeSpace(const std::string& path) {
    std::vector<double> averages;
    long start = -1;
    unsigned long long sum = 0;
    long count = 0;
    DiskRow row;
    ForEachDataLine(path, [&](std::string_view line) {
        ParseDiskLine(line, row);
        unsigned long long mib = row.diskFree >> 20;
        if (start == -1) {
            start = row.time;
            sum = mib;
        } else if (row.time - start < 86400) {
            sum += mib;
            ++count;
        } else {
            averages.push_back(static_cast<double>(static_cast<long long>(sum)) / static_cast<double>(count + 1));
            start = row.time;
            sum = mib;
            count = 0;
        }
    });
    if (start != -1)
        averages.push_back(static_cast<double>(static_cast<long long>(sum)) / static_cast<double>(count + 1));
    return averages;
}

bool LibraryDailyFreeSpace(const std::string& dir, std::vector<double>& averages) {
    I2::LogicalDiskReport report;
    return !report.Open(dir, kDiskKey).IsError() && !report.LoadIndexCacheDiskFreeSpace(averages).IsError();
}

bool CycleOnce(const std::string& path, I2::LogicalDiskRecord record) {
    I2::LogicalDiskReport report;
    return !report.Open(path, kAppend, false).IsError() && !report.AddRecord(record).IsError() &&
           !report.Close().IsError();
}

// open, lock, one write, unlock, close: a writer that trusts the file's end.
bool CycleFloorOnce(const std::string& path, const I2::LogicalDiskRecord& record) {
    char line[kMaxLine];
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return false;
    const char* end = FormatDiskLine(line, record);
    const bool written = ::write(fd, line, static_cast<std::size_t>(end - line)) == end - line;
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return written;
}

// --- the scale table --------------------------------------------------------------

void Cycle(benchmark::State& state, const Scale& scale, bool floor) {
    const std::string& dir = SamplesDir(scale);
    const std::string path = DiskPath(dir);
    const std::size_t size = FileSize(path);
    std::size_t i = 0;
    for (auto _ : state) {
        const I2::LogicalDiskRecord& record = DiskPool()[i & (kPoolSize - 1)];
        if (!(floor ? CycleFloorOnce(path, record) : CycleOnce(path, record)))
            return state.SkipWithError("cycle failed");
        ++i;
        // Each iteration appends one line; taking it off again is not timed.
        state.PauseTiming();
        if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) return state.SkipWithError("truncate failed");
        state.ResumeTiming();
    }
    state.counters["peak_rss_MiB"] = ChildPeakMiB({"--scale-child", floor ? "cycle-floor" : "cycle", dir});
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0) state.SkipWithError("truncate failed");
}

void DiskFree(benchmark::State& state, const Scale& scale, bool floor) {
    const std::string& dir = SamplesDir(scale);
    std::vector<double> averages;
    for (auto _ : state) {
        averages.clear();
        if (floor) {
            averages = FloorDailyFreeSpace(DiskPath(dir));
        } else if (!LibraryDailyFreeSpace(dir, averages)) {
            return state.SkipWithError("load failed");
        }
        benchmark::DoNotOptimize(averages.data());
    }
    if (!floor && averages != FloorDailyFreeSpace(DiskPath(dir)))
        return state.SkipWithError("the daily averages differ from the floor's");
    state.counters["peak_rss_MiB"] = ChildPeakMiB({"--scale-child", floor ? "diskfree-floor" : "diskfree", dir});
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * scale.samples));
}

// --- four writers, one report -------------------------------------------------------

constexpr int kWriters = 4;
constexpr std::size_t kPerWriter = 5000;

enum class Writer { Ours, Floor, Reopen };

// One writer process: every record its own open-append-close (Ours); its own
// flock, write, unlock on a descriptor opened once (Floor); or the same with an
// open and a close around each (Reopen).
int ContendedWriter(const std::string& path, int writer, Writer kind) {
    if (kind != Writer::Floor) {
        for (std::size_t k = 0; k < kPerWriter; ++k) {
            const I2::LogicalDiskRecord& record = DiskPool()[(writer * kPerWriter + k) & (kPoolSize - 1)];
            if (!(kind == Writer::Ours ? CycleOnce(path, record) : CycleFloorOnce(path, record))) return 1;
        }
        return 0;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return 1;
    char line[kMaxLine];
    for (std::size_t k = 0; k < kPerWriter; ++k) {
        const char* end = FormatDiskLine(line, DiskPool()[(writer * kPerWriter + k) & (kPoolSize - 1)]);
        if (::flock(fd, LOCK_EX) != 0) return 1;
        const bool written = ::write(fd, line, static_cast<std::size_t>(end - line)) == end - line;
        ::flock(fd, LOCK_UN);
        if (!written) return 1;
    }
    ::close(fd);
    return 0;
}

void Contended(benchmark::State& state, Writer kind) {
    const std::string dir = ScratchDir() + "/contended-" + std::to_string(static_cast<int>(kind));
    std::filesystem::create_directories(dir);
    const std::string path = DiskPath(dir);
    DiskPool();  // built before the fork, not by each writer
    for (auto _ : state) {
        // Not timed: a report of just its header, and the writers started and
        // waiting on a pipe, so that they begin together.
        state.PauseTiming();
        FloorWriter(path).Put(DiskHeaderLine());
        SyncScratch();
        int go[2];
        if (::pipe(go) != 0) return state.SkipWithError("pipe failed");
        std::vector<pid_t> writers;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(go[1]);
                char c;
                while (::read(go[0], &c, 1) > 0) {
                }
                ::_exit(ContendedWriter(path, w, kind));
            }
            writers.push_back(pid);
        }
        ::close(go[0]);
        state.ResumeTiming();
        ::close(go[1]);
        bool ok = true;
        for (pid_t pid : writers) {
            int status = 0;
            ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
        }
        if (!ok) return state.SkipWithError("a writer failed");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::size_t lines = CountNewlines(fd);
    ::close(fd);
    if (lines != 1 + kWriters * kPerWriter) return state.SkipWithError("records lost or doubled");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kWriters * kPerWriter));
}

// Registered here rather than with BENCHMARK so that the ten-year case, which
// takes a while to generate and to run, is there only when asked for.
const bool kRegistered = [] {
    const char* tenYears = std::getenv("IDXREPORTS_BENCH_TEN_YEARS");
    const bool withTenYears = tenYears && std::strcmp(tenYears, "1") == 0;
    const auto name = [](const char* figure, const Scale& scale, bool floor) {
        return std::string(figure) + scale.name + (floor ? "/floor" : "/ours");
    };
    const auto cycle = [&name](const Scale& scale, bool floor) {
        benchmark::RegisterBenchmark(name("Cycle_Disk_", scale, floor).c_str(),
                                     [&scale, floor](benchmark::State& s) { Cycle(s, scale, floor); })
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    };
    for (const Scale& scale : kScales) {
        if (scale.samples > 1000000 && !withTenYears) continue;
        for (bool floor : {false, true}) {
            cycle(scale, floor);
            benchmark::RegisterBenchmark(name("DiskFree_", scale, floor).c_str(),
                                         [&scale, floor](benchmark::State& s) { DiskFree(s, scale, floor); })
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const Scale& scale : kSizes) {
        for (bool floor : {false, true}) cycle(scale, floor);
    }
    const std::pair<const char*, Writer> writers[] = {
        {"Contended_4x5000/ours", Writer::Ours},
        {"Contended_4x5000/floor", Writer::Floor},
        {"Contended_4x5000/reopen", Writer::Reopen}};
    for (const auto& [name, kind] : writers) {
        benchmark::RegisterBenchmark(name, [kind = kind](benchmark::State& s) { Contended(s, kind); })
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    }
    return true;
}();

}  // namespace

int ScaleChild(const std::string& figure, const std::string& dir) {
    bool ok = false;
    std::vector<double> averages;
    // One sample made here: the benchmark's pool of records would count in the peak.
    if (figure == "cycle") ok = CycleOnce(DiskPath(dir), DiskSample(0));
    if (figure == "cycle-floor") ok = CycleFloorOnce(DiskPath(dir), DiskSample(0));
    if (figure == "diskfree") ok = LibraryDailyFreeSpace(dir, averages);
    if (figure == "diskfree-floor") {
        averages = FloorDailyFreeSpace(DiskPath(dir));
        ok = true;
    }
    benchmark_sink = averages.size();
    PrintPeakMemory();
    return ok ? 0 : 1;
}

}  // namespace bench
