#include "ReportScan.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include <platform/QiFileSystem.h>

#include "ReportFile.h"

namespace IdxTool {

CQiError ScanReportLines(const Console& console, ReportFile& file, const LineReader& reader, ScanResult& result) {
    const std::size_t columns = file.Header().size();
    std::string why;
    auto read = [&](std::size_t number, const std::string& line) {
        if (reader(line, columns, why)) {
            ++result.records;
            return;
        }
        if (result.unreadableLines++ == 0) {
            result.firstUnreadableLine = number;
            result.firstUnreadableWhy = why;
        }
    };
    // Each line is read once the next one is seen: only then is it known not
    // to be the last one, which may lack its line end.
    std::string held;
    std::size_t heldNumber = 0;
    CQiError error = file.ForEachDataLine(console, [&](std::size_t number, const std::string& line) {
        if (heldNumber != 0) read(heldNumber, held);
        held = line;
        heldNumber = number;
        return true;
    });
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    uint64_t sizeAfter = file.Size();
    error = CQiFile::GetSize(file.Path(), sizeAfter);
    result.changedWhileRead = error.IsError() || sizeAfter != file.Size();
    if (heldNumber == 0 || result.changedWhileRead) return CQiError::Success();
    if (file.EndsInTornLine())
        result.unterminatedTail = true;
    else
        read(heldNumber, held);
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
        if (!it->is_regular_file(ignored)) continue;
        const std::string path = it->path().string();
        names.push_back(path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size())
                                                                    : it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return CQiError::Success();
}

}  // namespace IdxTool
