#include "Output.h"

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <IdxReports/ReportRecord.h>

#include "Console.h"

namespace IdxTool {
namespace {

// Decodes the UTF-8 sequence at `text[at]`: its code point and length, or
// length 0 for a byte that starts no valid sequence (overlong forms,
// surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, uint32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x80) {
        code = first;
        return 1;
    }
    std::size_t length = 0;
    uint32_t minimum = 0;
    if ((first & 0xE0) == 0xC0) {
        length = 2, code = first & 0x1F, minimum = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        length = 3, code = first & 0x0F, minimum = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        length = 4, code = first & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool Between(uint32_t code, uint32_t low, uint32_t high) { return code >= low && code <= high; }

// Zero-width: combining marks, zero-width spaces and joiners, variation selectors.
bool IsZeroWidth(uint32_t c) {
    return Between(c, 0x0300, 0x036F) || Between(c, 0x0483, 0x0489) || Between(c, 0x0591, 0x05BD) ||
           Between(c, 0x0610, 0x061A) || Between(c, 0x064B, 0x065F) || Between(c, 0x0E31, 0x0E31) ||
           Between(c, 0x0E34, 0x0E3A) || Between(c, 0x1AB0, 0x1AFF) || Between(c, 0x1DC0, 0x1DFF) ||
           Between(c, 0x200B, 0x200F) || Between(c, 0x20D0, 0x20FF) || Between(c, 0xFE00, 0xFE0F) ||
           Between(c, 0xFE20, 0xFE2F) || Between(c, 0xE0100, 0xE01EF);
}

// East Asian wide and fullwidth ranges, and the emoji blocks terminals draw wide.
bool IsWide(uint32_t c) {
    return Between(c, 0x1100, 0x115F) || Between(c, 0x2E80, 0x303E) || Between(c, 0x3041, 0x33FF) ||
           Between(c, 0x3400, 0x4DBF) || Between(c, 0x4E00, 0x9FFF) || Between(c, 0xA000, 0xA4CF) ||
           Between(c, 0xAC00, 0xD7A3) || Between(c, 0xF900, 0xFAFF) || Between(c, 0xFE30, 0xFE4F) ||
           Between(c, 0xFF00, 0xFF60) || Between(c, 0xFFE0, 0xFFE6) || Between(c, 0x1F300, 0x1F64F) ||
           Between(c, 0x1F900, 0x1F9FF) || Between(c, 0x20000, 0x2FFFD) || Between(c, 0x30000, 0x3FFFD);
}

// Shown escaped: a terminal acts on them, or they reorder what follows.
bool IsActedOn(uint32_t c) {
    return Between(c, 0x80, 0x9F) || Between(c, 0x202A, 0x202E) || Between(c, 0x2066, 0x2069);
}

std::string Base64(std::string_view bytes) {
    static const char* const kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(n >> 18) & 63];
        out += kDigits[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
    }
    return out;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?: what JSON takes as a number.
// A field such as "007" or "5." reads as a number but is written as a string.
bool IsJsonNumber(std::string_view t) {
    std::size_t i = 0;
    const auto digits = [&] {
        const std::size_t start = i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        return i - start;
    };
    if (i < t.size() && t[i] == '-') ++i;
    if (i < t.size() && t[i] == '0') {
        ++i;
    } else if (digits() == 0) {
        return false;
    }
    if (i < t.size() && t[i] == '.') {
        ++i;
        if (digits() == 0) return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (digits() == 0) return false;
    }
    return i == t.size();
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
        Row shown = row;
        for (Cell& cell : shown) cell.text = Printable(cell.text);
        if (started_) {
            Print(shown);
            return;
        }
        for (const Cell& cell : shown) pendingBytes_ += cell.text.size();
        pending_.push_back(std::move(shown));
        if (pending_.size() >= kMeasuredRows || pendingBytes_ >= kMeasuredBytes) Flush();
    }

    void End() override {
        if (!started_) Flush();
        out_.flush();
    }

private:
    // The rows that set the widths are held; a few long ones end the holding
    // early (an escaped line of kMaxLineBytes takes four times that).
    static constexpr std::size_t kMeasuredRows = 256;
    static constexpr std::size_t kMeasuredBytes = 8u << 20;
    // A longer cell is shown whole but widens no column: padding every other
    // row to it would make each line of the table as long.
    static constexpr std::size_t kWidestColumn = 1024;

    void Flush() {
        started_ = true;
        widths_.assign(columns_.size(), 0);
        numeric_.assign(columns_.size(), !pending_.empty());
        for (std::size_t i = 0; i < columns_.size(); ++i) widths_[i] = DisplayWidth(columns_[i]);
        for (const Row& row : pending_) {
            for (std::size_t i = 0; i < row.size() && i < columns_.size(); ++i) {
                widths_[i] = std::max(widths_[i], std::min(DisplayWidth(row[i].text), kWidestColumn));
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
        pending_.shrink_to_fit();
        pendingBytes_ = 0;
    }

    void Print(const Row& row) {
        std::string line;
        for (std::size_t i = 0; i < row.size() && i < columns_.size(); ++i)
            Pad(line, row[i].text, widths_[i], numeric_[i], i + 1 == row.size());
        out_ << TrimRight(line) << '\n';
    }

    static void Pad(std::string& line, const std::string& text, std::size_t width, bool right, bool last) {
        if (!line.empty()) line += "  ";
        const std::size_t shown = DisplayWidth(text);
        const std::size_t fill = width > shown ? width - shown : 0;
        if (right) line.append(fill, ' ');
        line += text;
        if (!right && !last) line.append(fill, ' ');
    }

    std::ostream& out_;
    std::vector<std::string> columns_;
    std::vector<Row> pending_;
    std::size_t pendingBytes_ = 0;
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

// JSON objects keyed by column name, written as the rows come so that a large
// file streams through: one array (json) or one object a line (jsonl).
class JsonWriter final : public RowWriter {
public:
    JsonWriter(std::ostream& out, bool lines) : out_(out), lines_(lines) {}

    void Begin(const std::vector<std::string>& columns) override {
        keys_.clear();
        bool altered = false;
        for (const std::string& name : columns) keys_.push_back(JsonDump(nlohmann::json(name), -1, altered));
        if (!lines_) out_ << '[';
    }

    void Add(const Row& row) override {
        std::string object = lines_ ? "{" : first_ ? "\n  {" : ",\n  {";
        first_ = false;
        for (std::size_t i = 0; i < row.size() && i < keys_.size(); ++i) {
            if (i > 0) object += ", ";
            object += keys_[i] + ": " + JsonValue(row[i], nonUtf8_);
        }
        object += lines_ ? "}\n" : "}";
        out_ << object;
    }

    void End() override {
        if (!lines_) out_ << (first_ ? "]\n" : "\n]\n");
        out_.flush();
    }

private:
    std::ostream& out_;
    bool lines_;
    std::vector<std::string> keys_;
    bool first_ = true;
};

}  // namespace

Format ParseFormat(const std::string& name) {
    if (name == "table" || name == "text") return Format::Table;
    if (name == "csv") return Format::Csv;
    if (name == "json") return Format::Json;
    if (name == "jsonl") return Format::Jsonl;
    return Format::Auto;
}

Format ResolveFormat(Format format, const Console& console) {
    if (format != Format::Auto) return format;
    return console.outIsTerminal ? Format::Table : Format::Csv;
}

std::unique_ptr<RowWriter> MakeRowWriter(Format format, std::ostream& out) {
    switch (format) {
        case Format::Json:
        case Format::Jsonl:
            return std::make_unique<JsonWriter>(out, format == Format::Jsonl);
        case Format::Csv:
            return std::make_unique<CsvWriter>(out);
        case Format::Auto:
        case Format::Table:
            break;
    }
    return std::make_unique<TableWriter>(out);
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
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
    for (std::size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const std::size_t length = DecodeUtf8(text, at, code);
        if (length == 0 || code < 0x20 || code == 0x7F) {
            shown += fmt::format("\\x{:02X}", static_cast<unsigned char>(text[at]));
            ++at;
        } else if (IsActedOn(code)) {
            shown += fmt::format("\\u{{{:04X}}}", code);
            at += length;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

std::size_t DisplayWidth(std::string_view printable) {
    std::size_t width = 0;
    for (std::size_t at = 0; at < printable.size();) {
        uint32_t code = 0;
        const std::size_t length = DecodeUtf8(printable, at, code);
        if (length == 0) {
            ++width, ++at;
            continue;
        }
        at += length;
        width += IsZeroWidth(code) ? 0 : IsWide(code) ? 2 : 1;
    }
    return width;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        uint32_t code = 0;
        const std::size_t length = DecodeUtf8(text, at, code);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string JsonDump(const nlohmann::json& value, int indent, bool& altered) {
    try {
        return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error&) {
        altered = true;
        return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

std::string JsonValue(const Cell& cell, std::size_t& nonUtf8) {
    const std::string& t = cell.text;
    if (cell.number) {
        if (t.empty()) return "null";
        if (IsJsonNumber(t)) return t;
    }
    if (!IsUtf8(t)) {
        ++nonUtf8;
        return "{\"base64\": \"" + Base64(t) + "\"}";
    }
    bool altered = false;
    return JsonDump(nlohmann::json(t), -1, altered);
}

}  // namespace IdxTool
