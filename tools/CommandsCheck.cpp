#include "Commands.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <IdxReports/ReportBadLines.h>
#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/ReportFileReplacement.h>
#include <platform/IdxNamedMutex.h>
#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "Output.h"
#include "ReportFile.h"
#include "System.h"

namespace IdxTool {
namespace {

// A file full of damage would bury the summary, and listing it would hold it
// in memory; past this many problems the rest are only counted.
constexpr std::size_t kListedProblemsPerFile = 100;

// The cross-process lock of a report, under the name its writers take: the
// path with "/" replaced, of the absolute path, since writers open absolute
// paths in practice.
class ReportLock {
public:
    explicit ReportLock(const std::string& path)
        : mutex_(I2::ReportFileHandler::LockNameOf(AbsolutePath(path))) {}
    // Waits as long as IdxNamedMutex's default timeout.
    bool Wait() { return mutex_.lock(0); }
    // One attempt, and a millisecond at most: a writer that holds the lock
    // is not waited for, and one that wants it is kept no longer than that.
    bool TryNow() { return mutex_.lock(1); }
    void Release() { mutex_.unlock(); }
    // After a failed attempt: whether a holder kept the lock, rather than the
    // lock could not be asked for at all (an unsafe or unwritable lock directory).
    bool HeldByAnother() const { return mutex_.timedOut(); }
    // Why the last attempt failed, as a phrase for a message.
    std::string WhyNot() const {
        return HeldByAnother() ? "held by a writer" : "not to be had: " + mutex_.failureReason();
    }

private:
    I2::Utils::IdxNamedMutex mutex_;
};

// Whether FILE.tmp, `tmpName` in `dir`, is what a rewrite of FILE leaves: a
// regular file, empty or starting with a header of the report's kind. Anything
// else is not the library's, and is left alone.
bool IsRewriteTemporary(const CQiDirectoryHandle& dir, const std::string& tmpName, const ReportKind* kind) {
    CQiFile opened;
    ReportFile tmp;
    if (dir.OpenFile(tmpName, CQiFile::OpenRead, opened).IsError() ||
        tmp.Open(std::move(opened), dir.PathOf(tmpName)).IsError() || !tmp.IsPlainFile())
        return false;
    if (tmp.Size() == 0) return true;
    return tmp.Kind() != nullptr && tmp.Kind() == kind;
}

// One file's check, and with --repair its repair.
class FileChecker {
public:
    FileChecker(const Console& console, std::string path) : console_(console), path_(std::move(path)) {}

    // Reads the whole file and prints each problem. False when the file could
    // not be read as a report at all (then nothing can be repaired). `locked`:
    // the caller holds the report's lock, so an unterminated tail is a crash
    // leftover and nobody writes the file.
    //
    // Under the lock the report is opened once, through the directory's
    // descriptor, and kept: the repair reads that very file again, and its side
    // files are looked up in the same descriptor, never by path.
    bool Scan(bool locked) {
        std::unique_ptr<ReportFile> opened = std::make_unique<ReportFile>();
        ReportFile& file = *opened;
        CQiError error;
        if (locked) {
            CQiFile source;
            error = Directory();
            if (!error.IsError()) error = dir_.OpenFile(name_, CQiFile::OpenRead, source);
            if (!error.IsError()) error = source.Stat(reportStat_);
            if (!error.IsError()) error = file.Open(std::move(source), path_);
        } else {
            error = file.Open(path_);
        }
        if (error.IsError()) {
            Problem(fmt::format("{}: {}", path_, error.GetMessage()));
            return false;
        }
        plain_ = file.IsPlainFile();
        kind_ = file.Kind();
        if (kind_ == nullptr) {
            Problem(fmt::format("{}:1: {}", path_, file.KindProblem()));
            return false;
        }
        const std::size_t columns = file.Header().size();
        if (!file.HeaderLine().terminated) tail_ = Tail{1, file.HeaderLine().length};
        std::string why;
        error = file.ForEachDataLine(console_, [&](const InputLine& line) {
            if (!line.terminated) {
                tail_ = Tail{line.number, line.length};
            } else if (line.TooLong()) {
                ++unreadable_;
                ListLine(line.number, fmt::format("unreadable line: {} bytes, longer than the {} a line may have",
                                                  line.length, kMaxLineBytes));
            } else if (kind_->ReadLine(line.text, columns, nullptr, why)) {
                ++records_;
            } else {
                ++unreadable_;
                ListLine(line.number, "unreadable line: " + why);
            }
            return true;
        });
        if (error.IsError()) {
            Problem(fmt::format("{}: {}", path_, error.GetMessage()));
            return false;
        }
        scannedBytes_ = file.Consumed();
        if (tail_.number != 0) JudgeTail(file, locked);
        if (unlisted_ > 0) Problem(fmt::format("{}: {} more not listed", path_, Plural(unlisted_, "problem", "problems")));
        if (plain_) {
            // A directory one may enter but not list hides its side files;
            // the report itself was read.
            error = Directory();
            if (error.IsError()) {
                Note(fmt::format("{}: note: {} and {} cannot be looked at: {}", path_,
                                 I2::ReportSideFiles::Temporary(path_), I2::ReportSideFiles::Unreadable(path_),
                                 error.GetMessage()));
            } else {
                JudgeTemporary(locked);
                NoteBadFile();
            }
        }
        if (locked) scanned_ = std::move(opened);
        return true;
    }

