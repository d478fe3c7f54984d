#include "Commands.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "DiskSummary.h"
#include "ReportFile.h"

namespace IdxTool {
namespace {

constexpr std::size_t kBarWidth = 40;
// Skipped lines named one by one on stderr; the rest are counted.
constexpr std::size_t kNamedSkips = 10;
// Periods shown: more than two centuries of days, and what they cost to hold
// (the table's widths need them all) stays a few MiB, whatever the file.
constexpr std::size_t kShownPeriods = 100000;

std::string Bar(double value, double largest) {
    if (largest <= 0 || value <= 0) return std::string();
    auto length = static_cast<std::size_t>(value / largest * kBarWidth + 0.5);
    return std::string(std::max<std::size_t>(length, 1), '#');
}

std::string StartText(long start, bool table) {
    const auto tm = fmt::gmtime(static_cast<std::time_t>(start));
    return table ? fmt::format("{:%Y-%m-%d %H:%M:%S}", tm) : fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", tm);
}

// The disk file to read, or the reason there is none, with a hint when the key
// differs from one that has samples only by trailing slashes.
bool ResolveFile(const Console& console, const FreeSpaceOptions& options, std::string& path) {
    if (!options.file.empty()) {
        path = options.file;
        return true;
    }
    path = I2::LogicalDiskReport::GetFilePath(options.directory, options.diskKey);
    if (CQiPath::Exists(path)) return true;
    std::string trimmed = options.diskKey;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::string hint;
    if (trimmed != options.diskKey && CQiPath::Exists(I2::LogicalDiskReport::GetFilePath(options.directory, trimmed)))
        hint = fmt::format("; the key is taken byte for byte, and \"{}\" has samples", Printable(trimmed));
    console.Fail(fmt::format("{}: no samples for disk key \"{}\" (no {}){}", options.directory,
                             Printable(options.diskKey), I2::LogicalDiskReport::GetFileName(options.diskKey), hint));
    return false;
}

}  // namespace

int FreeSpace(const Console& console, const FreeSpaceOptions& options) {
    std::string path;
    if (!ResolveFile(console, options, path)) return kExitFailed;
    ReportFile file;
    CQiError error = file.Open(path);
    if (error.IsError()) return console.Fail(path, error);
    const std::vector<std::string> header = I2::LogicalDiskReport().GetHeader();
    if (file.Kind() == nullptr) return console.Fail(path + ": " + file.KindProblem());
    if (file.Kind()->Columns() != header)
        return console.Fail(fmt::format("{}: a {} file, not disk samples", path, file.Kind()->Name()));

    // A bad line is skipped and named: the averages of the rest are still worth
    // having. The library's own averaging (the server's) stops at such a line,
    // so the user is sent to check --repair too.
    Averager averager(kShownPeriods);
    I2::LogicalDiskRecord sample;
    std::size_t skipped = 0;
    std::string why;
    error = file.ForEachDataLine(console, [&](const InputLine& line) {
        if (!line.terminated) return true;  // not yet written
        if (!line.TooLong() && ReadRecord(sample, line.text, header.size(), why)) {
            averager.Add(sample.GetTime(), sample.GetDiskFree());
            return true;
        }
        if (line.TooLong()) why = fmt::format("longer than {} bytes", kMaxLineBytes);
        if (skipped++ < kNamedSkips)
            console.err << fmt::format("idxreport: {}:{}: skipped unreadable line: {}\n", path, line.number, why);
        return true;
    });
    if (error.IsError()) return console.Fail(path, error);
    averager.Close();

    const Format format = ResolveFormat(options.format, console);
    const bool table = format == Format::Table;
    // The bars are for a person at a terminal; a pipe gets the numbers alone.
    const bool bars = table && console.outIsTerminal;
    double largest = 0;
    for (const Period& p : averager.periods) largest = std::max(largest, p.average);
    auto writer = MakeRowWriter(format, console.out);
    std::vector<std::string> columns = {"Period start (UTC)", "Free MiB"};
    if (bars) columns.emplace_back("");
    writer->Begin(columns);
    for (const Period& p : averager.periods) {
        Row row = {Cell{StartText(p.start, table), false}, Cell{fmt::format("{:.1f}", p.average), true}};
        if (bars) row.push_back(Cell{Bar(p.average, largest), false});
        writer->Add(row);
    }
    writer->End();
    if (averager.dropped > 0) {
        console.Fail(fmt::format("{}: showed the last {} periods; the {} before them are left out", path,
                                 averager.periods.size(), averager.dropped));
    }
    if (skipped > 0) {
        return console.Fail(fmt::format("{}: skipped {}; the server's own averaging stops at the first of them: "
                                        "idxreport check --repair {} moves them to {}",
                                        path, Plural(skipped, "unreadable line", "unreadable lines"), path,
                                        I2::ReportSideFiles::Unreadable(path)));
    }
    return averager.dropped > 0 ? kExitFailed : kExitOk;
}

int DiskFile(const Console& console, const std::string& diskKey) {
    console.out << I2::LogicalDiskReport::GetFileName(diskKey) << '\n' << std::flush;
    return kExitOk;
}

}  // namespace IdxTool
