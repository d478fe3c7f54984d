#include <IdxReports/Reports/LogicalDiskReport.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ReportsTestSupport.h"

namespace I2 {
namespace {

constexpr unsigned long long MiB = 1ULL << 20;
const std::string Key = "disk-key";

struct Sample {
    long time;
    unsigned long long diskFree;
};

LogicalDiskRecord MakeRecord(long time, unsigned long long diskFree, const std::string& alert = "") {
    LogicalDiskRecord record;
    record.SetTime(time);
    record.SetDB(10);
    record.SetLogs(20);
    record.SetReports(30);
    record.SetOther(5);
    record.SetDiskSize(8192);
    record.SetDiskFree(diskFree);
    record.SetAlert(alert);
    return record;
}

// Appends samples to the disk's file the way the sampling side does.
void AppendSamples(const std::string& directory, const std::vector<Sample>& samples) {
    LogicalDiskReport writer;
    ASSERT_OK(writer.Open(LogicalDiskReport::GetFilePath(directory, Key), std::ios::out | std::ios::app, false));
    for (const Sample& sample : samples) {
        LogicalDiskRecord record = MakeRecord(sample.time, sample.diskFree);
        ASSERT_OK(writer.AddRecord(record));
    }
}

CQiError LoadAverages(const std::string& directory, std::vector<double>& averages) {
    LogicalDiskReport report;
    CQiError err = report.Open(directory, Key);
    if (err.IsError()) return err;
    return report.LoadIndexCacheDiskFreeSpace(averages);
}

std::vector<double> Averages(const std::vector<Sample>& samples) {
    Testing::TempDir dir;
    AppendSamples(dir.Path(), samples);
    std::vector<double> averages;
    EXPECT_OK(LoadAverages(dir.Path(), averages));
    return averages;
}

TEST(LogicalDiskRecord, WritesNineColumnsEndingInTheAlert) {
    EXPECT_EQ(MakeRecord(1000, 4096).ToString(), "1000,10,20,30,0,5,8192,4096,");
    EXPECT_EQ(MakeRecord(-5, 0, "low").ToString(), "-5,10,20,30,0,5,8192,0,low");
}

TEST(LogicalDiskRecord, VisitsEveryColumnByNameInLineOrder) {
    LogicalDiskRecord record;
    record.SetTime(-1);
    record.SetDB(2);
    record.SetLogs(3);
    record.SetReports(4);
    record.SetV1(5);
    record.SetOther(6);
    record.SetDiskSize(7);
    record.SetDiskFree(8);
    record.SetAlert("low, \"very\"");
    using C = LogicalDiskRecord::Column;
    Testing::ExpectVisitedFields<LogicalDiskReport>(
        record, {{C::Time, "-1", true}, {C::DB, "2", true}, {C::Logs, "3", true}, {C::Reports, "4", true},
                 {C::V1, "5", true}, {C::Other, "6", true}, {C::DiskSize, "7", true}, {C::DiskFree, "8", true},
                 {C::Alert, "low, \"very\"", false}});
}

TEST(LogicalDiskRecord, TrimsColumnsBeforeConverting) {
    LogicalDiskRecord record;
    ASSERT_OK(record.FromString("1000, 10, 20, 30, 0, 5, 8192, 4096, x "));
    EXPECT_EQ(record.ToString(), "1000,10,20,30,0,5,8192,4096,x");

    ASSERT_OK(record.FromString("\t7,abc,1,1,1,1,1,18446744073709551615,"));
    EXPECT_EQ(record.GetTime(), 7);
    EXPECT_EQ(record.GetDB(), 0u);  // does not convert
    EXPECT_EQ(record.GetDiskFree(), std::numeric_limits<unsigned long long>::max());
}

TEST(LogicalDiskRecord, RefusesLinesOfOtherThanNineColumnsUnchanged) {
    // A sample without a time or a free space that converts is no sample either.
    for (const char* line : {"1,2,3,4,5,6,7,8", "1,2,3,4,5,6,7,8,9,10", "", "x,0,0,0,0,0,0,4096,",
                             ",0,0,0,0,0,0,4096,", "1000,0,0,0,0,0,0,notanumber,", "1000,0,0,0,0,0,0,,",
                             "1000,0,0,0,0,0,0,4096k,", "1000,0,0,0,0,0,0,18446744073709551616,"}) {
        LogicalDiskRecord record = MakeRecord(1000, 4096, "kept");
        Testing::ExpectInvalidLine(record.FromString(line), "LogicalDiskRecord");
        EXPECT_EQ(record.ToString(), "1000,10,20,30,0,5,8192,4096,kept") << line;
    }
}

TEST(LogicalDiskRecord, AlertWithSeparatorAndQuotesRoundTrips) {
    const std::string alert = "disk \"C\", nearly full";
    LogicalDiskRecord written = MakeRecord(1000, 4096, alert);
    const std::string line = written.ToString();
    EXPECT_EQ(line, "1000,10,20,30,0,5,8192,4096,\"disk \"\"C\"\", nearly full\"");

    LogicalDiskRecord read;
    ASSERT_OK(read.FromString(line));
    EXPECT_EQ(read.GetAlert(), alert);

    // And through the file: the line still loads as nine columns.
    Testing::TempDir dir;
    {
        LogicalDiskReport writer;
        ASSERT_OK(writer.Open(LogicalDiskReport::GetFilePath(dir.Path(), Key), std::ios::out, false));
        ASSERT_OK(writer.AddRecord(written));
    }
    LogicalDiskReport report;
    ASSERT_OK(report.Open(dir.Path(), Key));
    LogicalDiskReport::DataFrame_t frame;
    ASSERT_OK(report.LoadAll(frame));
    ASSERT_EQ(frame.size(), 1u);
    EXPECT_EQ(frame[0].GetAlert(), alert);
}

TEST(LogicalDiskRecord, DebugMeDumpsEveryFieldAboveLevelSix) {
    LogicalDiskRecord record = MakeRecord(-1, 4096, "a");
    EXPECT_TRUE(Testing::DebugLines(6, [&] { record.DebugMe(); }).empty());
    const std::vector<std::string> lines = Testing::DebugLines(7, [&] { record.DebugMe(); });
    ASSERT_EQ(lines.size(), 1u);
    // Time is dumped unsigned.
    EXPECT_EQ(lines[0],
              "virtual void I2::LogicalDiskRecord::DebugMe()|\nTime = 18446744073709551615\nDB = 10\nLogs = 20"
              "\nReports = 30\nV1 = 0\nOther = 5\nDiskSize = 8192\nDiskFree = 4096\nAlert = a");
}

TEST(LogicalDiskReport, FileNameIsTheCrc64OfTheKeyBytes) {
    // CRC-64/XZ check value of "123456789" is 0x995DC9BBDF1939FA.
    EXPECT_EQ(LogicalDiskReport::GetFileName("123456789"), "IndexCacheStats_11051210869376104954.csv");
    EXPECT_EQ(LogicalDiskReport::GetFileName(Key), LogicalDiskReport::GetFileName(Key));
    EXPECT_NE(LogicalDiskReport::GetFileName("disk-Key"), LogicalDiskReport::GetFileName(Key));
    EXPECT_EQ(LogicalDiskReport::GetFilePath("/d", "123456789"), "/d/IndexCacheStats_11051210869376104954.csv");
}

TEST(LogicalDiskReport, OpenFailsWithCode2WithoutARegularFile) {
    Testing::TempDir dir;
    const std::string fileName = LogicalDiskReport::GetFileName(Key);
    LogicalDiskReport report;
    CQiError err = report.Open(dir.Path(), Key);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 2);
    EXPECT_EQ(err.GetMessage(), "File [" + fileName + "] does not exists in [" + dir.Path() + "]");

