#include "Commands.h"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "Console.h"
#include "Input.h"
#include "Output.h"
#include "ReportFile.h"

namespace IdxTool {
namespace {

// --tail over standard input, which cannot be read twice, holds its rows; past
// this many bytes of them it gives up rather than grow without bound.
constexpr std::size_t kTailBytes = 64u << 20;
// Seconds of 9999-12-31T23:59:59Z: later (or before year 1) a time is shown
// as its number.
constexpr long kLastShownTime = 253402300799L;
constexpr long kFirstShownTime = -62135596800L;

// What one file contributes: the columns shown and where they are in a line.
struct Selection {
    std::vector<std::string> names;
    std::vector<std::size_t> positions;
    std::vector<std::pair<std::size_t, std::string>> where;
    std::size_t timeColumn = ReportKind::kNoColumn;
};

std::string TimeText(const std::string& seconds) {
    long value = 0;
    if (!IsNumberOf(ColumnType::Long, seconds, nullptr)) return seconds;
    value = std::stol(seconds);
    if (value > kLastShownTime || value < kFirstShownTime) return seconds;
    return fmt::format("{:%Y-%m-%d %H:%M:%S}", fmt::gmtime(static_cast<std::time_t>(value)));
}

// Fails with the message printed when an option names what the file lacks.
bool Select(const Console& console, const ShowOptions& options, const ReportFile& file, Selection& selection) {
    const ReportKind& kind = *file.Kind();
    const std::vector<std::string>& header = file.Header();
    auto find = [&](const std::string& name, std::size_t& at) {
        for (at = 0; at < header.size(); ++at) {
            if (header[at] == name) return true;
        }
        console.Fail(fmt::format("{}: no column \"{}\" in this {} file (see idxreport help show)", file.Path(),
                                 Printable(name), kind.Name()));
        return false;
    };
    std::size_t at = 0;
    if (options.columns.empty()) {
        for (at = 0; at < header.size(); ++at) selection.positions.push_back(at);
    }
    for (const std::string& name : options.columns) {
        if (!find(name, at)) return false;
        selection.positions.push_back(at);
    }
    for (std::size_t i : selection.positions) selection.names.push_back(header[i]);
    for (const auto& [name, value] : options.where) {
        if (!find(name, at)) return false;
        selection.where.emplace_back(at, value);
    }
    if (options.since || options.until) {
        selection.timeColumn = kind.RecordTimeColumn();
        if (selection.timeColumn == ReportKind::kNoColumn || selection.timeColumn >= header.size()) {
            console.Fail(fmt::format("{}: {} records carry no time; --since and --until do not apply",
                                     file.Path(), kind.Name()));
            return false;
        }
    }
    return true;
}

bool Matches(const ShowOptions& options, const Selection& selection, const Row& row) {
    for (const auto& [column, value] : selection.where) {
        if (row[column].text != value) return false;
    }
    if (selection.timeColumn != ReportKind::kNoColumn) {
        const std::string& text = row[selection.timeColumn].text;
        if (text.empty()) return false;
        const long time = std::stol(text);  // checked by ReadLine: a long
        if (options.since && time < *options.since) return false;
        if (options.until && time >= *options.until) return false;
    }
    return true;
}

// Walks the records of every file that pass the filters, in file order, and
// calls `onRow` with the selected columns; `onFile` first, once per file.
// Unreadable lines are counted; an unterminated tail is not yet a line.
class Walk {
public:
    Walk(const Console& console, const ShowOptions& options) : console_(console), options_(options) {}

    using FileFunction = std::function<bool(const ReportFile& file, const Selection& selection)>;
    using RowFunction = std::function<bool(const Row& row, const ReportKind& kind, const Selection& selection)>;

    // False when a file could not be read (the reason printed).
    bool Run(const FileFunction& onFile, const RowFunction& onRow) {
        for (const std::string& path : options_.files) {
            ReportFile file;
            CQiError error = file.Open(path);
            if (error.IsError()) return console_.Fail(path, error), false;
            const ReportKind* kind = file.Kind();
            if (kind == nullptr) return console_.Fail(path + ": " + file.KindProblem()), false;
            Selection selection;
            if (!Select(console_, options_, file, selection)) return false;
            if (!onFile(file, selection)) return false;
            const std::size_t fileColumns = file.Header().size();
            Row row;
            Row shown;
            std::string why;
            bool more = true;
            error = file.ForEachDataLine(console_, [&](const InputLine& line) {
                if (!line.terminated) return true;
                if (line.TooLong() || !kind->ReadLine(line.text, fileColumns, &row, why)) {
                    if (unreadable_++ == 0) firstUnreadable_ =
                        fmt::format("{} line {}", path == "-" ? "standard input" : Printable(path), line.number);
                    return true;
                }
                if (!Matches(options_, selection, row)) return true;
                shown.resize(selection.positions.size());
                for (std::size_t i = 0; i < shown.size(); ++i) shown[i] = std::move(row[selection.positions[i]]);
                more = onRow(shown, *kind, selection);
                return more;
            });
            if (error.IsError()) return console_.Fail(path, error), false;
            if (!more) break;
        }
        return true;
    }

