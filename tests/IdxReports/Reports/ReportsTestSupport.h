#pragma once

// What the tests of the concrete reports share beyond the template's support:
// captured debug output, texts that need quoting, and the shapes of the errors
// the reports return.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <platform/DbgLog.h>
#include <platform/QiError.h>
#include <IdxReports/IdxReportsTestSupport.h>

namespace I2::Testing {

// Every debug line written while it lives, as "tag|line", at the given level.
class DebugCapture {
public:
    explicit DebugCapture(int level) {
        EvDebug::SetDebugLevel(level);
        EvDebug::SetDebugSink([this](const std::string& tag, const std::string& line) {
            lines.push_back(tag + "|" + line);
        });
    }
    ~DebugCapture() {
        EvDebug::SetDebugSink({});
        EvDebug::SetDebugLevel(-1);
    }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> lines;
};

// The debug lines that `action` writes at `level`.
template <typename Action>
std::vector<std::string> DebugLines(int level, Action&& action) {
    DebugCapture capture(level);
    action();
    return capture.lines;
}

// An append to a report that was never opened: the write's code 150, then the
// template's AddRecord, then the report's own operation on top.
inline void ExpectNotOpenTrace(const CQiError& err, const std::string& file, const std::string& operation) {
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 150);
    EXPECT_EQ(err.GetMessage(), "Failed to write to report, report not open");
    const std::vector<FXCodeLocation>& trace = err.GetTrace();
    ASSERT_EQ(trace.size(), 3u) << err.Describe();
    EXPECT_NE(trace[1].function.find("AddRecord"), std::string::npos) << trace[1].function;
    EXPECT_EQ(trace[2].file, file);
    EXPECT_NE(trace[2].function.find(operation), std::string::npos) << trace[2].function;
}

// Texts that arrive from outside (paths, GUIDs, reasons) and must read back as
// they were written.
inline const std::vector<std::string>& AwkwardTexts() {
    static const std::vector<std::string> texts{
        "/d/a,b.txt", "say \"hi\"", "\"quoted\"", "\"", ",", ",,", "cr\rhere", " spaced ", "", "\"a\",b"};
    return texts;
}

inline void ExpectInvalidLine(const CQiError& err, const std::string& recordName) {
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(err.GetErrNo(), 22);
    EXPECT_EQ(err.GetMessage(), "Invalid line can't be converted to " + recordName);
}

}  // namespace I2::Testing
