#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Output.h"

// The subcommands of idxreport. Each returns the process's exit code (see
// ExitCode) and writes through the Console it is given.
namespace IdxTool {

struct Console;

struct ShowOptions {
    std::vector<std::string> files;  // "-": standard input
    Format format = Format::Auto;
    std::optional<std::size_t> head;
    std::optional<std::size_t> tail;
    std::vector<std::string> columns;  // header names; empty: all
    std::vector<std::pair<std::string, std::string>> where;  // column, exact text
    std::optional<long> since;  // seconds since 1970: records at or after
    std::optional<long> until;  // records before
};
// Prints the records of report files of any kind.
int Show(const Console& console, const ShowOptions& options);
// Seconds since 1970 ("1709251200") or an ISO 8601 date or date-time in UTC
// ("2024-03-01", "2024-03-01T08:00:00Z"). False when `text` is neither.
bool ParseTime(const std::string& text, long& seconds);

struct CheckOptions {
    std::vector<std::string> files;
    bool repair = false;
    int lockTimeoutMs = 0;  // 0: the library's default wait for the lock; < 0: no limit
};
// Checks report files line by line; with `repair`, moves unreadable lines and
// unterminated tails aside. kExitRepaired when it changed files and all are sound.
int Check(const Console& console, const CheckOptions& options);

// Summarises DIR/JobStats.csv and its ".old" (a path to JobStats.csv itself
// names its directory). `format` is Table or Json.
int Jobs(const Console& console, const std::string& directory, Format format);

// Marks the rows of the listed jobs in DIR/JobStats.csv invalid. Fails when a
// listed job has no row there.
int Invalidate(const Console& console, const std::string& directory, std::vector<unsigned long> jobIds);

// The average free space of one disk's samples per one-day period: the disk
// file given as `file`, or the one of `diskKey` in `directory`.
struct FreeSpaceOptions {
    std::string file;
    std::string directory;
    std::string diskKey;
    Format format = Format::Auto;
};
int FreeSpace(const Console& console, const FreeSpaceOptions& options);
// The file name a disk key maps to.
int DiskFile(const Console& console, const std::string& diskKey);

// Lists the disk-samples files of DIR; `format` is table, csv, json, jsonl or
// empty (a table on a terminal, csv otherwise).
int Disks(const Console& console, const std::string& directory, const std::string& format);

struct MetricsOptions {
    std::vector<std::string> directories;
    std::string textfileDirectory;  // empty: print to stdout
};
// Prometheus metrics of the reports in each directory.
int Metrics(const Console& console, const MetricsOptions& options);

// Plays an index server for thirty days in a fresh directory and shows what it
// wrote. An empty `directory` makes a new one under the temp directory.
int Demo(const Console& console, const std::string& directory);

}  // namespace IdxTool
