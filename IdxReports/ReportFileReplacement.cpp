#include <IdxReports/ReportFileReplacement.h>

#include <ios>
#include <new>
#include <utility>

#include <platform/IdxNamedMutex.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/internal/FileScan.h>

namespace I2 {

namespace {

// The lock a rewrite of `path` runs under: the one `own` holds (or takes, like
// Report::Lock) when it has `path` open, else one in `guard` for the rewrite.
CQiError LockForRewrite(ReportFileHandler& own, const std::string& path,
                        std::unique_ptr<Utils::IdxNamedMutex>& guard) {
    if (own.IsOpen() && own.GetFullPath() == path) {
        if (own.GetOpenMode() & std::ios::out) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "Report file [%s] is open for writing and can't be rewritten",
                                           path.c_str());
        }
        return own.LockFile().Push(FX_CODE_LOCATION);
    }
    return ReportFileReplacement::LockPath(path, guard).Push(FX_CODE_LOCATION);
}

// The directory of a report path and the report's name in it; "" is the
// working directory.
void SplitReportPath(const std::string& path, std::string& directory, std::string& name) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory.clear();
        name = path;
        return;
    }
    directory = slash == 0 ? std::string("/") : path.substr(0, slash);
    name = path.substr(slash + 1);
}

// The side file a rewrite fills, made through `dir` so a name swapped for a
// link meanwhile is never written through. It takes the owner, group and mode
// of `report`, the old file opened here once, before a byte is in it; a user
// who cannot give it that owner gets code 150 and the report stays as it was.
// A new report follows the umask.
CQiError CreateTemporary(const CQiDirectoryHandle& dir, const std::string& name, const std::string& tmpName,
                         CQiFile& report, CQiFile& tmpFile) {
    CQiFileStat st;
    CQiError err = dir.Stat(name, st);
    const bool exists = !err.IsError();
    if (!exists && err.GetErrNo() != 2) return err.Push(FX_CODE_LOCATION);
    // Only a regular file is replaced: renaming over a device node would
    // destroy it, and a link is refused rather than replaced.
    if (exists && st.type != CQiFileStat::Type::Regular) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "Report file [%s] is not a regular file and can't be rewritten",
                                       dir.PathOf(name).c_str());
    }
    // The attributes come from the descriptor the content is read from: a
    // file renamed over the report after the look above lends neither.
    if (exists) {
        const CQiFileStat seen = st;
        err = dir.OpenFile(name, CQiFile::OpenRead, report, &seen, st);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    // Whatever stands at the temporary name (a crash's leftover, or a link
    // planted there) is removed, not written through.
    err = dir.Unlink(tmpName, true);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (exists) return dir.CreateFile(tmpName, CQiFileAttributes::Of(st), tmpFile).Push(FX_CODE_LOCATION);
    // Exclusive even though the lock is held: whoever can write the directory
    // ignores the lock, and a regular file (a hard link to another file) planted
    // since the unlink would otherwise be emptied and written.
    return dir.OpenFile(tmpName, CQiFile::OpenRead | CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenExclusive,
                        tmpFile)
        .Push(FX_CODE_LOCATION);
}

// The new content into the side file, synced before it is closed.
CQiError WriteTemporary(CQiDirectoryHandle& dir, const std::string& name, CQiFile& report, CQiFile&& tmpFile,
                        const std::string& tmpPath, const ReportFileReplacement::ContentWriter_t& writeContent) {
    ReportFileHandler target;
    CQiError err = target.OpenCreated(std::move(tmpFile), tmpPath);
    try {
        if (!err.IsError()) err = writeContent(dir, name, report.IsOpen() ? &report : nullptr, target);
    } catch (...) {
        // Caught here, below the caller's clean-up, so the temporary goes too.
        err = FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Writing [%s]", tmpPath.c_str());
    }
    if (!err.IsError()) err = target.Sync();
    return err.Push(FX_CODE_LOCATION);
}

// Readers see the old or the new content in full at every instant: the new one
// is complete and durable in the temporary before the rename publishes it. The
// caller holds the report's lock, so nobody appends to the old file meanwhile.
// The directory is resolved once: every name below is looked up in it.
CQiError ReplaceIn(CQiDirectoryHandle& dir, const std::string& name,
                   const ReportFileReplacement::ContentWriter_t& writeContent) {
    const std::string tmpName = name + ReportSideFiles::kTemporarySuffix;
    CQiFile report;
    CQiFile tmpFile;
    CQiError err = CreateTemporary(dir, name, tmpName, report, tmpFile);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    err = WriteTemporary(dir, name, report, std::move(tmpFile), dir.PathOf(tmpName), writeContent);
    if (!err.IsError()) err = dir.Rename(tmpName, name);
    if (!err.IsError()) err = dir.Sync();
    if (err.IsError()) dir.Unlink(tmpName, true);  // result ignored: the failure that matters is err
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReplaceFile(const std::string& path, const ReportFileReplacement::ContentWriter_t& writeContent) {
    std::string directory;
    std::string name;
    SplitReportPath(path, directory, name);
    CQiDirectoryHandle dir;
    CQiError err = dir.Open(directory);
    if (!err.IsError()) err = ReplaceIn(dir, name, writeContent);
    return err.Push(FX_CODE_LOCATION);
}

ReportFileReplacement::ContentWriter_t UnderHeader(const std::string& headerLine,
                                                   const ReportFileReplacement::LineWriter_t& writeLines) {
    return [&headerLine, &writeLines](CQiDirectoryHandle&, const std::string&, CQiFile*, ReportFileHandler& target) {
        CQiError err = target.PutLine(headerLine);
        if (!err.IsError()) err = writeLines(target);
        return err;
    };
}

// A directory where a file is to be renamed: refused up front, with its reason,
// rather than found out half-way.
CQiError RefuseDirectoryAt(const CQiDirectoryHandle& dir, const std::string& name) {
    CQiFileStat st;
    if (dir.Stat(name, st).IsError() || st.type != CQiFileStat::Type::Directory) return CQiError::Success();
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "[%s] is a directory, not a report's side file",
                                   dir.PathOf(name).c_str());
}

