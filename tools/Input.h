#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <IdxReports/ReportFileHandler.h>
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

namespace IdxTool {

// The longest line the tool holds, the library's. A longer line is read through
// to its end but only its first kMaxLineBytes bytes are kept, so one hostile
// line costs this much memory and no more; the commands treat it as an
// unreadable line.
using I2::kMaxLineBytes;

// One line as read: its text without the "\n", cut to kMaxLineBytes.
//   "a,b\n"   -> text "a,b", terminated
//   "a,b\r\n" -> text "a,b\r", terminated, crlf
//   "a,b"     -> text "a,b", not terminated (the bytes after the last line end)
struct InputLine {
    std::string text;
    std::size_t number = 0;   // 1 for the first line
    uint64_t offset = 0;      // where the line starts in the (uncompressed) data
    uint64_t length = 0;      // its bytes without the "\n", also those not kept
    bool terminated = false;
    bool TooLong() const { return length > text.size(); }
    bool Crlf() const { return terminated && !text.empty() && text.back() == '\r' && !TooLong(); }
};

// An input of the tool, read once from start to end: a file, or standard input
// for "-" (and for a path that names the tool's own standard input, such as
// /dev/stdin). Data that starts with the gzip magic bytes is decompressed on the
// way, whatever the name. Takes no lock; a FIFO or device opened by name is
// refused rather than waited on. Holds at most a read buffer and one line.
class InputStream {
public:
    InputStream();
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    // Fails with code 2 (no such file), 13 (permission denied), 20 (not a
    // directory on the way), 21 (a directory) or 22 (not a regular file), each
    // with that reason as its message.
    CQiError Open(const std::string& path);
    // A regular file the caller opened (relative to its directory's descriptor),
    // read from its start through this descriptor, never reopened by name.
    CQiError Open(CQiFile&& file);
    // A file opened by the caller read again from its start, through the same
    // descriptor: what a second pass sees is the file the first one saw.
    CQiError Rewind();
    // The file's size now, by its descriptor (code 22 for standard input).
    CQiError CurrentSize(uint64_t& size);
    // Bytes of that file at `offset`, for a line too long to have been kept.
    CQiError ReadAt(char* buffer, std::size_t length, uint64_t offset, std::size_t& got);

    // Standard input, or a compressed file: it cannot be locked, re-read by
    // offset or rewritten.
    bool IsStandardInput() const { return stdin_; }
    bool IsCompressed() const { return compressed_; }
    // The size on disk of a file (0 for standard input), for progress.
    uint64_t SizeOnDisk() const { return sizeOnDisk_; }
    // Bytes of (uncompressed) data handed out as lines so far.
    uint64_t Consumed() const { return consumed_; }

    // The next line; `got` false at the end of the data.
    CQiError Next(InputLine& line, bool& got);

private:
    struct Gzip;

    // Reads the first bytes and finds out whether they are compressed.
    CQiError Start();
    // Reads more raw bytes from the descriptor into raw_ (rawSize_ 0 at the end).
    CQiError ReadRaw();
    // Makes the next bytes of data available in [begin_, end_); none at the end.
    CQiError Refill();

    std::string path_;
    int fd_ = -1;
    CQiFile file_;          // a file the caller opened; read by offset
    uint64_t fileOffset_ = 0;
    bool stdin_ = false;
    bool compressed_ = false;
    bool atEnd_ = false;
    uint64_t sizeOnDisk_ = 0;
    uint64_t consumed_ = 0;
    std::size_t lineNumber_ = 0;
    std::unique_ptr<char[]> raw_;   // bytes as read from the descriptor
    std::size_t rawSize_ = 0;
    std::unique_ptr<char[]> data_;  // decompressed bytes (gzip only)
    const char* begin_ = nullptr;   // the data not yet handed out
    const char* end_ = nullptr;
    std::unique_ptr<Gzip> gzip_;
};

// "a regular file", "a symbolic link", "a FIFO", ... for a stat mode.
const char* FileTypeName(unsigned mode);

// Whether `path` is "-" or another name of this process's standard input
// (/dev/stdin, /proc/self/fd/0) that is no regular file: input read only once.
bool NamesStandardInput(const std::string& path);

// "permission denied", "no such file", ... for an errno value.
std::string ReasonOf(int errnoValue);

}  // namespace IdxTool
