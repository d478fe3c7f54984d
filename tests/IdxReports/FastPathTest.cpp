// Differential tests of the library's fast paths. Each hot operation has a plain
// counterpart whose behaviour defines the file format: a default std::ostringstream
// for numbers written, boost::lexical_cast for numbers read, the documented
// splitting rule for lines, std::getline for the lines of a file. The fast paths
// must give exactly the same results for every input, so these tests run them
// side by side with plain implementations over millions of generated inputs and
// every short input of a small alphabet.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <locale>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <platform/PlatformTestSupport.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportRecord.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>
#include <IdxReports/internal/NumberScan.h>

namespace I2 {
namespace {

// --- the plain paths ---------------------------------------------------------------

// What a default-constructed std::ostringstream writes for a value. One stream is
// reused: emptying it leaves its (default) flags, precision and locale alone.
class StreamFormatter {
public:
    template <typename T>
    const std::string& operator()(T value) {
        out_.str(std::string());
        out_.clear();
        out_ << value;
        text_ = out_.str();
        return text_;
    }

private:
    std::ostringstream out_;
    std::string text_;
};

// Sets the global locale for its lifetime.
class GlobalLocale {
public:
    explicit GlobalLocale(const std::locale& locale) : previous_(std::locale::global(locale)) {}
    ~GlobalLocale() { std::locale::global(previous_); }
    GlobalLocale(const GlobalLocale&) = delete;
    GlobalLocale& operator=(const GlobalLocale&) = delete;

private:
    std::locale previous_;
};

// lexical_cast's verdict on a text in the classic locale, in which reports are
// written: its value, or nothing when it throws.
template <typename T>
std::optional<T> LexicalCast(std::string_view text) {
    std::optional<GlobalLocale> classic;
    if (std::locale() != std::locale::classic()) classic.emplace(std::locale::classic());
    try {
        return boost::lexical_cast<T>(text.data(), text.size());
    } catch (const boost::bad_lexical_cast&) {
        return std::nullopt;
    }
}

// The splitting rule, character by character:
//   a,,b -> a | "" | b     a, -> a | ""     (empty line) -> ""
//   "b,c",d -> "b,c" | d   "x""y" -> "x""y"  (a doubled quote does not close)
//   "a"x,c -> "a" | "" | c (the character after a closing quote stands for the
//                           separator and is dropped, whatever it is)
//   "ab -> "ab             (an unclosed quote takes the rest of the line)
std::vector<std::string> ReferenceSplit(std::string_view line, char separator) {
    enum class State { FieldStart, Plain, Quoted, QuoteInQuoted };
    std::vector<std::string> fields;
    std::string field;
    State state = State::FieldStart;
    for (char c : line) {
        switch (state) {
            case State::FieldStart:
            case State::Plain:
                if (c == separator) {
                    fields.push_back(field);
                    field.clear();
                    state = State::FieldStart;
                } else {
                    field.push_back(c);
                    state = (state == State::FieldStart && c == '"') ? State::Quoted : State::Plain;
                }
                break;
            case State::Quoted:
                field.push_back(c);
                if (c == '"') state = State::QuoteInQuoted;
                break;
            case State::QuoteInQuoted:
                if (c == '"') {
                    field.push_back(c);
                    state = State::Quoted;
                } else {
                    fields.push_back(field);
                    field.clear();
                    state = State::FieldStart;
                }
                break;
        }
    }
    fields.push_back(field);
    return fields;
}

// A field that opens and closes with a double quote loses them, and its doubled
// quotes are halved; any other field is its own text.
std::string ReferenceUnquote(std::string_view field) {
    if (field.size() < 2 || field.front() != '"' || field.back() != '"') return std::string(field);
    std::string text;
    for (std::size_t i = 1; i + 1 < field.size(); ++i) {
        text.push_back(field[i]);
        if (field[i] == '"' && i + 2 < field.size() && field[i + 1] == '"') ++i;
    }
    return text;
}

// A text as it must stand in a line: wrapped in quotes, inner quotes doubled, when
// it holds the separator, a quote or a carriage return.
std::string ReferenceQuote(const std::string& text, char separator) {
    if (text.find_first_of(std::string{separator, '"', '\r'}) == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        quoted.push_back(c);
        if (c == '"') quoted.push_back('"');
    }
    return quoted + "\"";
}

// Calls `check` with every string of up to `maxLength` characters of `alphabet`.
template <typename Check>
void ForEveryString(const std::string& alphabet, std::size_t maxLength, Check check) {
    std::string text;
    std::vector<std::size_t> digits;
    for (std::size_t length = 0; length <= maxLength; ++length) {
        digits.assign(length, 0);
        text.assign(length, alphabet[0]);
        for (;;) {
            check(text);
            std::size_t i = 0;
            while (i < length && ++digits[i] == alphabet.size()) {
                digits[i] = 0;
                text[i] = alphabet[0];
                ++i;
            }
            if (i == length) break;
            text[i] = alphabet[digits[i]];
        }
    }
}

// --- number formatting ---------------------------------------------------------------

// Counts mismatches instead of failing per value, so a broken fast path reports a
// handful of examples rather than a million lines.
class FormatChecker {
public:
    template <typename T>
    void Check(T value) {
        const std::string& expected = stream_(value);
        line_.assign("x,");
        ReportRecord::AppendField(line_, value);
        char written[ReportRecord::MaxNumberLength];
        const char* const writtenEnd = ReportRecord::WriteField(written, value);
        const bool same = ReportRecord::FieldToString(value, false) == expected &&
                          ReportRecord::FieldToString(value, true) == "\"" + expected + "\"" &&
                          line_.compare(2, std::string::npos, expected) == 0 && line_.size() == 2 + expected.size() &&
                          std::string_view(written, static_cast<std::size_t>(writtenEnd - written)) == expected;
        ++checked_;
        if (!same && ++mismatches_ <= 10) {
            ADD_FAILURE() << "value " << expected << " formats as [" << ReportRecord::FieldToString(value, false)
                          << "], appended as [" << line_ << "]";
        }
    }
    std::size_t Checked() const { return checked_; }
    std::size_t Mismatches() const { return mismatches_; }

private:
    StreamFormatter stream_;
    std::string line_;
    std::size_t checked_ = 0;
    std::size_t mismatches_ = 0;
};

double FromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

TEST(FastPath, DoublesFormatByteIdenticalToADefaultStream) {
    FormatChecker checker;
    std::mt19937_64 random(0xD0B1E);
    // Any bit pattern: every exponent, subnormals, infinities, NaNs of either sign.
    for (int i = 0; i < 200000; ++i) checker.Check(FromBits(random()));
    // Short decimal mantissas scaled by powers of ten: many values sit on or next
    // to a tie at the sixth significant digit.
    for (int i = 0; i < 400000; ++i) {
        const int digits = 1 + static_cast<int>(random() % 9);
        const double mantissa = static_cast<double>(random() % static_cast<uint64_t>(std::pow(10.0, digits)));
        const double value = mantissa * std::pow(10.0, static_cast<int>(random() % 61) - 30);
        checker.Check(random() & 1 ? value : -value);
    }
    // Where the notation switches (1e-5, 1e6) and where rounding carries into a
    // new digit (9.999995 * 10^k), give or take a few units in the last place.
    for (int exponent = -12; exponent <= 12; ++exponent) {
        for (double edge : {std::pow(10.0, exponent), 9.999995 * std::pow(10.0, exponent),
                            9.9999949999 * std::pow(10.0, exponent), 1.000005 * std::pow(10.0, exponent)}) {
            double below = edge, above = edge;
            for (int step = 0; step < 200; ++step) {
                checker.Check(below);
                checker.Check(above);
                below = std::nextafter(below, 0.0);
                above = std::nextafter(above, std::numeric_limits<double>::infinity());
            }
        }
    }
    // Halves and other short binary fractions, which print exactly.
    for (int i = 0; i < 200000; ++i) {
        const double whole = static_cast<double>(random() >> (random() % 64));
        checker.Check(whole / static_cast<double>(1ull << (random() % 20)));
    }
    // Durations as a job reports them, and whole numbers up to 2^53.
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 300000; ++i)
        checker.Check(unit(random) * std::pow(10.0, static_cast<int>(random() % 11) - 4));
    for (int i = 0; i < 100000; ++i) checker.Check(static_cast<double>(random() >> 11));
    for (double edge : {0.0, -0.0, std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
                        std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest(),
                        std::numeric_limits<double>::epsilon(), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                        -std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::signaling_NaN()})
        checker.Check(edge);
    EXPECT_GT(checker.Checked(), 1200000u);
    EXPECT_EQ(checker.Mismatches(), 0u);
}

template <typename T>
void CheckIntegers(FormatChecker& checker, std::mt19937_64& random) {
    using Limits = std::numeric_limits<T>;
    for (T edge : {T{0}, T{1}, static_cast<T>(-1), Limits::max(), Limits::min(), static_cast<T>(Limits::max() - 1),
                   static_cast<T>(Limits::min() + 1)})
        checker.Check(edge);
    // Every power of ten the type holds, and its neighbours.
    for (T power = 1;; power = static_cast<T>(power * 10)) {
        for (int d = -3; d <= 3; ++d) {
            checker.Check(static_cast<T>(power + d));
            if constexpr (std::is_signed_v<T>) checker.Check(static_cast<T>(-power + d));
        }
        if (power > Limits::max() / 10) break;
    }
    // Values of every length: random bits shifted by a random amount.
    for (int i = 0; i < 260000; ++i) checker.Check(static_cast<T>(random() >> (random() % 64)));
}

TEST(FastPath, IntegersFormatByteIdenticalToADefaultStream) {
    FormatChecker checker;
    std::mt19937_64 random(0x1A7E6E5);
    CheckIntegers<int>(checker, random);
    CheckIntegers<long>(checker, random);
    CheckIntegers<unsigned long long>(checker, random);
    EXPECT_GT(checker.Checked(), 780000u);
    EXPECT_EQ(checker.Mismatches(), 0u);
}

// --- number parsing --------------------------------------------------------------------

// StringToField against lexical_cast: the same value when lexical_cast accepts the
// text, the fallback when it throws. Two fallbacks tell "rejected" apart from
// "accepted as a value that happens to equal the fallback". Doubles compare bit for
// bit, so the sign of a zero or of a NaN counts too.
class ParseChecker {
public:
    template <typename T>
    void Check(std::string_view text) {
        const std::optional<T> expected = LexicalCast<T>(text);
        const T first = static_cast<T>(77), second = static_cast<T>(-5);
        // The text as a view into a longer buffer: the fast path must stop at its end.
        buffer_.assign(text.data(), text.size());
        buffer_.append("97");
        const std::string_view view(buffer_.data(), text.size());
        const std::string owned(text);
        const T results[] = {ReportRecord::StringToField<T>(owned, first),
                             ReportRecord::StringToField<T>(view, first),
                             ReportRecord::StringToField<T>(view, second)};
        const T wanted[] = {expected.value_or(first), expected.value_or(first), expected.value_or(second)};
        ++checked_;
        for (int i = 0; i < 3; ++i) {
            if (!Same(results[i], wanted[i]) && ++mismatches_ <= 10) {
                ADD_FAILURE() << "text [" << text << "] as " << typeid(T).name() << ": lexical_cast "
                              << (expected ? "gives " + boost::lexical_cast<std::string>(*expected) : "throws")
                              << ", StringToField gives " << results[i];
                break;
            }
        }
        if constexpr (std::is_integral_v<T>) CheckInLines<T>(text, expected, first);
    }
    template <typename... T>
    void CheckAll(std::string_view text) {
        (Check<T>(text), ...);
    }
    std::size_t Checked() const { return checked_; }
    std::size_t Mismatches() const { return mismatches_; }

private:
    // The integer reader that may read the line around its field, with the field
    // alone, first in a line, last in one and between others: it reads bytes
    // outside the field, which must never change the answer.
    template <typename T>
    void CheckInLines(std::string_view text, const std::optional<T>& expected, T fallback) {
        const T wanted = expected.value_or(fallback);
        const std::string t(text);
        const std::pair<std::string, std::string> around[] = {
            {"", ""}, {"", ",9"}, {"", ",98765432"}, {"7,", ""}, {"-", ""}, {"12345678,", ""},
            {"1,", ",2"}, {"99999999999999999999,", ",7"}};
        for (const auto& [before, after] : around) {
            const std::string line = before + t + after;
            const std::string_view field(line.data() + before.size(), t.size());
            const T got = internal::IntegerField<T>(field, line, fallback);
            T parsed = static_cast<T>(3);
            const bool converted = internal::ParseInteger<T>(field, line, parsed);
            if ((!Same(got, wanted) || converted != expected.has_value() || (converted && !Same(parsed, wanted))) &&
                ++mismatches_ <= 10) {
                ADD_FAILURE() << "text [" << text << "] in line [" << line << "] as " << typeid(T).name()
                              << ": IntegerField gives " << got << ", wanted " << wanted;
                return;
            }
        }
    }

