#include "BenchData.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace bench {

unsigned long long benchmark_sink = 0;

namespace {

constexpr std::size_t kWriteBlock = 4u << 20;  // one fwrite per 4 MiB
constexpr std::size_t kReadBlock = 4u << 20;

const char* const kHosts[] = {
    "idx01",           "idx02",           "mediaagent-03",   "ma04.corp.example.com",
    "backup-node-017", "bk-node-118",     "idxsrv-west-2",   "idxsrv-east-11.dc1.example.net",
    "node42",          "storage-gw-7",    "ma-lon-0031",     "ma-fra-0008.eu.example.org",
    "vault-a",         "vault-b",         "edge-17",         "idx-cache-big-host-01.example.com",
};
constexpr std::size_t kHostCount = sizeof(kHosts) / sizeof(kHosts[0]);

std::string Guid(Rng& rng) {
    static const char hex[] = "0123456789abcdef";
    std::string g(36, '-');
    for (std::size_t i = 0; i < g.size(); ++i)
        if (i != 8 && i != 13 && i != 18 && i != 23) g[i] = hex[rng.Below(16)];
    return g;
}

I2::JobStatsRecord MakeJob(Rng& rng, std::size_t i) {
    I2::JobStatsRecord r;
    r.SetTotalFilesInIndex(rng.Count(9));
    r.SetJobId(2000000 + i);
    r.SetTotalCommands(rng.Count(9));
    r.SetAddedFiles(rng.Count(8));
    r.SetDeletedFolders(rng.Count(5));
    r.SetDeletedFiles(rng.Count(7));
    // %g output of every shape: integers, fixed, and both exponent forms.
    double seconds = rng.Below(8) == 0 ? static_cast<double>(rng.Below(3600))
                                       : rng.Unit() * std::pow(10.0, static_cast<int>(rng.Below(11)) - 4);
    r.SetSecondsToPlayback(seconds);
    long start = 1700000000L + static_cast<long>(rng.Below(30000000));
    r.SetStartTime(start);
    r.SetEndTime(start + static_cast<long>(rng.Below(100000)));
    r.SetModifiedFiles(rng.Count(7));
    r.SetJobType(static_cast<int>(rng.Below(12)));
    r.SetHostname(kHosts[rng.Below(kHostCount)]);
    r.SetTimestamp(r.GetEndTime() + static_cast<long>(rng.Below(60)));
    r.SetStatus(rng.Below(20) == 0 ? 1 : 0);
    r.SetRootSize(rng.Count(13));
    r.SetInvalidMIMEClassification(rng.Below(4) == 0 ? rng.Count(4) : 0);
    return r;
}

StubArgs MakeStub(Rng& rng, std::size_t i) {
    static const char* const projects[] = {"alpha", "finance", "render-farm", "home", "mail-archive"};
    static const char* const exts[] = {"dat", "pdf", "docx", "tar.gz", "jpg", "log"};
    static const char* const types[] = {"Stub", "FileStub", "Link", "Placeholder"};
    char path[160];
    std::snprintf(path, sizeof path, "/mnt/archive/vol%02u/projects/%s/dir%04u/file_%07zu.%s",
                  static_cast<unsigned>(rng.Below(40)), projects[rng.Below(5)],
                  static_cast<unsigned>(rng.Below(10000)), i, exts[rng.Below(6)]);
    StubArgs s;
    s.filePath = path;
    s.stubsVersionGUID = Guid(rng);
    s.dataVersionGUID = Guid(rng);
    s.modifiedTimestamp = 1600000000u + rng.Below(100000000);
    s.sizeInBytes = rng.Count(11);
    s.pulledForward = rng.Below(2) == 0;
    s.stubType = types[rng.Below(4)];
    s.origAppGUID = Guid(rng);
    return s;
}

template <typename T>
char* Num(char* out, T value) {
    return std::to_chars(out, out + 32, value).ptr;
}
char* Num(char* out, double value) {
    return std::to_chars(out, out + 32, value, std::chars_format::general, 6).ptr;
}
char* Text(char* out, const std::string& text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Fields of one line, split at ',' with memchr.
class Fields {
public:
    explicit Fields(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}
    std::string_view Next() {
        const char* comma = static_cast<const char*>(std::memchr(p_, ',', static_cast<std::size_t>(end_ - p_)));
        const char* stop = comma ? comma : end_;
        std::string_view field(p_, static_cast<std::size_t>(stop - p_));
        p_ = comma ? comma + 1 : end_;
        return field;
    }
    template <typename T>
    void Read(T& value) {
        std::string_view f = Next();
        std::from_chars(f.data(), f.data() + f.size(), value);
    }
    void Read(double& value) {
        std::string_view f = Next();
        std::from_chars(f.data(), f.data() + f.size(), value, std::chars_format::general);
    }
    void Read(std::string& value) {
        std::string_view f = Next();
        value.assign(f.data(), f.size());
    }

private:
    const char* p_;
    const char* end_;
};

std::string MakeFile(const char* name, std::size_t lines, const std::string& header,
                     const std::function<char*(char*, std::size_t)>& format) {
    std::string path = ScratchDir() + "/" + name;
    FloorWriter out(path);
    out.Put(header);
    for (std::size_t i = 0; i < lines; ++i) out.Commit(format(out.Room(), i));
    out.Close();
    SyncScratch();
    return path;
}

}  // namespace

uint64_t Rng::Count(int maxDigits) {
    uint64_t limit = 1;
    for (int d = 1 + static_cast<int>(Below(static_cast<uint64_t>(maxDigits))); d > 0; --d) limit *= 10;
    return Below(limit);
}

std::vector<I2::JobStatsRecord>& JobPool() {
    static std::vector<I2::JobStatsRecord> pool = [] {
        Rng rng(1);
        std::vector<I2::JobStatsRecord> v;
        v.reserve(kPoolSize);
        for (std::size_t i = 0; i < kPoolSize; ++i) v.push_back(MakeJob(rng, i));
        return v;
    }();
    return pool;
}

I2::LogicalDiskRecord DiskSample(std::size_t i) {
    Rng rng(0x5EED0000u + i);
    const unsigned long long size = 2199023255552ull;  // 2 TiB
    const double fraction = 0.35 + 0.25 * std::sin(static_cast<double>(i) / 9000.0) + 0.01 * rng.Unit();
    I2::LogicalDiskRecord r;
    r.SetTime(1700000000L + 60L * static_cast<long>(i));
    r.SetDB(rng.Count(12));
    r.SetLogs(rng.Count(10));
    r.SetReports(rng.Count(8));
    r.SetV1(rng.Below(3) == 0 ? 0 : rng.Count(11));
    r.SetOther(rng.Count(9));
    r.SetDiskSize(size);
    r.SetDiskFree(static_cast<unsigned long long>(fraction * static_cast<double>(size)));
    r.SetAlert(fraction < 0.12 ? "LowSpace" : "");
    return r;
}

std::vector<I2::LogicalDiskRecord>& DiskPool() {
    static std::vector<I2::LogicalDiskRecord> pool = [] {
        std::vector<I2::LogicalDiskRecord> v;
        v.reserve(kPoolSize);
        for (std::size_t i = 0; i < kPoolSize; ++i) v.push_back(DiskSample(i));
        return v;
    }();
    return pool;
}

const std::vector<StubArgs>& StubPool() {
    static const std::vector<StubArgs> pool = [] {
        Rng rng(3);
        std::vector<StubArgs> v;
        v.reserve(kPoolSize);
        for (std::size_t i = 0; i < kPoolSize; ++i) v.push_back(MakeStub(rng, i));
        return v;
    }();
    return pool;
}

std::vector<std::string> UnlimitedJobStatsReport::GetHeader() const {
    static const std::vector<std::string> header = I2::JobStatsReport().GetHeader();
    return header;
}

// --- floor: formatting ---------------------------------------------------------

char* FormatJobLine(char* o, const I2::JobStatsRecord& r) {
    o = Num(o, r.GetTotalFilesInIndex()); *o++ = ',';
    o = Num(o, r.GetJobId()); *o++ = ',';
    o = Num(o, r.GetTotalCommands()); *o++ = ',';
    o = Num(o, r.GetAddedFiles()); *o++ = ',';
    o = Num(o, r.GetDeletedFolders()); *o++ = ',';
    o = Num(o, r.GetDeletedFiles()); *o++ = ',';
    o = Num(o, r.GetSecondsToPlayback()); *o++ = ',';
    o = Num(o, r.GetStartTime()); *o++ = ',';
    o = Num(o, r.GetEndTime()); *o++ = ',';
    o = Num(o, r.GetModifiedFiles()); *o++ = ',';
    o = Num(o, r.GetJobType()); *o++ = ',';
    o = Text(o, r.GetHostname()); *o++ = ',';
    o = Num(o, r.GetTimestamp()); *o++ = ',';
    o = Num(o, r.GetStatus()); *o++ = ',';
    o = Num(o, r.GetRootSize()); *o++ = ',';
    o = Num(o, r.GetInvalidMIMEClassification()); *o++ = '\n';
    return o;
}

char* FormatDiskLine(char* o, const I2::LogicalDiskRecord& r) {
    o = Num(o, r.GetTime()); *o++ = ',';
    o = Num(o, r.GetDB()); *o++ = ',';
    o = Num(o, r.GetLogs()); *o++ = ',';
    o = Num(o, r.GetReports()); *o++ = ',';
    o = Num(o, r.GetV1()); *o++ = ',';
    o = Num(o, r.GetOther()); *o++ = ',';
    o = Num(o, r.GetDiskSize()); *o++ = ',';
    o = Num(o, r.GetDiskFree()); *o++ = ',';
    o = Text(o, r.GetAlert()); *o++ = '\n';
    return o;
}

char* FormatStubLine(char* o, const StubArgs& s) {
    o = Text(o, s.filePath); *o++ = ',';
    o = Text(o, s.stubsVersionGUID); *o++ = ',';
    o = Text(o, s.dataVersionGUID); *o++ = ',';
    o = Num(o, static_cast<long>(s.modifiedTimestamp)); *o++ = ',';
    o = Num(o, static_cast<unsigned long long>(s.sizeInBytes)); *o++ = ',';
    if (s.pulledForward) { std::memcpy(o, "YES", 3); o += 3; } else { std::memcpy(o, "NO", 2); o += 2; }
    *o++ = ',';
    o = Text(o, s.stubType); *o++ = ',';
    o = Text(o, s.origAppGUID); *o++ = '\n';
    return o;
}

FloorWriter::FloorWriter(const std::string& path) : buffer_(kWriteBlock + kMaxLine) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw std::runtime_error("cannot create " + path);
    std::setvbuf(file_, nullptr, _IONBF, 0);  // our buffer is the only one
}

