// The demo: thirty days of an index server's reports, written through the
// library in a few seconds, then read back with the tool's own commands.
#include "Commands.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ios>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "ReportFile.h"
#include "System.h"

namespace IdxTool {
namespace {

constexpr long kStart = 1709251200;  // 2024-03-01T00:00:00Z: the simulated clock starts here
constexpr long kDay = 86400;
constexpr int kDays = 30;
constexpr int kJobs = 12000;         // past the 10000-row limit, so JobStats.csv.old appears
constexpr unsigned long kFirstJobId = 100001;
constexpr uint64_t kGiB = 1ull << 30;

const char* const kDisks[] = {"/var/lib/idxserver/index-cache", "/mnt/idxcache-2"};
const char* const kDanglingStubsFile = "SyntheticFull_DanglingStubs.csv";
const char* const kDroppedFilesFile = "SyntheticFull_DroppedFiles.csv";
const char* const kVerifyArchiveFile = "VerifyArchive.csv";

// Fixed-seed numbers. std::mt19937_64's sequence is fixed by the standard; the
// distributions are not, so the mapping to ranges is done here.
class Numbers {
public:
    uint64_t Below(uint64_t bound) { return engine_() % bound; }
    double Unit() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
    std::string Guid() {
        return fmt::format("{:08x}-{:04x}-{:04x}-{:04x}-{:012x}", Below(1ull << 32), Below(1 << 16), Below(1 << 16),
                           Below(1 << 16), Below(1ull << 48));
    }

private:
    std::mt19937_64 engine_{20240301};
};

// One row per job from four hosts, a job every 216 seconds on average.
// AddJobStats stamps the wall clock; the demo replays thirty days at once, so
// it stamps each row with the job's simulated end and appends it with AddRecord.
CQiError WriteJobStats(const std::string& dir, Numbers& numbers) {
    const char* const hosts[] = {"idx-east-01", "idx-east-01", "idx-east-01", "idx-east-02", "idx-east-02",
                                 "idx-east-02", "idx-west-01", "idx-west-01", "idx-west-02", "idx-west-02"};
    unsigned long long filesInIndex[4] = {1200000, 800000, 450000, 90000};
    I2::JobStatsReport report;
    CQiError error = report.Open(dir, I2::JobStatsReport::FileName, std::ios::out | std::ios::app);
    for (int job = 0; job < kJobs && !error.IsError(); ++job) {
        const std::size_t hostIndex = numbers.Below(std::size(hosts));
        const std::size_t host = hostIndex < 3 ? 0 : hostIndex < 6 ? 1 : hostIndex < 8 ? 2 : 3;
        const unsigned long long added = numbers.Below(5000);
        const unsigned long long modified = numbers.Below(2000);
        const unsigned long long deletedFiles = numbers.Below(800);
        const unsigned long long deletedFolders = numbers.Below(20);
        const unsigned long long commands = added + modified + deletedFiles + deletedFolders + numbers.Below(100);
        double seconds = 0.5 + static_cast<double>(commands) / 4000.0 + numbers.Unit();
        if (job % 997 == 500) seconds *= 20 + numbers.Below(40);  // now and then a playback crawls
        filesInIndex[host] += added - std::min(added, deletedFiles);
        const long start = kStart + static_cast<long>(job) * 216 + static_cast<long>(numbers.Below(100));
        const long end = start + static_cast<long>(seconds) + 5;

        I2::JobStatsRecord row;
        row.SetTotalFilesInIndex(filesInIndex[host]);
        row.SetJobId(kFirstJobId + static_cast<unsigned long>(job));
        row.SetTotalCommands(commands);
        row.SetAddedFiles(added);
        row.SetDeletedFolders(deletedFolders);
        row.SetDeletedFiles(deletedFiles);
        row.SetSecondsToPlayback(seconds);
        row.SetStartTime(start);
        row.SetEndTime(end);
        row.SetModifiedFiles(modified);
        row.SetJobType(1 + static_cast<int>(numbers.Below(10) / 4));  // types 1, 2 and 3
        row.SetHostname(hosts[hostIndex]);
        row.SetTimestamp(end);
        row.SetRootSize(filesInIndex[host] * 4096);
        row.SetInvalidMIMEClassification(numbers.Below(50) == 0 ? 1 + numbers.Below(5) : 0);
        error = report.AddRecord(row);
    }
    if (!error.IsError()) error = report.Close();
    return error.Push(FX_CODE_LOCATION);
}

// Every ten minutes for thirty days: the database grows, logs fill up during
// the day and are cleared at midnight, and three weeks in a clean-up frees
// 70 GiB on the first disk. Below 15 % free a sample carries an alert.
CQiError SampleDisks(const std::string& dir, Numbers& numbers) {
    const uint64_t sizes[] = {512 * kGiB, 2048 * kGiB};
    const double dbStart[] = {350.0, 900.0};
    const double dbGrowthPerDay[] = {3.2, 6.5};
    for (std::size_t disk = 0; disk < std::size(kDisks); ++disk) {
        I2::LogicalDiskReport report;
        CQiError error = report.Open(I2::LogicalDiskReport::GetFilePath(dir, kDisks[disk]),
                                     std::ios::out | std::ios::app, false);
        for (long t = kStart; t < kStart + kDays * kDay && !error.IsError(); t += 600) {
            const double days = static_cast<double>(t - kStart) / kDay;
            const double dayFraction = days - static_cast<double>(static_cast<long>(days));
            double dbGiB = dbStart[disk] + dbGrowthPerDay[disk] * days;
            if (disk == 0 && days >= 21) dbGiB -= 70;
            const double logsGiB = 9.0 * dayFraction + numbers.Unit() * 0.2;
            const auto toBytes = [](double gib) { return static_cast<uint64_t>(gib * static_cast<double>(kGiB)); };
            const uint64_t db = toBytes(dbGiB);
            const uint64_t logs = toBytes(logsGiB);
            const uint64_t reports = toBytes(0.4 + 0.01 * days);
            const uint64_t v1 = toBytes(12.0);
            const uint64_t other = toBytes(20.0 + numbers.Unit());
            const uint64_t used = db + logs + reports + v1 + other;
            const uint64_t free = sizes[disk] > used ? sizes[disk] - used : 0;

            I2::LogicalDiskRecord sample;
            sample.SetTime(t);
            sample.SetDB(db);
            sample.SetLogs(logs);
            sample.SetReports(reports);
            sample.SetV1(v1);
            sample.SetOther(other);
            sample.SetDiskSize(sizes[disk]);
            sample.SetDiskFree(free);
            if (free * 100 < sizes[disk] * 15)
                sample.SetAlert(fmt::format("free space at {}%, clean-up advised", free * 100 / sizes[disk]));
            error = report.AddRecord(sample);
        }
        if (!error.IsError()) error = report.Close();
        if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

// File names as users make them: commas, quotes, spaces.
const char* const kFileNames[] = {
    "/shares/finance/Q1, Q2 summary.xlsx",
    "/shares/legal/the \"final\" contract.pdf",
    "/shares/eng/build,\"nightly\",log.txt",
    "/shares/hr/handbook.pdf",
    "/shares/eng/src/main.cpp",
    "/shares/marketing/logo (v2).png",
    "/shares/finance/invoices/2024-02.csv",
    "/shares/eng/notes \"draft\".md",
};

CQiError RunSyntheticFull(const std::string& dir, Numbers& numbers) {
    I2::DanglingStubsReport stubs;
    CQiError error = stubs.Open(CQiPath::Append(dir, kDanglingStubsFile), std::ios::out | std::ios::app, false);
    for (std::size_t i = 0; i < 12 && !error.IsError(); ++i) {
        error = stubs.AddDanglingStubsInfo(kFileNames[i % std::size(kFileNames)], numbers.Guid(), numbers.Guid(),
                                           static_cast<uint64_t>(kStart - 86400 * static_cast<long>(numbers.Below(300))),
                                           numbers.Below(1ull << 30), numbers.Below(3) == 0,
                                           i % 2 == 0 ? "archive" : "tiered", numbers.Guid());
    }
    if (!error.IsError()) error = stubs.Close();
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);

    const char* const reasons[] = {"version no longer on media", "stub without data, data pruned",
                                   "checksum mismatch", "path too long for target"};
    I2::DroppedFilesReport dropped;
    error = dropped.Open(CQiPath::Append(dir, kDroppedFilesFile), std::ios::out | std::ios::app, false);
    for (std::size_t i = 0; i < 10 && !error.IsError(); ++i) {
        const std::size_t reason = numbers.Below(std::size(reasons));
        error = dropped.AddDroppedFilesInfo(kFileNames[(i * 3) % std::size(kFileNames)], numbers.Guid(),
                                            numbers.Below(2) == 0,
                                            static_cast<uint64_t>(kStart - 86400 * static_cast<long>(numbers.Below(300))),
                                            numbers.Below(1ull << 28), static_cast<uint32_t>(reason + 1), reasons[reason]);
    }
    if (!error.IsError()) error = dropped.Close();
    return error.Push(FX_CODE_LOCATION);
}

CQiError CleanUpLogs(const std::string& dir) {
    I2::LogCleanUpReport report;
    CQiError error = report.Open(dir, "Logs", "CleanUp");
    const char* const reasons[] = {"aged out after 30 days", "job invalidated", "superseded by a newer full"};
    for (unsigned long job = 0; job < 8 && !error.IsError(); ++job)
        error = report.AddCleanUpRecord(std::to_string(kFirstJobId + job * 37), reasons[job % std::size(reasons)]);
    if (!error.IsError()) error = report.Close();
    return error.Push(FX_CODE_LOCATION);
}

CQiError VerifyArchive(const std::string& dir, Numbers& numbers) {
    I2::VerifyArchiveReport report;
    CQiError error = report.Open(CQiPath::Append(dir, kVerifyArchiveFile), std::ios::out | std::ios::trunc, false);
    for (std::size_t i = 0; i < 8 && !error.IsError(); ++i) {
        const uint64_t modified = static_cast<uint64_t>(kStart - 86400 * static_cast<long>(numbers.Below(600)));
        const uint64_t size = numbers.Below(1ull << 32);
        error = report.AddStubsInfo(kFileNames[(i * 5) % std::size(kFileNames)], modified, size, numbers.Guid());
    }
    if (!error.IsError()) error = report.Close();
    return error.Push(FX_CODE_LOCATION);
}

CQiError PrepareDirectory(const std::string& requested, std::string& dir) {
    if (requested.empty()) return MakeFreshDirectory(TempDirectory(), "idxreport-demo-", dir).Push(FX_CODE_LOCATION);
    dir = requested;
    if (CQiPath::Exists(dir) && !IsEmptyDirectory(dir))
        return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22, "not a new or empty directory; the demo starts afresh");
    return CQiDirectory::Create(dir, true).Push(FX_CODE_LOCATION);
}

// `text` as one shell word, so that a shown command can be pasted back:
//   /tmp/a b -> '/tmp/a b';  it's -> 'it'\''s';  /tmp/plain -> /tmp/plain
std::string ShellWord(const std::string& text) {
    const bool plain = !text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                               "0123456789/._-+:=@,%") == std::string::npos;
    if (plain) return text;
    std::string word = "'";
    for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return Printable(word + "'");
}

void Heading(const Console& console, const std::string& title) { console.out << "\n== " << title << "\n" << std::flush; }

int ListFiles(const Console& console, const std::string& dir, std::vector<std::string>& paths) {
    auto table = MakeRowWriter(Format::Table, console.out);
    table->Begin({"File", "Lines", "Bytes"});
    for (const std::string& name : FilesUnder(dir)) {
        const std::string path = CQiPath::Append(dir, name);
        ReportFile file;
        CQiError error = file.Open(path);
        std::size_t lines = file.HasHeader() ? 1 : 0;
        if (!error.IsError()) error = file.ForEachDataLine(console, [&](const InputLine&) {
            ++lines;
            return true;
        });
        if (error.IsError()) return console.Fail(path, error);
        table->Add({Cell{name, false}, Cell{std::to_string(lines), true}, Cell{std::to_string(file.Size()), true}});
        paths.push_back(path);
    }
    table->End();
    return kExitOk;
}

}  // namespace

