#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <platform/Export.h>

// Where an error was raised or passed through.
struct IDXREPORTS_API FXCodeLocation {
    std::string file;      // relative to the library root: "ReportFileHandler.cpp", "Reports/JobStatsReport.cpp"
    std::string function;  // the compiler's full signature
    int line = 0;
};

namespace I2::Utils::detail {
// "/src/IdxReports/Reports/JobStatsReport.cpp" -> "Reports/JobStatsReport.cpp";
// a path without an "IdxReports/" component is kept from its last "/platform/" on,
// or whole. Evaluated at compile time for __FILE__.
constexpr const char* RelativeSourceFile(const char* path) {
    const char* result = path;
    const char marker[] = "IdxReports/";
    const char platformMarker[] = "/platform/";
    bool found = false;
    for (const char* p = path; *p; ++p) {
        std::size_t i = 0;
        while (marker[i] && p[i] == marker[i]) ++i;
        if (!marker[i]) {
            result = p + i;
            found = true;
        }
    }
    if (!found) {
        for (const char* p = path; *p; ++p) {
            std::size_t i = 0;
            while (platformMarker[i] && p[i] == platformMarker[i]) ++i;
            if (!platformMarker[i]) result = p + 1;
        }
    }
    return result;
}
}  // namespace I2::Utils::detail

// "This code location": every error site and every Push uses it, so traces read
// the same everywhere.
#define FX_CODE_LOCATION \
    (::FXCodeLocation{::I2::Utils::detail::RelativeSourceFile(__FILE__), __PRETTY_FUNCTION__, __LINE__})

// The outcome of an operation. Success is a code of 0 and no detail, so it costs
// no allocation; a failure shares one detail (message and trace) between copies,
// so a Push through one copy shows in all of them.
class IDXREPORTS_API CQiError {
public:
    CQiError() noexcept = default;

    static CQiError Success() noexcept { return CQiError(); }

    bool IsError() const noexcept { return code_ < 0; }
    // 0 on success; the negated library code (-22, -2, -150, -1001) on failure.
    int32_t GetCode() const noexcept { return code_; }
    // The positive library code given to ErrorErrNo; 0 on success.
    int GetErrNo() const noexcept { return -code_; }
    // The operating system's errno behind the failure, when there was one; else 0.
    int GetSystemErrNo() const noexcept;
    std::string GetMessage() const;
    // Creation site first, then every pushed location in order. Empty on success.
    const std::vector<FXCodeLocation>& GetTrace() const noexcept;
    // The failure this one was re-coded from (see FXErrorUtil::Recode), or a
    // success when it has none.
    CQiError GetCause() const;
    // The message followed by the trace, one location per line, then the same
    // for each cause: "Failed to flush to report\n  at ...\ncaused by: No space
    // left on device\n  at ..."; for logs and tools.
    std::string Describe() const;

    // Appends a location to the trace. Pushing onto a success does nothing:
    // there is no failure to trace. Returns this error, so that passing a
    // result up is one statement: `return err.Push(FX_CODE_LOCATION);`.
    CQiError& Push(const FXCodeLocation& location);

private:
    friend class FXErrorUtil;
    struct Detail;
    CQiError(int32_t code, std::shared_ptr<Detail> detail) noexcept;

    int32_t code_ = 0;
    std::shared_ptr<Detail> detail_;
};

class IDXREPORTS_API FXErrorUtil {
public:
    // A failed CQiError with `code` (22, 2, 150 or 1001) and a printf-style message,
    // created at `location`.
    static CQiError ErrorErrNo(const FXCodeLocation& location, int code, const char* format, ...)
        IDXREPORTS_PRINTF(3, 4);
    // Same, remembering the system errno that caused it (reported by GetSystemErrNo).
    static CQiError ErrorSysErrNo(const FXCodeLocation& location, int code, int systemErrno,
                                  const char* format, ...) IDXREPORTS_PRINTF(4, 5);
    // A new failure with `code` and message at `location` that stands for
    // `cause`: it keeps the cause's system errno and the cause itself (message
    // and trace, see GetCause and Describe), so a caller that re-codes a
    // failure into its own terms still shows why. A success as `cause` gives a
    // failure without one.
    static CQiError Recode(const FXCodeLocation& location, int code, const CQiError& cause,
                           const char* format, ...) IDXREPORTS_PRINTF(4, 5);

    // For a catch (...) handler: the exception being handled as a failure at
    // `location`, so that none crosses the library's boundary. The message is
    // the printf-style context followed by what went wrong: out of memory is
    // code 150 ("Loading [r.csv]: out of memory"), any other exception code 22
    // with its what() text. Outside a handler it is code 22 as well.
    static CQiError FromCurrentException(const FXCodeLocation& location, const char* format, ...) noexcept
        IDXREPORTS_PRINTF(2, 3);

private:
    static CQiError Make(const FXCodeLocation& location, int code, int systemErrno,
                         const CQiError& cause, const char* format, va_list args);
};

class IDXREPORTS_API FXString {
public:
    // Any length. Never throws: out of memory yields an empty text.
    static std::string Format(const char* format, ...) IDXREPORTS_PRINTF(1, 2);
    static std::string FormatV(const char* format, va_list args) noexcept;
};
