#include <platform/QiError.h>

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>

struct CQiError::Detail {
    std::string message;
    std::vector<FXCodeLocation> trace;
    int systemErrno = 0;
    CQiError cause;  // shared with the re-coded failure, not copied
};

namespace {

// Library codes are positive; a failure must carry a negative code whatever the
// caller passed, so a misused code can never turn into a success.
int32_t FailureCode(int code) {
    if (code > 0) return -code;
    if (code < 0 && code != INT32_MIN) return code;  // INT32_MIN could not be negated back
    return -22;
}

}  // namespace

CQiError::CQiError(int32_t code, std::shared_ptr<Detail> detail) noexcept
    : code_(code), detail_(std::move(detail)) {}

int CQiError::GetSystemErrNo() const noexcept { return detail_ ? detail_->systemErrno : 0; }

std::string CQiError::GetMessage() const { return detail_ ? detail_->message : std::string(); }

const std::vector<FXCodeLocation>& CQiError::GetTrace() const noexcept {
    if (detail_) return detail_->trace;
    // Built in static storage and never destroyed: no allocation even on the
    // first call, and errors held by static objects can still be read at exit.
    using Trace = std::vector<FXCodeLocation>;
    alignas(Trace) static unsigned char storage[sizeof(Trace)];
    static const Trace* const kEmpty = new (storage) Trace();
    return *kEmpty;
}

CQiError CQiError::GetCause() const { return detail_ ? detail_->cause : CQiError(); }

std::string CQiError::Describe() const {
    if (!IsError()) return "Success";
    std::string text;
    for (CQiError error = *this; error.IsError(); error = error.GetCause()) {
        if (!text.empty()) text += "\ncaused by: ";
        std::string message = error.GetMessage();
        text += message.empty() ? FXString::Format("Error %d", error.GetErrNo()) : message;
        for (const FXCodeLocation& at : error.GetTrace()) {
            text += FXString::Format("\n  at %s:%d (%s)", at.file.c_str(), at.line, at.function.c_str());
        }
    }
    return text;
}

CQiError& CQiError::Push(const FXCodeLocation& location) {
    if (!detail_) return *this;
    try {
        detail_->trace.push_back(location);
    } catch (const std::bad_alloc&) {
        // The failure itself still stands; only this trace line is lost.
    }
    return *this;
}

CQiError FXErrorUtil::Make(const FXCodeLocation& location, int code, int systemErrno,
                           const CQiError& cause, const char* format, va_list args) {
    const int32_t failure = FailureCode(code);
    // Out of memory while describing a failure still yields a failure, without
    // message or trace, rather than an exception or a false success.
    try {
        auto detail = std::make_shared<CQiError::Detail>();
        detail->message = FXString::FormatV(format, args);
        detail->trace.push_back(location);
        detail->systemErrno = systemErrno;
        if (cause.IsError()) detail->cause = cause;
        return CQiError(failure, std::move(detail));
    } catch (const std::bad_alloc&) {
        return CQiError(failure, nullptr);
    }
}

CQiError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CQiError error = Make(location, code, 0, CQiError(), format, args);
    va_end(args);
    return error;
}

CQiError FXErrorUtil::ErrorSysErrNo(const FXCodeLocation& location, int code, int systemErrno,
                                    const char* format, ...) {
    va_list args;
    va_start(args, format);
    CQiError error = Make(location, code, systemErrno, CQiError(), format, args);
    va_end(args);
    return error;
}

CQiError FXErrorUtil::Recode(const FXCodeLocation& location, int code, const CQiError& cause,
                             const char* format, ...) {
    va_list args;
    va_start(args, format);
    CQiError error = Make(location, code, cause.GetSystemErrNo(), cause, format, args);
    va_end(args);
    return error;
}

CQiError FXErrorUtil::FromCurrentException(const FXCodeLocation& location, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const std::string context = FXString::FormatV(format, args);
    va_end(args);
    // Classified by throwing it once more; the message is built while the
    // exception object is surely alive.
    try {
        if (!std::current_exception()) return ErrorErrNo(location, 22, "%s: no exception", context.c_str());
        std::rethrow_exception(std::current_exception());
    } catch (const std::bad_alloc&) {
        return ErrorErrNo(location, 150, "%s: out of memory", context.c_str());
    } catch (const std::exception& e) {
        return ErrorErrNo(location, 22, "%s: %s", context.c_str(), e.what());
    } catch (...) {
        return ErrorErrNo(location, 22, "%s: an exception of unknown type", context.c_str());
    }
}

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::string FXString::FormatV(const char* format, va_list args) noexcept {
    if (format == nullptr) return std::string();
    try {
        char small[256];
        va_list measure;
        va_copy(measure, args);
        const int needed = std::vsnprintf(small, sizeof small, format, measure);
        va_end(measure);
        if (needed < 0) return std::string();
        if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
        std::string text(static_cast<std::size_t>(needed), '\0');
        // vsnprintf also writes the terminating NUL, into text[needed], which the
        // string owns.
        std::vsnprintf(text.data(), text.size() + 1, format, args);
        return text;
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}
