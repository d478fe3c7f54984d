#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <platform/QiError.h>

namespace IdxTool {

// One field as the tool shows it: the field's text (quotes of the line removed)
// and whether it is a number, which JSON output writes unquoted.
struct Cell {
    std::string text;
    bool number = false;
};
using Row = std::vector<Cell>;

class ReportRepair;

// One kind of report file the tool knows. The column names and the fields of a
// line always come from the library's report and record classes, so the tool
// recognises and shows whatever the library writes. A kind holds no state: the
// kinds are made once and shared.
class ReportKind {
public:
    virtual ~ReportKind() = default;
    ReportKind(const ReportKind&) = delete;
    ReportKind& operator=(const ReportKind&) = delete;

    // "dropped files": for messages.
    const std::string& Name() const { return name_; }
    const std::vector<std::string>& Columns() const { return columns_; }

    // Whether a file whose header line holds `header` is of this kind. Job
    // statistics also accept the shorter headers of older files: any leading
    // part of the current column list.
    bool Accepts(const std::vector<std::string>& header) const;

    // Reads one data line of a file whose header has `fileColumns` columns. A
    // line is readable when it has exactly that many fields and its record
    // accepts it. On success `row`, when given, holds the line's first
    // `fileColumns` fields; on failure `why` says what is wrong.
    virtual bool ReadLine(const std::string& line, std::size_t fileColumns, Row* row, std::string& why) const = 0;

    // A repair of one file of this kind, holding no lock yet.
    virtual std::unique_ptr<ReportRepair> NewRepair() const = 0;

protected:
    ReportKind(std::string name, std::vector<std::string> columns, bool acceptsLeadingColumns);

private:
    std::string name_;
    std::vector<std::string> columns_;
    bool acceptsLeadingColumns_;
};

// The state of one repair of one report file: the report's lock and the records
// the rewrite keeps. Use one object per file.
class ReportRepair {
public:
    virtual ~ReportRepair() = default;

    // Takes the cross-process lock of the report at `path`, as every writer of
    // it does, and holds it until this object goes away. Waits as long as
    // IdxNamedMutex's default timeout.
    virtual CQiError LockReport(const std::string& path) = 0;
    // Reads one data line by the rules of ReportKind::ReadLine and, when it is
    // readable, keeps its record for RewriteKept.
    virtual bool KeepLine(const std::string& line, std::size_t fileColumns, std::string& why) = 0;
    virtual std::size_t KeptCount() const = 0;
    // Replaces the report at `path` (as given to LockReport) with the kept
    // records under the current header, atomically: a temporary file, synced,
    // renamed over the report.
    virtual CQiError RewriteKept(const std::string& path) = 0;
};

// Every kind, in a fixed order, made on first use and kept.
const std::vector<std::unique_ptr<const ReportKind>>& AllReportKinds();
// The kind whose header `header` is, or null.
const ReportKind* RecogniseReportKind(const std::vector<std::string>& header);

// Reads one data line into `record`, by the rules of ReportKind::ReadLine.
// Instantiated for every record class of the library.
template <typename Record>
bool ReadRecord(Record& record, const std::string& line, std::size_t fileColumns, std::string& why);

}  // namespace IdxTool
