#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ios>
#include <memory>
#include <string>
#include <vector>

#include <platform/DbgLog.h>
#include <platform/Export.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

namespace I2 {
namespace Utils {
class IdxNamedMutex;
}

// The longest line a reader of reports holds: a longer one is an unreadable
// line, of which no more than this is ever kept in memory. Reads skip it to its
// "\n" (GetLine, GetRecord and ForEachLine fail there with code 22, naming the
// limit), record reads take it for a line that does not convert, rewrites move
// it to PATH.bad, and a file whose first line is longer is no report (code 22).
constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;

// One report file on disk: a header line followed by data lines, each ended by "\n".
//
// Writers are serialised across processes by a named lock taken under the name of
// the path being opened ("/a/b/r.csv" locks "_a_b_r.csv") and held until Close.
// Readers take no lock.
//
// Writes are buffered and handed to the operating system in whole lines only
// (about 64 KiB at a time, at every 1000th data line, on Flush and on Close), so
// a process that dies between writes leaves no torn line of its own. A kill that
// lands inside the system's write can still stop it at a page boundary: only the
// last line is torn that way, and the next writer's Open moves those bytes to
// PATH.bad and replaces the report by its whole lines (never cutting it in place
// under readers), so no record is glued onto them. Readers take the bytes after
// the last "\n" for a line not yet written: no read returns or counts them
// (GetLine fails there as at the end); a report that held only a torn header
// line is left empty. A write that
// fails part-way (a full disk) is cut back to the last whole line before the
// error is returned; the lines not written are dropped and no longer counted.
//
// A writer never empties or overwrites existing lines unless its mode has
// `trunc`: `out` and `in|out` on an existing file append. A handler that also
// reads sees its own lines: every read hands pending lines over first. Reading
// starts at the beginning of the file in every mode (`ate` included).
//
// The report's directory is resolved once, at Open (links in the path to it are
// followed: administrators link report directories), and every name is then
// looked up in it. A link, FIFO, device or directory at the report's own name is
// refused with its reason, never followed or waited on; a new report is created
// exclusively and follows the umask.
//
// Not thread-safe: one thread at a time uses a handler.
class IDXREPORTS_API ReportFileHandler final {
public:
    using OpenMode_t = std::ios_base::openmode;

    ReportFileHandler();
    ~ReportFileHandler();
    ReportFileHandler(const ReportFileHandler&) = delete;
    ReportFileHandler& operator=(const ReportFileHandler&) = delete;

    // --- opening, locking and line I/O ---
    CQiError Open(const std::string& path, OpenMode_t mode);
    // Open of `name` in `dir`, a directory the caller resolved itself (one it
    // made and entered without following links): the handler works in its own
    // duplicate of `dir`, so no path is looked up again and a link swapped in
    // at a directory's name meanwhile leads nowhere. The lock is named after
    // `dir` as the kernel names it now, plus `name`: the lock of the path `dir`
    // was opened under, as long as no link on that path has changed since.
    CQiError OpenIn(const CQiDirectoryHandle& dir, const std::string& name, OpenMode_t mode);
    CQiError Reopen(OpenMode_t mode);
    // Writes to `created`, a new empty file the caller made under the lock it
    // holds (a rewrite's side file, already given its owner and mode), named
    // `path` in messages. The handler takes no lock of its own for it.
    CQiError OpenCreated(CQiFile&& created, const std::string& path);
    void Close();
    bool IsOpen();
    CQiError LockFile();
    CQiError UnlockFile();
    // Fails with code 150 at the end of the file, and with code 22 at a line
    // longer than kMaxLineBytes, which is skipped: the next call reads on.
    CQiError GetLine(std::string& line);
    CQiError PutLine(const std::string& line);
    // The same for a line that is not a string of its own (a record's line
    // built in a reused buffer): no copy into a string first.
    CQiError PutLine(const char* line, std::size_t length);
    CQiError Flush();
    // Flush, then make the file's content durable (fsync).
    CQiError Sync();
    // Empties an open writer's file in place, keeping the lock: the header line
    // and count are forgotten, so the next PutLine writes the header line.
    CQiError Truncate();
    // Cuts an open writer's file back to its header line in one step, keeping the
    // lock and the header line; the count becomes 0. The file is never without
    // its header, not even for an instant. Without a header line in the file it
    // empties the file as Truncate does.
    CQiError TruncateToHeader();
    CQiError Reset(std::streampos pos);
    std::string GetFullPath() const;
    // The directory the open file was found in, and its name there; a closed
    // handler's directory is not open.
    CQiDirectoryHandle& GetDirectory() { return directory; }
    const std::string& GetFileName() const { return fileName; }
    // What the open file is (its descriptor, not its name).
    CQiError StatOpenFile(CQiFileStat& st);
    // A rotation's hand-over: `replacement`, a new file that holds `header` as
    // its only line and has just taken this file's name, becomes the open file;
    // the old one is closed. An open writer's lock, path and mode stay; the
    // count starts at 0. Pending lines must have been flushed before, and a
    // writer's replacement must append (CQiFile::SetAppending). Cannot fail on
    // an open handler: it runs after the report was replaced.
    CQiError TakeReplacement(CQiFile&& replacement, std::string&& header);
    // The data lines: the file's whole lines after the first as Open found them,
    // plus the lines put since. A writer's Open does not count them (its cost
    // must not grow with the file); the first call does, with the same result.
    // A reader's count is 0. A count that fails to read part of the file counts
    // what was read.
    size_t GetLineCount();
    OpenMode_t GetOpenMode() const { return openMode; }
    // Lines the last Open moved to PATH.bad: 1 after a crash left a torn last
    // line, else 0.
    size_t GetLinesSetAside() const { return linesSetAside; }

