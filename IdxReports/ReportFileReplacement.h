#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <platform/Export.h>
#include <platform/QiError.h>

class CQiDirectoryHandle;
class CQiFile;

namespace I2 {
namespace Utils {
class IdxNamedMutex;
}
class ReportFileHandler;
}  // namespace I2
class CQiDirectoryHandle;
namespace I2 {

// The files kept beside a report PATH, each named by adding a suffix:
//   PATH.tmp       a rewrite's new content, renamed over PATH once complete and synced
//   PATH.old       the content PATH had before its last rotation
//   PATH.rotation  a rotation in flight: the new header-only report until it
//                  is exchanged with PATH, then the old content on its way to
//                  PATH.old
//   PATH.retired   where exchanging names is not possible: a second name of the
//                  old content while the new report is renamed over PATH, then
//                  on its way to PATH.old
//   PATH.bad       lines moved out of PATH because they are no records of it: a
//                  crash's torn last line, a row a rewrite or a repair could not read
//   PATH.old.tmp   older versions' partial rotation copy; removed when found
// A crash can leave PATH.tmp, PATH.rotation or PATH.retired behind: the next
// writer puts the rotation ones in order (CompleteRotation); PATH.tmp is never
// read back and is removed before it is written again.
struct IDXREPORTS_API ReportSideFiles final {
    static constexpr const char kTemporarySuffix[] = ".tmp";
    static constexpr const char kPreviousSuffix[] = ".old";
    static constexpr const char kRotationSuffix[] = ".rotation";
    static constexpr const char kRetiredSuffix[] = ".retired";
    static constexpr const char kPartialPreviousSuffix[] = ".old.tmp";
    static constexpr const char kUnreadableSuffix[] = ".bad";

    static std::string Temporary(const std::string& report) { return report + kTemporarySuffix; }
    static std::string Previous(const std::string& report) { return report + kPreviousSuffix; }
    static std::string Rotation(const std::string& report) { return report + kRotationSuffix; }
    static std::string Retired(const std::string& report) { return report + kRetiredSuffix; }
    static std::string PartialPrevious(const std::string& report) { return report + kPartialPreviousSuffix; }
    static std::string Unreadable(const std::string& report) { return report + kUnreadableSuffix; }
};

// How a report file is replaced as a whole: rewritten, rotated, or repaired.
// The report template calls these with its header line and its own way of
// turning records into lines; nothing here knows a record type.
//
// Every replacement runs under the lock of the report's path, taken by
// LockPath, so no writer appends to the old file while the new one is made.
// Readers take no lock and see the old or the new content in full: the new one
// is written to a side file, synced and renamed over the report.
class IDXREPORTS_API ReportFileReplacement final {
public:
    using LineWriter_t = std::function<CQiError(ReportFileHandler& target)>;
    using LineCopier_t = std::function<CQiError(ReportFileHandler& source, ReportFileHandler& target)>;
    // Puts the whole new content, header line included, into `target` (empty).
    // `dir` is the report's directory, opened once for the whole replacement,
    // and `name` the report's name in it, so PATH.bad is reached through the
    // same descriptor the rename uses. `report` is the old file, opened once
    // (null when there was none): the new file has the owner and mode of this
    // very descriptor, so whatever is kept of the old content is read from it,
    // never from the name again, which another file may have been renamed to.
    using ContentWriter_t = std::function<CQiError(CQiDirectoryHandle& dir, const std::string& name, CQiFile* report,
                                                   ReportFileHandler& target)>;

    ReportFileReplacement() = delete;

    // The one way the lock of the report at `path` is taken. `mutex` is the
    // caller's slot: a mutex held there is kept (a lock is never taken twice),
    // one of another name that is not held is replaced by one named after
    // `path`. Fails with code 1001 when the lock is not had at once.
    static CQiError LockPath(const std::string& path, std::unique_ptr<Utils::IdxNamedMutex>& mutex);
    // The same with the lock's name already known (the one LockPath would
    // compute for `path`), for a caller that got it more cheaply.
    static CQiError LockNamed(const std::string& lockName, const std::string& path,
                              std::unique_ptr<Utils::IdxNamedMutex>& mutex);

    // Whether `line` can stand in a report as one line: no line break, and no
    // NUL byte unless `allowNul`.
    static bool IsWritableLine(const std::string& line, bool allowNul) {
        return line.find('\n') == std::string::npos && (allowNul || line.find('\0') == std::string::npos);
    }
    // IsWritableLine as an error (code 22) naming the report at `path`.
    static CQiError CheckLine(const std::string& line, const std::string& path, bool allowNul);

    // Starts the report `file` (an open writer that holds its lock) afresh with
    // `headerLine` and keeps what it held in PATH.old, without changing a byte
    // of it: readers that have the old file open read it to its end unchanged.
    // A new header-only file, with the report's owner, group and mode, is
    // exchanged with PATH, then the old file is renamed to PATH.old, so PATH is
    // never missing and no row is ever in both; `file` then writes to the new
    // file. For the instant between the two renames the old rows are in
    // PATH.rotation only. Where the file system cannot exchange names, the old
    // file gets the second name PATH.retired and the new one is renamed over
    // PATH. A kill anywhere leaves the old report in place, or the new one with
    // the old rows in PATH.old, PATH.rotation or PATH.retired: CompleteRotation
    // finishes it. A failure before the report is replaced leaves it as it was.
    static CQiError Rotate(ReportFileHandler& file, const std::string& headerLine);

    // Puts in order what a rotation of `name` in `dir` left when it was killed,
    // under the report's lock: a side file that is still the report itself or
    // holds no data line (the new report, not yet in place) is removed; one
    // that holds the old rows (a regular file with one link, owned as the
    // report) becomes `name`.old. Anything else at those names (a link, a FIFO,
    // a planted hard link) is removed, never followed or moved into .old.
    static CQiError CompleteRotation(CQiDirectoryHandle& dir, const std::string& name);

    // Replaces the report at `path` with `headerLine` and what `writeLines`
    // puts, through PATH.tmp, keeping the report's permission bits. The lock is
    // the one `own` holds or takes when it has `path` open for reading, else a
    // lock of its own for the duration. `own` open for writing on `path` is
    // refused (code 22): its buffered lines and later appends would go to the
    // file the rename replaces, and be lost. Only a regular file is replaced.
    static CQiError Rewrite(ReportFileHandler& own, const std::string& path, const std::string& headerLine,
                            const LineWriter_t& writeLines);
    // Rewrite, with `copyLines` given the old file open for reading under the
    // lock as its source.
    static CQiError Update(ReportFileHandler& own, const std::string& path, const std::string& headerLine,
                           const LineCopier_t& copyLines);
    // Rewrite, with `writeContent` putting the header line too (or none, for
    // a report left empty).
    static CQiError Replace(ReportFileHandler& own, const std::string& path, const ContentWriter_t& writeContent);
    // Replace of `name` in `dir`, the report's directory as the caller resolved
    // it, for a caller that holds the report's lock already (a writer's Open,
    // before its handler is open): nothing is looked up by path again.
    static CQiError ReplaceHeld(CQiDirectoryHandle& dir, const std::string& name,
                                const ContentWriter_t& writeContent);
};

}  // namespace I2