    template <typename T>
    static bool Same(T a, T b) {
        if constexpr (std::is_floating_point_v<T>) {
            return std::memcmp(&a, &b, sizeof a) == 0;
        } else {
            return a == b;
        }
    }

    std::string buffer_;
    std::size_t checked_ = 0;
    std::size_t mismatches_ = 0;
};

#define ALL_FIELD_TYPES int, long, unsigned long long, double

TEST(FastPath, ParsingAgreesWithLexicalCastOnEveryShortText) {
    ParseChecker checker;
    // Digits, signs, the pieces of a decimal number, a blank, and letters that
    // begin "inf" and "nan".
    ForEveryString("019+-.e n", 4, [&](const std::string& text) { checker.CheckAll<ALL_FIELD_TYPES>(text); });
    ForEveryString(std::string("0\t\r\0x", 5), 3, [&](const std::string& text) { checker.CheckAll<ALL_FIELD_TYPES>(text); });
    EXPECT_EQ(checker.Mismatches(), 0u);
}

// Texts shaped like numbers, valid and nearly valid: signs, leading zeros, runs
// of up to 30 digits, fractions, exponents, a blank at either end, a stray byte.
std::string NumberLikeText(std::mt19937_64& random) {
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto digits = [&](std::size_t count) {
        std::string d;
        for (std::size_t i = 0; i < count; ++i) d.push_back(static_cast<char>('0' + random() % 10));
        return d;
    };
    std::string text;
    if (chance(2)) text.push_back(' ');
    if (chance(15)) text.push_back(chance(50) ? '-' : '+');
    if (chance(10)) text.append(1 + random() % 20, '0');
    text += digits(random() % 31);
    if (chance(20)) text += "." + digits(random() % 8);
    if (chance(15)) {
        text.push_back(chance(50) ? 'e' : 'E');
        if (chance(50)) text.push_back(chance(50) ? '-' : '+');
        text += digits(random() % 4);
    }
    if (chance(2)) text.push_back(chance(50) ? ' ' : 'x');
    // Any byte at all in place of one character: digits are converted eight at a
    // time, and ':' or '/' beside them must still stop a number.
    if (chance(5) && !text.empty()) text[random() % text.size()] = static_cast<char>(random() % 256);
    return text;
}

TEST(FastPath, ParsingAgreesWithLexicalCastOnNumberShapedTexts) {
    ParseChecker checker;
    std::mt19937_64 random(0x9A25E);
    for (int i = 0; i < 60000; ++i) checker.CheckAll<ALL_FIELD_TYPES>(NumberLikeText(random));
    // Every value the formatter writes reads back as lexical_cast reads it.
    for (int i = 0; i < 20000; ++i) {
        const uint64_t bits = random();
        checker.CheckAll<ALL_FIELD_TYPES>(std::to_string(bits >> (bits % 64)));
        checker.CheckAll<ALL_FIELD_TYPES>(std::to_string(static_cast<long long>(bits) >> (bits % 64)));
        checker.CheckAll<ALL_FIELD_TYPES>(ReportRecord::FieldToString(FromBits(bits), false));
    }
    EXPECT_EQ(checker.Mismatches(), 0u);
}

// Around every limit: the largest and smallest values, one past them, with signs
// and leading zeros. lexical_cast reads "-1" as an unsigned number by wrapping it
// round; the fast path must do the same, not reject it.
template <typename T>
void CheckLimits(ParseChecker& checker) {
    using Limits = std::numeric_limits<T>;
    std::vector<std::string> bases = {std::to_string(Limits::max()), std::to_string(Limits::min())};
    for (std::string base : std::vector<std::string>(bases)) {
        for (int carry = 0; carry < 3; ++carry) {
            // Add one to the digits, so the text is one past the limit, then two.
            std::size_t i = base.size();
            while (i > 0 && base[i - 1] == '9') base[--i] = '0';
            if (i == 0 || base[i - 1] == '-') base.insert(i, "1");
            else ++base[i - 1];
            bases.push_back(base);
        }
    }
    bases.push_back("18446744073709551615");
    bases.push_back("18446744073709551616");
    bases.push_back("99999999999999999999");
    for (const std::string& base : bases) {
        const std::string magnitude = base[0] == '-' ? base.substr(1) : base;
        for (const std::string& text : {base, "+" + magnitude, "-" + magnitude, "000" + magnitude,
                                        "-000" + magnitude, "+0" + magnitude, magnitude + "0",
                                        magnitude.substr(0, magnitude.size() - 1)})
            checker.Check<T>(text);
    }
}

TEST(FastPath, ParsingAgreesWithLexicalCastAtEveryLimit) {
    ParseChecker checker;
    CheckLimits<int>(checker);
    CheckLimits<long>(checker);
    CheckLimits<unsigned long long>(checker);
    for (const char* text : {"-1", "-0", "+0", "-", "+", "", "1e5", "1E5", "1e", "1e+", "-1e-5", ".", ".5", "5.",
                             "inf", "-inf", "+inf", "INF", "infinity", "Infinity", "nan", "-nan", "NAN", "nan(1)",
                             "1e308", "1e309", "-1e309", "1e-320", "1e-400", "2.2250738585072014e-308",
                             "4.9406564584124654e-324", "0x1p3", "1,5", "1 5", "00000000000000000000000000001",
                             "0.000000000000000000000000000001", "123456789012345678901234567890",
                             "1.7976931348623157e308", "1.7976931348623159e308"})
        checker.CheckAll<ALL_FIELD_TYPES>(text);
    EXPECT_EQ(checker.Mismatches(), 0u);
}

// A server's own global locale, built from a custom numpunct so that no locale
// package is needed: "1.234,5" for 1234.5.
struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

std::locale CommaDecimalLocale() { return std::locale(std::locale::classic(), new CommaDecimal); }

// Every record kind through its report file and back: the lines read back are the
// lines written.
template <typename ReportT, typename RecordT>
void ExpectRecordsRoundTrip(const std::string& path, std::vector<RecordT> records) {
    {
        ReportT writer;
        ASSERT_FALSE(writer.Open(path, std::ios::out | std::ios::trunc, false).IsError()) << path;
        for (RecordT& record : records) ASSERT_FALSE(writer.AddRecord(record).IsError()) << path;
    }
    ReportT reader;
    typename ReportT::DataFrame_t frame;
    ASSERT_FALSE(reader.Open(path, std::ios::in, false).IsError()) << path;
    ASSERT_FALSE(reader.LoadAll(frame).IsError()) << path;
    ASSERT_EQ(frame.size(), records.size()) << path;
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(frame[i].ToString(), records[i].ToString()) << path;
}

JobStatsRecord PlaybackJob(unsigned long long id, double seconds) {
    JobStatsRecord job;
    job.SetJobId(id);
    job.SetTotalFilesInIndex(1234567);
    job.SetSecondsToPlayback(seconds);
    job.SetStartTime(-1700000000L);
    job.SetHostname("idx,east");
    job.SetTimestamp(1700000000L);
    return job;
}

// Numbers were read in the global locale: a server that set a comma-decimal one
// read "2.5" as 0, and its next SetInvalidJobs wrote the 0 into every row.
TEST(FastPath, CommaDecimalGlobalLocaleReadNumbersAsZero) {
    const GlobalLocale comma(CommaDecimalLocale());
    ASSERT_EQ(boost::lexical_cast<double>("2,5"), 2.5);  // the locale is in force

    ParseChecker checker;
    ForEveryString("01+-.,e n", 3, [&](const std::string& text) { checker.CheckAll<ALL_FIELD_TYPES>(text); });
    std::mt19937_64 random(0xC033A);
    for (int i = 0; i < 20000; ++i) checker.CheckAll<ALL_FIELD_TYPES>(NumberLikeText(random));
    for (const char* text : {"2.5", "1.000", "1.234,5", "1,5", "-0.001", "1.23457e+06", "1e-400", "nan", "+inf"})
        checker.CheckAll<ALL_FIELD_TYPES>(text);
    EXPECT_EQ(checker.Mismatches(), 0u);

    Testing::TempDir dir;
    ExpectRecordsRoundTrip<JobStatsReport>(dir.File("jobs.csv"),
                                           std::vector<JobStatsRecord>{PlaybackJob(7, 2.5), PlaybackJob(8, 1234.5)});
    LogicalDiskRecord sample;
    sample.SetTime(1700000000L);
    sample.SetDiskFree(1234567890123ULL);
    sample.SetAlert("low, 2.5%");
    ExpectRecordsRoundTrip<LogicalDiskReport>(dir.File("disk.csv"), std::vector<LogicalDiskRecord>{sample});
    DanglingStubsRecord stub;
    stub.SetFilePath("/a/b.c");
    stub.SetModifiedTimestamp(-1234567L);
    stub.SetSizeInBytes(18446744073709551615ULL);
    ExpectRecordsRoundTrip<DanglingStubsReport>(dir.File("stubs.csv"), std::vector<DanglingStubsRecord>{stub});
    DroppedFilesRecord dropped;
    dropped.SetModifiedTimestamp(1700000000L);
    dropped.SetSizeInBytes(1000000);
    dropped.SetReasonCode(-1000);
    ExpectRecordsRoundTrip<DroppedFilesReport>(dir.File("dropped.csv"), std::vector<DroppedFilesRecord>{dropped});
    VerifyArchiveRecord verified;
    verified.SetModifiedTimestamp(1700000000L);
    verified.SetSizeInBytes(4096000);
    ExpectRecordsRoundTrip<VerifyArchiveReport>(dir.File("verify.csv"), std::vector<VerifyArchiveRecord>{verified});
    LogCleanUpRecord cleaned;
    cleaned.SetJobId("1.000");
    cleaned.SetReason("2,5");
    ExpectRecordsRoundTrip<LogCleanUpReport>(dir.File("cleanup.csv"), std::vector<LogCleanUpRecord>{cleaned});

    // A rewrite under that locale keeps every number as it stood.
    {
        JobStatsReport report;
        ASSERT_FALSE(report.Open(dir.Path(), JobStatsReport::FileName, std::ios::out | std::ios::app).IsError());
        for (JobStatsRecord job : {PlaybackJob(7, 2.5), PlaybackJob(8, 0.125)})
            ASSERT_FALSE(report.AddRecord(job).IsError());
    }
    std::vector<unsigned long> invalid{7};
    ASSERT_FALSE(JobStatsReport::SetInvalidJobs(dir.Path(), invalid).IsError());
    JobStatsReport reader;
    JobStatsReport::DataFrame_t rows;
    ASSERT_FALSE(reader.Open(dir.File(JobStatsReport::FileName), std::ios::in, false).IsError());
    ASSERT_FALSE(reader.LoadAll(rows).IsError());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].GetSecondsToPlayback(), 2.5);
    EXPECT_EQ(rows[0].GetStatus(), 1);
    EXPECT_EQ(rows[1].GetSecondsToPlayback(), 0.125);
    EXPECT_EQ(rows[1].GetTotalFilesInIndex(), 1234567u);
}