FloorWriter::~FloorWriter() { Close(); }

void FloorWriter::Commit(char* end) {
    used_ = static_cast<std::size_t>(end - buffer_.data());
    if (used_ >= kWriteBlock) {
        std::fwrite(buffer_.data(), 1, used_, file_);
        used_ = 0;
    }
}

void FloorWriter::Put(std::string_view line) {
    char* o = Room();
    std::memcpy(o, line.data(), line.size());
    o[line.size()] = '\n';
    Commit(o + line.size() + 1);
}

void FloorWriter::Close() {
    if (!file_) return;
    if (used_) std::fwrite(buffer_.data(), 1, used_, file_);
    used_ = 0;
    std::fclose(file_);
    file_ = nullptr;
}

// --- floor: parsing ------------------------------------------------------------

void ParseJobLine(std::string_view line, JobRow& r) {
    Fields f(line);
    f.Read(r.totalFilesInIndex);
    f.Read(r.jobId);
    f.Read(r.totalCommands);
    f.Read(r.addedFiles);
    f.Read(r.deletedFolders);
    f.Read(r.deletedFiles);
    f.Read(r.secondsToPlayback);
    f.Read(r.startTime);
    f.Read(r.endTime);
    f.Read(r.modifiedFiles);
    f.Read(r.jobType);
    f.Read(r.hostname);
    f.Read(r.timestamp);
    f.Read(r.status);
    f.Read(r.rootSize);
    f.Read(r.invalidMIMEClassification);
}

