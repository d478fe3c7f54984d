#include <platform/IdxNamedMutex.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include <platform/DbgLog.h>
#include <platform/internal/IdxLockDirectory.h>
#include <platform/QiCRC64.h>
#include <platform/QiError.h>
#include <platform/internal/SysCalls.h>

// Who shares a lock, and why no other user can break one.
//
// All users meet in one directory that root owns, mode 1777: anyone may create
// an entry, only its owner and root may remove or rename it. Whoever locks a
// name first creates its lock file, readable by all and writable by nobody
// else. flock needs only a descriptor open for reading, so others can lock the
// file without being able to change it; an OFD write lock would need one open
// for writing, and so a lock file that every user may write.
//
// Exclusion rests on a lock file staying linked while anyone uses it, so a file
// is used only when its owner is no stranger: root, the caller, or anyone when
// the directory admits only its owner and group. Root takes over a file that
// another user made in a world-writable directory (chowns it, then checks that
// the name still leads to it): its maker could otherwise delete it under root
// and the service sharing it, and let a third writer in. An unprivileged caller
// refuses such a file. A stranger can still hold a lock and so delay writers;
// that is the price of one directory for all.
//
// A directory is used only when root owns it (or the caller, except for the
// shared one) and nobody else can remove entries: writable by group or others
// only with the sticky bit. Root makes the shared directory when it is missing;
// an unprivileged process falls back to its own "<shared>-<uid>", whose locks
// exclude only processes of its own user, and says so once.