    // --- headers, traversal and file operations ---
    bool HasHeader();
    CQiError GetHeader(std::vector<std::string>& fields, char separator);
    CQiError GetRecord(std::vector<std::string>& fields, char separator);
    // "a,,b" -> {"a", "", "b"}; "a,b," -> {"a", "b"}; "" -> {}; "," -> {""}.
    // No quoting: a double quote is an ordinary character. Appends to `fields`.
    CQiError SplitLine(const std::string& line, std::vector<std::string>& fields, char separator);
    bool CheckHeader(const std::vector<std::string>& columns, char separator);
    // Walks the data lines from the start, one line at a time, then puts the read
    // position back; an error of onLine ends the walk with the position after
    // that line. A read error fails the walk (it is not taken for the end).
    // A line longer than kMaxLineBytes ends it with code 22.
    CQiError ForEachLine(std::function<CQiError(std::string&)> onLine);
    // ForEachLine for readers that decide about unreadable lines themselves: a
    // line longer than kMaxLineBytes is handed over empty with `unreadable`, the
    // error ForEachLine would end with (a success for every other line), and
    // the walk goes on unless onLine returns an error. An exception from onLine
    // ends either walk as an error (code 150 out of memory, else 22).
    CQiError ForEachLineOrUnreadable(std::function<CQiError(std::string& line, const CQiError& unreadable)> onLine);
    CQiError FindIfLine(std::function<bool(std::string&)> match);
    // The whole lines after the first; bytes after the last "\n" do not count,
    // an empty file or a header line alone counts 0. Leaves the read position alone.
    CQiError Count(size_t& count);
    CQiError CheckPath(const std::string& path);
    CQiError Move(const std::string& newPath);
    // Never loses `to`: a missing `from` fails (code 2) with `to` untouched.
    // Across file systems the copy is made as Copy makes a new file, in
    // `to`.tmp, and renamed over `to` once complete.
    static CQiError Move(const std::string& from, const std::string& to);
    // An open writer is flushed first, so the copy holds every line put.
    CQiError Copy(const std::string& to);
    // Both names are taken as they are: `from` must be a regular file and `to`
    // a regular file of one name or nothing (a link, FIFO, device, directory
    // or second hard link there is code 150 caused by 22 naming it, and is
    // never followed, written or waited on). A new `to` is created exclusively
    // with `from`'s permission bits (and owner and group where the caller may
    // give them); an existing one loses the permission bits `from` lacks, so a
    // copy is never more open than its source.
    static CQiError Copy(const std::string& from, const std::string& to);

