#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ios>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <IdxReports/IdxReportsTestSupport.h>

namespace I2 {
namespace {

using Testing::Exists;
using Testing::ExpectLockHeldAt;
using Testing::FaultInjector;
using Testing::LockIsFree;
using Testing::ReadLines;
using Testing::ReadWhole;
using Testing::SmallReport;
using Testing::TestRecord;
using Testing::TestReport;
using Testing::WriteWhole;

constexpr auto In = std::ios::in;
const auto Append = std::ios::out | std::ios::app;
constexpr char Header[] = "Id,Name,Value\n";

class ReportTemplate : public ::testing::Test {
protected:
    Testing::TempDir dir;
    const std::string path = dir.File("report.csv");
};

std::vector<int> IdsOf(const std::vector<TestRecord>& records) {
    std::vector<int> ids;
    for (const TestRecord& record : records) ids.push_back(record.id);
    return ids;
}

// --- open, header, append, close ---

TEST_F(ReportTemplate, NewFileGetsTheHeaderOnceAcrossReopens) {
    TestReport report;
    EXPECT_EQ(report.GetHeaderLine(), "Id,Name,Value");
    ASSERT_OK(report.Open(path, Append, true));
    TestRecord first(1, "a", 1.5), second(2, "b", 2.0), third(3, "c", 0.0);
    ASSERT_OK(report.AddRecord(first));
    ASSERT_OK(report.AddRecord(second));
    ASSERT_OK(report.Close());
    ASSERT_OK(report.Open(path, Append, true));
    EXPECT_TRUE(report.CheckFileHeader());
    ASSERT_OK(report.AddRecord(third));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,a,1.5\n2,b,2\n3,c,0\n");
    EXPECT_EQ(report.GetPath(), path);
}

TEST_F(ReportTemplate, ReaderNeverWritesAHeaderAndMissingFileFails) {
    TestReport report;
    const CQiError missing = report.Open(path, In, true);
    ASSERT_TRUE(missing.IsError());
    EXPECT_EQ(missing.GetErrNo(), 22);
    EXPECT_FALSE(Exists(path));

    WriteWhole(path, "");
    ASSERT_OK(report.Open(path, In, false));
    EXPECT_FALSE(report.CheckFileHeader());
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), "");
}

TEST_F(ReportTemplate, CloseOfANeverOpenedReportSucceeds) {
    TestReport report;
    EXPECT_OK(report.Close());
    TestRecord record(1, "a", 1);
    const CQiError err = report.AddRecord(record);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 150);
}

// Fault: a report whose previous file could not take its last lines refused to
// open the next file, so that one's records were lost too.
TEST_F(ReportTemplate, OpenAfterAFailedFinalFlushRefusedTheNextFile) {
    FaultInjector injector;
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    TestRecord pending(1, "lost", 1);
    ASSERT_OK(report.AddRecord(pending));  // still in memory
    injector.FailWrites("/report.csv");

    std::vector<std::pair<std::string, std::string>> lines;
    EvDebug::SetDebugSink([&](const std::string& tag, const std::string& line) { lines.emplace_back(tag, line); });
    const int savedLevel = EvDebug().getDebugLevel();
    EvDebug::SetDebugLevel(-1);
    const std::string next = dir.File("next.csv");
    const CQiError err = report.Open(next, Append, true);
    EvDebug::SetDebugLevel(savedLevel);
    EvDebug::SetDebugSink({});

    ASSERT_OK(err);
    TestRecord kept(2, "kept", 2);
    ASSERT_OK(report.AddRecord(kept));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(next), std::string(Header) + "2,kept,2\n");
    EXPECT_EQ(ReadWhole(path), Header);
    // The loss is still told, at the level where misuse is.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, "");
    EXPECT_NE(lines[0].second.find("Lines of the previous report were lost"), std::string::npos);
    EXPECT_NE(lines[0].second.find("Failed to flush to report"), std::string::npos);
}

TEST_F(ReportTemplate, HeaderCheckConvertsAnOlderLayoutThroughTheTemporary) {
    WriteWhole(path, "Id,Name\n1,a\n2,b\n");
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    TestRecord record(3, "c", 4);
    ASSERT_OK(report.AddRecord(record));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,a,0\n2,b,0\n3,c,4\n");
    EXPECT_FALSE(Exists(path + ".tmp"));
}

