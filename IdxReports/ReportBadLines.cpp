#include <IdxReports/ReportBadLines.h>

#include <cerrno>
#include <ctime>

#include <IdxReports/ReportFileReplacement.h>

namespace I2 {

namespace {

// Opens the existing PATH.bad for appending, or creates it like the report.
// Another writer may create it between the two calls; it is then opened.
CQiError OpenForAppend(const CQiDirectoryHandle& dir, const std::string& name, const CQiFileStat& report,
                       CQiFile& file) {
    constexpr unsigned kFlags = CQiFile::OpenWrite | CQiFile::OpenAppend;
    CQiError err = dir.OpenFile(name, kFlags, file);
    if (err.GetErrNo() != 2) return err.Push(FX_CODE_LOCATION);
    err = dir.CreateFile(name, CQiFileAttributes::Of(report), file);
    if (err.IsError() && err.GetSystemErrNo() == EEXIST) err = dir.OpenFile(name, kFlags, file);
    return err.Push(FX_CODE_LOCATION);
}

// PATH.bad receives the report's own lines, so it must be no more open than
// the report: a second name would let whoever made it read, or have us fill, a
// file that is not the report's; another owner (one who planted it in the
// directory) could read whatever is moved there. Permission bits the report
// lacks, and the group's when the group differs, are taken away first.
CQiError CheckExisting(CQiFile& file, const CQiFileStat& report) {
    CQiFileStat st;
    CQiError err = file.Stat(st);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (st.links != 1) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "[%s] has %llu names; lines are not moved into a file reachable elsewhere",
                                       file.GetPath().c_str(), static_cast<unsigned long long>(st.links));
    }
    if (st.owner != report.owner) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "[%s] belongs to user %u, the report to user %u; lines are not moved into it",
                                       file.GetPath().c_str(), static_cast<unsigned>(st.owner),
                                       static_cast<unsigned>(report.owner));
    }
    unsigned allowed = report.mode & 0777u;
    if (st.group != report.group) allowed &= ~0070u;
    if ((st.mode & 07777u) & ~allowed) err = file.SetPermissions(st.mode & allowed);
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace

std::string ReportBadLines::Format(const std::string& reportPath, const std::string& who, int64_t utcTime,
                                   const std::vector<ReportBadLine>& lines) {
    const std::time_t when = static_cast<std::time_t>(utcTime);
    std::tm parts{};
    gmtime_r(&when, &parts);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);

    std::string text = std::string("# ") + stamp + " " + who + " moved these lines out of " + reportPath + "\n";
    for (const ReportBadLine& line : lines) {
        text += std::to_string(line.number);
        text += '\t';
        text += line.bytes;
        text += '\n';
    }
    return text;
}

CQiError ReportBadLines::Append(CQiDirectoryHandle& dir, const std::string& reportName,
                                const CQiFileStat& report, const std::string& who,
                                const std::vector<ReportBadLine>& lines) {
    try {
        if (lines.empty()) return CQiError::Success();
        const std::string reportPath = dir.PathOf(reportName);
        // All lines are looked at before any is written: a refused batch leaves
        // PATH.bad as it was.
        for (const ReportBadLine& line : lines) {
            if (!ReportFileReplacement::IsWritableLine(line.bytes, true)) {
                return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                               "line %llu of [%s] holds a line break and cannot be set aside",
                                               static_cast<unsigned long long>(line.number), reportPath.c_str());
            }
        }
        ReportBadLinesWriter writer;
        CQiError err = writer.Open(dir, reportName, report, who);
        for (std::size_t i = 0; i < lines.size() && !err.IsError(); ++i) {
            err = writer.Line(lines[i].number);
            if (!err.IsError()) err = writer.Bytes(lines[i].bytes);
        }
        if (!err.IsError()) err = writer.Commit();
        return err.Push(FX_CODE_LOCATION);
    } catch (...) {
        // Out of memory, for the names and pieces held here: no exception leaves.
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Setting lines aside");
    }
}

CQiError ReportBadLinesWriter::Open(CQiDirectoryHandle& dir, const std::string& reportName,
                                    const CQiFileStat& report, const std::string& who) {
    try {
        dir_ = &dir;
        reportName_ = reportName;
        report_ = report;
        who_ = who;
        lines_ = 0;
        pending_.clear();
        return CQiError::Success();
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Setting lines aside");
    }
}

CQiError ReportBadLinesWriter::Line(uint64_t number) {
    try {
        if (dir_ == nullptr) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Lines set aside before Open");
        if (!file_.IsOpen()) {
            CQiError err = OpenForAppend(*dir_, ReportSideFiles::Unreadable(reportName_), report_, file_);
            if (!err.IsError()) err = CheckExisting(file_, report_);
            if (err.IsError()) return err.Push(FX_CODE_LOCATION);
            pending_ = ReportBadLines::Format(dir_->PathOf(reportName_), who_,
                                              static_cast<int64_t>(std::time(nullptr)), {});
        } else {
            pending_ += '\n';
        }
        ++lines_;
        pending_ += std::to_string(number);
        pending_ += '\t';
        return CQiError::Success();
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Setting a line aside");
    }
}

CQiError ReportBadLinesWriter::Bytes(std::string_view bytes) {
    try {
        if (!file_.IsOpen()) return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "Bytes set aside before a line");
        if (bytes.find('\n') != std::string_view::npos) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "line %llu of [%s] holds a line break and cannot be set aside",
                                           static_cast<unsigned long long>(lines_),
                                           dir_->PathOf(reportName_).c_str());
        }
        // Pieces are gathered up to a size that keeps writes few and memory small.
        constexpr std::size_t kWriteAt = 256 * 1024;
        if (pending_.size() + bytes.size() > kWriteAt) {
            CQiError err = Flush();
            if (err.IsError()) return err.Push(FX_CODE_LOCATION);
            if (bytes.size() > kWriteAt) {
                std::size_t written = 0;
                return file_.Write(bytes.data(), bytes.size(), written).Push(FX_CODE_LOCATION);
            }
        }
        pending_.append(bytes);
        return CQiError::Success();
    } catch (...) {
        return FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Setting a line aside");
    }
}

CQiError ReportBadLinesWriter::Flush() {
    std::size_t written = 0;
    CQiError err = file_.Write(pending_.data(), pending_.size(), written);
    pending_.clear();
    return err.Push(FX_CODE_LOCATION);
}

CQiError ReportBadLinesWriter::Commit() {
    if (!file_.IsOpen()) return CQiError::Success();
    CQiError err;
    try {
        pending_ += '\n';
    } catch (...) {
        err = FXErrorUtil::FromCurrentException(FX_CODE_LOCATION, "Setting lines aside");
    }
    if (!err.IsError()) err = Flush();
    if (!err.IsError()) err = file_.Sync();
    // A new PATH.bad must survive a crash before the report loses its lines.
    if (!err.IsError()) err = dir_->Sync();
    CQiError closed = file_.Close();
    if (!err.IsError()) err = closed;
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