    std::filesystem::create_directory(dir.File(fileName));
    EXPECT_EQ(report.Open(dir.Path(), Key).GetErrNo(), 2);
}

TEST(LogicalDiskReport, OpenNamesTheFileFromLevelZero) {
    Testing::TempDir dir;
    AppendSamples(dir.Path(), {});
    const std::string message = "Openning IndexCacheStats report [" + LogicalDiskReport::GetFileName(Key) +
                                "] from [" + dir.Path() + "].";
    const auto openAt = [&dir](int level) {
        return Testing::DebugLines(level, [&dir] {
            LogicalDiskReport report;
            EXPECT_OK(report.Open(dir.Path(), Key));
        });
    };
    EXPECT_TRUE(openAt(-1).empty());
    EXPECT_EQ(openAt(1), std::vector<std::string>{"|" + message});
    // From level 2 on the line carries the operation's signature.
    const std::vector<std::string> lines = openAt(2);
    ASSERT_FALSE(lines.empty());
    const std::string tag = lines[0].substr(0, lines[0].find('|'));
    EXPECT_NE(tag.find("I2::LogicalDiskReport::Open("), std::string::npos) << tag;
    EXPECT_EQ(lines[0].substr(tag.size() + 1), message);
}

// The averages the way they were first computed, step by step: every sample
// loaded into a frame, then walked. A period opens at its first sample and holds
// every later one less than a day after it (or before it); the unsigned sum
// wraps at 64 bits and is read as signed; the last period is left out when that
// sum reads negative. Two steps of the first way are mended here as in the
// library: whether a period is open is a flag (a period starting at time -1 is
// one), and the time difference is taken exactly (128 bits) instead of
// overflowing.
__extension__ typedef __int128 Wide;

CQiError LoadEverythingAverages(const std::string& directory, std::vector<double>& averages) {
    LogicalDiskReport report;
    CQiError err = report.Open(directory, Key);
    LogicalDiskReport::DataFrame_t samples;
    if (!err.IsError()) err = report.LoadAll(samples);
    if (err.IsError()) return err;
    bool open = false;
    int64_t start = -1;
    uint64_t sum = ~uint64_t{0};
    int32_t counter = 0;  // samples in the period, less one
    const auto average = [&] {
        return static_cast<double>(static_cast<int64_t>(sum)) / static_cast<double>(counter + 1);
    };
    for (const LogicalDiskRecord& sample : samples) {
        const int64_t t = sample.GetTime();
        const uint64_t m = sample.GetDiskFree() >> 20;
        if (!open) {
            open = true;
            start = t;
            sum = m;
        } else if (static_cast<Wide>(t) - start < 86400) {
            sum += m;
            ++counter;
        } else {
            averages.push_back(average());
            start = t;
            sum = m;
            counter = 0;
        }
    }
    if (open && static_cast<int64_t>(sum) >= 0) averages.push_back(average());
    return CQiError::Success();
}

void ExpectSameAsLoadingEverything(const std::string& directory, const std::string& what) {
    std::vector<double> streamed{-3.0}, loaded{-3.0};
    const CQiError ours = LoadAverages(directory, streamed);
    const CQiError reference = LoadEverythingAverages(directory, loaded);
    ASSERT_EQ(ours.IsError(), reference.IsError()) << what << ": " << ours.Describe();
    EXPECT_EQ(ours.GetErrNo(), reference.GetErrNo()) << what;
    EXPECT_EQ(ours.GetMessage(), reference.GetMessage()) << what;
    ASSERT_EQ(streamed.size(), loaded.size()) << what;
    // Bit for bit: the same sums divided by the same counts.
    for (std::size_t i = 0; i < streamed.size(); ++i)
        ASSERT_EQ(std::memcmp(&streamed[i], &loaded[i], sizeof(double)), 0) << what << ": average " << i;
}

TEST(LogicalDiskReport, AveragesFreeMebibytesPerDayLongPeriod) {
    struct Case {
        std::vector<Sample> samples;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {{}, {}},
        {{{0, MiB}, {3600, 2 * MiB}, {86399, 3 * MiB}}, {2.0}},
        {{{0, MiB}, {86400, 3 * MiB}}, {1.0, 3.0}},
        // A period runs from its first sample; an earlier time joins it.
        {{{100, MiB}, {50, 2 * MiB}, {86450, 6 * MiB}}, {3.0}},
        {{{100, MiB}, {50, 2 * MiB}, {86500, 6 * MiB}}, {1.5, 6.0}},
        // Whole mebibytes only.
        {{{0, MiB - 1}, {10, 3 * MiB}}, {1.5}},
        {{{0, 2 * MiB}, {100000, 4 * MiB}, {200000, 8 * MiB}, {250000, 10 * MiB}}, {2.0, 4.0, 9.0}},
        {{{1700000000, 7 * MiB + 5}}, {7.0}},
        // The largest free spaces: 2^44 - 1 MiB each, whose sum still fits.
        {{{0, ~0ULL}, {1, ~0ULL}, {86400, 1ULL << 63}},
         {static_cast<double>((1ULL << 44) - 1), static_cast<double>(1ULL << 43)}},
    };
    for (const Case& c : cases) {
        const std::string what = std::to_string(c.samples.size()) + " samples";
        Testing::TempDir dir;
        AppendSamples(dir.Path(), c.samples);
        std::vector<double> averages;
        ASSERT_OK(LoadAverages(dir.Path(), averages));
        EXPECT_EQ(averages, c.expected) << what;
        ExpectSameAsLoadingEverything(dir.Path(), what);
    }
}

// Files as other writers, hand edits and crashes leave them, each averaged both
// ways: the streamed load must read and refuse exactly what loading them all does.
TEST(LogicalDiskReport, StreamedAveragesOfFilesAsFoundAreThoseOfLoadingEverything) {
    const std::string header = "Time,DB,Logs,Reports,V1,Other,DiskSize,DiskFree,Alert\n";
    const std::string a = "0,10,20,30,0,5,8192,1048576,\n", b = "3600,0,0,0,0,0,0,2097152,low\n";
    const std::vector<std::string> contents = {
        "",
        header,
        header + a + b,
        header + "1000, 10, 20, 30, 0, 5, 8192, 4096, x\n" + "1001 ,1,1,1,1,1,1, 3145728 ,\n",
        header + a + "0,10,20,30,0,5,8192,1048576,\r\n" + b,  // a line break written elsewhere
        header + a + b + "90000,0,0,0,0,0,0,5242",                // the last line still being written
        header + a + "1,2,3,4,5,6,7,8\n" + b,                      // eight columns
        header + a + "1,2,3,4,5,6,7,8,9,10\n" + b,                 // ten
        header + a + "\n" + b,
        header + a + "7,0,0,0,0,0,0,+2097152,\n" + b,  // a number lexical_cast takes
        header + a + "7,0,0,0,0,0,0,99999999999999999999,\n" + b,
        header + a + std::string("7,0,0,0,0,0,0,2097152,n\0ul\n", 24) + b,
    };
    for (std::size_t i = 0; i < contents.size(); ++i) {
        Testing::TempDir dir;
        std::ofstream(LogicalDiskReport::GetFilePath(dir.Path(), Key), std::ios::binary) << contents[i];
        ExpectSameAsLoadingEverything(dir.Path(), "file " + std::to_string(i));
    }
}

// Times near the extremes wrap instead of overflowing (which is undefined).
long Shifted(long time, long by) {
    return static_cast<long>(static_cast<unsigned long>(time) + static_cast<unsigned long>(by));
}

TEST(LogicalDiskReport, StreamedAveragesAreThoseOfLoadingEverything) {
    std::mt19937_64 random(0xDA15);
    const long extremes[] = {-1, 0, 86399, 86400, std::numeric_limits<long>::min(),
                             std::numeric_limits<long>::max(), std::numeric_limits<long>::min() + 86399};
    for (int round = 0; round < 60; ++round) {
        std::vector<Sample> samples;
        long time = static_cast<long>(random() % 5 == 0 ? random() : random() % 200000) - 100000;
        for (std::size_t i = random() % 4000; i > 0; --i) {
            switch (random() % 40) {
                case 0: time = extremes[random() % std::size(extremes)]; break;
                case 1: time = Shifted(time, -static_cast<long>(random() % 90000)); break;  // a clock set back
                case 2: time = static_cast<long>(random()); break;
                // Mostly a sample a minute, which meets a period's end exactly.
                default: time = Shifted(time, random() % 4 ? 60 : static_cast<long>(random() % 600)); break;
            }
            const unsigned long long free = random() % 8 == 0 ? random() : random() % (1ULL << 40);
            samples.push_back({time, free});
        }
        Testing::TempDir dir;
        AppendSamples(dir.Path(), samples);
        ExpectSameAsLoadingEverything(dir.Path(), "round " + std::to_string(round));
        if (round % 10 == 0 && !samples.empty()) {
            // A bad line part-way: the same error, and nothing appended.
            std::ofstream(LogicalDiskReport::GetFilePath(dir.Path(), Key), std::ios::app) << "1,2\n";
            AppendSamples(dir.Path(), {samples.front()});
            ExpectSameAsLoadingEverything(dir.Path(), "bad line, round " + std::to_string(round));
        }
    }
}

// 2^19 + 1 samples of an all-ones DiskFree in one day sum past 2^63 MiB: a period
// that closes so averages negative, a last one so is left out.
TEST(LogicalDiskReport, StreamedAveragesKeepTheSignedSumAtItsLimit) {
    Testing::TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), Key);
    const std::string line = "5,0,0,0,0,0,0,18446744073709551615,\n";
    std::string content = "Time,DB,Logs,Reports,V1,Other,DiskSize,DiskFree,Alert\n";
    content.reserve(content.size() + line.size() * ((1 << 19) + 1));
    for (int i = 0; i < (1 << 19) + 1; ++i) content += line;
    std::ofstream(path, std::ios::binary) << content;
    std::vector<double> averages;
    ASSERT_OK(LoadAverages(dir.Path(), averages));
    EXPECT_TRUE(averages.empty());

    std::ofstream(path, std::ios::app) << "86405,0,0,0,0,0,0,1048576,\n";
    ASSERT_OK(LoadAverages(dir.Path(), averages));
    ASSERT_EQ(averages.size(), 2u);
    EXPECT_LT(averages[0], 0.0);
    EXPECT_EQ(averages[1], 1.0);
}