char* FormatJobRow(char* o, const JobRow& r) {
    o = Num(o, r.totalFilesInIndex); *o++ = ',';
    o = Num(o, r.jobId); *o++ = ',';
    o = Num(o, r.totalCommands); *o++ = ',';
    o = Num(o, r.addedFiles); *o++ = ',';
    o = Num(o, r.deletedFolders); *o++ = ',';
    o = Num(o, r.deletedFiles); *o++ = ',';
    o = Num(o, r.secondsToPlayback); *o++ = ',';
    o = Num(o, r.startTime); *o++ = ',';
    o = Num(o, r.endTime); *o++ = ',';
    o = Num(o, r.modifiedFiles); *o++ = ',';
    o = Num(o, r.jobType); *o++ = ',';
    o = Text(o, r.hostname); *o++ = ',';
    o = Num(o, r.timestamp); *o++ = ',';
    o = Num(o, r.status); *o++ = ',';
    o = Num(o, r.rootSize); *o++ = ',';
    o = Num(o, r.invalidMIMEClassification); *o++ = '\n';
    return o;
}

void ParseDiskLine(std::string_view line, DiskRow& r) {
    Fields f(line);
    f.Read(r.time);
    f.Read(r.db);
    f.Read(r.logs);
    f.Read(r.reports);
    f.Read(r.v1);
    f.Read(r.other);
    f.Read(r.diskSize);
    f.Read(r.diskFree);
    f.Read(r.alert);
}

