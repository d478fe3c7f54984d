#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <platform/Export.h>
#include <platform/QiError.h>

// A text value returned by the path utilities; converts to std::string.
class IDXREPORTS_API CQiString {
public:
    CQiString() = default;
    CQiString(std::string text) : text_(std::move(text)) {}  // NOLINT: implicit by design
    CQiString(const char* text) : text_(text ? text : "") {}  // NOLINT

    operator const std::string&() const { return text_; }  // NOLINT
    const std::string& str() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    bool empty() const { return text_.empty(); }

private:
    std::string text_;
};

class IDXREPORTS_API CQiPath {
public:
    // "dir" + "name" -> "dir/name"; no separator is doubled; an empty `dir` gives
    // `name` and an absolute `name` is still appended ("/a" + "/b" -> "/a/b").
    static CQiString Append(const std::string& dir, const std::string& name);
    static bool Exists(const std::string& path);  // follows symlinks
    static bool IsFile(const std::string& path);  // a regular file (after symlinks)
    static bool IsDirectory(const std::string& path);
    // "/a/b/c.csv" -> "/a/b"; "c.csv" -> ""; "/c.csv" -> "/".
    static CQiString GetParent(const std::string& path);
    // "/a/b/c.csv" -> "c.csv".
    static CQiString GetFileName(const std::string& path);
};

class IDXREPORTS_API CQiDirectory {
public:
    // Creates `path`; with `recursive`, every missing level. An existing directory
    // is success; an existing non-directory is an error.
    static CQiError Create(const std::string& path, bool recursive);
    // Makes a rename or a new file in `path` durable.
    static CQiError Sync(const std::string& path);
};

// An open file (owning its descriptor), plus the whole-file utilities.
// All descriptors are close-on-exec.
class IDXREPORTS_API CQiFile final {
public:
    enum Flags : unsigned {
        OpenRead = 1u << 0,
        OpenWrite = 1u << 1,
        OpenCreate = 1u << 2,
        OpenTruncate = 1u << 3,
        OpenAppend = 1u << 4,     // every write goes to the end of the file
        OpenExclusive = 1u << 5,  // with OpenCreate: fail if the path exists
        OpenNoFollow = 1u << 6,   // fail if the last component is a symlink
    };

    // --- whole-file utilities ---

    // Copies `src` to `dst` (created or emptied) completely and syncs it. Read and
    // write failures are reported. Not atomic by itself: callers that must never
    // expose a partial copy copy to a temporary and Rename it.
    static CQiError Copy(const std::string& src, const std::string& dst);
    // Deletes a file. `missingOk`: a missing file is success rather than code 2.
    static CQiError Delete(const std::string& path, bool missingOk);
    // Atomically replaces `to` with `from` (same file system) and syncs the
    // directory of `to`. Fails with EXDEV (code 150) across file systems.
    static CQiError Rename(const std::string& from, const std::string& to);
    static CQiError GetSize(const std::string& path, uint64_t& size);
    // Permission bits of an existing file, to carry them over to a replacement.
    static CQiError GetMode(const std::string& path, unsigned& mode);

    // --- one open file ---

    CQiFile() = default;
    ~CQiFile();
    CQiFile(const CQiFile&) = delete;
    CQiFile& operator=(const CQiFile&) = delete;
    CQiFile(CQiFile&& other) noexcept;
    CQiFile& operator=(CQiFile&& other) noexcept;

    // `permissions` applies only to a created file (before the umask).
    CQiError Open(const std::string& path, unsigned flags, unsigned permissions = 0666);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& GetPath() const { return path_; }

    // Reads up to `length` bytes at `offset`; `got` < `length` only at end of file.
    CQiError ReadAt(void* buffer, std::size_t length, uint64_t offset, std::size_t& got);
    // Writes all `length` bytes at the current position (or the end, with OpenAppend),
    // retrying short writes. On failure `written` says how many reached the file.
    CQiError Write(const void* buffer, std::size_t length, std::size_t& written);
    CQiError Size(uint64_t& size);
    CQiError Truncate(uint64_t size);
    CQiError SetPermissions(unsigned mode);
    CQiError Sync();
    // Closing reports what close(2) says (NFS reports late write errors there).
    CQiError Close();

private:
    int fd_ = -1;
    std::string path_;
};
