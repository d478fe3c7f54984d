#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <platform/Export.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiError.h>
#include <platform/QiFileSystem.h>

namespace I2 {

// One line taken out of a report: its 1-based line number there (the header is
// line 1) and its bytes, without the line break.
struct ReportBadLine {
    uint64_t number = 0;
    std::string bytes;
};

// Lines that cannot stay in a report (a crash's unterminated tail, a row that is
// not a record) are never dropped: they go to PATH.bad first, and only once that
// is synced may the report lose them. A crash in between leaves a line in both
// places, never in neither. Each batch is appended as
//   # <UTC time> <who> moved these lines out of <PATH>
//   <line number>\t<bytes>
// so an administrator can see what went where and put a line back by hand.
class IDXREPORTS_API ReportBadLines final {
public:
    ReportBadLines() = delete;

    // Appends `lines` to `reportName`.bad in `dir`, synced before returning.
    // `who` names the mover in the comment ("idxreport check --repair").
    // A missing PATH.bad is created with `report`'s owner, group and permission
    // bits, so it is no more open than the report it came from. Only a regular
    // file with one name is appended to: a link, FIFO or device there is code
    // 22 and never a wait, and so is a file with another hard link, which
    // could be anyone's file made to receive the report's rows. Nothing is
    // written for an empty `lines`; a line holding a line break is code 22.
    static CQiError Append(CQiDirectoryHandle& dir, const std::string& reportName,
                           const CQiFileStat& report, const std::string& who,
                           const std::vector<ReportBadLine>& lines);

    // The text Append writes for one batch, `utcTime` as seconds since 1970.
    static std::string Format(const std::string& reportPath, const std::string& who, int64_t utcTime,
                              const std::vector<ReportBadLine>& lines);
};

// One batch of Append written a piece at a time, for a caller that moves more
// lines, or longer ones, than it should hold at once (a repair of a large
// report). The same file, checks and format: Open, then for each line Line
// and any number of Bytes, then Commit, which syncs the file and its directory.
// Until Commit returns success the lines are not safely moved, and the report
// must keep them; a failure or a destruction before it leaves whatever part of
// the batch reached PATH.bad, which a later batch follows. Nothing at all is
// written for a batch without lines.
class IDXREPORTS_API ReportBadLinesWriter final {
public:
    ReportBadLinesWriter() = default;
    ReportBadLinesWriter(const ReportBadLinesWriter&) = delete;
    ReportBadLinesWriter& operator=(const ReportBadLinesWriter&) = delete;

    // Remembers where the batch goes; PATH.bad is opened, as Append opens it,
    // at the first line. `dir` must outlive the writer.
    CQiError Open(CQiDirectoryHandle& dir, const std::string& reportName, const CQiFileStat& report,
                  const std::string& who);
    // Starts the line numbered `number`, ending the one before.
    CQiError Line(uint64_t number);
    // More of the current line's bytes; a line break among them is code 22.
    CQiError Bytes(std::string_view bytes);
    CQiError Commit();
    uint64_t Lines() const { return lines_; }

private:
    CQiError Flush();

    CQiDirectoryHandle* dir_ = nullptr;
    std::string reportName_;
    CQiFileStat report_;
    std::string who_;
    CQiFile file_;
    std::string pending_;
    uint64_t lines_ = 0;
};

}  // namespace I2
