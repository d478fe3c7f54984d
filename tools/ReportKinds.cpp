#include "ReportKinds.h"

#include <algorithm>
#include <ios>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

namespace IdxTool {
namespace {

template <typename ReportT>
using RecordOf = typename ReportT::DataFrame_t::value_type;

// The kind of each report class; the record type and the columns come from it.
template <typename ReportT>
class KindOf final : public ReportKind {
public:
    KindOf(std::string name, bool acceptsLeadingColumns)
        : ReportKind(std::move(name), ReportT().GetHeader(), acceptsLeadingColumns) {}

    bool ReadLine(const std::string& line, std::size_t fileColumns, Row* row, std::string& why) const override {
        // One record per thread, reused from line to line: its strings keep
        // their storage.
        thread_local RecordOf<ReportT> record;
        if (!ReadRecord(record, line, fileColumns, why)) return false;
        if (row != nullptr) {
            row->clear();
            record.VisitFields([row, fileColumns](std::string_view, std::string_view text, bool number) {
                if (row->size() < fileColumns) row->push_back(Cell{std::string(text), number});
            });
        }
        return true;
    }

    std::unique_ptr<ReportRepair> NewRepair() const override;
};

template <typename ReportT>
class RepairOf final : public ReportRepair {
public:
    CQiError LockReport(const std::string& path) override {
        // Open for reading, then Lock(): the report's own handler holds the lock,
        // and the rewrite below runs under it rather than waiting for it.
        CQiError error = report_.Open(path, std::ios::in, false);
        if (!error.IsError()) error = report_.Lock();
        return error.Push(FX_CODE_LOCATION);
    }

    bool KeepLine(const std::string& line, std::size_t fileColumns, std::string& why) override {
        if (!ReadRecord(scratch_, line, fileColumns, why)) return false;
        kept_.push_back(scratch_);
        return true;
    }

    std::size_t KeptCount() const override { return kept_.size(); }

    CQiError RewriteKept(const std::string& path) override {
        CQiError error = report_.Rewrite(path, kept_);
        return error.Push(FX_CODE_LOCATION);
    }

private:
    ReportT report_;
    RecordOf<ReportT> scratch_;
    typename ReportT::DataFrame_t kept_;
};

template <typename ReportT>
std::unique_ptr<ReportRepair> KindOf<ReportT>::NewRepair() const {
    return std::make_unique<RepairOf<ReportT>>();
}

}  // namespace

ReportKind::ReportKind(std::string name, std::vector<std::string> columns, bool acceptsLeadingColumns)
    : name_(std::move(name)),
      columns_(std::move(columns)),
      acceptsLeadingColumns_(acceptsLeadingColumns) {}

bool ReportKind::Accepts(const std::vector<std::string>& header) const {
    if (header.empty() || header.size() > columns_.size()) return false;
    if (header.size() < columns_.size() && !acceptsLeadingColumns_) return false;
    return std::equal(header.begin(), header.end(), columns_.begin());
}

const std::vector<std::unique_ptr<const ReportKind>>& AllReportKinds() {
    static const std::vector<std::unique_ptr<const ReportKind>> kinds = [] {
        std::vector<std::unique_ptr<const ReportKind>> all;
        all.push_back(std::make_unique<KindOf<I2::JobStatsReport>>("job statistics", true));
        all.push_back(std::make_unique<KindOf<I2::LogicalDiskReport>>("index-cache disk samples", false));
        all.push_back(std::make_unique<KindOf<I2::DanglingStubsReport>>("dangling stubs", false));
        all.push_back(std::make_unique<KindOf<I2::DroppedFilesReport>>("dropped files", false));
        all.push_back(std::make_unique<KindOf<I2::LogCleanUpReport>>("log clean-up", false));
        all.push_back(std::make_unique<KindOf<I2::VerifyArchiveReport>>("verify archive", false));
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

template <typename Record>
bool ReadRecord(Record& record, const std::string& line, std::size_t fileColumns, std::string& why) {
    record.SetColumnSeparator(',');
    // Job statistics records read any line (missing columns take defaults), so
    // the field count is what tells a damaged line from a sound one.
    thread_local std::vector<std::string_view> views;  // reused: no allocation per line
    record.SplitViews(line, views);
    const std::size_t fields = views.size();
    if (fields != fileColumns) {
        why = fmt::format("{} field{} where the header has {}", fields, fields == 1 ? "" : "s", fileColumns);
        return false;
    }
    CQiError error = record.FromString(line);
    if (error.IsError()) {
        why = error.GetMessage();
        return false;
    }
    return true;
}

template bool ReadRecord(I2::JobStatsRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::LogicalDiskRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::DanglingStubsRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::DroppedFilesRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::LogCleanUpRecord&, const std::string&, std::size_t, std::string&);
template bool ReadRecord(I2::VerifyArchiveRecord&, const std::string&, std::size_t, std::string&);

}  // namespace IdxTool
