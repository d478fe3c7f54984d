#include "stress/StressSupport.h"

#include <stdlib.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <platform/IdxNamedMutex.h>
#include <IdxReports/ReportFileReplacement.h>

namespace I2::stress {

namespace {

// The quoted form of a text field, as a line of the current layout holds it.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

StressDir::StressDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "idxreports-stress-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: errno " << errno;
    }
    path = pattern;
    setenv("IDXREPORTS_LOCK_DIR", (path + "/locks").c_str(), 1);
}

StressDir::~StressDir() {
    if (::testing::Test::HasFailure() && std::getenv("IDXREPORTS_KEEP_FAILED") != nullptr) {
        std::fprintf(stderr, "kept the files of the failed test in %s\n", path.c_str());
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

int EnvInt(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value >= 0 && value < (1L << 30)) ? static_cast<int>(value) : fallback;
}

pid_t Spawn(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child %d: exception: %s\n", getpid(), e.what());
        }
        std::fflush(nullptr);
        _exit(code);
    }
    if (pid < 0) ADD_FAILURE() << "fork failed: errno " << errno;
    return pid;
}

namespace {
int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}
}  // namespace

int Wait(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return ExitCodeOf(status);
}

int WaitFor(pid_t pid, int seconds) {
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return ExitCodeOf(status);
        if (done < 0 && errno != EINTR) return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    Wait(pid);
    return -2;
}

bool WaitAll(const std::vector<pid_t>& pids) {
    bool allGood = true;
    for (const pid_t pid : pids) {
        const int code = Wait(pid);
        if (code != 0) {
            ADD_FAILURE() << "child " << pid << " ended with " << code;
            allGood = false;
        }
    }
    return allGood;
}

bool ChildOk(const char* what, const CQiError& err) {
    if (!err.IsError()) return true;
    std::fprintf(stderr, "child %d: %s failed: %s\n", getpid(), what, err.Describe().c_str());
    return false;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

void ReplaceFile(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".writing";
    WriteFile(temporary, content);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) ADD_FAILURE() << "cannot rename to " << path;
}

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::vector<std::string> LeftoverTemporaries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string name = entry.path().filename().string();
        for (const std::string suffix : {ReportSideFiles::kTemporarySuffix, ReportSideFiles::kRotationSuffix,
                                         ReportSideFiles::kRetiredSuffix}) {
            if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(name);
            }
        }
    }
    return names;
}

std::vector<std::string> SplitLines(const std::string& content, bool& tornTail) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = content.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(content.substr(start, end - start));
    }
    tornTail = start < content.size();
    if (tornTail) lines.push_back(content.substr(start));
    return lines;
}

std::vector<uint64_t> ReportContent::Ids() const {
    std::vector<uint64_t> ids;
    ids.reserve(rows.size());
    for (const Row& row : rows) ids.push_back(row.id);
    return ids;
}

std::vector<uint64_t> Sequence(int writer, std::size_t count) {
    std::vector<uint64_t> ids;
    for (std::size_t i = 0; i < count; ++i) ids.push_back(RecordId(writer, static_cast<int>(i)));
    return ids;
}

std::size_t CountPrefixOf(const std::vector<uint64_t>& ids, int writer) {
    std::size_t n = 0;
    for (const uint64_t id : ids) {
        if (WriterOf(id) != writer) continue;
        EXPECT_EQ(id, RecordId(writer, static_cast<int>(n))) << "records of a writer out of order or missing";
        ++n;
    }
    return n;
}

void ExpectEachRecordOnce(const std::vector<Row>& rows, int writers, int count) {
    std::vector<std::vector<char>> seen(static_cast<std::size_t>(writers),
                                        std::vector<char>(static_cast<std::size_t>(count), 0));
    std::vector<int> lastSeq(static_cast<std::size_t>(writers), -1);
    std::size_t duplicates = 0, strangers = 0, outOfOrder = 0;
    for (const Row& row : rows) {
        const int writer = WriterOf(row.id);
        const int seq = SeqOf(row.id);
        if (writer >= writers || seq >= count) {
            ++strangers;
            continue;
        }
        char& mark = seen[static_cast<std::size_t>(writer)][static_cast<std::size_t>(seq)];
        if (mark != 0) ++duplicates;
        mark = 1;
        int& last = lastSeq[static_cast<std::size_t>(writer)];
        if (seq <= last) ++outOfOrder;
        last = seq;
    }
    std::size_t missing = 0;
    std::string firstMissing;
    for (int writer = 0; writer < writers; ++writer) {
        for (int seq = 0; seq < count; ++seq) {
            if (seen[static_cast<std::size_t>(writer)][static_cast<std::size_t>(seq)] != 0) continue;
            if (missing++ == 0) firstMissing = "writer " + std::to_string(writer) + " record " + std::to_string(seq);
        }
    }
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(writers) * static_cast<std::size_t>(count));
    EXPECT_EQ(missing, 0u) << "first missing: " << firstMissing;
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(strangers, 0u);
    EXPECT_EQ(outOfOrder, 0u);
}

void ExpectWholeReport(const ReportContent& content, const std::string& header, const std::string& what) {
    ASSERT_TRUE(content.exists) << what;
    EXPECT_EQ(content.firstLine, header) << what;
    EXPECT_FALSE(content.tornTail) << what;
    EXPECT_TRUE(content.badLines.empty()) << what << ": " << content.badLines.size() << " unreadable lines, first "
                                          << (content.badLines.empty() ? "" : content.badLines.front());
}

// --- report kinds ---

