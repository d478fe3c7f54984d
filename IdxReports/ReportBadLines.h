#pragma once

#include <cstdint>
#include <string>
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

}  // namespace I2