    // Takes the report's lock the way its writers do, so that no line is
    // appended between the scan and the rewrite and then lost. False, with the
    // reason printed, when the lock was not had.
    bool Lock() {
        lock_ = std::make_unique<ReportLock>(path_);
        if (lock_->Wait()) return true;
        const std::string waited =
            lock_->HeldByAnother()
                ? fmt::format(" (waited {} ms)", I2::Utils::IdxNamedMutex::GetDefaultTimeoutMs())
                : std::string();
        console_.Fail(fmt::format("{}: the report's lock is {}{}; nothing was changed", path_, lock_->WhyNot(), waited));
        return false;
    }

    bool Clean() const { return problems_ == 0; }
    bool Plain() const { return plain_; }
    std::size_t Records() const { return records_; }
    const std::string& Path() const { return path_; }

    // Moves the unreadable lines and the unterminated tail into FILE.bad and
    // replaces the report with the rest, as they stood. The caller holds the
    // report's lock and scanned under it, so the file is as scanned.
    bool Repair() {
        if (unreadable_ > 0 || tail_.number != 0) {
            if (!Rewrite()) return false;
        } else if (leftoverTemp_) {
            // Under the report's lock no rewrite runs: the temporary is what a
            // dead one left; the report itself is whole.
            CQiError error = dir_.Unlink(I2::ReportSideFiles::Temporary(name_), true);
            if (!error.IsError()) error = dir_.Sync();
            if (error.IsError()) return console_.Fail(I2::ReportSideFiles::Temporary(path_), error), false;
            console_.out << fmt::format("{}: removed the leftover {}\n", path_, I2::ReportSideFiles::Temporary(path_));
        }
        // What stands at FILE.bad is a person's to remove: no rewrite makes it sound.
        if (unrepairable_) {
            console_.Fail(fmt::format("{}: {} is left as it is; a repair cannot fix it", path_,
                                      I2::ReportSideFiles::Unreadable(path_)));
            return false;
        }
        return true;
    }

private:
    struct Tail {
        std::size_t number = 0;  // 0: the file ends in a line end
        uint64_t length = 0;
    };

    void Problem(const std::string& line) {
        ++problems_;
        console_.out << line << '\n';
    }
    void Note(const std::string& line) { console_.out << line << '\n'; }

    void ListLine(std::size_t number, const std::string& reason) {
        if (listed_ >= kListedProblemsPerFile) {
            ++unlisted_;
            ++problems_;
            return;
        }
        ++listed_;
        Problem(fmt::format("{}:{}: {}", path_, number, reason));
    }

