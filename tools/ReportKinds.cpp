#include "ReportKinds.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

#include "Output.h"

namespace IdxTool {
namespace {

template <typename ReportT>
using RecordOf = typename ReportT::DataFrame_t::value_type;

// A field's text for a message: escaped, and cut when long.
//   "notanumber" -> "notanumber";  a million 9s -> "99999999999999999999..." (1000000 bytes)
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 32;
    if (text.size() <= kShown) return fmt::format("\"{}\"", Printable(std::string(text)));
    return fmt::format("\"{}...\" ({} bytes)", Printable(std::string(text.substr(0, kShown))), text.size());
}

// The text of each field of `record` as it reads back, in column order.
template <typename Record>
std::vector<std::pair<std::string, bool>> Visited(const Record& record) {
    std::vector<std::pair<std::string, bool>> fields;
    record.VisitFields([&fields](std::string_view, std::string_view text, bool number) {
        fields.emplace_back(std::string(text), number);
    });
    return fields;
}

// The type of each column, learnt from how the record reads a few probe lines:
// a column that reads "0.5" back holds doubles, one that reads "-1" back is
// signed (else it wrapped: unsigned), and a signed one that keeps 2147483648 is
// a long. Every record reads any text into its text fields, so the probes
// always read.
template <typename Record>
std::vector<ColumnType> ProbeTypes(std::size_t columns) {
    auto probe = [columns](const std::string& value) {
        std::string line;
        for (std::size_t i = 0; i < columns; ++i) line += (i == 0 ? "" : ",") + value;
        Record record;
        record.SetColumnSeparator(',');
        (void)record.FromString(line);
        return Visited(record);
    };
    const auto half = probe("0.5");
    const auto minusOne = probe("-1");
    const auto large = probe("2147483648");
    std::vector<ColumnType> types(columns, ColumnType::Text);
    for (std::size_t i = 0; i < columns && i < half.size(); ++i) {
        if (!half[i].second) continue;
        if (half[i].first == "0.5")
            types[i] = ColumnType::Double;
        else if (minusOne[i].first != "-1")
            types[i] = ColumnType::Unsigned;
        else
            types[i] = large[i].first == "2147483648" ? ColumnType::Long : ColumnType::Int;
    }
    return types;
}

template <typename T>
bool Converts(std::string_view text, std::string* why) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error == std::errc::result_out_of_range && stop == end) {
        if (why) *why = fmt::format("{} is out of range for the column", Quoted(text));
        return false;
    }
    if (error != std::errc() || stop != end) {
        if (why) *why = fmt::format("{} is not a number", Quoted(text));
        return false;
    }
    return true;
}

// Reads `line` into `record` and, with `row`, keeps the line's own texts.
template <typename Record>
bool ReadInto(Record& record, const ReportKind& kind, const std::string& line, std::size_t fileColumns, Row* row,
              std::string& why);

// The kind of each report class; the record type and the columns come from it.
template <typename ReportT>
class KindOf final : public ReportKind {
public:
    KindOf(std::string name, bool acceptsLeadingColumns, std::vector<std::size_t> timeColumns,
           std::size_t recordTime)
        : ReportKind(std::move(name), ReportT().GetHeader(), acceptsLeadingColumns, std::move(timeColumns),
                     recordTime) {
        types_ = ProbeTypes<RecordOf<ReportT>>(Columns().size());
        instance = this;
    }

    bool ReadLine(const std::string& line, std::size_t fileColumns, Row* row, std::string& why) const override {
        // One record per thread, reused from line to line: its strings keep
        // their storage.
        thread_local RecordOf<ReportT> record;
        return ReadInto(record, *this, line, fileColumns, row, why);
    }

    static const KindOf* instance;
};

template <typename ReportT>
const KindOf<ReportT>* KindOf<ReportT>::instance = nullptr;

template <typename Record>
bool ReadInto(Record& record, const ReportKind& kind, const std::string& line, std::size_t fileColumns, Row* row,
              std::string& why) {
    record.SetColumnSeparator(',');
    if (!line.empty() && line.back() == '\r') {
        why = "the line ends in CR LF (a Windows line end), which report lines never do";
        return false;
    }
    // Job statistics records read any line (missing columns take defaults), so
    // the field count is what tells a damaged line from a sound one.
    thread_local std::vector<std::string_view> views;  // reused: no allocation per line
    record.SplitViews(line, views);
    const std::size_t fields = views.size();
    if (fields != fileColumns) {
        why = fmt::format("{} field{} where the header has {}", fields, fields == 1 ? "" : "s", fileColumns);
        return false;
    }
    if (!kind.NumbersConvert(views, why)) return false;
    CQiError error = record.FromString(line);
    if (error.IsError()) {
        why = error.GetMessage();
        return false;
    }
    // A text field must read back as it stands: otherwise the record, and any
    // rewrite of it, would hold another value than the line.
    std::size_t column = 0;
    bool same = true;
    record.VisitFields([&](std::string_view name, std::string_view text, bool number) {
        if (!same || column >= fileColumns) return;
        const std::string_view field = views[column++];
        if (number) return;
        const std::string original = I2::ReportRecord::UnquoteText(field);
        if (original != text) {
            why = fmt::format("column \"{}\": {} reads as {}", name, Quoted(original), Quoted(text));
            same = false;
        }
    });
    if (!same) return false;
    if (row != nullptr) {
        row->resize(fileColumns);
        const auto& types = kind.Types();
        for (std::size_t i = 0; i < fileColumns; ++i) {
            const bool number = types[i] != ColumnType::Text;
            (*row)[i].number = number;
            if (number)
                (*row)[i].text.assign(views[i]);
            else
                (*row)[i].text = I2::ReportRecord::UnquoteText(views[i]);
        }
    }
    return true;
}

}  // namespace

