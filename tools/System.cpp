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

namespace {

CQiError SystemError(const FXCodeLocation& where, int saved, const std::string& path) {
    return FXErrorUtil::ErrorSysErrNo(where, saved, saved, "%s: %s", path.c_str(), ReasonOf(saved).c_str());
}

}  // namespace

SideFile::~SideFile() {
    if (fd_ >= 0) ::close(fd_);
}

CQiError SideFile::Create(const std::string& path, const std::string& report) { return Open(path, report, true); }

CQiError SideFile::Append(const std::string& path, const std::string& report) { return Open(path, report, false); }

CQiError SideFile::Open(const std::string& path, const std::string& report, bool exclusive) {
    path_ = path;
    struct stat like {};
    if (::stat(report.c_str(), &like) != 0) return SystemError(FX_CODE_LOCATION, errno, report);
    const mode_t mode = like.st_mode & 0666;
    // Created 0600 and widened only after the owner is set: no one else reads
    // moved lines in between.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : O_APPEND);
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int saved = errno;
        if (saved == ELOOP)
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s: a symbolic link; refusing to write through it",
                                           path.c_str());
        // A FIFO without a reader: O_NONBLOCK makes the open fail instead of wait.
        if (saved == ENXIO) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s: a FIFO", path.c_str());
        return SystemError(FX_CODE_LOCATION, saved, path);
    }
    fd_ = fd;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return SystemError(FX_CODE_LOCATION, errno, path);
    if (!S_ISREG(st.st_mode))
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s: %s, not a regular file", path.c_str(),
                                       FileTypeName(st.st_mode));
    const int blocking = ::fcntl(fd_, F_GETFL);
    if (blocking < 0 || ::fcntl(fd_, F_SETFL, blocking & ~O_NONBLOCK) != 0)
        return SystemError(FX_CODE_LOCATION, errno, path);
    if (st.st_size == 0 || exclusive) {
        // A new file takes the report's owner; one who cannot give it (not root,
        // and not the report's owner) leaves it as created, which is then theirs
        // and private.
        if ((st.st_uid != like.st_uid || st.st_gid != like.st_gid) && ::fchown(fd_, like.st_uid, like.st_gid) != 0 &&
            st.st_uid != like.st_uid)
            return SystemError(FX_CODE_LOCATION, errno, path);
        if (::fchmod(fd_, mode) != 0) return SystemError(FX_CODE_LOCATION, errno, path);
    }
    return CQiError::Success();
}

CQiError SideFile::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SystemError(FX_CODE_LOCATION, errno, path_);
        }
        done += static_cast<std::size_t>(n);
    }
    return CQiError::Success();
}

CQiError SideFile::SyncAndClose() {
    if (::fsync(fd_) != 0) return SystemError(FX_CODE_LOCATION, errno, path_);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return SystemError(FX_CODE_LOCATION, errno, path_);
    return CQiError::Success();
}

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
