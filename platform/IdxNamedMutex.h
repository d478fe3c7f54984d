#pragma once

#include <cstdint>
#include <string>

#include <platform/Export.h>

class CQiError;

namespace I2::Utils {

// A lock known by name to every process on the machine, whichever user runs it.
//
// Each object opens its own lock file and locks it with flock, so two objects
// of one name exclude each other even inside one process, and the kernel frees
// the lock the moment its holder dies: there is never a stale lock to clean up.
// Lock files live in one directory (IDXREPORTS_LOCK_DIR, or the system-wide
// /run/lock/idxreports) and are never deleted, because deleting a lock file in
// use would let two holders in. Processes that use different lock directories
// do not exclude each other.
//
// One object is used by one thread at a time.
class IDXREPORTS_API IdxNamedMutex final {
public:
    explicit IdxNamedMutex(const std::string& name);
    ~IdxNamedMutex();  // releases a lock still held

    IdxNamedMutex(const IdxNamedMutex&) = delete;
    IdxNamedMutex& operator=(const IdxNamedMutex&) = delete;

    // timeoutMs 0: wait up to the default timeout; > 0: that many milliseconds;
    // < 0: without limit. False on time-out, on an unsafe lock directory or lock
    // file, and at once when the calling thread already holds this name through
    // another object (waiting would deadlock). True when this object holds the
    // lock afterwards (also when it held it before).
    bool lock(int timeoutMs);
    void unlock();
    bool isLocked() const;

    // Why the last lock() returned false, as one sentence without a final stop:
    //   "Timed out after 30000 ms"
    //   "Held by this thread through another object"
    //   "Lock directory [/run/lock/idxreports] unsafe: owned by uid 1000 (must be root)"
    //   "Failed to open lock file [/srv/locks/L_r.csv]: Permission denied"
    // Empty after a lock() that succeeded, and before the first lock().
    const std::string& failureReason() const { return reason_; }
    // Whether the last lock() failed only because another holder kept the
    // lock for the whole wait, as opposed to a lock that could not be asked for.
    bool timedOut() const { return timedOut_; }

    const std::string& name() const { return name_; }

    static void SetDefaultTimeoutMs(int timeoutMs);
    static int GetDefaultTimeoutMs();

private:
    CQiError Acquire(int timeoutMs);
    CQiError OpenLockFile();

    std::string name_;
    std::string dir_;     // the lock directory, chosen at construction
    bool sharedDefault_;  // dir_ is the shared one, which an unprivileged caller may find missing
    int fd_ = -1;         // opened at the first lock() and kept until destruction
    bool locked_ = false;
    // Identity of the lock file, for the in-process registry of holders.
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
    std::string reason_;
    bool timedOut_ = false;
};

}  // namespace I2::Utils
