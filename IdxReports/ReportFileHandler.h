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
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

namespace I2 {
namespace Utils {
class IdxNamedMutex;
}

// One report file on disk: a header line followed by data lines, each ended by "\n".
//
// Writers are serialised across processes by a named lock taken under the name of
// the path being opened ("/a/b/r.csv" locks "_a_b_r.csv") and held until Close.
// Readers take no lock.
//
// Writes are buffered and handed to the operating system in whole lines only, so
// a process killed at any instant leaves no torn line of its own; a write that
// fails part-way (a full disk) is cut back to the last whole line before the
// error is returned. A writer that finds a torn last line (left by a crash)
// starts its first line on a new line.
//
// A writer never empties or overwrites existing lines unless its mode has
// `trunc`: `out` and `in|out` on an existing file append.
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
    CQiError Reopen(OpenMode_t mode);
    void Close();
    bool IsOpen();
    CQiError LockFile();
    CQiError UnlockFile();
    CQiError GetLine(std::string& line);
    CQiError PutLine(const std::string& line);
    CQiError Flush();
    // Flush, then make the file's content durable (fsync).
    CQiError Sync();
    // Empties an open writer's file in place, keeping the lock: the header line
    // and count are forgotten, so the next PutLine writes the header line.
    CQiError Truncate();
    CQiError Reset(std::streampos pos);
    std::string GetFullPath() const;
    size_t GetLineCount() const { return lineCount; }
    OpenMode_t GetOpenMode() const { return openMode; }

    // --- headers, traversal and file operations ---
    bool HasHeader();
    CQiError GetHeader(std::vector<std::string>& fields, char separator);
    CQiError GetRecord(std::vector<std::string>& fields, char separator);
    // "a,,b" -> {"a", "", "b"}; "a,b," -> {"a", "b"}; "" -> {}; "," -> {""}.
    // No quoting: a double quote is an ordinary character. Appends to `fields`.
    CQiError SplitLine(const std::string& line, std::vector<std::string>& fields, char separator);
    bool CheckHeader(const std::vector<std::string>& columns, char separator);
    CQiError ForEachLine(std::function<CQiError(std::string&)> onLine);
    CQiError FindIfLine(std::function<bool(std::string&)> match);
    CQiError Count(size_t& count);
    CQiError CheckPath(const std::string& path);
    CQiError Move(const std::string& newPath);
    static CQiError Move(const std::string& from, const std::string& to);
    CQiError Copy(const std::string& to);
    static CQiError Copy(const std::string& from, const std::string& to);

    // The lock name of a path: every "/" replaced by "_".
    static std::string LockNameOf(const std::string& path);

private:
    CQiError WritePending(const FXCodeLocation& caller, const char* message);
    CQiError FillReadBuffer();
    CQiError CountDataLines(size_t& count);

    std::string filePath;
    std::string headerLine;
    size_t lineCount = 0;
    CQiFile file;
    I2::Utils::DbgLogger debugLog;
    OpenMode_t openMode{};
    std::unique_ptr<I2::Utils::IdxNamedMutex> namedMutex;

    // Read side: a block of the file starting at readBufferOffset; readPos is the
    // file offset of the next byte GetLine returns.
    std::unique_ptr<char[]> readBuffer;
    std::size_t readBufferSize = 0;   // bytes valid in readBuffer
    uint64_t readBufferOffset = 0;
    uint64_t readPos = 0;
    bool readFailed = false;          // the last GetLine ran out; cleared by Reset

    // Write side: whole lines not yet handed to the operating system.
    std::string pendingWrite;
    bool startWithNewline = false;    // the file ended in a torn line
};

}  // namespace I2
