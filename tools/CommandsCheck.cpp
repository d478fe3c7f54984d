#include "Commands.h"

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <IdxReports/ReportFileHandler.h>
#include <platform/IdxNamedMutex.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "ReportFile.h"
#include "System.h"

namespace IdxTool {
namespace {

// A file full of damage would bury the summary; past this many lines the rest
// are only counted.
constexpr std::size_t kListedLinesPerFile = 100;

struct BadLine {
    std::size_t number;
    std::string text;
};

// What one pass over a file found.
struct Findings {
    std::size_t records = 0;
    std::size_t unlisted = 0;
    bool keptTornLine = false;  // the last line lacks its line end but reads
    bool leftoverTemp = false;
    std::vector<BadLine> bad;
};

class FileChecker {
public:
    FileChecker(const Console& console, std::string path) : console_(console), path_(std::move(path)) {}

    // Reads the whole file and prints each problem. False when the file could
    // not be read as a report at all (then nothing can be repaired).
    bool Scan(bool keepRecords) {
        CQiError error = file_.Open(path_);
        if (error.IsError()) {
            Problem(fmt::format("{}: {}", path_, error.GetErrNo() == 2 ? "no such file" : error.GetMessage()));
            return false;
        }
        kind_ = file_.Kind();
        if (kind_ == nullptr) {
            Problem(fmt::format("{}:1: {}", path_, file_.KindProblem()));
            return false;
        }
        // The records to keep go to the repair that holds the report's lock. A
        // file that was no report when the lock was to be taken has none: its
        // records are not kept, since a rewrite without the lock held since the
        // scan would lose the lines appended in between.
        if ((keepRecords && repair_ == nullptr) || (repair_ != nullptr && lockedKind_ != kind_)) {
            console_.Fail(path_ + ": the file changed kind while its lock was taken; nothing was changed");
            return false;
        }
        const std::size_t columns = file_.Header().size();
        std::size_t lastLine = 1;
        // An unreadable line is listed once the next line is seen: only then is
        // it known whether it is the last one, which may be torn.
        std::size_t pendingLine = 0;
        std::string pendingWhy;
        std::string why;
        error = file_.ForEachDataLine(console_, [&](std::size_t number, const std::string& line) {
            lastLine = number;
            if (pendingLine != 0) {
                ListLine(pendingLine, "unreadable line: " + pendingWhy);
                pendingLine = 0;
            }
            if (keepRecords ? repair_->KeepLine(line, columns, why) : kind_->ReadLine(line, columns, nullptr, why)) {
                ++found_.records;
                return true;
            }
            found_.bad.push_back(BadLine{number, line});
            pendingLine = number;
            pendingWhy = why;
            return true;
        });
        if (error.IsError()) {
            console_.Fail(path_, error);
            return false;
        }
        if (file_.EndsInTornLine() && pendingLine == lastLine) {
            ListLine(lastLine, "torn last line, no line end: " + pendingWhy);
        } else if (pendingLine != 0) {
            ListLine(pendingLine, "unreadable line: " + pendingWhy);
        } else if (file_.EndsInTornLine()) {
            found_.keptTornLine = true;
            ListLine(lastLine, "last line has no line end");
        }
        if (found_.unlisted > 0)
            Problem(fmt::format("{}: {} more unreadable lines not listed", path_, found_.unlisted));
        if (CQiPath::Exists(path_ + ".tmp")) {
            found_.leftoverTemp = true;
            Problem(fmt::format("{}.tmp: leftover temporary file of an interrupted rewrite", path_));
        }
        return true;
    }

    // Takes the report's lock the way its writers do, so that no line is
    // appended between the scan and the rewrite and then lost. Writers lock
    // the path they opened, which is absolute in practice. False, with the
    // reason printed, only when the lock was not had; a file that is no report
    // at all takes no lock, and Scan says what is wrong with it.
    bool Lock() {
        ReportFile probe;
        if (probe.Open(path_).IsError() || probe.Kind() == nullptr) return true;
        lockedKind_ = probe.Kind();
        repair_ = lockedKind_->NewRepair();
        CQiError error = repair_->LockReport(AbsolutePath(path_));
        if (error.IsError()) {
            console_.Fail(path_ + ": nothing was changed", error);
            return false;
        }
        return true;
    }

    bool Clean() const { return problems_ == 0; }
    std::size_t Records() const { return found_.records; }

