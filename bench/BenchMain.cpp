// The benchmark driver. Before anything is timed it proves that every floor
// writes and reads exactly the bytes the library does; the scratch directory
// (data files up to 1 GiB, and the locks of this run) is removed at the end.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "BenchData.h"

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--foreach-child") == 0) return bench::ForEachChild(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "--scale-child") == 0) return bench::ScaleChild(argv[2], argv[3]);

    const std::string locks = bench::ScratchDir() + "/locks";
    std::filesystem::create_directories(locks);
    ::setenv("IDXREPORTS_LOCK_DIR", locks.c_str(), 1);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    int status = 0;
    if (bench::FloorsMatchLibrary()) {
        benchmark::RunSpecifiedBenchmarks();
    } else {
        status = 1;
    }
    benchmark::Shutdown();
    bench::RemoveScratch();
    return status;
}
