// What the benchmarks share: timing, peak RSS, the file system's own walk (the floor every
// figure is judged against) and the walk through the platform seam.
#pragma once

#include <dirent.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/filesystem.h"
#include "platform/unique.h"

namespace BenchWalks {

inline double seconds(const std::function<void()>& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Drive C: of the host that TAVREL_HOST names, completed; the process ends when it names none.
inline std::filesystem::path hostDriveC() {
    const char* host = std::getenv("TAVREL_HOST");
    if (!host) {
        std::fprintf(stderr, "TAVREL_HOST must name the host directory\n");
        std::exit(1);
    }
    Platform::getFileAttributes(L"C:\\");  // completes the host
    return std::filesystem::path(host) / "drive_c";
}

inline long peakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline void makeFile(const std::filesystem::path& path) {
    std::ofstream(path) << "<html></html>";
}

// The floor: readdir, and the visit of each object by its path.
inline void bareWalk(const std::string& dir, const std::function<void(const std::string&)>& visit) {
    visit(dir);
    DIR* handle = ::opendir(dir.c_str());
    if (!handle) {
        return;
    }
    while (dirent* entry = ::readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        std::string child = dir + "/" + entry->d_name;
        if (entry->d_type == DT_DIR) {
            bareWalk(child, visit);
        } else {
            visit(child);
        }
    }
    ::closedir(handle);
}

// The seam's directory search; `visit` sees every object with whether it is a directory.
inline void seamWalk(const std::wstring& dir,
                     const std::function<void(const std::wstring&, bool)>& visit) {
    visit(dir, true);
    Platform::FindData data;
    Platform::UniqueFindHandle find(Platform::findFirstFile(dir + L"\\*", data));
    for (bool more = static_cast<bool>(find); more;
         more = Platform::findNextFile(find.get(), data)) {
        if (data.fileName == L"." || data.fileName == L"..") {
            continue;
        }
        std::wstring child = dir + L"\\" + data.fileName;
        if (data.attributes & Platform::FileAttribute::Directory) {
            seamWalk(child, visit);
        } else {
            visit(child, false);
        }
    }
}

// The open the checker makes of each object.
inline Platform::UniqueHandle openForSecurity(const std::wstring& path, bool directory) {
    return Platform::UniqueHandle(Platform::createFile(
        path, Platform::File::ReadControl | Platform::File::WriteDac,
        Platform::File::ShareRead | Platform::File::ShareWrite, Platform::File::OpenExisting,
        directory ? Platform::File::FlagBackupSemantics | Platform::File::FlagOpenReparsePoint
                  : 0));
}

// The seam's walk that opens every object as the checker does and hands the handle on.
inline void seamWalkOpened(const std::wstring& dir,
                           const std::function<void(Platform::Handle)>& visit) {
    seamWalk(dir, [&](const std::wstring& path, bool directory) {
        if (Platform::UniqueHandle handle = openForSecurity(path, directory)) {
            visit(handle.get());
        }
    });
}

}  // namespace BenchWalks
