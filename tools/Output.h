#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ReportKinds.h"

namespace IdxTool {

struct Console;

// Auto is a table on a terminal and CSV everywhere else, so that a pipe gets
// something another program reads back.
enum class Format { Auto, Table, Csv, Json, Jsonl };

// "table", "csv", "json", "jsonl" ("text" is an older name of "table");
// anything else is Auto.
Format ParseFormat(const std::string& name);
Format ResolveFormat(Format format, const Console& console);

// Writes rows under a list of column names, in one of the formats.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void Begin(const std::vector<std::string>& columns) = 0;
    virtual void Add(const Row& row) = 0;
    virtual void End() = 0;
    // Text fields written in the lossless form for text that is not UTF-8.
    std::size_t NonUtf8Fields() const { return nonUtf8_; }

protected:
    std::size_t nonUtf8_ = 0;
};

// `format` must be resolved (not Auto).
std::unique_ptr<RowWriter> MakeRowWriter(Format format, std::ostream& out);

// "1 record", "2 records".
std::string Plural(std::size_t n, const char* one, const char* many);

// A cell's text as a CSV field: quoted when it holds a comma, a double quote or
// a line break, as report lines quote their fields.
std::string CsvField(const std::string& text);

// A text made safe for a terminal: every byte a terminal would act on is shown
// as an escape instead of being sent: C0 controls, DEL and bytes that are not
// UTF-8 as \xNN, C1 controls and the bidirectional overrides as \u{NNNN}.
//   "a\x1b]0;x\x07" -> a\x1B]0;x\x07     "caf\xe9" -> caf\xE9
std::string Printable(const std::string& text);
// Columns a terminal gives a printable text: East Asian wide and fullwidth
// characters take two, combining marks none (a small table of our own, so the
// result does not depend on the locale).
std::size_t DisplayWidth(std::string_view printable);

bool IsUtf8(std::string_view text);

// A JSON value for a cell: a number stays a number with the text it has (an
// empty number field is null; inf, nan and forms such as "007" that JSON lacks
// are strings). A text that is not UTF-8
// is written losslessly as {"base64": "<its bytes>"}; `nonUtf8` counts those.
std::string JsonValue(const Cell& cell, std::size_t& nonUtf8);
// `value` as JSON text (`indent` -1: one line). Bytes that are not UTF-8 become
// U+FFFD; `altered` says whether that happened.
std::string JsonDump(const nlohmann::json& value, int indent, bool& altered);

}  // namespace IdxTool
