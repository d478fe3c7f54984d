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
#include <thread>
#include <utility>

#include <platform/DbgLog.h>
#include <platform/QiCRC64.h>
#include <platform/internal/SysCalls.h>

namespace I2::Utils {

namespace {

constexpr int kBuiltInDefaultTimeoutMs = 30000;
std::atomic<int> g_defaultTimeoutMs{kBuiltInDefaultTimeoutMs};

// Encoded names longer than this are shortened, leaving room under NAME_MAX.
constexpr std::size_t kMaxPlainFileName = 200;
constexpr std::size_t kKeptPrefix = 150;

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
};

// Never destroyed: mutexes that are themselves static may unlock during exit.
Registry& Holders() {
    static Registry* const registry = new Registry;
    return *registry;
}

bool HeldByThisThread(const FileKey& key) {
    Registry& registry = Holders();
    std::lock_guard<std::mutex> guard(registry.mutex);
    const auto it = registry.holders.find(key);
    return it != registry.holders.end() && it->second.process == ::getpid() &&
           it->second.thread == std::this_thread::get_id();
}

// Returns false only when memory runs out; the caller then gives the lock back.
bool Register(const FileKey& key) {
    try {
        Registry& registry = Holders();
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.holders[key] = Holder{::getpid(), std::this_thread::get_id()};
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

std::string LockDirectory() {
    const char* configured = std::getenv("IDXREPORTS_LOCK_DIR");
    std::string dir;
    if (configured != nullptr && *configured != '\0') {
        dir = configured;
    } else {
        // Deliberately not $TMPDIR: processes of one user with different
        // temp dirs must still meet on the same lock files.
        dir = "/tmp/.idxreports-locks-" + std::to_string(static_cast<unsigned long>(::geteuid()));
    }
    // lstat must see the directory itself: "dir/" would follow a symlink.
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

// The lock directory must be ours alone: anyone else able to write in it could
// swap lock files for links or remove a file in use. It is made if missing; an
// existing one is only checked, never repaired.
bool EnsurePrivateDirectory(const std::string& dir) {
    if (Sys().mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (debugLog.getDebugLevel() > 6) {
            debugLog.Debug(__PRETTY_FUNCTION__, "Cannot create lock directory [%s], errno %d", dir.c_str(), errno);
        }
        return false;
    }
    struct stat st {};
    const bool safe = ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
                      (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    if (!safe && debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__,
                       "Refusing lock directory [%s]: not a private directory of this user", dir.c_str());
    }
    return safe;
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

#if defined(IDXREPORTS_HAVE_OFD_LOCKS)
// l_start 0 and l_len 0 from SEEK_SET: the whole file, however long it grows.
struct flock WholeFile(short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    return request;
}
#endif

// Asks for the write lock, waiting for it or not; 0 when granted, else the errno.
int RequestLock(int fd, bool wait) {
    int rc;
#if defined(IDXREPORTS_HAVE_OFD_LOCKS)
    struct flock request = WholeFile(F_WRLCK);
    do {
        rc = Sys().fcntl_lock(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request);
    } while (rc != 0 && errno == EINTR);
#else
    do {
        rc = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
#endif
    return rc == 0 ? 0 : errno;
}

// 1: acquired; 0: held elsewhere; -1: failed.
int TryLock(int fd) {
    const int result = RequestLock(fd, false);
    if (result == 0) return 1;
    return (result == EAGAIN || result == EACCES || result == EWOULDBLOCK) ? 0 : -1;
}

bool LockWithoutLimit(int fd) { return RequestLock(fd, true) == 0; }

// The kernel cannot wait on these locks with a time limit, so a timed wait
// polls, backing off from 100 us to 10 ms between attempts. At least one
// attempt is made however short the limit.
bool LockWithin(int fd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::chrono::microseconds backOff = kFirstBackOff;
    for (;;) {
        const int result = TryLock(fd);
        if (result != 0) return result > 0;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        std::this_thread::sleep_for(std::min(backOff, left));
        backOff = std::min<std::chrono::microseconds>(backOff * 2, kMaxBackOff);
    }
}

bool Unlock(int fd) {
#if defined(IDXREPORTS_HAVE_OFD_LOCKS)
    struct flock request = WholeFile(F_UNLCK);
    return Sys().fcntl_lock(fd, F_OFD_SETLK, &request) == 0;
#else
    return ::flock(fd, LOCK_UN) == 0;
#endif
}

}  // namespace

IdxNamedMutex::IdxNamedMutex(const std::string& name) : name_(name), dir_(LockDirectory()) {}

IdxNamedMutex::~IdxNamedMutex() {
    unlock();
    if (fd_ >= 0) Sys().close(fd_);
}

// The descriptor is this object's own (never shared with another object of
// the same name), which is what makes two objects in one process exclude each
// other. O_NOFOLLOW: a symlink planted in place of a lock file is refused, not
// followed to whatever it points at.
bool IdxNamedMutex::OpenLockFile() {
    if (!EnsurePrivateDirectory(dir_)) return false;
    const std::string path = dir_ + "/" + LockFileName(name_);
    int fd;
    do {
        fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (debugLog.getDebugLevel() > 6) {
            debugLog.Debug(__PRETTY_FUNCTION__, "Cannot open lock file [%s], errno %d", path.c_str(), errno);
        }
        return false;
    }
    struct stat st {};
    if (Sys().fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Sys().close(fd);
        return false;
    }
    fd_ = fd;
    device_ = static_cast<uint64_t>(st.st_dev);
    inode_ = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool IdxNamedMutex::lock(int timeoutMs) {
    if (locked_) return true;
    if (fd_ < 0 && !OpenLockFile()) return false;
    const FileKey key{device_, inode_};
    // Only this thread could release it, and it would be waiting here: fail now.
    if (HeldByThisThread(key)) return false;
    const int limit = timeoutMs == 0 ? GetDefaultTimeoutMs() : timeoutMs;
    const bool acquired = limit < 0 ? LockWithoutLimit(fd_) : LockWithin(fd_, limit);
    if (!acquired) return false;
    if (!Register(key)) {
        Unlock(fd_);
        return false;
    }
    locked_ = true;
    return true;
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
