#pragma once

#include <cstdint>
#include <string>

#include <platform/Export.h>

namespace I2::Utils {

// A lock known by name to every process of this user on the machine.
//
// Each object opens its own lock file and locks it with an open-file-description
// lock, so two objects of one name exclude each other even inside one process,
// and the kernel frees the lock the moment its holder dies: there is never a
// stale lock to clean up. Lock files live in a private directory
// (IDXREPORTS_LOCK_DIR, or a per-user directory under the temp dir) and are never
// deleted, because deleting a lock file in use would let two holders in.
//
// One object is used by one thread at a time.
class IDXREPORTS_API IdxNamedMutex final {
public:
    explicit IdxNamedMutex(const std::string& name);
    ~IdxNamedMutex();  // releases a lock still held

    IdxNamedMutex(const IdxNamedMutex&) = delete;
    IdxNamedMutex& operator=(const IdxNamedMutex&) = delete;

    // timeoutMs 0: wait up to the default timeout; > 0: that many milliseconds;
    // < 0: without limit. False on time-out, on an unusable lock file, and at once
    // when the calling thread already holds this name through another object
    // (waiting would deadlock). True when this object holds the lock afterwards
    // (also when it held it before).
    bool lock(int timeoutMs);
    void unlock();
    bool isLocked() const;

    const std::string& name() const { return name_; }

    static void SetDefaultTimeoutMs(int timeoutMs);
    static int GetDefaultTimeoutMs();

private:
    bool OpenLockFile();

    std::string name_;
    std::string dir_;  // the lock directory, fixed at construction
    int fd_ = -1;      // opened at the first lock() and kept until destruction
    bool locked_ = false;
    // Identity of the lock file, for the in-process registry of holders.
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
};

}  // namespace I2::Utils