// --- splitting and joining ------------------------------------------------------------

class SplitChecker {
public:
    explicit SplitChecker(char separator) { record_.SetColumnSeparator(separator); }

    void Check(const std::string& line) {
        const std::vector<std::string> expected = ReferenceSplit(line, record_.GetColumnSeparator());
        record_.SplitViews(line, views_);
        const std::vector<std::string> split = record_.Split(line);
        ++checked_;
        const bool same = split == expected && views_.size() == expected.size() &&
                          std::equal(views_.begin(), views_.end(), expected.begin());
        if (!same && ++mismatches_ <= 10) {
            ADD_FAILURE() << "line [" << line << "] with separator '" << record_.GetColumnSeparator()
                          << "' splits into [" << boost::algorithm::join(split, "|") << "], expected ["
                          << boost::algorithm::join(expected, "|") << "]";
        }
    }
    std::size_t Mismatches() const { return mismatches_; }

    // The record whose codec is checked; any concrete record will do.
    JobStatsRecord& Record() { return record_; }

private:
    JobStatsRecord record_;
    std::vector<std::string_view> views_;
    std::size_t checked_ = 0;
    std::size_t mismatches_ = 0;
};

TEST(FastPath, SplittingFollowsTheRuleForEveryShortLine) {
    SplitChecker comma(',');
    ForEveryString("a,\"\r x", 7, [&](const std::string& line) { comma.Check(line); });
    SplitChecker semicolon(';');
    ForEveryString("a;,\"x", 7, [&](const std::string& line) { semicolon.Check(line); });
    EXPECT_EQ(comma.Mismatches(), 0u);
    EXPECT_EQ(semicolon.Mismatches(), 0u);
}

