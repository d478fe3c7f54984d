#pragma once

// Internal (not installed): whole-file passes of the report file handler. One
// loop reads a file block by block; counting lines, finding the header line and
// copying a file are what is done with each block.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

namespace I2::internal {

// The block of a pass over the whole file (counting, copying): large enough
// that the system calls cost little, small enough to stay in the processor's
// cache between being read and being used.
constexpr std::size_t kScanBlock = 128 * 1024;
// The block when only the header line is wanted (Open of a reader).
constexpr std::size_t kHeaderBlock = 64 * 1024;

// Reads `file` from its start into `block` (`blockSize` bytes), at most
// `limit` bytes in all, handing each block read to `onBlock` until it returns
// false or the file ends. A read error ends the pass as an error; what was
// handed over before it stands.
CQiError ForEachBlock(CQiFile& file, char* block, std::size_t blockSize, uint64_t limit,
                      const std::function<bool(const char* bytes, std::size_t size)>& onBlock);

// What one pass over a file learns about it.
struct FileShape {
    std::string header;      // the first line, without its "\n"; empty when too long
    bool headerTooLong = false;  // the first line is longer than kMaxLineBytes
    size_t dataLines = 0;    // the whole lines after the first
    bool tornTail = false;   // the file is not empty and does not end in "\n"
};

enum class ScanFor { Header, Count, HeaderAndCount };

// Reads `file` from its start up to the size it has when the pass begins (so a
// device such as /dev/zero reads as empty), or up to `limit` bytes when that is
// less, holding one block at a time. Lines
// are separated as GetLine separates them: "h\na\nb" holds the header "h" and
// two data lines, "h\n\n" one empty data line, "" and "h\n" none. On failure
// `shape` holds what was learnt before it.
CQiError ScanFile(CQiFile& file, ScanFor what, FileShape& shape, uint64_t limit = UINT64_MAX);

}  // namespace I2::internal
