#include <IdxReports/ReportFileHandler.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include <platform/IdxNamedMutex.h>
#include <platform/QiCanonicalPath.h>
#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/ReportLineTriage.h>
#include <IdxReports/internal/FileScan.h>

namespace I2 {

namespace {

using OpenMode_t = ReportFileHandler::OpenMode_t;
using internal::FileShape;
using internal::ScanFor;

// Lines are handed to the operating system in chunks of about this size, so
// appending costs one write per chunk rather than one per line.
constexpr std::size_t kWriteChunk = 64 * 1024;
// Every this many data lines a writer flushes, so that a crash loses little
// (counted from Open as long as the file's own lines are not counted yet).
constexpr std::size_t kFlushEveryLines = 1000;
// GetLine's block.
constexpr std::size_t kReadBlock = 256 * 1024;

bool HasAll(OpenMode_t mode, OpenMode_t bits) { return (mode & bits) == bits; }

// The descriptor flags for a stream open mode: the file a standard file buffer
// would open, except that every writer appends. A file buffer empties an
// existing file for `out` alone and overwrites it from the start for `in|out`;
// both would leave the lines written next without the header line and count the
// handler keeps, so those modes append here. Writers also read, so that Count
// and GetLine work on them. 0 for a mode a file buffer refuses (`trunc` without
// `out`, `trunc|app`, no direction at all).
unsigned FlagsFor(OpenMode_t mode) {
    using std::ios_base;
    const OpenMode_t kind = mode & (ios_base::in | ios_base::out | ios_base::trunc | ios_base::app);
    const unsigned writer = CQiFile::OpenRead | CQiFile::OpenWrite | CQiFile::OpenAppend;
    if (kind == ios_base::in) return CQiFile::OpenRead;
    if (kind == ios_base::out || kind == ios_base::app || kind == (ios_base::out | ios_base::app) ||
        kind == (ios_base::in | ios_base::app) || kind == (ios_base::in | ios_base::out | ios_base::app))
        return writer | CQiFile::OpenCreate;
    if (kind == (ios_base::out | ios_base::trunc) || kind == (ios_base::in | ios_base::out | ios_base::trunc))
        return writer | CQiFile::OpenCreate | CQiFile::OpenTruncate;
    // A file buffer opens `in|out` only on an existing file.
    if (kind == (ios_base::in | ios_base::out)) return writer;
    return 0;
}

// One component that names a file inside a directory: not "", "." or "..", no "/".
bool IsFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

CQiError NotOpenError(const FXCodeLocation& location, const std::string& path) {
    return FXErrorUtil::ErrorErrNo(location, 22, "File is [%s] not open.", path.c_str());
}

// The first bytes of a file, read at once: a header line and more, and the
// whole of a report that holds a few lines.
constexpr std::size_t kStartBytes = 4096;

// What Open learns from the file it opened: its header line and, for a
// writer, whether its last line is torn.
struct FileStart {
    std::string header;
    bool headerTooLong = false;  // the first line is longer than kMaxLineBytes
    bool tornTail = false;       // not empty, and not ending in "\n"
};

// Read from the descriptor just opened (`size` bytes when it was opened), so
// what is learnt is about the very file that is then read and written: one
// read for a file of up to kStartBytes, its first block and its last byte for
// a longer one. A header read that fails teaches what was read before it, if
// anything; a failed look at the last byte fails, as it must not be appended
// to unseen. A file cut shorter meanwhile (by someone ignoring the lock) ends
// where it is cut and counts as whole.
CQiError ReadStartOf(CQiFile& file, uint64_t size, bool wantEnd, FileStart& start) {
    if (size == 0) return CQiError::Success();
    char first[kStartBytes];
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(size, kStartBytes));
    std::size_t got = 0;
    CQiError err = file.ReadAt(first, want, 0, got);
    const void* newline = std::memchr(first, '\n', got);
    if (newline) {
        start.header.assign(first, static_cast<std::size_t>(static_cast<const char*>(newline) - first));
    } else if (!err.IsError() && got == want && want < size) {
        // A first line longer than the block: read on, a block at a time.
        FileShape shape;
        internal::ScanFile(file, ScanFor::Header, shape);  // result ignored
        start.headerTooLong = shape.headerTooLong;
        start.header = std::move(shape.header);
    } else {
        start.header.assign(first, got);
    }
    if (!wantEnd) return CQiError::Success();
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    char last = '\n';
    if (got == size) {
        last = first[got - 1];
    } else if (got == want) {
        std::size_t gotLast = 0;
        err = file.ReadAt(&last, 1, size - 1, gotLast);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        if (gotLast == 0) last = '\n';
    }
    start.tornTail = last != '\n';
    return CQiError::Success();
}

}  // namespace

ReportFileHandler::ReportFileHandler() = default;

ReportFileHandler::~ReportFileHandler() { Close(); }

// ---------------------------------------------------------------------------
// Opening, locking and line I/O
// ---------------------------------------------------------------------------

CQiError ReportFileHandler::Open(const std::string& path, OpenMode_t mode) {
    return OpenResolved(path, mode, nullptr);
}

CQiError ReportFileHandler::OpenIn(const CQiDirectoryHandle& dir, const std::string& name, OpenMode_t mode) {
    if (!IsFileName(name)) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "[%s] is not a file name inside directory [%s]",
                                       name.c_str(), dir.GetPath().c_str());
    }
    try {
        return OpenResolved(dir.PathOf(name), mode, &dir);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Out of memory opening report file [%s]", name.c_str());
    }
}

