#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ReportKinds.h"

namespace IdxTool {

struct Console;

// Auto is a table on a terminal and CSV everywhere else, so that a pipe gets
// something another program reads back.
enum class Format { Auto, Table, Csv, Json };

Format ParseFormat(const std::string& name);  // "table", "csv", "json"; anything else is Auto
Format ResolveFormat(Format format, const Console& console);

// Writes rows under a list of column names, in one of the formats.
class RowWriter {
public:
    virtual ~RowWriter() = default;
    virtual void Begin(const std::vector<std::string>& columns) = 0;
    virtual void Add(const Row& row) = 0;
    virtual void End() = 0;
};

// `format` must be resolved (not Auto).
std::unique_ptr<RowWriter> MakeRowWriter(Format format, std::ostream& out);

// A cell's text as a CSV field: quoted when it holds a comma, a double quote or
// a line break, as report lines quote their fields.
std::string CsvField(const std::string& text);

// A text made safe for a terminal: control characters (an escape sequence in a
// hostile file name) are shown as \xNN instead of being sent to the terminal.
std::string Printable(const std::string& text);

// A JSON value for a cell: a number stays a number.
std::string JsonValue(const Cell& cell);
// `value` as JSON text (`indent` -1: one line), never failing on bytes that are
// not UTF-8.
std::string JsonDump(const nlohmann::json& value, int indent = -1);

}  // namespace IdxTool