TEST(FastPath, SplittingFollowsTheRuleForLongRandomLines) {
    SplitChecker comma(',');
    std::mt19937_64 random(0x5B117);
    const std::string alphabet = "a,\"\r xyz0123";
    std::string line;
    for (int i = 0; i < 100000; ++i) {
        line.clear();
        const std::size_t length = random() % 200;
        // Mostly plain text with a few separators and quotes, as lines are.
        for (std::size_t k = 0; k < length; ++k) line.push_back(alphabet[random() % (random() & 1 ? 4 : 12)]);
        comma.Check(line);
    }
    // Lines without a quote split 64 bytes at a time; one quote anywhere, even
    // in the last byte or past the first blocks, sends the line back to the
    // walk field by field. NUL and high bytes are no separators.
    SplitChecker semicolon(';');
    const std::string plain = std::string("a,;x \r\xff\x80", 8) + '\0';
    for (int i = 0; i < 100000; ++i) {
        line.clear();
        const std::size_t length = random() % 300;
        for (std::size_t k = 0; k < length; ++k) line.push_back(plain[random() % plain.size()]);
        if (length > 0 && random() % 3 == 0) line[random() % 2 ? length - 1 : random() % length] = '"';
        comma.Check(line);
        semicolon.Check(line);
    }
    EXPECT_EQ(comma.Mismatches(), 0u);
    EXPECT_EQ(semicolon.Mismatches(), 0u);
}

