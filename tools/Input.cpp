#include "Input.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace IdxTool {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

CQiError FromErrno(const FXCodeLocation& where, int saved) {
    return FXErrorUtil::ErrorSysErrNo(where, saved, saved, "%s", ReasonOf(saved).c_str());
}

// Opens `path` for reading without acting on what stands there: the name is
// first taken as a mere reference (O_PATH opens nothing), judged by that
// reference, and only then opened through the same reference, so a device
// swapped in between is never opened. Opening some devices acts on them (a
// tape rewinds): a device or socket is refused unopened, unless it is this
// process's own standard input. O_NONBLOCK: a FIFO opens at once and is refused by the
// caller's type check instead of the tool waiting for a writer.
//
// A link at the name itself is not followed: in a directory another user can
// write, it may lead to a root-only file (whose bytes would then be shown) or to
// a /proc file that is "regular" but whose read waits for ever (/proc/kmsg).
// The one link followed is one to this process's own standard input
// (/dev/stdin, /proc/self/fd/0): what it reaches is what the caller was given.
// Links in the directory part are followed (administrators link directories).
CQiError OpenUnseen(const std::string& path, const struct stat* ownStdin, int& fd, struct stat& st) {
    const auto reference = [&path](int flags, int& ref, struct stat& named) {
        do {
            ref = ::open(path.c_str(), O_PATH | O_CLOEXEC | flags);
        } while (ref < 0 && errno == EINTR);
        if (ref < 0) return FromErrno(FX_CODE_LOCATION, errno);
        if (::fstat(ref, &named) != 0) {
            const int saved = errno;
            ::close(ref);
            return FromErrno(FX_CODE_LOCATION, saved);
        }
        return CQiError::Success();
    };
    int ref = -1;
    struct stat named {};
    CQiError error = reference(O_NOFOLLOW, ref, named);
    if (error.IsError()) return error;
    if (S_ISLNK(named.st_mode)) {
        ::close(ref);
        // Judged by what was reached, not by a look before: a link swapped
        // meanwhile reaches something else and is refused.
        error = reference(0, ref, named);
        if (error.IsError()) return error;
        if (ownStdin == nullptr || named.st_dev != ownStdin->st_dev || named.st_ino != ownStdin->st_ino) {
            ::close(ref);
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "a symbolic link, not a regular file (a link at a file's own name is "
                                           "not followed; name its target)");
        }
    }
    const bool isStdin = ownStdin != nullptr && named.st_dev == ownStdin->st_dev && named.st_ino == ownStdin->st_ino;
    const bool harmlessToOpen = S_ISREG(named.st_mode) || S_ISDIR(named.st_mode) || S_ISFIFO(named.st_mode);
    if (!harmlessToOpen && !isStdin) {
        ::close(ref);
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s, not a regular file", FileTypeName(named.st_mode));
    }
    const std::string viaRef = "/proc/self/fd/" + std::to_string(ref);
    do {
        fd = ::open(viaRef.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int saved = errno;
    ::close(ref);
    if (fd < 0) return FromErrno(FX_CODE_LOCATION, saved);
    if (::fstat(fd, &st) != 0) {
        const int failed = errno;
        ::close(fd);
        fd = -1;
        return FromErrno(FX_CODE_LOCATION, failed);
    }
    return CQiError::Success();
}

// Files the kernel makes up: "regular" files whose reads can wait for ever
// (/proc/kmsg) or act on the system, and never a report.
bool OnKernelFileSystem(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    return fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC;
}

}  // namespace

bool NamesStandardInput(const std::string& path) {
    if (path == "-") return true;
    struct stat own {};
    struct stat named {};
    return ::fstat(STDIN_FILENO, &own) == 0 && ::stat(path.c_str(), &named) == 0 && !S_ISREG(own.st_mode) &&
           named.st_dev == own.st_dev && named.st_ino == own.st_ino;
}

const char* FileTypeName(unsigned mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device";
}

std::string ReasonOf(int errnoValue) {
    switch (errnoValue) {
        case ENOENT:
            return "no such file";
        case EACCES:
        case EPERM:
            return "permission denied";
        case ENOTDIR:
            return "not a directory";
        case EISDIR:
            return "a directory, not a file";
        case ELOOP:
            return "too many levels of symbolic links";
        default:
            return std::strerror(errnoValue);
    }
}

