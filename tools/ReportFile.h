#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <platform/QiError.h>

#include "Input.h"
#include "ReportKinds.h"

namespace IdxTool {

struct Console;

// A report file (or standard input, "-") opened for reading: its header, its
// kind, and its data lines with their line numbers. Takes no lock. Reads once,
// from start to end, holding one line at a time.
class ReportFile {
public:
    // Returns false to stop the walk.
    using LineFunction = std::function<bool(const InputLine& line)>;

    ReportFile() = default;
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Fails as InputStream::Open does, or on a read error in the header line.
    CQiError Open(const std::string& path);
    // The same for a regular file the caller opened; `path` names it in messages.
    CQiError Open(CQiFile&& file, const std::string& path);
    // Bytes at `offset` of a file opened either way, for a line too long to keep.
    CQiError ReadAt(char* buffer, std::size_t length, uint64_t offset, std::size_t& got) {
        return input_.ReadAt(buffer, length, offset, got);
    }

    // The file opened by descriptor read again from its header on (code 22 for
    // one opened by path).
    CQiError Rewind();
    // Its size now, by its descriptor: whether a writer appended meanwhile.
    CQiError CurrentSize(uint64_t& size) { return input_.CurrentSize(size); }

    const std::string& Path() const { return path_; }
    // A plain file on disk: it can be locked, checked again under the lock and
    // rewritten. Standard input and compressed files are read-only.
    bool IsPlainFile() const { return !input_.IsStandardInput() && !input_.IsCompressed(); }
    bool IsStandardInput() const { return input_.IsStandardInput(); }
    uint64_t Size() const { return input_.SizeOnDisk(); }
    bool HasHeader() const { return !header_.empty(); }
    // The header line's column names, and the line as it stands.
    const std::vector<std::string>& Header() const { return header_; }
    const InputLine& HeaderLine() const { return headerLine_; }
    // The kind the header names, or null for a header the tool does not know.
    const ReportKind* Kind() const { return kind_; }
    // Why the file is of no kind the tool knows, naming what differs:
    //   unknown header "a,b,c": not a report file this tool knows
    //   header column 3 is "Time" where a verify archive header has "Size In Bytes"
    // Empty when Kind() is set.
    std::string KindProblem() const;

    // Calls `fn` for each data line in file order (the header is line 1) until
    // it returns false. Shows progress on a terminal for a large file. Once only.
    CQiError ForEachDataLine(const Console& console, const LineFunction& fn);
    // Bytes of data read so far (uncompressed).
    uint64_t Consumed() const { return input_.Consumed(); }

private:
    CQiError ReadHeader();

    std::string path_;
    InputStream input_;
    InputLine headerLine_;
    bool empty_ = true;
    std::vector<std::string> header_;
    const ReportKind* kind_ = nullptr;
};

}  // namespace IdxTool
