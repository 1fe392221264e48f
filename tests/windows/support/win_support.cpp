#include "windows/support/win_support.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <stdexcept>
#include <thread>

#include "platform/text.h"
#include "platform/unique.h"

namespace TestSupport {
namespace {

void removeTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data{};
    Platform::UniqueFindHandle find(::FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = dir + L"\\" + name;
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find.get(), &data));
    }
    find.reset();
    ::RemoveDirectoryW(dir.c_str());
}

// Reads a pipe to its end on a thread of its own, so that neither pipe fills up.
std::thread drain(HANDLE pipe, std::string& into) {
    return std::thread([pipe, &into] {
        char buffer[4096];
        DWORD n = 0;
        while (::ReadFile(pipe, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
            into.append(buffer, n);
        }
    });
}

}  // namespace

ScratchDir::ScratchDir() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    GUID guid{};
    ::CoCreateGuid(&guid);
    wchar_t name[64] = {};
    ::StringFromGUID2(guid, name, 64);
    path_ = std::wstring(temp) + L"tavrel-test-" + std::wstring(name + 1, 36);
    if (!::CreateDirectoryW(path_.c_str(), nullptr)) {
        throw std::runtime_error("cannot create the scratch directory");
    }
}

ScratchDir::~ScratchDir() {
    removeTree(L"\\\\?\\" + path_);  // the prefix reaches the deep trees of the tests too
}

std::wstring binDir() {
    wchar_t module[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path = module;
    return path.substr(0, path.find_last_of(L'\\'));
}

ProgramResult runProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                         const std::wstring& workDir) {
    std::wstring exe = binDir() + L"\\" + program;
    std::wstring line = Platform::quoteCommandLineArgument(exe);
    for (const auto& arg : args) {
        line += L" " + Platform::quoteCommandLineArgument(arg);
    }
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    ::CreatePipe(&outRead, &outWrite, &inherit, 0);
    ::CreatePipe(&errRead, &errWrite, &inherit, 0);
    Platform::UniqueHandle outReader(outRead), outWriter(outWrite), errReader(errRead),
        errWriter(errWrite);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          workDir.empty() ? nullptr : workDir.c_str(), &startup, &info)) {
        throw std::runtime_error("cannot start a program of the build");
    }
    Platform::UniqueHandle process(info.hProcess), thread(info.hThread);
    outWriter.reset();
    errWriter.reset();
    ProgramResult result;
    std::thread outDrain = drain(outRead, result.out);
    std::thread errDrain = drain(errRead, result.err);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    outDrain.join();
    errDrain.join();
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    result.exitCode = code;
    return result;
}

bool fileSystemKeepsDacls() {
    static const bool kept = [] {
        ScratchDir dir;
        std::wstring file = dir / L"probe";
        writeBytes(file, "");
        // A protected DACL with a single ACE that no default gives: read for Guests.
        PSECURITY_DESCRIPTOR written = nullptr;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FR;;;BG)",
                                                                    SDDL_REVISION_1, &written,
                                                                    nullptr)) {
            return false;
        }
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        ::GetSecurityDescriptorDacl(written, &present, &dacl, &defaulted);
        DWORD set = ::SetNamedSecurityInfoW(file.data(), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION |
                                                PROTECTED_DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, dacl, nullptr);
        ::LocalFree(written);
        PSECURITY_DESCRIPTOR read = nullptr;
        if (set != ERROR_SUCCESS ||
            ::GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr,
                                    &read) != ERROR_SUCCESS) {
            return false;
        }
        LPWSTR sddl = nullptr;
        bool same = ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                        read, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr) &&
                    std::wstring(sddl) == L"D:P(A;;FR;;;BG)";
        ::LocalFree(sddl);
        ::LocalFree(read);
        return same;
    }();
    return kept;
}

namespace {

// The panel's configuration key, which lives in the 32-bit view of SOFTWARE.
Platform::UniqueRegKey configKey() {
    HKEY key = nullptr;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarno\\Zel Config\\Config", 0, nullptr, 0,
                      KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
    return Platform::UniqueRegKey(key);
}

}  // namespace

ConfigValue::ConfigValue(const std::wstring& name, const std::wstring& value) : name_(name) {
    if (::RegSetValueExW(static_cast<HKEY>(configKey().get()), name.c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot set a configuration value");
    }
}

ConfigValue::~ConfigValue() {
    ::RegDeleteValueW(static_cast<HKEY>(configKey().get()), name_.c_str());
}

bool hostIsWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string readBytes(const std::wstring& path) {
    Platform::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD n = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        bytes.append(buffer, n);
    }
    return bytes;
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    Platform::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_ALWAYS, 0, nullptr));
    DWORD n = 0;
    if (!file || !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n,
                              nullptr)) {
        throw std::runtime_error("cannot write a test file");
    }
}

}  // namespace TestSupport
