#include "Commands.h"

#include <cerrno>
#include <cstddef>
#include <random>
#include <string>

#include <fmt/format.h>

#include <platform/QiFileSystem.h>

#include "Console.h"
#include "Metrics.h"

namespace IdxTool {
namespace {

constexpr const char* kTextfileName = "idxreports.prom";

// Replaces DIR/idxreports.prom with `text` the way the textfile collector needs:
// it reads the file at any moment, so it must see the old file or the new one,
// never a part. The temporary is created exclusively in DIR itself (a rename
// does not cross file systems), its name does not end in ".prom" (the
// collector reads only those), it is synced before the rename, and it is made
// readable by all: the exporter runs as another user, and cron's or systemd's
// umask must not hide the file from it. A crash leaves at most the temporary,
// which the next run does not reuse; the published file stays whole.
CQiError WriteTextfile(const std::string& directory, const std::string& text) {
    const std::string target = CQiPath::Append(directory, kTextfileName);
    std::random_device random;
    CQiFile file;
    std::string temp;
    CQiError error;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = CQiPath::Append(directory, fmt::format(".{}.{:08x}{:08x}.tmp", kTextfileName, random(), random()));
        error = file.Open(temp, CQiFile::OpenWrite | CQiFile::OpenCreate | CQiFile::OpenExclusive | CQiFile::OpenNoFollow,
                          0644);
        if (!error.IsError() || error.GetSystemErrNo() != EEXIST) break;
    }
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    std::size_t written = 0;
    error = file.SetPermissions(0644);
    if (!error.IsError()) error = file.Write(text.data(), text.size(), written);
    if (!error.IsError()) error = file.Sync();
    if (!error.IsError()) error = file.Close();
    if (!error.IsError()) error = CQiFile::Rename(temp, target);
    if (error.IsError()) {
        CQiFile::Delete(temp, true);  // the error that matters is the one above
        return error.Push(FX_CODE_LOCATION);
    }
    return CQiError::Success();
}

}  // namespace

int Metrics(const Console& console, const MetricsOptions& options) {
    std::string text;
    const bool allRead = CollectMetrics(console, options.directories, text);
    if (options.textfileDirectory.empty()) {
        console.out << text << std::flush;
    } else {
        CQiError error = WriteTextfile(options.textfileDirectory, text);
        if (error.IsError()) return console.Fail(CQiPath::Append(options.textfileDirectory, kTextfileName), error);
    }
    return allRead ? kExitOk : kExitFailed;
}

}  // namespace IdxTool
