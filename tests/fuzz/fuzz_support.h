// What the fuzz targets share: a temporary emulated host for the targets that read files
// through the platform seam, made once per process and removed at its end.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace FuzzSupport {

class Host {
public:
    static Host& instance() {
        static Host host;
        return host;
    }
    const std::filesystem::path& driveC() const { return driveC_; }
    // Writes `bytes` to C:\<name> and returns its Windows path.
    std::wstring write(const std::string& name, const std::uint8_t* data, std::size_t size) {
        std::ofstream(driveC_ / name, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return L"C:\\" + std::wstring(name.begin(), name.end());
    }

private:
    Host() {
        char pattern[] = "/tmp/tavrel-fuzz-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        ::setenv("TAVREL_HOST", dir_.c_str(), 1);
        driveC_ = dir_ / "drive_c";
    }
    ~Host() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path dir_;
    std::filesystem::path driveC_;
};

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// A property of the code under test that failed: a crash libFuzzer reports with the input.
[[noreturn]] inline void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace FuzzSupport