TEST_F(ReportTemplate, HeaderCheckMatchesColumnsByPositionNotName) {
    WriteWhole(path, "Name,Id,Value\n1,a,2\n");
    TestReport report;
    ASSERT_OK(report.Open(path, In, true));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,a,2\n");
}

TEST_F(ReportTemplate, MatchingHeaderLeavesTheFileUntouched) {
    const std::string content = std::string(Header) + "1,a,1.50\n007,b,2\n";
    WriteWhole(path, content);
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), content);

    ASSERT_OK(report.Open(dir.File("new.csv"), Append, true));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(dir.File("new.csv")), Header);
}

TEST_F(ReportTemplate, UpdateWritesEveryLineUnderTheCurrentHeader) {
    WriteWhole(path, "Old\n1,a\n2,\"b,c\",3\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
    TestReport report;
    ASSERT_OK(report.Update(path));
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,a,0\n2,\"b,c\",3\n");
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                  std::filesystem::perms::group_read);
    EXPECT_FALSE(Exists(path + ".tmp"));

    WriteWhole(path, "Old\n");
    ASSERT_OK(report.Update(path));
    EXPECT_EQ(ReadWhole(path), Header);
}

TEST_F(ReportTemplate, UpdateOfAMissingFileFailsWithoutATemporary) {
    TestReport report;
    EXPECT_TRUE(report.Update(path).IsError());
    EXPECT_FALSE(Exists(path));
    EXPECT_FALSE(Exists(path + ".tmp"));
}

// Fault: one line that does not convert failed the whole conversion, for
// good; now it goes to path.bad with its line number and the rest converts.
TEST_F(ReportTemplate, UpdateStoppedForGoodAtALineThatDoesNotConvert) {
    WriteWhole(path, "Id,Name\n1,a\nx\n2,b\n3,");
    TestReport report;
    std::size_t moved = 0;
    ASSERT_FALSE(report.Update(path, moved).IsError());
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(ReadWhole(path), "Id,Name,Value\n1,a,0\n2,b,0\n");
    const std::string bad = ReadWhole(path + ".bad");
    EXPECT_NE(bad.find("\n3\tx\n5\t3,\n"), std::string::npos) << bad;
    EXPECT_FALSE(Exists(path + ".tmp"));
}

// --- mended: a rewrite lost data (no lock on the report, copy over the old file) ---

TEST_F(ReportTemplate, UpdateLostDataWhenTheRewriteFailed) {
    const std::string content = "Id,Name\n1,a\n2,b\n";
    const struct {
        const char* what;
        void (FaultInjector::*inject)(const std::string&);
        std::string suffix;
    } faults[] = {
        {"write", &FaultInjector::FailWrites, "/report.csv.tmp"},
        {"fsync", &FaultInjector::FailSyncs, "/report.csv.tmp"},
        {"rename", &FaultInjector::FailRenames, "/report.csv"},
    };
    for (const auto& fault : faults) {
        WriteWhole(path, content);
        TestReport report;
        {
            FaultInjector injector;
            (injector.*fault.inject)(fault.suffix);
            EXPECT_TRUE(report.Update(path).IsError()) << fault.what;
        }
        EXPECT_EQ(ReadWhole(path), content) << fault.what;
        EXPECT_FALSE(Exists(path + ".tmp")) << fault.what;
        EXPECT_TRUE(LockIsFree(path)) << fault.what;
    }
}

TEST_F(ReportTemplate, UpdateLostLinesAppendedDuringTheRewrite) {
    WriteWhole(path, "Id,Name\n1,a\n");
    FaultInjector injector;
    int probes = 0;
    injector.OnRename(ExpectLockHeldAt(path, path, probes));
    TestReport report;
    ASSERT_OK(report.Update(path));
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(LockIsFree(path));
}

TEST_F(ReportTemplate, RewriteOfAFileOpenForWritingIsRefused) {
    TestReport report;
    ASSERT_OK(report.Open(path, Append, false));
    TestRecord record(1, "a", 1);
    ASSERT_OK(report.AddRecord(record));
    TestReport::DataFrame_t frame{TestRecord(9, "z", 9)};
    const CQiError err = report.Rewrite(path, frame);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_TRUE(report.Update(path).IsError());
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,a,1\n");
}

