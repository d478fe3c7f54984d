// The record codec against plain reference splitters kept here, on any bytes:
//  - ReportRecord::Split and SplitViews give the fields the quoting rule gives;
//  - texts quoted with QuoteText, joined and split again come back exactly;
//  - the file handler's SplitLine gives the fields of a plain delimited split;
//  - every record's FromString takes any line without harm, and a record it
//    accepted writes a line that reads back into the same line.
// Any disagreement aborts.
//
// Input: the first byte picks the separator, the rest is the line (and, cut at
// its line breaks, the texts to quote).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <IdxReports/ReportFileHandler.h>
#include <IdxReports/Reports/JobStatsReport.h>
#include <IdxReports/Reports/LogCleanUpReport.h>
#include <IdxReports/Reports/LogicalDiskReport.h>
#include <IdxReports/Reports/SyntheticReports.h>
#include <IdxReports/Reports/VerifyArchiveReport.h>

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

// The quoting rule, written the plain way: a field that opens with a double
// quote runs to the quote that is not doubled, and the character after it is
// taken as the separator; an unclosed quote takes the rest of the line; any
// other field runs to the next separator. A trailing separator gives a trailing
// empty field, and an empty line one empty field.
std::vector<std::string> ReferenceSplit(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        if (start < line.size() && line[start] == '"') {
            std::size_t close = start + 1;
            for (;;) {
                close = line.find('"', close);
                if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '"') break;
                close += 2;  // a doubled quote is text
            }
            if (close == std::string::npos) {
                fields.push_back(line.substr(start));
                return fields;
            }
            fields.push_back(line.substr(start, close + 1 - start));
            if (close + 1 >= line.size()) return fields;
            start = close + 2;
            continue;
        }
        const std::size_t end = line.find(separator, start);
        if (end == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, end - start));
        start = end + 1;
    }
}

// The handler's rule: every separator splits, nothing is quoted, a trailing
// separator gives no empty last field, and an empty line no field at all.
std::vector<std::string> ReferenceSplitLine(const std::string& line, char separator) {
    std::vector<std::string> fields;
    if (line.empty()) return fields;
    std::size_t start = 0;
    for (std::size_t end; (end = line.find(separator, start)) != std::string::npos; start = end + 1) {
        fields.push_back(line.substr(start, end - start));
    }
    if (start < line.size()) fields.push_back(line.substr(start));
    return fields;
}

// A record that takes a line writes a line that reads back as itself.
template <typename Record>
void CheckRecord(const std::string& line) {
    Record record;
    if (record.FromString(line).IsError()) return;
    const std::string written = record.ToString();
    Record again;
    Require(!again.FromString(written).IsError());
    Require(again.ToString() == written);
}

void CheckSplit(const std::string& line, char separator) {
    I2::VerifyArchiveRecord record;
    record.SetColumnSeparator(separator);
    const std::vector<std::string> fields = record.Split(line);
    Require(fields == ReferenceSplit(line, separator));
    std::vector<std::string_view> views;
    record.SplitViews(line, views);
    Require(views.size() == fields.size());
    for (std::size_t i = 0; i < views.size(); ++i) Require(views[i] == fields[i]);

    I2::ReportFileHandler handler;
    std::vector<std::string> plain{"kept"};
    Require(!handler.SplitLine(line, plain, separator).IsError());
    std::vector<std::string> expected{"kept"};
    for (std::string& field : ReferenceSplitLine(line, separator)) expected.push_back(field);
    Require(plain == expected);
}

// The input's pieces between line breaks, taken as texts (which may hold the
// separator, quotes, carriage returns, any byte but a line break): quoted,
// joined and split again, each comes back as it was.
void CheckQuoting(const std::string& input, char separator) {
    I2::VerifyArchiveRecord record;
    record.SetColumnSeparator(separator);
    std::vector<std::string> texts;
    std::size_t start = 0;
    for (std::size_t end; (end = input.find('\n', start)) != std::string::npos; start = end + 1) {
        texts.push_back(input.substr(start, end - start));
    }
    texts.push_back(input.substr(start));
    std::vector<std::string> quoted;
    for (const std::string& text : texts) quoted.push_back(record.QuoteText(text));
    const std::vector<std::string> back = record.Split(record.JoinFields(quoted));
    Require(back.size() == texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) Require(I2::ReportRecord::UnquoteText(back[i]) == texts[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static constexpr char kSeparators[] = {',', ';', '\t', '|'};
    const char separator = kSeparators[data[0] % sizeof kSeparators];
    const std::string line(reinterpret_cast<const char*>(data) + 1, size - 1);

    CheckSplit(line, separator);
    CheckQuoting(line, separator);
    // A line read from a file never holds a line break.
    const std::string fileLine = line.substr(0, line.find('\n'));
    CheckRecord<I2::JobStatsRecord>(fileLine);
    CheckRecord<I2::LogicalDiskRecord>(fileLine);
    CheckRecord<I2::DanglingStubsRecord>(fileLine);
    CheckRecord<I2::DroppedFilesRecord>(fileLine);
    CheckRecord<I2::VerifyArchiveRecord>(fileLine);
    CheckRecord<I2::LogCleanUpRecord>(fileLine);
    return 0;
}
