#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
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
    // Holds the last `keep` periods: a file whose every sample is a day after
    // the one before has as many periods as lines.
    explicit Averager(std::size_t keep = 1) : keep_(keep) {}
    void Add(long time, unsigned long long diskFree);
    // The last period, once the samples end.
    void Close();
    // The last `keep` periods in file order, and how many closed before them.
    std::deque<Period> periods;
    unsigned long long dropped = 0;

private:
    std::size_t keep_;
    bool open_ = false;
    long start_ = 0;
    long double sum_ = 0;  // exact for any sum of 64-bit MiB counts a disk has
    unsigned long long samples_ = 0;
};

// A disk sample in its everyday form: nine unquoted fields, the eight numbers
// plain decimal digits (no sign, no leading zero, at most 18 digits), and an
// alert of printable ASCII that neither starts nor ends with a blank and holds
// no quote:  1000,10,20,30,0,5,8192,4096,disk low
// Such a line reads the same whichever way it is read, so it is taken in one
// pass; splitting, checking, parsing and printing back every one of a year's
// samples made `metrics` several times the cost of reading its files. Returns
// false for any other line, which then goes the full way: that alone judges it.
struct PlainSample {
    long time = 0;
    unsigned long long diskFree = 0;
    std::string_view alert;  // into the line
};
bool ReadPlainSample(std::string_view line, PlainSample& sample);

// Whether `kind` is the kind of the disk-samples files.
bool IsDiskSamplesKind(const ReportKind* kind);
// Whether `name` is the name the library gives a disk-samples file.
bool IsDiskFileName(const std::string& name);
// The disk-samples files directly in `directory`, sorted by name.
CQiError DiskFilesIn(const std::string& directory, std::vector<std::string>& names);

// Reads the opened `file`, which must be of the disk-samples kind, once, and
// averages its samples as the library does. The library's own averaging
// (LogicalDiskReport::LoadIndexCacheDiskFreeSpace) stops at a line it cannot
// read and then gives none, and reads no bytes after the last line end: a file
// with an unreadable line has no daily average here either.
CQiError SummariseDiskFile(const Console& console, ReportFile& file, DiskSummary& summary);

}  // namespace IdxTool
