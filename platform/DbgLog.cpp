#include <platform/DbgLog.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <platform/QiError.h>

namespace {

constexpr int kDefaultLevel = -1;

std::atomic<int>& Level() {
    static std::atomic<int> level{kDefaultLevel};
    return level;
}

// IDXREPORTS_DEBUG_LEVEL is read once, on first use of the level, so a level set
// by SetDebugLevel is never overwritten by a later first read.
// The level is asked for once per line read, so the common case (read already)
// is one load: std::call_once itself goes through thread-local state every time.
void ReadEnvironmentOnce() {
    static std::atomic<bool> done{false};
    if (done.load(std::memory_order_acquire)) return;
    static std::once_flag once;
    std::call_once(once, [] {
        const char* text = std::getenv("IDXREPORTS_DEBUG_LEVEL");
        if (text == nullptr || *text == '\0') return;
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text, &end, 10);
        if (errno != 0 || *end != '\0' || value < -1 || value > 1000) return;
        Level().store(static_cast<int>(value), std::memory_order_relaxed);
    });
    done.store(true, std::memory_order_release);
}

// Guards the sink and serialises every write through it, so lines of different
// threads never interleave.
struct SinkState {
    std::mutex mutex;
    EvDebug::Sink sink;
};

// Never destroyed, so that destructors of static objects can still log.
SinkState& SharedSink() {
    static SinkState* const state = new SinkState;
    return *state;
}

void WriteToStderr(const std::string& tag, const std::string& line) {
    std::string text;
    text.reserve(tag.size() + line.size() + 3);
    if (!tag.empty()) {
        text += tag;
        text += ": ";
    }
    text += line;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

int EvDebug::getDebugLevel() const {
    ReadEnvironmentOnce();
    return Level().load(std::memory_order_relaxed);
}

void EvDebug::SetDebugLevel(int level) {
    ReadEnvironmentOnce();
    Level().store(level, std::memory_order_relaxed);
}

void EvDebug::SetDebugSink(Sink sink) {
    SinkState& state = SharedSink();
    std::lock_guard<std::mutex> guard(state.mutex);
    state.sink = std::move(sink);
}

void EvDebug::Debug(const char* tag, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    const std::string line = FXString::FormatV(format, args);
    va_end(args);
    // A debug line must never take the caller down: allocation failures and
    // exceptions from an installed sink end here.
    try {
        const std::string tagText = tag ? tag : "";
        SinkState& state = SharedSink();
        std::lock_guard<std::mutex> guard(state.mutex);
        if (state.sink) {
            state.sink(tagText, line);
        } else {
            WriteToStderr(tagText, line);
        }
    } catch (...) {
    }
}