    // Bytes after the last line end are a line still being written while a
    // writer holds the lock, and a crash's leftover otherwise. The lock is
    // taken for an instant to tell: with it held, no writer can finish the
    // line between the look at the file and the verdict.
    void JudgeTail(ReportFile& file, bool locked) {
        const std::string where = fmt::format("{}:{}: ", path_, tail_.number);
        const std::string what = fmt::format("unterminated last line ({} without a line end)",
                                             Plural(tail_.length, "byte", "bytes"));
        if (!plain_ || locked) {
            Problem(where + what + ": a write cut short");
            return;
        }
        ReportLock lock(path_);
        if (!lock.TryNow()) {
            if (!lock.HeldByAnother()) {
                Problem(where + what + ": cannot tell whether a writer is finishing it, the report's lock is " +
                        lock.WhyNot());
                return;
            }
            Note(where + "note: last line is being written (a writer holds the report's lock)");
            tail_ = Tail{};
            return;
        }
        uint64_t size = 0;
        const bool unchanged = !file.CurrentSize(size).IsError() && size == scannedBytes_;
        lock.Release();
        if (!unchanged) {
            Note(where + "note: last line was being written (the file has grown since)");
            tail_ = Tail{};
            return;
        }
        Problem(where + what + ": a write cut short; check --repair moves it to " +
                I2::ReportSideFiles::Unreadable(path_));
    }

    // What stands at `name` in the report's directory, a link not followed:
    // "" when nothing does.
    std::string WhatIsBeside(const std::string& name) const {
        CQiFileStat st;
        if (dir_.Stat(name, st).IsError()) return std::string();
        return CQiFileStat::Describe(st.type);
    }

    void JudgeTemporary(bool locked) {
        const std::string tmp = I2::ReportSideFiles::Temporary(path_);
        const std::string what = WhatIsBeside(I2::ReportSideFiles::Temporary(name_));
        if (what.empty()) return;
        if (!IsRewriteTemporary(dir_, I2::ReportSideFiles::Temporary(name_), kind_)) {
            Note(fmt::format("{}: note: {} that is no temporary of this report's rewrites; left alone", tmp,
                             what == "a regular file" ? "a file" : what));
            foreignTemp_ = true;
            return;
        }
        if (!locked) {
            ReportLock lock(path_);
            if (!lock.TryNow()) {
                if (lock.HeldByAnother()) {
                    Note(tmp + ": note: a rewrite is in progress (a writer holds the report's lock)");
                } else {
                    Problem(tmp + ": cannot tell whether a rewrite left it, the report's lock is " + lock.WhyNot());
                }
                return;
            }
        }
        leftoverTemp_ = true;
        Problem(tmp + ": leftover temporary file of an interrupted rewrite");
    }

    // Lines moved out earlier are safe in FILE.bad: a note, not a problem, so
    // that a monitoring job does not alarm for ever after one crash.
    void NoteBadFile() {
        const std::string bad = I2::ReportSideFiles::Unreadable(path_);
        const std::string badName = I2::ReportSideFiles::Unreadable(name_);
        const std::string what = WhatIsBeside(badName);
        if (what.empty()) return;
        if (what != "a regular file") {
            unrepairable_ = true;
            Problem(fmt::format("{}: {}, not a regular file; a repair cannot write there", bad, what));
            return;
        }
        InputStream input;
        std::size_t moved = 0;
        CQiFile opened;
        CQiError error = dir_.OpenFile(badName, CQiFile::OpenRead, opened);
        if (!error.IsError()) error = input.Open(std::move(opened));
        InputLine line;
        for (bool got = !error.IsError(); got && !error.IsError();) {
            error = input.Next(line, got);
            if (got && line.text.rfind("# ", 0) != 0) ++moved;
        }
        if (error.IsError()) {
            unrepairable_ = true;
            Problem(fmt::format("{}: {}", bad, error.GetMessage()));
            return;
        }
        Note(fmt::format("{}: note: holds {} moved out earlier", bad, Plural(moved, "line", "lines")));
    }

    // Opens the report's directory, once, and finds the report's name in it:
    // "verify.csv" is in the working directory.
    CQiError Directory() {
        if (dir_.IsOpen()) return CQiError::Success();
        const std::string::size_type slash = path_.rfind('/');
        name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        const std::string directory =
            slash == std::string::npos ? std::string() : slash == 0 ? std::string("/") : path_.substr(0, slash);
        return dir_.Open(directory).Push(FX_CODE_LOCATION);
    }

