#include <platform/QiFileSystem.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include <platform/QiDirectoryHandle.h>
#include <platform/internal/SysCalls.h>

using I2::Utils::ErrorFromErrno;
using I2::Utils::FileStatFrom;
using I2::Utils::Sys;
using I2::Utils::WrongTypeError;

namespace {

// Whole-file copies move this much per read and write.
constexpr std::size_t kCopyBlockSize = std::size_t{1} << 20;

// End of `path` without its trailing separators; a lone "/" is kept.
// "a/b//" -> 3, "/" -> 1, "" -> 0.
std::size_t EndWithoutTrailingSlashes(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    return end;
}

CQiError StatPath(const FXCodeLocation& location, const std::string& path, struct stat& st) {
    if (::stat(path.c_str(), &st) != 0) return ErrorFromErrno(location, errno, "stat", path);
    return CQiError::Success();
}

// An existing directory counts as made, so concurrent creators both succeed.
CQiError MakeOneDirectory(const std::string& path) {
    if (Sys().mkdir(path.c_str(), 0777) == 0) return CQiError::Success();
    const int systemErrno = errno;
    if (systemErrno == EEXIST && CQiPath::IsDirectory(path)) return CQiError::Success();
    return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "create directory", path);
}

// What is at `name` (not following a link), when it is there and is not a
// regular file. A name that cannot be looked at is left for the open to report.
CQiError RefuseNonRegularName(int dirfd, const std::string& name, const std::string& shownPath) {
    struct stat st {};
    if (Sys().fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISREG(st.st_mode)) {
        return CQiError::Success();
    }
    return WrongTypeError(FX_CODE_LOCATION, "open", shownPath, FileStatFrom(st).type, CQiFileStat::Type::Regular);
}

// The same refusal for what the caller found at the name itself.
CQiError RefuseNonRegular(const CQiFileStat& seen, const std::string& shownPath) {
    if (seen.type == CQiFileStat::Type::Regular) return CQiError::Success();
    return WrongTypeError(FX_CODE_LOCATION, "open", shownPath, seen.type, CQiFileStat::Type::Regular);
}

// Refuses a descriptor that is not a regular file, and clears O_NONBLOCK on one
// that is: it was there only so that opening a FIFO or device could not wait.
// `openFlags` are those the descriptor was opened with: F_SETFL changes only the
// status flags among them, so they need not be asked for again with F_GETFL
// (one system call less on every open, which a writer makes under its lock).
// `opened` gets what the descriptor is, so that the caller need not ask again.
CQiError CheckRegularDescriptor(int fd, int openFlags, const std::string& shownPath, CQiFileStat* opened) {
    struct stat st {};
    if (Sys().fstat(fd, &st) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", shownPath);
    if (opened) *opened = FileStatFrom(st);
    if (!S_ISREG(st.st_mode)) {
        return WrongTypeError(FX_CODE_LOCATION, "open", shownPath, FileStatFrom(st).type,
                              CQiFileStat::Type::Regular);
    }
    if (Sys().fcntl_flags(fd, F_SETFL, openFlags & ~O_NONBLOCK) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "make blocking", shownPath);
    }
    return CQiError::Success();
}

}  // namespace

// --- CQiFileStat ---

const char* CQiFileStat::Describe(Type type) {
    switch (type) {
        case Type::Regular: return "a regular file";
        case Type::Directory: return "a directory";
        case Type::SymbolicLink: return "a symbolic link";
        case Type::Fifo: return "a FIFO";
        case Type::CharacterDevice: return "a character device";
        case Type::BlockDevice: return "a block device";
        case Type::Socket: return "a socket";
        case Type::Unknown: break;
    }
    return "an unknown kind of file";
}

// --- CQiPath ---

CQiString CQiPath::Append(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    std::size_t skip = 0;
    while (skip < name.size() && name[skip] == '/') ++skip;
    if (skip == name.size()) return dir;
    std::string joined = dir.substr(0, EndWithoutTrailingSlashes(dir));
    if (joined.back() != '/') joined += '/';
    joined.append(name, skip, std::string::npos);
    return joined;
}