int Demo(const Console& console, const std::string& requested) {
    std::string dir;
    CQiError error = PrepareDirectory(requested, dir);
    if (error.IsError()) return console.Fail(requested.empty() ? TempDirectory() : requested, error);
    console.out << "idxreport demo: an index server's reports for " << kDays << " days, in " << dir << "\n"
                << std::flush;

    Numbers numbers;
    error = WriteJobStats(dir, numbers);
    if (!error.IsError()) error = SampleDisks(dir, numbers);
    if (!error.IsError()) error = RunSyntheticFull(dir, numbers);
    if (!error.IsError()) error = CleanUpLogs(dir);
    if (!error.IsError()) error = VerifyArchive(dir, numbers);
    if (error.IsError()) return console.Fail(dir, error);

    // Five jobs of the last days turn out to be bad.
    const std::vector<unsigned long> invalid = {kFirstJobId + 10003, kFirstJobId + 10250, kFirstJobId + 10251,
                                                kFirstJobId + 11400, kFirstJobId + 11999};
    const std::string shownDir = ShellWord(dir);
    Heading(console, fmt::format("idxreport invalidate {} {}", shownDir, fmt::join(invalid, " ")));
    int status = Invalidate(console, dir, invalid);

    Heading(console, "idxreport jobs " + shownDir);
    if (status == kExitOk) status = Jobs(console, dir, Format::Table);
    for (const char* disk : kDisks) {
        if (status != kExitOk) break;
        Heading(console, fmt::format("idxreport freespace {} {}", shownDir, ShellWord(disk)));
        FreeSpaceOptions free;
        free.directory = dir;
        free.diskKey = disk;
        free.format = Format::Table;
        status = FreeSpace(console, free);
    }
    if (status == kExitOk) {
        Heading(console, "idxreport show --head 4 " + ShellWord(CQiPath::Append(dir, kDroppedFilesFile).str()));
        ShowOptions show;
        show.files = {CQiPath::Append(dir, kDroppedFilesFile)};
        show.format = Format::Table;
        show.head = 4;
        status = Show(console, show);
    }
    std::vector<std::string> paths;
    if (status == kExitOk) {
        Heading(console, "Files written");
        status = ListFiles(console, dir, paths);
    }
    if (status == kExitOk) {
        Heading(console, "idxreport check " + shownDir + "/...");
        CheckOptions check;
        check.files = paths;
        status = Check(console, check);
    }
    return status;
}

}  // namespace IdxTool
