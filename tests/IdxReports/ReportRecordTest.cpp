#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include <IdxReports/IdxReportsTestSupport.h>
#include <IdxReports/ReportLineTriage.h>

namespace I2 {
namespace {

using Testing::TestRecord;
using Fields = std::vector<std::string>;

template <typename T>
std::string StreamText(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

template <typename T>
void ExpectSameAsStream(T value) {
    const std::string expected = StreamText(value);
    EXPECT_EQ(ReportRecord::FieldToString(value, false), expected) << "value " << expected;
    EXPECT_EQ(ReportRecord::FieldToString(value, true), "\"" + expected + "\"");
    std::string line = "x,";
    ReportRecord::AppendField(line, value);
    EXPECT_EQ(line, "x," + expected);
}

TEST(FieldCodec, NumbersFormatLikeADefaultStream) {
    EXPECT_EQ(ReportRecord::FieldToString(1234567.0, false), "1.23457e+06");
    EXPECT_EQ(ReportRecord::FieldToString(0.5, false), "0.5");
    EXPECT_EQ(ReportRecord::FieldToString(3.0, false), "3");
    EXPECT_EQ(ReportRecord::FieldToString(2.5, false), "2.5");
    EXPECT_EQ(ReportRecord::FieldToString(-3, true), "\"-3\"");
    EXPECT_EQ(ReportRecord::FieldToString(std::numeric_limits<double>::infinity(), false), "inf");
    EXPECT_EQ(ReportRecord::FieldToString(std::numeric_limits<unsigned long long>::max(), false),
              "18446744073709551615");
    EXPECT_EQ(ReportRecord::FieldToString(std::numeric_limits<long>::min(), false), "-9223372036854775808");
}

TEST(FieldCodec, DoublesAreByteIdenticalToTheStreamOverManyValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> awkward = {0.0,
                                         -0.0,
                                         1.0,
                                         -1.0,
                                         0.1,
                                         -0.1,
                                         1e-5,
                                         1e-4,
                                         9.99999e-5,
                                         0.0001,
                                         0.00001,
                                         0.000099999949,
                                         0.0000999999951,
                                         1e5,
                                         1e6,
                                         999999.0,
                                         999999.4,
                                         999999.5,
                                         999999.6,
                                         9999995.0,
                                         100000.0,
                                         123456.5,
                                         1234567.0,
                                         0.5,
                                         2.5,
                                         3.0,
                                         1e15,
                                         1e16,
                                         1e100,
                                         -1e-300,
                                         1.5e-320,
                                         std::numeric_limits<double>::max(),
                                         -std::numeric_limits<double>::max(),
                                         std::numeric_limits<double>::min(),
                                         std::numeric_limits<double>::denorm_min(),
                                         std::numeric_limits<double>::epsilon(),
                                         inf,
                                         -inf,
                                         nan,
                                         -nan};
    for (double value : awkward) ExpectSameAsStream(value);

    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    for (int i = 0; i < 20000; ++i) {
        const double value = mantissa(random) * std::pow(10.0, exponent(random));
        ExpectSameAsStream(value);
        ExpectSameAsStream(std::round(value * 1e6) / 1e6);  // many values on rounding edges
    }
}

TEST(FieldCodec, IntegersAreByteIdenticalToTheStreamAtTheirExtremes) {
    for (int value : {0, 1, -1, 42, std::numeric_limits<int>::max(), std::numeric_limits<int>::min()})
        ExpectSameAsStream(value);
    for (long value : {0L, -7L, std::numeric_limits<long>::max(), std::numeric_limits<long>::min()})
        ExpectSameAsStream(value);
    for (unsigned long long value : {0ULL, 10ULL, std::numeric_limits<unsigned long long>::max()})
        ExpectSameAsStream(value);

    std::mt19937_64 random(7);
    for (int i = 0; i < 5000; ++i) {
        const unsigned long long bits = random();
        ExpectSameAsStream(bits >> (bits % 64));
        ExpectSameAsStream(static_cast<long>(bits));
        ExpectSameAsStream(static_cast<int>(bits));
    }
}

TEST(FieldCodec, TextsThatDoNotConvertGiveTheFallback) {
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string(""), 7), 7);
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string("12"), 7), 12);
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string(" 12"), 5), 5);
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string("12 "), 5), 5);
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string("12a"), 5), 5);
    EXPECT_EQ(ReportRecord::StringToField<int>(std::string("2147483648"), 5), 5);
    EXPECT_EQ(ReportRecord::StringToField<long>(std::string("-9223372036854775808"), 5L),
              std::numeric_limits<long>::min());
    EXPECT_EQ(ReportRecord::StringToField<double>(std::string("1.23457e+06"), 0.0), 1234570.0);
    EXPECT_EQ(ReportRecord::StringToField<double>(std::string("abc"), 4.5), 4.5);
    EXPECT_EQ(ReportRecord::StringToField<unsigned long long>(std::string_view("18446744073709551616"), 3ULL),
              3ULL);
}

