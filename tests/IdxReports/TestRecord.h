#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <platform/QiError.h>
#include <IdxReports/Report.h>
#include <IdxReports/ReportRecord.h>

namespace I2::Testing {

// A small record for exercising the template: Id, Name (text), Value.
//   7,alpha,2.5    "7,alpha" reads with Value 0    "x" is rejected (code 22)
// Lines with fewer than two or more than three fields are rejected, so tests
// can plant a line that does not convert.
class TestRecord : public ReportRecord {
public:
    TestRecord() = default;
    TestRecord(int idValue, std::string nameValue, double valueValue)
        : id(idValue), name(std::move(nameValue)), value(valueValue) {}

    void DebugMe() override {}

    std::string ToString() override {
        std::string line;
        AppendField(line, id);
        line.push_back(GetColumnSeparator());
        AppendText(line, name);
        line.push_back(GetColumnSeparator());
        AppendField(line, value);
        return line;
    }

    CQiError FromString(const std::string& line) override {
        thread_local std::vector<std::string_view> fields;
        SplitViews(line, fields);
        if (fields.size() < 2 || fields.size() > 3) {
            return FXErrorUtil::ErrorErrNo(FX_CODE_LOCATION, 22,
                                           "Invalid line can't be converted to TestRecord");
        }
        id = StringToField<int>(fields[0], -1);
        name = UnquoteText(fields[1]);
        value = fields.size() > 2 ? StringToField<double>(fields[2], 0.0) : 0.0;
        return CQiError::Success();
    }

    int id = 0;
    std::string name;
    double value = 0.0;
};

inline std::vector<std::string> TestColumns() {
    return {"Id", "Name", "Value"};
}

// Rotates once it holds three data lines.
class SmallReport : public Report<TestRecord, 3, ','> {
public:
    std::vector<std::string> GetHeader() const override { return TestColumns(); }
};

// Grows without limit.
class TestReport : public Report<TestRecord, -1, ','> {
public:
    std::vector<std::string> GetHeader() const override { return TestColumns(); }
};

}  // namespace I2::Testing
