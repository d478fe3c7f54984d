// Loading and walking a million lines (and a 1 GB report), against read() +
// from_chars.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "BenchData.h"

namespace bench {
namespace {

constexpr std::size_t kLines = 1000000;

void Finish(benchmark::State& state, const std::string& path, std::size_t lines = kLines) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
}

template <typename ReportT>
void LoadAllOurs(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        ReportT report;
        typename ReportT::DataFrame_t frame;
        if (report.Open(path, std::ios::in, false).IsError() || report.LoadAll(frame).IsError())
            return state.SkipWithError("load failed");
        if (frame.size() != kLines) return state.SkipWithError("wrong number of records");
        report.Close();
        benchmark::DoNotOptimize(frame.data());
    }
    Finish(state, path);
}

template <typename RowT, typename ParseT>
void LoadAllFloor(benchmark::State& state, const std::string& path, ParseT parse) {
    for (auto _ : state) {
        std::vector<RowT> rows;
        ForEachDataLine(path, [&](std::string_view line) {
            rows.emplace_back();
            parse(line, rows.back());
        });
        if (rows.size() != kLines) return state.SkipWithError("wrong number of rows");
        benchmark::DoNotOptimize(rows.data());
    }
    Finish(state, path);
}

// The callback reads two fields, so that the parse cannot be skipped. `lines`:
// the number of data lines the file must hold.
template <typename ReportT, typename SumT>
void ForEachOurs(benchmark::State& state, const std::string& path, std::size_t lines, SumT sum) {
    for (auto _ : state) {
        ReportT report;
        unsigned long long total = 0;
        std::size_t seen = 0;
        if (report.Open(path, std::ios::in, false).IsError()) return state.SkipWithError("open failed");
        CQiError err = report.ForEach(
            [&](auto& record) {
                total += sum(record);
                ++seen;
                return CQiError::Success();
            },
            true);
        if (err.IsError() || seen != lines) return state.SkipWithError("traversal failed");
        report.Close();
        benchmark::DoNotOptimize(total);
    }
    Finish(state, path, lines);
}

template <typename RowT, typename ParseT, typename SumT>
void ForEachFloor(benchmark::State& state, const std::string& path, std::size_t lines, ParseT parse, SumT sum) {
    for (auto _ : state) {
        RowT row;
        unsigned long long total = 0;
        std::size_t seen = 0;
        ForEachDataLine(path, [&](std::string_view line) {
            parse(line, row);
            total += sum(row);
            ++seen;
        });
        if (seen != lines) return state.SkipWithError("wrong number of rows");
        benchmark::DoNotOptimize(total);
    }
    Finish(state, path, lines);
}

unsigned long long JobSum(const I2::JobStatsRecord& r) { return r.GetJobId() + r.GetRootSize(); }
unsigned long long JobRowSum(const JobRow& r) { return r.jobId + r.rootSize; }

// Peak resident memory (MiB) of a fresh process that walks `path` with ForEach.
double PeakRssMiB(const std::string& path) { return ChildPeakMiB({"--foreach-child", path}); }

std::size_t JobFile1GBLines() {
    static const std::size_t lines = [] {
        int fd = ::open(WarmJobFile1GB().c_str(), O_RDONLY | O_CLOEXEC);
        const std::size_t newlines = CountNewlines(fd);
        ::close(fd);
        return newlines - 1;
    }();
    return lines;
}

void ForEach1GBOurs(benchmark::State& state) {
    ForEachOurs<UnlimitedJobStatsReport>(state, WarmJobFile1GB(), JobFile1GBLines(), JobSum);
    // The same walk in a fresh process, over the 1 GB file and over a report with
    // no data lines: equal peaks mean the walk holds no more than a line at a time.
    static const double peak1GB = PeakRssMiB(WarmJobFile1GB());
    static const double peakEmpty = [] {
        std::string empty = ScratchDir() + "/header-only.csv";
        FloorWriter(empty).Put(JobHeaderLine());
        return PeakRssMiB(empty);
    }();
    state.counters["peak_rss_MiB"] = peak1GB;
    state.counters["peak_rss_empty_MiB"] = peakEmpty;
}
void ForEach1GBFloor(benchmark::State& state) {
    ForEachFloor<JobRow>(state, WarmJobFile1GB(), JobFile1GBLines(), ParseJobLine, JobRowSum);
}