CQiError AppendRecord(JobStatsReport& report, uint64_t id) {
    JobStatsRecord record;
    record.SetJobId(id);
    record.SetTotalFilesInIndex(id);
    record.SetHostname(RecordTag(id));
    return report.AddJobStats(record);
}
bool DecodeRecord(const JobStatsRecord& record, uint64_t& id, int& status) {
    id = record.GetJobId();
    status = record.GetStatus();
    return id != 0 && record.GetTotalFilesInIndex() == id && record.GetHostname() == RecordTag(id);
}

CQiError AppendRecord(LogicalDiskReport& report, uint64_t id) {
    LogicalDiskRecord record;
    record.SetTime(static_cast<long>(id));
    record.SetDiskFree(id);
    record.SetAlert(RecordTag(id));
    return report.AddRecord(record);
}
bool DecodeRecord(const LogicalDiskRecord& record, uint64_t& id, int& status) {
    id = static_cast<uint64_t>(record.GetTime());
    status = 0;
    return id != 0 && record.GetDiskFree() == id && record.GetAlert() == RecordTag(id);
}

CQiError AppendRecord(DanglingStubsReport& report, uint64_t id) {
    return report.AddDanglingStubsInfo(RecordTag(id), "{stub}", "{data}", id, id, id % 2 == 0, "type",
                                       "app,\"x\"");
}
bool DecodeRecord(const DanglingStubsRecord& record, uint64_t& id, int& status) {
    id = record.GetSizeInBytes();
    status = 0;
    return id != 0 && static_cast<uint64_t>(record.GetModifiedTimestamp()) == id &&
           record.GetFilePath() == RecordTag(id) && record.GetPulledForwardFromPreviousCycle() == (id % 2 == 0) &&
           record.GetOrigAppGUID() == "app,\"x\"";
}

CQiError AppendRecord(DroppedFilesReport& report, uint64_t id) {
    return report.AddDroppedFilesInfo(RecordTag(id), "{v}", id % 2 == 0, id, id, 7, "gone\r");
}
bool DecodeRecord(const DroppedFilesRecord& record, uint64_t& id, int& status) {
    id = record.GetSizeInBytes();
    status = 0;
    return id != 0 && static_cast<uint64_t>(record.GetModifiedTimestamp()) == id &&
           record.GetFilePath() == RecordTag(id) && record.GetStubOrData() == (id % 2 == 0 ? "Stub" : "Data") &&
           record.GetReasonCode() == 7 && record.GetReasonString() == "gone\r";
}

CQiError AppendRecord(VerifyArchiveReport& report, uint64_t id) {
    return report.AddStubsInfo(RecordTag(id), id, id, "{app}");
}
bool DecodeRecord(const VerifyArchiveRecord& record, uint64_t& id, int& status) {
    id = record.GetSizeInBytes();
    status = 0;
    return id != 0 && static_cast<uint64_t>(record.GetModifiedTimestamp()) == id &&
           record.GetFilePath() == RecordTag(id) && record.GetOriginalAppguid() == "{app}";
}

CQiError AppendRecord(LogCleanUpReport& report, uint64_t id) {
    return report.AddCleanUpRecord(std::to_string(id), RecordTag(id));
}
bool DecodeRecord(const LogCleanUpRecord& record, uint64_t& id, int& status) {
    status = 0;
    const std::string& text = record.GetJobId();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 18) return false;
    id = std::stoull(text);
    return id != 0 && record.GetReason() == RecordTag(id);
}

std::string OldJobStatsHeader() {
    const std::vector<std::string> columns = JobStatsReport().GetHeader();
    std::string line;
    for (std::size_t i = 0; i < 14 && i < columns.size(); ++i) {
        if (i > 0) line += ',';
        line += columns[i];
    }
    return line;
}

std::string OldJobStatsRow(uint64_t id) {
    const std::string n = std::to_string(id);
    return n + "," + n + ",0,0,0,0,0,0,0,0,0," + Quoted(RecordTag(id)) + ",1700000000,0";
}

bool UnprivilegedUser(uid_t& uid, gid_t& gid, std::string& why) {
    if (geteuid() != 0) {
        why = "runs only as root, which can act as another user";
        return false;
    }
    const passwd* user = getpwnam("nobody");
    if (user == nullptr || user->pw_uid == 0) {
        why = "no unprivileged user \"nobody\" here";
        return false;
    }
    uid = user->pw_uid;
    gid = user->pw_gid;
    return true;
}

bool BecomeUser(uid_t uid, gid_t gid) {
    if (setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0) return true;
    std::fprintf(stderr, "child %d: cannot become %u:%u: errno %d\n", getpid(), uid, gid, errno);
    return false;
}

bool AsUser(uid_t uid, gid_t gid, const std::function<bool()>& body) {
    if (uid == geteuid()) return body();
    return Wait(Spawn([&] { return BecomeUser(uid, gid) && body() ? 0 : 1; })) == 0;
}

FileState StateOf(const std::string& path) {
    FileState state;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return state;
    state.exists = true;
    state.mode = st.st_mode;
    state.uid = st.st_uid;
    state.gid = st.st_gid;
    if (S_ISREG(st.st_mode)) state.bytes = ReadFile(path);
    return state;
}

std::string Describe(const FileState& state) {
    if (!state.exists) return "missing";
    char text[64];
    std::snprintf(text, sizeof text, "mode %o owner %u:%u, %zu bytes", state.mode, state.uid, state.gid,
                  state.bytes.size());
    return text;
}

std::vector<std::string> OtherNames(const std::string& dir, const std::vector<std::string>& expected) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name != "locks" && std::find(expected.begin(), expected.end(), name) == expected.end()) {
            names.push_back(name);
        }
    }
    return names;
}

bool MovedToBad(const std::string& report, const std::string& bytes) {
    return ReadFile(report + ".bad").find(bytes) != std::string::npos;
}

void WaitPatiently() { I2::Utils::IdxNamedMutex::SetDefaultTimeoutMs(240000); }

}  // namespace I2::stress