    std::size_t Unreadable() const { return unreadable_; }
    const std::string& FirstUnreadable() const { return firstUnreadable_; }

private:
    const Console& console_;
    const ShowOptions& options_;
    std::size_t unreadable_ = 0;
    std::string firstUnreadable_;
};

}  // namespace

bool ParseTime(const std::string& text, long& seconds) {
    if (IsNumberOf(ColumnType::Long, text, nullptr)) {
        seconds = std::stol(text);
        return true;
    }
    // 2024-03-01, 2024-03-01T08:00, 2024-03-01T08:00:00 (a space for the T, a Z
    // at the end are taken too): always UTC.
    std::tm tm{};
    int consumed = 0;
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &consumed) != 3 ||
        consumed != 10)
        return false;
    if (t.size() > 10) {
        if (t[10] != 'T' && t[10] != ' ') return false;
        int more = 0;
        const int n = std::sscanf(t.c_str() + 11, "%2d:%2d%n:%2d%n", &tm.tm_hour, &tm.tm_min, &more, &tm.tm_sec,
                                  &more);
        if (n < 2 || static_cast<std::size_t>(11 + more) != t.size()) return false;
    }
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return false;
    const int year = tm.tm_year;
    const int month = tm.tm_mon;
    // Days since 1970-01-01 of a proleptic Gregorian date (civil-from-days inverse).
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = static_cast<long>(era) * 146097 + doe - 719468;
    seconds = days * 86400 + tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
    return true;
}

int Show(const Console& console, const ShowOptions& options) {
    const Format format = ResolveFormat(options.format, console);
    const bool table = format == Format::Table;
    std::unique_ptr<RowWriter> writer;
    std::vector<std::string> columns;  // of the writer begun last
    std::size_t nonUtf8 = 0;
    bool failed = false;
    auto finish = [&] {
        if (!writer) return;
        writer->End();
        nonUtf8 += writer->NonUtf8Fields();
        writer.reset();
    };
    // Files of one layout share one output; a file of other columns starts a
    // table of its own, and cannot join one CSV or JSON document.
    auto onFile = [&](const ReportFile& file, const Selection& selection) {
        if (writer && selection.names == columns) return true;
        if (writer && format != Format::Table && format != Format::Jsonl) {
            console.Fail(fmt::format("{}: other columns than the files before it; give --format jsonl or table to "
                                     "show files of different kinds together",
                                     file.Path()));
            failed = true;
            return false;
        }
        finish();
        if (table && options.files.size() > 1) console.out << (columns.empty() ? "" : "\n") << "== " << Printable(file.Path()) << '\n';
        columns = selection.names;
        writer = MakeRowWriter(format, console.out);
        writer->Begin(columns);
        return true;
    };
    // Tables show times as UTC date-times; csv and json keep the numbers.
    auto prepare = [&](Row row, const ReportKind& kind, const Selection& selection) {
        if (table) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                if (kind.IsTimeColumn(selection.positions[i]) && !row[i].text.empty())
                    row[i].text = TimeText(row[i].text);
            }
        }
        return row;
    };

    bool rereadable = true;
    for (const std::string& path : options.files) rereadable = rereadable && !NamesStandardInput(path);
    std::size_t skip = 0;  // with --tail: the records before the last N
    if (options.tail && rereadable) {
        // A first pass counts, so --tail holds nothing however long the file.
        std::size_t total = 0;
        Walk count(console, options);
        if (!count.Run([](const ReportFile&, const Selection&) { return true; },
                       [&](const Row&, const ReportKind&, const Selection&) { return ++total, true; }))
            return kExitFailed;
        skip = total > *options.tail ? total - *options.tail : 0;
    }

    Walk walk(console, options);
    std::size_t seen = 0;
    std::size_t shown = 0;
    std::deque<Row> held;
    std::size_t heldBytes = 0;
    const bool holdTail = options.tail && !rereadable;
    bool tooMuch = false;
    const bool ok = walk.Run(onFile, [&](const Row& row, const ReportKind& kind, const Selection& selection) {
        if (options.head && shown >= *options.head) return false;
        if (holdTail) {
            if (*options.tail == 0) return true;
            // What a held row costs, its cells' bookkeeping included.
            const auto cost = [](const Row& r) {
                std::size_t bytes = sizeof(Row);
                for (const Cell& cell : r) bytes += sizeof(Cell) + sizeof(std::string) * 2 + cell.text.size();
                return bytes;
            };
            if (held.size() == *options.tail) {
                heldBytes -= cost(held.front());
                held.pop_front();
            }
            held.push_back(prepare(row, kind, selection));
            heldBytes += cost(held.back());  // the prepared row: what is taken off again
            if (heldBytes > kTailBytes) {
                held.clear();  // not the tail: nothing of it is shown
                return tooMuch = true, false;
            }
            return true;
        }
        if (options.tail && seen++ < skip) return true;
        if (options.tail && shown >= *options.tail) return false;
        writer->Add(prepare(row, kind, selection));
        ++shown;
        return !options.head || shown < *options.head;
    });
    for (const Row& row : held) writer->Add(row);
    finish();
    if (!ok || failed) return kExitFailed;
    if (tooMuch)
        return console.Fail(fmt::format("--tail {} of standard input would hold more than {} MiB; give the file "
                                        "instead of -",
                                        *options.tail, kTailBytes >> 20));
    int status = kExitOk;
    if (walk.Unreadable() > 0) {
        status = console.Fail(fmt::format("skipped {} (the first is {}); see idxreport check",
                                          Plural(walk.Unreadable(), "unreadable line", "unreadable lines"),
                                          walk.FirstUnreadable()));
    }
    if (nonUtf8 > 0)
        console.err << fmt::format("idxreport: note: {} not UTF-8; JSON gives each as {{\"base64\": \"...\"}}\n",
                                   Plural(nonUtf8, "text field is", "text fields are"));
    return status;
}

}  // namespace IdxTool
