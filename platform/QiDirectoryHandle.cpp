#include <platform/QiDirectoryHandle.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string_view>

#include <platform/internal/SysCalls.h>

using I2::Utils::ErrorFromErrno;
using I2::Utils::FileStatFrom;
using I2::Utils::Sys;
using I2::Utils::WrongTypeError;

namespace {

using Type = CQiFileStat::Type;

// Tries at unique names before giving up; only someone filling the directory
// with guesses on purpose makes more than one necessary.
constexpr int kUniqueNameAttempts = 100;

// Not secret, only unlikely to repeat: O_EXCL, not the name, is what makes the
// file ours. One sequence per thread, so no thread waits for another.
uint32_t NextNameSeed() {
    thread_local uint64_t state =
        (static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ull) ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(&state));
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state >> 16);
}

int OpenAtRetrying(int dirfd, const char* name, int flags, mode_t mode) {
    int fd;
    do {
        fd = Sys().openat(dirfd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// What is at `name` now, for a message about a refusal the kernel made;
// Unknown when it cannot be looked at.
Type TypeAt(int dirfd, const std::string& name) {
    struct stat st {};
    if (Sys().fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Type::Unknown;
    return FileStatFrom(st).type;
}

// A created file starts private to its creator; the caller's mode comes after
// the owner.
mode_t CreationMode(const CQiFileAttributes& attributes) { return attributes.mode ? 0600 : 0666; }

}  // namespace

CQiError CQiDirectoryHandle::Open(const std::string& path) {
    if (IsOpen()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Directory [%s] already open, cannot open [%s]",
                                       GetPath().c_str(), path.c_str());
    }
    const std::string dir = path.empty() ? std::string(".") : path;
    int fd;
    do {
        fd = Sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "open directory", dir);
    dir_.Adopt(fd, path);
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::Duplicate(CQiDirectoryHandle& copy) const {
    if (!IsOpen()) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "duplicate directory", GetPath());
    if (copy.IsOpen()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Directory [%s] already open, cannot open [%s]",
                                       copy.GetPath().c_str(), GetPath().c_str());
    }
    // "." of the descriptor, not the path: the same directory whatever its name
    // leads to now.
    const int fd = OpenAtRetrying(dirfd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "open directory", GetPath());
    copy.dir_.Adopt(fd, GetPath());
    return CQiError::Success();
}

std::string CQiDirectoryHandle::PathOf(const std::string& name) const { return CQiPath::Append(GetPath(), name); }

// One readlink of the descriptor's /proc name, where resolving the path would
// cost a call per component. A name that is no absolute path, or one the kernel
// marks as removed, is no canonical path.
bool CQiDirectoryHandle::GetCanonicalPath(std::string& path) const {
    static constexpr std::string_view kRemoved = " (deleted)";
    if (!IsOpen()) return false;
    char procName[32];
    std::snprintf(procName, sizeof procName, "/proc/self/fd/%d", dirfd());
    char target[PATH_MAX];
    const ssize_t length = Sys().readlink(procName, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target || target[0] != '/') return false;
    const std::string_view named(target, static_cast<std::size_t>(length));
    if (named.size() >= kRemoved.size() && named.substr(named.size() - kRemoved.size()) == kRemoved) return false;
    path.assign(named);
    return true;
}

CQiError CQiDirectoryHandle::CheckName(const std::string& name) const {
    if (!IsOpen()) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "use directory", PathOf(name));
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "[%s] is not a file name inside directory [%s]",
                                       name.c_str(), GetPath().c_str());
    }
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::OpenFile(const std::string& name, unsigned flags, CQiFile& file,
                                      unsigned permissions) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    error = file.OpenAt(dirfd(), name, PathOf(name), flags | CQiFile::OpenRegularOnly, permissions);
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}

CQiError CQiDirectoryHandle::OpenFile(const std::string& name, unsigned flags, CQiFile& file,
                                      const CQiFileStat* seen, CQiFileStat& opened) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    error = file.OpenAt(dirfd(), name, PathOf(name), flags | CQiFile::OpenRegularOnly, 0666, seen, &opened);
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}

