#include "Commands.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <IdxReports/Reports/LogicalDiskReport.h>

#include "Console.h"

namespace IdxTool {
namespace {

constexpr std::size_t kBarWidth = 40;

std::string Bar(double value, double largest) {
    if (largest <= 0 || value <= 0) return std::string();
    auto length = static_cast<std::size_t>(value / largest * kBarWidth + 0.5);
    return std::string(std::max<std::size_t>(length, 1), '#');
}

}  // namespace

int FreeSpace(const Console& console, const std::string& directory, const std::string& diskKey, Format format) {
    I2::LogicalDiskReport report;
    CQiError error = report.Open(directory, diskKey);
    if (error.IsError()) return console.Fail("disk key \"" + diskKey + "\"", error);
    std::vector<double> days;
    error = report.LoadIndexCacheDiskFreeSpace(days);
    if (error.IsError()) return console.Fail(report.GetPath() + " (see idxreport check --repair)", error);

    format = ResolveFormat(format, console);
    // The bars are for a person at a terminal; a pipe gets the numbers alone.
    const bool bars = format == Format::Table && console.outIsTerminal;
    const double largest = days.empty() ? 0 : *std::max_element(days.begin(), days.end());
    auto writer = MakeRowWriter(format, console.out);
    std::vector<std::string> columns = {"Day", "Free MiB"};
    if (bars) columns.emplace_back("");
    writer->Begin(columns);
    for (std::size_t i = 0; i < days.size(); ++i) {
        Row row = {Cell{std::to_string(i + 1), true}, Cell{fmt::format("{:.1f}", days[i]), true}};
        if (bars) row.push_back(Cell{Bar(days[i], largest), false});
        writer->Add(row);
    }
    writer->End();
    return kExitOk;
}

int DiskFile(const Console& console, const std::string& diskKey) {
    console.out << I2::LogicalDiskReport::GetFileName(diskKey) << '\n' << std::flush;
    return kExitOk;
}

}  // namespace IdxTool