    // The lock name of a path: its canonical spelling (absolute, symlinked
    // directories resolved, the file itself not followed) with every "/"
    // replaced by "_". "/a/b/r.csv" -> "_a_b_r.csv".
    static std::string LockNameOf(const std::string& path);

private:
    // Open's first step: the directory (a duplicate of `resolved`, or the
    // path's parent; with `makeDirectory` a missing parent is made first).
    CQiError OpenDirectory(const CQiDirectoryHandle* resolved, bool makeDirectory);
    // A writer's next step: its lock, named after the directory just opened;
    // `lockTakenHere` when this call took it (not an earlier LockFile).
    CQiError LockForWriting(bool& lockTakenHere);
    // After an exception inside Open: nothing stays open, and a lock stays only
    // when it was held before (`keepLock`).
    void ForgetFailedOpen(bool keepLock);
    // Open and OpenIn: `resolved` is OpenIn's directory, else null. No
    // exception leaves it; OpenSteps does the work.
    CQiError OpenResolved(const std::string& path, OpenMode_t mode, const CQiDirectoryHandle* resolved);
    CQiError OpenSteps(const std::string& path, OpenMode_t mode, const CQiDirectoryHandle* resolved);
    // Open's steps in the directory, under the lock for a writer: a rotation a
    // crash left half done, the mode fitted to the file, the descriptor, the
    // header line and, for a writer, a torn last line set aside; `existed`
    // when the file was there before.
    CQiError OpenInDirectory(unsigned& flags, bool& existed);
    // Fits a writer's mode to whether the file exists; false for a new file.
    // `seen` is what is at the name, when `looked` says it could be looked at.
    bool FitWriterModeToFile(CQiFileStat& seen, bool& looked);
    // A writer's open of the existing report, with `seen` (or null) from
    // FitWriterModeToFile; `st` is what was opened. Refuses a second name.
    CQiError OpenExistingWriter(unsigned flags, const CQiFileStat* seen, CQiFileStat& st);
    // Reads the header line of the file just opened (`size` bytes) and, for a
    // writer, how it ends, setting a torn last line aside first.
    CQiError ReadFileStart(unsigned flags, uint64_t size);
    // Open's crash recovery for a writer, under its lock: bytes after the last
    // "\n" go to PATH.bad and out of the report, before the file is read.
    CQiError SetTornTailAside();
    // Hands the pending lines to the operating system; on failure cuts the file
    // back to its last whole line and builds the error at `caller`.
    CQiError WritePending(const FXCodeLocation& caller, const char* message);
    // Reads the line at readPos; `atEnd` when nothing is left, `tooLong` (and
    // `line` empty) for a line past kMaxLineBytes, which is skipped. Fails only
    // on a read error (or a failed flush of pending lines).
    CQiError ReadLine(std::string& line, bool& atEnd, bool& tooLong);
    CQiError LineTooLong(const FXCodeLocation& location, uint64_t lineStart) const;
    // ForEachLine and ForEachLineOrUnreadable: exactly one of the two is given.
    CQiError WalkLines(const std::function<CQiError(std::string&)>* onLine,
                       const std::function<CQiError(std::string&, const CQiError&)>* onAnyLine);
    CQiError FillReadBuffer();
    void ForgetReadBuffer();
    void ForgetPendingLines();
    // Truncate and TruncateToHeader: cuts the file to `size` bytes.
    CQiError CutBack(uint64_t size, const FXCodeLocation& caller);

    std::string filePath;
    std::string headerLine;
    size_t lineCount = 0;
    size_t linesSetAside = 0;
    uint64_t uncountedBytes = 0;      // the file as Open found it, its lines not yet in lineCount
    CQiFile file;
    CQiDirectoryHandle directory;     // open exactly while `file` is
    std::string fileName;             // the report's name in `directory`
    I2::Utils::DbgLogger debugLog;
    OpenMode_t openMode{};
    std::unique_ptr<I2::Utils::IdxNamedMutex> namedMutex;
    bool writable = false;            // the open file takes PutLine

    // Read side: a block of the file starting at readBufferOffset; readPos is the
    // file offset of the next byte GetLine returns.
    std::unique_ptr<char[]> readBuffer;
    std::size_t readBufferSize = 0;   // bytes valid in readBuffer
    uint64_t readBufferOffset = 0;
    uint64_t readPos = 0;
    bool readFailed = false;          // the last GetLine ran out; cleared by Reset

    // Write side: whole lines not yet handed to the operating system.
    std::string pendingWrite;
    std::size_t pendingDataLines = 0;  // counted in lineCount, not yet in the file
    std::size_t pendingHeaderEnd = 0;  // > 0: pendingWrite starts with the header line
    bool startWithNewline = false;     // the file ends in a torn line
};

}  // namespace I2