// Whatever path a text takes inside StringToField, the result must be exactly
// lexical_cast's, or the fallback where lexical_cast throws.
template <typename T>
void ExpectLexicalCastResult(const std::string& text) {
    const T fallback = static_cast<T>(77);
    T expected = fallback;
    try {
        expected = boost::lexical_cast<T>(text);
    } catch (const boost::bad_lexical_cast&) {
    }
    const T got = ReportRecord::StringToField<T>(text, fallback);
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(got)) << "text [" << text << "]";
            return;
        }
    }
    EXPECT_EQ(got, expected) << "text [" << text << "]";
    EXPECT_EQ(ReportRecord::StringToField<T>(std::string_view(text), fallback), got);
}

TEST(FieldCodec, ConversionAgreesWithLexicalCastOnEveryKindOfText) {
    std::vector<std::string> texts = {"",
                                      "0",
                                      "00",
                                      "007",
                                      "1",
                                      "9",
                                      "12",
                                      "+5",
                                      "-5",
                                      "-0",
                                      "+0",
                                      " 1",
                                      "1 ",
                                      "1a",
                                      "a1",
                                      "1.",
                                      ".5",
                                      "1e5",
                                      "1E-3",
                                      "inf",
                                      "-inf",
                                      "nan",
                                      "INF",
                                      "0x10",
                                      "--1",
                                      "+-1",
                                      "1,5",
                                      "\t1",
                                      "1\r",
                                      "999999999",
                                      "1000000000",
                                      "2147483647",
                                      "2147483648",
                                      "-2147483648",
                                      "-2147483649",
                                      "999999999999999",
                                      "1000000000000000",
                                      "9999999999999999",
                                      "123456789012345678",
                                      "999999999999999999",
                                      "9223372036854775807",
                                      "9223372036854775808",
                                      "-9223372036854775808",
                                      "9999999999999999999",
                                      "18446744073709551615",
                                      "18446744073709551616",
                                      "-1",
                                      "0000000000000000000000012",
                                      "99999999999999999999999999",
                                      "1.7976931348623157e308",
                                      "1e309"};
    std::mt19937_64 random(99);
    for (int i = 0; i < 2000; ++i) {
        std::string digits = std::to_string(random() >> (random() % 64));
        digits.resize(1 + random() % digits.size());
        texts.push_back(digits);
    }
    for (const std::string& text : texts) {
        ExpectLexicalCastResult<int>(text);
        ExpectLexicalCastResult<long>(text);
        ExpectLexicalCastResult<unsigned long long>(text);
        ExpectLexicalCastResult<double>(text);
        // A rewrite sets a row aside when a number column holds no number: it
        // must never take a text the records read as one for none.
        if (ReportRecord::StringToField<double>(text, 77.0) != 77.0 ||
            ReportRecord::StringToField<long>(text, 77L) != 77L) {
            EXPECT_TRUE(IsNumberText(text)) << "text [" << text << "]";
        }
    }
    for (const char* none : {"", " 1", "1 ", "1a", "a1", "0x10", "--1", "+-1", "1,5", "\t1", "1\r", "e5", "1e", "."}) {
        EXPECT_FALSE(IsNumberText(none)) << "text [" << none << "]";
    }
}

struct SplitCase {
    std::string line;
    Fields fields;
};

TEST(FieldCodec, SplitKeepsQuotedFieldsWhole) {
    const std::vector<SplitCase> cases = {
        {"", {""}},
        {"a", {"a"}},
        {"a,,b", {"a", "", "b"}},
        {",a", {"", "a"}},
        {"a,", {"a", ""}},
        {",", {"", ""}},
        {"a,\"b,c\",d", {"a", "\"b,c\"", "d"}},
        {"a,\"b,c\"", {"a", "\"b,c\""}},
        {"\"b,c\",", {"\"b,c\"", ""}},
        {"\"ab\"x,c", {"\"ab\"", "", "c"}},
        {"\"say \"\"hi\"\"\",x", {"\"say \"\"hi\"\"\"", "x"}},
        {"\"\"", {"\"\""}},
        {"\"\",\"\"", {"\"\"", "\"\""}},
        {"\"\"\"\"", {"\"\"\"\""}},
        {"a\"b,c", {"a\"b", "c"}},
        {"a,\"unclosed,rest", {"a", "\"unclosed,rest"}},
        {"a,\"", {"a", "\""}},
        {"a,\"x\"\"", {"a", "\"x\"\""}},
        {" a , b ", {" a ", " b "}},
        {"a\r", {"a\r"}},
    };
    TestRecord record;
    std::vector<std::string_view> views;
    for (const SplitCase& c : cases) {
        EXPECT_EQ(record.Split(c.line), c.fields) << "line [" << c.line << "]";
        record.SplitViews(c.line, views);
        EXPECT_EQ(Fields(views.begin(), views.end()), c.fields) << "line [" << c.line << "]";
    }
}

