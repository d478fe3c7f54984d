#include "Commands.h"

#include <cstddef>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "DiskSummary.h"
#include "ReportFile.h"

namespace IdxTool {
namespace {

// Epoch seconds as a person reads them in a table; programs get the number.
Cell TimeCell(long seconds, bool table) {
    if (!table) return Cell{std::to_string(seconds), true};
    return Cell{fmt::format("{:%Y-%m-%d %H:%M:%S}", fmt::gmtime(static_cast<std::time_t>(seconds))), false};
}

// Says on stderr what was left out of `summary`; true when nothing was.
bool ReportSkipped(const Console& console, const DiskSummary& summary) {
    bool clean = true;
    const ScanResult& scan = summary.scan;
    if (scan.unreadableLines > 0) {
        clean = false;
        std::string more;
        if (scan.unreadableLines > 1) more = fmt::format(" (and {} more)", scan.unreadableLines - 1);
        console.Fail(fmt::format("{}:{}: skipped an unreadable line{}: {}; see idxreport check --repair",
                                 summary.path, scan.firstUnreadableLine, more, scan.firstUnreadableWhy));
    }
    if (scan.unterminatedTail) {
        clean = false;
        console.Fail(summary.path + ": skipped the last line, which has no line end; see idxreport check --repair");
    }
    return clean;
}

}  // namespace

int Disks(const Console& console, const std::string& directory, const std::string& formatName) {
    std::vector<std::string> names;
    CQiError error = DiskFilesIn(directory, names);
    if (error.IsError()) return console.Fail(directory, error);
    // The files are opened through one descriptor of the directory, never
    // following a link at their names: the directory may be another user's.
    CQiDirectoryHandle dir;
    error = dir.Open(directory);
    if (error.IsError()) return console.Fail(directory, error);

    const Format format = ResolveFormat(ParseFormat(formatName), console);
    const bool table = format == Format::Table;
    auto writer = MakeRowWriter(format, console.out);
    writer->Begin({"File", "Samples", "First Time", "Latest Time", "Latest DiskFree", "Latest Alert"});
    bool clean = true;
    for (const std::string& name : names) {
        const std::string path = CQiPath::Append(directory, name);
        ReportFile file;
        CQiFile opened;
        error = OpenListed(dir, name, opened);
        if (!error.IsError()) error = file.Open(std::move(opened), path);
        if (error.IsError()) {
            clean = false;
            console.Fail(path, error);
            continue;
        }
        if (!IsDiskSamplesKind(file.Kind())) {
            clean = false;
            console.Fail(fmt::format("{}:1: {}", path,
                                     file.Kind() ? "a " + file.Kind()->Name() + " file" : file.KindProblem()));
            continue;
        }
        DiskSummary summary;
        error = SummariseDiskFile(console, file, summary);
        if (error.IsError()) {
            clean = false;
            console.Fail(path, error);
            continue;
        }
        if (!ReportSkipped(console, summary)) clean = false;
        Row row = {Cell{name, false}, Cell{std::to_string(summary.scan.records), true}};
        if (summary.scan.records > 0) {
            row.push_back(TimeCell(summary.firstTime, table));
            row.push_back(TimeCell(summary.latestTime, table));
            row.push_back(Cell{std::to_string(summary.latestFreeBytes), true});
            row.push_back(Cell{summary.latestAlert, false});
        } else {
            row.resize(6, Cell{"", false});
        }
        writer->Add(row);
    }
    writer->End();
    console.out.flush();
    return clean ? kExitOk : kExitFailed;
}

}  // namespace IdxTool
