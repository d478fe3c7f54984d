#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <platform/Export.h>

// Debug logging. The level is process-wide: it starts at -1 (nothing but misuse
// warnings is written) unless the environment variable IDXREPORTS_DEBUG_LEVEL
// holds an integer when the level is first asked for. Lines go to stderr unless
// a sink is installed. Safe to use from several threads.
class IDXREPORTS_API EvDebug {
public:
    using Sink = std::function<void(const std::string& tag, const std::string& line)>;

    EvDebug() = default;

    int getDebugLevel() const;
    // Formats and writes one line under `tag`. Callers check the level first, so
    // that nothing is formatted when the line would not be written.
    void Debug(const char* tag, const char* format, ...) const IDXREPORTS_PRINTF(3, 4);

    static void SetDebugLevel(int level);
    // An empty function restores the default sink (stderr).
    static void SetDebugSink(Sink sink);
};

namespace I2::Utils {

// The logger that reports and file handlers own: an EvDebug with no file of its own.
class IDXREPORTS_API DbgLogger : public EvDebug {
public:
    DbgLogger() = default;

private:
    uint32_t enabled_ = 1;
};

}  // namespace I2::Utils