// Whether the regular file at `side` holds a line after its first: the old
// rows rather than a new report that holds only its header (or part of it).
CQiError HoldsDataLines(const CQiDirectoryHandle& dir, const std::string& side, bool& holds) {
    holds = false;
    CQiFile leftover;
    CQiError err = dir.OpenFile(side, CQiFile::OpenRead, leftover);
    internal::FileShape shape;
    if (!err.IsError()) err = internal::ScanFile(leftover, internal::ScanFor::Count, shape);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    holds = shape.dataLines > 0;
    return CQiError::Success();
}

// One side file a killed rotation may have left (see CompleteRotation). A file
// that cannot be looked at is left alone: it may hold the old rows.
CQiError SettleRotationLeftover(CQiDirectoryHandle& dir, const std::string& name, const std::string& side) {
    CQiFileStat st;
    CQiError err = dir.Stat(side, st);
    if (err.IsError()) return err.GetErrNo() == 2 ? CQiError::Success() : err.Push(FX_CODE_LOCATION);
    CQiFileStat report;
    const bool haveReport = !dir.Stat(name, report).IsError() && report.type == CQiFileStat::Type::Regular;
    // Another link would make .old a second name of someone else's file; another
    // owner's file was not made by a rotation of this report.
    bool oldRows = false;
    if (st.type == CQiFileStat::Type::Regular && st.links == 1 && !(haveReport && st.IsSameFile(report)) &&
        (!haveReport || st.owner == report.owner)) {
        err = HoldsDataLines(dir, side, oldRows);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    err = oldRows ? RefuseDirectoryAt(dir, ReportSideFiles::Previous(name)) : CQiError::Success();
    if (!err.IsError()) err = oldRows ? dir.Rename(side, ReportSideFiles::Previous(name)) : dir.Unlink(side, true);
    if (!err.IsError()) err = dir.Sync();
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace

CQiError ReportFileReplacement::LockPath(const std::string& path, std::unique_ptr<Utils::IdxNamedMutex>& mutex) {
    try {
        return LockNamed(ReportFileHandler::LockNameOf(path), path, mutex).Push(FX_CODE_LOCATION);
    } catch (const std::bad_alloc&) {
        if (mutex && mutex->isLocked()) return CQiError::Success();  // held already, whatever its name
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 1001,
                                       "Can't open report file [%s], error to acquire lock: out of memory",
                                       path.c_str());
    }
}

CQiError ReportFileReplacement::LockNamed(const std::string& name, const std::string& path,
                                          std::unique_ptr<Utils::IdxNamedMutex>& mutex) {
    try {
        // The lock follows the path: a mutex made for another path, and not
        // held, is replaced by one named after this one.
        if (mutex && mutex->name() != name && !mutex->isLocked()) mutex.reset();
        if (!mutex) mutex = std::make_unique<Utils::IdxNamedMutex>(name);
    } catch (const std::bad_alloc&) {
        // No mutex of the right name: reported below as a lock not acquired.
    }
    if (mutex && (mutex->isLocked() || mutex->lock(0))) return CQiError::Success();
    // The fixed message first (callers match it), then why the lock was not had.
    const std::string reason = mutex ? mutex->failureReason() : std::string("out of memory");
    if (reason.empty()) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 1001, "Can't open report file [%s], error to acquire lock",
                                       path.c_str());
    }
    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 1001, "Can't open report file [%s], error to acquire lock: %s",
                                   path.c_str(), reason.c_str());
}

CQiError ReportFileReplacement::CheckLine(const std::string& line, const std::string& path, bool allowNul) {
    if (IsWritableLine(line, allowNul)) return CQiError::Success();
    return FXErrorUtil::ErrorErrNo(
        FX_CODE_LOCATION, 22,
        "Record can't be written to report [%s]: a field holds a line break or NUL byte", path.c_str());
}

