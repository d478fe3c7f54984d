#pragma once

#include <optional>
#include <string>
#include <vector>

#include <platform/QiError.h>

#include "ReportScan.h"

namespace IdxTool {

struct Console;
class ReportFile;
class ReportKind;

// The facts of one disk-samples file ("IndexCacheStats_<n>.csv") that `disks`
// lists and `metrics` publishes. "First" and "latest" are in file order: the
// order the server appended its samples, whatever its clock said.
struct DiskSummary {
    std::string path;
    ScanResult scan;  // scan.records is the number of samples
    long firstTime = 0;
    long latestTime = 0;
    unsigned long long latestFreeBytes = 0;
    std::string latestAlert;
    // The last of the library's daily averages, in MiB, when it could make them.
    std::optional<double> latestDailyAverageMiB;
};

// Whether `kind` is the kind of the disk-samples files.
bool IsDiskSamplesKind(const ReportKind* kind);
// Whether `name` is the name the library gives a disk-samples file.
bool IsDiskFileName(const std::string& name);
// The disk-samples files directly in `directory`, sorted by name.
CQiError DiskFilesIn(const std::string& directory, std::vector<std::string>& names);

// Reads the opened `file`, which must be of the disk-samples kind, once for the
// samples and once more through LogicalDiskReport::LoadIndexCacheDiskFreeSpace
// for the daily average (which stops at a line it cannot read, and then gives
// none).
CQiError SummariseDiskFile(const Console& console, ReportFile& file, DiskSummary& summary);

}  // namespace IdxTool
