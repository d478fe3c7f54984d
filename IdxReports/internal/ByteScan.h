#pragma once

// Internal (not installed): the byte scans that the file handler (counting
// lines) and the record codec (deciding whether a text needs quotes) run over
// every byte they handle. Defined here, inline, so that the codec's per-field
// call stays as cheap as a local function.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace I2::internal {

// Sixteen bytes compared at once with the compiler's vector types (SSE2 on x86-64,
// NEON on ARM, plain words elsewhere).
typedef unsigned char Bytes16 __attribute__((vector_size(16)));
typedef uint64_t Words16 __attribute__((vector_size(16)));

// The number of "\n" in `bytes`, counted sixteen bytes at a time rather than
// line by line: a comparison gives -1 in each byte that holds "\n", subtracting
// it adds one to that byte's counter, and the counters are summed before any of
// them can overflow (every 255 blocks).
inline std::size_t CountNewlines(const char* bytes, std::size_t length) {
    const Bytes16 newlines = Bytes16{} + static_cast<unsigned char>('\n');
    std::size_t count = 0;
    while (length >= sizeof(Bytes16)) {
        const std::size_t blocks = std::min<std::size_t>(length / sizeof(Bytes16), 255);
        Bytes16 counters = Bytes16{};
        for (std::size_t i = 0; i < blocks; ++i, bytes += sizeof(Bytes16)) {
            Bytes16 block;
            std::memcpy(&block, bytes, sizeof block);
            counters -= reinterpret_cast<Bytes16>(block == newlines);
        }
        length -= blocks * sizeof(Bytes16);
        const Words16 words = reinterpret_cast<Words16>(counters);
        for (uint64_t word : {words[0], words[1]}) {
            word = (word & 0x00ff00ff00ff00ffull) + ((word >> 8) & 0x00ff00ff00ff00ffull);
            count += static_cast<std::size_t>((word * 0x0001000100010001ull) >> 48);
        }
    }
    for (; length > 0; --length) count += *bytes++ == '\n';
    return count;
}

// Bytes repeated across a 64-bit word, and the test whether any byte of a word is
// zero: exact as a yes-or-no answer (it may misplace which byte, never invent one).
constexpr uint64_t kEveryByte = 0x0101010101010101ull;
constexpr uint64_t kHighBits = 0x8080808080808080ull;
constexpr uint64_t AnyZeroByte(uint64_t word) { return (word - kEveryByte) & ~word & kHighBits; }

// The bytes of `word` (as loaded from memory with memcpy) that equal `byte`,
// each marked by its high bit. Unlike AnyZeroByte the mask is exact in every
// byte, so it may be cut to a range of addresses.
inline uint64_t BytesEqual(uint64_t word, unsigned char byte) {
    constexpr uint64_t kLowBits = ~kHighBits;
    const uint64_t x = word ^ (kEveryByte * byte);
    return ~(((x & kLowBits) + kLowBits) | x | kLowBits);
}

// The marks of BytesEqual for the bytes at offset `skip` and after.
inline uint64_t MarksFrom(uint64_t marks, unsigned skip) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        return marks & (~uint64_t{0} << (8 * skip));
    } else {
        return marks & (~uint64_t{0} >> (8 * skip));
    }
}

// The offset of the lowest-addressed marked byte; `marks` is not zero.
inline unsigned FirstMarked(uint64_t marks) {
    if constexpr (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) {
        return static_cast<unsigned>(__builtin_ctzll(marks)) / 8;
    } else {
        return static_cast<unsigned>(__builtin_clzll(marks)) / 8;
    }
}

// Where the first `byte` at or after `from` stands in `text`, or npos: what
// std::string_view::find gives, without a call into the C library for each of
// the many short fields of a line. Eight bytes at a time; the last few as the
// text's last eight, cut to the bytes not yet seen.
inline std::size_t FindByte(std::string_view text, char byte, std::size_t from) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    const auto target = static_cast<unsigned char>(byte);
    std::size_t at = from;
    uint64_t word;
    for (; at + sizeof word <= size; at += sizeof word) {
        std::memcpy(&word, data + at, sizeof word);
        const uint64_t marks = BytesEqual(word, target);
        if (marks != 0) return at + FirstMarked(marks);
    }
    if (at >= size) return std::string_view::npos;
    if (size >= sizeof word) {
        const std::size_t last = size - sizeof word;
        std::memcpy(&word, data + last, sizeof word);
        const uint64_t marks = MarksFrom(BytesEqual(word, target), static_cast<unsigned>(at - last));
        return marks != 0 ? last + FirstMarked(marks) : std::string_view::npos;
    }
    for (; at < size; ++at) {
        if (static_cast<unsigned char>(data[at]) == target) return at;
    }
    return std::string_view::npos;
}