void ReportFileHandler::ForgetFailedOpen(bool keepLock) {
    Close();
    file.Close();       // result ignored
    directory.Close();  // result ignored
    if (!keepLock) UnlockFile();
}

CQiError ReportFileHandler::OpenResolved(const std::string& path, OpenMode_t mode,
                                         const CQiDirectoryHandle* resolved) {
    const bool wasOpen = IsOpen();
    const bool wasLocked = namedMutex && namedMutex->isLocked();
    try {
        return OpenSteps(path, mode, resolved);
    } catch (...) {
        // Out of memory on the way: what this call opened or locked goes again.
        if (!wasOpen) ForgetFailedOpen(wasLocked);
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Opening report file [%s]", path.c_str());
    }
}

CQiError ReportFileHandler::OpenSteps(const std::string& path, OpenMode_t mode,
                                      const CQiDirectoryHandle* resolved) {
    if (IsOpen()) {
        // Opening an open handler is a caller's mistake worth seeing at any level.
        const int level = debugLog.getDebugLevel();
        if (level >= -1) {
            debugLog.Debug(level >= 2 ? __PRETTY_FUNCTION__ : "", "File [%s] is already open.", path.c_str());
        }
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "File is already open.");
    }
    try {
        filePath = path;
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Could not open report file [%s] in mode [%d]",
                                       path.c_str(), static_cast<int>(mode));
    }
    openMode = mode;
    lineCount = 0;
    linesSetAside = 0;
    uncountedBytes = 0;
    headerLine.clear();
    writable = false;
    startWithNewline = false;

    const bool writer = (openMode & std::ios_base::out) != 0;
    bool lockTakenHere = false;
    unsigned flags = 0;
    bool existed = true;
    CQiError err = OpenDirectory(resolved, writer && resolved == nullptr);
    if (!err.IsError() && writer) {
        err = LockForWriting(lockTakenHere);
        if (err.IsError()) {
            // Said as it is: callers match the lock's own message.
            directory.Close();  // result ignored
            return err.Push(FX_CODE_LOCATION);
        }
    }
    if (!err.IsError()) err = OpenInDirectory(flags, existed);
    if (err.IsError()) {
        // A lock that only this Open took must not outlive it: nothing will Close
        // a handler that never opened.
        if (lockTakenHere) UnlockFile();
        directory.Close();  // result ignored
        headerLine.clear();
        uncountedBytes = 0;
        startWithNewline = false;
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 22, err, "Could not open report file [%s] in mode [%d]",
                                   filePath.c_str(), static_cast<int>(openMode));
    }

    writable = (flags & CQiFile::OpenWrite) != 0;
    readPos = 0;
    readFailed = false;
    return CQiError::Success();
}

// The directory is opened before a writer's lock is taken: the lock is named
// after the directory the handler then works in, as the kernel names it, so
// the two cannot differ even if a link on the way is swapped meanwhile.
CQiError ReportFileHandler::OpenDirectory(const CQiDirectoryHandle* resolved, bool makeDirectory) {
    try {
        fileName = CQiPath::GetFileName(filePath);
        if (resolved) return resolved->Duplicate(directory).Push(FX_CODE_LOCATION);
        const std::string parent = CQiPath::GetParent(filePath);
        CQiError err = directory.Open(parent);
        // A bare file name lives in the working directory, which exists.
        if (err.IsError() && makeDirectory && err.GetSystemErrNo() == ENOENT && !parent.empty()) {
            err = CQiDirectory::Create(parent, true);
            if (!err.IsError()) err = directory.Open(parent);
        }
        return err.Push(FX_CODE_LOCATION);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Out of memory opening report file [%s]",
                                       filePath.c_str());
    }
}

// Named afresh at every Open, never remembered: a link on the way to the
// directory may lead elsewhere since the last one.
CQiError ReportFileHandler::LockForWriting(bool& lockTakenHere) {
    const bool heldBefore = namedMutex && namedMutex->isLocked();
    CQiError err;
    try {
        std::string canonical;
        const std::string lockName = IsFileName(fileName) && directory.GetCanonicalPath(canonical)
                                         ? Utils::LockNameInDirectory(canonical, fileName)
                                         : LockNameOf(filePath);
        err = ReportFileReplacement::LockNamed(lockName, filePath, namedMutex);
    } catch (const std::bad_alloc&) {
        err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 1001,
                                      "Can't open report file [%s], error to acquire lock: out of memory",
                                      filePath.c_str());
    }
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    lockTakenHere = !heldBefore;
    return CQiError::Success();
}