struct InputStream::Gzip {
    z_stream stream{};
    bool initialised = false;
    bool inMember = false;  // inside a member, its trailer not yet read
    ~Gzip() {
        if (initialised) inflateEnd(&stream);
    }
};

InputStream::InputStream() = default;

InputStream::~InputStream() {
    if (fd_ >= 0 && !stdin_) ::close(fd_);
}

CQiError InputStream::Open(const std::string& path) {
    path_ = path;
    struct stat own {};
    const bool haveStdin = ::fstat(STDIN_FILENO, &own) == 0;
    if (path == "-") {
        fd_ = STDIN_FILENO;
        stdin_ = true;
    } else {
        int fd = -1;
        struct stat st {};
        CQiError error = OpenUnseen(path, haveStdin ? &own : nullptr, fd, st);
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        if (haveStdin && st.st_dev == own.st_dev && st.st_ino == own.st_ino && !S_ISREG(st.st_mode)) {
            // /dev/stdin and its kind: the same pipe as descriptor 0.
            ::close(fd);
            fd_ = STDIN_FILENO;
            stdin_ = true;
        } else if (!S_ISREG(st.st_mode)) {
            ::close(fd);
            const int code = S_ISDIR(st.st_mode) ? EISDIR : 22;
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, code, "%s, not a regular file", FileTypeName(st.st_mode));
        } else if (OnKernelFileSystem(fd)) {
            ::close(fd);
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "a file of /proc or /sys, not a report");
        } else {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
                const int saved = errno;
                ::close(fd);
                return FromErrno(FX_CODE_LOCATION, saved);
            }
            fd_ = fd;
            sizeOnDisk_ = static_cast<uint64_t>(st.st_size);
        }
    }
    return Start().Push(FX_CODE_LOCATION);
}

CQiError InputStream::Open(CQiFile&& file) {
    path_ = file.GetPath();
    CQiFileStat st;
    CQiError error = file.Stat(st);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    if (st.type != CQiFileStat::Type::Regular)
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s, not a regular file", CQiFileStat::Describe(st.type));
    file_ = std::move(file);
    fileOffset_ = 0;
    sizeOnDisk_ = st.size;
    return Start().Push(FX_CODE_LOCATION);
}

CQiError InputStream::Rewind() {
    if (!file_.IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s cannot be read again", path_.c_str());
    gzip_.reset();
    data_.reset();
    compressed_ = false;
    atEnd_ = false;
    fileOffset_ = 0;
    consumed_ = 0;
    lineNumber_ = 0;
    begin_ = end_ = nullptr;
    return Start().Push(FX_CODE_LOCATION);
}

CQiError InputStream::CurrentSize(uint64_t& size) {
    if (file_.IsOpen()) return file_.Size(size).Push(FX_CODE_LOCATION);
    struct stat st {};
    if (fd_ < 0 || stdin_) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s has no size", path_.c_str());
    if (::fstat(fd_, &st) != 0) return FromErrno(FX_CODE_LOCATION, errno);
    size = static_cast<uint64_t>(st.st_size);
    return CQiError::Success();
}

CQiError InputStream::ReadAt(char* buffer, std::size_t length, uint64_t offset, std::size_t& got) {
    got = 0;
    if (file_.IsOpen()) return file_.ReadAt(buffer, length, offset, got).Push(FX_CODE_LOCATION);
    if (fd_ < 0 || stdin_) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "%s cannot be read again", path_.c_str());
    for (;;) {
        const ssize_t n = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<std::size_t>(n);
            return CQiError::Success();
        }
        if (errno != EINTR) return FromErrno(FX_CODE_LOCATION, errno);
    }
}

