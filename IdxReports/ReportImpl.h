#pragma once
// Member definitions of I2::Report; included by Report.h only.

#include <cstddef>
#include <functional>
#include <ios>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <platform/IdxNamedMutex.h>
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/Report.h>
#include <IdxReports/ReportFileHandler.h>

namespace I2 {

template <typename _RecType, int _MaxRecords, char _Separator>
std::string Report<_RecType, _MaxRecords, _Separator>::GetHeaderLine() const {
    const std::vector<std::string> names = GetHeader();
    std::string line;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) line.push_back(_Separator);
        line += names[i];
    }
    return line;
}

template <typename _RecType, int _MaxRecords, char _Separator>
bool Report<_RecType, _MaxRecords, _Separator>::CheckFileHeader() {
    return file.CheckHeader(GetHeader(), _Separator);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Open(const std::string& path, OpenMode_t mode,
                                                         bool checkHeader) {
    CQiError err = Close();
    if (err.IsError()) {
        err.Push(FX_CODE_LOCATION);
        return err;
    }
    // A missing or unreadable file is no reason to stop here: the open in `mode`
    // below creates it or reports why it cannot.
    if (checkHeader && !file.Open(path, std::ios::in).IsError()) {
        if (!CheckFileHeader()) {
            // The conversion runs under the report's lock, so a writer cannot
            // append to the old file while it is copied. A process that converted
            // it meanwhile leaves a file that converts to itself.
            err = file.LockFile();
            if (!err.IsError()) err = Update(path);
        }
        file.Close();
        if (err.IsError()) {
            err.Push(FX_CODE_LOCATION);
            return err;
        }
    }
    err = file.Open(path, mode);
    if (err.IsError()) {
        err.Push(FX_CODE_LOCATION);
        return err;
    }
    if ((mode & std::ios::out) && !file.HasHeader()) {
        // Written at once rather than with the first lines: a report that a
        // writer has created must not stand empty, headerless, while it appends
        // slowly, nor be left so by a crash.
        err = file.PutLine(GetHeaderLine());
        if (!err.IsError()) err = file.Flush();
        if (err.IsError()) {
            err.Push(FX_CODE_LOCATION);
            return err;
        }
    }
    return CQiError::Success();
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Lock() {
    CQiError err = file.LockFile();
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

namespace detail {
// Whether `line` can stand in a report as one line: no line break, and no NUL
// byte unless `allowNul`.
inline bool IsWritableLine(const std::string& line, bool allowNul) {
    return line.find('\n') == std::string::npos && (allowNul || line.find('\0') == std::string::npos);
}
}  // namespace detail

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::CheckLine(const std::string& line,
                                                              const std::string& path, bool allowNul) {
    if (detail::IsWritableLine(line, allowNul)) return CQiError::Success();
    return FXErrorUtil::ErrorErrNo(
        FX_CODE_LOCATION, 22,
        "Record can't be written to report [%s]: a field holds a line break or NUL byte", path.c_str());
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::AddRecord(_RecType& record) {
    static_assert(_MaxRecords == -1 || _MaxRecords > 0,
                  "a report holds at least one record, or has no limit");
    record.SetColumnSeparator(_Separator);
    const std::string line = record.ToString();
    // Checked before anything changes, so a refused record leaves the file as it was.
    // The path (a copy) is wanted only for the message of a refused line.
    CQiError err = detail::IsWritableLine(line, false) ? CQiError::Success() : CheckLine(line, GetPath(), false);
    if (!err.IsError()) {
        if constexpr (_MaxRecords != -1) {
            if (file.GetLineCount() > static_cast<std::size_t>(_MaxRecords - 1)) err = Rotate();
        }
    }
    if (!err.IsError()) err = file.PutLine(line);
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

// Keeps the previous content in path + ".old" and empties the report, all under
// the lock the writer holds, so no other process writes between the copy and the
// emptying. The copy is completed in ".old.tmp" and renamed, so a crash leaves
// the previous complete ".old" or the new one, never a partial one; at worst
// (a crash after the rename, before the emptying) the rows are in both files.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Rotate() {
    const std::string path = file.GetFullPath();
    const std::string oldPath = path + ".old";
    const std::string partialPath = oldPath + ".tmp";
    CQiError err = file.Flush();
    // Whatever stands at the partial path (a crash's leftover, or a link planted
    // there) is removed, not written through: the copy always goes to a new file.
    if (!err.IsError()) err = CQiFile::Delete(partialPath, true);
    if (!err.IsError()) err = ReportFileHandler::Copy(path, partialPath);
    if (!err.IsError()) err = ReportFileHandler::Move(partialPath, oldPath);
    if (err.IsError()) {
        CQiFile::Delete(partialPath, true);
        err.Push(FX_CODE_LOCATION);
        return err;
    }
    // Cut back to the header line in one step: an emptied report, even for the
    // instant before its header is written again, is what a reader or a crash
    // would find. A file under another header is emptied and given ours.
    err = CheckFileHeader() ? file.TruncateToHeader() : file.Truncate();
    if (!err.IsError() && !file.HasHeader()) err = file.PutLine(GetHeaderLine());
    if (!err.IsError()) err = file.Flush();
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Close() {
    if (!file.IsOpen()) return CQiError::Success();
    // The handler's own Close flushes too but cannot say that lines were lost.
    CQiError err;
    if (file.GetOpenMode() & std::ios::out) err = file.Flush();
    file.Close();
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::ForEach(RecordFunction_t fn, bool stopOnError) {
    CQiError err = ForEach(std::move(fn), file, stopOnError);
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::ForEach(RecordFunction_t fn, ReportFileHandler& source,
                                                            bool stopOnError) {
    // Every line is parsed into this one record; callers copy what they keep.
    _RecType scratch;
    scratch.SetColumnSeparator(_Separator);
    CQiError err = source.ForEachLine([&](std::string& line) -> CQiError {
        CQiError result = scratch.FromString(line);
        if (!result.IsError()) result = fn(scratch);
        if (stopOnError && result.IsError()) {
            result.Push(FX_CODE_LOCATION);
            return result;
        }
        return CQiError::Success();
    });
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::LoadAll(DataFrame_t& frame) {
    CQiError err = ForEach(
        [&frame](_RecType& record) -> CQiError {
            try {
                frame.push_back(record);
            } catch (const std::bad_alloc&) {
                return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory loading report records");
            }
            return CQiError::Success();
        },
        true);
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::AddDataFrame(DataFrame_t& frame) {
    for (_RecType& record : frame) {
        CQiError err = AddRecord(record);
        if (err.IsError()) {
            err.Push(FX_CODE_LOCATION);
            return err;
        }
    }
    CQiError err = file.Flush();
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

// The report's own handler already holds (or takes, like Lock()) the lock when it
// has `path` open; otherwise `guard` holds it for the rewrite. A handler open for
// writing on `path` is refused: its buffered lines and later appends would go to
// the file that the rename replaces, and be lost.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::LockForRewrite(
    const std::string& path, std::unique_ptr<I2::Utils::IdxNamedMutex>& guard) {
    if (file.IsOpen() && file.GetFullPath() == path) {
        if (file.GetOpenMode() & std::ios::out) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "Report file [%s] is open for writing and can't be rewritten",
                                           path.c_str());
        }
        CQiError err = file.LockFile();
        if (err.IsError()) err.Push(FX_CODE_LOCATION);
        return err;
    }
    guard = std::make_unique<I2::Utils::IdxNamedMutex>(ReportFileHandler::LockNameOf(path));
    if (!guard->lock(0)) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 1001,
                                       "Can't open report file [%s], error to acquire lock", path.c_str());
    }
    return CQiError::Success();
}

// Records of a rewrite may carry NUL bytes read back from a damaged file; they
// are written back as read rather than failing every later rewrite. A line
// break can only come from a caller's record, and would split it into two.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::WriteRecord(ReportFileHandler& target, _RecType& record,
                                                                const std::string& path) {
    record.SetColumnSeparator(_Separator);
    const std::string line = record.ToString();
    CQiError err = CheckLine(line, path, true);
    if (!err.IsError()) err = target.PutLine(line);
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

// Readers see the old or the new content in full at every instant: the new one
// is complete and durable in the temporary before the rename publishes it. The
// caller holds the report's lock, so nobody appends to the old file meanwhile.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::ReplaceFile(const std::string& path,
                                                                const LineWriter_t& writeLines) {
    const std::string tmpPath = path + ".tmp";
    // Only a regular file is replaced: renaming over a device node (or a link to
    // one) would destroy it.
    if (CQiPath::Exists(path) && !CQiPath::IsFile(path)) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "Report file [%s] is not a regular file and can't be rewritten", path.c_str());
    }
    // Whatever stands at the temporary path (a crash's leftover, or a link planted
    // there) is removed, not written through: the temporary is always a new file.
    CQiError err = CQiFile::Delete(tmpPath, true);
    if (!err.IsError()) {
        ReportFileHandler target;
        err = target.Open(tmpPath, std::ios::out | std::ios::trunc);
        if (!err.IsError()) err = target.PutLine(GetHeaderLine());
        if (!err.IsError()) err = writeLines(target);
        if (!err.IsError()) err = target.Sync();
    }
    if (!err.IsError()) {
        // The replacement keeps the report's permissions; a new report keeps the
        // temporary's default ones.
        unsigned mode = 0;
        CQiError modeErr = CQiFile::GetMode(path, mode);
        if (!modeErr.IsError()) {
            CQiFile tmpFile;
            err = tmpFile.Open(tmpPath, CQiFile::OpenRead);
            if (!err.IsError()) err = tmpFile.SetPermissions(mode);
            if (!err.IsError()) err = tmpFile.Close();
        } else if (modeErr.GetErrNo() != 2) {
            err = modeErr;
        }
    }
    if (!err.IsError()) err = ReportFileHandler::Move(tmpPath, path);
    if (err.IsError()) {
        CQiFile::Delete(tmpPath, true);
        err.Push(FX_CODE_LOCATION);
    }
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Update(const std::string& path) {
    std::unique_ptr<I2::Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(path, guard);
    if (!err.IsError()) {
        ReportFileHandler source;
        err = source.Open(path, std::ios::in);
        if (!err.IsError()) {
            err = ReplaceFile(path, [&](ReportFileHandler& target) {
                return ForEach([&](_RecType& record) { return WriteRecord(target, record, path); }, source,
                               true);
            });
        }
    }
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Rewrite(const std::string& path, DataFrame_t& frame) {
    std::unique_ptr<I2::Utils::IdxNamedMutex> guard;
    CQiError err = LockForRewrite(path, guard);
    if (!err.IsError()) {
        err = ReplaceFile(path, [&](ReportFileHandler& target) {
            for (_RecType& record : frame) {
                CQiError written = WriteRecord(target, record, path);
                if (written.IsError()) return written;
            }
            return CQiError::Success();
        });
    }
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

}  // namespace I2
