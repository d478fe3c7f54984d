#pragma once

// Internal to the library (not installed): what the records whose lines have a
// fixed number of columns share, the split that checks the column count and the
// line builder that quotes text fields.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <platform/QiError.h>
#include <IdxReports/ReportRecord.h>
#include <IdxReports/internal/ByteScan.h>
#include <IdxReports/internal/NumberScan.h>

namespace I2::detail {

// Sets `text` to the text of a field as SplitViews gave it. A field without
// quotes is copied into the string's existing storage, so parsing many lines
// into one scratch record does not allocate for the common case. When memory runs
// out here, FromString fails with the record's text fields partly updated.
inline void AssignText(std::string& text, std::string_view field) {
    if (field.find('"') == std::string_view::npos) {
        text.assign(field);
    } else {
        text = ReportRecord::UnquoteText(field);
    }
}

// The fields of a line that must have exactly `columns` fields, as views into the
// line with their quotes kept (Text removes them):
//   /d/f,"a,b",42 with 3 columns -> /d/f | "a,b" | 42;  the text of field 1 is a,b
//   /d/f,a,b,42   with 3 columns -> not Complete()
// The views live in a vector that belongs to the calling thread and is reused
// from line to line, so loading a file allocates nothing per line for the split.
// Only one FixedFields per thread may be alive at a time, and it must not outlive
// the line it was built from.
class FixedFields {
public:
    FixedFields(const ReportRecord& record, std::string_view line, std::size_t columns) : line(line) {
        std::vector<std::string_view>& scratch = Scratch();
        record.SplitViews(line, scratch);
        complete = scratch.size() == columns;
        // Held as a plain pointer: reached through the thread's vector, every
        // field would look the thread-local storage up again.
        fields = scratch.data();
    }
    FixedFields(const FixedFields&) = delete;
    FixedFields& operator=(const FixedFields&) = delete;

    bool Complete() const { return complete; }
    std::string_view operator[](std::size_t index) const { return fields[index]; }
    // The whole line, which holds every field.
    std::string_view Line() const { return line; }
    void Text(std::size_t index, std::string& text) const { AssignText(text, fields[index]); }
    // Numeric fields are never quoted; a field that does not convert reads as 0.
    template <typename T>
    T Number(std::size_t index) const {
        if constexpr (std::is_integral_v<T>) return internal::IntegerField<T>(fields[index], line, T{});
        return ReportRecord::StringToField<T>(fields[index], T{});
    }

private:
    static std::vector<std::string_view>& Scratch() {
        thread_local std::vector<std::string_view> scratch;
        return scratch;
    }

    std::string_view line;
    const std::string_view* fields = nullptr;
    bool complete = false;
};

// The failure of a record's FromString for a line with the wrong number of
// fields: code 22 "Invalid line can't be converted to <recordName>". The caller
// passes its own FX_CODE_LOCATION, built only on this path so that a load does
// not build a location per line.
inline CQiError InvalidLine(const FXCodeLocation& where, const char* recordName) {
    return FXErrorUtil::ErrorErrNo(where, 22, "Invalid line can't be converted to %s", recordName);
}

// Memory ran out inside an operation that reports through CQiError: nothing
// throws out of the library.
inline CQiError OutOfMemory(const FXCodeLocation& where) {
    return FXErrorUtil::ErrorErrNo(where, 150, "Out of memory");
}

// Builds a record with `set` and appends it through the report's AddRecord,
// whose error comes back as it is (the caller pushes its own location). Memory
// running out while the record is built or written is code 150, not a throw.
// `set` assigns every field: the record is one per thread, reused from call to
// call, so that its strings keep their storage and building it allocates nothing
// once texts of a size have been seen.
template <typename Record, typename ReportType, typename Setter>
CQiError AppendRecord(ReportType& report, Setter&& set) {
    try {
        thread_local Record record;
        set(record);
        return report.AddRecord(record);
    } catch (const std::bad_alloc&) {
        return OutOfMemory(FX_CODE_LOCATION);
    }
}

// One line built field by field, the record's separator between fields, a text
// quoted only when it needs it:
//   FixedLine(record, 32).Text("/d/f").Number(42L).Text("a,b").Take() -> /d/f,42,"a,b"
// Fields are written straight into a buffer that belongs to the calling thread
// and is kept from line to line (it grows when a line needs more than `reserve`),
// and Take() copies the line out once; View() lends it instead, until the next
// FixedLine. Each text is scanned once, for quoting and for line breaks both:
// BreaksLine() tells whether the line can stand in a report without a second
// look at its bytes. Only one FixedLine per thread may be in use at a time.
class FixedLine {
public:
    FixedLine(const ReportRecord& record, std::size_t reserve) : record(record), buffer(&Scratch()) {
        if (buffer->size() < reserve) buffer->resize(reserve);
        data = buffer->data();
        room = buffer->size();
    }
    // A buffer grown by an unusually long line is not kept for the thread's life.
    ~FixedLine() {
        if (room > KeptBuffer) std::string().swap(*buffer);
    }
    FixedLine(const FixedLine&) = delete;
    FixedLine& operator=(const FixedLine&) = delete;

