#include <IdxReports/ReportRecord.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <type_traits>

#include <boost/algorithm/string/join.hpp>

#include <IdxReports/internal/ByteScan.h>
#include <IdxReports/internal/NumberScan.h>

namespace I2 {

namespace {

using internal::IsDigit;
using internal::QuickInteger;
constexpr char Quote = '"';
using internal::NeedsQuoting;

// "00" "01" ... "99": two digits of a number written with one copy.
constexpr char DigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The number of decimal digits of `value` (1 for 0): from its bit length, then
// one comparison with the power of ten that bit length may or may not reach.
int DecimalDigits(uint64_t value) {
    static constexpr uint8_t ByBitLength[] = {1,  1,  1,  2,  2,  2,  3,  3,  3,  4,  4,  4,  4,  5,  5,  5,
                                              6,  6,  6,  7,  7,  7,  7,  8,  8,  8,  9,  9,  9,  10, 10, 10,
                                              10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 15, 15,
                                              15, 16, 16, 16, 16, 17, 17, 17, 18, 18, 18, 19, 19, 19, 19, 20};
    // PowersOfTen[n] is the smallest number of n digits (0 where any number has at least n).
    static constexpr uint64_t PowersOfTen[] = {0,
                                               0,
                                               10,
                                               100,
                                               1000,
                                               10000,
                                               100000,
                                               1000000,
                                               10000000,
                                               100000000,
                                               1000000000,
                                               10000000000,
                                               100000000000,
                                               1000000000000,
                                               10000000000000,
                                               100000000000000,
                                               1000000000000000,
                                               10000000000000000,
                                               100000000000000000,
                                               1000000000000000000,
                                               10000000000000000000ull};
    const int guess = ByBitLength[63 ^ __builtin_clzll(value | 1)];
    return guess - (value < PowersOfTen[guess]);
}

void WriteTwoDigits(char* out, uint32_t value) { std::memcpy(out, DigitPairs + 2 * value, 2); }

// Exactly eight digits, leading zeros included, as two halves that do not wait
// for each other.
void WriteEightDigits(char* out, uint32_t value) {
    const uint32_t high = value / 10000;
    const uint32_t low = value % 10000;
    WriteTwoDigits(out, high / 100);
    WriteTwoDigits(out + 2, high % 100);
    WriteTwoDigits(out + 4, low / 100);
    WriteTwoDigits(out + 6, low % 100);
}

// `value` in plain decimal at `out`; returns the end. What std::to_chars writes,
// with the length found up front, then from the right eight digits per 64-bit
// division and two per 32-bit one.
char* WriteDecimal(char* out, uint64_t value) {
    char* const end = out + DecimalDigits(value);
    char* p = end;
    while (value >= 100000000) {
        p -= 8;
        WriteEightDigits(p, static_cast<uint32_t>(value % 100000000));
        value /= 100000000;
    }
    auto rest = static_cast<uint32_t>(value);
    while (rest >= 100) {
        p -= 2;
        WriteTwoDigits(p, rest % 100);
        rest /= 100;
    }
    if (rest >= 10) {
        WriteTwoDigits(p - 2, rest);
    } else {
        p[-1] = static_cast<char>('0' + rest);
    }
    return end;
}

// `text` between double quotes, each quote in it doubled: "say ""hi""".
char* WriteQuoted(char* out, std::string_view text) {
    *out++ = Quote;
    for (char c : text) {
        if (c == Quote) *out++ = Quote;
        *out++ = c;
    }
    *out++ = Quote;
    return out;
}

// Longer texts go to ClassicDouble, whatever their shape.
constexpr std::size_t QuickDoubleLength = 32;

// The shapes the formatter writes, and nearly every number written by hand:
//   [-]digits[.digits][(e|E)[+|-]digits]    "2.5", "-0.001", "1.23457e+06", "12"
// For these, lexical_cast (a stream conversion ending in strtod) and from_chars
// both round the exact decimal value to the nearest double, so they agree. A
// result that overflows, underflows or is subnormal is left to ClassicDouble, as
// is every other shape (a '+', ".5", "1.", "inf", blanks). False when not converted.
bool QuickDouble(std::string_view text, double& value) {
    if (text.size() > QuickDoubleLength) return false;
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p != end && *p == '-') ++p;
    bool nonZero = false;
    const auto digits = [&] {
        const char* const from = p;
        for (; p != end && IsDigit(*p); ++p) nonZero |= *p != '0';
        return p != from;
    };
    if (!digits()) return false;
    if (p != end && *p == '.') {
        ++p;
        if (!digits()) return false;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        const char* const from = p;
        while (p != end && IsDigit(*p)) ++p;
        if (p == from) return false;
    }
    if (p != end) return false;
    const std::from_chars_result result = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != end) return false;
    return std::isnormal(value) || (value == 0 && !nonZero);
}