namespace I2::Utils {

namespace {

constexpr int kBuiltInDefaultTimeoutMs = 30000;
std::atomic<int> g_defaultTimeoutMs{kBuiltInDefaultTimeoutMs};

constexpr int kLockError = 1001;

// Encoded names longer than this are shortened, leaving room under NAME_MAX.
constexpr std::size_t kMaxPlainFileName = 200;
constexpr std::size_t kKeptPrefix = 150;

// A lock file that another process replaces this often while we open it is
// given up rather than chased for ever.
constexpr int kOpenAttempts = 16;

constexpr auto kFirstBackOff = std::chrono::microseconds(100);
constexpr auto kMaxBackOff = std::chrono::milliseconds(10);

const EvDebug debugLog;

// Which thread of this process holds each lock file. The kernel grants a lock
// to one open file description at a time, so there is at most one holder per
// file; the registry only has to tell whether that holder is the caller. A
// forked child inherits the parent's entries (and its thread ids), so each
// entry names the process too: the parent's lock is not the child's to hold,
// and the child waits for it like any other process.
using FileKey = std::pair<uint64_t, uint64_t>;  // device, inode

struct Holder {
    pid_t process;
    std::thread::id thread;
};

struct Registry {
    std::mutex mutex;
    std::map<FileKey, Holder> holders;
    // The shared directory this process found missing. It keeps to its private
    // one from then on, even once the shared one appears: two objects of one
    // name in one process must always meet on the same file.
    std::string abandoned;
};

// Never destroyed: mutexes that are themselves static may unlock during exit.
Registry& Holders() {
    static Registry* const registry = new Registry;
    return *registry;
}

// `self` is the caller's process id, asked once per lock.
bool HeldByThisThread(const FileKey& key, pid_t self) {
    Registry& registry = Holders();
    std::lock_guard<std::mutex> guard(registry.mutex);
    const auto it = registry.holders.find(key);
    return it != registry.holders.end() && it->second.process == self &&
           it->second.thread == std::this_thread::get_id();
}

// Returns false only when memory runs out; the caller then gives the lock back.
bool Register(const FileKey& key, pid_t self) {
    try {
        Registry& registry = Holders();
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.holders[key] = Holder{self, std::this_thread::get_id()};
        return true;
    } catch (...) {
        return false;
    }
}

void Unregister(const FileKey& key) {
    Registry& registry = Holders();
    std::lock_guard<std::mutex> guard(registry.mutex);
    registry.holders.erase(key);
}

bool Abandoned(const std::string& shared) {
    Registry& registry = Holders();
    std::lock_guard<std::mutex> guard(registry.mutex);
    return registry.abandoned == shared;
}

void Abandon(const std::string& shared, const std::string& fallback) {
    Registry& registry = Holders();
    {
        std::lock_guard<std::mutex> guard(registry.mutex);
        if (registry.abandoned == shared) return;
        registry.abandoned = shared;
    }
    // Locks that silently stop excluding other users are worth a line at any level.
    const int level = debugLog.getDebugLevel();
    if (level >= -1) {
        debugLog.Debug(level >= 2 ? __PRETTY_FUNCTION__ : "",
                       "Lock directory [%s] is missing: using [%s], whose locks exclude only processes of uid %lu",
                       shared.c_str(), fallback.c_str(), static_cast<unsigned long>(::geteuid()));
    }
}

CQiError Unsafe(const FXCodeLocation& location, const char* what, const std::string& path, const std::string& why) {
    return FXErrorUtil::ErrorErrNo(location, kLockError, "%s [%s] unsafe: %s", what, path.c_str(), why.c_str());
}

std::string OwnedBy(uid_t owner, bool rootOnly) {
    return FXString::Format("owned by uid %lu (must be root%s)", static_cast<unsigned long>(owner),
                            rootOnly ? "" : " or the caller");
}

// O_NOFOLLOW: a symlink in place of the directory is refused. The lock file is
// then opened relative to the descriptor, so the directory checked is the one used.
CQiError OpenDirectory(const std::string& path, int& fd) {
    do {
        fd = Sys().open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return CQiError::Success();
    const int error = errno;
    if (error != ELOOP && error != ENOTDIR) return ErrorFromErrno(FX_CODE_LOCATION, error, "open lock directory", path);
    // With O_DIRECTORY the kernel calls a symlink "not a directory" too.
    struct stat st {};
    const bool link = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    return Unsafe(FX_CODE_LOCATION, "Lock directory", path, link ? "a symbolic link" : "not a directory");
}

// Made with exactly `mode`, which the umask would narrow. A directory that
// another process makes at the same moment is opened instead, and checked alike.
CQiError CreateDirectory(const std::string& path, mode_t mode, int& fd) {
    const bool made = Sys().mkdir(path.c_str(), mode) == 0;
    if (!made && errno != EEXIST) return ErrorFromErrno(FX_CODE_LOCATION, errno, "create lock directory", path);
    CQiError err = OpenDirectory(path, fd);
    if (err.IsError() || !made || Sys().fchmod(fd, mode) == 0) return err;
    err = ErrorFromErrno(FX_CODE_LOCATION, errno, "set the mode of lock directory", path);
    Sys().close(fd);
    fd = -1;
    return err;
}

CQiError CheckDirectory(int fd, const std::string& path, bool rootOnly, uid_t me, struct stat& st) {
    if (Sys().fstat(fd, &st) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "inspect lock directory", path);
    if (st.st_uid != 0 && (rootOnly || st.st_uid != me)) {
        return Unsafe(FX_CODE_LOCATION, "Lock directory", path, OwnedBy(st.st_uid, rootOnly));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return Unsafe(FX_CODE_LOCATION, "Lock directory", path, "writable by others without the sticky bit");
    }
    return CQiError::Success();
}

// Opens and checks the lock directory. A configured one is made private when
// missing. The shared one is made by root; an unprivileged caller who finds it
// missing moves `dir` to its private fallback, and `shared` to false. `me` is
// the caller's effective user.
CQiError OpenLockDirectory(std::string& dir, bool& shared, uid_t me, int& fd, struct stat& st) {
    const bool root = me == 0;
    CQiError err;
    if (!(shared && !root && Abandoned(dir))) err = OpenDirectory(dir, fd);
    if (fd < 0 && (!err.IsError() || err.GetSystemErrNo() == ENOENT)) {
        if (shared && !root) {
            const std::string missing = dir;
            dir += "-" + std::to_string(static_cast<unsigned long>(me));
            shared = false;
            Abandon(missing, dir);
        }
        err = CreateDirectory(dir, shared ? 01777 : 0700, fd);
    }
    if (!err.IsError()) err = CheckDirectory(fd, dir, shared, me, st);
    if (err.IsError() && fd >= 0) {
        Sys().close(fd);
        fd = -1;
    }
    return err;
}

// Lock names may hold any byte; file names may not. The mapping is one-to-one:
//   "_a_b_r.csv" -> "L_a_b_r.csv"     "a/b" -> "La%2Fb"     "." -> "L."
// and a name whose encoding is too long keeps a prefix plus the CRC-64 of the
// whole name: "H<first 150 bytes>-<16 hex digits>". The "L"/"H" tag keeps the
// two forms apart, and no name starts with a dot.
std::string LockFileName(const std::string& name) {
    std::string encoded = "L";
    for (const char c : name) {
        if (c == '/' || c == '\0' || c == '%') {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
            encoded += escape;
        } else {
            encoded += c;
        }
    }
    if (encoded.size() <= kMaxPlainFileName) return encoded;
    CQiCRC64 crc;
    crc.UpdateCRC64(name.data(), name.size());
    char digest[20];
    std::snprintf(digest, sizeof digest, "-%016llX", static_cast<unsigned long long>(crc.GetCRC64()));
    return "H" + encoded.substr(1, kKeptPrefix) + digest;
}

// Readable, and so lockable, by whoever may enter the directory: 0600 in a
// private one, 0640 in a group's, 0644 in the shared one.
mode_t LockFileMode(mode_t directoryMode) {
    mode_t mode = S_IRUSR | S_IWUSR;
    if ((directoryMode & S_IXGRP) != 0) mode |= S_IRGRP;
    if ((directoryMode & S_IXOTH) != 0) mode |= S_IROTH;
    return mode;
}

int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) {
    int fd;
    do {
        fd = Sys().openat(dirFd, name.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A file of our own making gets its mode without the umask, and in a group's
// directory the directory's group, so that every member can open it (failing
// that, a member outside that group meets a clear "Permission denied").
CQiError SetUpNewLockFile(int fd, const struct stat& dirInfo, mode_t mode, const std::string& path,
                          struct stat& st) {
    if (Sys().fchmod(fd, mode) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "set the mode of lock file", path);
    if (Sys().fstat(fd, &st) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "inspect lock file", path);
    const bool groupOnly = (dirInfo.st_mode & S_IXGRP) != 0 && (dirInfo.st_mode & S_IXOTH) == 0;
    if (groupOnly && st.st_gid != dirInfo.st_gid) (void)::fchown(fd, static_cast<uid_t>(-1), dirInfo.st_gid);
    return CQiError::Success();
}

// An existing file is used only when nobody who could unlink it is a stranger
// (see the top of this file). `replaced`: root took the file over but the name
// no longer leads to it; the caller opens the name again.
CQiError VetLockFile(int dirFd, const struct stat& dirInfo, const std::string& fileName, mode_t mode,
                     const std::string& path, uid_t me, int fd, struct stat& st, bool& replaced) {
    if (Sys().fstat(fd, &st) != 0) return ErrorFromErrno(FX_CODE_LOCATION, errno, "inspect lock file", path);
    if (!S_ISREG(st.st_mode)) return Unsafe(FX_CODE_LOCATION, "Lock file", path, "not a regular file");
    if (st.st_nlink != 1) {
        return Unsafe(FX_CODE_LOCATION, "Lock file", path,
                      FXString::Format("%lu links (must be 1)", static_cast<unsigned long>(st.st_nlink)));
    }
    if (st.st_uid == 0 || st.st_uid == me || (dirInfo.st_mode & S_IWOTH) == 0) return CQiError::Success();
    if (me != 0) return Unsafe(FX_CODE_LOCATION, "Lock file", path, OwnedBy(st.st_uid, false));
    if (::fchown(fd, 0, static_cast<gid_t>(-1)) != 0 || Sys().fchmod(fd, mode) != 0) {
        return ErrorFromErrno(FX_CODE_LOCATION, errno, "take over lock file", path);
    }
    struct stat linked {};
    replaced = ::fstatat(dirFd, fileName.c_str(), &linked, AT_SYMLINK_NOFOLLOW) != 0 || linked.st_dev != st.st_dev ||
               linked.st_ino != st.st_ino;
    return CQiError::Success();
}

// An existing file is opened without O_CREAT: with fs.protected_regular, O_CREAT
// on another user's file in a sticky world-writable directory fails with EACCES,
// even for root. A file made between our two opens is opened again, as theirs.
// O_NONBLOCK: a FIFO planted under the name must not stall the open.
CQiError OpenLockFileIn(int dirFd, const struct stat& dirInfo, const std::string& dir, const std::string& fileName,
                        uid_t me, int& fd, struct stat& st) {
    const std::string path = dir + "/" + fileName;
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    const mode_t mode = LockFileMode(dirInfo.st_mode);
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        bool created = false;
        fd = OpenAt(dirFd, fileName, flags, 0);
        if (fd < 0 && errno == ENOENT) {
            fd = OpenAt(dirFd, fileName, flags | O_CREAT | O_EXCL, mode);
            if (fd < 0 && errno == EEXIST) continue;
            created = fd >= 0;
        }
        if (fd < 0) {
            const int error = errno;
            if (error == ELOOP) return Unsafe(FX_CODE_LOCATION, "Lock file", path, "a symbolic link");
            return ErrorFromErrno(FX_CODE_LOCATION, error, "open lock file", path);
        }
        bool replaced = false;
        const CQiError err = created ? SetUpNewLockFile(fd, dirInfo, mode, path, st)
                                     : VetLockFile(dirFd, dirInfo, fileName, mode, path, me, fd, st, replaced);
        if (!err.IsError() && !replaced) return err;
        Sys().close(fd);
        fd = -1;
        if (err.IsError()) return err;
    }
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, kLockError, "Lock file [%s] kept changing while it was opened",
                                   path.c_str());
}

// Asks for the lock, waiting for it or not; 0 when granted, else the errno.
int RequestLock(int fd, bool wait) {
    int rc;
    do {
        rc = Sys().flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : errno;
}

CQiError LockWithoutLimit(int fd, const std::string& path) {
    const int error = RequestLock(fd, true);
    return error == 0 ? CQiError::Success() : ErrorFromErrno(FX_CODE_LOCATION, error, "lock", path);
}

// The kernel cannot wait on these locks with a time limit, so a timed wait
// polls, backing off from 100 us to 10 ms between attempts. At least one
// attempt is made however short the limit.
CQiError LockWithin(int fd, int timeoutMs, const std::string& path, bool& timedOut) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::chrono::microseconds backOff = kFirstBackOff;
    for (;;) {
        const int error = RequestLock(fd, false);
        if (error == 0) return CQiError::Success();
        if (error != EWOULDBLOCK) return ErrorFromErrno(FX_CODE_LOCATION, error, "lock", path);
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            timedOut = true;
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, kLockError, "Timed out after %d ms", timeoutMs);
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(backOff, left));
        backOff = std::min<std::chrono::microseconds>(backOff * 2, kMaxBackOff);
    }
}

bool Unlock(int fd) { return Sys().flock(fd, LOCK_UN) == 0; }

}  // namespace

