// A fresh emulated host in a temporary directory for one test, removed afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace TestSupport {

class TempHost {
public:
    // Creates a temporary directory, points TAVREL_HOST at it and completes the host there.
    TempHost();
    ~TempHost();
    TempHost(const TempHost&) = delete;
    TempHost& operator=(const TempHost&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // The POSIX directory of drive C:.
    std::filesystem::path driveC() const { return dir_ / "drive_c"; }
    // Reads a file of the host whole (empty if missing).
    std::string read(const std::filesystem::path& relative) const;

private:
    std::filesystem::path dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// A self-cleaning temporary directory.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

}  // namespace TestSupport