// What follows is boost::lexical_cast's rule, as it reads in the classic locale,
// written out so that it costs no stream and no exception: a report holds the
// numbers its writers wrote in the classic locale, whatever the reading process's
// global locale says (a comma-decimal one read "2.5" as 0), and a file of
// unreadable numbers must not cost an exception per field.

// Integers: an optional sign, then one or more digits whose value fits T.
//   "+7" -> 7   "007" -> 7   "-0" -> 0   "-1" as unsigned -> 18446744073709551615
//   "" "-" "+-1" " 1" "1 " "1.000" "0x10" "2147483648" as int -> no value
template <typename T>
bool ClassicInteger(std::string_view text, T& value) {
    using Magnitude = std::make_unsigned_t<T>;
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    Magnitude magnitude = 0;
    const std::from_chars_result result = std::from_chars(p, end, magnitude);
    if (result.ec != std::errc() || result.ptr != end) return false;
    if constexpr (std::is_signed_v<T>) {
        const Magnitude largest = static_cast<Magnitude>(std::numeric_limits<T>::max());
        if (magnitude > largest + (negative ? 1 : 0)) return false;
    }
    value = static_cast<T>(negative ? Magnitude{0} - magnitude : magnitude);
    return true;
}

// `word` in either case at `at`, which has room for it.
bool EqualsIgnoringCase(const char* at, std::string_view word) {
    for (std::size_t i = 0; i < word.size(); ++i) {
        if ((static_cast<unsigned char>(at[i]) | 0x20) != static_cast<unsigned char>(word[i])) return false;
    }
    return true;
}

// An optional sign, then "nan" optionally followed by "(...)" with anything
// between the brackets, or "inf" or "infinity"; any case:
//   "NaN" "-nan(0x1)" "nan()" "+INF" "Infinity" -> yes   "nan(" "infin" "in" -> no
// A NaN is the quiet NaN, with its sign bit set after a '-'.
bool InfinityOrNan(std::string_view text, double& value) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (p == end) return false;
    const bool negative = *p == '-';
    if (negative || *p == '+') ++p;
    const std::size_t rest = static_cast<std::size_t>(end - p);
    if (rest < 3) return false;
    const double sign = negative ? -1.0 : 1.0;
    if (EqualsIgnoringCase(p, "nan")) {
        if (rest != 3 && (rest < 5 || p[3] != '(' || end[-1] != ')')) return false;
        value = std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
        return true;
    }
    if ((rest == 3 && EqualsIgnoringCase(p, "inf")) || (rest == 8 && EqualsIgnoringCase(p, "infinity"))) {
        value = std::copysign(std::numeric_limits<double>::infinity(), sign);
        return true;
    }
    return false;
}

// Doubles: infinity or NaN as above, or
//   [+|-] digits [. [digits]] [(e|E) [+|-] digits]   or   [+|-] . digits [...]
//   "+2.5" "5." ".5" "0.e5" "1E-3" "0001" -> yes   "." "1e" "1e+" "1.5.3" " 1" "0x1p3" "1,5" -> no
// rounded to the nearest double. A value beyond the largest double does not
// convert; one too small for the smallest is a zero of its sign.
bool ClassicDouble(std::string_view text, double& value) {
    if (InfinityOrNan(text, value)) return true;
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    if (p != end && (*p == '+' || *p == '-')) ++p;
    const char* const number = negative ? p - 1 : p;  // from_chars takes a '-' but no '+'

    // Where the first significant digit stands, for telling an overflow from an
    // underflow below: the value lies in [10^(order-1), 10^order).
    int64_t order = 0;
    bool significant = false;
    std::size_t mantissaDigits = 0;
    for (; p != end && IsDigit(*p); ++p, ++mantissaDigits) {
        significant |= *p != '0';
        order += significant;
    }
    if (p != end && *p == '.') {
        for (++p; p != end && IsDigit(*p); ++p, ++mantissaDigits) {
            significant |= *p != '0';
            order -= !significant;
        }
    }
    if (mantissaDigits == 0) return false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end) return false;
        // Saturated: far beyond any double either way, and far from overflowing.
        int64_t exponent = 0;
        for (; p != end && IsDigit(*p); ++p) exponent = std::min<int64_t>(exponent * 10 + (*p - '0'), int64_t{1} << 40);
        if (p != end) return false;
        order += negativeExponent ? -exponent : exponent;
    }
    if (p != end) return false;

    const std::from_chars_result result = std::from_chars(number, end, value, std::chars_format::general);
    if (result.ptr != end) return false;
    if (result.ec == std::errc()) return true;
    if (result.ec != std::errc::result_out_of_range || order > 0) return false;
    value = negative ? -0.0 : 0.0;
    return true;
}

}  // namespace