CQiError ReportFileHandler::OpenInDirectory(unsigned& flags, bool& existed) {
    const bool writer = (openMode & std::ios_base::out) != 0;
    CQiFileStat seen;
    bool looked = false;
    if (writer) {
        // Under the lock, before the file is looked at: what a rotation killed
        // half-way left is put in order first. Not fatal here: whatever is left
        // keeps its rows out of sight, never in two places, and the next
        // rotation refuses to start over it.
        ReportFileReplacement::CompleteRotation(directory, fileName);  // result ignored
        existed = FitWriterModeToFile(seen, looked);
    }
    flags = FlagsFor(openMode);
    if (!flags) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Open mode not supported");
    // A file that was there is never created again (the name vanishing meanwhile
    // is an error); one that was not is created only if nothing took its name.
    if (existed) {
        flags &= ~static_cast<unsigned>(CQiFile::OpenCreate);
    } else if (flags & CQiFile::OpenCreate) {
        flags |= CQiFile::OpenExclusive;
    }
    // Emptied only once it is known to be the report alone.
    const bool empty = existed && (flags & CQiFile::OpenTruncate);
    const unsigned openFlags = flags & ~static_cast<unsigned>(CQiFile::OpenTruncate);
    if (writer && !existed) return directory.OpenFile(fileName, openFlags, file).Push(FX_CODE_LOCATION);
    CQiFileStat st;
    CQiError err = writer ? OpenExistingWriter(openFlags, looked ? &seen : nullptr, st)
                          : directory.OpenFile(fileName, openFlags, file, nullptr, st);
    if (!err.IsError() && empty) err = file.Truncate(0);
    if (!err.IsError() && !empty) err = ReadFileStart(openFlags, st.size);
    if (err.IsError()) file.Close();  // result ignored
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportFileHandler::OpenExistingWriter(unsigned flags, const CQiFileStat* seen, CQiFileStat& st) {
    CQiError err = directory.OpenFile(fileName, flags, file, seen, st);
    // A second name makes the report someone else's file too: whoever can write
    // the directory could link any file of the writer's there and have it
    // appended to (or emptied) with the writer's rights.
    if (!err.IsError() && st.links > 1) {
        err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                      "Report file [%s] has %llu hard links; a report must have only its own name",
                                      filePath.c_str(), static_cast<unsigned long long>(st.links));
    }
    if (err.IsError()) file.Close();  // result ignored
    return err.Push(FX_CODE_LOCATION);
}

// A writer holds the lock, so the file ends where its lines will begin, and
// bytes after the last "\n" are no line being appended but what a killed
// writer left. Most files end in "\n": then the header and the last byte are
// all a writer reads, from the descriptor it writes through, and only a torn
// end costs the rewrite that moves it to PATH.bad (and an open of the file
// that replaced this one).
CQiError ReportFileHandler::ReadFileStart(unsigned flags, uint64_t size) {
    const bool writer = (openMode & std::ios_base::out) != 0;
    FileStart start;
    CQiError err = ReadStartOf(file, size, writer, start);
    if (!err.IsError() && start.tornTail) {
        file.Close();  // result ignored: only read
        err = SetTornTailAside();
        CQiFileStat st;
        if (!err.IsError()) err = OpenExistingWriter(flags, nullptr, st);
        size = st.size;
        start = FileStart();
        if (!err.IsError()) err = ReadStartOf(file, size, writer, start);
    }
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (start.headerTooLong) {
        // No header line of any report is that long: this is some other file.
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "The first line of [%s] is longer than %zu bytes: it is no report",
                                       filePath.c_str(), kMaxLineBytes);
    }
    headerLine = std::move(start.header);
    if (writer) {
        // Left in place only where the writer may not replace the report: its
        // lines then start on a line of their own. They are counted when asked.
        startWithNewline = start.tornTail;
        uncountedBytes = size;
    }
    return CQiError::Success();
}

size_t ReportFileHandler::GetLineCount() {
    if (uncountedBytes > 0) {
        FileShape shape;
        internal::ScanFile(file, ScanFor::Count, shape, uncountedBytes);  // result ignored: what was read counts
        uncountedBytes = 0;
        lineCount += shape.dataLines;
    }
    return lineCount;
}

CQiError ReportFileHandler::OpenCreated(CQiFile&& created, const std::string& path) {
    if (IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "File is already open.");
    try {
        filePath = path;
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Could not open report file [%s]", path.c_str());
    }
    file = std::move(created);
    openMode = std::ios_base::out | std::ios_base::trunc;
    lineCount = 0;
    uncountedBytes = 0;
    headerLine.clear();
    writable = true;
    startWithNewline = false;
    readPos = 0;
    readFailed = false;
    return CQiError::Success();
}

bool ReportFileHandler::FitWriterModeToFile(CQiFileStat& seen, bool& looked) {
    // Whatever is at the name counts, a link included: it is not followed, and
    // the open refuses what is not a regular file.
    const CQiError err = directory.Stat(fileName, seen);
    looked = !err.IsError();
    if (looked || err.GetErrNo() != 2) {
        // `trunc|app` empties an existing file and appends from there.
        if (HasAll(openMode, std::ios_base::trunc | std::ios_base::app)) openMode &= ~std::ios_base::app;
        return true;
    }
    // A new file has nothing to read or append to.
    openMode &= ~(std::ios_base::in | std::ios_base::app);
    return false;
}

// Only a writer may do it: it holds the lock, so bytes after the last "\n"
// cannot be a line being appended; they are what a killed writer left.
CQiError ReportFileHandler::SetTornTailAside() {
    CQiError err = ReportLineTriage::MoveTornTail(directory, fileName, linesSetAside);
    const int why = err.GetSystemErrNo();
    if (!err.IsError() || (why != EPERM && why != EACCES && why != EROFS)) return err.Push(FX_CODE_LOCATION);
    // A writer that may append to the report but not replace it (another
    // user's report in a shared group, a directory it cannot write) still
    // appends, on a new line: the torn bytes then stand as a line of their own
    // until a repair moves them, which is better than refusing every record.
    linesSetAside = 0;
    const int level = debugLog.getDebugLevel();
    if (level >= -1) {
        debugLog.Debug(level >= 2 ? __PRETTY_FUNCTION__ : "",
                       "Torn last line of [%s] left in place, appending after it: %s", filePath.c_str(),
                       err.GetMessage().c_str());
    }
    return CQiError::Success();
}

