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

// A second name on PATH.bad would let whoever made it read, or have us fill,
// a file that is not the report's.
CQiError CheckSingleName(CQiFile& file) {
    CQiFileStat st;
    CQiError err = file.Stat(st);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);
    if (st.links != 1) {
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                       "[%s] has %llu names; lines are not moved into a file reachable elsewhere",
                                       file.GetPath().c_str(), static_cast<unsigned long long>(st.links));
    }
    return CQiError::Success();
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
    if (lines.empty()) return CQiError::Success();
    const std::string reportPath = dir.PathOf(reportName);
    for (const ReportBadLine& line : lines) {
        if (!ReportFileReplacement::IsWritableLine(line.bytes, true)) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "line %llu of [%s] holds a line break and cannot be set aside",
                                           static_cast<unsigned long long>(line.number), reportPath.c_str());
        }
    }
    const std::string name = ReportSideFiles::Unreadable(reportName);
    CQiFile file;
    CQiError err = OpenForAppend(dir, name, report, file);
    if (!err.IsError()) err = CheckSingleName(file);
    if (err.IsError()) return err.Push(FX_CODE_LOCATION);

    const std::string text = Format(reportPath, who, static_cast<int64_t>(std::time(nullptr)), lines);
    std::size_t written = 0;
    err = file.Write(text.data(), text.size(), written);
    if (!err.IsError()) err = file.Sync();
    // A new PATH.bad must survive a crash before the report loses its lines.
    if (!err.IsError()) err = dir.Sync();
    CQiError closed = file.Close();
    if (!err.IsError()) err = closed;
    return err.Push(FX_CODE_LOCATION);
}

}  // namespace I2
