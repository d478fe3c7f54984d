#pragma once
// Member definitions of I2::Report; included by Report.h only. The file work
// (rotation, replacement, the lock of a rewrite) is ReportFileReplacement's;
// what is here turns records into lines and back.

#include <cstddef>
#include <functional>
#include <ios>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <platform/QiError.h>
#include <IdxReports/Report.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/ReportLineTriage.h>

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
    try {
        return OpenChecked(path, mode, checkHeader).Push(FX_CODE_LOCATION);
    } catch (...) {
        // The conversion's temporary is gone by now: the replacement removes it
        // on every failure.
        file.Close();
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Opening report file [%s]", path.c_str());
    }
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::OpenIn(const CQiDirectoryHandle& dir, const std::string& name,
                                                           OpenMode_t mode) {
    std::string path;
    try {
        path = dir.PathOf(name);
        return OpenChecked(path, mode, false, &dir).Push(FX_CODE_LOCATION);
    } catch (...) {
        file.Close();
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Opening report file [%s]", path.c_str());
    }
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::OpenChecked(const std::string& path, OpenMode_t mode,
                                                                bool checkHeader,
                                                                const CQiDirectoryHandle* resolved) {
    CQiError err = Close();
    linesSetAside = 0;
    if (err.IsError()) {
        // The previous file's last lines are lost whatever happens now; refusing
        // the new file as well would only lose its records too. The loss is worth
        // seeing at any level, as a misuse is.
        const int level = debugLog.getDebugLevel();
        try {
            if (level >= -1) {
                debugLog.Debug(level >= 2 ? __PRETTY_FUNCTION__ : "", "Lines of the previous report were lost: %s",
                               err.Describe().c_str());
            }
        } catch (const std::bad_alloc&) {
            // No memory to say so; the new file is opened all the same.
        }
        err = CQiError::Success();
    }
    // A missing or unreadable file is no reason to stop here: the open in `mode`
    // below creates it or reports why it cannot.
    const auto openFile = [&](OpenMode_t how) {
        return resolved ? file.OpenIn(*resolved, CQiPath::GetFileName(path), how) : file.Open(path, how);
    };
    if (checkHeader && !openFile(std::ios::in).IsError()) {
        if (!CheckFileHeader()) {
            // The conversion runs under the report's lock, so a writer cannot
            // append to the old file while it is copied. A process that converted
            // it meanwhile leaves a file that converts to itself.
            err = file.LockFile();
            if (!err.IsError()) err = Update(path, linesSetAside);
        }
        file.Close();
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    err = openFile(mode);
    linesSetAside += file.GetLinesSetAside();
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if ((mode & std::ios::out) && !file.HasHeader()) {
        // Written at once rather than with the first lines: a report that a
        // writer has created must not stand empty, headerless, while it appends
        // slowly, nor be left so by a crash.
        err = file.PutLine(GetHeaderLine());
        if (!err.IsError()) err = file.Flush();
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Lock() {
    return file.LockFile().Push(FX_CODE_LOCATION);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::AddRecord(_RecType& record) {
    record.SetColumnSeparator(_Separator);
    const std::string line = record.ToString();
    CQiError err = PutRecordLine(line, !ReportFileReplacement::IsWritableLine(line, false));
    // A code location is two strings: on a path taken once per record it is
    // built only when there is a failure to trace.
    if (err.IsError()) err.Push(FX_CODE_LOCATION);
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::AddRecordLine(std::string_view line, bool breaksLine) {
    CQiError err = PutRecordLine(line, breaksLine);
    if (err.IsError()) err.Push(FX_CODE_LOCATION);  // as in AddRecord
    return err;
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::PutRecordLine(std::string_view line, bool breaksLine) {
    static_assert(_MaxRecords == -1 || _MaxRecords > 0,
                  "a report holds at least one record, or has no limit");
    // Checked before anything changes, so a refused record leaves the file as it was.
    // The path (a copy) is wanted only for the message of a refused line.
    if (breaksLine) return ReportFileReplacement::CheckLine(std::string(line), GetPath(), false);
    if constexpr (_MaxRecords != -1) {
        if (file.GetLineCount() > static_cast<std::size_t>(_MaxRecords - 1)) {
            CQiError err = ReportFileReplacement::Rotate(file, GetHeaderLine());
            if (err.IsError()) return err;
        }
    }
    return file.PutLine(line.data(), line.size());
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Close() {
    if (!file.IsOpen()) return CQiError::Success();
    // The handler's own Close flushes too but cannot say that lines were lost.
    CQiError err;
    if (file.GetOpenMode() & std::ios::out) err = file.Flush();
    file.Close();
    return err.Push(FX_CODE_LOCATION);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::ForEach(RecordFunction_t fn, bool stopOnError) {
    return ForEach(std::move(fn), file, stopOnError).Push(FX_CODE_LOCATION);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::ForEach(RecordFunction_t fn, ReportFileHandler& source,
                                                            bool stopOnError) {
    try {
        // Every line is parsed into this one record; callers copy what they keep.
        _RecType scratch;
        scratch.SetColumnSeparator(_Separator);
        // A line too long to read is one more line that does not convert.
        CQiError err = source.ForEachLineOrUnreadable([&](std::string& line, const CQiError& unreadable) -> CQiError {
            CQiError result = unreadable.IsError() ? unreadable : scratch.FromString(line);
            if (!result.IsError()) result = fn(scratch);
            if (stopOnError && result.IsError()) return result.Push(FX_CODE_LOCATION);
            return CQiError::Success();
        });
        return err.Push(FX_CODE_LOCATION);
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Reading the records of report file [%s]",
                                                 source.GetFullPath().c_str());
    }
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
    return err.Push(FX_CODE_LOCATION);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::AddDataFrame(DataFrame_t& frame) {
    for (_RecType& record : frame) {
        CQiError err = AddRecord(record);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    return file.Flush().Push(FX_CODE_LOCATION);
}

// Records of a rewrite may carry NUL bytes read back from a damaged file; they
// are written back as read rather than failing every later rewrite. A line
// break can only come from a caller's record, and would split it into two.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::WriteRecord(ReportFileHandler& target, _RecType& record,
                                                                const std::string& path) {
    record.SetColumnSeparator(_Separator);
    const std::string line = record.ToString();
    CQiError err = ReportFileReplacement::CheckLine(line, path, true);
    if (!err.IsError()) err = target.PutLine(line);
    return err.Push(FX_CODE_LOCATION);
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Update(const std::string& path) {
    std::size_t moved = 0;
    return Update(path, moved).Push(FX_CODE_LOCATION);
}

// A row is converted by position, keeping its own field texts: re-serialising
// it would alter numbers this library did not write (" 4116", "12345678.5")
// and make rows out of lines that are none. A record type that does not show
// its fields is converted as it reads and writes itself, and the lines it
// refuses are set aside.
template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Update(const std::string& path, std::size_t& moved) {
    moved = 0;
    try {
        _RecType scratch;
        scratch.SetColumnSeparator(_Separator);
        const std::string headerLine = GetHeaderLine();
        ReportLineTriage::Judge_t convert;
        if constexpr (HasFieldVisitor<_RecType>::value) {
            auto rows = std::make_shared<ReportRowSplitter<_RecType>>(scratch, _Separator);
            convert = [rows](std::string_view header, std::string_view line, std::string& converted) {
                if (!rows->IsRecord(header, line)) return ReportLineFate::SetAside;
                converted = rows->Layout().Convert(rows->Fields(), _Separator);
                return ReportLineFate::Replace;
            };
        } else {
            convert = [&scratch, text = std::string()](std::string_view, std::string_view line,
                                                       std::string& converted) mutable {
                text.assign(line);
                if (scratch.FromString(text).IsError()) return ReportLineFate::SetAside;
                converted = scratch.ToString();
                return ReportLineFate::Replace;
            };
        }
        return ReportLineTriage::Sort(file, path, &headerLine, convert, "a conversion to the current columns", moved)
            .Push(FX_CODE_LOCATION);
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Converting report file [%s]", path.c_str());
    }
}

template <typename _RecType, int _MaxRecords, char _Separator>
CQiError Report<_RecType, _MaxRecords, _Separator>::Rewrite(const std::string& path, DataFrame_t& frame) {
    try {
        std::size_t moved = 0;
        const ReportFileReplacement::LineWriter_t writeLines = [&](ReportFileHandler& target) {
            for (_RecType& record : frame) {
                CQiError written = WriteRecord(target, record, path);
                if (written.IsError()) return written;
            }
            return CQiError::Success();
        };
        CQiError err = ReportLineTriage::Rewrite(file, path, GetHeaderLine(), writeLines, "a rewrite", moved);
        return err.Push(FX_CODE_LOCATION);
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Rewriting report file [%s]", path.c_str());
    }
}

}  // namespace I2