bool CQiPath::Exists(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::exists(path, ec);
}

bool CQiPath::IsFile(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_regular_file(path, ec);
}

bool CQiPath::IsDirectory(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

// Trailing separators do not make an empty last component: the parent of
// "/a/b/" is "/a", as for "/a/b".
CQiString CQiPath::GetParent(const std::string& path) {
    const std::size_t end = EndWithoutTrailingSlashes(path);
    if (end == 0) return CQiString();
    const std::size_t slash = path.find_last_of('/', end - 1);
    if (slash == std::string::npos) return CQiString();
    std::size_t parentEnd = slash;
    while (parentEnd > 0 && path[parentEnd - 1] == '/') --parentEnd;
    if (parentEnd == 0) return CQiString("/");
    return path.substr(0, parentEnd);
}

CQiString CQiPath::GetFileName(const std::string& path) {
    const std::size_t end = EndWithoutTrailingSlashes(path);
    if (end == 0) return CQiString();
    const std::size_t slash = path.find_last_of('/', end - 1);
    if (slash == std::string::npos) return path.substr(0, end);
    return path.substr(slash + 1, end - slash - 1);
}

// --- CQiDirectory ---

CQiError CQiDirectory::Create(const std::string& path, bool recursive) {
    if (recursive && !CQiPath::IsDirectory(path)) {
        // Each proper prefix that ends before a separator: "a/b/c" makes "a", "a/b".
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            if (path[slash - 1] == '/') continue;
            CQiError error = MakeOneDirectory(path.substr(0, slash));
            if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        }
    }
    CQiError error = MakeOneDirectory(path);
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}

CQiError CQiDirectory::Sync(const std::string& path) {
    CQiDirectoryHandle dir;
    CQiError error = dir.Open(path);
    if (!error.IsError()) error = dir.Sync();
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}

// --- CQiFile: whole-file utilities ---

// Reading and writing go through CQiFile, so every failure names the file and
// the call that failed. The destination is opened without truncation first, so
// copying a file onto itself is refused before any byte is lost. Neither name
// is followed or waited on when it is a link, FIFO or device, and a
// destination with a second hard link is refused before it is emptied: it
// would empty and fill whichever file that other name is.
CQiError CQiFile::Copy(const std::string& src, const std::string& dst) {
    CQiFile in;
    CQiError error = in.Open(src, OpenRead | OpenRegularOnly);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    struct stat srcStat {};
    if (Sys().fstat(in.fd_, &srcStat) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", src);
    const unsigned mode = srcStat.st_mode & 0777;

    CQiFile out;
    bool created = true;
    error = out.Open(dst, OpenWrite | OpenCreate | OpenExclusive | OpenRegularOnly, mode);
    if (error.IsError() && error.GetSystemErrNo() == EEXIST) {
        created = false;
        error = out.Open(dst, OpenWrite | OpenRegularOnly);
    }
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    if (created) {
        // The umask narrowed the mode given to open; the copy keeps the source's.
        error = out.SetPermissions(mode);
    } else {
        struct stat dstStat {};
        if (Sys().fstat(out.fd_, &dstStat) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", dst);
        if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Cannot copy [%s] onto itself [%s]",
                                           src.c_str(), dst.c_str());
        }
        if (dstStat.st_nlink > 1) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Cannot copy [%s] onto [%s], which has %llu names",
                                           src.c_str(), dst.c_str(), static_cast<unsigned long long>(dstStat.st_nlink));
        }
        error = out.Truncate(0);
    }
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);

    std::unique_ptr<char[]> block(new (std::nothrow) char[kCopyBlockSize]);
    if (!block) return ErrorFromErrno(FX_CODE_LOCATION, ENOMEM, "copy", src);
    uint64_t offset = 0;
    for (;;) {
        std::size_t got = 0;
        error = in.ReadAt(block.get(), kCopyBlockSize, offset, got);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        if (got == 0) break;
        std::size_t written = 0;
        error = out.Write(block.get(), got, written);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        offset += got;
        if (got < kCopyBlockSize) break;  // ReadAt stops short only at end of file
    }
    error = out.Sync();
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    error = out.Close();
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    return CQiError::Success();
}