TEST_F(ReportTemplate, RewriteReplacesTheContentWithoutRotating) {
    WriteWhole(path, std::string(Header) + "1,a,1\n");
    SmallReport report;
    SmallReport::DataFrame_t frame;
    for (int id = 1; id <= 5; ++id) frame.emplace_back(id, "n" + std::to_string(id), id);
    ASSERT_OK(report.Rewrite(path, frame));
    EXPECT_EQ(ReadLines(path).size(), 6u);
    EXPECT_FALSE(Exists(path + ".old"));
    EXPECT_FALSE(Exists(path + ".tmp"));
    EXPECT_TRUE(LockIsFree(path));

    // Fault: the torn last line a crash left went with the old file, unseen.
    WriteWhole(path, std::string(Header) + "1,a,1\n2,b");
    frame.resize(1);
    ASSERT_OK(report.Rewrite(path, frame));
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,n1,1\n");
    EXPECT_NE(ReadWhole(path + ".bad").find("\n3\t2,b\n"), std::string::npos);
}

// --- mended: text that broke the line format ---

TEST_F(ReportTemplate, TextBreakingTheLineFormatWasWrittenRaw) {
    const std::vector<std::string> names = {"a,b", "\"quoted\"", "cr\r",   "\"lead",
                                            "",    ",",          "x\"\"y", "plain"};
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    for (std::size_t i = 0; i < names.size(); ++i) {
        TestRecord record(static_cast<int>(i), names[i], 0.5);
        ASSERT_OK(report.AddRecord(record));
    }
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadLines(path).size(), names.size() + 1);
    EXPECT_EQ(ReadLines(path).back(), "7,plain,0.5");

    for (int pass = 0; pass < 2; ++pass) {  // as written, then after a rewrite
        TestReport::DataFrame_t frame;
        ASSERT_OK(report.Open(path, In, false));
        ASSERT_OK(report.LoadAll(frame));
        ASSERT_OK(report.Close());
        ASSERT_EQ(frame.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(frame[i].name, names[i]) << "pass " << pass;
        ASSERT_OK(report.Update(path));
    }
}

TEST_F(ReportTemplate, LineBreakOrNulInAFieldCorruptedTheReport) {
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    TestRecord good(1, "good", 1);
    ASSERT_OK(report.AddRecord(good));
    for (const std::string& name :
         {std::string("two\nlines"), std::string("nul\0byte", 8), std::string("\n")}) {
        TestRecord bad(2, name, 2);
        const CQiError err = report.AddRecord(bad);
        ASSERT_TRUE(err.IsError());
        EXPECT_EQ(err.GetErrNo(), 22);
        EXPECT_NE(err.GetMessage().find("line break or NUL byte"), std::string::npos) << err.GetMessage();
        EXPECT_NE(err.GetMessage().find(path), std::string::npos) << err.GetMessage();
    }
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,good,1\n");

    TestReport::DataFrame_t frame{TestRecord(3, "x\ny", 3)};
    EXPECT_TRUE(report.Rewrite(path, frame).IsError());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "1,good,1\n");
    EXPECT_FALSE(Exists(path + ".tmp"));
}

// --- rotation ---

TEST_F(ReportTemplate, AppendStartsTheFileAfreshAtTheLimit) {
    SmallReport report;
    ASSERT_OK(report.Open(path, Append, true));
    for (int id = 1; id <= 3; ++id) {
        TestRecord record(id, "r", id);
        ASSERT_OK(report.AddRecord(record));
    }
    EXPECT_FALSE(Exists(path + ".old"));
    for (int id = 4; id <= 7; ++id) {
        TestRecord record(id, "r", id);
        ASSERT_OK(report.AddRecord(record));
    }
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "7,r,7\n");
    EXPECT_EQ(ReadWhole(path + ".old"), std::string(Header) + "4,r,4\n5,r,5\n6,r,6\n");
    EXPECT_FALSE(Exists(path + ".old.tmp"));

    TestReport unlimited;
    ASSERT_OK(unlimited.Open(dir.File("big.csv"), Append, true));
    for (int id = 0; id < 50; ++id) {
        TestRecord record(id, "r", id);
        ASSERT_OK(unlimited.AddRecord(record));
    }
    ASSERT_OK(unlimited.Close());
    EXPECT_EQ(ReadLines(dir.File("big.csv")).size(), 51u);
    EXPECT_FALSE(Exists(dir.File("big.csv.old")));
}

