#include "ReportFile.h"

#include <fmt/format.h>

#include "Console.h"
#include "Output.h"

namespace IdxTool {
namespace {

// Reads the file's last byte to tell whether its last line was finished.
CQiError LastByte(const std::string& path, uint64_t size, char& last) {
    CQiFile file;
    CQiError error = file.Open(path, CQiFile::OpenRead);
    std::size_t got = 0;
    if (!error.IsError()) error = file.ReadAt(&last, 1, size - 1, got);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    if (got != 1) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "File [%s] shrank while read", path.c_str());
    return CQiError::Success();
}

}  // namespace

CQiError ReportFile::Open(const std::string& path) {
    path_ = path;
    if (!CQiPath::Exists(path)) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "no such file");
    if (!CQiPath::IsFile(path)) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "not a regular file");
    CQiError error = CQiFile::GetSize(path, size_);
    if (!error.IsError() && size_ > 0) {
        char last = '\n';
        error = LastByte(path, size_, last);
        endsTorn_ = last != '\n';
    }
    if (!error.IsError()) error = handler_.Open(path, std::ios::in);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    header_.clear();
    if (handler_.HasHeader()) {
        error = handler_.GetHeader(header_, ',');
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    }
    kind_ = RecogniseReportKind(header_);
    return CQiError::Success();
}

std::string ReportFile::KindProblem() const {
    if (kind_) return std::string();
    if (size_ == 0) return "empty file, no header line";
    if (header_.empty()) return "empty first line, no header line";
    std::string line;
    for (const std::string& name : header_) line += (line.empty() ? "" : ",") + name;
    constexpr std::size_t kShown = 60;
    if (line.size() > kShown) line = line.substr(0, kShown) + "...";
    return fmt::format("unknown header \"{}\": not a report file this tool knows", Printable(line));
}

CQiError ReportFile::ForEachDataLine(const Console& console, const LineFunction& fn) {
    Progress progress(console, "reading " + path_, size_);
    std::size_t lineNumber = 1;
    // FindIfLine stops at the first line the function accepts, which lets a
    // caller end the walk early (--head) without reading the rest of the file.
    CQiError error = handler_.FindIfLine([&](std::string& line) {
        ++lineNumber;
        progress.Advance(line.size() + 1);
        return !fn(lineNumber, line);
    });
    return error.Push(FX_CODE_LOCATION);
}

}  // namespace IdxTool
