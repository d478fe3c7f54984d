#include "Commands.h"

#include <cstddef>
#include <deque>
#include <string>

#include <fmt/format.h>

#include "Console.h"
#include "ReportFile.h"

namespace IdxTool {

int Show(const Console& console, const ShowOptions& options) {
    ReportFile file;
    CQiError error = file.Open(options.file);
    if (error.IsError()) return console.Fail(options.file, error);
    const ReportKind* kind = file.Kind();
    if (kind == nullptr) return console.Fail(options.file + ": " + file.KindProblem());

    // An older job statistics file has fewer columns; show the ones it has.
    const std::size_t fileColumns = file.Header().size();
    std::vector<std::string> columns(kind->Columns().begin(), kind->Columns().begin() + fileColumns);
    auto writer = MakeRowWriter(ResolveFormat(options.format, console), console.out);
    writer->Begin(columns);

    // --tail keeps only its N lines, however long the file, and turns them into
    // rows at the end.
    std::deque<std::string> last;
    std::size_t shown = 0;
    std::size_t unreadable = 0;
    std::size_t firstUnreadable = 0;
    Row row;
    std::string why;
    error = file.ForEachDataLine(console, [&](std::size_t lineNumber, const std::string& line) {
        if (!kind->ReadLine(line, fileColumns, options.tail ? nullptr : &row, why)) {
            if (unreadable++ == 0) firstUnreadable = lineNumber;
            return true;
        }
        if (options.tail) {
            if (*options.tail == 0) return true;
            if (last.size() == *options.tail) last.pop_front();
            last.push_back(line);
            return true;
        }
        if (options.head && shown >= *options.head) return false;
        writer->Add(row);
        ++shown;
        return !options.head || shown < *options.head;
    });
    for (const std::string& line : last) {
        if (kind->ReadLine(line, fileColumns, &row, why)) writer->Add(row);
    }
    writer->End();
    if (error.IsError()) return console.Fail(options.file, error);
    if (unreadable > 0) {
        return console.Fail(fmt::format("{}: skipped {} unreadable line{} (the first is line {}); "
                                        "see idxreport check",
                                        options.file, unreadable, unreadable == 1 ? "" : "s", firstUnreadable));
    }
    return kExitOk;
}

}  // namespace IdxTool