TEST_F(ReportTemplate, RotationReleasedTheLockBetweenCopyAndEmptying) {
    FaultInjector injector;  // before the open, so it knows the report's descriptor
    SmallReport report;
    ASSERT_OK(report.Open(path, Append, true));
    for (int id = 1; id <= 3; ++id) {
        TestRecord record(id, "r", id);
        ASSERT_OK(report.AddRecord(record));
    }
    // The report is replaced by an exchange, then the old file renamed to .old.
    int renames = 0, exchanges = 0;
    const FaultInjector::Watch toOld = ExpectLockHeldAt(path + ".old", path, renames);
    const FaultInjector::Watch toReport = ExpectLockHeldAt(path, path, exchanges);
    injector.OnRename([=](const std::string& target) {
        toOld(target);
        toReport(target);
    });
    TestRecord fourth(4, "r", 4);
    ASSERT_OK(report.AddRecord(fourth));
    EXPECT_EQ(renames, 1);
    EXPECT_EQ(exchanges, 1);
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "4,r,4\n");
}

TEST_F(ReportTemplate, FailedRotationLeftAPartialOldFile) {
    SmallReport report;
    FaultInjector injector;
    ASSERT_OK(report.Open(path, Append, true));
    for (int id = 1; id <= 6; ++id) {
        TestRecord record(id, "r", id);
        ASSERT_OK(report.AddRecord(record));
    }
    const std::string previousOld = ReadWhole(path + ".old");
    ASSERT_EQ(previousOld, std::string(Header) + "1,r,1\n2,r,2\n3,r,3\n");

    // Reopened, so the injector knows the report's descriptor by the report's
    // name rather than the name it was created under.
    ASSERT_OK(report.Close());
    ASSERT_OK(report.Open(path, Append, true));
    const std::string full = ReadWhole(path);
    ASSERT_EQ(full, std::string(Header) + "4,r,4\n5,r,5\n6,r,6\n");
    injector.FailWrites("/report.csv.rotation");
    TestRecord seventh(7, "r", 7);
    EXPECT_TRUE(report.AddRecord(seventh).IsError());
    EXPECT_EQ(ReadWhole(path + ".old"), previousOld);
    EXPECT_EQ(ReadWhole(path), full);
    EXPECT_FALSE(Exists(path + ".rotation"));

    injector.Clear();
    ASSERT_OK(report.AddRecord(seventh));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path + ".old"), std::string(Header) + "4,r,4\n5,r,5\n6,r,6\n");
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "7,r,7\n");
}

// Fault: a rotation cut the report back in place, so a reader in the middle of
// it read on into the new lines and glued two rows together; and ".old" was
// created 0644 from a 0600 report. With and without exchanging names.
TEST_F(ReportTemplate, RotationCutTheFileUnderAReaderAndWidenedItsMode) {
    for (const bool exchange : {true, false}) {
        SCOPED_TRACE(exchange ? "exchanging names" : "no exchange on this file system");
        std::filesystem::remove(path);
        std::filesystem::remove(path + ".old");
        FaultInjector injector;
        if (!exchange) injector.RefuseExchanges();
        SmallReport report;
        ASSERT_OK(report.Open(path, Append, true));
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        for (int id = 1; id <= 3; ++id) {
            TestRecord record(id, "r", id);
            ASSERT_OK(report.AddRecord(record));
        }
        ASSERT_OK(report.Close());
        ReportFileHandler reader;
        ASSERT_OK(reader.Open(path, In));
        ASSERT_OK(report.Open(path, Append, true));
        std::string line;
        ASSERT_OK(reader.GetLine(line));
        ASSERT_OK(reader.GetLine(line));
        EXPECT_EQ(line, "1,r,1");

        TestRecord fourth(4, "r", 4), fifth(5, "r", 5);
        ASSERT_OK(report.AddRecord(fourth));
        ASSERT_OK(report.AddRecord(fifth));
        ASSERT_OK(report.Close());
        // The reader's file is now .old, byte for byte what it read from.
        ASSERT_OK(reader.GetLine(line));
        EXPECT_EQ(line, "2,r,2");
        ASSERT_OK(reader.GetLine(line));
        EXPECT_EQ(line, "3,r,3");
        EXPECT_TRUE(reader.GetLine(line).IsError());
        EXPECT_EQ(ReadWhole(path + ".old"), std::string(Header) + "1,r,1\n2,r,2\n3,r,3\n");
        EXPECT_EQ(ReadWhole(path), std::string(Header) + "4,r,4\n5,r,5\n");
        struct stat current {}, old {};
        ASSERT_EQ(stat(path.c_str(), &current), 0);
        ASSERT_EQ(stat((path + ".old").c_str(), &old), 0);
        EXPECT_EQ(current.st_mode & 07777, 0600u);
        EXPECT_EQ(old.st_mode & 07777, 0600u);
        EXPECT_EQ(test::ListDirectory(dir.Path(), "report"), (std::vector<std::string>{"report.csv", "report.csv.old"}));
    }
}