CQiError ReportFileHandler::Reopen(OpenMode_t mode) {
    Close();
    CQiError err = Open(filePath, mode);
    return err.Push(FX_CODE_LOCATION);
}

void ReportFileHandler::Close() {
    if (!IsOpen()) return;
    if (writable) Flush();  // result ignored: Close cannot report it
    // Closed before the lock goes: on NFS the lines reach the server at close,
    // and the next writer must find them there.
    file.Close();           // result ignored
    writable = false;
    ForgetPendingLines();
    pendingWrite = std::string();
    startWithNewline = false;
    ForgetReadBuffer();
    readBuffer.reset();
    readPos = 0;
    readFailed = false;
    headerLine.clear();
    lineCount = 0;
    uncountedBytes = 0;
    UnlockFile();
    // Not needed for the lock: the other writers need not wait for it.
    directory.Close();  // result ignored
}

bool ReportFileHandler::IsOpen() { return file.IsOpen(); }

CQiError ReportFileHandler::StatOpenFile(CQiFileStat& st) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    return file.Stat(st).Push(FX_CODE_LOCATION);
}

CQiError ReportFileHandler::TakeReplacement(CQiFile&& replacement, std::string&& header) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    file.Close();  // result ignored: the old file is no longer the report
    file = std::move(replacement);
    ForgetPendingLines();
    ForgetReadBuffer();
    headerLine.swap(header);
    lineCount = 0;
    uncountedBytes = 0;
    startWithNewline = false;
    readPos = 0;
    readFailed = false;
    return CQiError::Success();
}

// Canonical first, so that "link/r.csv", "./r.csv" and "/a//b/r.csv" meet
// the writers of "/a/b/r.csv" on one lock instead of each taking its own.
std::string ReportFileHandler::LockNameOf(const std::string& path) { return Utils::LockNameOfPath(path); }

CQiError ReportFileHandler::LockFile() { return ReportFileReplacement::LockPath(filePath, namedMutex); }

CQiError ReportFileHandler::UnlockFile() {
    if (namedMutex) namedMutex->unlock();
    return CQiError::Success();
}

void ReportFileHandler::ForgetReadBuffer() {
    readBufferOffset = 0;
    readBufferSize = 0;
}

void ReportFileHandler::ForgetPendingLines() {
    pendingWrite.clear();
    pendingDataLines = 0;
    pendingHeaderEnd = 0;
}

CQiError ReportFileHandler::FillReadBuffer() {
    if (!readBuffer) {
        readBuffer.reset(new (std::nothrow) char[kReadBlock]);
        if (!readBuffer) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory reading report file [%s]",
                                           filePath.c_str());
        }
    }
    ForgetReadBuffer();
    // Reading stops at the size the file has now: a device reads as empty.
    uint64_t size = 0;
    CQiError err = file.Size(size);
    if (!err.IsError() && readPos < size) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(kReadBlock, size - readPos));
        err = file.ReadAt(readBuffer.get(), want, readPos, readBufferSize);
    }
    if (err.IsError()) {
        readBufferSize = 0;
        return err.Push(FX_CODE_LOCATION);
    }
    readBufferOffset = readPos;
    return CQiError::Success();
}

CQiError ReportFileHandler::ReadLine(std::string& line, bool& atEnd, bool& tooLong) {
    line.clear();
    atEnd = false;
    tooLong = false;
    if (!pendingWrite.empty()) {
        // A handler that reads and writes sees its own lines.
        CQiError err = Flush();
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    if (readFailed) {
        atEnd = true;
        return CQiError::Success();
    }
    const uint64_t lineStart = readPos;
    try {
        for (;;) {
            if (readPos < readBufferOffset || readPos >= readBufferOffset + readBufferSize) {
                CQiError err = FillReadBuffer();
                if (err.IsError()) {
                    readFailed = true;
                    return err.Push(FX_CODE_LOCATION);
                }
                if (readBufferSize == 0) {
                    // Bytes after the last "\n" are a line still being written (or torn
                    // by a crash): they are not a line yet. The position stays at their
                    // start so the line is read whole once its writer ends it.
                    line.clear();
                    readPos = lineStart;
                    readFailed = true;
                    atEnd = true;
                    tooLong = false;
                    return CQiError::Success();
                }
            }
            const char* start = readBuffer.get() + (readPos - readBufferOffset);
            const std::size_t available = readBufferOffset + readBufferSize - readPos;
            const void* newline = std::memchr(start, '\n', available);
            const std::size_t piece = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - start)
                                              : available;
            // A line past the limit is read through to its "\n" but not kept:
            // one hostile line must not cost its own size in memory.
            if (!tooLong && readPos - lineStart + piece > kMaxLineBytes) {
                tooLong = true;
                line.clear();
            }
            if (!tooLong) line.append(start, piece);
            if (newline) {
                readPos += piece + 1;
                return CQiError::Success();
            }
            readPos += available;
        }
    } catch (const std::bad_alloc&) {
        readFailed = true;
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory reading report file [%s]",
                                       filePath.c_str());
    }
}

CQiError ReportFileHandler::LineTooLong(const FXCodeLocation& location, uint64_t lineStart) const {
    return FXErrorUtil::ErrorErrNo(location, 22,
                                   "The line at byte %llu of report file [%s] is longer than %zu bytes, the most "
                                   "a report line may hold; it was skipped unread",
                                   static_cast<unsigned long long>(lineStart), filePath.c_str(), kMaxLineBytes);
}

