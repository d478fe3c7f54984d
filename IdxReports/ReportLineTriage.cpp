#include <IdxReports/ReportLineTriage.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include <platform/DbgLog.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>
#include <IdxReports/ReportBadLines.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/internal/ByteScan.h>
#include <IdxReports/internal/FileScan.h>

namespace I2 {

namespace {

CQiError OutOfMemory(const FXCodeLocation& where, const std::string& path) {
    return FXErrorUtil::ErrorErrNo(where, 150, "Out of memory rewriting report file [%s]", path.c_str());
}

// Where the whole lines of `file` (`size` bytes) end: just after its last
// "\n", 0 when it has none. Found from the end: a file that ends in "\n", as
// every file does but after a crash, costs one read of one byte.
CQiError WholeLinesEnd(CQiFile& file, uint64_t size, uint64_t& end) {
    end = size;
    if (size == 0) return CQiError::Success();
    char last = '\0';
    std::size_t got = 0;
    CQiError err = file.ReadAt(&last, 1, size - 1, got);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (got == 1 && last == '\n') return CQiError::Success();
    std::unique_ptr<char[]> block(new (std::nothrow) char[internal::kScanBlock]);
    if (!block) return OutOfMemory(FX_CODE_LOCATION, file.GetPath());
    uint64_t high = size;
    while (high > 0) {
        const uint64_t low = high > internal::kScanBlock ? high - internal::kScanBlock : 0;
        const std::size_t want = static_cast<std::size_t>(high - low);
        err = file.ReadAt(block.get(), want, low, got);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        const void* newline = memrchr(block.get(), '\n', got);
        if (newline) {
            end = low + static_cast<uint64_t>(static_cast<const char*>(newline) - block.get()) + 1;
            return CQiError::Success();
        }
        high = low;
    }
    end = 0;
    return CQiError::Success();
}

// What ForEachWholeLine hands a line to: `line` a line of at most
// kMaxLineBytes, whole; `longLine` a longer one, a piece at a time as it is
// read (`first` with its first piece), so it is never held whole.
struct LineSink {
    std::function<CQiError(uint64_t number, std::string_view line)> line;
    std::function<CQiError(uint64_t number, std::string_view piece, bool first)> longLine;
};

// Hands each line of `file` before `end` (just after a "\n") to `sink`,
// numbered from 1, without its "\n"; `lines` is how many were handed over.
CQiError ForEachWholeLine(CQiFile& file, uint64_t end, uint64_t& lines, const LineSink& sink) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[internal::kScanBlock]);
    if (!block) return OutOfMemory(FX_CODE_LOCATION, file.GetPath());
    std::string carry;  // a line that runs across blocks, up to the limit
    bool inLongLine = false;
    CQiError lineErr;
    uint64_t read = 0;
    const auto onBlock = [&](const char* bytes, std::size_t size) {
        read += size;
        const char* at = bytes;
        const char* stop = bytes + size;
        while (at < stop) {
            const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(stop - at)));
            const std::string_view piece(at, static_cast<std::size_t>((newline ? newline : stop) - at));
            if (!inLongLine && carry.size() + piece.size() > kMaxLineBytes) {
                inLongLine = true;
                lineErr = sink.longLine(lines + 1, carry, true);
                carry.clear();
            }
            if (inLongLine && !lineErr.IsError()) lineErr = sink.longLine(lines + 1, piece, false);
            if (lineErr.IsError()) return false;
            if (!newline) {
                if (!inLongLine) carry.append(piece);
                break;
            }
            ++lines;
            if (!inLongLine) {
                std::string_view line = piece;
                if (!carry.empty()) {
                    carry.append(piece);
                    line = carry;
                }
                lineErr = sink.line(lines, line);
            }
            inLongLine = false;
            carry.clear();
            if (lineErr.IsError()) return false;
            at = newline + 1;
        }
        return true;
    };
    CQiError err = internal::ForEachBlock(file, block.get(), internal::kScanBlock, end, onBlock);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (lineErr.IsError()) return lineErr.Push(FX_CODE_LOCATION);
    // The lock keeps writers out; a file that shrank was cut by someone ignoring it.
    if (read != end || !carry.empty() || inLongLine) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Report file [%s] changed while it was rewritten",
                                       file.GetPath().c_str());
    }
    return CQiError::Success();
}

// The lines a rewrite sets aside, on their way to PATH.bad a piece at a time,
// so neither many lines nor a long one is ever held at once.
class SetAside {
public:
    SetAside(CQiDirectoryHandle& dir, const std::string& name, const CQiFileStat& report, const char* who,
             std::size_t& moved)
        : moved(moved) {
        writer.Open(dir, name, report, who);  // result ignored: it only remembers where lines go
    }

