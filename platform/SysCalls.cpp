#include <platform/internal/SysCalls.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace I2::Utils {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealFcntlLock(int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); }

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
        ::fstat,    ::rename, ::unlink, ::mkdir,         RealFcntlLock, ::fchmod,
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
    const char* reason = ReasonText(strerror_r(systemErrno, buffer, sizeof buffer), buffer);
    return FXErrorUtil::ErrorSysErrNo(location, CodeForErrno(systemErrno), systemErrno,
                                      "Failed to %s [%s]: %s", what, path.c_str(), reason);
}

}  // namespace I2::Utils