CQiError ReportFileHandler::GetLine(std::string& line) {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Failed to get line from report, report not open");
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Getting line from report file [%s]", filePath.c_str());
    }
    bool atEnd = false;
    bool tooLong = false;
    const uint64_t lineStart = readPos;
    const CQiError err = ReadLine(line, atEnd, tooLong);
    if (err.IsError() || atEnd) return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to get line from report");
    // Not the end: the next GetLine reads the line after it.
    if (tooLong) return LineTooLong(FX_CODE_LOCATION, lineStart);
    return CQiError::Success();
}

CQiError ReportFileHandler::PutLine(const std::string& line) { return PutLine(line.data(), line.size()); }

CQiError ReportFileHandler::PutLine(const char* line, std::size_t length) {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Failed to write to report, report not open");
    if (!writable) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Failed to write to report");
    const std::size_t before = pendingWrite.size();
    const bool isHeader = headerLine.empty();
    try {
        if (pendingWrite.capacity() < kWriteChunk) pendingWrite.reserve(kWriteChunk + kWriteChunk / 4);
        // After a torn last line the first line of ours starts on a line of its own.
        if (pendingWrite.empty() && startWithNewline) pendingWrite.push_back('\n');
        pendingWrite.append(line, length);
        pendingWrite.push_back('\n');
        if (isHeader) headerLine.assign(line, length);
    } catch (const std::bad_alloc&) {
        pendingWrite.resize(before);
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Failed to write to report");
    }
    if (isHeader) {
        pendingHeaderEnd = pendingWrite.size();
    } else {
        ++lineCount;
        ++pendingDataLines;
    }
    if (pendingWrite.size() >= kWriteChunk) {
        CQiError err = WritePending(FX_CODE_LOCATION, "Failed to write to report");
        if (err.IsError()) return err;
    }
    if (!isHeader && lineCount % kFlushEveryLines == 0) {
        CQiError err = Flush();
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

CQiError ReportFileHandler::WritePending(const FXCodeLocation& caller, const char* message) {
    if (pendingWrite.empty()) return CQiError::Success();
    std::size_t written = 0;
    CQiError err = file.Write(pendingWrite.data(), pendingWrite.size(), written);
    if (!err.IsError()) {
        ForgetPendingLines();
        startWithNewline = false;
        return CQiError::Success();
    }
    // The lines not written are dropped and no longer counted; the caller learns
    // of the loss from the error. A header line still waiting stays pending, so
    // the file never gets data lines without it.
    lineCount -= pendingDataLines;
    pendingDataLines = 0;
    std::size_t keep = pendingHeaderEnd;
    // The lock is ours and every write goes to the end (a writer appends, a
    // new file is written in order), so the last whole line ends where this
    // write began: `written` bytes before the end. Asked only now,
    // so a write that succeeds costs no more than itself.
    uint64_t sizeAfter = 0;
    if (written > 0 && (file.Size(sizeAfter).IsError() || sizeAfter < written ||
                        file.Truncate(sizeAfter - written).IsError())) {
        // The file could not be cut back: part of the lines stays in it. Whatever
        // comes next starts on a line of its own, and the header line, which may
        // be among what stayed, is not written again.
        startWithNewline = pendingWrite[written - 1] != '\n';
        keep = 0;
    }
    pendingWrite.resize(keep);
    if (keep == 0) pendingHeaderEnd = 0;
    ForgetReadBuffer();
    return FXErrorUtil::Recode(caller, 150, err, "%s", message);
}

CQiError ReportFileHandler::Flush() {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Failed to flush to report, report not open");
    return WritePending(FX_CODE_LOCATION, "Failed to flush to report");
}

CQiError ReportFileHandler::Sync() {
    CQiError err = Flush();
    if (!err.IsError()) err = file.Sync();
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportFileHandler::Truncate() {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    Flush();  // result ignored: what it would have written is emptied anyway
    CQiError err = CutBack(0, FX_CODE_LOCATION);
    if (!err.IsError()) headerLine.clear();
    return err;
}

// The header line is the file's first line (read from it, or the first line put
// into it), so cutting the file to its length and "\n" leaves exactly the header.
CQiError ReportFileHandler::TruncateToHeader() {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    // The header must be in the file, not pending, before the rest is cut away.
    CQiError err = Flush();
    uint64_t size = 0;
    if (!err.IsError()) err = file.Size(size);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    const uint64_t headerSize = headerLine.size() + 1;
    if (headerLine.empty() || size < headerSize) return Truncate();
    // The header line stands elsewhere when the file's own first line was empty
    // (the first line put then became the header): check the bytes themselves.
    std::unique_ptr<char[]> start(new (std::nothrow) char[headerSize]);
    std::size_t got = 0;
    err = start ? file.ReadAt(start.get(), headerSize, 0, got)
                : FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory reading report file [%s]",
                                          filePath.c_str());
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (got != headerSize || headerLine.compare(0, headerLine.size(), start.get(), headerLine.size()) != 0 ||
        start[headerSize - 1] != '\n') {
        return Truncate();
    }
    return CutBack(headerSize, FX_CODE_LOCATION);
}

CQiError ReportFileHandler::CutBack(uint64_t size, const FXCodeLocation& caller) {
    if (!writable) {
        return FXErrorUtil::ErrorErrNo(caller, 22, "Report file [%s] is not open for writing", filePath.c_str());
    }
    ForgetPendingLines();
    CQiError err = file.Truncate(size);
    ForgetReadBuffer();
    readPos = 0;
    readFailed = false;
    if (err.IsError()) {
        return err.Push(caller);
    }
    lineCount = 0;
    uncountedBytes = 0;
    startWithNewline = false;
    return CQiError::Success();
}

CQiError ReportFileHandler::Reset(std::streampos pos) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Reseting report file read cursor [%s]", filePath.c_str());
    }
    readFailed = false;
    const std::streamoff offset = pos;
    if (offset < 0) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Failed to reset report file [%s]", filePath.c_str());
    }
    readPos = static_cast<uint64_t>(offset);
    return CQiError::Success();
}

