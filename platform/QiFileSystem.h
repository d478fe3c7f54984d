#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// What the file system says about one file (fstat, or fstatat without following
// a link at the name).
struct IDXREPORTS_API CQiFileStat {
    enum class Type { Regular, Directory, SymbolicLink, Fifo, CharacterDevice, BlockDevice, Socket, Unknown };

    // "a regular file", "a symbolic link", "a FIFO", ...: for messages.
    static const char* Describe(Type type);
    bool IsSameFile(const CQiFileStat& other) const { return device == other.device && inode == other.inode; }

    Type type = Type::Unknown;
    unsigned mode = 0;  // permission bits with setuid, setgid and sticky (07777)
    uint32_t owner = 0;
    uint32_t group = 0;
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t links = 0;  // hard links; more than one means another name reaches the same data
};

// What a created file is given on its descriptor before its first byte. An unset
// field is what any new file gets: 0666 less the umask, the caller's user and
// group.
struct CQiFileAttributes {
    std::optional<unsigned> mode;  // setuid, setgid and sticky are always dropped
    std::optional<uint32_t> owner;
    std::optional<uint32_t> group;

    // What a file derived from an existing one (a report's side files) gets: its
    // owner, group and permission bits, never more open.
    static CQiFileAttributes Of(const CQiFileStat& st) { return {st.mode & 0777u, st.owner, st.group}; }
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
        // The name must be a regular file (or, with OpenCreate, become one); a
        // symlink, FIFO, device, socket or directory there is code 22 naming what
        // was found, and never a wait: the open does not follow a link at the name
        // and does not block, the descriptor is checked by fstat, and only then is
        // it made blocking again. A device is looked at before it is opened, as
        // opening some devices acts on them.
        OpenRegularOnly = 1u << 7,
    };
    // For SetOwner: leave the owner or the group as it is.
    static constexpr uint32_t kUnchanged = ~uint32_t{0};

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
    // From now on every write goes to the end of the file, as with OpenAppend:
    // for a file created elsewhere that becomes an appender's.
    CQiError SetAppending();
    // fchown on the descriptor; kUnchanged keeps one of the two. Root may give a
    // file to anyone; another user only to itself and a group it belongs to
    // (else code 150, EPERM). Changing the owner clears setuid and setgid.
    CQiError SetOwner(uint32_t owner, uint32_t group);
    CQiError Stat(CQiFileStat& st);
    CQiError Sync();
    // Closing reports what close(2) says (NFS reports late write errors there).
    CQiError Close();

private:
    friend class CQiDirectoryHandle;

    // Open with `name` resolved against the directory descriptor `dirfd`
    // (AT_FDCWD: the working directory, through the table's plain open, so a
    // path-based Open behaves as it always did); `shownPath` names it in errors.
    // With OpenRegularOnly: `seen` is what the caller has just found at the name
    // (fstatat without following a link), which then is not looked at again;
    // `opened`, when given, gets what the descriptor is.
    CQiError OpenAt(int dirfd, const std::string& name, const std::string& shownPath, unsigned flags,
                    unsigned permissions, const CQiFileStat* seen = nullptr, CQiFileStat* opened = nullptr);
    void Adopt(int fd, std::string path);

    int fd_ = -1;
    std::string path_;
};