bool ForEachDataLine(const std::string& path, const std::function<void(std::string_view)>& onLine) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<char> buffer(kReadBlock + kMaxLine);
    std::size_t held = 0;  // bytes of an unfinished line at the buffer's start
    bool header = true;
    for (;;) {
        if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a line longer than a block
        ssize_t got = ::read(fd, buffer.data() + held, buffer.size() - held);
        if (got < 0) {
            ::close(fd);
            return false;
        }
        const char* p = buffer.data();
        const char* end = p + held + static_cast<std::size_t>(got);
        if (got == 0) {
            if (p != end && !header) onLine(std::string_view(p, static_cast<std::size_t>(end - p)));
            break;
        }
        for (;;) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
            if (!nl) break;
            if (header) header = false;
            else onLine(std::string_view(p, static_cast<std::size_t>(nl - p)));
            p = nl + 1;
        }
        held = static_cast<std::size_t>(end - p);
        std::memmove(buffer.data(), p, held);
    }
    ::close(fd);
    return true;
}

std::size_t CountNewlines(int fd) {
    static thread_local std::vector<char> buffer(1u << 20);
    std::size_t count = 0;
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
        const char* p = buffer.data();
        const char* end = p + got;
        while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))))) {
            ++count;
            ++p;
        }
    }
    return count;
}

// --- files ---------------------------------------------------------------------

namespace {
std::string& ScratchPath() {
    static std::string path;
    return path;
}
}  // namespace