std::string ReportFileHandler::GetFullPath() const { return filePath; }

// ---------------------------------------------------------------------------
// Headers, traversal and file operations
// ---------------------------------------------------------------------------

bool ReportFileHandler::HasHeader() { return !headerLine.empty(); }

CQiError ReportFileHandler::GetHeader(std::vector<std::string>& fields, char separator) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Getting header from [%s]", filePath.c_str());
    }
    return SplitLine(headerLine, fields, separator);
}

CQiError ReportFileHandler::GetRecord(std::vector<std::string>& fields, char separator) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    const bool atStart = !readFailed && readPos == 0;
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Getting record from [%s]", filePath.c_str());
    }
    std::string line;
    bool atEnd = false;
    bool tooLong = false;
    // The end of the file is not an error here (nothing is appended); a read
    // error is, and so is a line too long to read, which is skipped.
    CQiError err = atStart ? ReadLine(line, atEnd, tooLong) : CQiError::Success();
    const uint64_t lineStart = readPos;
    if (!err.IsError()) err = ReadLine(line, atEnd, tooLong);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (tooLong) return LineTooLong(FX_CODE_LOCATION, lineStart);
    return SplitLine(line, fields, separator);
}

CQiError ReportFileHandler::SplitLine(const std::string& line, std::vector<std::string>& fields, char separator) {
    try {
        std::size_t start = 0;
        while (start < line.size()) {
            std::size_t end = line.find(separator, start);
            if (end == std::string::npos) end = line.size();
            fields.emplace_back(line, start, end - start);
            start = end + 1;
        }
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory splitting a line of [%s]",
                                       filePath.c_str());
    }
    return CQiError::Success();
}

bool ReportFileHandler::CheckHeader(const std::vector<std::string>& columns, char separator) {
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Checking header from [%s]", filePath.c_str());
    }
    bool equal = false;
    try {
        std::vector<std::string> fields;
        GetHeader(fields, separator);  // result ignored: a closed handler has an empty header
        equal = fields == columns;
    } catch (const std::bad_alloc&) {
        equal = false;
    }
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Checked header from [%s] = %s", filePath.c_str(),
                       equal ? "equal" : "not equal");
    }
    return equal;
}

CQiError ReportFileHandler::ForEachLine(std::function<CQiError(std::string&)> onLine) {
    return WalkLines(&onLine, nullptr).Push(FX_CODE_LOCATION);
}

CQiError ReportFileHandler::ForEachLineOrUnreadable(
    std::function<CQiError(std::string& line, const CQiError& unreadable)> onLine) {
    return WalkLines(nullptr, &onLine).Push(FX_CODE_LOCATION);
}

CQiError ReportFileHandler::WalkLines(const std::function<CQiError(std::string&)>* onLine,
                                      const std::function<CQiError(std::string&, const CQiError&)>* onAnyLine) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    // The read position is always known, also after a read ran out, so it can
    // always be restored.
    const std::streampos resumeAt = static_cast<std::streamoff>(readPos);
    if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "For each record entry");
    // Errors go back as they are: the public walk pushes its own location.
    CQiError err = Reset(0);
    if (err.IsError()) return err;
    try {
        std::string line;  // one line at a time, its buffer reused
        bool atEnd = false;
        bool tooLong = false;
        err = ReadLine(line, atEnd, tooLong);  // the first line is the header line
        while (!err.IsError() && !atEnd) {
            const uint64_t lineStart = readPos;
            err = ReadLine(line, atEnd, tooLong);
            if (err.IsError() || atEnd) break;
            if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "Line [%s].", line.c_str());
            if (tooLong) {
                const CQiError unreadable = LineTooLong(FX_CODE_LOCATION, lineStart);
                err = onAnyLine ? (*onAnyLine)(line, unreadable) : unreadable;
            } else {
                err = onLine ? (*onLine)(line) : (*onAnyLine)(line, CQiError::Success());
            }
            // An error of onLine leaves the read position after its line.
            if (err.IsError()) break;
            line.clear();
        }
    } catch (...) {
        // A callback's exception (or one of ours) ends the walk as an error, with
        // the position after the line it came from.
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Walking the lines of report file [%s]",
                                                 filePath.c_str());
    }
    // A read error ends the walk as an error: a partial walk must not pass for a whole one.
    if (!err.IsError()) err = Reset(resumeAt);
    return err;
}

