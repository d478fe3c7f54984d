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

using I2::ReportRecord;

template <typename T>
Cell Number(T value) {
    return Cell{ReportRecord::FieldToString<T>(value, false), true};
}

Cell Text(const std::string& value) { return Cell{value, false}; }

Row CellsOf(const I2::JobStatsRecord& r) {
    return {Number(r.GetTotalFilesInIndex()), Number(r.GetJobId()),          Number(r.GetTotalCommands()),
            Number(r.GetAddedFiles()),        Number(r.GetDeletedFolders()), Number(r.GetDeletedFiles()),
            Number(r.GetSecondsToPlayback()), Number(r.GetStartTime()),      Number(r.GetEndTime()),
            Number(r.GetModifiedFiles()),     Number(r.GetJobType()),        Text(r.GetHostname()),
            Number(r.GetTimestamp()),         Number(r.GetStatus()),         Number(r.GetRootSize()),
            Number(r.GetInvalidMIMEClassification())};
}

Row CellsOf(const I2::LogicalDiskRecord& r) {
    return {Number(r.GetTime()),  Number(r.GetDB()),       Number(r.GetLogs()),
            Number(r.GetReports()), Number(r.GetV1()),     Number(r.GetOther()),
            Number(r.GetDiskSize()), Number(r.GetDiskFree()), Text(r.GetAlert())};
}

Row CellsOf(const I2::DanglingStubsRecord& r) {
    return {Text(r.GetFilePath()),
            Text(r.GetStubsVersionGUID()),
            Text(r.GetDataVersionGUID()),
            Number(r.GetModifiedTimestamp()),
            Number(r.GetSizeInBytes()),
            Text(r.GetPulledForwardFromPreviousCycle() ? "YES" : "NO"),
            Text(r.GetStubType()),
            Text(r.GetOrigAppGUID())};
}

Row CellsOf(const I2::DroppedFilesRecord& r) {
    return {Text(r.GetFilePath()),         Text(r.GetVersionGuid()),   Text(r.GetStubOrData()),
            Number(r.GetModifiedTimestamp()), Number(r.GetSizeInBytes()), Number(r.GetReasonCode()),
            Text(r.GetReasonString())};
}

Row CellsOf(const I2::LogCleanUpRecord& r) { return {Text(r.GetJobId()), Text(r.GetReason())}; }

Row CellsOf(const I2::VerifyArchiveRecord& r) {
    return {Text(r.GetFilePath()), Number(r.GetModifiedTimestamp()), Number(r.GetSizeInBytes()),
            Text(r.GetOriginalAppguid())};
}

// A kind for each report class; the record type and the columns come from it.
template <typename ReportT>
class KindOf final : public ReportKind {
public:
    using Record = typename ReportT::DataFrame_t::value_type;

    KindOf(std::string name, bool acceptsLeadingColumns)
        : ReportKind(std::move(name), ReportT().GetHeader(), acceptsLeadingColumns) {}

    bool ReadLine(const std::string& line, std::size_t fileColumns, Row* row, std::string& why) override {
        if (!ReadRecord(scratch_, line, fileColumns, why)) return false;
        if (row != nullptr) {
            *row = CellsOf(scratch_);
            if (row->size() > fileColumns) row->resize(fileColumns);
        }
        return true;
    }

    void KeepLast() override { kept_.push_back(scratch_); }
    std::size_t KeptCount() const override { return kept_.size(); }

    CQiError LockReport(const std::string& path) override {
        // Open for reading, then Lock(): the report's own handler holds the lock,
        // and the rewrite below runs under it rather than waiting for it.
        CQiError error = report_.Open(path, std::ios::in, false);
        if (!error.IsError()) error = report_.Lock();
        if (error.IsError()) error.Push(FX_CODE_LOCATION);
        return error;
    }

    CQiError RewriteKept(const std::string& path) override {
        CQiError error = report_.Rewrite(path, kept_);
        if (error.IsError()) error.Push(FX_CODE_LOCATION);
        return error;
    }

private:
    ReportT report_;
    Record scratch_;
    typename ReportT::DataFrame_t kept_;
};

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

std::vector<std::unique_ptr<ReportKind>> AllReportKinds() {
    std::vector<std::unique_ptr<ReportKind>> kinds;
    kinds.push_back(std::make_unique<KindOf<I2::JobStatsReport>>("job statistics", true));
    kinds.push_back(std::make_unique<KindOf<I2::LogicalDiskReport>>("index-cache disk samples", false));
    kinds.push_back(std::make_unique<KindOf<I2::DanglingStubsReport>>("dangling stubs", false));
    kinds.push_back(std::make_unique<KindOf<I2::DroppedFilesReport>>("dropped files", false));
    kinds.push_back(std::make_unique<KindOf<I2::LogCleanUpReport>>("log clean-up", false));
    kinds.push_back(std::make_unique<KindOf<I2::VerifyArchiveReport>>("verify archive", false));
    return kinds;
}

std::unique_ptr<ReportKind> RecogniseReportKind(const std::vector<std::string>& header) {
    for (auto& kind : AllReportKinds()) {
        if (kind->Accepts(header)) return std::move(kind);
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