ReportKind::ReportKind(std::string name, std::vector<std::string> columns, bool acceptsLeadingColumns,
                       std::vector<std::size_t> timeColumns, std::size_t recordTime)
    : name_(std::move(name)),
      columns_(std::move(columns)),
      acceptsLeadingColumns_(acceptsLeadingColumns),
      timeColumns_(std::move(timeColumns)),
      recordTime_(recordTime) {}

bool ReportKind::IsTimeColumn(std::size_t column) const {
    return std::find(timeColumns_.begin(), timeColumns_.end(), column) != timeColumns_.end();
}

bool ReportKind::Accepts(const std::vector<std::string>& header) const {
    if (header.empty() || header.size() > columns_.size()) return false;
    if (header.size() < columns_.size() && !acceptsLeadingColumns_) return false;
    return std::equal(header.begin(), header.end(), columns_.begin());
}

bool ReportKind::NumbersConvert(const std::vector<std::string_view>& fields, std::string& why) const {
    for (std::size_t i = 0; i < fields.size() && i < types_.size(); ++i) {
        // An empty number field is a value not given; the record reads its default.
        if (types_[i] == ColumnType::Text || fields[i].empty()) continue;
        std::string reason;
        if (!IsNumberOf(types_[i], fields[i], &reason)) {
            why = fmt::format("column \"{}\": {}", Printable(columns_[i]), reason);
            return false;
        }
    }
    return true;
}

bool IsNumberOf(ColumnType type, std::string_view text, std::string* why) {
    switch (type) {
        case ColumnType::Unsigned:
            if (!text.empty() && text[0] == '-') {
                if (why) *why = fmt::format("{} is negative where the column holds unsigned numbers", Quoted(text));
                return false;
            }
            return Converts<unsigned long long>(text, why);
        case ColumnType::Long:
            return Converts<long>(text, why);
        case ColumnType::Int:
            return Converts<int>(text, why);
        case ColumnType::Double:
            return Converts<double>(text, why);
        case ColumnType::Text:
            break;
    }
    return true;
}

const std::vector<std::unique_ptr<const ReportKind>>& AllReportKinds() {
    static const std::vector<std::unique_ptr<const ReportKind>> kinds = [] {
        using Jobs = I2::JobStatsRecord::Column;
        using Disk = I2::LogicalDiskRecord::Column;
        using Stubs = I2::DanglingStubsRecord::Column;
        using Dropped = I2::DroppedFilesRecord::Column;
        using Verify = I2::VerifyArchiveRecord::Column;
        constexpr std::size_t none = ReportKind::kNoColumn;
        std::vector<std::unique_ptr<const ReportKind>> all;
        all.push_back(std::make_unique<KindOf<I2::JobStatsReport>>(
            "job statistics", true, std::vector<std::size_t>{Jobs::StartTime, Jobs::EndTime, Jobs::Timestamp},
            Jobs::Timestamp));
        all.push_back(std::make_unique<KindOf<I2::LogicalDiskReport>>(
            "index-cache disk samples", false, std::vector<std::size_t>{Disk::Time}, Disk::Time));
        all.push_back(std::make_unique<KindOf<I2::DanglingStubsReport>>(
            "dangling stubs", false, std::vector<std::size_t>{Stubs::ModifiedTimestamp}, Stubs::ModifiedTimestamp));
        all.push_back(std::make_unique<KindOf<I2::DroppedFilesReport>>(
            "dropped files", false, std::vector<std::size_t>{Dropped::ModifiedTimestamp},
            Dropped::ModifiedTimestamp));
        all.push_back(std::make_unique<KindOf<I2::LogCleanUpReport>>("log clean-up", false,
                                                                     std::vector<std::size_t>{}, none));
        all.push_back(std::make_unique<KindOf<I2::VerifyArchiveReport>>(
            "verify archive", false, std::vector<std::size_t>{Verify::ModifiedTimestamp},
            Verify::ModifiedTimestamp));
        return all;
    }();
    return kinds;
}

const ReportKind* RecogniseReportKind(const std::vector<std::string>& header) {
    for (const auto& kind : AllReportKinds()) {
        if (kind->Accepts(header)) return kind.get();
    }
    return nullptr;
}

// The report class of the records ReadRecord is used for.
template <typename Record>
struct ReportOf;
template <>
struct ReportOf<I2::JobStatsRecord> {
    using type = I2::JobStatsReport;
};
template <>
struct ReportOf<I2::LogicalDiskRecord> {
    using type = I2::LogicalDiskReport;
};

template <typename Record>
bool ReadRecord(Record& record, const std::string& line, std::size_t fileColumns, std::string& why) {
    AllReportKinds();  // makes the kinds, and so each KindOf's instance
    return ReadInto(record, *KindOf<typename ReportOf<Record>::type>::instance, line, fileColumns, nullptr, why);
}

template bool ReadRecord(I2::JobStatsRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::LogicalDiskRecord&, const std::string&, std::size_t, std::string&);

}  // namespace IdxTool