// A line too long to read is no line that `match` could have meant: it is
// skipped, as a line that does not match.
CQiError ReportFileHandler::FindIfLine(std::function<bool(std::string&)> match) {
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    const std::streampos resumeAt = static_cast<std::streamoff>(readPos);
    if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "Find in [%s]", filePath.c_str());
    CQiError err = Reset(0);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    try {
        std::string line;
        bool atEnd = false;
        bool tooLong = false;
        err = ReadLine(line, atEnd, tooLong);  // the header line
        while (!err.IsError() && !atEnd) {
            err = ReadLine(line, atEnd, tooLong);
            if (err.IsError() || atEnd || (!tooLong && match(line))) break;
        }
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Finding a line of report file [%s]",
                                                 filePath.c_str());
    }
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    return Reset(resumeAt);
}

CQiError ReportFileHandler::Count(size_t& count) {
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Counting total number of entries for report file [%s]",
                       filePath.c_str());
    }
    count = 0;
    if (!IsOpen()) return NotOpenError(FX_CODE_LOCATION, filePath);
    // Counted in large blocks, apart from the read position: the same answer as a
    // walk line by line, at the cost of a plain newline count.
    CQiError err = Flush();
    FileShape shape;
    if (!err.IsError()) err = internal::ScanFile(file, ScanFor::Count, shape);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    readFailed = false;  // as after a walk, reading resumes where it stopped
    count = shape.dataLines;
    return CQiError::Success();
}

CQiError ReportFileHandler::CheckPath(const std::string& path) {
    const std::string parent = CQiPath::GetParent(path);
    if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "Checking path [%s]", parent.c_str());
    // A bare file name lives in the current directory, which exists.
    if (parent.empty() || CQiPath::Exists(parent)) return CQiError::Success();
    return CQiDirectory::Create(parent, true);
}

CQiError ReportFileHandler::Move(const std::string& newPath) {
    if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "Moving file [%s]", filePath.c_str());
    Close();
    CQiError err = Move(filePath, newPath);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (debugLog.getDebugLevel() > 6) {
        debugLog.Debug(__PRETTY_FUNCTION__, "Report [%s] moved to [%s].", filePath.c_str(), newPath.c_str());
    }
    // The moved file is reopened as it is: without `trunc`, which would empty it.
    err = Open(newPath, openMode & ~std::ios_base::trunc);
    return err.Push(FX_CODE_LOCATION);
}

namespace {

// Copy's work once `source` is open: `to` checked or created, then the bytes.
CQiError CopyInto(CQiFile& source, const std::string& from, const std::string& to);

// A copy is never more open than its source: a new one gets the source's
// permission bits from its creation on, and its owner and group where the
// caller may give them (root may; another user's copy stays the caller's).
CQiError CreateCopyOf(const CQiFileStat& source, const CQiDirectoryHandle& dir, const std::string& name,
                      CQiFile& target) {
    CQiError err = dir.CreateFile(name, CQiFileAttributes::Of(source), target);
    if (err.IsError() && err.GetSystemErrNo() == EPERM) {
        CQiFileAttributes mine;
        mine.mode = source.mode & 0777u;
        err = dir.CreateFile(name, mine, target);
    }
    return err.Push(FX_CODE_LOCATION);
}

// An existing target must be a regular file that no other name reaches: a hard
// link planted there would make the copy overwrite whatever file it leads to.
CQiError OpenCopyTarget(const CQiFileStat& source, const CQiDirectoryHandle& dir, const std::string& name,
                        CQiFile& target) {
    CQiError err = dir.OpenFile(name, CQiFile::OpenWrite, target);
    if (err.IsError() && err.GetErrNo() == 2) return CreateCopyOf(source, dir, name, target).Push(FX_CODE_LOCATION);
    CQiFileStat st;
    if (!err.IsError()) err = target.Stat(st);
    if (!err.IsError() && st.links > 1) {
        err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                      "[%s] has %llu hard links; a copy goes only to a file of one name",
                                      dir.PathOf(name).c_str(), static_cast<unsigned long long>(st.links));
    }
    // Narrower permission bits do not keep the target's own owner and group
    // out: a file of another user (root reads everything anyway) receives only
    // what anyone may read, and another group loses its bits.
    const bool everyoneReads = (source.mode & 0004u) != 0;
    if (!err.IsError() && !st.IsSameFile(source) && !everyoneReads && st.owner != source.owner && st.owner != 0) {
        err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                      "[%s] belongs to user %u, its source to user %u; a copy goes only to a file "
                                      "of the source's owner",
                                      dir.PathOf(name).c_str(), static_cast<unsigned>(st.owner),
                                      static_cast<unsigned>(source.owner));
    }
    unsigned narrower = st.mode & source.mode & 0777u;
    if (st.group != source.group && !everyoneReads) narrower &= ~0070u;
    if (!err.IsError() && !st.IsSameFile(source) && narrower != (st.mode & 07777u)) {
        err = target.SetPermissions(narrower);
    }
    if (err.IsError()) target.Close();  // result ignored: nothing was written
    return err.Push(FX_CODE_LOCATION);
}

CQiError CopyContent(CQiFile& source, CQiFile& target, const std::string& from, const std::string& to) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[internal::kScanBlock]);
    if (!block) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory copying [%s] to [%s]", from.c_str(),
                                       to.c_str());
    }
    // To the end, not to the size at the start: lines appended meanwhile are copied too.
    uint64_t copied = 0;
    CQiError writeErr;
    CQiError err = internal::ForEachBlock(source, block.get(), internal::kScanBlock, UINT64_MAX,
                                          [&](const char* bytes, std::size_t size) {
                                              std::size_t written = 0;
                                              writeErr = target.Write(bytes, size, written);
                                              copied += size;
                                              return !writeErr.IsError();
                                          });
    if (err.IsError()) {
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to read [%s] while copying it to [%s]",
                                   from.c_str(), to.c_str());
    }
    err = writeErr;
    if (!err.IsError()) err = target.Truncate(copied);
    if (!err.IsError()) err = target.Sync();
    if (!err.IsError()) err = target.Close();
    if (err.IsError()) {
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to write [%s] while copying [%s] to it",
                                   to.c_str(), from.c_str());
    }
    return CQiError::Success();
}

}  // namespace

