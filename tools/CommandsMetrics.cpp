#include "Commands.h"

#include <cstddef>
#include <random>
#include <string>

#include <fmt/format.h>

#include <platform/QiDirectoryHandle.h>
#include <platform/QiFileSystem.h>

#include "Console.h"
#include "Metrics.h"

namespace IdxTool {
namespace {

constexpr const char* kTextfileName = "idxreports.prom";

// Replaces DIR/idxreports.prom with `text` the way the textfile collector needs:
// it reads the file at any moment, so it must see the old file or the new one,
// never a part. Everything happens by the descriptor of DIR, opened once, so a
// name in DIR swapped for a link meanwhile is never followed and the file lands
// in the directory that was checked. The new file starts without a name where
// the file system allows (a crash leaves nothing), gets a hidden name that does
// not end in ".prom" (the collector reads only those) once it is synced, and is
// renamed over the old one. It is made readable by all: the exporter runs as
// another user, and cron's or systemd's umask must not hide the file from it.
CQiError WriteTextfile(const std::string& directory, const std::string& text) {
    CQiDirectoryHandle dir;
    CQiError error = dir.Open(directory);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    CQiFileAttributes attributes;
    attributes.mode = 0644;
    CQiFile file;
    std::string tempName;
    error = dir.CreateTemporary(kTextfileName, attributes, file, tempName);
    if (error.IsError()) return error.Push(FX_CODE_LOCATION);
    std::size_t written = 0;
    error = file.Write(text.data(), text.size(), written);
    if (!error.IsError()) error = file.Sync();
    std::string hidden;
    if (!error.IsError()) {
        // Named now, not at creation, so only a crash in the next few calls
        // can leave it; the random part keeps two runs from meeting.
        std::random_device random;
        hidden = fmt::format(".{}.{:08x}{:08x}.tmp", kTextfileName, random(), random());
        error = dir.LinkTemporary(file, tempName, hidden);
        if (error.IsError()) hidden.clear();
        tempName.clear();
    }
    if (!error.IsError()) error = file.Close();
    if (!error.IsError()) error = dir.Rename(hidden, kTextfileName);
    if (!error.IsError()) return dir.Sync().Push(FX_CODE_LOCATION);
    // The error that matters is the one above.
    if (!hidden.empty()) dir.Unlink(hidden, true);
    if (!tempName.empty()) dir.Unlink(tempName, true);
    return error.Push(FX_CODE_LOCATION);
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