    // The second pass of a repair: kept lines to FILE.tmp, the others to
    // FILE.bad, which is synced first. A crash in between leaves a line in both
    // places, never in neither. Every name is looked up in one descriptor of the
    // report's directory and nothing is reopened by name, so a link, FIFO or
    // device swapped in at any of them is refused, never followed or waited on;
    // FILE.tmp is created exclusively, with the report's owner and mode before
    // its first byte, and FILE.bad is the library's. Lines stream through: what
    // is held is a buffer of each file and one line cut to kMaxLineBytes.
    bool Rewrite() {
        const std::string tmpPath = I2::ReportSideFiles::Temporary(path_);
        const std::string badPath = I2::ReportSideFiles::Unreadable(path_);
        if (foreignTemp_)
            return console_.Fail(fmt::format("{}: {} stands where the rewrite puts its temporary; nothing was changed",
                                             path_, tmpPath)),
                   false;
        CQiDirectoryHandle& dir = dir_;
        const std::string& name = name_;
        const std::string tmpName = I2::ReportSideFiles::Temporary(name);
        const CQiFileStat& report = reportStat_;
        // The file scanned under this lock, read again from its start.
        ReportFile& file = *scanned_;
        CQiError error = file.Rewind();
        if (!error.IsError() && file.Kind() != kind_)
            error = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "the file changed kind under the lock");
        // Under the lock no rewrite runs: what stands there is a dead one's.
        if (!error.IsError() && leftoverTemp_) error = dir.Unlink(tmpName, true);
        CQiFile tmp;
        if (!error.IsError()) error = dir.CreateFile(tmpName, CQiFileAttributes::Of(report), tmp);
        const bool created = !error.IsError();
        I2::ReportBadLinesWriter bad;
        if (!error.IsError()) error = bad.Open(dir, name, report, "idxreport check --repair");
        if (error.IsError()) {
            if (created) (void)dir.Unlink(tmpName, true);
            return console_.Fail(path_ + ": nothing was changed", error), false;
        }

        const std::size_t columns = file.Header().size();
        std::string keptText;
        std::size_t kept = 0;
        std::string why;
        auto moveLine = [&](const InputLine& line) {
            error = bad.Line(line.number);
            if (!line.TooLong()) {
                if (!error.IsError()) error = bad.Bytes(line.text);
                return;
            }
            // Only its first kMaxLineBytes were kept: the rest is read again,
            // a piece at a time, from the same descriptor.
            std::string chunk(64 * 1024, '\0');
            for (uint64_t done = 0; done < line.length && !error.IsError();) {
                std::size_t got = 0;
                error = file.ReadAt(chunk.data(), std::min<uint64_t>(chunk.size(), line.length - done),
                                    line.offset + done, got);
                if (!error.IsError() && got == 0)
                    error = FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "the file shrank under the lock");
                if (!error.IsError()) error = bad.Bytes(std::string_view(chunk.data(), got));
                done += got;
            }
        };
        auto writeKept = [&] {
            std::size_t written = 0;
            error = tmp.Write(keptText.data(), keptText.size(), written);
            keptText.clear();
        };
        const InputLine& header = file.HeaderLine();
        if (header.terminated) {
            keptText = header.text + '\n';
        } else {
            // Only a header cut short: it goes aside, and the report gets its
            // header as a new file does.
            moveLine(header);
            for (std::size_t i = 0; i < columns; ++i) keptText += (i == 0 ? "" : ",") + file.Header()[i];
            keptText += '\n';
        }
        constexpr std::size_t kFlushAt = 256 * 1024;
        if (!error.IsError()) {
            // The walk stops at the first failure to keep a line, which is then
            // in `error`; the walk's own result must not overwrite it.
            const CQiError walk = file.ForEachDataLine(console_, [&](const InputLine& line) {
                if (line.terminated && !line.TooLong() && kind_->ReadLine(line.text, columns, nullptr, why)) {
                    ++kept;
                    keptText += line.text;
                    keptText += '\n';
                    if (keptText.size() >= kFlushAt) writeKept();
                } else {
                    moveLine(line);
                }
                return !error.IsError();
            });
            if (!error.IsError()) error = walk;
        }
        const uint64_t moved = bad.Lines();
        if (!error.IsError()) error = bad.Commit();
        if (!error.IsError()) writeKept();
        if (!error.IsError()) error = tmp.Sync();
        if (!error.IsError()) error = tmp.Close();
        if (!error.IsError()) error = dir.Rename(tmpName, name);
        const bool replaced = !error.IsError();
        if (!error.IsError()) error = dir.Sync();
        if (replaced && error.IsError()) {
            return console_.Fail(fmt::format("{}: the report was rewritten, but its directory could not be synced, "
                                             "so a crash may yet bring back the old one",
                                             path_),
                                 error),
                   false;
        }
        if (error.IsError()) {
            (void)tmp.Close();
            (void)dir.Unlink(tmpName, true);
            return console_.Fail(fmt::format("{}: the report was not changed{}", path_,
                                             moved > 0 ? "; " + badPath + " may already hold copies of its lines" : ""),
                                 error),
                   false;
        }
        console_.out << fmt::format("{}: moved {} to {}\n", path_, Plural(moved, "line", "lines"), badPath);
        console_.out << fmt::format("{}: rewrote the report with {}\n", path_, Plural(kept, "record", "records"));
        return true;
    }

