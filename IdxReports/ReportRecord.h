#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>

namespace I2 {

// The base of every report record: one record is one data line. Holds the column
// separator and the field codec that all records share.
//
// Line format: fields joined by the separator. A text field that holds the
// separator, a double quote or a carriage return is written quoted, RFC 4180
// style (wrapped in double quotes, an inner quote doubled); every other field is
// written as it is, so a line that needs no quoting is plain comma-separated text.
//   {"a", "b,c", "d"}     <-> a,"b,c",d
//   {"say \"hi\"", "x"}   <-> "say ""hi""",x
// Line breaks and NUL bytes cannot be represented; the report refuses records
// whose line would hold one.
//
// Records are values, destroyed through their own type (no virtual destructor).
//
// Every concrete record names its column positions (Record::Column::FilePath)
// and offers VisitFields, which calls a FieldVisitor once per column in line
// order, so that a reader of records never restates a layout.
class IDXREPORTS_API ReportRecord {
public:
    // One field of a record: its column name as the report's header spells it,
    // its text without the line's quoting, and whether it is a number (written
    // by FieldToString, never quoted). The views last for the call only.
    using FieldVisitor = std::function<void(std::string_view name, std::string_view text, bool number)>;

    ReportRecord() = default;

    virtual void DebugMe() = 0;
    virtual std::string ToString() = 0;
    virtual CQiError FromString(const std::string& line) = 0;

    void SetColumnSeparator(char separator) { columnSeparator = separator; }
    char GetColumnSeparator() const { return columnSeparator; }

    // Field texts as they stand in the line, quotes included:
    //   a,"b,c",d -> {a, "b,c", d};  a, -> {a, ""};  "" (empty line) -> {""}.
    // A quoted field runs to the quote that is not doubled; the character after
    // it is taken as the separator. An unclosed quote takes the rest of the line.
    std::vector<std::string> Split(const std::string& line);
    // The same fields as views into `line`, into a caller's reused vector.
    void SplitViews(std::string_view line, std::vector<std::string_view>& fields) const;
    // {a, "", b} with ';' -> a;;b. No quoting is added.
    std::string JoinFields(const std::vector<std::string>& fields);

    // `text` as it must stand in a line: quoted when it holds the separator, a
    // double quote or a carriage return; unchanged otherwise.
    std::string QuoteText(const std::string& text) const;
    // The same for any separator, without a record at hand:
    //   QuoteText("b,c", ',') -> "b,c" in quotes;  QuoteText("b;c", ',') -> b;c
    static std::string QuoteText(std::string_view text, char separator);
    void AppendText(std::string& line, std::string_view text) const;
    // The text of a field as Split returned it: a field that opens and closes with
    // a double quote loses them and its doubled quotes are halved; any other field
    // is returned unchanged.
    static std::string UnquoteText(std::string_view field);

    // Plain decimal integers; doubles as printf's %g (6 significant digits).
    // With `quoted`, the value is wrapped in double quotes.
    template <typename T>
    static std::string FieldToString(T value, bool quoted);
    template <typename T>
    static void AppendField(std::string& line, T value);

    // The same texts written into a caller's buffer, so that a whole line is built
    // without a string operation per field. Each returns the end of what it wrote.
    // WriteField needs room for MaxNumberLength characters; WriteText for twice
    // the text's length plus two (every character a doubled quote, and the quotes).
    static constexpr std::size_t MaxNumberLength = 24;
    template <typename T>
    static char* WriteField(char* out, T value);
    char* WriteText(char* out, std::string_view text) const;

    // Exactly what boost::lexical_cast gives in the classic locale, whatever the
    // global locale; the fallback when the text does not convert (empty,
    // surrounding blanks, trailing garbage, out of range). Never throws.
    template <typename T>
    static T StringToField(const std::string& text, T fallback);
    template <typename T>
    static T StringToField(std::string_view text, T fallback);
    // The same rule for a caller that must tell a value from a fallback: false,
    // with `value` untouched, when the text does not convert.
    template <typename T>
    static bool ParseField(std::string_view text, T& value);

protected:
    ~ReportRecord() = default;
    ReportRecord(const ReportRecord&) = default;
    ReportRecord& operator=(const ReportRecord&) = default;

    char columnSeparator = ',';
};

// FieldToString, AppendField, WriteField, StringToField and ParseField exist for these types.
extern template std::string ReportRecord::FieldToString<unsigned long long>(unsigned long long, bool);
extern template std::string ReportRecord::FieldToString<double>(double, bool);
extern template std::string ReportRecord::FieldToString<long>(long, bool);
extern template std::string ReportRecord::FieldToString<int>(int, bool);
extern template void ReportRecord::AppendField<unsigned long long>(std::string&, unsigned long long);
extern template void ReportRecord::AppendField<double>(std::string&, double);
extern template void ReportRecord::AppendField<long>(std::string&, long);
extern template void ReportRecord::AppendField<int>(std::string&, int);
extern template char* ReportRecord::WriteField<unsigned long long>(char*, unsigned long long);
extern template char* ReportRecord::WriteField<double>(char*, double);
extern template char* ReportRecord::WriteField<long>(char*, long);
extern template char* ReportRecord::WriteField<int>(char*, int);
extern template unsigned long long ReportRecord::StringToField<unsigned long long>(const std::string&,
                                                                                   unsigned long long);
extern template double ReportRecord::StringToField<double>(const std::string&, double);
extern template long ReportRecord::StringToField<long>(const std::string&, long);
extern template int ReportRecord::StringToField<int>(const std::string&, int);
extern template unsigned long long ReportRecord::StringToField<unsigned long long>(std::string_view,
                                                                                   unsigned long long);
extern template double ReportRecord::StringToField<double>(std::string_view, double);
extern template long ReportRecord::StringToField<long>(std::string_view, long);
extern template int ReportRecord::StringToField<int>(std::string_view, int);
extern template bool ReportRecord::ParseField<unsigned long long>(std::string_view, unsigned long long&);
extern template bool ReportRecord::ParseField<double>(std::string_view, double&);
extern template bool ReportRecord::ParseField<long>(std::string_view, long&);
extern template bool ReportRecord::ParseField<int>(std::string_view, int&);

}  // namespace I2