// What a rotation killed at each point leaves, and what the next writer's Open
// makes of it: the new header-only file not yet in place is removed; the old
// rows not yet renamed become .old; the old report's second name is removed;
// a good .old is never replaced by an empty or foreign file, and nothing at a
// side-file name is followed.
TEST_F(ReportTemplate, KilledRotationLeftTheOldRowsOutOfSightOrAStrayFile) {
    const std::string rows = std::string(Header) + "1,r,1\n2,r,2\n3,r,3\n";
    const std::string headerOnly = Header;
    const std::string goodOld = std::string(Header) + "7,r,7\n";
    const std::string victim = dir.File("victim");
    struct Case {
        const char* what;
        std::string report, rotation;
        enum Retired { None, LinkOfReport, OtherFile } retired;
        bool symlink;
        std::string report_after, old_after;
    };
    const std::vector<Case> cases = {
        {"new file half-written", rows, "Id,Na", Case::None, false, rows, goodOld},
        {"new file empty", rows, "", Case::None, false, rows, goodOld},
        {"new file complete, not exchanged", rows, headerOnly, Case::None, false, rows, goodOld},
        {"exchanged, old rows not renamed", headerOnly, rows, Case::None, false, headerOnly, rows},
        {"old report linked, new one not renamed", rows, headerOnly, Case::LinkOfReport, false, rows, goodOld},
        {"new one renamed, old rows under the second name", headerOnly, "", Case::OtherFile, false, headerOnly, rows},
        {"a link planted as the rotation file", rows, "", Case::None, true, rows, goodOld},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : {"report.csv", "report.csv.old", "report.csv.rotation", "report.csv.retired", "victim"}) {
            std::filesystem::remove(dir.File(name));
        }
        WriteWhole(path, c.report);
        WriteWhole(path + ".old", goodOld);
        WriteWhole(victim, rows);
        if (c.symlink) {
            std::filesystem::create_symlink(victim, path + ".rotation");
        } else if (c.what != std::string("new one renamed, old rows under the second name")) {
            WriteWhole(path + ".rotation", c.rotation);
        }
        if (c.retired == Case::LinkOfReport) std::filesystem::create_hard_link(path, path + ".retired");
        if (c.retired == Case::OtherFile) WriteWhole(path + ".retired", rows);

        SmallReport report;
        ASSERT_OK(report.Open(path, Append, true));
        ASSERT_OK(report.Close());
        EXPECT_EQ(ReadWhole(path), c.report_after);
        EXPECT_EQ(ReadWhole(path + ".old"), c.old_after);
        EXPECT_EQ(ReadWhole(victim), rows);
        EXPECT_EQ(test::ListDirectory(dir.Path(), "report"), (std::vector<std::string>{"report.csv", "report.csv.old"}));
    }
    // A second name of someone else's file holding rows is not taken for the
    // old rows: .old keeps its own.
    WriteWhole(path, headerOnly);
    std::filesystem::create_hard_link(victim, path + ".rotation");
    SmallReport report;
    ASSERT_OK(report.Open(path, Append, true));
    ASSERT_OK(report.Close());
    EXPECT_EQ(ReadWhole(path + ".old"), goodOld);
    EXPECT_EQ(ReadWhole(victim), rows);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path + ".rotation")));
}

// --- traversal, loading, frames ---

