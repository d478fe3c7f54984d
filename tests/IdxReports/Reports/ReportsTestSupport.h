#pragma once

// What the tests of the concrete reports share beyond the template's support:
// captured debug output, texts that need quoting, the shapes of the errors the
// reports return, and the check that a record's visitor tells its layout.

#include <cstddef>
#include <string>
#include <string_view>
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

// One field as a record's VisitFields gives it; `column` is its position.
struct VisitedField {
    std::size_t column;
    std::string text;
    bool number;
};

template <typename Record>
std::vector<VisitedField> Visited(const Record& record, std::vector<std::string>* names = nullptr) {
    std::vector<VisitedField> fields;
    record.VisitFields([&](std::string_view name, std::string_view text, bool number) {
        fields.push_back(VisitedField{fields.size(), std::string(text), number});
        if (names != nullptr) names->emplace_back(name);
    });
    return fields;
}

// `record`'s visited fields must be `expected` (one entry per column, each
// placed by its Column name), named as the report's header names them; quoted
// and joined, they must be the record's line, and the record read back from it
// must visit the same texts. `record` must hold no text that its line writes
// other than by the codec's plain quoting.
template <typename Report, typename Record>
void ExpectVisitedFields(Record record, const std::vector<VisitedField>& expected) {
    ASSERT_EQ(expected.size(), Record::Column::Count) << "the table must name every column";
    std::vector<std::string> names;
    const std::vector<VisitedField> visited = Visited(record, &names);
    EXPECT_EQ(names, Report().GetHeader());
    ASSERT_EQ(visited.size(), expected.size());
    std::string line;
    for (const VisitedField& field : expected) {
        ASSERT_LT(field.column, visited.size());
        EXPECT_EQ(visited[field.column].text, field.text) << "column " << field.column;
        EXPECT_EQ(visited[field.column].number, field.number) << "column " << field.column;
    }
    for (const VisitedField& field : visited) {
        line += (field.column > 0 ? "," : "") + ReportRecord::QuoteText(field.text, ',');
    }
    EXPECT_EQ(line, record.ToString());

    Record read;
    ASSERT_FALSE(read.FromString(line).IsError()) << line;
    const std::vector<VisitedField> again = Visited(read);
    ASSERT_EQ(again.size(), visited.size());
    for (std::size_t i = 0; i < again.size(); ++i) EXPECT_EQ(again[i].text, visited[i].text) << "column " << i;
}

}  // namespace I2::Testing
