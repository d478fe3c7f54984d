#pragma once

#include <string>
#include <vector>

#include <platform/QiError.h>

// The few things the tool asks of the operating system directly: terminals,
// directories, and the side files that a repair writes (FILE.bad, FILE.tmp).
// Reading goes through InputStream (Input.h).
namespace IdxTool {

// A file that a repair writes, opened so that a hostile directory cannot turn
// the write elsewhere: never through a symbolic link, never waiting on a FIFO,
// only ever a regular file, and owned like the report (owner, group, and its
// permission bits without set-id bits) before the first byte is written.
class SideFile {
public:
    SideFile() = default;
    ~SideFile();
    SideFile(const SideFile&) = delete;
    SideFile& operator=(const SideFile&) = delete;

    // A new file at `path`; fails (code 17) when anything stands there.
    CQiError Create(const std::string& path, const std::string& report);
    // `path` opened for appending, created when missing.
    CQiError Append(const std::string& path, const std::string& report);
    CQiError Write(const std::string& bytes);
    // Makes the content durable and closes.
    CQiError SyncAndClose();

private:
    CQiError Open(const std::string& path, const std::string& report, bool exclusive);

    int fd_ = -1;
    std::string path_;
};

// What stands at `path` without following a link: "" when nothing does, else
// "a regular file", "a symbolic link", "a directory", "a FIFO", ...
std::string WhatIsAt(const std::string& path);

// Why `directory` cannot be listed or entered ("permission denied", "no such
// file", "not a directory"), or empty when it can.
std::string DirectoryProblem(const std::string& directory);

bool StdoutIsTerminal();
bool StderrIsTerminal();

// The directory for temporary files: $TMPDIR when set, else /tmp.
std::string TempDirectory();

// Creates a new, empty, private directory "<parent>/<prefix>XXXXXX" and sets `path`.
CQiError MakeFreshDirectory(const std::string& parent, const std::string& prefix, std::string& path);

// Regular files under `directory` at any depth, as paths relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string& directory);

// True when `path` is a directory with nothing in it.
bool IsEmptyDirectory(const std::string& path);

// `path` made absolute against the working directory and without "." and ".."
// steps, so that a relative argument locks under the same name as the writers'
// absolute path.
std::string AbsolutePath(const std::string& path);

}  // namespace IdxTool
