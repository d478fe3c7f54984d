#include "System.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "Input.h"

namespace IdxTool {

std::string WhatIsAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::string();
    return FileTypeName(st.st_mode);
}

std::string DirectoryProblem(const std::string& directory) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) return ReasonOf(errno);
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    if (::access(directory.c_str(), R_OK | X_OK) != 0) return ReasonOf(errno);
    return std::string();
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::string TempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string("/tmp");
}

CQiError MakeFreshDirectory(const std::string& parent, const std::string& prefix, std::string& path) {
    std::string pattern = parent;
    if (pattern.empty() || pattern.back() != '/') pattern += '/';
    pattern += prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        int saved = errno;
        return FXErrorUtil::ErrorSysErrNo(FX_CODE_LOCATION, 150, saved, "Could not create a directory [%s]: %s",
                                          pattern.c_str(), std::strerror(saved));
    }
    path = buffer.data();
    return CQiError::Success();
}

std::vector<std::string> FilesUnder(const std::string& directory) {
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error))
            files.push_back(std::filesystem::relative(it->path(), directory, error).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool IsEmptyDirectory(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error) && std::filesystem::is_empty(path, error) && !error;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    if (absolute.empty()) return path;
    return absolute.lexically_normal().string();
}

}  // namespace IdxTool