// The owner first. The file starts 0600 to its creator; after fchown it is
// 0600 to its final owner, and only the final mode opens it further. A mode set
// first would for a moment grant its group and other bits under the creator's
// group, and a descriptor opened in that moment keeps its access for good.
CQiError CQiDirectoryHandle::ApplyAttributes(CQiFile& file, const CQiFileAttributes& attributes) const {
    if (attributes.owner || attributes.group) {
        CQiFileStat st;
        CQiError error = file.Stat(st);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        // Not asking for what is already so lets an unprivileged caller copy its
        // own attributes on file systems that refuse fchown altogether.
        const uint32_t owner = attributes.owner.value_or(st.owner);
        const uint32_t group = attributes.group.value_or(st.group);
        if (owner != st.owner || group != st.group) {
            error = file.SetOwner(owner, group);
            if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        }
    }
    if (attributes.mode) {
        CQiError error = file.SetPermissions(*attributes.mode & 0777u);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

void CQiDirectoryHandle::Discard(CQiFile& file, const std::string& name) const {
    CQiFileStat opened;
    struct stat atName {};
    if (!name.empty() && !file.Stat(opened).IsError() &&
        Sys().fstatat(dirfd(), name.c_str(), &atName, AT_SYMLINK_NOFOLLOW) == 0 &&
        FileStatFrom(atName).IsSameFile(opened)) {
        Sys().unlinkat(dirfd(), name.c_str(), 0);
    }
    file.Close();
}

CQiError CQiDirectoryHandle::CreateFile(const std::string& name, const CQiFileAttributes& attributes,
                                        CQiFile& file) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    const std::string shown = PathOf(name);
    if (file.IsOpen()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "File [%s] already open, cannot create [%s]",
                                       file.GetPath().c_str(), shown.c_str());
    }
    const int fd = OpenAtRetrying(dirfd(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  CreationMode(attributes));
    if (fd < 0) {
        const int systemErrno = errno;
        if (systemErrno == EEXIST) {
            const std::string found = std::string("it exists already, as ") + CQiFileStat::Describe(TypeAt(dirfd(), name));
            return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "create", shown, found.c_str());
        }
        return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "create", shown);
    }
    file.Adopt(fd, shown);
    error = ApplyAttributes(file, attributes);
    if (error.IsError()) {
        Discard(file, name);
        return error.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::CreateTemporary(const std::string& hint, const CQiFileAttributes& attributes,
                                             CQiFile& file, std::string& tempName) const {
    tempName.clear();
    CQiError error = CheckName(hint);
    if (error.IsError()) return error;
    if (file.IsOpen()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "File [%s] already open, cannot create a temporary",
                                       file.GetPath().c_str());
    }
    const int fd = OpenAtRetrying(dirfd(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, CreationMode(attributes));
    if (fd >= 0) {
        file.Adopt(fd, PathOf("(unnamed temporary for " + hint + ")"));
        error = ApplyAttributes(file, attributes);
        if (error.IsError()) {
            file.Close();
            return error.Push(FX_CODE_LOCATION);
        }
        return CQiError::Success();
    }
    // The file system (or an old kernel) has no unnamed files.
    const int systemErrno = errno;
    if (systemErrno != EOPNOTSUPP && systemErrno != EISDIR && systemErrno != EINVAL) {
        return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "create a temporary in", GetPath());
    }
    for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(NextNameSeed()));
        const std::string name = "." + hint + suffix;
        error = CreateFile(name, attributes, file);
        if (!error.IsError()) {
            tempName = name;
            return error;
        }
        if (error.GetSystemErrNo() != EEXIST) return error.Push(FX_CODE_LOCATION);
    }
    return error.Push(FX_CODE_LOCATION);
}