// Texts written with the library's quoting read back as themselves, one field
// each, however many separators, quotes and carriage returns they hold.
TEST(FastPath, QuotedTextsSplitBackIntoTheSameTexts) {
    std::mt19937_64 random(0x70A57);
    for (char separator : {',', ';'}) {
        SplitChecker checker(separator);
        ReportRecord& record = checker.Record();
        const std::string alphabet = std::string("a\"\r x,;");
        for (int i = 0; i < 30000; ++i) {
            std::vector<std::string> texts(1 + random() % 6);
            for (std::string& text : texts)
                for (std::size_t k = random() % 8; k > 0; --k) text.push_back(alphabet[random() % alphabet.size()]);
            std::string line;
            std::vector<std::string> quoted;
            for (std::size_t k = 0; k < texts.size(); ++k) {
                if (k) line.push_back(separator);
                record.AppendText(line, texts[k]);
                quoted.push_back(record.QuoteText(texts[k]));
                ASSERT_EQ(quoted.back(), ReferenceQuote(texts[k], separator));
                std::string written(2 * texts[k].size() + 2, '?');
                written.resize(static_cast<std::size_t>(record.WriteText(written.data(), texts[k]) - written.data()));
                ASSERT_EQ(written, quoted.back());
            }
            ASSERT_EQ(line, record.JoinFields(quoted));
            checker.Check(line);
            const std::vector<std::string> fields = record.Split(line);
            ASSERT_EQ(fields.size(), texts.size()) << "line [" << line << "]";
            for (std::size_t k = 0; k < texts.size(); ++k) {
                EXPECT_EQ(ReportRecord::UnquoteText(fields[k]), texts[k]) << "line [" << line << "]";
                EXPECT_EQ(ReferenceUnquote(fields[k]), texts[k]);
            }
        }
        EXPECT_EQ(checker.Mismatches(), 0u);
    }
}

// The scan for characters that need quotes works on blocks of bytes; one such
// character at any place of a text of any length must be found.
TEST(FastPath, QuotingFindsALoneSpecialCharacterAtEveryPlace) {
    JobStatsRecord record;
    for (char separator : {',', ';'}) {
        record.SetColumnSeparator(separator);
        for (std::size_t length = 0; length <= 80; ++length) {
            const std::string plain(length, 'p');
            ASSERT_EQ(record.QuoteText(plain), plain) << "length " << length;
            for (std::size_t at = 0; at < length; ++at) {
                for (char special : {separator, '"', '\r'}) {
                    std::string text = plain;
                    text[at] = special;
                    ASSERT_EQ(record.QuoteText(text), ReferenceQuote(text, separator))
                        << "length " << length << ", character " << int(special) << " at " << at;
                }
            }
        }
    }
}

TEST(FastPath, UnquotingFollowsTheRuleForEveryShortField) {
    std::size_t mismatches = 0;
    ForEveryString("a\"x,", 8, [&](const std::string& field) {
        if (ReportRecord::UnquoteText(field) != ReferenceUnquote(field) && ++mismatches <= 10)
            ADD_FAILURE() << "field [" << field << "] unquotes to [" << ReportRecord::UnquoteText(field) << "]";
    });
    EXPECT_EQ(mismatches, 0u);
}

// --- whole records ----------------------------------------------------------------------

// Fields that lines of older layouts, hand edits and damage produce.
std::string AwkwardField(std::mt19937_64& random) {
    static const char* const fields[] = {"",        "0",       "7",         "-3",   "+4",         " 5",
                                         "6 ",      "12a",     "1.5",       "1e3",  "2.5e-07",    "inf",
                                         "nan",     "-1",      "abc",       "YES",  "NO",         "\"YES\"",
                                         "\"a,b\"", "\"x\"\"y\"", "\"open", "a\"b", "\"q\"z",     "\r",
                                         "host-1",  "18446744073709551615", "18446744073709551616",
                                         "9223372036854775807",  "-9223372036854775809", "1700000000",
                                         "2147483648"};
    if (random() % 4 == 0) return std::to_string(random() >> (random() % 64));
    return fields[random() % (sizeof fields / sizeof fields[0])];
}

std::string AwkwardLine(std::mt19937_64& random, std::size_t maxColumns) {
    std::string line;
    for (std::size_t k = random() % (maxColumns + 1), first = 1; k > 0; --k, first = 0) {
        if (!first) line.push_back(',');
        line += AwkwardField(random);
    }
    return line;
}