std::string& SharedLockDirectory() {
    static std::string path = "/run/lock/idxreports";
    return path;
}

IdxNamedMutex::IdxNamedMutex(const std::string& name) : name_(name) {
    const char* configured = std::getenv("IDXREPORTS_LOCK_DIR");
    sharedDefault_ = configured == nullptr || *configured == '\0';
    dir_ = sharedDefault_ ? SharedLockDirectory() : std::string(configured);
    // O_NOFOLLOW must see the directory itself: "dir/" would follow a symlink.
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

IdxNamedMutex::~IdxNamedMutex() {
    unlock();
    if (fd_ >= 0) Sys().close(fd_);
}

// The descriptor is this object's own (never shared with another object of
// the same name), which is what makes two objects in one process exclude each
// other.
CQiError IdxNamedMutex::OpenLockFile() {
    int dirFd = -1;
    struct stat dirInfo {};
    // Asked once: the checks of the directory and of the file judge by one user.
    const uid_t me = ::geteuid();
    CQiError err = OpenLockDirectory(dir_, sharedDefault_, me, dirFd, dirInfo);
    if (err.IsError()) return err;
    struct stat st {};
    err = OpenLockFileIn(dirFd, dirInfo, dir_, LockFileName(name_), me, fd_, st);
    Sys().close(dirFd);
    if (err.IsError()) return err;
    device_ = static_cast<uint64_t>(st.st_dev);
    inode_ = static_cast<uint64_t>(st.st_ino);
    return err;
}

CQiError IdxNamedMutex::Acquire(int timeoutMs) {
    if (fd_ < 0) {
        const CQiError err = OpenLockFile();
        if (err.IsError()) return err;
    }
    const FileKey key{device_, inode_};
    const pid_t self = ::getpid();
    // Only this thread could release it, and it would be waiting here: fail now.
    if (HeldByThisThread(key, self)) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, kLockError, "Held by this thread through another object");
    }
    const int limit = timeoutMs == 0 ? GetDefaultTimeoutMs() : timeoutMs;
    const std::string path = dir_ + "/" + LockFileName(name_);
    const CQiError err = limit < 0 ? LockWithoutLimit(fd_, path) : LockWithin(fd_, limit, path, timedOut_);
    if (err.IsError()) return err;
    if (!Register(key, self)) {
        Unlock(fd_);
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, kLockError, "Out of memory");
    }
    locked_ = true;
    return err;
}