const std::string& ScratchDir() {
    std::string& path = ScratchPath();
    if (path.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/idxreports-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    return path;
}

void RemoveScratch() {
    std::string& path = ScratchPath();
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    path.clear();
}

std::string JobHeaderLine() { return UnlimitedJobStatsReport().GetHeaderLine(); }
std::string DiskHeaderLine() { return I2::LogicalDiskReport().GetHeaderLine(); }
std::string StubHeaderLine() { return I2::DanglingStubsReport().GetHeaderLine(); }

const std::string& JobFile1M() {
    static const std::string path = MakeFile("jobs-1M.csv", 1000000, JobHeaderLine(), [](char* o, std::size_t i) {
        return FormatJobLine(o, JobPool()[i & (kPoolSize - 1)]);
    });
    return path;
}

const std::string& DiskFile1M() {
    static const std::string path = MakeFile("disk-1M.csv", 1000000, DiskHeaderLine(), [](char* o, std::size_t i) {
        return FormatDiskLine(o, DiskPool()[i & (kPoolSize - 1)]);
    });
    return path;
}

const std::string& JobFile1GB() {
    static const std::string path = [] {
        std::string p = ScratchDir() + "/jobs-1GB.csv";
        FloorWriter out(p);
        out.Put(JobHeaderLine());
        std::size_t bytes = 0;
        for (std::size_t i = 0; bytes < (1ull << 30); ++i) {
            char* start = out.Room();
            char* end = FormatJobLine(start, JobPool()[i & (kPoolSize - 1)]);
            bytes += static_cast<std::size_t>(end - start);
            out.Commit(end);
        }
        out.Close();
        SyncScratch();
        return p;
    }();
    return path;
}

const std::string& WarmJobFile1GB() {
    static const bool warmed = (WarmPageCache(JobFile1GB()), true);
    (void)warmed;
    return JobFile1GB();
}

// Runs a program to its end; false when it fails. Its standard output goes to
// `output` when given, else nowhere.
bool RunProgram(const std::vector<std::string>& args, std::string* output) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) {
        ::close(pipeFds[1]);
        char buffer[256];
        ssize_t got;
        while (rc == 0 && (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0)
            output->append(buffer, static_cast<std::size_t>(got));
        ::close(pipeFds[0]);
    }
    if (rc != 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SyncScratch() {
    int fd = ::open(ScratchDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

std::size_t FileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::size_t>(size);
}

void WarmPageCache(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    CountNewlines(fd);
    ::close(fd);
}

int ForEachChild(const std::string& path) {
    UnlimitedJobStatsReport report;
    if (report.Open(path, std::ios::in, false).IsError()) return 1;
    unsigned long long total = 0;
    CQiError err = report.ForEach(
        [&](I2::JobStatsRecord& r) {
            total += r.GetJobId();
            return CQiError::Success();
        },
        true);
    report.Close();
    benchmark_sink = total;
    PrintPeakMemory();
    return err.IsError() ? 1 : 0;
}

// The peak of this process's own memory since its exec. (ru_maxrss would not
// do: a child started with vfork semantics inherits its parent's peak.)
void PrintPeakMemory() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) std::printf("%s\n", line.c_str() + 6);
}

double ChildPeakMiB(const std::vector<std::string>& args) {
    std::vector<std::string> command{"/proc/self/exe"};
    command.insert(command.end(), args.begin(), args.end());
    std::string kiB;
    if (!RunProgram(command, &kiB)) return -1;
    return std::strtod(kiB.c_str(), nullptr) / 1024.0;
}

// --- the start-up check --------------------------------------------------------

namespace {

bool Fail(const std::string& what) {
    std::cerr << "floor check failed: " << what << "\n";
    return false;
}

bool SameFile(const std::string& ours, const std::string& floor, const char* what) {
    std::string a = ReadWholeFile(ours), b = ReadWholeFile(floor);
    if (a == b) return true;
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    std::size_t from = at < 80 ? 0 : at - 80;
    return Fail(std::string(what) + ": the library's file and the floor's differ at byte " + std::to_string(at) +
                "\n  library: " + a.substr(from, 160) + "\n  floor:   " + b.substr(from, 160));
}

bool SameJob(const I2::JobStatsRecord& a, const JobRow& b) {
    return a.GetTotalFilesInIndex() == b.totalFilesInIndex && a.GetJobId() == b.jobId &&
           a.GetTotalCommands() == b.totalCommands && a.GetAddedFiles() == b.addedFiles &&
           a.GetDeletedFolders() == b.deletedFolders && a.GetDeletedFiles() == b.deletedFiles &&
           a.GetSecondsToPlayback() == b.secondsToPlayback && a.GetStartTime() == b.startTime &&
           a.GetEndTime() == b.endTime && a.GetModifiedFiles() == b.modifiedFiles && a.GetJobType() == b.jobType &&
           a.GetHostname() == b.hostname && a.GetTimestamp() == b.timestamp && a.GetStatus() == b.status &&
           a.GetRootSize() == b.rootSize && a.GetInvalidMIMEClassification() == b.invalidMIMEClassification;
}

bool SameDisk(const I2::LogicalDiskRecord& a, const DiskRow& b) {
    return a.GetTime() == b.time && a.GetDB() == b.db && a.GetLogs() == b.logs && a.GetReports() == b.reports &&
           a.GetV1() == b.v1 && a.GetOther() == b.other && a.GetDiskSize() == b.diskSize &&
           a.GetDiskFree() == b.diskFree && a.GetAlert() == b.alert;
}

constexpr std::size_t kCheckLines = 20000;
constexpr auto kAppend = std::ios::out | std::ios::app;

// Appends the check's records through the library (`add`, one call per record)
// and through the floor's formatter, and compares the two files.
template <typename ReportT, typename AddT, typename FormatT>
bool SameWrites(const char* what, const char* name, AddT add, FormatT format) {
    const std::string ours = ScratchDir() + "/check/" + name + "-ours.csv";
    ReportT report;
    if (report.Open(ours, kAppend, true).IsError()) return Fail(std::string("open ") + what);
    for (std::size_t i = 0; i < kCheckLines; ++i)
        if (add(report, i).IsError()) return Fail(std::string("append ") + what);
    report.Close();
    const std::string floorName = std::string("check/") + name + "-floor.csv";
    MakeFile(floorName.c_str(), kCheckLines, report.GetHeaderLine(), format);
    return SameFile(ours, ScratchDir() + "/" + floorName, what);
}

// Loads a file the check wrote through the library and through the floor's
// parser, and compares the values field by field.
template <typename ReportT, typename RowT, typename ParseT, typename SameT>
bool SameReads(const char* what, const char* name, ParseT parse, SameT same) {
    ReportT report;
    typename ReportT::DataFrame_t frame;
    const std::string path = ScratchDir() + "/check/" + name + "-ours.csv";
    if (report.Open(path, std::ios::in, false).IsError() || report.LoadAll(frame).IsError())
        return Fail(std::string("load ") + what);
    std::vector<RowT> rows;
    ForEachDataLine(ScratchDir() + "/check/" + name + "-floor.csv", [&](std::string_view line) {
        rows.emplace_back();
        parse(line, rows.back());
    });
    if (frame.size() != kCheckLines || rows.size() != kCheckLines) return Fail(std::string(what) + ": line counts");
    for (std::size_t i = 0; i < kCheckLines; ++i)
        if (!same(frame[i], rows[i])) return Fail(std::string(what) + ": line " + std::to_string(i) + " reads differently");
    return true;
}

}  // namespace

bool FloorsMatchLibrary() {
    std::filesystem::create_directories(ScratchDir() + "/check");
    const bool same =
        SameWrites<UnlimitedJobStatsReport>(
            "job statistics", "jobs", [](auto& report, std::size_t i) { return report.AddRecord(JobPool()[i]); },
            [](char* o, std::size_t i) { return FormatJobLine(o, JobPool()[i]); }) &&
        SameWrites<I2::LogicalDiskReport>(
            "disk samples", "disk", [](auto& report, std::size_t i) { return report.AddRecord(DiskPool()[i]); },
            [](char* o, std::size_t i) { return FormatDiskLine(o, DiskPool()[i]); }) &&
        SameWrites<I2::DanglingStubsReport>(
            "dangling stubs", "stubs",
            [](auto& report, std::size_t i) {
                const StubArgs& s = StubPool()[i];
                return report.AddDanglingStubsInfo(s.filePath, s.stubsVersionGUID, s.dataVersionGUID,
                                                   s.modifiedTimestamp, s.sizeInBytes, s.pulledForward, s.stubType,
                                                   s.origAppGUID);
            },
            [](char* o, std::size_t i) { return FormatStubLine(o, StubPool()[i]); }) &&
        SameReads<UnlimitedJobStatsReport, JobRow>("job statistics", "jobs", ParseJobLine, SameJob) &&
        SameReads<I2::LogicalDiskReport, DiskRow>("disk samples", "disk", ParseDiskLine, SameDisk);
    std::error_code ignored;
    std::filesystem::remove_all(ScratchDir() + "/check", ignored);
    return same;
}

}  // namespace bench