std::vector<std::string> ReportRecord::Split(const std::string& line) {
    std::vector<std::string_view> views;
    SplitViews(line, views);
    return std::vector<std::string>(views.begin(), views.end());
}

void ReportRecord::SplitViews(std::string_view line, std::vector<std::string_view>& fields) const {
    // The vector keeps the views of the previous line and each is overwritten in
    // place: a push_back of a view built on the stack stalled every field on the
    // store (two halves written, one 16-byte load). Cut to size at the end.
    const char* const data = line.data();
    const std::size_t size = line.size();
    std::size_t count = 0;
    const auto add = [&](std::size_t from, std::size_t length) {
        if (count == fields.size()) fields.emplace_back();
        fields[count++] = std::string_view(data + from, length);
    };
    // A line without a double quote splits at every separator, found 64 bytes at
    // a time and walked bit by bit: the loop exits once a block rather than once
    // a field, whose lengths no branch predictor guesses. A quote anywhere sends
    // the line to the exact walk below, from its start.
    if (columnSeparator != Quote && columnSeparator != '\0') {
        std::size_t from = 0;
        bool quoted = false;
        for (std::size_t block = 0; block < size; block += 64) {
            const internal::SeparatorMarks marks =
                internal::MarkSeparators(data + block, std::min<std::size_t>(64, size - block), columnSeparator);
            if (marks.quotes != 0) {
                quoted = true;
                break;
            }
            for (uint64_t bits = marks.separators; bits != 0; bits &= bits - 1) {
                const std::size_t at = block + static_cast<std::size_t>(__builtin_ctzll(bits));
                add(from, at - from);
                from = at + 1;
            }
        }
        if (!quoted) {
            add(from, size - from);
            fields.resize(count);
            return;
        }
        count = 0;
    }
    std::size_t start = 0;
    for (;;) {
        if (start < size && data[start] == Quote) {
            // Find the closing quote; "" inside the field is an escaped quote.
            std::size_t close = start + 1;
            while (close < size) {
                if (data[close] == Quote) {
                    if (close + 1 < size && data[close + 1] == Quote) {
                        close += 2;
                        continue;
                    }
                    break;
                }
                ++close;
            }
            if (close >= size) {
                // Unclosed: the rest of the line, opening quote included.
                add(start, size - start);
                break;
            }
            add(start, close - start + 1);
            if (close + 1 >= size) break;
            // The character after the closing quote stands where the separator
            // belongs; it is stepped over unseen, so "ab"x,c reads as "ab", "", c.
            start = close + 2;
            continue;
        }
        const std::size_t separator = internal::FindByte(line, columnSeparator, start);
        if (separator == std::string_view::npos) {
            add(start, size - start);
            break;
        }
        add(start, separator - start);
        start = separator + 1;
    }
    fields.resize(count);
}

std::string ReportRecord::JoinFields(const std::vector<std::string>& fields) {
    return boost::algorithm::join(fields, std::string(1, columnSeparator));
}

std::string ReportRecord::QuoteText(const std::string& text) const { return QuoteText(text, columnSeparator); }

std::string ReportRecord::QuoteText(std::string_view text, char separator) {
    if (!NeedsQuoting(text, separator)) return std::string(text);
    std::string quoted(2 * text.size() + 2, '\0');
    quoted.resize(static_cast<std::size_t>(WriteQuoted(&quoted[0], text) - quoted.data()));
    return quoted;
}

void ReportRecord::AppendText(std::string& line, std::string_view text) const {
    if (!NeedsQuoting(text, columnSeparator)) {
        line.append(text);
        return;
    }
    const std::size_t at = line.size();
    line.resize(at + 2 * text.size() + 2);
    line.resize(static_cast<std::size_t>(WriteQuoted(&line[at], text) - line.data()));
}