TEST(LogicalDiskReport, AveragesAreAppendedOnEveryLoad) {
    Testing::TempDir dir;
    AppendSamples(dir.Path(), {{0, MiB}, {86400, 3 * MiB}});
    LogicalDiskReport report;
    ASSERT_OK(report.Open(dir.Path(), Key));
    std::vector<double> averages{42.0};
    ASSERT_OK(report.LoadIndexCacheDiskFreeSpace(averages));
    ASSERT_OK(report.LoadIndexCacheDiskFreeSpace(averages));
    EXPECT_EQ(averages, (std::vector<double>{42.0, 1.0, 3.0, 1.0, 3.0}));
}

TEST(LogicalDiskReport, SampleAtTimeMinusOneKeepsItsPeriod) {
    // -1 once stood for "no period yet": a period starting at -1 was silently
    // replaced by the next sample's.
    EXPECT_EQ(Averages({{-1, 4 * MiB}, {86400, 2 * MiB}}), (std::vector<double>{4.0, 2.0}));
    EXPECT_EQ(Averages({{-1, 4 * MiB}, {100, 2 * MiB}}), (std::vector<double>{3.0}));
    EXPECT_EQ(Averages({{-200000, MiB}, {-1, 2 * MiB}, {10, 4 * MiB}}), (std::vector<double>{1.0, 3.0}));
    EXPECT_EQ(Averages({{-1, 4 * MiB}}), (std::vector<double>{4.0}));
}