CQiError CQiFile::Delete(const std::string& path, bool missingOk) {
    if (Sys().unlink(path.c_str()) == 0) return CQiError::Success();
    const int systemErrno = errno;
    if (systemErrno == ENOENT && missingOk) return CQiError::Success();
    return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "delete", path);
}

CQiError CQiFile::Rename(const std::string& from, const std::string& to) {
    if (Sys().rename(from.c_str(), to.c_str()) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "rename", from + " -> " + to);
    }
    CQiError error = CQiDirectory::Sync(CQiPath::GetParent(to));
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}

CQiError CQiFile::GetSize(const std::string& path, uint64_t& size) {
    struct stat st {};
    CQiError error = StatPath(FX_CODE_LOCATION, path, st);
    if (!error.IsError()) size = static_cast<uint64_t>(st.st_size);
    return error;
}

CQiError CQiFile::GetMode(const std::string& path, unsigned& mode) {
    struct stat st {};
    CQiError error = StatPath(FX_CODE_LOCATION, path, st);
    if (!error.IsError()) mode = st.st_mode & 07777;
    return error;
}

// --- CQiFile: one open file ---

CQiFile::~CQiFile() {
    if (fd_ >= 0) Sys().close(fd_);
}

CQiFile::CQiFile(CQiFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

CQiFile& CQiFile::operator=(CQiFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) Sys().close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

CQiError CQiFile::Open(const std::string& path, unsigned flags, unsigned permissions) {
    return OpenAt(AT_FDCWD, path, path, flags, permissions);
}

CQiError CQiFile::OpenAt(int dirfd, const std::string& name, const std::string& shownPath, unsigned flags,
                         unsigned permissions, const CQiFileStat* seen, CQiFileStat* opened) {
    if (fd_ >= 0) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "File [%s] already open, cannot open [%s]",
                                       path_.c_str(), shownPath.c_str());
    }
    // Appending or truncating is writing, whatever else was asked.
    const bool reading = (flags & OpenRead) != 0;
    const bool writing = (flags & (OpenWrite | OpenAppend | OpenTruncate)) != 0;
    const bool regularOnly = (flags & OpenRegularOnly) != 0;
    int systemFlags = O_CLOEXEC;
    if (reading && writing) {
        systemFlags |= O_RDWR;
    } else if (writing) {
        systemFlags |= O_WRONLY;
    } else {
        systemFlags |= O_RDONLY;
    }
    if (flags & OpenCreate) systemFlags |= O_CREAT;
    if (flags & OpenTruncate) systemFlags |= O_TRUNC;
    if (flags & OpenAppend) systemFlags |= O_APPEND;
    if (flags & OpenExclusive) systemFlags |= O_EXCL;
    if (flags & OpenNoFollow) systemFlags |= O_NOFOLLOW;
    if (regularOnly) {
        // O_NOCTTY: a terminal planted at the name must not become ours.
        systemFlags |= O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        CQiError refusal = seen ? RefuseNonRegular(*seen, shownPath) : RefuseNonRegularName(dirfd, name, shownPath);
        if (refusal.IsError()) return refusal.Push(FX_CODE_LOCATION);
    }
    int fd;
    do {
        fd = dirfd == AT_FDCWD ? Sys().open(name.c_str(), systemFlags, static_cast<mode_t>(permissions))
                               : Sys().openat(dirfd, name.c_str(), systemFlags, static_cast<mode_t>(permissions));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int systemErrno = errno;
        // These are the kernel's answers for a link, a FIFO or device without a
        // peer, and a directory: say which it was.
        if (regularOnly && (systemErrno == ELOOP || systemErrno == ENXIO || systemErrno == EISDIR)) {
            CQiError refusal = RefuseNonRegularName(dirfd, name, shownPath);
            if (refusal.IsError()) return refusal.Push(FX_CODE_LOCATION);
        }
        return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "open", shownPath);
    }
    if (regularOnly) {
        // The name may have been swapped since it was looked at; the descriptor
        // is what counts.
        CQiError error = CheckRegularDescriptor(fd, systemFlags, shownPath, opened);
        if (error.IsError()) {
            Sys().close(fd);
            return error.Push(FX_CODE_LOCATION);
        }
    }
    fd_ = fd;
    path_ = shownPath;
    return CQiError::Success();
}

