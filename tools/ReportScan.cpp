#include "ReportScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>

#include "ReportFile.h"

namespace IdxTool {

CQiError ScanReportLines(const Console& console, ReportFile& file, const LineReader& reader, ScanResult& result) {
    const std::size_t columns = file.Header().size();
    std::string why;
    bool unterminated = false;
    CQiError error = file.ForEachDataLine(console, [&](const InputLine& line) {
        // Only the last line can lack its line end; whether it is a torn
        // append or a writer's line in progress is judged after the pass.
        if (!line.terminated) {
            unterminated = true;
            return true;
        }
        if (!line.TooLong() && reader(line.text, columns, why)) {
            ++result.records;
            return true;
        }
        if (result.unreadableLines++ == 0) {
            result.firstUnreadableLine = line.number;
            result.firstUnreadableWhy = line.TooLong() ? fmt::format("longer than {} bytes", kMaxLineBytes) : why;
        }
        return true;
    });
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    if (file.IsPlainFile()) {
        uint64_t sizeAfter = file.Size();
        error = file.CurrentSize(sizeAfter);
        result.changedWhileRead = error.IsError() || sizeAfter != file.Size();
    }
    result.unterminatedTail = unterminated && !result.changedWhileRead;
    return CQiError::Success();
}

CQiError FilesIn(const std::string& directory, std::vector<std::string>& names, int maxDepth) {
    names.clear();
    std::error_code error;
    namespace fs = std::filesystem;
    fs::recursive_directory_iterator it(directory, fs::directory_options::skip_permission_denied, error);
    if (error) {
        return FXErrorUtil::ErrorSysErrNo(FX_CODE_LOCATION, error.value() == ENOENT ? 2 : 150, error.value(), "%s",
                                          error.message().c_str());
    }
    // The iterator's paths are `directory` joined with the names below it.
    const std::string prefix = directory.empty() || directory.back() == '/' ? directory : directory + "/";
    // A failure past the first entry ends the walk early rather than the command.
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it.depth() >= maxDepth) it.disable_recursion_pending();
        // A link is listed, not followed: whoever opens it learns it is one.
        const fs::file_type type = it->symlink_status(ignored).type();
        if (type != fs::file_type::regular && type != fs::file_type::symlink) continue;
        const std::string path = it->path().string();
        names.push_back(path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size())
                                                                    : it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return CQiError::Success();
}

CQiError OpenListed(const CQiDirectoryHandle& top, const std::string& relative, CQiFile& file) {
    const std::string::size_type slash = relative.find('/');
    if (slash == std::string::npos) return top.OpenFile(relative, CQiFile::OpenRead, file).Push(FX_CODE_LOCATION);
    CQiDirectoryHandle below;
    CQiError error = top.OpenDirectory(relative.substr(0, slash), below);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    return OpenListed(below, relative.substr(slash + 1), file).Push(FX_CODE_LOCATION);
}

}  // namespace IdxTool
