#pragma once

#include <string>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

// One directory, opened once, and the file operations on names inside it.
//
// A directory that someone else can write (a service user's report directory,
// worked on by root) can have any of its names swapped for a symlink, a FIFO or
// a device between two calls. Resolving the directory once and working relative
// to its descriptor means a name is never looked up through a path that changed
// meanwhile; every operation here also refuses to follow a link at the name
// itself, and none waits on what it finds there. Links in the path to the
// directory are followed once, at Open: administrators link report directories.
//
// Names are single components: "", ".", ".." and anything with a "/" are code
// 22, so no operation can step outside the directory.
//
// Renames, exchanges, links, unlinks and new directories take effect at once but
// survive a crash only after Sync(). A handle is used by one thread at a time;
// several handles on one directory are independent.
class IDXREPORTS_API CQiDirectoryHandle final {
public:
    // Owns its descriptor; movable, not copyable.
    CQiDirectoryHandle() = default;

    // Opens `path` ("" is the working directory); a non-directory is code 2
    // (ENOTDIR), a missing one 2. Links in it are followed.
    CQiError Open(const std::string& path);
    bool IsOpen() const { return dir_.IsOpen(); }
    const std::string& GetPath() const { return dir_.GetPath(); }
    // The path shown in messages for `name`: "/d" and "r.csv" -> "/d/r.csv".
    std::string PathOf(const std::string& name) const;
    CQiError Close() { return dir_.Close(); }
    // The directory's canonical path now (absolute, no links, no "." or ".."),
    // as the kernel names the directory this handle has open: no lookup by the
    // path it was opened under, so a link swapped in there since changes
    // nothing. False where the kernel cannot say (no /proc, the directory
    // removed): the caller then resolves the path itself.
    bool GetCanonicalPath(std::string& path) const;
    // A second handle on this very directory, for an owner of its own: the
    // directory is not looked up by its path again, so it stays the one this
    // handle resolved even if its name was swapped for a link since.
    CQiError Duplicate(CQiDirectoryHandle& copy) const;

    // Opens an existing regular file (CQiFile::OpenRegularOnly is implied):
    // anything else at `name` is code 22 naming what was found, and nothing is
    // opened. With OpenCreate a missing name becomes a new file, `permissions`
    // less the umask (as a new report is). Fails without effect, except that
    // OpenTruncate empties a regular file.
    CQiError OpenFile(const std::string& name, unsigned flags, CQiFile& file, unsigned permissions = 0666) const;
    // The same, and `opened` is what the descriptor turned out to be (checked
    // as OpenFile checks it), so nobody has to ask again. `seen`, when given,
    // is what the caller has just found at the name with Stat: what is no
    // regular file is then refused from it, unopened, without a second look.
    CQiError OpenFile(const std::string& name, unsigned flags, CQiFile& file, const CQiFileStat* seen,
                      CQiFileStat& opened) const;

    // Creates `name` exclusively (O_CREAT|O_EXCL|O_NOFOLLOW), open for reading and
    // writing, and gives it `attributes` on the descriptor before the caller can
    // write a byte: created 0600 (no one else can open it meanwhile), then the
    // owner, then the mode. Anything already at `name`, a dangling link included,
    // is code 22 (EEXIST) naming what is there, and is left alone. On a failure
    // after creation (a refused fchown: code 150, EPERM) the new file is removed
    // again, so nothing is left.
    CQiError CreateFile(const std::string& name, const CQiFileAttributes& attributes, CQiFile& file) const;

    // A new file without a name (O_TMPFILE), with `attributes` applied as by
    // CreateFile; LinkTemporary names it once it is complete, so a crash before
    // that leaves nothing. Where the file system has no unnamed files, it is
    // created exclusively as ".<hint>.<8 hex digits>", returned in `tempName`
    // (empty for an unnamed file); a crash then leaves that hidden file.
    CQiError CreateTemporary(const std::string& hint, const CQiFileAttributes& attributes, CQiFile& file,
                             std::string& tempName) const;
    // Gives the temporary from CreateTemporary the name `name`, which must not
    // exist (code 22, EEXIST, and nothing changes). `file` stays open and is
    // named `name` in later messages. For a named temporary this is a link plus
    // an unlink of `tempName`; if only that unlink fails, `name` is in place, the
    // hidden name is left and the error says so.
    CQiError LinkTemporary(CQiFile& file, const std::string& tempName, const std::string& name) const;

    // Atomically makes `to` name what `from` names, replacing whatever `to` was
    // (a link or FIFO there is replaced, never followed; a directory is code 22).
    CQiError Rename(const std::string& from, const std::string& to) const;
    // Atomically swaps two existing names (renameat2 RENAME_EXCHANGE): a reader
    // sees one or the other, never neither. A file system or kernel without it
    // fails with EINVAL or ENOSYS and nothing changes; see IsExchangeUnsupported.
    CQiError Exchange(const std::string& first, const std::string& second) const;
    static bool IsExchangeUnsupported(const CQiError& error);
    // Gives the file at `existing` the second name `name` (linkat, a link at
    // `existing` is linked as the link, never followed). `name` must not exist
    // (code 22, EEXIST).
    CQiError Link(const std::string& existing, const std::string& name) const;
    // Removes the name (a link itself, never its target). `missingOk`: a missing
    // name is success. A directory is code 22 (EISDIR).
    CQiError Unlink(const std::string& name, bool missingOk) const;

    // mkdirat with 0777 less the umask. `existingOk`: an existing directory (not
    // a link to one) is success; anything else there is code 22 naming it.
    CQiError MakeDirectory(const std::string& name, bool existingOk) const;
    // Opens a subdirectory without following a link at its name: a link is code
    // 22 (ELOOP), any other non-directory 22 (ENOTDIR), naming what was found.
    CQiError OpenDirectory(const std::string& name, CQiDirectoryHandle& sub) const;

    // What is at `name`, not following a link: a link reports Type::SymbolicLink.
    CQiError Stat(const std::string& name, CQiFileStat& st) const;
    // Makes the renames, links, unlinks and creations so far durable. A file
    // system that cannot sync a directory (EINVAL) counts as done.
    CQiError Sync();

private:
    CQiError CheckName(const std::string& name) const;
    CQiError ApplyAttributes(CQiFile& file, const CQiFileAttributes& attributes) const;
    // Removes `name` if it is still the file `file` has open, then closes it.
    void Discard(CQiFile& file, const std::string& name) const;

    int dirfd() const { return dir_.fd_; }

    // The directory's descriptor, kept in a CQiFile for its ownership and close.
    CQiFile dir_;
};