TEST(FieldCodec, OtherSeparatorsSplitAndJoinButTheQuoteStaysDoubleQuote) {
    TestRecord record;
    record.SetColumnSeparator(';');
    EXPECT_EQ(record.Split("a;\"b;c\";d,e"), (Fields{"a", "\"b;c\"", "d,e"}));
    EXPECT_EQ(record.JoinFields({"a", "", "b"}), "a;;b");
    EXPECT_EQ(record.QuoteText("d,e"), "d,e");
    EXPECT_EQ(record.QuoteText("d;e"), "\"d;e\"");
    EXPECT_EQ(ReportRecord::QuoteText("d,e", ';'), "d,e");
    EXPECT_EQ(ReportRecord::QuoteText("d;e", ';'), "\"d;e\"");
}

TEST(FieldCodec, JoinAddsOnlySeparators) {
    TestRecord record;
    EXPECT_EQ(record.JoinFields({}), "");
    EXPECT_EQ(record.JoinFields({"\"q\""}), "\"q\"");
    EXPECT_EQ(record.JoinFields({"a", "b,c", ""}), "a,b,c,");
}

TEST(FieldCodec, TextNeedingNoQuotesIsWrittenAsItIs) {
    TestRecord record;
    for (const std::string text : {"", "hostA", "a b", "x;y", "tab\there", "ünï"}) {
        EXPECT_EQ(record.QuoteText(text), text);
        std::string line = "1,";
        record.AppendText(line, text);
        EXPECT_EQ(line, "1," + text);
    }
    EXPECT_EQ(record.QuoteText("b,c"), "\"b,c\"");
    EXPECT_EQ(record.QuoteText("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(record.QuoteText("cr\r"), "\"cr\r\"");
}

// Text fields holding the separator, a quote or a carriage return used to be
// written raw and read back as other fields or other text.
TEST(FieldCodec, TextThatBreaksTheLineFormatRoundTrips) {
    const Fields awkward = {"plain",  "a,b",       ",",        ",,",      "\"",   "\"\"",
                            "\"lead", "trail\"",   "mid\"dle", "\"a,b\"", "cr\r", "\rmid\r",
                            "",       "x\"\",\"y", " spaced ", "\"\"\"",  "end,"};
    TestRecord record;
    std::string line;
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        if (i) line.push_back(',');
        record.AppendText(line, awkward[i]);
    }
    std::vector<std::string_view> fields;
    record.SplitViews(line, fields);
    ASSERT_EQ(fields.size(), awkward.size()) << line;
    for (std::size_t i = 0; i < awkward.size(); ++i) {
        EXPECT_EQ(ReportRecord::UnquoteText(fields[i]), awkward[i]) << "field " << i << " of " << line;
        EXPECT_EQ(ReportRecord::UnquoteText(record.QuoteText(awkward[i])), awkward[i]);
        EXPECT_EQ(ReportRecord::QuoteText(awkward[i], ','), record.QuoteText(awkward[i]));
    }

    for (const std::string& text : awkward) {
        TestRecord written(5, text, 1.5);
        TestRecord read;
        ASSERT_FALSE(read.FromString(written.ToString()).IsError()) << written.ToString();
        EXPECT_EQ(read.id, 5);
        EXPECT_EQ(read.name, text);
        EXPECT_EQ(read.value, 1.5);
    }
}

TEST(FieldCodec, UnquoteLeavesFieldsThatAreNotQuotedAlone) {
    EXPECT_EQ(ReportRecord::UnquoteText("abc"), "abc");
    EXPECT_EQ(ReportRecord::UnquoteText("a\"\"b"), "a\"\"b");
    EXPECT_EQ(ReportRecord::UnquoteText("\"unclosed"), "\"unclosed");
    EXPECT_EQ(ReportRecord::UnquoteText("\""), "\"");
    EXPECT_EQ(ReportRecord::UnquoteText("\"\""), "");
    EXPECT_EQ(ReportRecord::UnquoteText("\"a\"\"b\""), "a\"b");
}

}  // namespace
}  // namespace I2
