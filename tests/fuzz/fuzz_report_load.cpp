// Any bytes as a report file, opened as every report kind: loading, walking and
// counting must end without harm whatever the file holds (no line ends, huge
// lines, NUL bytes, stray quotes, carriage returns, an older header). And a
// record appended to such a file must read back whole as its last line: a
// writer that finds a torn last line starts on a line of its own.
//
// The file lives in a private directory, on /dev/shm when there is one so that
// the rewrites' syncs cost nothing.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

namespace {

std::string g_dir;
std::string g_path;

void Require(bool condition) {
    if (!condition) std::abort();
}

void WriteInput(const uint8_t* data, size_t size) {
    std::ofstream out(g_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadBack() {
    std::ifstream in(g_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <typename Report>
void Load(Report& report) {
    typename Report::DataFrame_t frame;
    report.LoadAll(frame);  // may fail on a line the record refuses; must not crash
    std::size_t seen = 0;
    report.ForEach(
        [&seen](typename Report::DataFrame_t::value_type&) {
            ++seen;
            return CQiError::Success();
        },
        false);
    Require(frame.size() <= seen);
}

template <typename Report>
void LoadAs() {
    Report report;
    if (report.Open(g_path, std::ios::in, false).IsError()) return;
    Load(report);
    report.Close();
}

void WalkWithHandler() {
    I2::ReportFileHandler handler;
    if (handler.Open(g_path, std::ios::in).IsError()) return;
    std::size_t count = 0;
    handler.Count(count);
    std::vector<std::string> fields;
    handler.GetHeader(fields, ',');
    handler.FindIfLine([](std::string& line) { return line.size() > 3; });
    for (int i = 0; i < 4; ++i) handler.GetRecord(fields, ',');
    std::size_t again = 0;
    Require(!handler.Count(again).IsError() && again == count);
}

// The appended record is the file's last line, whole, on a line of its own.
void AppendAndReadBack() {
    const std::string input = ReadBack();
    // Bytes after the last line end are a crash's torn line to a writer, which
    // moves them to FILE.bad before it appends.
    const std::string before = input.substr(0, input.rfind('\n') + 1);
    const std::string tail = input.substr(before.size());
    const std::string bad = g_path + ".bad";
    std::remove(bad.c_str());
    I2::VerifyArchiveReport report;
    if (report.Open(g_path, std::ios::out | std::ios::app, false).IsError()) return;
    if (report.AddStubsInfo("/appended,\"x\"", 7, 8, "{g}").IsError() || report.Close().IsError()) return;
    const std::string after = ReadBack();
    const std::string line = "\"/appended,\"\"x\"\"\",7,8,{g}\n";
    Require(after.size() >= line.size() && after.compare(after.size() - line.size(), line.size(), line) == 0);
    // The whole lines that were there before are still there, untouched. In
    // between: nothing, or the header line when the file had none.
    Require(after.compare(0, before.size(), before) == 0);
    const std::string between = after.substr(before.size(), after.size() - line.size() - before.size());
    const std::string header = report.GetHeaderLine() + "\n";
    Require(between.empty() || between == "\n" || between == header || between == "\n" + header);
    if (!tail.empty()) {
        std::ifstream in(bad, std::ios::binary);
        const std::string moved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Require(moved.find("\t" + tail + "\n") != std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    pattern += "/idxreports-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    g_dir = pattern;
    g_path = g_dir + "/report.csv";
    setenv("IDXREPORTS_LOCK_DIR", (g_dir + "/locks").c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_dir, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteInput(data, size);
    WalkWithHandler();
    LoadAs<I2::LogicalDiskReport>();
    LoadAs<I2::DanglingStubsReport>();
    LoadAs<I2::DroppedFilesReport>();
    LoadAs<I2::VerifyArchiveReport>();
    LoadAs<I2::LogCleanUpReport>();
    {
        I2::LogicalDiskReport disk;
        if (!disk.Open(g_path, std::ios::in, false).IsError()) {
            std::vector<double> averages;
            disk.LoadIndexCacheDiskFreeSpace(averages);
        }
    }
    {
        // The header check rewrites a file under another header, so it comes last
        // among the readers.
        I2::JobStatsReport jobs;
        if (!jobs.Open(g_dir, "report.csv", std::ios::in).IsError()) Load(jobs);
    }
    WriteInput(data, size);
    AppendAndReadBack();
    return 0;
}
