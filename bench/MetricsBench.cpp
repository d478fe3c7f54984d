// idxreport metrics on a directory as full as a node's gets: a 10,000-row
// JobStats.csv, its .old, and two disk-samples files of a year of one-minute
// samples each; against reading and parsing the same four files once.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "BenchData.h"
#include "Console.h"
#include "Metrics.h"

namespace bench {
namespace {

constexpr std::size_t kJobRows = 10000;
constexpr std::size_t kYearOfMinutes = 525600;

struct MetricsFiles {
    std::string directory;
    std::vector<std::string> jobFiles;
    std::vector<std::string> diskFiles;
};

const MetricsFiles& Files() {
    static const MetricsFiles files = [] {
        MetricsFiles f;
        f.directory = ScratchDir() + "/metrics";
        std::filesystem::create_directories(f.directory);
        f.jobFiles = {f.directory + "/JobStats.csv.old", f.directory + "/JobStats.csv"};
        for (std::size_t file = 0; file < f.jobFiles.size(); ++file) {
            FloorWriter out(f.jobFiles[file]);
            out.Put(JobHeaderLine());
            for (std::size_t i = 0; i < kJobRows; ++i)
                out.Commit(FormatJobLine(out.Room(), JobPool()[file * kJobRows + i]));
            out.Close();
        }
        for (const char* key : {"/var/lib/idxserver/index-cache", "/mnt/idxcache-2"}) {
            f.diskFiles.push_back(I2::LogicalDiskReport::GetFilePath(f.directory, key));
            FloorWriter out(f.diskFiles.back());
            out.Put(DiskHeaderLine());
            for (std::size_t i = 0; i < kYearOfMinutes; ++i) out.Commit(FormatDiskLine(out.Room(), DiskSample(i)));
            out.Close();
        }
        SyncScratch();
        return f;
    }();
    return files;
}

void MetricsOurs(benchmark::State& state) {
    const MetricsFiles& files = Files();
    std::ostream nowhere(nullptr);
    const IdxTool::Console console{nowhere, nowhere, false, false, false};
    for (auto _ : state) {
        std::string text;
        if (!IdxTool::CollectMetrics(console, {files.directory}, text) ||
            text.find("idxreports_disk_daily_average_free_bytes") == std::string::npos)
            return state.SkipWithError("metrics failed");
        benchmark::DoNotOptimize(text.data());
    }
}

void MetricsFloor(benchmark::State& state) {
    const MetricsFiles& files = Files();
    for (auto _ : state) {
        unsigned long long total = 0;
        JobRow job;
        DiskRow disk;
        for (const std::string& path : files.jobFiles)
            ForEachDataLine(path, [&](std::string_view line) {
                ParseJobLine(line, job);
                total += job.totalCommands;
            });
        for (const std::string& path : files.diskFiles)
            ForEachDataLine(path, [&](std::string_view line) {
                ParseDiskLine(line, disk);
                total += disk.diskFree;
            });
        benchmark::DoNotOptimize(total);
    }
}

BENCHMARK(MetricsOurs)->Name("Metrics_FullDirectory/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(MetricsFloor)->Name("Metrics_FullDirectory/floor")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bench
