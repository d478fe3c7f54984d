#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include <platform/QiError.h>

namespace IdxTool {

enum ExitCode : int {
    kExitOk = 0,        // done; a check found every file sound
    kExitFailed = 1,    // an operation failed, a check found problems, or lines were skipped
    kExitUsage = 2,     // the command line was wrong; nothing was done
    kExitRepaired = 3,  // check --repair changed files, and every file is sound now
};

// Where a command writes, and what it knows about the terminal. Commands write
// results to `out` and nothing else unless asked; errors and progress go to
// `err`.
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool outIsTerminal = false;
    bool errIsTerminal = false;
    bool verbose = false;

    // Writes "idxreport: <message>" as one line, the messages of the error's
    // causes appended ("...; caused by: No space left on device"), and returns
    // kExitFailed. With `verbose` the line is followed by the error's trace, one
    // location per line, then each cause ("  caused by: ...") with its trace.
    int Fail(const std::string& context, const CQiError& error) const;
    int Fail(const std::string& message) const;
};

// A percentage on stderr while a large file is read. Shows only when stderr is a
// terminal and the work is large enough to be worth watching; the line is wiped
// when the work ends, so nothing is left behind in the output.
class Progress {
public:
    Progress(const Console& console, std::string label, uint64_t totalBytes);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Advance(uint64_t bytes);

    static constexpr uint64_t kMinimumBytes = 64ull << 20;

private:
    std::ostream& err_;
    std::string label_;
    uint64_t total_;
    uint64_t done_ = 0;
    int shownPercent_ = -1;
    bool enabled_;
};

}  // namespace IdxTool
