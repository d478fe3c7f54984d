#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Output.h"

// The subcommands of idxreport. Each returns the process's exit code (see
// ExitCode) and writes through the Console it is given.
namespace IdxTool {

struct Console;

struct ShowOptions {
    std::string file;
    Format format = Format::Auto;
    std::optional<std::size_t> head;
    std::optional<std::size_t> tail;
};
// Prints the records of a report file of any kind.
int Show(const Console& console, const ShowOptions& options);

struct CheckOptions {
    std::vector<std::string> files;
    bool repair = false;
    int lockTimeoutMs = 0;  // 0: the library's default wait for the lock; < 0: no limit
};
// Checks report files line by line; with `repair`, moves unreadable lines aside.
int Check(const Console& console, const CheckOptions& options);

// Summarises DIR/JobStats.csv and its ".old".
int Jobs(const Console& console, const std::string& directory, bool json);

// Marks the rows of the listed jobs in DIR/JobStats.csv invalid.
int Invalidate(const Console& console, const std::string& directory, std::vector<unsigned long> jobIds);

// The daily average free space of one disk's samples.
int FreeSpace(const Console& console, const std::string& directory, const std::string& diskKey, Format format);
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