char* ReportRecord::WriteText(char* out, std::string_view text) const {
    if (NeedsQuoting(text, columnSeparator)) return WriteQuoted(out, text);
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

std::string ReportRecord::UnquoteText(std::string_view field) {
    if (field.size() < 2 || field.front() != Quote || field.back() != Quote) return std::string(field);
    const std::string_view inner = field.substr(1, field.size() - 2);
    std::string text;
    text.reserve(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) {
        text.push_back(inner[i]);
        if (inner[i] == Quote && i + 1 < inner.size() && inner[i + 1] == Quote) ++i;
    }
    return text;
}

// The text a default std::ostringstream gives for `value`: plain decimal for
// integers, printf's "%g" for doubles. Locale-free, and it does not allocate,
// which matters because every numeric field of every line goes through here.
template <typename T>
char* ReportRecord::WriteField(char* out, T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::to_chars(out, out + MaxNumberLength, value, std::chars_format::general, 6).ptr;
    } else if constexpr (std::is_signed_v<T>) {
        uint64_t magnitude = static_cast<uint64_t>(value);
        if (value < 0) {
            *out++ = '-';
            magnitude = 0 - magnitude;  // also right for the most negative value
        }
        return WriteDecimal(out, magnitude);
    } else {
        return WriteDecimal(out, value);
    }
}

template <typename T>
std::string ReportRecord::FieldToString(T value, bool quoted) {
    char buffer[MaxNumberLength + 2];
    char* const start = buffer + 1;
    char* end = WriteField(start, value);
    if (!quoted) return std::string(start, end);
    buffer[0] = Quote;
    *end++ = Quote;
    return std::string(buffer, end);
}

template <typename T>
void ReportRecord::AppendField(std::string& line, T value) {
    char buffer[MaxNumberLength];
    line.append(buffer, static_cast<std::size_t>(WriteField(buffer, value) - buffer));
}

template <typename T>
bool ReportRecord::ParseField(std::string_view text, T& value) {
    // Most fields are short numbers in the formatter's own shapes; those take the
    // quick conversion. Everything else gets the whole rule.
    T parsed{};
    bool converted;
    if constexpr (std::is_floating_point_v<T>) {
        converted = QuickDouble(text, parsed) || ClassicDouble(text, parsed);
    } else {
        converted = QuickInteger(text, parsed) || ClassicInteger(text, parsed);
    }
    if (converted) value = parsed;
    return converted;
}

template <typename T>
T ReportRecord::StringToField(std::string_view text, T fallback) {
    ParseField(text, fallback);
    return fallback;
}

template <typename T>
T ReportRecord::StringToField(const std::string& text, T fallback) {
    return StringToField<T>(std::string_view(text), fallback);
}

template std::string ReportRecord::FieldToString<unsigned long long>(unsigned long long, bool);
template std::string ReportRecord::FieldToString<double>(double, bool);
template std::string ReportRecord::FieldToString<long>(long, bool);
template std::string ReportRecord::FieldToString<int>(int, bool);
template void ReportRecord::AppendField<unsigned long long>(std::string&, unsigned long long);
template void ReportRecord::AppendField<double>(std::string&, double);
template void ReportRecord::AppendField<long>(std::string&, long);
template void ReportRecord::AppendField<int>(std::string&, int);
template char* ReportRecord::WriteField<unsigned long long>(char*, unsigned long long);
template char* ReportRecord::WriteField<double>(char*, double);
template char* ReportRecord::WriteField<long>(char*, long);
template char* ReportRecord::WriteField<int>(char*, int);
template unsigned long long ReportRecord::StringToField<unsigned long long>(const std::string&,
                                                                            unsigned long long);
template double ReportRecord::StringToField<double>(const std::string&, double);
template long ReportRecord::StringToField<long>(const std::string&, long);
template int ReportRecord::StringToField<int>(const std::string&, int);
template unsigned long long ReportRecord::StringToField<unsigned long long>(std::string_view,
                                                                            unsigned long long);
template double ReportRecord::StringToField<double>(std::string_view, double);
template long ReportRecord::StringToField<long>(std::string_view, long);
template int ReportRecord::StringToField<int>(std::string_view, int);
template bool ReportRecord::ParseField<unsigned long long>(std::string_view, unsigned long long&);
template bool ReportRecord::ParseField<double>(std::string_view, double&);
template bool ReportRecord::ParseField<long>(std::string_view, long&);
template bool ReportRecord::ParseField<int>(std::string_view, int&);

}  // namespace I2