TEST(LogicalDiskReport, TimesFarApartStartANewPeriodWithoutOverflow) {
    const long early = std::numeric_limits<long>::min() + 1;
    const long late = std::numeric_limits<long>::max();
    EXPECT_EQ(Averages({{early, MiB}, {late, 3 * MiB}}), (std::vector<double>{1.0, 3.0}));
    EXPECT_EQ(Averages({{late, MiB}, {early, 3 * MiB}}), (std::vector<double>{2.0}));
}

TEST(LogicalDiskReport, LoadFailsWithoutAveragesOnABadLineOrAClosedReport) {
    std::vector<double> averages{7.0};
    LogicalDiskReport closed;
    CQiError err = closed.LoadIndexCacheDiskFreeSpace(averages);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);

    // A free space that does not convert was averaged in as 0: samples of 1, 3
    // and 5 MiB and one such line gave 2.25, not 3, and no error.
    for (const char* bad : {"1,2,3,4,5,6,7,8", "100,0,0,0,0,0,0,notanumber,", "100,0,0,0,0,0,0,,",
                            "notanumber,0,0,0,0,0,0,1048576,"}) {
        SCOPED_TRACE(bad);
        Testing::TempDir dir;
        AppendSamples(dir.Path(), {{0, MiB}, {10, 3 * MiB}});
        std::ofstream(LogicalDiskReport::GetFilePath(dir.Path(), Key), std::ios::app) << bad << "\n";
        AppendSamples(dir.Path(), {{20, 5 * MiB}});
        err = LoadAverages(dir.Path(), averages);
        Testing::ExpectInvalidLine(err, "LogicalDiskRecord");
        EXPECT_EQ(averages, std::vector<double>{7.0});
    }
}

