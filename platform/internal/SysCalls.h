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
#include <platform/QiFileSystem.h>

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
    int (*flock)(int fd, int operation);  // LOCK_EX, LOCK_NB, LOCK_UN
    int (*fchmod)(int fd, mode_t mode);
    // Relative to a directory descriptor, for code that must not resolve a
    // hostile directory's names twice.
    int (*openat)(int dirfd, const char* name, int flags, mode_t mode);
    int (*fstatat)(int dirfd, const char* name, struct stat* st, int flags);
    int (*renameat)(int fromDirfd, const char* from, int toDirfd, const char* to);
    int (*renameat2)(int fromDirfd, const char* from, int toDirfd, const char* to, unsigned flags);
    int (*linkat)(int fromDirfd, const char* from, int toDirfd, const char* to, int flags);
    int (*unlinkat)(int dirfd, const char* name, int flags);
    int (*mkdirat)(int dirfd, const char* name, mode_t mode);
    int (*fchown)(int fd, uid_t owner, gid_t group);
    int (*fcntl_flags)(int fd, int command, int argument);  // F_GETFL / F_SETFL
    ssize_t (*readlink)(const char* path, char* buffer, size_t length);
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
// Same, with `reason` in place of the system's text where the library knows
// better what happened: "Failed to create [/d/r.csv.tmp]: it exists already, as
// a symbolic link".
CQiError ErrorFromErrno(const FXCodeLocation& location, int systemErrno, const char* what,
                        const std::string& path, const char* reason);

// A name or descriptor that is not the kind of file the operation needs, always
// code 22: "Failed to open [/d/r.csv]: it is a FIFO, not a regular file". The
// errno kept is the one the kernel gives for the same refusal where it has one
// (ELOOP for a symbolic link, EISDIR for a directory where a file was wanted,
// ENOTDIR for a non-directory where a directory was wanted), else 0.
CQiError WrongTypeError(const FXCodeLocation& location, const char* what, const std::string& path,
                        CQiFileStat::Type found, CQiFileStat::Type wanted);

// fstat's answer in the library's form.
CQiFileStat FileStatFrom(const struct stat& st);

}  // namespace I2::Utils
