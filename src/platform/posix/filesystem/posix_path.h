// Lexical operations on POSIX paths that the host's calls share. POSIX only.
#pragma once

#include <string>

namespace Platform::Posix {

// The directory that holds `path`, as dirname(1) says it: "/" for "/x", "." for a name
// without a slash, which is relative to the current directory.
inline std::string parentOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// `name` in the directory `dir`.
inline std::string joinPosix(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace Platform::Posix