// One bit per byte of a 16-byte comparison result (each byte 0 or 0xff), the
// first byte in the lowest bit.
inline unsigned ByteMarks16(Bytes16 equal) {
#if defined(__SSE2__)
    typedef char Chars16 __attribute__((vector_size(16)));
    return static_cast<unsigned>(__builtin_ia32_pmovmskb128(reinterpret_cast<Chars16>(equal)));
#else
    unsigned bits = 0;
    for (unsigned i = 0; i < sizeof(Bytes16); ++i) bits |= static_cast<unsigned>(equal[i] & 1) << i;
    return bits;
#endif
}

// Where `separator` and '"' stand among the `count` (at most 64) bytes at `at`:
// bit i of each mask for byte i. Bytes past `count` are never read.
struct SeparatorMarks {
    uint64_t separators;
    uint64_t quotes;
};
inline SeparatorMarks MarkSeparators(const char* at, std::size_t count, char separator) {
    char padded[64];
    if (count < sizeof padded) {
        // Zeros after the bytes: the caller never splits at NUL nor at '"'.
        std::memset(padded, 0, sizeof padded);
        std::memcpy(padded, at, count);
        at = padded;
    }
    const Bytes16 separators = Bytes16{} + static_cast<unsigned char>(separator);
    const Bytes16 quotes = Bytes16{} + static_cast<unsigned char>('"');
    SeparatorMarks marks{0, 0};
    for (unsigned block = 0; block < 4; ++block) {
        Bytes16 bytes;
        std::memcpy(&bytes, at + block * sizeof bytes, sizeof bytes);
        marks.separators |= uint64_t{ByteMarks16(reinterpret_cast<Bytes16>(bytes == separators))} << (16 * block);
        marks.quotes |= uint64_t{ByteMarks16(reinterpret_cast<Bytes16>(bytes == quotes))} << (16 * block);
    }
    return marks;
}

// What a text field holds that its line has to care about.
enum TextFlags : unsigned {
    kNeedsQuotes = 1,  // the separator, a double quote or a carriage return: written quoted
    kBreaksLine = 2,   // a line feed or NUL: no line can hold it
};

// Every text field of every line written passes through here, and almost none
// holds anything of the kind, so the whole text is usually scanned: sixteen bytes
// at a time, the rest as one more block that overlaps bytes already seen; short
// texts eight bytes at a time, then byte by byte. Both questions are answered in
// the one pass, so a line built of scanned fields needs no second look for line
// breaks.
inline unsigned ScanText(std::string_view text, char separator) {
    const char* p = text.data();
    const std::size_t size = text.size();
    unsigned flags = 0;
    if (size >= sizeof(Bytes16)) {
        const Bytes16 separators = Bytes16{} + static_cast<unsigned char>(separator);
        const Bytes16 quotes = Bytes16{} + static_cast<unsigned char>('"');
        const Bytes16 returns = Bytes16{} + static_cast<unsigned char>('\r');
        const Bytes16 newlines = Bytes16{} + static_cast<unsigned char>('\n');
        const auto scan = [&](const char* at) {
            Bytes16 block;
            std::memcpy(&block, at, sizeof block);
            const Words16 quoting =
                reinterpret_cast<Words16>((block == separators) | (block == quotes) | (block == returns));
            const Words16 breaking = reinterpret_cast<Words16>((block == newlines) | (block == Bytes16{}));
            if ((quoting[0] | quoting[1]) != 0) flags |= kNeedsQuotes;
            if ((breaking[0] | breaking[1]) != 0) flags |= kBreaksLine;
        };
        const char* const last = p + size - sizeof(Bytes16);
        for (; p < last && flags != (kNeedsQuotes | kBreaksLine); p += sizeof(Bytes16)) scan(p);
        scan(last);
        return flags;
    }
    const uint64_t separators = kEveryByte * static_cast<unsigned char>(separator);
    const uint64_t quotes = kEveryByte * static_cast<unsigned char>('"');
    const uint64_t returns = kEveryByte * static_cast<unsigned char>('\r');
    const uint64_t newlines = kEveryByte * static_cast<unsigned char>('\n');
    std::size_t left = size;
    for (; left >= sizeof(uint64_t); p += sizeof(uint64_t), left -= sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (AnyZeroByte(word ^ separators) | AnyZeroByte(word ^ quotes) | AnyZeroByte(word ^ returns))
            flags |= kNeedsQuotes;
        if (AnyZeroByte(word ^ newlines) | AnyZeroByte(word)) flags |= kBreaksLine;
    }
    for (; left > 0; ++p, --left) {
        if (*p == separator || *p == '"' || *p == '\r') flags |= kNeedsQuotes;
        if (*p == '\n' || *p == '\0') flags |= kBreaksLine;
    }
    return flags;
}

inline bool NeedsQuoting(std::string_view text, char separator) {
    return (ScanText(text, separator) & kNeedsQuotes) != 0;
}

}  // namespace I2::internal
