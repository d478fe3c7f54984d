// Appending a million records in one open/close, against to_chars + fwrite.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "BenchData.h"

namespace bench {
namespace {

constexpr std::size_t kRecords = 1000000;
constexpr std::size_t kMask = kPoolSize - 1;
constexpr auto kAppend = std::ios::out | std::ios::app;

// Each iteration starts from a missing file and a file system with nothing left
// to write back; getting there is not timed.
void StartAfresh(benchmark::State& state, const std::string& path) {
    state.PauseTiming();
    std::remove(path.c_str());
    SyncScratch();
    state.ResumeTiming();
}

void Finish(benchmark::State& state, const std::string& path) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRecords));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FileSize(path)));
    std::remove(path.c_str());
}

template <typename ReportT, typename AddT>
void AppendOurs(benchmark::State& state, const char* name, bool checkHeader, AddT add) {
    const std::string path = ScratchDir() + "/" + name;
    for (auto _ : state) {
        StartAfresh(state, path);
        ReportT report;
        if (report.Open(path, kAppend, checkHeader).IsError()) return state.SkipWithError("open failed");
        for (std::size_t i = 0; i < kRecords; ++i)
            if (add(report, i & kMask).IsError()) return state.SkipWithError("append failed");
        if (report.Close().IsError()) return state.SkipWithError("close failed");
    }
    Finish(state, path);
}

template <typename FormatT>
void AppendFloor(benchmark::State& state, const char* name, const std::string& header, FormatT format) {
    const std::string path = ScratchDir() + "/" + name;
    for (auto _ : state) {
        StartAfresh(state, path);
        FloorWriter out(path);
        out.Put(header);
        for (std::size_t i = 0; i < kRecords; ++i) out.Commit(format(out.Room(), i & kMask));
        out.Close();
    }
    Finish(state, path);
}

void AppendJobStatsOurs(benchmark::State& state) {
    JobPool();
    AppendOurs<UnlimitedJobStatsReport>(state, "append-jobs.csv", true, [](auto& report, std::size_t i) {
        return report.AddRecord(JobPool()[i]);
    });
}
void AppendJobStatsFloor(benchmark::State& state) {
    JobPool();
    AppendFloor(state, "append-jobs-floor.csv", JobHeaderLine(),
                [](char* o, std::size_t i) { return FormatJobLine(o, JobPool()[i]); });
}

void AppendStubsOurs(benchmark::State& state) {
    StubPool();
    AppendOurs<I2::DanglingStubsReport>(state, "append-stubs.csv", false, [](auto& report, std::size_t i) {
        const StubArgs& s = StubPool()[i];
        return report.AddDanglingStubsInfo(s.filePath, s.stubsVersionGUID, s.dataVersionGUID, s.modifiedTimestamp,
                                           s.sizeInBytes, s.pulledForward, s.stubType, s.origAppGUID);
    });
}
void AppendStubsFloor(benchmark::State& state) {
    StubPool();
    AppendFloor(state, "append-stubs-floor.csv", StubHeaderLine(),
                [](char* o, std::size_t i) { return FormatStubLine(o, StubPool()[i]); });
}

void AppendDiskOurs(benchmark::State& state) {
    DiskPool();
    AppendOurs<I2::LogicalDiskReport>(state, "append-disk.csv", false, [](auto& report, std::size_t i) {
        return report.AddRecord(DiskPool()[i]);
    });
}
void AppendDiskFloor(benchmark::State& state) {
    DiskPool();
    AppendFloor(state, "append-disk-floor.csv", DiskHeaderLine(),
                [](char* o, std::size_t i) { return FormatDiskLine(o, DiskPool()[i]); });
}

}  // namespace

BENCHMARK(AppendJobStatsOurs)->Name("Append_JobStats_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AppendJobStatsFloor)->Name("Append_JobStats_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AppendStubsOurs)->Name("Append_Stubs_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AppendStubsFloor)->Name("Append_Stubs_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AppendDiskOurs)->Name("Append_Disk_1M/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AppendDiskFloor)->Name("Append_Disk_1M/floor")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace bench
