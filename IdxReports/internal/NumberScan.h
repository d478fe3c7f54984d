#pragma once

// Internal (not installed): the quick conversion of the integers the formatter
// writes, inline so that a record's FromString converts its many numeric fields
// without a call into the codec for each; anything it does not take goes to
// ReportRecord::ParseField, which gives the same value for what it does take.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

#include <IdxReports/ReportRecord.h>

namespace I2::internal {

// The longest run of digits that converts without any chance of overflow, so
// that the quick conversions below can never disagree with the exact ones.
template <typename T>
constexpr std::size_t SafeDigits() {
    return static_cast<std::size_t>(std::numeric_limits<T>::digits10);
}

inline bool IsDigit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') < 10; }

// Whether the eight bytes of `word` are all ASCII digits: each byte's high half
// is 3, and stays 3 when 6 is added to it ('0' to '9', but not ':' to '?').
inline bool EightDigits(uint64_t word) {
    constexpr uint64_t highHalves = 0xf0f0f0f0f0f0f0f0ull;
    constexpr uint64_t threes = 0x3030303030303030ull;
    return (word & highHalves) == threes && ((word + 0x0606060606060606ull) & highHalves) == threes;
}

// A word of LoadLittle back in the order memcpy gives, as EightDigits and
// EightDigitsValue take it.
inline uint64_t LoadOrder(uint64_t little) {
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) little = __builtin_bswap64(little);
    return little;
}

// The value of eight digits in memory order, "12345678" -> 12345678: pairs, then
// fours, then the whole, each step one multiplication over every lane at once.
inline uint32_t EightDigitsValue(uint64_t word) {
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) word = __builtin_bswap64(word);
    word -= 0x3030303030303030ull;
    word = (word * 10 + (word >> 8)) & 0x00ff00ff00ff00ffull;
    word = (word * 100 + (word >> 16)) & 0x0000ffff0000ffffull;
    return static_cast<uint32_t>(word * 10000 + (word >> 32));
}

// Steps over a leading '-' of a signed T's text and says whether there was one.
template <typename T>
inline bool SkipMinus(const char*& p, const char* end) {
    if constexpr (std::is_signed_v<T>) {
        if (p != end && *p == '-') {
            ++p;
            return true;
        }
    }
    return false;
}

// A whole text of digits, with a leading '-' for a signed T, short enough not to
// overflow: "42", "-7", "0007". Anything else (a '+', blanks, a '-' before an
// unsigned number, which wraps round, long runs) is left to the exact rule
// (ReportRecord::ParseField).
// False when the text is not of this shape.
template <typename T>
inline bool QuickInteger(std::string_view text, T& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = SkipMinus<T>(p, end);
    if (p == end || static_cast<std::size_t>(end - p) > SafeDigits<T>()) return false;
    T magnitude = 0;
    for (uint64_t eight; end - p >= 8; p += 8) {
        std::memcpy(&eight, p, sizeof eight);
        if (!EightDigits(eight)) return false;
        magnitude = static_cast<T>(magnitude * 100000000 + static_cast<T>(EightDigitsValue(eight)));
    }
    for (; p != end; ++p) {
        if (!IsDigit(*p)) return false;
        magnitude = static_cast<T>(magnitude * 10 + (*p - '0'));
    }
    value = negative ? static_cast<T>(-magnitude) : magnitude;
    return true;
}

// Eight bytes from memory, the first in the lowest byte on any machine.
inline uint64_t LoadLittle(const char* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    if constexpr (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) word = __builtin_bswap64(word);
    return word;
}

// QuickInteger for a text that lies inside `within` (its line), whose bytes
// around the text may be read. The one to eight digits before the last whole
// eights are read as one word, with the bytes before them made leading zeros,
// so that no field pays a loop exit per digit: "123" in "7,123,9" is read as
// "7,123" with "7," made "00", giving "00000123". Same answers as QuickInteger.
template <typename T>
inline bool QuickInteger(std::string_view text, std::string_view within, T& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = SkipMinus<T>(p, end);
    const std::size_t length = static_cast<std::size_t>(end - p);
    if (length == 0 || length > SafeDigits<T>()) return false;
    const std::size_t head = length - 8 * ((length - 1) / 8);  // 1 to 8
    const unsigned pad = static_cast<unsigned>(8 - head);        // 0 to 7
    const uint64_t padMask = (uint64_t{1} << (8 * pad)) - 1;
    uint64_t word;
    if (static_cast<std::size_t>(p - within.data()) + head >= 8) {
        word = LoadLittle(p + head - 8);
    } else if (static_cast<std::size_t>(within.data() + within.size() - p) >= 8) {
        word = LoadLittle(p) << (8 * pad);
    } else {
        return QuickInteger(text, value);  // a line too short to read a word of
    }
    word = (word & ~padMask) | (0x3030303030303030ull & padMask);
    if (!EightDigits(word)) return false;
    T magnitude = static_cast<T>(EightDigitsValue(LoadOrder(word)));
    for (p += head; p != end; p += 8) {
        const uint64_t eight = LoadLittle(p);
        if (!EightDigits(eight)) return false;
        magnitude = static_cast<T>(magnitude * 100000000 + static_cast<T>(EightDigitsValue(LoadOrder(eight))));
    }
    value = negative ? static_cast<T>(-magnitude) : magnitude;
    return true;
}

// ReportRecord::ParseField and StringToField for integers, with the common
// shapes converted here. `within`, when given, is the line that holds `text`.
template <typename T>
inline bool ParseInteger(std::string_view text, T& value) {
    static_assert(std::is_integral_v<T>);
    return QuickInteger(text, value) || ReportRecord::ParseField<T>(text, value);
}
template <typename T>
inline bool ParseInteger(std::string_view text, std::string_view within, T& value) {
    static_assert(std::is_integral_v<T>);
    return QuickInteger(text, within, value) || ReportRecord::ParseField<T>(text, value);
}
template <typename T>
inline T IntegerField(std::string_view text, T fallback) {
    static_assert(std::is_integral_v<T>);
    T value{};
    if (QuickInteger(text, value)) return value;
    return ReportRecord::StringToField<T>(text, fallback);
}
template <typename T>
inline T IntegerField(std::string_view text, std::string_view within, T fallback) {
    static_assert(std::is_integral_v<T>);
    T value{};
    if (QuickInteger(text, within, value)) return value;
    return ReportRecord::StringToField<T>(text, fallback);
}

}  // namespace I2::internal
