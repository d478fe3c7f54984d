#include <platform/QiCanonicalPath.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

namespace I2::Utils {

namespace {

// "a//b/./c/" -> {"a", "b", "c"}: empty and "." components say nothing. ".."
// stays, because only the file system knows what it climbs out of.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// The resolved form of an existing path, or "" when it cannot be resolved.
std::string RealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

std::string WorkingDirectory() {
    const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    return cwd ? std::string(cwd.get()) : std::string();
}

// Appends `parts[from..]` to the resolved `base`. ".." drops base's last
// component: a resolved path holds no symlink, so its lexical parent is its real one.
std::string Append(std::string base, const std::vector<std::string>& parts, std::size_t from) {
    for (std::size_t i = from; i < parts.size(); ++i) {
        if (parts[i] == "..") {
            const std::size_t slash = base.find_last_of('/');
            base.erase(slash == 0 || slash == std::string::npos ? 1 : slash);
        } else {
            if (base.back() != '/') base += '/';
            base += parts[i];
        }
    }
    return base;
}

}  // namespace

std::string CanonicalPath(const std::string& path) {
    if (path.empty()) return path;
    std::string absolute = path;
    if (path.front() != '/') {
        const std::string cwd = WorkingDirectory();
        // No working directory (it was removed): "/" is as good a base as any,
        // and keeps the result absolute.
        absolute = (cwd.empty() ? std::string("/") : cwd) + "/" + path;
    }
    const std::vector<std::string> parts = Components(absolute);
    // The file's own name is never resolved; then each directory level in turn
    // is given up until one resolves. "/" always does.
    for (std::size_t kept = parts.empty() ? 0 : parts.size() - 1;; --kept) {
        std::string ancestor = "/";
        for (std::size_t i = 0; i < kept; ++i) ancestor += (i == 0 ? "" : "/") + parts[i];
        const std::string resolved = RealPath(ancestor);
        if (!resolved.empty()) return Append(resolved, parts, kept);
        if (kept == 0) return Append("/", parts, 0);
    }
}

std::string LockNameOfPath(const std::string& path) {
    std::string name = CanonicalPath(path);
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

// Joined as Append joins a resolved base and one more component.
std::string LockNameInDirectory(const std::string& directory, const std::string& name) {
    std::string lockName = Append(directory, {name}, 0);
    std::replace(lockName.begin(), lockName.end(), '/', '_');
    return lockName;
}

}  // namespace I2::Utils
