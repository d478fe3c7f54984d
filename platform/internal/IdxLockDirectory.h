#pragma once

// Internal: not installed.

#include <string>

namespace I2::Utils {

// The lock directory that every user shares when IDXREPORTS_LOCK_DIR is unset,
// "/run/lock/idxreports". Its private fallback for a user is the same path with
// "-<uid>" appended. Tests point it at a directory of their own; a mutex reads
// it once, when constructed.
std::string& SharedLockDirectory();

}  // namespace I2::Utils