    CQiError Add(uint64_t number, std::string_view bytes) {
        CQiError err = writer.Line(number);
        if (!err.IsError()) err = writer.Bytes(bytes);
        return err.Push(FX_CODE_LOCATION);
    }
    // A line in pieces: Start, then More for each piece.
    CQiError Start(uint64_t number) { return writer.Line(number).Push(FX_CODE_LOCATION); }
    CQiError More(std::string_view bytes) { return writer.Bytes(bytes).Push(FX_CODE_LOCATION); }
    // Appended and synced: only then may the report lose these lines.
    CQiError Flush() {
        CQiError err = writer.Commit();
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        moved += static_cast<std::size_t>(writer.Lines());
        return CQiError::Success();
    }

private:
    ReportBadLinesWriter writer;
    std::size_t& moved;
};

// The bytes of `file` from `from` to `to` (its unterminated tail) as line
// `number` of PATH.bad, read a block at a time.
CQiError SetTailAside(CQiFile& file, uint64_t from, uint64_t to, uint64_t number, SetAside& aside) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[internal::kScanBlock]);
    if (!block) return OutOfMemory(FX_CODE_LOCATION, file.GetPath());
    CQiError err = aside.Start(number);
    while (!err.IsError() && from < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(internal::kScanBlock, to - from));
        std::size_t got = 0;
        err = file.ReadAt(block.get(), want, from, got);
        if (!err.IsError() && got == 0) break;  // the file shrank: what is left of the tail went with it
        if (!err.IsError()) err = aside.More(std::string_view(block.get(), got));
        from += got;
    }
    return err.Push(FX_CODE_LOCATION);
}

CQiError PutView(ReportFileHandler& target, std::string_view line, std::string& scratch) {
    scratch.assign(line);
    return target.PutLine(scratch);
}

// How a rewrite fills its temporary; one of `judge` (the old lines, judged one
// by one) and `writeLines` (new lines under `headerLine`) is given.
struct Filling {
    const std::string* headerLine = nullptr;
    const ReportLineTriage::Judge_t* judge = nullptr;
    const ReportFileReplacement::LineWriter_t* writeLines = nullptr;
    const char* who = "";
};

CQiError CopyJudged(CQiFile& old, uint64_t end, const Filling& how, ReportFileHandler& target, SetAside& aside,
                    uint64_t& lines) {
    std::string header;
    std::string replacement;
    std::string scratch;
    LineSink sink;
    sink.line = [&](uint64_t number, std::string_view line) -> CQiError {
        if (number == 1) {
            header.assign(line);
            return how.headerLine ? target.PutLine(*how.headerLine) : target.PutLine(header);
        }
        switch ((*how.judge)(header, line, replacement)) {
            case ReportLineFate::Keep: return PutView(target, line, scratch);
            case ReportLineFate::Replace: return target.PutLine(replacement);
            case ReportLineFate::SetAside: break;
        }
        return aside.Add(number, line);
    };
    // A line too long to judge is no record: it goes as it is. A first line that
    // long is no header, and the file no report: nothing is rewritten.
    sink.longLine = [&](uint64_t number, std::string_view piece, bool first) -> CQiError {
        if (number == 1) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "The first line of [%s] is longer than %zu bytes: it is no report",
                                           old.GetPath().c_str(), kMaxLineBytes);
        }
        CQiError err = first ? aside.Start(number) : CQiError::Success();
        if (!err.IsError()) err = aside.More(piece);
        return err;
    };
    CQiError err = ForEachWholeLine(old, end, lines, sink);
    // An old file without one whole line still gets the new header.
    if (!err.IsError() && lines == 0 && how.headerLine) err = target.PutLine(*how.headerLine);
    return err.Push(FX_CODE_LOCATION);
}

CQiError CountWholeLines(CQiFile& old, uint64_t end, uint64_t& lines) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[internal::kScanBlock]);
    if (!block) return OutOfMemory(FX_CODE_LOCATION, old.GetPath());
    return internal::ForEachBlock(old, block.get(), internal::kScanBlock, end,
                                  [&](const char* bytes, std::size_t size) {
                                      lines += internal::CountNewlines(bytes, size);
                                      return true;
                                  })
        .Push(FX_CODE_LOCATION);
}

CQiError Fill(CQiDirectoryHandle& dir, const std::string& name, CQiFile* report, ReportFileHandler& target,
              const Filling& how, std::size_t& moved) {
    // A report that does not exist yet has nothing to keep or set aside.
    if (!report && how.writeLines) {
        CQiError err = target.PutLine(*how.headerLine);
        if (!err.IsError()) err = (*how.writeLines)(target);
        return err.Push(FX_CODE_LOCATION);
    }
    if (!report) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 2, "Report file [%s] does not exist",
                                       dir.PathOf(name).c_str());
    }
    CQiFile& old = *report;
    CQiFileStat st;
    uint64_t size = 0;
    uint64_t end = 0;
    CQiError err = old.Stat(st);
    if (!err.IsError()) err = old.Size(size);
    if (!err.IsError()) err = WholeLinesEnd(old, size, end);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);

    SetAside aside(dir, name, st, how.who, moved);
    uint64_t lines = 0;
    if (how.judge) {
        err = CopyJudged(old, end, how, target, aside, lines);
    } else {
        err = target.PutLine(*how.headerLine);
        if (!err.IsError()) err = (*how.writeLines)(target);
        if (!err.IsError() && end < size) err = CountWholeLines(old, end, lines);
    }
    if (!err.IsError() && end < size) err = SetTailAside(old, end, size, lines + 1, aside);
    if (!err.IsError()) err = aside.Flush();
    return err.Push(FX_CODE_LOCATION);
}