void CQiFile::Adopt(int fd, std::string path) {
    if (fd_ >= 0) Sys().close(fd_);
    fd_ = fd;
    path_ = std::move(path);
}

CQiError CQiFile::ReadAt(void* buffer, std::size_t length, uint64_t offset, std::size_t& got) {
    got = 0;
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "read", path_);
    char* out = static_cast<char*>(buffer);
    while (got < length) {
        const ssize_t n = Sys().pread(fd_, out + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(FX_CODE_LOCATION, errno, "read", path_);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return CQiError::Success();
}

CQiError CQiFile::Write(const void* buffer, std::size_t length, std::size_t& written) {
    written = 0;
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "write", path_);
    const char* in = static_cast<const char*>(buffer);
    while (written < length) {
        const ssize_t n = Sys().write(fd_, in + written, length - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrorFromErrno(FX_CODE_LOCATION, errno, "write", path_);
        }
        // A write that makes no progress would be retried for ever.
        if (n == 0) return ErrorFromErrno(FX_CODE_LOCATION, EIO, "write", path_);
        written += static_cast<std::size_t>(n);
    }
    return CQiError::Success();
}

CQiError CQiFile::Size(uint64_t& size) {
    struct stat st {};
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "stat", path_);
    if (Sys().fstat(fd_, &st) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", path_);
    size = static_cast<uint64_t>(st.st_size);
    return CQiError::Success();
}

CQiError CQiFile::Truncate(uint64_t size) {
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "truncate", path_);
    int rc;
    do {
        rc = Sys().ftruncate(fd_, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "truncate", path_);
    return CQiError::Success();
}

CQiError CQiFile::SetPermissions(unsigned mode) {
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "change permissions of", path_);
    if (Sys().fchmod(fd_, static_cast<mode_t>(mode & 07777)) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "change permissions of", path_);
    }
    return CQiError::Success();
}

CQiError CQiFile::SetAppending() {
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "make appending", path_);
    const int flags = Sys().fcntl_flags(fd_, F_GETFL, 0);
    if (flags < 0 || Sys().fcntl_flags(fd_, F_SETFL, flags | O_APPEND) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "make appending", path_);
    }
    return CQiError::Success();
}

CQiError CQiFile::SetOwner(uint32_t owner, uint32_t group) {
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "change owner of", path_);
    if (Sys().fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "change owner of", path_);
    }
    return CQiError::Success();
}

CQiError CQiFile::Stat(CQiFileStat& st) {
    struct stat raw {};
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "stat", path_);
    if (Sys().fstat(fd_, &raw) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", path_);
    st = FileStatFrom(raw);
    return CQiError::Success();
}

CQiError CQiFile::Sync() {
    if (fd_ < 0) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "sync", path_);
    int rc;
    do {
        rc = Sys().fsync(fd_);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "sync", path_);
    return CQiError::Success();
}

// The descriptor is gone after close(2) whatever it returns (retrying could
// close a descriptor another thread just opened), so the file is closed even
// when an error is reported.
CQiError CQiFile::Close() {
    if (fd_ < 0) return CQiError::Success();
    const int fd = std::exchange(fd_, -1);
    if (Sys().close(fd) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "close", path_);
    return CQiError::Success();
}
