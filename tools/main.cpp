// idxreport: reads, checks and repairs the report files of an index server.
// This file only parses the command line; the work is in Commands*.cpp.
// Most subcommands have their own Add*Command function below.
#include <cstddef>
#include <exception>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Console.h"
#include "System.h"

#include <platform/QiFileSystem.h>

namespace {

using namespace IdxTool;

// A value on the command line the parser took but the tool refuses.
struct UsageError : std::exception {
    explicit UsageError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }
    std::string message;
};

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

// A count, an id or a time-out as the user typed it: decimal digits only, so
// "-5" never wraps into a huge unsigned number and "1x" is not 1.
unsigned long long Unsigned(const std::string& text, const char* what) {
    if (!IsNumberOf(ColumnType::Unsigned, text, nullptr))
        throw UsageError(std::string(what) + " must be a whole number of 0 or more, not \"" + Printable(text) + "\"");
    return std::stoull(text);
}

// The parsed values of one run, per subcommand.
struct Values {
    ShowOptions show;
    std::string showFormat, head, tail, columns, since, until;
    std::vector<std::string> where;

    CheckOptions check;
    std::string lockTimeout;

    std::string directory;
    std::string jobsFormat;

    std::vector<std::string> freeArgs;
    std::string freeFormat;

    std::string diskKey;
    std::vector<std::string> jobIds;
    std::string disksFormat;
    MetricsOptions metrics;
    std::string helpTopic;
};

CLI::App* AddShowCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("show", "Print the records of report files of any kind");
    c->add_option("files", v.show.files, "Report files, plain or gzip-compressed; - reads standard input")
        ->required();
    AddFormat(c, v.showFormat, {"table", "csv", "json", "jsonl"},
              "table, csv, json or jsonl (default: a table on a terminal, csv otherwise)");
    CLI::Option* head = c->add_option("--head", v.head, "Only the first N records");
    CLI::Option* tail = c->add_option("--tail", v.tail, "Only the last N records");
    head->excludes(tail);
    c->add_option("--columns", v.columns, "Only these columns, by header name, comma-separated: A,B");
    c->add_option("--where", v.where, "Only records whose column COL holds exactly VALUE: COL=VALUE (repeatable)");
    c->add_option("--since", v.since,
                  "Only records dated at or after T: seconds since 1970 or an ISO date or date-time, UTC");
    c->add_option("--until", v.until, "Only records dated before T (same forms as --since)");
    return c;
}