// Through `own`'s lock and a directory opened from `path`, or, without `own`,
// through `heldDir` (whose report's lock the caller holds).
CQiError Triage(ReportFileHandler* own, CQiDirectoryHandle* heldDir, const std::string& path, const Filling& how,
                std::size_t& moved) {
    moved = 0;
    const ReportFileReplacement::ContentWriter_t content = [&](CQiDirectoryHandle& dir, const std::string& name,
                                                               CQiFile* report, ReportFileHandler& target) {
        return Fill(dir, name, report, target, how, moved);
    };
    CQiError err = own ? ReportFileReplacement::Replace(*own, path, content)
                       : ReportFileReplacement::ReplaceHeld(*heldDir, CQiPath::GetFileName(path), content);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (moved > 0) {
        // Worth seeing at any level: rows someone may want back are now elsewhere.
        I2::Utils::DbgLogger log;
        if (log.getDebugLevel() >= -1) {
            log.Debug("", "%s moved %zu %s out of [%s] into [%s]", how.who, moved, moved == 1 ? "line" : "lines",
                      path.c_str(), ReportSideFiles::Unreadable(path).c_str());
        }
    }
    return CQiError::Success();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

bool IsNumberText(std::string_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    const std::string_view rest = text.substr(at);
    if (EqualsNoCase(rest, "inf") || EqualsNoCase(rest, "infinity") || EqualsNoCase(rest, "nan")) return true;
    std::size_t digits = 0;
    while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && IsDigit(text[at])) ++at, ++digits;
    }
    if (digits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
        std::size_t exponent = 0;
        while (at < text.size() && IsDigit(text[at])) ++at, ++exponent;
        if (exponent == 0) return false;
    }
    return at == text.size();
}

bool ReportLineLayout::IsRecord(const std::vector<std::string_view>& fields, std::size_t fileColumns) const {
    if (fields.size() != fileColumns) return false;
    for (std::size_t i = 0; i < fields.size() && i < numeric.size(); ++i) {
        if (numeric[i] && !fields[i].empty() && !IsNumberText(fields[i])) return false;
    }
    return true;
}

std::string ReportLineLayout::Convert(const std::vector<std::string_view>& fields, char separator) const {
    std::string line;
    for (std::size_t i = 0; i < defaults.size(); ++i) {
        if (i != 0) line.push_back(separator);
        if (i < fields.size()) {
            line.append(fields[i]);
        } else {
            line.append(defaults[i]);
        }
    }
    return line;
}

CQiError ReportLineTriage::Sort(ReportFileHandler& own, const std::string& path, const std::string* headerLine,
                                const Judge_t& judge, const char* who, std::size_t& moved) {
    Filling how;
    how.headerLine = headerLine;
    how.judge = &judge;
    how.who = who;
    return Triage(&own, nullptr, path, how, moved).Push(FX_CODE_LOCATION);
}

CQiError ReportLineTriage::Rewrite(ReportFileHandler& own, const std::string& path, const std::string& headerLine,
                                   const ReportFileReplacement::LineWriter_t& writeLines, const char* who,
                                   std::size_t& moved) {
    Filling how;
    how.headerLine = &headerLine;
    how.writeLines = &writeLines;
    how.who = who;
    return Triage(&own, nullptr, path, how, moved).Push(FX_CODE_LOCATION);
}

CQiError ReportLineTriage::MoveTornTail(CQiDirectoryHandle& dir, const std::string& name, std::size_t& moved) {
    moved = 0;
    // Looked at first, so that the common case (no tail) replaces nothing.
    CQiFile file;
    // What is no regular file (a directory, a device, a link) is left to the
    // caller's own open, which says why it cannot be a report.
    if (dir.OpenFile(name, CQiFile::OpenRead, file).IsError()) return CQiError::Success();
    uint64_t size = 0;
    uint64_t end = 0;
    CQiError err = file.Size(size);
    if (!err.IsError()) err = WholeLinesEnd(file, size, end);
    file.Close();  // result ignored: only read
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (end == size) return CQiError::Success();
    const Judge_t keep = [](std::string_view, std::string_view, std::string&) { return ReportLineFate::Keep; };
    Filling how;
    how.judge = &keep;
    how.who = "a writer opening it after a crash";
    return Triage(nullptr, &dir, dir.PathOf(name), how, moved).Push(FX_CODE_LOCATION);
}

}  // namespace I2
