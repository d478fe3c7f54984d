#include "ReportFile.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include <IdxReports/ReportFileHandler.h>

#include "Console.h"
#include "Output.h"

namespace IdxTool {
namespace {

// The header's names as the library splits them: "a,,b" -> {a, "", b}, no quoting.
std::vector<std::string> SplitHeader(const std::string& line) {
    std::vector<std::string> names;
    I2::ReportFileHandler splitter;
    (void)splitter.SplitLine(line, names, ',');
    return names;
}

std::string Shortened(const std::string& text) {
    constexpr std::size_t kShown = 60;
    return Printable(text.size() > kShown ? text.substr(0, kShown) + "..." : text);
}

}  // namespace

CQiError ReportFile::Open(const std::string& path) {
    path_ = path;
    CQiError error = input_.Open(path);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    return ReadHeader().Push(FX_CODE_LOCATION);
}

CQiError ReportFile::Open(CQiFile&& file, const std::string& path) {
    path_ = path;
    CQiError error = input_.Open(std::move(file));
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    return ReadHeader().Push(FX_CODE_LOCATION);
}

CQiError ReportFile::Rewind() {
    CQiError error = input_.Rewind();
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    return ReadHeader().Push(FX_CODE_LOCATION);
}

CQiError ReportFile::ReadHeader() {
    bool got = false;
    CQiError error = input_.Next(headerLine_, got);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    empty_ = !got;
    header_.clear();
    kind_ = nullptr;
    if (got && !headerLine_.TooLong()) {
        header_ = SplitHeader(headerLine_.text);
        kind_ = RecogniseReportKind(header_);
    }
    return CQiError::Success();
}

std::string ReportFile::KindProblem() const {
    if (kind_) return std::string();
    if (empty_) return "empty file, no header line";
    const std::string& line = headerLine_.text;
    if (headerLine_.TooLong()) return fmt::format("header line longer than {} bytes", kMaxLineBytes);
    if (line.empty()) return "empty first line, no header line";
    if (line.rfind("\xEF\xBB\xBF", 0) == 0)
        return "the file starts with a UTF-8 byte-order mark (EF BB BF), which report files never have";
    if (line.back() == '\r') return "the header line ends in CR LF (Windows line ends), which report files never have";
    // The kind whose columns the header follows longest names what differs.
    const ReportKind* closest = nullptr;
    std::size_t same = 0;
    for (const auto& kind : AllReportKinds()) {
        const auto& columns = kind->Columns();
        const std::size_t n = static_cast<std::size_t>(
            std::mismatch(header_.begin(), header_.end(), columns.begin(), columns.end()).first - header_.begin());
        if (n > same) {
            same = n;
            closest = kind.get();
        }
    }
    if (closest != nullptr) {
        const auto& columns = closest->Columns();
        if (same == columns.size())
            return fmt::format("header has an extra column {} \"{}\" after the {} columns", same + 1,
                               Shortened(header_[same]), closest->Name());
        if (same == header_.size())
            return fmt::format("header ends after column {}; a {} header goes on with \"{}\"", same, closest->Name(),
                               Printable(columns[same]));
        return fmt::format("header column {} is \"{}\" where a {} header has \"{}\"", same + 1,
                           Shortened(header_[same]), closest->Name(), Printable(columns[same]));
    }
    return fmt::format("unknown header \"{}\": not a report file this tool knows", Shortened(line));
}

CQiError ReportFile::ForEachDataLine(const Console& console, const LineFunction& fn) {
    Progress progress(console, "reading " + path_, Size());
    InputLine line;
    for (;;) {
        bool got = false;
        CQiError error = input_.Next(line, got);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        if (!got) return CQiError::Success();
        progress.Advance(line.length + 1);
        if (!fn(line)) return CQiError::Success();
    }
}

}  // namespace IdxTool
