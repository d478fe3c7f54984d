#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <IdxReports/ReportFileHandler.h>
#include <platform/QiError.h>

#include "ReportKinds.h"

namespace IdxTool {

struct Console;

// A report file opened for reading through the library's file handler: its
// header, its kind, and its data lines with their line numbers. Takes no lock.
class ReportFile {
public:
    using LineFunction = std::function<bool(std::size_t lineNumber, const std::string& line)>;

    ReportFile() = default;
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Fails with code 2 for a missing path and code 22 for anything that is not
    // a regular file (a directory, a device).
    CQiError Open(const std::string& path);

    const std::string& Path() const { return path_; }
    uint64_t Size() const { return size_; }
    bool HasHeader() const { return !header_.empty(); }
    // The header line's column names.
    const std::vector<std::string>& Header() const { return header_; }
    // The kind the header names, or null for a header the tool does not know.
    const ReportKind* Kind() const { return kind_; }
    // Why the file is of no kind the tool knows ("no header line", "unknown
    // header ..."), or empty when Kind() is set.
    std::string KindProblem() const;
    // The file's last byte is not a line end: a write was cut short there.
    bool EndsInTornLine() const { return endsTorn_; }

    // Calls `fn` for each data line in file order (the header is line 1) until
    // it returns false. Shows progress on a terminal for a large file.
    CQiError ForEachDataLine(const Console& console, const LineFunction& fn);

private:
    std::string path_;
    uint64_t size_ = 0;
    bool endsTorn_ = false;
    std::vector<std::string> header_;
    const ReportKind* kind_ = nullptr;
    I2::ReportFileHandler handler_;
};

}  // namespace IdxTool