    FixedLine& Text(std::string_view text) {
        char* out = Separate(Room(1 + 2 * text.size() + 2));
        const unsigned found = internal::ScanText(text, record.GetColumnSeparator());
        breaksLine = breaksLine || (found & internal::kBreaksLine) != 0;
        if (found & internal::kNeedsQuotes) {
            out = record.WriteText(out, text);  // scans again; quoting is rare
        } else if (!text.empty()) {
            std::memcpy(out, text.data(), text.size());
            out += text.size();
        }
        used = static_cast<std::size_t>(out - data);
        return *this;
    }
    template <typename T>
    FixedLine& Number(T value) {
        char* out = Separate(Room(1 + ReportRecord::MaxNumberLength));
        used = static_cast<std::size_t>(ReportRecord::WriteField<T>(out, value) - data);
        return *this;
    }
    std::string Take() const { return std::string(data, used); }
    std::string_view View() const { return std::string_view(data, used); }
    // A text held a line feed or NUL (numbers never do).
    bool BreaksLine() const { return breaksLine; }

    // Room for a number in decimal: 20 digits and a sign.
    static constexpr std::size_t NumberWidth = 21;

private:
    static constexpr std::size_t KeptBuffer = 64 * 1024;

    static std::string& Scratch() {
        thread_local std::string scratch;
        return scratch;
    }
    // Where the next field goes, with at least `need` bytes free after it.
    char* Room(std::size_t need) {
        if (room - used < need) {
            buffer->resize(std::max(2 * room, used + need));
            data = buffer->data();
            room = buffer->size();
        }
        return data + used;
    }
    char* Separate(char* out) {
        if (started) *out++ = record.GetColumnSeparator();
        started = true;
        return out;
    }

    const ReportRecord& record;
    std::string* buffer;
    char* data;
    std::size_t room;
    std::size_t used = 0;
    bool started = false;
    bool breaksLine = false;
};

// The same chain of fields as FixedLine, handed to a FieldVisitor one by one
// with their column names instead of being written into a line, so that a
// record states its field order once for both:
//   FieldWalk(visit, {"Path", "Size"}).Text("/d/f").Number(42ULL)
//     -> visit("Path", "/d/f", false), visit("Size", "42", true)
// `names` holds one name per column, in line order, and outlives the walk.
class FieldWalk {
public:
    FieldWalk(const ReportRecord::FieldVisitor& visit, const char* const* names) : visit(visit), names(names) {}
    FieldWalk(const FieldWalk&) = delete;
    FieldWalk& operator=(const FieldWalk&) = delete;

    FieldWalk& Text(std::string_view text) {
        visit(names[column++], text, false);
        return *this;
    }
    template <typename T>
    FieldWalk& Number(T value) {
        char buffer[ReportRecord::MaxNumberLength];
        const char* const end = ReportRecord::WriteField<T>(buffer, value);
        visit(names[column++], std::string_view(buffer, static_cast<std::size_t>(end - buffer)), true);
        return *this;
    }

private:
    const ReportRecord::FieldVisitor& visit;
    const char* const* names;
    std::size_t column = 0;
};

// A header as GetHeader returns it, from a record's table of column names.
template <std::size_t Count>
std::vector<std::string> HeaderOf(const char* const (&names)[Count]) {
    return std::vector<std::string>(names, names + Count);
}

}  // namespace I2::detail
