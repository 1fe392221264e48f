#include "support/temp_host.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/posix/host/host.h"

namespace TestSupport {
namespace fs = std::filesystem;

namespace {
fs::path makeTempDir(const char* stem) {
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    return fs::path(pattern);
}
}  // namespace

TempHost::TempHost() : dir_(makeTempDir("tavrel-host-")) {
    if (const char* old = getenv("TAVREL_HOST")) {
        previous_ = old;
        hadPrevious_ = true;
    }
    setenv("TAVREL_HOST", dir_.c_str(), 1);
    Platform::Posix::ensureHost();
}

TempHost::~TempHost() {
    if (hadPrevious_) {
        setenv("TAVREL_HOST", previous_.c_str(), 1);
    } else {
        unsetenv("TAVREL_HOST");
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

std::string TempHost::read(const fs::path& relative) const {
    return readFile(dir_ / relative);
}

TempDir::TempDir() : path_(makeTempDir("tavrel-test-")) {}
TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace TestSupport
