#pragma once

#include <string>

#include <platform/Export.h>

namespace I2::Utils {

// The one spelling of a file's path that every process computes alike, however
// it was given: absolute, with no ".", ".." or doubled "/", and every symlinked
// directory resolved. The file itself need not exist, and is not followed when
// it is a symlink: only the directories leading to it are resolved.
//   "/a/b/r.csv"                  -> "/a/b/r.csv"
//   "//a/./b/../b/r.csv"          -> "/a/b/r.csv"
//   "link/r.csv" (link -> /a/b)   -> "/a/b/r.csv", relative to the working directory
// Directories that do not exist yet (or cannot be searched) are kept as written,
// normalised, after the longest ancestor that resolves: "/a/new/../x/r.csv"
// with no "/a/new" gives "/a/x/r.csv". Never fails; "" stays "".
IDXREPORTS_API std::string CanonicalPath(const std::string& path);

// The name of the lock that guards the file at `path`: its CanonicalPath with
// every "/" replaced by "_", so every spelling of one path meets on one lock.
//   "/a/b/r.csv" -> "_a_b_r.csv"
IDXREPORTS_API std::string LockNameOfPath(const std::string& path);
// The same for the file `name` in the directory whose canonical path is
// `directory` (as CQiDirectoryHandle::GetCanonicalPath gives it), with no
// lookup: "/a/b" and "r.csv" -> "_a_b_r.csv", "/" and "r.csv" -> "_r.csv".
IDXREPORTS_API std::string LockNameInDirectory(const std::string& directory, const std::string& name);

}  // namespace I2::Utils
