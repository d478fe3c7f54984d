#include <platform/internal/SysCalls.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace I2::Utils {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealOpenat(int dirfd, const char* name, int flags, mode_t mode) { return ::openat(dirfd, name, flags, mode); }
int RealFcntlFlags(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the
// buffer); these overloads accept either.
[[maybe_unused]] const char* ReasonText(const char* gnuResult, const char*) { return gnuResult; }
[[maybe_unused]] const char* ReasonText(int xsiResult, const char* buffer) {
    return xsiResult == 0 ? buffer : "Unknown error";
}

int CodeForErrno(int systemErrno) {
    switch (systemErrno) {
        case ENOENT:
        case ENOTDIR:
            return 2;
        case EINVAL:
        case EISDIR:
        case ENAMETOOLONG:
        case ELOOP:
        case EEXIST:
            return 22;
        default:
            return 150;
    }
}

}  // namespace

const SysCalls& RealSysCalls() {
    static const SysCalls kReal = {
        RealOpen,   ::close,  ::pread,  ::write,         ::fsync,  ::ftruncate,
        ::fstat,    ::rename, ::unlink, ::mkdir,         ::flock,  ::fchmod,
        RealOpenat, ::fstatat, ::renameat, ::renameat2, ::linkat, ::unlinkat,
        ::mkdirat,  ::fchown, RealFcntlFlags, ::readlink,
    };
    return kReal;
}

SysCalls& Sys() {
    static SysCalls table = RealSysCalls();
    return table;
}

CQiError ErrorFromErrno(const FXCodeLocation& location, int systemErrno, const char* what,
                        const std::string& path) {
    char buffer[256] = {};
    return ErrorFromErrno(location, systemErrno, what, path,
                          ReasonText(strerror_r(systemErrno, buffer, sizeof buffer), buffer));
}

CQiError ErrorFromErrno(const FXCodeLocation& location, int systemErrno, const char* what,
                        const std::string& path, const char* reason) {
    return FXErrorUtil::ErrorSysErrNo(location, CodeForErrno(systemErrno), systemErrno,
                                      "Failed to %s [%s]: %s", what, path.c_str(), reason);
}

CQiError WrongTypeError(const FXCodeLocation& location, const char* what, const std::string& path,
                        CQiFileStat::Type found, CQiFileStat::Type wanted) {
    using Type = CQiFileStat::Type;
    int systemErrno = 0;
    if (found == Type::SymbolicLink) {
        systemErrno = ELOOP;
    } else if (found == Type::Directory) {
        systemErrno = EISDIR;
    } else if (wanted == Type::Directory) {
        systemErrno = ENOTDIR;
    }
    return FXErrorUtil::ErrorSysErrNo(location, 22, systemErrno, "Failed to %s [%s]: it is %s, not %s", what,
                                      path.c_str(), CQiFileStat::Describe(found), CQiFileStat::Describe(wanted));
}

CQiFileStat FileStatFrom(const struct stat& st) {
    using Type = CQiFileStat::Type;
    CQiFileStat result;
    switch (st.st_mode & S_IFMT) {
        case S_IFREG: result.type = Type::Regular; break;
        case S_IFDIR: result.type = Type::Directory; break;
        case S_IFLNK: result.type = Type::SymbolicLink; break;
        case S_IFIFO: result.type = Type::Fifo; break;
        case S_IFCHR: result.type = Type::CharacterDevice; break;
        case S_IFBLK: result.type = Type::BlockDevice; break;
        case S_IFSOCK: result.type = Type::Socket; break;
        default: result.type = Type::Unknown; break;
    }
    result.mode = st.st_mode & 07777;
    result.owner = st.st_uid;
    result.group = st.st_gid;
    result.size = static_cast<uint64_t>(st.st_size);
    result.device = st.st_dev;
    result.inode = st.st_ino;
    result.links = st.st_nlink;
    return result;
}

}  // namespace I2::Utils
