#include <IdxReports/ReportFileReplacement.h>

#include <ios>
#include <new>
#include <utility>

#include <platform/IdxNamedMutex.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/ReportFileHandler.h>

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
// link meanwhile is never written through. It takes the report's owner, group
// and mode before a byte is in it; a user who cannot give it that owner gets
// code 150 and the report stays as it was. A new report follows the umask.
CQiError CreateTemporary(const CQiDirectoryHandle& dir, const std::string& name, const std::string& tmpName,
                         CQiFile& tmpFile) {
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
CQiError WriteTemporary(CQiDirectoryHandle& dir, const std::string& name, CQiFile&& tmpFile,
                        const std::string& tmpPath, const ReportFileReplacement::ContentWriter_t& writeContent) {
    ReportFileHandler target;
    CQiError err = target.OpenCreated(std::move(tmpFile), tmpPath);
    if (!err.IsError()) err = writeContent(dir, name, target);
    if (!err.IsError()) err = target.Sync();
    return err.Push(FX_CODE_LOCATION);
}

// Readers see the old or the new content in full at every instant: the new one
// is complete and durable in the temporary before the rename publishes it. The
// caller holds the report's lock, so nobody appends to the old file meanwhile.
// The directory is resolved once: every name below is looked up in it.
CQiError ReplaceFile(const std::string& path, const ReportFileReplacement::ContentWriter_t& writeContent) {
    std::string directory;
    std::string name;
    SplitReportPath(path, directory, name);
    const std::string tmpName = name + ReportSideFiles::kTemporarySuffix;
    CQiDirectoryHandle dir;
    CQiError err = dir.Open(directory);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    CQiFile tmpFile;
    err = CreateTemporary(dir, name, tmpName, tmpFile);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    err = WriteTemporary(dir, name, std::move(tmpFile), dir.PathOf(tmpName), writeContent);
    if (!err.IsError()) err = dir.Rename(tmpName, name);
    if (!err.IsError()) err = dir.Sync();
    if (err.IsError()) dir.Unlink(tmpName, true);  // result ignored: the failure that matters is err
    return err.Push(FX_CODE_LOCATION);
}

ReportFileReplacement::ContentWriter_t UnderHeader(const std::string& headerLine,
                                                   const ReportFileReplacement::LineWriter_t& writeLines) {
    return [&headerLine, &writeLines](CQiDirectoryHandle&, const std::string&, ReportFileHandler& target) {
        CQiError err = target.PutLine(headerLine);
        if (!err.IsError()) err = writeLines(target);
        return err;
    };
}

}  // namespace

CQiError ReportFileReplacement::LockPath(const std::string& path, std::unique_ptr<Utils::IdxNamedMutex>& mutex) {
    try {
        // The lock follows the path: a mutex made for another path, and not
        // held, is replaced by one named after this one.
        const std::string name = ReportFileHandler::LockNameOf(path);
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

CQiError ReportFileReplacement::Rotate(ReportFileHandler& file, const std::vector<std::string>& columns,
                                       char separator, const std::string& headerLine) {
    const std::string path = file.GetFullPath();
    const std::string oldPath = ReportSideFiles::Previous(path);
    const std::string partialPath = ReportSideFiles::PartialPrevious(path);
    CQiError err = file.Flush();
    // Whatever stands at the partial path (a crash's leftover, or a link planted
    // there) is removed, not written through: the copy always goes to a new file.
    if (!err.IsError()) err = CQiFile::Delete(partialPath, true);
    if (!err.IsError()) err = ReportFileHandler::Copy(path, partialPath);
    if (!err.IsError()) err = ReportFileHandler::Move(partialPath, oldPath);
    if (err.IsError()) {
        CQiFile::Delete(partialPath, true);  // result ignored: the failure that matters is err
        return err.Push(FX_CODE_LOCATION);
    }
    // Cut back to the header line in one step: an emptied report, even for the
    // instant before its header is written again, is what a reader or a crash
    // would find. A file under another header is emptied and given ours.
    err = file.CheckHeader(columns, separator) ? file.TruncateToHeader() : file.Truncate();
    if (!err.IsError() && !file.HasHeader()) err = file.PutLine(headerLine);
    if (!err.IsError()) err = file.Flush();
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

CQiError ReportFileReplacement::ReplaceHeld(const std::string& path, const ContentWriter_t& writeContent) {
    return ReplaceFile(path, writeContent).Push(FX_CODE_LOCATION);
}

CQiError ReportFileReplacement::Update(ReportFileHandler& own, const std::string& path,
                                       const std::string& headerLine, const LineCopier_t& copyLines) {
    std::unique_ptr<Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(own, path, guard);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    // Opened under the lock and closed before it is released.
    ReportFileHandler source;
    err = source.Open(path, std::ios::in);
    if (!err.IsError()) {
        const LineWriter_t copy = [&](ReportFileHandler& target) { return copyLines(source, target); };
        err = ReplaceFile(path, UnderHeader(headerLine, copy));
    }
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