// On one file system a move is a rename: `to` holds either its old content or
// the whole of `from`, never a part. Across file systems the copy goes to a
// temporary beside `to` that replaces it only once complete and synced; the
// source is deleted last, through its directory and only while its name still
// leads to the file copied. A missing source fails (code 2) with `to`
// untouched; anything but a regular file there is code 22, and is not moved.
CQiError ReportFileHandler::Move(const std::string& from, const std::string& to) {
    try {
        CQiDirectoryHandle fromDir;
        const std::string fromName = CQiPath::GetFileName(from);
        CQiFileStat st;
        CQiError err = fromDir.Open(CQiPath::GetParent(from));
        if (!err.IsError()) err = fromDir.Stat(fromName, st);
        if (!err.IsError() && st.type != CQiFileStat::Type::Regular) {
            err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "[%s] is %s, not a regular file, and is not moved",
                                          from.c_str(), CQiFileStat::Describe(st.type));
        }
        if (!err.IsError()) err = CQiFile::Rename(from, to);
        if (!err.IsError() || err.GetSystemErrNo() != EXDEV) return err.Push(FX_CODE_LOCATION);

        CQiFile source;
        CQiFileStat copied;
        err = fromDir.OpenFile(fromName, CQiFile::OpenRead, source);
        if (!err.IsError()) err = source.Stat(copied);
        CQiDirectoryHandle dir;
        if (!err.IsError()) err = dir.Open(CQiPath::GetParent(to));
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        const std::string name = CQiPath::GetFileName(to);
        const std::string temporary = ReportSideFiles::Temporary(name);
        // Whatever stands at the temporary's name is removed, not written through.
        CQiFile target;
        err = dir.Unlink(temporary, true);
        if (!err.IsError()) err = CreateCopyOf(copied, dir, temporary, target);
        if (!err.IsError()) err = CopyContent(source, target, from, dir.PathOf(temporary));
        if (!err.IsError()) err = dir.Rename(temporary, name);
        if (!err.IsError()) err = dir.Sync();
        if (err.IsError()) {
            dir.Unlink(temporary, true);  // result ignored: the failure that matters is err
            return err.Push(FX_CODE_LOCATION);
        }
        CQiFileStat now;
        err = fromDir.Stat(fromName, now);
        if (!err.IsError() && !now.IsSameFile(copied)) {
            err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                          "[%s] was replaced while it was moved; the copy stands at [%s]",
                                          from.c_str(), to.c_str());
        }
        if (!err.IsError()) err = fromDir.Unlink(fromName, false);
        if (!err.IsError()) err = fromDir.Sync();
        return err.Push(FX_CODE_LOCATION);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory moving [%s] to [%s]", from.c_str(),
                                       to.c_str());
    }
}

CQiError ReportFileHandler::Copy(const std::string& to) {
    if (debugLog.getDebugLevel() > 6) debugLog.Debug(__PRETTY_FUNCTION__, "Copying file [%s]", filePath.c_str());
    if (!IsOpen()) return Copy(filePath, to).Push(FX_CODE_LOCATION);
    // Lines already put belong in the copy; the bytes come from the file this
    // handler has open, whatever its name leads to now.
    CQiError err = Flush();
    if (!err.IsError()) err = CopyInto(file, filePath, to);
    return err.Push(FX_CODE_LOCATION);
}

// The target is written in place, from its start, and cut to the copied length
// only afterwards, so copying a file onto itself (under any spelling of its
// path) rewrites the same bytes instead of emptying it first. The copy is
// complete and synced when this succeeds; a read or write failure on the way
// is reported, and leaves the target partly written.
CQiError ReportFileHandler::Copy(const std::string& from, const std::string& to) {
    CQiFile source;
    CQiError err = source.Open(from, CQiFile::OpenRead | CQiFile::OpenRegularOnly);
    if (err.IsError()) {
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to from file path at [%s]", from.c_str());
    }
    return CopyInto(source, from, to).Push(FX_CODE_LOCATION);
}

namespace {

CQiError CopyInto(CQiFile& source, const std::string& from, const std::string& to) {
    CQiFileStat st;
    CQiError err = source.Stat(st);
    if (err.IsError()) {
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to from file path at [%s]", from.c_str());
    }
    CQiFile target;
    try {
        CQiDirectoryHandle dir;
        err = dir.Open(CQiPath::GetParent(to));
        if (!err.IsError()) err = OpenCopyTarget(st, dir, CQiPath::GetFileName(to), target);
    } catch (const std::bad_alloc&) {
        err = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Out of memory opening [%s]", to.c_str());
    }
    if (err.IsError()) {
        return FXErrorUtil::Recode(FX_CODE_LOCATION, 150, err, "Failed to copy file path at [%s]", to.c_str());
    }
    return CopyContent(source, target, from, to).Push(FX_CODE_LOCATION);
}

}  // namespace

}  // namespace I2
