// Other programs read these reports as ordinary CSV. Every report kind is
// written with texts that need quoting (separators, quotes, carriage returns,
// bytes above 127) and read back by Python's csv module, which must see the
// header's column count on every row and exactly the texts that were written.

#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stress/StressSupport.h"

namespace I2::stress {
namespace {

using Rows = std::vector<std::vector<std::string>>;

const std::vector<std::string> kTexts = {
    "plain",    "a,b", "say \"hi\"", "\"",       "cr\rhere", "\r", ",\",", "caf\xc3\xa9",
    "trailing,", "",    "\"quoted\"", " blanks ",
};

// JSON text for bytes: every byte outside printable ASCII becomes \u00XX, which
// the reader matches against the report read as latin-1.
std::string Json(const std::string& bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json(const Rows& rows) {
    std::string out = "[";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        out += r == 0 ? "[" : ",\n[";
        for (std::size_t f = 0; f < rows[r].size(); ++f) out += (f == 0 ? "" : ",") + Json(rows[r][f]);
        out += "]";
    }
    return out + "]\n";
}

// Runs the checked-in reader on `report`; its complaints, or empty.
std::string ReadWithPython(const std::string& report, const Rows& expected, bool& pythonMissing) {
    const std::string expectedPath = report + ".expected.json";
    WriteFile(expectedPath, Json(expected));
    const std::string command = "python3 '" IDXREPORTS_READ_CSV_SCRIPT "' '" + report + "' '" + expectedPath + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "popen failed";
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    pythonMissing = WIFEXITED(status) && WEXITSTATUS(status) == 127;
    return status == 0 ? "" : output.empty() ? "reader failed" : output;
}

std::string N(long long value) { return std::to_string(value); }

// One record per text, each added by `add`, which returns the row a CSV reader
// must see; the header line comes first.
template <typename Report, typename Add>
Rows WriteRows(Report& report, Add add) {
    Rows rows{report.GetHeader()};
    long long i = 0;
    for (const std::string& text : kTexts) rows.push_back(add(text, ++i));
    return rows;
}

TEST(Interoperability, PythonCsvReadsEveryReportKindAsWritten) {
    StressDir dir;
    const auto appendMode = std::ios::out | std::ios::app;
    std::vector<std::pair<std::string, Rows>> reports;

    {
        JobStatsReport report;
        ASSERT_FALSE(report.Open(dir.Path(), JobStatsKind::kFile, appendMode).IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long i) {
            JobStatsRecord record;
            record.SetTotalFilesInIndex(i);
            record.SetJobId(i + 1);
            record.SetTotalCommands(i + 2);
            record.SetAddedFiles(i + 3);
            record.SetDeletedFolders(i + 4);
            record.SetDeletedFiles(i + 5);
            record.SetSecondsToPlayback(2.5);
            record.SetStartTime(-i);
            record.SetEndTime(i + 7);
            record.SetModifiedFiles(i + 8);
            record.SetJobType(static_cast<int>(i + 9));
            record.SetHostname(text);
            record.SetTimestamp(1700000000 + i);
            record.SetStatus(static_cast<int>(i % 2));
            record.SetRootSize(i + 10);
            record.SetInvalidMIMEClassification(i + 11);
            EXPECT_FALSE(report.AddRecord(record).IsError());
            return std::vector<std::string>{N(i),     N(i + 1), N(i + 2),  N(i + 3),          N(i + 4), N(i + 5),
                                            "2.5",    N(-i),    N(i + 7),  N(i + 8),          N(i + 9), text,
                                            N(1700000000 + i), N(i % 2), N(i + 10), N(i + 11)};
        });
        reports.emplace_back(report.GetPath(), rows);
    }
    {
        LogicalDiskReport report;
        const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), "disk,\"1\"");
        ASSERT_FALSE(report.Open(path, appendMode, false).IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long i) {
            LogicalDiskRecord record;
            record.SetTime(1000 * i);
            record.SetDB(i);
            record.SetLogs(i + 1);
            record.SetReports(i + 2);
            record.SetV1(i + 3);
            record.SetOther(i + 4);
            record.SetDiskSize(1ULL << 40);
            record.SetDiskFree(i << 20);
            record.SetAlert(text);
            EXPECT_FALSE(report.AddRecord(record).IsError());
            return std::vector<std::string>{N(1000 * i), N(i),        N(i + 1),    N(i + 2), N(i + 3),
                                            N(i + 4),    N(1LL << 40), N(i << 20), text};
        });
        reports.emplace_back(path, rows);
    }
    {
        DanglingStubsReport report;
        ASSERT_FALSE(report.Open(dir / "dangling.csv", appendMode, false).IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long i) {
            const auto n = static_cast<uint64_t>(i);
            EXPECT_FALSE(
                report.AddDanglingStubsInfo(text, "{" + text + "}", text + text, n, n * 4096, i % 2 == 0, text, "app")
                    .IsError());
            return std::vector<std::string>{text,  "{" + text + "}", text + text, N(i), N(i * 4096),
                                            i % 2 == 0 ? "YES" : "NO", text, "app"};
        });
        reports.emplace_back(report.GetPath(), rows);
    }
    {
        DroppedFilesReport report;
        ASSERT_FALSE(report.Open(dir / "dropped.csv", appendMode, false).IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long i) {
            const auto n = static_cast<uint64_t>(i);
            EXPECT_FALSE(
                report.AddDroppedFilesInfo(text, "g", i % 2 == 0, n, n + 1, static_cast<uint32_t>(i), text).IsError());
            return std::vector<std::string>{text, "g", i % 2 == 0 ? "Stub" : "Data", N(i), N(i + 1), N(i), text};
        });
        reports.emplace_back(report.GetPath(), rows);
    }
    {
        VerifyArchiveReport report;
        ASSERT_FALSE(report.Open(dir / "verify.csv", appendMode, false).IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long i) {
            const auto n = static_cast<uint64_t>(i);
            EXPECT_FALSE(report.AddStubsInfo(text, n, n, text).IsError());
            return std::vector<std::string>{text, N(i), N(i), text};
        });
        reports.emplace_back(report.GetPath(), rows);
    }
    {
        LogCleanUpReport report;
        ASSERT_FALSE(report.Open(dir.Path(), "logs", "one").IsError());
        const Rows rows = WriteRows(report, [&report](const std::string& text, long long) {
            EXPECT_FALSE(report.AddCleanUpRecord(text + "7", std::string(text)).IsError());
            return std::vector<std::string>{text + "7", text};
        });
        reports.emplace_back(report.GetPath(), rows);
    }

    for (const auto& [path, rows] : reports) {
        bool pythonMissing = false;
        const std::string problems = ReadWithPython(path, rows, pythonMissing);
        if (pythonMissing) GTEST_SKIP() << "python3 is not installed";
        EXPECT_EQ(problems, "") << path;
    }
}

}  // namespace
}  // namespace I2::stress