template <typename T>
T PlainColumn(const std::vector<std::string>& columns, std::size_t index, T fallback) {
    if (index >= columns.size()) return fallback;
    return LexicalCast<T>(columns[index]).value_or(fallback);
}

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(FastPath, JobStatsLinesReadAsThePlainPathReadsThem) {
    std::mt19937_64 random(0x10B5);
    JobStatsRecord record;
    for (int i = 0; i < 20000; ++i) {
        const std::string line = AwkwardLine(random, 20);
        ASSERT_FALSE(record.FromString(line).IsError());
        const std::vector<std::string> c = ReferenceSplit(line, ',');
        const std::string host = c.size() > 11 ? ReferenceUnquote(c[11]) : std::string();
        const bool same =
            record.GetTotalFilesInIndex() == PlainColumn(c, 0, 0ULL) && record.GetJobId() == PlainColumn(c, 1, 0ULL) &&
            record.GetTotalCommands() == PlainColumn(c, 2, 0ULL) && record.GetAddedFiles() == PlainColumn(c, 3, 0ULL) &&
            record.GetDeletedFolders() == PlainColumn(c, 4, 0ULL) &&
            record.GetDeletedFiles() == PlainColumn(c, 5, 0ULL) &&
            SameDouble(record.GetSecondsToPlayback(), PlainColumn(c, 6, 0.0)) &&
            record.GetStartTime() == PlainColumn(c, 7, 0L) && record.GetEndTime() == PlainColumn(c, 8, 0L) &&
            record.GetModifiedFiles() == PlainColumn(c, 9, 0ULL) && record.GetJobType() == PlainColumn(c, 10, 0) &&
            record.GetHostname() == host && record.GetTimestamp() == PlainColumn(c, 12, 0L) &&
            record.GetStatus() == PlainColumn(c, 13, 0) && record.GetRootSize() == PlainColumn(c, 14, 0ULL) &&
            record.GetInvalidMIMEClassification() == PlainColumn(c, 15, 0ULL);
        ASSERT_TRUE(same) << "line [" << line << "]";
    }
}