    // Moves the unreadable lines into path + ".bad" and rewrites the report
    // without them. The caller holds the report's lock and scanned under it.
    bool Repair() {
        const std::string badPath = path_ + ".bad";
        if (!found_.bad.empty()) {
            CQiError error = AppendBadLines(badPath);
            if (error.IsError()) {
                console_.Fail(badPath, error);
                return false;
            }
        }
        if (!found_.bad.empty() || found_.keptTornLine) {
            // Lines reach ".bad" durably before the report loses them: a crash
            // between the two leaves a line in both places, never in neither.
            CQiError error = repair_->RewriteKept(AbsolutePath(path_));
            if (error.IsError()) {
                console_.Fail(path_, error);
                return false;
            }
            if (!found_.bad.empty())
                console_.out << fmt::format("{}: moved {} unreadable line{} to {}\n", path_, found_.bad.size(),
                                            found_.bad.size() == 1 ? "" : "s", badPath);
            console_.out << fmt::format("{}: rewrote the report with {} record{}\n", path_, repair_->KeptCount(),
                                        repair_->KeptCount() == 1 ? "" : "s");
        } else if (found_.leftoverTemp) {
            // Under the report's lock no rewrite is running, so the temporary
            // file is what a crashed one left; the report itself is whole.
            CQiError error = CQiFile::Delete(path_ + ".tmp", true);
            if (error.IsError()) {
                console_.Fail(path_ + ".tmp", error);
                return false;
            }
            console_.out << fmt::format("{}: removed the leftover {}.tmp\n", path_, path_);
        }
        return true;
    }

private:
    void Problem(const std::string& line) {
        ++problems_;
        console_.out << line << '\n';
    }

    void ListLine(std::size_t number, const std::string& reason) {
        if (listed_ >= kListedLinesPerFile) {
            ++found_.unlisted;
            ++problems_;
            return;
        }
        ++listed_;
        Problem(fmt::format("{}:{}: {}", path_, number, reason));
    }

    // ".bad" format: a comment line saying when and from where, then one
    // "<line number><TAB><line as it stood>" line per moved line.
    CQiError AppendBadLines(const std::string& badPath) {
        std::string text = fmt::format("# {:%Y-%m-%dT%H:%M:%SZ} idxreport check --repair moved these lines out of {}\n",
                                       fmt::gmtime(std::time(nullptr)), path_);
        for (const BadLine& line : found_.bad) text += fmt::format("{}\t{}\n", line.number, line.text);
        CQiFile bad;
        CQiError error = bad.Open(badPath, CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenAppend, 0600);
        std::size_t written = 0;
        if (!error.IsError()) error = bad.Write(text.data(), text.size(), written);
        if (!error.IsError()) error = bad.Sync();
        if (!error.IsError()) error = bad.Close();
        if (!error.IsError()) error = CQiDirectory::Sync(CQiPath::GetParent(AbsolutePath(badPath)));
        return error.Push(FX_CODE_LOCATION);
    }

    const Console& console_;
    std::string path_;
    ReportFile file_;
    std::unique_ptr<ReportRepair> repair_;  // with --repair: holds the report's lock
    const ReportKind* lockedKind_ = nullptr;  // the kind the file had when the lock was taken
    const ReportKind* kind_ = nullptr;
    Findings found_;
    std::size_t problems_ = 0;
    std::size_t listed_ = 0;
};

// Checks one file; true when it is sound (or was made sound).
bool CheckFile(const Console& console, const std::string& path, const CheckOptions& options) {
    FileChecker checker(console, path);
    if (!options.repair) {
        bool read = checker.Scan(false);
        if (read && checker.Clean()) console.out << fmt::format("{}: ok ({} records)\n", path, checker.Records());
        return read && checker.Clean();
    }
    if (!checker.Lock() || !checker.Scan(true)) return false;
    if (checker.Clean()) {
        console.out << fmt::format("{}: ok ({} records)\n", path, checker.Records());
        return true;
    }
    return checker.Repair();
}

}  // namespace

int Check(const Console& console, const CheckOptions& options) {
    if (options.lockTimeoutMs != 0) I2::Utils::IdxNamedMutex::SetDefaultTimeoutMs(options.lockTimeoutMs);
    bool allSound = true;
    for (const std::string& path : options.files) {
        if (!CheckFile(console, path, options)) allSound = false;
    }
    console.out.flush();
    return allSound ? kExitOk : kExitFailed;
}

}  // namespace IdxTool
