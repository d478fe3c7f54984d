#pragma once

// Generated data of realistic magnitudes, and the hand-written "floors": the same
// bytes produced or consumed with nothing but std::to_chars / std::from_chars and
// raw system calls. A floor is what the hardware allows for the job; the
// benchmarks show each figure of the library beside its floor, and the harness
// checks once at start-up that both write and read exactly the same bytes.
//
// The floors call the operating system directly (read, write, flock): they are
// measuring sticks, not library code, so the library's layering does not apply.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <IdxReports/Report.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>

namespace bench {

// splitmix64: fast, and the same sequence on every machine.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t bound) { return Next() % bound; }
    // A count whose number of digits is spread evenly over 1..maxDigits.
    uint64_t Count(int maxDigits);
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

private:
    uint64_t state_;
};

// Arguments of one DanglingStubsReport::AddDanglingStubsInfo call.
struct StubArgs {
    std::string filePath;
    std::string stubsVersionGUID;
    std::string dataVersionGUID;
    uint64_t modifiedTimestamp = 0;
    uint64_t sizeInBytes = 0;
    bool pulledForward = false;
    std::string stubType;
    std::string origAppGUID;
};

// Pools of distinct generated records; the benchmarks cycle through them, so the
// generation cost stays out of the timings. The size is a power of two.
constexpr std::size_t kPoolSize = 1u << 16;
// Non-const because AddRecord takes its record by reference (it sets the separator).
std::vector<I2::JobStatsRecord>& JobPool();
std::vector<I2::LogicalDiskRecord>& DiskPool();
const std::vector<StubArgs>& StubPool();
// Disk samples one minute apart from an epoch second near 1.7e9: sample i of a
// year-long file. Free space drifts, so every day has its own average.
I2::LogicalDiskRecord DiskSample(std::size_t i);

// The job statistics record without the 10000-row limit of "JobStats.csv", so a
// million appends measure the record and the file, not a million-row rotation.
class UnlimitedJobStatsReport : public I2::Report<I2::JobStatsRecord, -1, ','> {
public:
    std::vector<std::string> GetHeader() const override;
};

// --- floor: formatting ---------------------------------------------------------

// Appends into a caller's buffer that has room for one more line (kMaxLine).
constexpr std::size_t kMaxLine = 4096;
char* FormatJobLine(char* out, const I2::JobStatsRecord& r);
char* FormatDiskLine(char* out, const I2::LogicalDiskRecord& r);
char* FormatStubLine(char* out, const StubArgs& s);

// Lines formatted into a large buffer handed to fwrite in large pieces.
class FloorWriter {
public:
    explicit FloorWriter(const std::string& path);  // created or emptied
    ~FloorWriter();
    FloorWriter(const FloorWriter&) = delete;
    FloorWriter& operator=(const FloorWriter&) = delete;
    char* Room() { return buffer_.data() + used_; }
    void Commit(char* end);  // the line ends at `end`, its "\n" included
    void Put(std::string_view line);
    void Close();

private:
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
};

// --- floor: parsing ------------------------------------------------------------

struct JobRow {
    unsigned long long totalFilesInIndex = 0, jobId = 0, totalCommands = 0, addedFiles = 0,
                       deletedFolders = 0, deletedFiles = 0;
    double secondsToPlayback = 0;
    long startTime = 0, endTime = 0;
    unsigned long long modifiedFiles = 0;
    int jobType = 0;
    std::string hostname;
    long timestamp = 0;
    int status = 0;
    unsigned long long rootSize = 0, invalidMIMEClassification = 0;
};

struct DiskRow {
    long time = 0;
    unsigned long long db = 0, logs = 0, reports = 0, v1 = 0, other = 0, diskSize = 0, diskFree = 0;
    std::string alert;
};

void ParseJobLine(std::string_view line, JobRow& row);
char* FormatJobRow(char* out, const JobRow& row);
void ParseDiskLine(std::string_view line, DiskRow& row);

// Calls `onLine` for every line after the first, reading the file with read() in
// large blocks. Returns false when the file cannot be read.
bool ForEachDataLine(const std::string& path, const std::function<void(std::string_view)>& onLine);
// Counts "\n" with read() in 1 MiB blocks and memchr.
std::size_t CountNewlines(int fd);

// --- files ---------------------------------------------------------------------

// A private directory under $TMPDIR (or /tmp), removed with everything in it by
// RemoveScratch() at exit.
const std::string& ScratchDir();
void RemoveScratch();

// Data files written with the floor formatter (byte-identical to the library's,
// which the start-up check proves). Each is made once per process, on first use.
const std::string& JobFile1M();
const std::string& DiskFile1M();
const std::string& JobFile1GB();  // about 1 GiB of job statistics lines
// The same, read once so that it is in the page cache.
const std::string& WarmJobFile1GB();

// Runs a program to its end; false when it fails. Its standard output goes to
// `output` when given, else nowhere.
bool RunProgram(const std::vector<std::string>& args, std::string* output = nullptr);

std::string JobHeaderLine();
std::string DiskHeaderLine();
std::string StubHeaderLine();

// Writes out the scratch file system's dirty pages, so that what runs next is
// not timed together with writeback of what ran before.
void SyncScratch();

// Reads a whole file into memory (for comparisons).
std::string ReadWholeFile(const std::string& path);
std::size_t FileSize(const std::string& path);
// Reads a file once with read(), so that it is in the page cache.
void WarmPageCache(const std::string& path);

// Walks a job statistics file with ForEach and prints its own peak resident
// memory (kB): the child process a traversal's memory is measured in. Returns
// the exit status.
int ForEachChild(const std::string& path);
// Does one figure of the scale table once ("cycle", "cycle-floor", "diskfree",
// "diskfree-floor") on the disk file in `dir` and prints its peak resident
// memory (kB), like ForEachChild.
int ScaleChild(const std::string& figure, const std::string& dir);
// Prints this process's peak resident memory since its exec, in kB.
void PrintPeakMemory();
// Runs this program again with `args` and returns the peak memory (MiB) that it
// prints; -1 when it fails.
double ChildPeakMiB(const std::vector<std::string>& args);
// Keeps results alive that nothing else reads.
extern unsigned long long benchmark_sink;

// Writes the same records through the library and through the floors, loads them
// back both ways, and compares. False (with a message on stderr) on any difference:
// a floor that does not do the library's job measures nothing.
bool FloorsMatchLibrary();

}  // namespace bench
