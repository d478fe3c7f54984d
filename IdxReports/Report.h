#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <platform/DbgLog.h>
#include <platform/QiError.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportRecord.h>

namespace I2 {

// A typed report: one file whose data lines are records of `_RecType`.
//
// `_MaxRecords` is the most data lines the file holds before it is started
// afresh (its previous content kept in path + ".old"); -1 means no limit.
// `_Separator` is set on every record before it is written or parsed.
//
// Crash safety: a rewrite (Update) goes through path + ".tmp", synced and renamed
// over the report under the report's own lock, so the report always holds either
// its old or its new content in full. A rotation, under the same lock, swaps a
// fresh header-only file in for the report in one rename and only then names
// the old file ".old", so the report is never missing and no row is in both
// files; readers holding the old file read it unchanged to its end. A rewrite keeps every
// line it was not asked to change byte for byte; a line that is no record of
// the report, and bytes after the last "\n" that a crash left, go to
// path + ".bad" with their line numbers, synced before the report is replaced.
//
// One report object is used by one thread at a time; the destructor is not
// virtual: a report is destroyed through its concrete type.
template <typename _RecType, int _MaxRecords, char _Separator>
class Report {
public:
    using OpenMode_t = ReportFileHandler::OpenMode_t;
    using DataFrame_t = std::vector<_RecType>;
    using RecordFunction_t = std::function<CQiError(_RecType&)>;

    Report() = default;
    ~Report() { Close(); }
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Column names, in column order, at least one.
    virtual std::vector<std::string> GetHeader() const = 0;

    // Closes a file still open first; when its last lines cannot be flushed the
    // loss is written to the debug log (at every level from -1) and `path` is
    // opened all the same.
    CQiError Open(const std::string& path, OpenMode_t mode, bool checkHeader);
    CQiError Lock();
    // Refuses (code 22, nothing written) a record whose line would hold "\n" or NUL.
    CQiError AddRecord(_RecType& record);
    // Flushes a writer and closes; reports a flush that failed (lines lost).
    CQiError Close();
    std::string GetPath() const { return file.GetFullPath(); }
    std::string GetHeaderLine() const;
    bool CheckFileHeader();
    // Lines the last Open moved to path + ".bad": a crash's torn last line, and
    // lines of an older layout that were no records of it.
    std::size_t GetLinesSetAside() const { return linesSetAside; }

    CQiError ForEach(RecordFunction_t fn, bool stopOnError);
    CQiError ForEach(RecordFunction_t fn, ReportFileHandler& source, bool stopOnError);
    CQiError LoadAll(DataFrame_t& frame);
    CQiError AddDataFrame(DataFrame_t& frame);
    // Rewrites the file at `path` under the current header, atomically: each
    // record of the old layout keeps its field texts and gets the defaults of
    // columns it lacks; any other line goes to path + ".bad".
    CQiError Update(const std::string& path);
    // Update, saying how many lines went to path + ".bad".
    CQiError Update(const std::string& path, std::size_t& moved);
    // Replaces the report's content with `frame` under the current header,
    // atomically, without rotating (path + ".tmp", synced, renamed).
    // Both hold the lock of `path` throughout: the one this report took when it
    // has `path` open for reading (it is kept until Close, as after Lock()), or
    // their own. A report open for writing on `path` is refused (code 22).
    // The old file's unterminated tail, if any, goes to path + ".bad".
    CQiError Rewrite(const std::string& path, DataFrame_t& frame);

protected:
    // Open of `name` in `dir`, a directory the concrete report made and entered
    // itself without following links, so that nothing is looked up by path
    // again; no header check. See ReportFileHandler::OpenIn.
    CQiError OpenIn(const CQiDirectoryHandle& dir, const std::string& name, OpenMode_t mode);

    // AddRecord for a concrete report that built its record's line itself (as
    // its ToString would), without a record or a string of its own; the line is
    // refused as AddRecord refuses it when `breaksLine` (it holds "\n" or NUL),
    // which its builder found out while it wrote the line.
    CQiError AddRecordLine(std::string_view line, bool breaksLine);

    I2::Utils::DbgLogger debugLog;
    ReportFileHandler file;

private:
    // AddRecord's steps after the line is built: the refusal, the rotation, the write.
    CQiError PutRecordLine(std::string_view line, bool breaksLine);

    std::size_t linesSetAside = 0;

    CQiError WriteRecord(ReportFileHandler& target, _RecType& record, const std::string& path);
    // Open's steps; Open turns whatever they throw into an error.
    // `resolved`: OpenIn's directory, in which `path`'s file name is opened.
    CQiError OpenChecked(const std::string& path, OpenMode_t mode, bool checkHeader,
                         const CQiDirectoryHandle* resolved = nullptr);
};

}  // namespace I2

// Definitions of the template's members.
#include <IdxReports/ReportImpl.h>
