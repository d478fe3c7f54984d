#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace IdxTool {

// One field as the tool shows it: the field's text (quotes of the line removed)
// and whether it is a number, which JSON output writes unquoted. A number's text
// is the one the line holds, never the value re-formatted: "12345678.5" stays
// so, where the library would write 1.23457e+07.
struct Cell {
    std::string text;
    bool number = false;
};
using Row = std::vector<Cell>;

// How a column's field converts, found out from the record class itself (see
// ReportKinds.cpp), so that the tool never restates a layout.
enum class ColumnType { Text, Unsigned, Long, Int, Double };

// One kind of report file the tool knows. The column names and the fields of a
// line always come from the library's report and record classes, so the tool
// recognises and shows whatever the library writes. A kind holds no state: the
// kinds are made once and shared.
class ReportKind {
public:
    static constexpr std::size_t kNoColumn = static_cast<std::size_t>(-1);

    virtual ~ReportKind() = default;
    ReportKind(const ReportKind&) = delete;
    ReportKind& operator=(const ReportKind&) = delete;

    // "dropped files": for messages.
    const std::string& Name() const { return name_; }
    const std::vector<std::string>& Columns() const { return columns_; }
    const std::vector<ColumnType>& Types() const { return types_; }
    // Columns that hold seconds since 1970 (UTC), shown as date-times in tables.
    bool IsTimeColumn(std::size_t column) const;
    // The column that dates a record, for --since/--until; kNoColumn for a kind
    // whose records carry no time.
    std::size_t RecordTimeColumn() const { return recordTime_; }

    // Whether a file whose header line holds `header` is of this kind. Job
    // statistics also accept the shorter headers of older files: any leading
    // part of the current column list.
    bool Accepts(const std::vector<std::string>& header) const;

    // Reads one data line of a file whose header has `fileColumns` columns. A
    // line is readable when it has exactly that many fields, each number field
    // is empty or a number its column can hold, and its record accepts it. On
    // success `row`, when given, holds the line's first `fileColumns` fields;
    // on failure `why` says what is wrong:
    //   column "Job Id": "notanumber" is not a number
    virtual bool ReadLine(const std::string& line, std::size_t fileColumns, Row* row, std::string& why) const = 0;

    // Checks the number fields of a line already split into `fields`.
    bool NumbersConvert(const std::vector<std::string_view>& fields, std::string& why) const;

protected:
    ReportKind(std::string name, std::vector<std::string> columns, bool acceptsLeadingColumns,
               std::vector<std::size_t> timeColumns, std::size_t recordTime);
    std::vector<ColumnType> types_;

private:
    std::string name_;
    std::vector<std::string> columns_;
    bool acceptsLeadingColumns_;
    std::vector<std::size_t> timeColumns_;
    std::size_t recordTime_;
};

// Every kind, in a fixed order, made on first use and kept.
const std::vector<std::unique_ptr<const ReportKind>>& AllReportKinds();
// The kind whose header `header` is, or null.
const ReportKind* RecogniseReportKind(const std::vector<std::string>& header);

// Whether `text` is a number of `type` read exactly: no blanks, no sign on an
// unsigned number, in range. Empty is not a number (callers decide about it).
bool IsNumberOf(ColumnType type, std::string_view text, std::string* why);

// Reads one data line into `record`, by the rules of ReportKind::ReadLine.
// Instantiated for the record classes whose files the tool reads record by record.
template <typename Record>
bool ReadRecord(Record& record, const std::string& line, std::size_t fileColumns, std::string& why);

}  // namespace IdxTool