CQiError InputStream::Start() {
    raw_ = std::make_unique<char[]>(kChunk);
    CQiError error = ReadRaw();
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    compressed_ = rawSize_ >= 2 && static_cast<unsigned char>(raw_[0]) == 0x1F &&
                  static_cast<unsigned char>(raw_[1]) == 0x8B;
    if (!compressed_) {
        begin_ = raw_.get();
        end_ = begin_ + rawSize_;
        atEnd_ = rawSize_ == 0;
        return CQiError::Success();
    }
    gzip_ = std::make_unique<Gzip>();
    // 15 + 16: gzip framing only; a zlib or raw stream is no rotated report.
    if (inflateInit2(&gzip_->stream, 15 + 16) != Z_OK)
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "cannot start gzip decompression");
    gzip_->initialised = true;
    gzip_->inMember = true;
    gzip_->stream.next_in = reinterpret_cast<Bytef*>(raw_.get());
    gzip_->stream.avail_in = static_cast<uInt>(rawSize_);
    data_ = std::make_unique<char[]>(kChunk);
    begin_ = end_ = data_.get();
    return CQiError::Success();
}

CQiError InputStream::ReadRaw() {
    rawSize_ = 0;
    if (file_.IsOpen()) {
        CQiError error = file_.ReadAt(raw_.get(), kChunk, fileOffset_, rawSize_);
        fileOffset_ += rawSize_;
        return error.Push(FX_CODE_LOCATION);
    }
    for (;;) {
        const ssize_t n = ::read(fd_, raw_.get(), kChunk);
        if (n >= 0) {
            rawSize_ = static_cast<std::size_t>(n);
            return CQiError::Success();
        }
        if (errno != EINTR) return FromErrno(FX_CODE_LOCATION, errno);
    }
}

CQiError InputStream::Refill() {
    if (atEnd_) return CQiError::Success();
    if (!compressed_) {
        CQiError error = ReadRaw();
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
        begin_ = raw_.get();
        end_ = begin_ + rawSize_;
        atEnd_ = rawSize_ == 0;
        return CQiError::Success();
    }
    z_stream& z = gzip_->stream;
    z.next_out = reinterpret_cast<Bytef*>(data_.get());
    z.avail_out = kChunk;
    while (z.avail_out == kChunk) {
        if (z.avail_in == 0) {
            CQiError error = ReadRaw();
            if (error.IsError()) return error.Push(FX_CODE_LOCATION);
            if (rawSize_ == 0) {
                atEnd_ = true;
                // The stream ended without its trailer: a copy cut short.
                if (gzip_->inMember)
                    return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "gzip data ends early (a truncated copy)");
                break;
            }
            z.next_in = reinterpret_cast<Bytef*>(raw_.get());
            z.avail_in = static_cast<uInt>(rawSize_);
        }
        if (!gzip_->inMember) {
            // gzip allows members back to back (cat a.gz b.gz); each starts afresh.
            if (inflateReset(&z) != Z_OK) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "gzip reset failed");
            gzip_->inMember = true;
        }
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            gzip_->inMember = false;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "gzip data is corrupt: %s",
                                           z.msg != nullptr ? z.msg : "inflate failed");
        }
    }
    begin_ = data_.get();
    end_ = data_.get() + (kChunk - z.avail_out);
    if (begin_ != end_) atEnd_ = false;
    return CQiError::Success();
}

CQiError InputStream::Next(InputLine& line, bool& got) {
    got = false;
    line.text.clear();
    line.length = 0;
    line.terminated = false;
    line.offset = consumed_;
    bool any = false;
    for (;;) {
        if (begin_ == end_) {
            if (atEnd_) break;
            CQiError error = Refill();
            if (error.IsError()) return error.Push(FX_CODE_LOCATION);
            continue;
        }
        any = true;
        const char* newline = static_cast<const char*>(std::memchr(begin_, '\n', end_ - begin_));
        const char* stop = newline != nullptr ? newline : end_;
        const std::size_t size = static_cast<std::size_t>(stop - begin_);
        if (line.text.size() < kMaxLineBytes)
            line.text.append(begin_, std::min(size, kMaxLineBytes - line.text.size()));
        line.length += size;
        consumed_ += size;
        begin_ = stop;
        if (newline != nullptr) {
            ++begin_;
            ++consumed_;
            line.terminated = true;
            break;
        }
    }
    if (!any) return CQiError::Success();
    got = true;
    line.number = ++lineNumber_;
    return CQiError::Success();
}

}  // namespace IdxTool