CQiError ReportFileReplacement::CompleteRotation(CQiDirectoryHandle& dir, const std::string& name) {
    CQiError result;
    for (const char* suffix : {ReportSideFiles::kRotationSuffix, ReportSideFiles::kRetiredSuffix}) {
        CQiError err;
        try {
            err = SettleRotationLeftover(dir, name, name + suffix);
        } catch (const std::bad_alloc&) {
            err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory checking the rotation of [%s]",
                                          dir.PathOf(name).c_str());
        }
        if (err.IsError() && !result.IsError()) result = err;
    }
    return result.Push(FX_CODE_LOCATION);
}

// Exchanging names keeps the report in place at every instant; the old file is
// only renamed afterwards, so it is never in PATH and PATH.old at once, and its
// bytes never change under a reader.
CQiError ReportFileReplacement::Rotate(ReportFileHandler& file, const std::string& headerLine) {
    CQiError err = file.Flush();
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    CQiDirectoryHandle& dir = file.GetDirectory();
    std::string name, rotation, retired, previous, header, headerBytes;
    try {
        name = file.GetFileName();
        rotation = ReportSideFiles::Rotation(name);
        retired = ReportSideFiles::Retired(name);
        previous = ReportSideFiles::Previous(name);
        header = headerLine;
        headerBytes = headerLine + "\n";
        dir.Unlink(ReportSideFiles::PartialPrevious(name), true);  // result ignored: a leftover of older versions
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory rotating report file [%s]",
                                       file.GetFullPath().c_str());
    }
    err = CompleteRotation(dir, name);
    // Refused before anything changes: the old rows could not be renamed there.
    if (!err.IsError()) err = RefuseDirectoryAt(dir, previous);
    CQiFileStat report;
    if (!err.IsError()) err = file.StatOpenFile(report);
    CQiFile fresh;
    if (!err.IsError()) err = dir.CreateFile(rotation, CQiFileAttributes::Of(report), fresh);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    std::size_t written = 0;
    err = fresh.SetAppending();
    if (!err.IsError()) err = fresh.Write(headerBytes.data(), headerBytes.size(), written);
    if (!err.IsError()) err = fresh.Sync();
    std::string oldName = rotation;
    if (!err.IsError()) {
        err = dir.Exchange(rotation, name);
        if (CQiDirectoryHandle::IsExchangeUnsupported(err)) {
            // The old file keeps a second name while the new one replaces it.
            oldName = retired;
            err = dir.Link(name, retired);
            if (!err.IsError()) {
                err = dir.Rename(rotation, name);
                if (err.IsError()) dir.Unlink(retired, true);  // result ignored: still the report itself
            }
        }
    }
    if (err.IsError()) {
        fresh.Close();                  // result ignored
        dir.Unlink(rotation, true);     // result ignored: only the new header-only file is there
        return err.Push(FX_CODE_LOCATION);
    }
    file.TakeReplacement(std::move(fresh), std::move(header));  // result ignored: cannot fail on an open file
    // The report is the new file now. A failure from here on leaves the old rows
    // under `oldName`, out of sight and never in two places, until the next
    // writer's Open completes the rename.
    err = dir.Rename(oldName, previous);
    if (!err.IsError()) err = dir.Sync();
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportFileReplacement::Rewrite(ReportFileHandler& own, const std::string& path,
                                        const std::string& headerLine, const LineWriter_t& writeLines) {
    std::unique_ptr<Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(own, path, guard);
    if (!err.IsError()) err = ReplaceFile(path, UnderHeader(headerLine, writeLines));
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportFileReplacement::Replace(ReportFileHandler& own, const std::string& path,
                                        const ContentWriter_t& writeContent) {
    std::unique_ptr<Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(own, path, guard);
    if (!err.IsError()) err = ReplaceFile(path, writeContent);
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportFileReplacement::ReplaceHeld(CQiDirectoryHandle& dir, const std::string& name,
                                            const ContentWriter_t& writeContent) {
    return ReplaceIn(dir, name, writeContent).Push(FX_CODE_LOCATION);
}

CQiError ReportFileReplacement::Update(ReportFileHandler& own, const std::string& path,
                                       const std::string& headerLine, const LineCopier_t& copyLines) {
    std::unique_ptr<Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(own, path, guard);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    // Opened under the lock, in the directory the rename works in, and closed
    // before the lock is released.
    ReportFileHandler source;
    const ContentWriter_t copy = [&](CQiDirectoryHandle& dir, const std::string& name, CQiFile* report,
                                     ReportFileHandler& target) {
        CQiError opened = source.OpenIn(dir, name, std::ios::in);
        // The handler reads through a descriptor of its own: it must be the
        // file the new one took its owner and mode from.
        CQiFileStat read, replaced;
        if (!opened.IsError()) opened = source.StatOpenFile(read);
        if (!opened.IsError() && report) opened = report->Stat(replaced);
        if (!opened.IsError() && (!report || !read.IsSameFile(replaced))) {
            opened = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Report file [%s] was replaced while being rewritten",
                                             dir.PathOf(name).c_str());
        }
        if (!opened.IsError()) opened = target.PutLine(headerLine);
        return opened.IsError() ? opened : copyLines(source, target);
    };
    err = ReplaceFile(path, copy);
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
