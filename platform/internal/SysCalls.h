#pragma once

// The system calls the platform layer makes, as one table that tests can swap
// to inject failures (a write that hits a full disk, a rename that fails, a lock
// that never comes) deterministically. Internal: not installed.

#include <sys/stat.h>
#include <sys/types.h>
#include <fcntl.h>

#include <cstddef>
#include <string>

#include <platform/QiError.h>

namespace I2::Utils {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buffer, size_t length, off_t offset);
    ssize_t (*write)(int fd, const void* buffer, size_t length);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* st);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*fcntl_lock)(int fd, int command, struct flock* lock);  // F_OFD_SETLK / F_OFD_SETLKW
    int (*fchmod)(int fd, mode_t mode);
};

// The table in force. Tests replace entries and restore them with ScopedSysCalls.
SysCalls& Sys();
const SysCalls& RealSysCalls();

// Restores the table it found when it goes out of scope.
class ScopedSysCalls {
public:
    ScopedSysCalls() : saved_(Sys()) {}
    ~ScopedSysCalls() { Sys() = saved_; }
    ScopedSysCalls(const ScopedSysCalls&) = delete;
    ScopedSysCalls& operator=(const ScopedSysCalls&) = delete;

private:
    SysCalls saved_;
};

// The one place where an errno becomes a CQiError: the library code it maps to
// (ENOENT and ENOTDIR: 2; EINVAL, EISDIR, ENAMETOOLONG, ELOOP, EEXIST: 22;
// everything else: 150), a message naming `what` was done to `path` and the
// system's reason, and the errno kept for GetSystemErrNo.
CQiError ErrorFromErrno(const FXCodeLocation& location, int systemErrno, const char* what,
                        const std::string& path);

}  // namespace I2::Utils