class ReportTraversal : public ReportTemplate {
protected:
    void SetUp() override {
        // A line that does not convert, and an empty line, which is one empty field.
        WriteWhole(path, std::string(Header) + "1,a,1\nx\n2,b,2\n\n3,c,3\n");
        ASSERT_OK(report.Open(path, In, false));
    }
    TestReport report;
    std::vector<int> seen;
};

TEST_F(ReportTraversal, WithoutStoppingBadLinesAndFailingCallbacksAreSkipped) {
    ASSERT_OK(report.ForEach(
        [&](TestRecord& record) {
            seen.push_back(record.id);
            return record.id == 2 ? FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "callback")
                                  : CQiError::Success();
        },
        false));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
}

TEST_F(ReportTraversal, StoppingEndsAtTheFirstBadLineOrFailingCallback) {
    CQiError err = report.ForEach(
        [&](TestRecord& record) {
            seen.push_back(record.id);
            return CQiError::Success();
        },
        true);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetMessage(), "Invalid line can't be converted to TestRecord");
    EXPECT_EQ(seen, std::vector<int>{1});

    seen.clear();
    err = report.ForEach(
        [&](TestRecord& record) {
            seen.push_back(record.id);
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 150, "callback");
        },
        true);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetMessage(), "callback");
    EXPECT_EQ(seen, std::vector<int>{1});
}

TEST_F(ReportTraversal, LoadAllAppendsAndKeepsWhatPrecededABadLine) {
    TestReport::DataFrame_t frame{TestRecord(-1, "kept", 0), TestRecord(-2, "kept", 0)};
    const CQiError err = report.LoadAll(frame);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(IdsOf(frame), (std::vector<int>{-1, -2, 1}));

    WriteWhole(dir.File("good.csv"), std::string(Header) + "1,a,1\n2,b,2.5\n");
    TestReport good;
    ASSERT_OK(good.Open(dir.File("good.csv"), In, false));
    ASSERT_OK(good.LoadAll(frame));
    EXPECT_EQ(IdsOf(frame), (std::vector<int>{-1, -2, 1, 1, 2}));
    EXPECT_EQ(frame.back().name, "b");
    EXPECT_EQ(frame.back().value, 2.5);
}

TEST_F(ReportTraversal, TraversalOfAClosedReportFails) {
    ASSERT_OK(report.Close());
    const CQiError err = report.ForEach([&](TestRecord&) { return CQiError::Success(); }, false);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
}

TEST_F(ReportTemplate, AddDataFrameRotatesInTheMiddleOfALargeFrame) {
    SmallReport report;
    ASSERT_OK(report.Open(path, Append, true));
    SmallReport::DataFrame_t empty;
    ASSERT_OK(report.AddDataFrame(empty));
    EXPECT_EQ(ReadWhole(path), Header);  // the header line, flushed by the frame

    SmallReport::DataFrame_t frame;
    for (int id = 1; id <= 5; ++id) frame.emplace_back(id, "f", id);
    frame[0].SetColumnSeparator(';');
    ASSERT_OK(report.AddDataFrame(frame));
    EXPECT_EQ(frame[0].GetColumnSeparator(), ',');
    EXPECT_EQ(ReadWhole(path), std::string(Header) + "4,f,4\n5,f,5\n");
    EXPECT_EQ(ReadWhole(path + ".old"), std::string(Header) + "1,f,1\n2,f,2\n3,f,3\n");
    ASSERT_OK(report.Close());
}

// --- locking and closing ---

TEST_F(ReportTemplate, LockOnAReaderHoldsTheReportUntilClose) {
    WriteWhole(path, Header);
    TestReport report;
    ASSERT_OK(report.Open(path, In, true));
    EXPECT_TRUE(LockIsFree(path));
    ASSERT_OK(report.Lock());
    EXPECT_FALSE(LockIsFree(path));
    ASSERT_OK(report.Close());
    EXPECT_TRUE(LockIsFree(path));

    ASSERT_OK(report.Open(path, Append, true));
    EXPECT_FALSE(LockIsFree(path));
    ASSERT_OK(report.Close());
    EXPECT_TRUE(LockIsFree(path));
}

