// idxreport: reads, checks and repairs the report files of an index server.
// This file only parses the command line; the work is in Commands*.cpp.
#include <cstddef>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Console.h"
#include "System.h"

namespace {

CLI::Option* AddFormat(CLI::App* command, std::string& format, const std::vector<std::string>& allowed,
                       const std::string& help) {
    return command->add_option("--format", format, help)->check(CLI::IsMember(allowed));
}

// One line, whatever the parser's message holds.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace IdxTool;

    CLI::App app{"Reads, checks and repairs the report files of an index server.", "idxreport"};
    app.set_version_flag("--version", std::string("idxreport ") + IDXREPORT_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "On failure, also print where the error arose, one location per line");

    ShowOptions show;
    std::string showFormat;
    std::size_t head = 0;
    std::size_t tail = 0;
    CLI::App* showCommand = app.add_subcommand("show", "Print the records of a report file of any kind");
    showCommand->add_option("file", show.file, "The report file")->required();
    AddFormat(showCommand, showFormat, {"table", "csv", "json"},
              "table, csv or json (default: a table on a terminal, csv otherwise)");
    CLI::Option* headOption = showCommand->add_option("--head", head, "Only the first N records");
    CLI::Option* tailOption = showCommand->add_option("--tail", tail, "Only the last N records");
    headOption->excludes(tailOption);

    CheckOptions check;
    CLI::App* checkCommand = app.add_subcommand("check", "Check report files line by line; exit 1 on any problem");
    checkCommand->add_option("files", check.files, "Report files")->required();
    checkCommand->add_flag("--repair", check.repair,
                           "Move unreadable lines to FILE.bad and rewrite the report without them, "
                           "under the report's lock");
    checkCommand->add_option("--lock-timeout", check.lockTimeoutMs,
                             "With --repair: how long to wait for the report's lock, in milliseconds "
                             "(0: the library's default, -1: no limit)");

    std::string directory;
    std::string jobsFormat;
    CLI::App* jobsCommand = app.add_subcommand("jobs", "Summarise DIR/JobStats.csv and its .old");
    jobsCommand->add_option("dir", directory, "The directory of JobStats.csv")->required();
    AddFormat(jobsCommand, jobsFormat, {"text", "json"}, "text or json (default: text)");

    std::string diskKey;
    std::string freeFormat;
    CLI::App* freeCommand = app.add_subcommand("freespace", "Daily average free space of one disk, in MiB");
    freeCommand->add_option("dir", directory, "The directory of the disk's samples")->required();
    freeCommand->add_option("diskkey", diskKey, "The text that names the disk")->required();
    AddFormat(freeCommand, freeFormat, {"table", "csv", "json"},
              "table, csv or json (default: a table with bars on a terminal, csv otherwise)");

    CLI::App* diskFileCommand = app.add_subcommand("diskfile", "Print the file name a disk key maps to");
    diskFileCommand->add_option("diskkey", diskKey, "The text that names the disk")->required();

    std::vector<unsigned long> jobIds;
    CLI::App* invalidateCommand = app.add_subcommand("invalidate", "Mark the rows of jobs in DIR/JobStats.csv invalid");
    invalidateCommand->add_option("dir", directory, "The directory of JobStats.csv")->required();
    invalidateCommand->add_option("jobids", jobIds, "Job ids")->required();

    std::string disksFormat;
    CLI::App* disksCommand = app.add_subcommand("disks", "List the disk-samples files of DIR");
    disksCommand->add_option("dir", directory, "The directory of the disk-samples files")->required();
    AddFormat(disksCommand, disksFormat, {"table", "csv", "json", "jsonl"},
              "table, csv, json or jsonl (default: a table on a terminal, csv otherwise)");

    MetricsOptions metrics;
    CLI::App* metricsCommand =
        app.add_subcommand("metrics", "Print Prometheus metrics of the reports in each DIR");
    metricsCommand->add_option("dirs", metrics.directories, "Report directories")->required();
    metricsCommand->add_option("--textfile-dir", metrics.textfileDirectory,
                               "Write DIR/idxreports.prom atomically, for node_exporter's textfile collector, "
                               "instead of printing");

    CLI::App* demoCommand =
        app.add_subcommand("demo", "Play an index server for thirty days in a fresh directory and show the result");
    demoCommand->add_option("dir", directory, "A new or empty directory (default: a new one under $TMPDIR or /tmp)");

    // Set after the subcommands: each copies its parent's footer when it is
    // added, and the exit status belongs to `idxreport --help` once. The man
    // page takes its EXIT STATUS section from here.
    app.footer("Exit status:\n  " + std::to_string(kExitOk) + "  success\n  " + std::to_string(kExitFailed) +
               "  an operation failed, or a check found problems\n  " + std::to_string(kExitUsage) +
               "  a wrong command line");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        std::cerr << "idxreport: " << OneLine(e.what()) << " (see idxreport --help)\n";
        return kExitUsage;
    }

    const Console console{std::cout, std::cerr, StdoutIsTerminal(), StderrIsTerminal(), verbose};
    try {
        if (*showCommand) {
            show.format = ParseFormat(showFormat);
            if (headOption->count() > 0) show.head = head;
            if (tailOption->count() > 0) show.tail = tail;
            return Show(console, show);
        }
        if (*checkCommand) return Check(console, check);
        if (*jobsCommand) return Jobs(console, directory, jobsFormat == "json");
        if (*freeCommand) return FreeSpace(console, directory, diskKey, ParseFormat(freeFormat));
        if (*diskFileCommand) return DiskFile(console, diskKey);
        if (*invalidateCommand) return Invalidate(console, directory, jobIds);
        if (*disksCommand) return Disks(console, directory, disksFormat);
        if (*metricsCommand) return Metrics(console, metrics);
        if (*demoCommand) return Demo(console, directory);
    } catch (const std::exception& e) {
        return console.Fail(OneLine(e.what()));
    }
    return kExitUsage;
}
