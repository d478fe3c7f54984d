#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>
#include <IdxReports/ReportFileReplacement.h>
#include <IdxReports/ReportRecord.h>

namespace I2 {

class ReportFileHandler;
}  // namespace I2
class CQiDirectoryHandle;
namespace I2 {

// Whether `Record` shows its fields (every record of this library does; a
// caller's own record type need not).
template <typename Record, typename = void>
struct HasFieldVisitor : std::false_type {};
template <typename Record>
struct HasFieldVisitor<Record, std::void_t<decltype(std::declval<const Record&>().VisitFields(
                                   std::declval<const ReportRecord::FieldVisitor&>()))>> : std::true_type {};

// Which columns of a record are numbers, and what a default record writes in
// each, learnt from the record itself (VisitFields) so that no layout is stated
// twice. Used to tell a record line from a line that only looks like one.
struct IDXREPORTS_API ReportLineLayout {
    std::vector<bool> numeric;
    std::vector<std::string> defaults;

    template <typename Record>
    static ReportLineLayout Of(const Record& defaultRecord, char separator) {
        ReportLineLayout layout;
        defaultRecord.VisitFields([&](std::string_view, std::string_view text, bool number) {
            layout.numeric.push_back(number);
            layout.defaults.push_back(number ? std::string(text) : Record::QuoteText(text, separator));
        });
        return layout;
    }

    // Whether `fields` (a line as the record splits it) is a record of a file
    // whose header has `fileColumns` columns: that many fields, and each number
    // column empty or a number. "1,2,3" under a 14-column header is not; nor is
    // a row whose number column holds " 4116".
    bool IsRecord(const std::vector<std::string_view>& fields, std::size_t fileColumns) const;
    // The record line in this layout: the line's own field texts, byte for byte,
    // in the columns it has, the defaults in the columns it lacks (an older,
    // shorter layout), joined by `separator`. Columns beyond the layout's are
    // dropped. "7,x" of two columns in a layout of {n, t, n} -> "7,x,0".
    std::string Convert(const std::vector<std::string_view>& fields, char separator) const;
};

// Splits the lines of an old file with `Record`'s own split (quotes kept) and
// tells its records from other lines, the file's first line giving the number
// of fields a record has there.
template <typename Record>
class ReportRowSplitter {
public:
    ReportRowSplitter(const Record& record, char separator)
        : record(record), layout(ReportLineLayout::Of(record, separator)) {}

    // Splits `line` into Fields(); whether they are a record under `header`,
    // which is split on the first call only.
    bool IsRecord(std::string_view header, std::string_view line) {
        if (!headerSplit) {
            record.SplitViews(header, fields);
            fileColumns = fields.size();
            headerSplit = true;
        }
        record.SplitViews(line, fields);
        return layout.IsRecord(fields, fileColumns);
    }
    const std::vector<std::string_view>& Fields() const { return fields; }
    const ReportLineLayout& Layout() const { return layout; }

private:
    const Record& record;
    const ReportLineLayout layout;
    std::vector<std::string_view> fields;
    std::size_t fileColumns = 0;
    bool headerSplit = false;
};

// Whether `text` is a number as records write them: an optional sign, digits
// with an optional fraction and exponent, or inf/nan; nothing around it.
//   "42", "-5", "2.5", "1.5e+07", "inf" -> true;  " 4116", "4116 ", "", "0x1F", "1,5" -> false
// Deliberately small and exact: it judges whether a row may be rewritten, not
// the value it holds.
IDXREPORTS_API bool IsNumberText(std::string_view text);

// What a rewrite does with one whole data line of the old file.
enum class ReportLineFate { Keep, Replace, SetAside };

// Rewrites that change only what they are asked to: every other line is copied
// byte for byte, and a line that cannot stay (a row that is no record, the
// bytes after the last "\n" that a crash left) goes to PATH.bad with its line
// number, synced there before the report is replaced. The report is replaced
// through ReportFileReplacement, atomically, never cut in place.
class IDXREPORTS_API ReportLineTriage final {
public:
    // Decides one data line (without its "\n"); `header` is the old file's first
    // line. Fills `replacement` for Replace.
    using Judge_t =
        std::function<ReportLineFate(std::string_view header, std::string_view line, std::string& replacement)>;

    ReportLineTriage() = delete;

    // Replaces the report at `path` (locked as ReportFileReplacement::Replace
    // locks it) with `headerLine`, or the old first line when null, and the data
    // lines as `judge` says. `moved` is how many lines went to PATH.bad, the
    // unterminated tail among them; `who` names the mover there.
    static CQiError Sort(ReportFileHandler& own, const std::string& path, const std::string* headerLine,
                         const Judge_t& judge, const char* who, std::size_t& moved);

    // ReportFileReplacement::Rewrite, with the old file's unterminated tail
    // moved to PATH.bad rather than lost with the old file.
    static CQiError Rewrite(ReportFileHandler& own, const std::string& path, const std::string& headerLine,
                            const ReportFileReplacement::LineWriter_t& writeLines, const char* who,
                            std::size_t& moved);

    // For a writer's Open, which holds the lock of `path`: bytes after the last
    // "\n" are what a killed writer left, so they move to PATH.bad and the
    // report is replaced by its whole lines, unchanged. A report holding only
    // an unterminated header line is left empty. Nothing happens (`moved` 0)
    // without such bytes; the test costs one read of the last byte.
    // The report is `name` in `dir`, the writer's own descriptor of its
    // directory: nothing is looked up by path.
    static CQiError MoveTornTail(CQiDirectoryHandle& dir, const std::string& name, std::size_t& moved);
};

}  // namespace I2
