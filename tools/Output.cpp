#include "Output.h"

#include <algorithm>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <IdxReports/ReportRecord.h>

#include "Console.h"

namespace IdxTool {
namespace {

// Characters as a terminal shows them: UTF-8 continuation bytes take no column.
std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) ++width;
    }
    return width;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Widths come from the header and the first rows; a large file is not held in
// memory to measure it, so a later, wider cell simply pushes its row wider.
class TableWriter final : public RowWriter {
public:
    explicit TableWriter(std::ostream& out) : out_(out) {}

    void Begin(const std::vector<std::string>& columns) override {
        columns_.clear();
        for (const std::string& name : columns) columns_.push_back(Printable(name));
    }

    void Add(const Row& row) override {
        if (started_) {
            Print(row);
            return;
        }
        pending_.push_back(row);
        if (pending_.size() >= kMeasuredRows) Flush();
    }

    void End() override {
        if (!started_) Flush();
        out_.flush();
    }

private:
    static constexpr std::size_t kMeasuredRows = 256;

    void Flush() {
        started_ = true;
        widths_.assign(columns_.size(), 0);
        numeric_.assign(columns_.size(), !pending_.empty());
        for (std::size_t i = 0; i < columns_.size(); ++i) widths_[i] = DisplayWidth(columns_[i]);
        for (const Row& row : pending_) {
            for (std::size_t i = 0; i < row.size() && i < columns_.size(); ++i) {
                widths_[i] = std::max(widths_[i], DisplayWidth(Printable(row[i].text)));
                if (!row[i].number) numeric_[i] = false;
            }
        }
        std::string header;
        std::string rule;
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            Pad(header, columns_[i], widths_[i], numeric_[i], i + 1 == columns_.size());
            if (i > 0) rule += "  ";
            rule.append(widths_[i], '-');
        }
        out_ << TrimRight(header) << '\n' << rule << '\n';
        for (const Row& row : pending_) Print(row);
        pending_.clear();
    }

    void Print(const Row& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size() && i < columns_.size(); ++i)
            Pad(line, Printable(row[i].text), widths_[i], numeric_[i], i + 1 == row.size());
        out_ << TrimRight(line) << '\n';
    }

    static void Pad(std::string& line, const std::string& text, std::size_t width, bool right, bool last) {
        if (!line.empty()) line += "  ";
        std::size_t fill = width > DisplayWidth(text) ? width - DisplayWidth(text) : 0;
        if (right) line.append(fill, ' ');
        line += text;
        if (!right && !last) line.append(fill, ' ');
    }

    std::ostream& out_;
    std::vector<std::string> columns_;
    std::vector<Row> pending_;
    std::vector<std::size_t> widths_;
    std::vector<bool> numeric_;
    bool started_ = false;
};

class CsvWriter final : public RowWriter {
public:
    explicit CsvWriter(std::ostream& out) : out_(out) {}

    void Begin(const std::vector<std::string>& columns) override {
        Row header;
        for (const std::string& name : columns) header.push_back(Cell{name, false});
        Add(header);
    }

    void Add(const Row& row) override {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) line += ',';
            line += row[i].number ? row[i].text : CsvField(row[i].text);
        }
        line += '\n';
        out_ << line;
    }

    void End() override { out_.flush(); }

private:
    std::ostream& out_;
};

// One JSON array of objects keyed by column name, written as the rows come so
// that a large file streams through.
class JsonWriter final : public RowWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}

    void Begin(const std::vector<std::string>& columns) override {
        keys_.clear();
        for (const std::string& name : columns) keys_.push_back(JsonDump(nlohmann::json(name)));
        out_ << '[';
    }

    void Add(const Row& row) override {
        std::string object = first_ ? "\n  {" : ",\n  {";
        first_ = false;
        for (std::size_t i = 0; i < row.size() && i < keys_.size(); ++i) {
            if (i > 0) object += ", ";
            object += keys_[i] + ": " + JsonValue(row[i]);
        }
        object += '}';
        out_ << object;
    }

    void End() override { out_ << (first_ ? "]\n" : "\n]\n") << std::flush; }

private:
    std::ostream& out_;
    std::vector<std::string> keys_;
    bool first_ = true;
};

}  // namespace

Format ParseFormat(const std::string& name) {
    if (name == "table") return Format::Table;
    if (name == "csv") return Format::Csv;
    if (name == "json") return Format::Json;
    return Format::Auto;
}

Format ResolveFormat(Format format, const Console& console) {
    if (format != Format::Auto) return format;
    return console.outIsTerminal ? Format::Table : Format::Csv;
}

std::unique_ptr<RowWriter> MakeRowWriter(Format format, std::ostream& out) {
    switch (format) {
        case Format::Json:
            return std::make_unique<JsonWriter>(out);
        case Format::Csv:
            return std::make_unique<CsvWriter>(out);
        case Format::Auto:
        case Format::Table:
            break;
    }
    return std::make_unique<TableWriter>(out);
}

std::string CsvField(const std::string& text) {
    // The library's own quoting, so what we print reads back the way report
    // lines do; a line break cannot occur in a report field but can in a
    // name the tool prints, so it is quoted too.
    std::string field = I2::ReportRecord::QuoteText(text, ',');
    if (field == text && text.find('\n') != std::string::npos) {
        field = '"' + text + '"';
    }
    return field;
}

std::string Printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            shown += fmt::format("\\x{:02X}", static_cast<unsigned>(c));
        else
            shown += static_cast<char>(c);
    }
    return shown;
}

std::string JsonDump(const nlohmann::json& value, int indent) {
    // A report field is bytes, not necessarily UTF-8; an invalid sequence is
    // shown as U+FFFD rather than failing the whole output.
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonValue(const Cell& cell) {
    // Numbers come from the library's formatting: plain decimals, or %g with an
    // exponent, which JSON takes as they are. Only nan and inf are not JSON.
    const std::string& t = cell.text;
    const std::size_t digit = !t.empty() && t[0] == '-' ? 1 : 0;
    if (cell.number && digit < t.size() && t[digit] >= '0' && t[digit] <= '9') return t;
    return JsonDump(nlohmann::json(t));
}

}  // namespace IdxTool
