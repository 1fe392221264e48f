// Support of the Windows-only suites: a scratch directory on the real file system, the
// programs of the build run as child processes, and the probe that tells whether the file
// system keeps DACLs (NTFS does; Wine keeps only mode bits).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

// A fresh directory under the temporary directory, removed with its content afterwards.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // The directory's full Windows path, without a trailing backslash.
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

struct ProgramResult {
    std::uint32_t exitCode = 0;
    std::string out;
    std::string err;
};

// The directory of the test program, where the build puts its programs too.
std::wstring binDir();

// Runs `program` (a name in binDir()) with `args` quoted as CommandLineToArgvW reads them,
// in `workDir` when given, and collects what it printed.
ProgramResult runProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                         const std::wstring& workDir = L"");

// Whether the file system behind the temporary directory keeps an explicit DACL as written.
bool fileSystemKeepsDacls();

// A string value of the panel's configuration key (HKLM, 32-bit view) for the time of a
// test, removed afterwards.
class ConfigValue {
public:
    ConfigValue(const std::wstring& name, const std::wstring& value);
    ~ConfigValue();
    ConfigValue(const ConfigValue&) = delete;
    ConfigValue& operator=(const ConfigValue&) = delete;

private:
    std::wstring name_;
};

// Whether the program runs under Wine rather than Windows (ntdll exports wine_get_version),
// for the cases where Wine is known to differ from Windows.
bool hostIsWine();

// Whole-file helpers on Windows paths.
std::string readBytes(const std::wstring& path);
void writeBytes(const std::wstring& path, const std::string& bytes);

}  // namespace TestSupport

// Skips a test that needs NTFS security (under Wine, for one).
#define SKIP_WITHOUT_DACLS()                                                        \
    do {                                                                            \
        if (!::TestSupport::fileSystemKeepsDacls()) {                               \
            GTEST_SKIP() << "Windows-only: this file system does not keep DACLs";   \
        }                                                                           \
    } while (false)

// Skips a test whose behaviour Wine does not have, naming what is missing.
#define SKIP_UNDER_WINE(what)                                                       \
    do {                                                                            \
        if (::TestSupport::hostIsWine()) {                                          \
            GTEST_SKIP() << "Windows-only: " << what;                               \
        }                                                                           \
    } while (false)