    const Console& console_;
    std::string path_;
    std::unique_ptr<ReportLock> lock_;  // with --repair: held until the checker goes
    CQiDirectoryHandle dir_;            // the report's directory, opened once
    std::string name_;                  // the report's name in it
    std::unique_ptr<ReportFile> scanned_;  // the report as opened and scanned under the lock
    CQiFileStat reportStat_;
    const ReportKind* kind_ = nullptr;
    bool plain_ = false;
    std::size_t records_ = 0;
    std::size_t unreadable_ = 0;
    Tail tail_;
    uint64_t scannedBytes_ = 0;
    bool leftoverTemp_ = false;
    bool foreignTemp_ = false;
    bool unrepairable_ = false;  // FILE.bad is no file a repair can append to or read
    std::size_t problems_ = 0;
    std::size_t listed_ = 0;
    std::size_t unlisted_ = 0;
};

enum class Outcome { Sound, Repaired, Problems };

Outcome CheckFile(const Console& console, const std::string& path, const CheckOptions& options) {
    FileChecker checker(console, path);
    const auto ok = [&] {
        console.out << fmt::format("{}: ok ({})\n", path, Plural(checker.Records(), "record", "records"));
    };
    if (!options.repair) {
        const bool read = checker.Scan(false);
        if (read && checker.Clean()) ok();
        return read && checker.Clean() ? Outcome::Sound : Outcome::Problems;
    }
    // A first look without the lock says whether the file is one this tool can
    // rewrite at all, so a compressed copy or an unknown file takes no lock.
    {
        ReportFile probe;
        if (probe.Open(path).IsError() || probe.Kind() == nullptr) {
            checker.Scan(false);  // says why it is no report
            return Outcome::Problems;
        }
        if (!probe.IsPlainFile()) {
            checker.Scan(false);
            console.Fail(path + ": a compressed file is only checked, never repaired; decompress it to repair it");
            return Outcome::Problems;
        }
    }
    if (!checker.Lock()) return Outcome::Problems;
    if (!checker.Scan(true)) return Outcome::Problems;
    if (checker.Clean()) {
        ok();
        return Outcome::Sound;
    }
    return checker.Repair() ? Outcome::Repaired : Outcome::Problems;
}

}  // namespace

int Check(const Console& console, const CheckOptions& options) {
    if (options.lockTimeoutMs != 0) I2::Utils::IdxNamedMutex::SetDefaultTimeoutMs(options.lockTimeoutMs);
    bool problems = false;
    bool repaired = false;
    for (const std::string& path : options.files) {
        const Outcome outcome = CheckFile(console, path, options);
        problems = problems || outcome == Outcome::Problems;
        repaired = repaired || outcome == Outcome::Repaired;
    }
    console.out.flush();
    return problems ? kExitFailed : repaired ? kExitRepaired : kExitOk;
}

}  // namespace IdxTool