TEST_F(ReportTemplate, CloseReportedSuccessWhenLinesWereLost) {
    FaultInjector injector;
    TestReport report;
    ASSERT_OK(report.Open(path, Append, true));
    TestRecord record(1, "a", 1);
    ASSERT_OK(report.AddRecord(record));
    injector.FailWrites("/report.csv");
    const CQiError err = report.Close();
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_TRUE(LockIsFree(path));
}

// --- mended: two processes converting one old file ---

TEST_F(ReportTemplate, HeaderConversionRanWithoutTheReportLock) {
    WriteWhole(path, "Id,Name\n1,a\n");
    FaultInjector injector;
    int probes = 0;
    injector.OnRename(ExpectLockHeldAt(path, path, probes));
    TestReport report;
    ASSERT_OK(report.Open(path, In, true));
    EXPECT_EQ(probes, 1);
    EXPECT_TRUE(LockIsFree(path));
}

TEST_F(ReportTemplate, ConcurrentOpensOfAnOldFileLostRows) {
    for (int round = 0; round < 10; ++round) {
        std::string old = "Id,Name\n";
        for (int id = 1; id <= 50; ++id) old += std::to_string(id) + ",old\n";
        WriteWhole(path, old);

        std::vector<pid_t> children;
        for (int child = 0; child < 2; ++child) {
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                TestReport report;
                TestRecord record(1000 + child, "new", 1);
                const bool ok = !report.Open(path, Append, true).IsError() &&
                                !report.AddRecord(record).IsError() && !report.Close().IsError();
                _exit(ok ? 0 : 1);
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }

        TestReport report;
        TestReport::DataFrame_t frame;
        ASSERT_OK(report.Open(path, In, false));
        EXPECT_TRUE(report.CheckFileHeader());
        ASSERT_OK(report.LoadAll(frame));
        std::vector<int> ids = IdsOf(frame);
        std::sort(ids.begin(), ids.end());
        std::vector<int> expected;
        for (int id = 1; id <= 50; ++id) expected.push_back(id);
        expected.push_back(1000);
        expected.push_back(1001);
        ASSERT_EQ(ids, expected) << "round " << round;
    }
}

TEST_F(ReportTemplate, RewriteKeepsTheOwnerOrFailsWithoutTouchingTheReport) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the report to another user";
    const struct passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody";
    const std::string content = std::string(Header) + "1,a,1\n";
    SmallReport::DataFrame_t frame;
    frame.emplace_back(2, "b", 2);

    // Root rewriting a service user's report leaves it the service user's.
    WriteWhole(path, content);
    ASSERT_EQ(::chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    SmallReport report;
    ASSERT_OK(report.Rewrite(path, frame));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_gid, nobody->pw_gid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A user who may write root's report but cannot give a new file root's
    // owner is refused, and the report stays as it was.
    WriteWhole(path, content);
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    // The directory and its locks are open to the user, so only the owner stands in its way.
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir / "locks")) {
        ASSERT_EQ(::chmod(entry.path().c_str(), entry.is_directory() ? 01777 : 0666), 0);
    }
    ASSERT_EQ(::chmod((dir / "locks").c_str(), 01777), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 3;
        if (::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0) {
            SmallReport other;
            const CQiError err = other.Rewrite(path, frame);
            code = err.IsError() && err.GetErrNo() == 150 ? 0 : 1;
            if (code) std::fprintf(stderr, "%d %s\n", err.GetErrNo(), err.GetMessage().c_str());
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "rewrite by nobody was not refused with 150";
    EXPECT_EQ(ReadWhole(path), content);
    EXPECT_FALSE(Exists(path + ".tmp"));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);

    // Nor can that user move a torn last line aside; its records still go in,
    // after the torn bytes, instead of being refused for good.
    WriteWhole(path, content + "2,b");
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        int code = 3;
        if (::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0) {
            TestReport other;
            CQiError err = other.Open(path, std::ios::out | std::ios::app, false);
            TestRecord record(3, "c", 3);
            if (!err.IsError()) err = other.AddRecord(record);
            if (!err.IsError()) err = other.Close();
            code = err.IsError() ? 1 : 0;
            if (code) std::fprintf(stderr, "%d %s\n", err.GetErrNo(), err.GetMessage().c_str());
        }
        ::_exit(code);
    }
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "append by nobody after a torn line failed";
    EXPECT_EQ(ReadWhole(path), content + "2,b\n3,c,3\n");
}

}  // namespace
}  // namespace I2
