#include <IdxReports/internal/FileScan.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/internal/ByteScan.h>

namespace I2::internal {

CQiError ForEachBlock(CQiFile& file, char* block, std::size_t blockSize, uint64_t limit,
                      const std::function<bool(const char* bytes, std::size_t size)>& onBlock) {
    uint64_t offset = 0;
    while (offset < limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(blockSize, limit - offset));
        std::size_t got = 0;
        CQiError err = file.ReadAt(block, want, offset, got);
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        if (got == 0) break;  // the end, or the file shrank under us
        if (!onBlock(block, got)) break;
        offset += got;
    }
    return CQiError::Success();
}

CQiError ScanFile(CQiFile& file, ScanFor what, FileShape& shape, uint64_t limit) {
    const bool wantCount = what != ScanFor::Header;
    uint64_t size = 0;
    CQiError err = file.Size(size);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    size = std::min(size, limit);
    const std::size_t blockSize = wantCount ? kScanBlock : kHeaderBlock;
    std::unique_ptr<char[]> block(new (std::nothrow) char[blockSize]);
    if (!block) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory reading report file [%s]",
                                       file.GetPath().c_str());
    }
    try {
        bool headerDone = what == ScanFor::Count;
        bool headerOnly = false;  // the header was all that was wanted, and is found
        size_t newlines = 0;
        char last = '\n';
        err = ForEachBlock(file, block.get(), blockSize, size, [&](const char* bytes, std::size_t got) {
            if (!headerDone) {
                const void* newline = std::memchr(bytes, '\n', got);
                const std::size_t headerBytes = newline ? static_cast<const char*>(newline) - bytes : got;
                // A first line past the limit is not kept: the file is no report.
                if (!shape.headerTooLong && shape.header.size() + headerBytes > kMaxLineBytes) {
                    shape.headerTooLong = true;
                    shape.header.clear();
                }
                if (!shape.headerTooLong) shape.header.append(bytes, headerBytes);
                headerDone = newline != nullptr;
                headerOnly = (headerDone || shape.headerTooLong) && !wantCount;
                if (headerOnly) return false;
            }
            newlines += CountNewlines(bytes, got);
            last = bytes[got - 1];
            return true;
        });
        if (err.IsError()) return err.Push(FX_CODE_LOCATION);
        if (headerOnly) return CQiError::Success();
        shape.tornTail = last != '\n';
        // Only whole lines count: a torn tail is not a line until it ends.
        shape.dataLines = newlines > 0 ? newlines - 1 : 0;
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "Out of memory reading report file [%s]",
                                       file.GetPath().c_str());
    }
    return CQiError::Success();
}

}  // namespace I2::internal