// The line of a record, built the plain way: each number through a default
// stream, each text quoted when it must be, joined with boost::algorithm::join.
template <typename T>
std::string Plain(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

TEST(FastPath, JobStatsRecordsWriteAsThePlainPathWritesThem) {
    std::mt19937_64 random(0x10B6);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::string hostAlphabet = "abz09-.,\"\r ";
    for (int i = 0; i < 40000; ++i) {
        auto count = [&] { return random() >> (random() % 64); };
        JobStatsRecord r;
        r.SetTotalFilesInIndex(count());
        r.SetJobId(count());
        r.SetTotalCommands(count());
        r.SetAddedFiles(count());
        r.SetDeletedFolders(count());
        r.SetDeletedFiles(count());
        r.SetSecondsToPlayback(random() % 8 == 0 ? FromBits(random())
                                                 : unit(random) * std::pow(10.0, static_cast<int>(random() % 13) - 5));
        r.SetStartTime(static_cast<long>(count()));
        r.SetEndTime(static_cast<long>(random()));
        r.SetModifiedFiles(count());
        r.SetJobType(static_cast<int>(random()));
        std::string host;
        for (std::size_t k = random() % 24; k > 0; --k) host.push_back(hostAlphabet[random() % hostAlphabet.size()]);
        r.SetHostname(host);
        r.SetTimestamp(static_cast<long>(count()));
        r.SetStatus(static_cast<int>(random() % 3));
        r.SetRootSize(count());
        r.SetInvalidMIMEClassification(count());
        const std::vector<std::string> fields = {
            Plain(r.GetTotalFilesInIndex()), Plain(r.GetJobId()),         Plain(r.GetTotalCommands()),
            Plain(r.GetAddedFiles()),        Plain(r.GetDeletedFolders()), Plain(r.GetDeletedFiles()),
            Plain(r.GetSecondsToPlayback()), Plain(r.GetStartTime()),      Plain(r.GetEndTime()),
            Plain(r.GetModifiedFiles()),     Plain(r.GetJobType()),        ReferenceQuote(host, ','),
            Plain(r.GetTimestamp()),         Plain(r.GetStatus()),         Plain(r.GetRootSize()),
            Plain(r.GetInvalidMIMEClassification())};
        ASSERT_EQ(r.ToString(), boost::algorithm::join(fields, ","));
    }
}

// Texts far longer than the line's first estimate, some made of quotes that all
// double, so the line builder has to grow its buffer mid-line. AddDanglingStubsInfo
// writes its line straight from its arguments, finding line breaks in the same
// pass as quotes: its file must be the one AddRecord of the same records writes,
// refusals included.
TEST(FastPath, DanglingStubRecordsWithLongTextsWriteAsThePlainPathWritesThem) {
    std::mt19937_64 random(0x5703);
    const std::string alphabet = "\"\"\",a/x\r ";
    Testing::TempDir dir;
    DanglingStubsReport viaArguments, viaRecords;
    ASSERT_FALSE(viaArguments.Open(dir.File("arguments.csv"), std::ios::out, false).IsError());
    ASSERT_FALSE(viaRecords.Open(dir.File("records.csv"), std::ios::out, false).IsError());
    for (int i = 0; i < 3000; ++i) {
        std::string texts[5];
        for (std::string& text : texts) {
            // Now and then a line far beyond what the builder keeps between lines.
            const std::size_t length =
                i % 500 == 0 ? 100000 : random() % 4 == 0 ? random() % 3000 : random() % 40;
            for (std::size_t k = 0; k < length; ++k) text.push_back(alphabet[random() % alphabet.size()]);
        }
        if (random() % 20 == 0) {
            std::string& text = texts[random() % 5];
            text.insert(random() % (text.size() + 1), 1, random() % 2 ? '\n' : '\0');
        }
        DanglingStubsRecord r;
        r.SetFilePath(texts[0]);
        r.SetStubsVersionGUID(texts[1]);
        r.SetDataVersionGUID(texts[2]);
        r.SetModifiedTimestamp(static_cast<long>(random()));
        r.SetSizeInBytes(random() >> (random() % 64));
        r.SetPulledForwardFromPreviousCycle(random() & 1);
        r.SetStubType(texts[3]);
        r.SetOrigAppGUID(texts[4]);
        const std::vector<std::string> fields = {
            ReferenceQuote(texts[0], ','), ReferenceQuote(texts[1], ','),          ReferenceQuote(texts[2], ','),
            Plain(r.GetModifiedTimestamp()), Plain(r.GetSizeInBytes()),
            r.GetPulledForwardFromPreviousCycle() ? "YES" : "NO", ReferenceQuote(texts[3], ','),
            ReferenceQuote(texts[4], ',')};
        ASSERT_EQ(r.ToString(), boost::algorithm::join(fields, ","));
        const CQiError direct = viaArguments.AddDanglingStubsInfo(
            texts[0], texts[1], texts[2], static_cast<uint64_t>(r.GetModifiedTimestamp()), r.GetSizeInBytes(),
            r.GetPulledForwardFromPreviousCycle(), texts[3], texts[4]);
        const CQiError plain = viaRecords.AddRecord(r);
        ASSERT_EQ(direct.GetErrNo(), plain.GetErrNo()) << direct.Describe();
    }
    ASSERT_FALSE(viaArguments.Close().IsError());
    ASSERT_FALSE(viaRecords.Close().IsError());
    EXPECT_TRUE(Testing::ReadWhole(dir.File("arguments.csv")) == Testing::ReadWhole(dir.File("records.csv")));
}

TEST(FastPath, DiskSamplesReadAsThePlainPathReadsThem) {
    std::mt19937_64 random(0xD15C);
    LogicalDiskRecord record;
    for (int i = 0; i < 40000; ++i) {
        // Mostly nine columns, the only count accepted; blanks around some.
        std::string line = AwkwardLine(random, random() % 3 ? 0 : 12);
        if (line.empty()) {
            for (int k = 0; k < 9; ++k) {
                if (k) line.push_back(',');
                if (random() % 5 == 0) line.push_back(' ');
                line += AwkwardField(random);
                if (random() % 5 == 0) line += " \t";
            }
        }
        LogicalDiskRecord before = record;
        const CQiError err = record.FromString(line);
        std::vector<std::string> c = ReferenceSplit(line, ',');
        if (c.size() != 9) {
            ASSERT_TRUE(err.IsError()) << "line [" << line << "]";
            ASSERT_EQ(record.ToString(), before.ToString()) << "a rejected line changed the record";
            continue;
        }
        for (std::string& column : c) boost::algorithm::trim(column);
        // A sample without a time or a free space cannot be averaged: refused.
        if (!LexicalCast<long>(c[0]) || !LexicalCast<unsigned long long>(c[7])) {
            ASSERT_TRUE(err.IsError()) << "line [" << line << "]";
            ASSERT_EQ(record.ToString(), before.ToString()) << "a rejected line changed the record";
            continue;
        }
        ASSERT_FALSE(err.IsError()) << "line [" << line << "]";
        const bool same = record.GetTime() == PlainColumn(c, 0, 0L) && record.GetDB() == PlainColumn(c, 1, 0ULL) &&
                          record.GetLogs() == PlainColumn(c, 2, 0ULL) &&
                          record.GetReports() == PlainColumn(c, 3, 0ULL) && record.GetV1() == PlainColumn(c, 4, 0ULL) &&
                          record.GetOther() == PlainColumn(c, 5, 0ULL) &&
                          record.GetDiskSize() == PlainColumn(c, 6, 0ULL) &&
                          record.GetDiskFree() == PlainColumn(c, 7, 0ULL) && record.GetAlert() == ReferenceUnquote(c[8]);
        ASSERT_TRUE(same) << "line [" << line << "]";
    }
}

TEST(FastPath, DanglingStubLinesReadAsThePlainPathReadsThem) {
    std::mt19937_64 random(0x5702);
    DanglingStubsRecord record;
    for (int i = 0; i < 40000; ++i) {
        const std::string line = AwkwardLine(random, random() % 2 ? 8 : 10);
        DanglingStubsRecord before = record;
        const CQiError err = record.FromString(line);
        const std::vector<std::string> c = ReferenceSplit(line, ',');
        if (c.size() != 8) {
            ASSERT_TRUE(err.IsError()) << "line [" << line << "]";
            ASSERT_EQ(record.ToString(), before.ToString()) << "a rejected line changed the record";
            continue;
        }
        ASSERT_FALSE(err.IsError()) << "line [" << line << "]";
        const bool same = record.GetFilePath() == ReferenceUnquote(c[0]) &&
                          record.GetStubsVersionGUID() == ReferenceUnquote(c[1]) &&
                          record.GetDataVersionGUID() == ReferenceUnquote(c[2]) &&
                          record.GetModifiedTimestamp() == PlainColumn(c, 3, 0L) &&
                          record.GetSizeInBytes() == PlainColumn(c, 4, 0ULL) &&
                          record.GetPulledForwardFromPreviousCycle() == (c[5] == "YES") &&
                          record.GetStubType() == ReferenceUnquote(c[6]) &&
                          record.GetOrigAppGUID() == ReferenceUnquote(c[7]);
        ASSERT_TRUE(same) << "line [" << line << "]";
    }
}

// The append operations build their record in storage reused from call to call.
// Each line must still be exactly the line of a record built afresh from the
// call's arguments: long texts followed by empty ones leave nothing behind.
TEST(FastPath, AppendedRecordsAreThoseOfFreshlyBuiltRecords) {
    Testing::TempDir dir;
    const std::string a(300, 'a'), b = "b,\"b\"", none;
    const std::string texts[] = {a, none, b, none, a + b, "x", none};
    DanglingStubsReport stubs;
    DroppedFilesReport dropped;
    VerifyArchiveReport verify;
    LogCleanUpReport cleanUp;
    const auto mode = std::ios::out | std::ios::trunc;
    ASSERT_FALSE(stubs.Open(dir.File("stubs.csv"), mode, false).IsError());
    ASSERT_FALSE(dropped.Open(dir.File("dropped.csv"), mode, false).IsError());
    ASSERT_FALSE(verify.Open(dir.File("verify.csv"), mode, false).IsError());
    ASSERT_FALSE(cleanUp.Open(dir.File("cleanup.csv"), mode, false).IsError());
    std::vector<std::string> stubLines, droppedLines, verifyLines, cleanUpLines;
    for (std::size_t i = 0; i < 3 * std::size(texts); ++i) {
        const std::string& t = texts[i % std::size(texts)];
        const std::string& u = texts[(i + 3) % std::size(texts)];
        const uint64_t number = i % 2 ? 0 : (uint64_t{1} << 63) + i;
        ASSERT_FALSE(stubs.AddDanglingStubsInfo(t, u, t, number, number, i % 2, u, t).IsError());
        DanglingStubsRecord stub;
        stub.SetFilePath(t);
        stub.SetStubsVersionGUID(u);
        stub.SetDataVersionGUID(t);
        stub.SetModifiedTimestamp(static_cast<long>(number));
        stub.SetSizeInBytes(number);
        stub.SetPulledForwardFromPreviousCycle(i % 2);
        stub.SetStubType(u);
        stub.SetOrigAppGUID(t);
        stubLines.push_back(stub.ToString());

        ASSERT_FALSE(dropped.AddDroppedFilesInfo(t, u, i % 2, number, number, static_cast<uint32_t>(number), u)
                         .IsError());
        DroppedFilesRecord drop;
        drop.SetFilePath(t);
        drop.SetVersionGuid(u);
        drop.SetStubOrData(i % 2 ? "Stub" : "Data");
        drop.SetModifiedTimestamp(static_cast<long>(number));
        drop.SetSizeInBytes(number);
        drop.SetReasonCode(static_cast<int>(static_cast<uint32_t>(number)));
        drop.SetReasonString(u);
        droppedLines.push_back(drop.ToString());

        ASSERT_FALSE(verify.AddStubsInfo(t, number, number, u).IsError());
        VerifyArchiveRecord verified;
        verified.SetFilePath(t);
        verified.SetModifiedTimestamp(static_cast<long>(number));
        verified.SetSizeInBytes(number);
        verified.SetOriginalAppguid(u);
        verifyLines.push_back(verified.ToString());

        ASSERT_FALSE(cleanUp.AddCleanUpRecord(std::string(t), std::string(u)).IsError());
        LogCleanUpRecord cleaned;
        cleaned.SetJobId(t);
        cleaned.SetReason(u);
        cleanUpLines.push_back(cleaned.ToString());
    }
    ASSERT_FALSE(stubs.Close().IsError());
    ASSERT_FALSE(dropped.Close().IsError());
    ASSERT_FALSE(verify.Close().IsError());
    ASSERT_FALSE(cleanUp.Close().IsError());
    const auto dataLines = [&](const std::string& name) {
        std::vector<std::string> lines;
        std::ifstream in(dir.File(name), std::ios::binary);
        std::string line;
        std::getline(in, line);  // the header line
        while (std::getline(in, line)) lines.push_back(line);
        return lines;
    };
    EXPECT_EQ(dataLines("stubs.csv"), stubLines);
    EXPECT_EQ(dataLines("dropped.csv"), droppedLines);
    EXPECT_EQ(dataLines("verify.csv"), verifyLines);
    EXPECT_EQ(dataLines("cleanup.csv"), cleanUpLines);
}

// --- reading the lines of a file ---------------------------------------------------------

// Files whose lines cross the handler's read blocks at every kind of place: short
// lines, empty lines, carriage returns, lines far longer than a block, with and
// without a final line break.
std::string RandomFileContent(std::mt19937_64& random) {
    std::string content;
    const std::size_t lines = random() % 2000;
    for (std::size_t i = 0; i < lines; ++i) {
        std::size_t length = random() % 300;
        if (random() % 10 == 0) length = 0;
        if (random() % 200 == 0) length = 100000 + random() % 400000;
        const std::size_t at = content.size();
        content.resize(at + length, 'a');
        for (std::size_t k = 0; k < length; k += 1 + random() % 64) content[at + k] = ",\r\"x"[random() % 4];
        content.push_back('\n');
    }
    if (random() % 2 && !content.empty()) content.pop_back();
    return content;
}

// Line breaks are counted in blocks of bytes, with a counter per byte lane that
// is emptied before it can overflow; a file of nothing but line breaks fills
// every counter to its limit. Sizes straddle the block, the counters' limit and
// the read block.
TEST(FastPath, HandlerCountsFilesOfNothingButLineBreaks) {
    Testing::TempDir dir;
    for (std::size_t breaks : {0, 1, 2, 14, 15, 16, 17, 4078, 4079, 4080, 4081, 8161, 131070, 131071, 131072,
                               131073, 3 * 131072 + 4081}) {
        for (const char* line : {"", "x"}) {
            std::string content = "h\n";
            for (std::size_t i = 0; i < breaks; ++i) content.append(line).push_back('\n');
            const std::string path = dir.File("breaks.csv");
            Testing::WriteWhole(path, content);
            ReportFileHandler reader;
            ASSERT_FALSE(reader.Open(path, std::ios::in).IsError());
            std::size_t count = 0;
            ASSERT_FALSE(reader.Count(count).IsError());
            EXPECT_EQ(count, breaks) << breaks << " lines of [" << line << "]";
            reader.Close();
            ReportFileHandler writer;
            ASSERT_FALSE(writer.Open(path, std::ios::out | std::ios::app).IsError());
            EXPECT_EQ(writer.GetLineCount(), breaks) << breaks << " lines of [" << line << "]";
        }
    }
}

TEST(FastPath, HandlerReadsTheLinesGetlineReads) {
    Testing::TempDir dir;
    std::mt19937_64 random(0xF11E);
    for (int round = 0; round < 12; ++round) {
        const std::string path = dir.File("lines-" + std::to_string(round) + ".csv");
        Testing::WriteWhole(path, RandomFileContent(random));

        std::vector<std::string> expected;
        std::ifstream in(path, std::ios::binary);
        for (std::string line; std::getline(in, line);) expected.push_back(line);
        // getline returns a tail without "\n"; the handler leaves it as not yet written.
        const std::string whole = Testing::ReadWhole(path);
        if (!whole.empty() && whole.back() != '\n') expected.pop_back();

        ReportFileHandler handler;
        ASSERT_FALSE(handler.Open(path, std::ios::in).IsError());
        std::vector<std::string> walked;
        ASSERT_FALSE(handler
                         .ForEachLine([&](std::string& line) {
                             walked.push_back(line);
                             return CQiError::Success();
                         })
                         .IsError());
        const std::vector<std::string> dataLines(expected.empty() ? expected.begin() : expected.begin() + 1,
                                                 expected.end());
        ASSERT_EQ(walked.size(), dataLines.size()) << "round " << round;
        EXPECT_TRUE(walked == dataLines) << "round " << round;
        std::size_t count = 0;
        ASSERT_FALSE(handler.Count(count).IsError());
        EXPECT_EQ(count, dataLines.size());

        std::vector<std::string> read;
        for (std::string line; !handler.GetLine(line).IsError();) read.push_back(line);
        EXPECT_TRUE(read == expected) << "round " << round;
        handler.Close();

        // A writer counts the same lines when it opens the file.
        ReportFileHandler writer;
        ASSERT_FALSE(writer.Open(path, std::ios::out | std::ios::app).IsError());
        EXPECT_EQ(writer.GetLineCount(), dataLines.size()) << "round " << round;
    }
}

}  // namespace
}  // namespace I2
