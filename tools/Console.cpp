#include "Console.h"

#include <fmt/format.h>

namespace IdxTool {

namespace {

std::string MessageOf(const CQiError& error) {
    const std::string message = error.GetMessage();
    return message.empty() ? fmt::format("error {}", error.GetErrNo()) : message;
}

void WriteTrace(std::ostream& err, const CQiError& error) {
    for (const FXCodeLocation& location : error.GetTrace())
        err << fmt::format("    at {}:{} {}\n", location.file, location.line, location.function);
}

}  // namespace

int Console::Fail(const std::string& context, const CQiError& error) const {
    // A re-coded failure says what went wrong in the caller's terms ("cannot
    // take the lock"); its cause says why (a full disk, a permission), and
    // the user needs both to act.
    std::string message = MessageOf(error);
    for (CQiError cause = error.GetCause(); cause.IsError(); cause = cause.GetCause())
        message += "; caused by: " + MessageOf(cause);
    Fail(context.empty() ? message : context + ": " + message);
    if (verbose) {
        WriteTrace(err, error);
        for (CQiError cause = error.GetCause(); cause.IsError(); cause = cause.GetCause()) {
            err << "  caused by: " << MessageOf(cause) << '\n';
            WriteTrace(err, cause);
        }
        err.flush();
    }
    return kExitFailed;
}

int Console::Fail(const std::string& message) const {
    err << "idxreport: " << message << '\n';
    err.flush();
    return kExitFailed;
}

Progress::Progress(const Console& console, std::string label, uint64_t totalBytes)
    : err_(console.err),
      label_(std::move(label)),
      total_(totalBytes),
      enabled_(console.errIsTerminal && totalBytes >= kMinimumBytes) {}

Progress::~Progress() {
    if (enabled_ && shownPercent_ >= 0) err_ << "\r\033[K" << std::flush;
}

void Progress::Advance(uint64_t bytes) {
    if (!enabled_) return;
    done_ += bytes;
    int percent = static_cast<int>(done_ >= total_ ? 100 : done_ * 100 / total_);
    if (percent == shownPercent_) return;
    shownPercent_ = percent;
    err_ << fmt::format("\ridxreport: {} {:3d}%", label_, percent) << std::flush;
}

}  // namespace IdxTool