void FinishShow(Values& v) {
    v.show.format = ParseFormat(v.showFormat);
    if (!v.head.empty()) v.show.head = Unsigned(v.head, "--head");
    if (!v.tail.empty()) v.show.tail = Unsigned(v.tail, "--tail");
    bool input = false;
    for (const std::string& file : v.show.files) input = input || file == "-";
    if (v.show.tail && input && v.show.files.size() > 1)
        throw UsageError("--tail reads standard input only on its own, not among other files");
    if (!v.columns.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = v.columns.find(',', start);
            v.show.columns.push_back(v.columns.substr(start, end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
    for (const std::string& condition : v.where) {
        const std::size_t equals = condition.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError("--where takes COL=VALUE, not \"" + Printable(condition) + "\"");
        v.show.where.emplace_back(condition.substr(0, equals), condition.substr(equals + 1));
    }
    long seconds = 0;
    if (!v.since.empty()) {
        if (!ParseTime(v.since, seconds)) throw UsageError("--since takes seconds or an ISO 8601 date, not \"" + Printable(v.since) + "\"");
        v.show.since = seconds;
    }
    if (!v.until.empty()) {
        if (!ParseTime(v.until, seconds)) throw UsageError("--until takes seconds or an ISO 8601 date, not \"" + Printable(v.until) + "\"");
        v.show.until = seconds;
    }
}

CLI::App* AddCheckCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand(
        "check", "Check report files line by line; exit 1 on any problem, 3 when --repair repaired them");
    c->add_option("files", v.check.files, "Report files, plain or gzip-compressed; - reads standard input")
        ->required();
    CLI::Option* repair = c->add_flag("--repair", v.check.repair,
                                      "Move unreadable lines and an unterminated last line to FILE.bad and "
                                      "rewrite the report without them, under the report's lock");
    c->add_option("--lock-timeout", v.lockTimeout,
                  "With --repair: how long to wait for the report's lock, in milliseconds "
                  "(0: the library's default, -1: no limit)")
        ->needs(repair);
    return c;
}

void FinishCheck(Values& v) {
    if (!v.lockTimeout.empty()) {
        if (v.lockTimeout == "-1") {
            v.check.lockTimeoutMs = -1;
        } else {
            const unsigned long long ms = Unsigned(v.lockTimeout, "--lock-timeout");
            if (ms > static_cast<unsigned long long>(std::numeric_limits<int>::max()))
                throw UsageError("--lock-timeout is too large");
            v.check.lockTimeoutMs = static_cast<int>(ms);
        }
    }
    if (v.check.repair) {
        for (const std::string& file : v.check.files) {
            if (file == "-") throw UsageError("check --repair cannot repair standard input; give the file");
        }
    }
}

CLI::App* AddJobsCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("jobs", "Summarise DIR/JobStats.csv and its .old");
    c->add_option("dir", v.directory, "The directory of JobStats.csv (or the path of JobStats.csv)")->required();
    AddFormat(c, v.jobsFormat, {"table", "json", "text"}, "table or json (default: table)");
    return c;
}

CLI::App* AddFreeSpaceCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("freespace", "Average free space of one disk per one-day period, in MiB");
    c->add_option("args", v.freeArgs, "DIR DISKKEY (the directory of the samples and the text that names the disk), "
                                      "or the disk's samples file itself")
        ->required()
        ->expected(1, 2);
    AddFormat(c, v.freeFormat, {"table", "csv", "json", "jsonl"},
              "table, csv, json or jsonl (default: a table with bars on a terminal, csv otherwise)");
    return c;
}

FreeSpaceOptions FinishFreeSpace(const Values& v) {
    FreeSpaceOptions options;
    options.format = ParseFormat(v.freeFormat);
    if (v.freeArgs.size() == 1) {
        options.file = v.freeArgs[0];
        if (CQiPath::IsDirectory(options.file))
            throw UsageError("give DIR DISKKEY, or the disk's samples file; \"" + Printable(options.file) +
                             "\" is a directory");
    } else {
        options.directory = v.freeArgs[0];
        options.diskKey = v.freeArgs[1];
        if (options.diskKey.empty()) throw UsageError("the disk key is empty");
    }
    return options;
}

CLI::App* AddInvalidateCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("invalidate", "Mark the rows of jobs in DIR/JobStats.csv invalid");
    c->add_option("dir", v.directory, "The directory of JobStats.csv")->required();
    c->add_option("jobids", v.jobIds, "Job ids")->required();
    return c;
}

CLI::App* AddDisksCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("disks", "List the disk-samples files of DIR");
    c->add_option("dir", v.directory, "The directory of the disk-samples files")->required();
    AddFormat(c, v.disksFormat, {"table", "csv", "json", "jsonl"},
              "table, csv, json or jsonl (default: a table on a terminal, csv otherwise)");
    return c;
}

CLI::App* AddMetricsCommand(CLI::App& app, Values& v) {
    CLI::App* c = app.add_subcommand("metrics", "Print Prometheus metrics of the reports in each DIR");
    c->add_option("dirs", v.metrics.directories, "Report directories")->required();
    c->add_option("--textfile-dir", v.metrics.textfileDirectory,
                  "Write DIR/idxreports.prom atomically, for node_exporter's textfile collector, "
                  "instead of printing");
    return c;
}

std::vector<unsigned long> FinishInvalidate(const Values& v) {
    std::vector<unsigned long> ids;
    for (const std::string& id : v.jobIds) ids.push_back(static_cast<unsigned long>(Unsigned(id, "a job id")));
    return ids;
}

