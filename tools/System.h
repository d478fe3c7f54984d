#pragma once

#include <string>
#include <vector>

#include <platform/QiError.h>

// The few things the tool asks of the operating system directly: terminals and
// directories. Reading goes through InputStream (Input.h); the side files a
// repair writes go through the library's directory handle.
namespace IdxTool {

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
