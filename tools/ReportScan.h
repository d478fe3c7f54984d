#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include <platform/QiError.h>

class CQiDirectoryHandle;
class CQiFile;

namespace IdxTool {

struct Console;
class ReportFile;

// What one pass over a report's data lines found.
struct ScanResult {
    std::size_t records = 0;          // lines the reader accepted
    std::size_t unreadableLines = 0;  // lines it refused, the unterminated tail aside
    std::size_t firstUnreadableLine = 0;  // its line number (the header is line 1), 0 for none
    std::string firstUnreadableWhy;
    // The file ended without a line end and did not change while it was read:
    // what a crash in the middle of an append leaves.
    bool unterminatedTail = false;
    // The file's size changed during the pass: a writer was appending. Its last
    // line may have been caught half written, so it was neither read nor counted.
    bool changedWhileRead = false;
};

// Returns whether `line` is a readable line of a file whose header has
// `columns` columns, and takes its values when it is; on false `why` says why.
using LineReader = std::function<bool(const std::string& line, std::size_t columns, std::string& why)>;

// Reads every data line of the opened `file` through `reader`. A line without
// its line end is never handed to the reader: a cut line can still convert
// ("4096" cut to "40") and must not pass for a record. Nor is a line longer
// than kMaxLineBytes: it was only kept in part.
CQiError ScanReportLines(const Console& console, ReportFile& file, const LineReader& reader, ScanResult& result);

// The regular files and symbolic links in `directory` and in its
// subdirectories down to `maxDepth` levels (0: the directory alone), as paths
// relative to it, sorted: "JobStats.csv", "Logs/CleanUp/LogCleanUpReport.csv".
// No link is followed, to a directory or to a file: a link is listed as such, so
// that opening it through OpenListed reports it instead of reading it. Fails with the system's reason (no such
// directory, permission denied, not a directory) when `directory` cannot be
// listed; a subdirectory that cannot be is left out.
CQiError FilesIn(const std::string& directory, std::vector<std::string>& names, int maxDepth = 0);

// Opens `relative`, a name FilesIn listed below the directory `top`, for
// reading, one component at a time: a link at any of them (swapped in since the
// listing, say) is code 22 naming it, as is anything but a regular file at the
// end, and nothing waits (a FIFO, or a link to a /proc file whose read blocks,
// is never opened or followed).
CQiError OpenListed(const CQiDirectoryHandle& top, const std::string& relative, CQiFile& file);

}  // namespace IdxTool