CQiError CQiDirectoryHandle::LinkTemporary(CQiFile& file, const std::string& tempName,
                                           const std::string& name) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    const std::string shown = PathOf(name);
    if (!file.IsOpen()) return ErrorFromErrno(FX_CODE_LOCATION, EBADF, "link", shown);
    if (!tempName.empty()) {
        error = CheckName(tempName);
        if (error.IsError()) return error;
        if (Sys().linkat(dirfd(), tempName.c_str(), dirfd(), name.c_str(), 0) != 0) {
            return ErrorFromErrno(FX_CODE_LOCATION, errno, "link", PathOf(tempName) + " -> " + shown);
        }
        file.path_ = shown;
        if (Sys().unlinkat(dirfd(), tempName.c_str(), 0) != 0) {
            const std::string reason = "[" + shown + "] is in place but the temporary name is left";
            return ErrorFromErrno(FX_CODE_LOCATION, errno, "delete", PathOf(tempName), reason.c_str());
        }
        return CQiError::Success();
    }
    // AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH; the descriptor's /proc name does
    // the same for everyone else.
    if (Sys().linkat(file.fd_, "", dirfd(), name.c_str(), AT_EMPTY_PATH) != 0) {
        if (errno != ENOENT && errno != EPERM) return ErrorFromErrno(FX_CODE_LOCATION, errno, "link", shown);
        const std::string procName = "/proc/self/fd/" + std::to_string(file.fd_);
        if (Sys().linkat(AT_FDCWD, procName.c_str(), dirfd(), name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            return ErrorFromErrno(FX_CODE_LOCATION, errno, "link", shown);
        }
    }
    file.path_ = shown;
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::Rename(const std::string& from, const std::string& to) const {
    CQiError error = CheckName(from);
    if (!error.IsError()) error = CheckName(to);
    if (error.IsError()) return error;
    if (Sys().renameat(dirfd(), from.c_str(), dirfd(), to.c_str()) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "rename", PathOf(from) + " -> " + PathOf(to));
    }
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::Exchange(const std::string& first, const std::string& second) const {
    CQiError error = CheckName(first);
    if (!error.IsError()) error = CheckName(second);
    if (error.IsError()) return error;
    if (Sys().renameat2(dirfd(), first.c_str(), dirfd(), second.c_str(), RENAME_EXCHANGE) != 0) {
        const int systemErrno = errno;
        const std::string names = PathOf(first) + " <-> " + PathOf(second);
        if (systemErrno == EINVAL || systemErrno == ENOSYS) {
            return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "exchange", names,
                                  "this file system or kernel cannot exchange two names atomically");
        }
        return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "exchange", names);
    }
    return CQiError::Success();
}

bool CQiDirectoryHandle::IsExchangeUnsupported(const CQiError& error) {
    return error.IsError() && (error.GetSystemErrNo() == EINVAL || error.GetSystemErrNo() == ENOSYS);
}

CQiError CQiDirectoryHandle::Link(const std::string& existing, const std::string& name) const {
    CQiError error = CheckName(existing);
    if (!error.IsError()) error = CheckName(name);
    if (error.IsError()) return error;
    if (Sys().linkat(dirfd(), existing.c_str(), dirfd(), name.c_str(), 0) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "link", PathOf(existing) + " -> " + PathOf(name));
    }
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::Unlink(const std::string& name, bool missingOk) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    if (Sys().unlinkat(dirfd(), name.c_str(), 0) == 0) return CQiError::Success();
    const int systemErrno = errno;
    if (systemErrno == ENOENT && missingOk) return CQiError::Success();
    return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "delete", PathOf(name));
}

CQiError CQiDirectoryHandle::MakeDirectory(const std::string& name, bool existingOk) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    if (Sys().mkdirat(dirfd(), name.c_str(), 0777) == 0) return CQiError::Success();
    const int systemErrno = errno;
    if (systemErrno == EEXIST && existingOk) {
        const Type found = TypeAt(dirfd(), name);
        if (found == Type::Directory) return CQiError::Success();
        return WrongTypeError(FX_CODE_LOCATION, "create directory", PathOf(name), found, Type::Directory);
    }
    return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "create directory", PathOf(name));
}

CQiError CQiDirectoryHandle::OpenDirectory(const std::string& name, CQiDirectoryHandle& sub) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    const std::string shown = PathOf(name);
    if (sub.IsOpen()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Directory [%s] already open, cannot open [%s]",
                                       sub.GetPath().c_str(), shown.c_str());
    }
    const int fd = OpenAtRetrying(dirfd(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        const int systemErrno = errno;
        if (systemErrno == ELOOP || systemErrno == ENOTDIR) {
            const Type found = TypeAt(dirfd(), name);
            if (found != Type::Unknown && found != Type::Directory) {
                return WrongTypeError(FX_CODE_LOCATION, "open directory", shown, found, Type::Directory);
            }
        }
        return ErrorFromErrno(FX_CODE_LOCATION, systemErrno, "open directory", shown);
    }
    sub.dir_.Adopt(fd, shown);
    return CQiError::Success();
}

CQiError CQiDirectoryHandle::Stat(const std::string& name, CQiFileStat& st) const {
    CQiError error = CheckName(name);
    if (error.IsError()) return error;
    struct stat raw {};
    if (Sys().fstatat(dirfd(), name.c_str(), &raw, AT_SYMLINK_NOFOLLOW) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "stat", PathOf(name));
    }
    st = FileStatFrom(raw);
    return CQiError::Success();
}

// Some file systems cannot sync a directory and say EINVAL; their renames are
// as durable as they get.
CQiError CQiDirectoryHandle::Sync() {
    CQiError error = dir_.Sync();
    if (error.IsError() && error.GetSystemErrNo() == EINVAL) return CQiError::Success();
    if (error.IsError()) error.Push(FX_CODE_LOCATION);
    return error;
}