// The subcommand named on the command line, even when parsing failed: the
// first word that is not an option.
std::string NamedSubcommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.empty() || arg[0] != '-') return arg;
    }
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads, checks and repairs the report files of an index server.", "idxreport"};
    app.set_version_flag("--version", std::string("idxreport ") + IDXREPORT_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "On failure, also print where the error arose, one location per line");

    Values v;
    CLI::App* showCommand = AddShowCommand(app, v);
    CLI::App* checkCommand = AddCheckCommand(app, v);
    CLI::App* jobsCommand = AddJobsCommand(app, v);
    CLI::App* freeCommand = AddFreeSpaceCommand(app, v);
    CLI::App* diskFileCommand = app.add_subcommand("diskfile", "Print the file name a disk key maps to");
    diskFileCommand->add_option("diskkey", v.diskKey, "The text that names the disk")->required();
    CLI::App* invalidateCommand = AddInvalidateCommand(app, v);
    CLI::App* disksCommand = AddDisksCommand(app, v);
    CLI::App* metricsCommand = AddMetricsCommand(app, v);
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Play an index server for thirty days in a fresh directory and show the result");
    demoCommand->add_option("dir", v.directory, "A new or empty directory (default: a new one under $TMPDIR or /tmp)");
    CLI::App* helpCommand = app.add_subcommand("help", "Print the help of idxreport or of one subcommand");
    helpCommand->add_option("subcommand", v.helpTopic, "A subcommand");

    // Set after the subcommands: each copies its parent's footer when it is
    // added, and the exit status belongs to `idxreport --help` once. The man
    // page takes its EXIT STATUS section from here.
    app.footer("Exit status:\n  " + std::to_string(kExitOk) + "  success\n  " + std::to_string(kExitFailed) +
               "  an operation failed, or a check found problems (lines skipped)\n  " +
               std::to_string(kExitUsage) + "  a wrong command line\n  " + std::to_string(kExitRepaired) +
               "  check --repair repaired files, and every file is sound now");

    const std::string named = NamedSubcommand(argc, argv);
    CLI::App* namedCommand = nullptr;
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        if (sub->get_name() == named) namedCommand = sub;
    }
    const std::string seeHelp = namedCommand != nullptr && namedCommand != helpCommand
                                    ? " (see idxreport help " + named + ")"
                                    : " (see idxreport --help)";
    if (!named.empty() && namedCommand == nullptr) {
        std::cerr << "idxreport: unknown subcommand \"" << Printable(named) << "\" (see idxreport --help)\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
        if (*showCommand) FinishShow(v);
        if (*checkCommand) FinishCheck(v);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        std::cerr << "idxreport: " << OneLine(e.what()) << seeHelp << "\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        std::cerr << "idxreport: " << OneLine(e.what()) << seeHelp << "\n";
        return kExitUsage;
    }

    if (*helpCommand) {
        if (v.helpTopic.empty()) {
            // app.help() would describe the help subcommand itself, now selected.
            std::cout << app.get_formatter()->make_help(&app, "idxreport", CLI::AppFormatMode::Normal);
            return kExitOk;
        }
        for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
            if (sub->get_name() == v.helpTopic) {
                std::cout << app.get_formatter()->make_help(sub, "idxreport " + v.helpTopic,
                                                            CLI::AppFormatMode::Normal);
                return kExitOk;
            }
        }
        std::cerr << "idxreport: unknown subcommand \"" << Printable(v.helpTopic) << "\" (see idxreport --help)\n";
        return kExitUsage;
    }

    const Console console{std::cout, std::cerr, StdoutIsTerminal(), StderrIsTerminal(), verbose};
    try {
        if (*showCommand) return Show(console, v.show);
        if (*checkCommand) return Check(console, v.check);
        if (*jobsCommand) {
            const bool json = ParseFormat(v.jobsFormat) == Format::Json;
            return Jobs(console, v.directory, json ? Format::Json : Format::Table);
        }
        if (*freeCommand) return FreeSpace(console, FinishFreeSpace(v));
        if (*diskFileCommand) return DiskFile(console, v.diskKey);
        if (*invalidateCommand) return Invalidate(console, v.directory, FinishInvalidate(v));
        if (*disksCommand) return Disks(console, v.directory, v.disksFormat);
        if (*metricsCommand) return Metrics(console, v.metrics);
        if (*demoCommand) return Demo(console, v.directory);
    } catch (const UsageError& e) {
        std::cerr << "idxreport: " << OneLine(e.what()) << seeHelp << "\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        return console.Fail(OneLine(e.what()));
    }
    return kExitUsage;
}