bool IdxNamedMutex::lock(int timeoutMs) {
    timedOut_ = false;
    if (!locked_) {
        try {
            reason_ = Acquire(timeoutMs).GetMessage();
        } catch (const std::bad_alloc&) {
            reason_ = "Out of memory";  // short enough to need no allocation
        }
    } else {
        reason_.clear();
    }
    return locked_;
}

void IdxNamedMutex::unlock() {
    if (!locked_) return;
    // Leave the registry before the kernel lets the next holder in, so that a
    // thread granted the lock never finds a stale entry.
    Unregister(FileKey{device_, inode_});
    if (!Unlock(fd_)) {
        // Closing the object's only descriptor releases the lock for certain.
        Sys().close(fd_);
        fd_ = -1;
    }
    locked_ = false;
}

bool IdxNamedMutex::isLocked() const { return locked_; }

// 0 restores the built-in 30 s; a negative value makes lock(0) wait without limit.
void IdxNamedMutex::SetDefaultTimeoutMs(int timeoutMs) {
    g_defaultTimeoutMs.store(timeoutMs == 0 ? kBuiltInDefaultTimeoutMs : timeoutMs);
}

int IdxNamedMutex::GetDefaultTimeoutMs() { return g_defaultTimeoutMs.load(); }

}  // namespace I2::Utils