void LoadAllJobStatsOurs(benchmark::State& state) { LoadAllOurs<UnlimitedJobStatsReport>(state, JobFile1M()); }
void LoadAllJobStatsFloor(benchmark::State& state) { LoadAllFloor<JobRow>(state, JobFile1M(), ParseJobLine); }
void LoadAllDiskOurs(benchmark::State& state) { LoadAllOurs<I2::LogicalDiskReport>(state, DiskFile1M()); }
void LoadAllDiskFloor(benchmark::State& state) { LoadAllFloor<DiskRow>(state, DiskFile1M(), ParseDiskLine); }

void ForEachJobStatsOurs(benchmark::State& state) {
    ForEachOurs<UnlimitedJobStatsReport>(state, JobFile1M(), kLines, JobSum);
}
void ForEachJobStatsFloor(benchmark::State& state) {
    ForEachFloor<JobRow>(state, JobFile1M(), kLines, ParseJobLine, JobRowSum);
}
void ForEachDiskOurs(benchmark::State& state) {
    ForEachOurs<I2::LogicalDiskReport>(state, DiskFile1M(), kLines, [](const I2::LogicalDiskRecord& r) {
        return static_cast<unsigned long long>(r.GetTime()) + r.GetDiskFree();
    });
}
void ForEachDiskFloor(benchmark::State& state) {
    ForEachFloor<DiskRow>(state, DiskFile1M(), kLines, ParseDiskLine, [](const DiskRow& r) {
        return static_cast<unsigned long long>(r.time) + r.diskFree;
    });
}

// A million disk samples whose six usage and size fields do not convert, each
// about as long as the number it replaces: trailing garbage, a stray decimal
// point, a doubled sign, leading garbage. Every such field then reads as its
// fallback, which must cost about what a number that converts costs. Time and
// free space stay numbers: a sample without them is no sample at all.
const std::string& BadNumberDiskFile1M() {
    static const std::string path = [] {
        const std::string p = ScratchDir() + "/disk-bad-numbers-1M.csv";
        FloorWriter out(p);
        out.Put(DiskHeaderLine());
        char good[kMaxLine];
        for (std::size_t i = 0; i < kLines; ++i) {
            const char* const end = FormatDiskLine(good, DiskPool()[i & (kPoolSize - 1)]);
            std::string_view rest(good, static_cast<std::size_t>(end - good));
            std::string line;
            for (std::size_t field = 0; field < 8; ++field) {
                std::string number(rest.substr(0, rest.find(',')));
                rest.remove_prefix(number.size() + 1);
                const bool kept = field == 0 || field == 7;  // Time, DiskFree
                switch (kept ? 4 : (i + field) % 4) {
                    case 0: number += 'x'; break;
                    case 1: number.insert(number.size() / 2 + 1, 1, '.'); break;
                    case 2: number.insert(0, "--"); break;
                    case 3: number[0] = 'n'; break;
                    default: break;
                }
                line += number + ',';
            }
            line += rest;  // the alert and the line end
            out.Put(std::string_view(line.data(), line.size() - 1));
        }
        out.Close();
        SyncScratch();
        return p;
    }();
    return path;
}

unsigned long long DiskSum(const I2::LogicalDiskRecord& r) {
    return static_cast<unsigned long long>(r.GetTime()) + r.GetDiskFree();
}

void ForEachBadNumbersOurs(benchmark::State& state) {
    ForEachOurs<I2::LogicalDiskReport>(state, BadNumberDiskFile1M(), kLines, [](const I2::LogicalDiskRecord& r) {
        if (r.GetDiskSize() != 0) std::abort();  // a number that should not have converted did
        return DiskSum(r);
    });
}
void ForEachBadNumbersGood(benchmark::State& state) {
    ForEachOurs<I2::LogicalDiskReport>(state, DiskFile1M(), kLines, DiskSum);
}

}  // namespace

BENCHMARK(ForEachBadNumbersOurs)->Name("ForEach_Disk_BadNumbers_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEachBadNumbersGood)->Name("ForEach_Disk_BadNumbers_1M/good")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadAllJobStatsOurs)->Name("LoadAll_JobStats_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadAllJobStatsFloor)->Name("LoadAll_JobStats_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadAllDiskOurs)->Name("LoadAll_Disk_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(LoadAllDiskFloor)->Name("LoadAll_Disk_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEachJobStatsOurs)->Name("ForEach_JobStats_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEachJobStatsFloor)->Name("ForEach_JobStats_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEachDiskOurs)->Name("ForEach_Disk_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEachDiskFloor)->Name("ForEach_Disk_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEach1GBOurs)->Name("ForEach_JobStats_1GB/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ForEach1GBFloor)->Name("ForEach_JobStats_1GB/floor")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace bench
