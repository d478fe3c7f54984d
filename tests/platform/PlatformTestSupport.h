#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace I2::Testing {

// A fresh directory under /tmp for one test, removed with its contents at the
// end. Named mutexes created during the test use its private "locks"
// subdirectory, so tests running at the same time never share a lock file.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/idxreports-platform-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
            return;
        }
        path_ = pattern;
        ::mkdir(File("locks").c_str(), 0700);
        ::setenv("IDXREPORTS_LOCK_DIR", File("locks").c_str(), 1);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWhole(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

}  // namespace I2::Testing
