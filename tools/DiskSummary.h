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

// The library's periods: a period opens at its first sample and takes, in file
// order, every later sample less than a day after that start (or before it: a
// clock set back). Kept here as the library has it, so the averages agree,
// but streamed: a file of any length costs one period's sums.
struct Period {
    long start;
    double average;
};

class Averager {
public:
    void Add(long time, unsigned long long diskFree);
    // The last period, once the samples end.
    void Close();
    // One entry per day with samples: a few thousand for years of them.
    std::vector<Period> periods;

private:
    bool open_ = false;
    long start_ = 0;
    long double sum_ = 0;  // exact for any sum of 64-bit MiB counts a disk has
    unsigned long long samples_ = 0;
};

// Whether `kind` is the kind of the disk-samples files.
bool IsDiskSamplesKind(const ReportKind* kind);
// Whether `name` is the name the library gives a disk-samples file.
bool IsDiskFileName(const std::string& name);
// The disk-samples files directly in `directory`, sorted by name.
CQiError DiskFilesIn(const std::string& directory, std::vector<std::string>& names);

// Reads the opened `file`, which must be of the disk-samples kind, once, and
// averages its samples as the library does. Only a file with a line the tool
// could not read (or a last line without its line end, or one that grew
// meanwhile) is read again, through LogicalDiskReport::
// LoadIndexCacheDiskFreeSpace: the library's own judgement of such lines is
// what the daily average must show (it stops at a line it cannot read, and then
// gives none).
CQiError SummariseDiskFile(const Console& console, ReportFile& file, DiskSummary& summary);

}  // namespace IdxTool