// Fault: the fragment a crash left stood among the samples, and every later
// load of the averages failed on it until a person repaired the file.
TEST(LogicalDiskReport, TornLastLineIsSetAsideByTheNextWriterAndTheLoadSucceeds) {
    Testing::TempDir dir;
    const std::string path = LogicalDiskReport::GetFilePath(dir.Path(), Key);
    AppendSamples(dir.Path(), {{0, MiB}});
    std::ofstream(path, std::ios::app) << "100,10,20";  // a writer died mid-line
    AppendSamples(dir.Path(), {{200, 3 * MiB}});

    EXPECT_EQ(Testing::ReadWhole(path),
              "Time,DB,Logs,Reports,V1,Other,DiskSize,DiskFree,Alert\n"
              "0,10,20,30,0,5,8192,1048576,\n"
              "200,10,20,30,0,5,8192,3145728,\n");
    const std::string bad = Testing::ReadWhole(path + ".bad");
    EXPECT_NE(bad.find("\n3\t100,10,20\n"), std::string::npos) << bad;

    Testing::TempDir clean;
    AppendSamples(clean.Path(), {{0, MiB}, {200, 3 * MiB}});
    std::vector<double> averages, expected;
    ASSERT_FALSE(LoadAverages(dir.Path(), averages).IsError());
    ASSERT_FALSE(LoadAverages(clean.Path(), expected).IsError());
    EXPECT_EQ(averages, expected);
}

}  // namespace
}  // namespace I2
