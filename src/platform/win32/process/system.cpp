// Process, time, environment, messages and version on kernel32, shell32, rpcrt4 and ole32.
#include "platform/win32/host/win32.h"

#include "platform/system.h"

#include <objbase.h>
#include <rpc.h>
#include <shellapi.h>

#include <cstring>
#include <memory>

#include "platform/unique.h"

namespace Platform {
namespace {

// Writes all of `bytes` to a standard handle without any text-mode translation, so that the
// output is the same bytes on every backend.
void writeAll(DWORD which, const std::string& bytes) {
    HANDLE out = ::GetStdHandle(which);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!::WriteFile(out, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

}  // namespace

std::uint32_t getLastError() {
    return ::GetLastError();
}
void setLastError(std::uint32_t code) {
    ::SetLastError(code);
}

bool closeHandle(Handle handle) {
    return ::CloseHandle(handle) != FALSE;
}

bool initializeProcess(int /*argc*/, char** /*argv*/, std::string& /*error*/) {
    // The arguments come from GetCommandLineW, in full Unicode; a fault reaches the translator
    // or the crash handling, never a dialog box that waits for a user.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return true;
}

std::wstring getCommandLine() {
    return ::GetCommandLineW();
}

std::vector<std::wstring> commandLineToArgv(const std::wstring& commandLine) {
    int count = 0;
    Win32::LocalMemory<LPWSTR> raw(::CommandLineToArgvW(commandLine.c_str(), &count));
    std::vector<std::wstring> args;
    if (!raw.get()) {
        return args;
    }
    for (int i = 0; i < count; ++i) {
        args.emplace_back(raw.get()[i]);
    }
    return args;
}

std::uint32_t getCurrentProcessId() {
    return ::GetCurrentProcessId();
}
std::uint32_t getCurrentThreadId() {
    return ::GetCurrentThreadId();
}

SystemTime getLocalTime() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    return SystemTime{st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                      st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
}

std::wstring getModuleFileName() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

bool getEnvironmentVariable(const std::wstring& name, std::wstring& value) {
    ::SetLastError(0);
    DWORD needed = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    while (needed != 0) {
        std::wstring buffer(needed, L'\0');
        DWORD n = ::GetEnvironmentVariableW(name.c_str(), buffer.data(), needed);
        if (n < needed) {
            buffer.resize(n);
            value = std::move(buffer);
            return true;
        }
        needed = n;
    }
    // An empty variable answers 0 too; only a set last error tells it apart.
    if (::GetLastError() == ERROR_SUCCESS) {
        value.clear();
        return true;
    }
    return false;
}

bool setEnvironmentVariable(const std::wstring& name, const wchar_t* value) {
    if (name.empty() || name.find(L'=') != std::wstring::npos) {
        return Win32::failWith(ERROR_INVALID_PARAMETER);
    }
    return ::SetEnvironmentVariableW(name.c_str(), value) != FALSE;
}

bool expandEnvironmentStrings(const std::wstring& source, std::wstring& expanded) {
    DWORD needed = ::ExpandEnvironmentStringsW(source.c_str(), nullptr, 0);
    while (needed != 0) {
        std::wstring buffer(needed, L'\0');
        DWORD n = ::ExpandEnvironmentStringsW(source.c_str(), buffer.data(), needed);
        if (n == 0) {
            return false;
        }
        if (n <= needed) {
            buffer.resize(n - 1);
            expanded = std::move(buffer);
            return true;
        }
        needed = n;
    }
    return false;
}

bool formatSystemMessage(std::uint32_t code, std::uint32_t languageId, std::wstring& text) {
    Win32::LocalMemory<wchar_t> buffer;
    DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, languageId, reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (n == 0) {
        return false;
    }
    text.assign(buffer.get(), n);
    return true;
}

std::wstring getLastErrorDetail() {
    return {};
}

OsVersion getVersion() {
    // RtlGetVersion tells the truth whatever the manifest says, unlike GetVersionEx.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(ntdll ? ::GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
    if (!rtlGetVersion || rtlGetVersion(&info) != 0) {
        return {};
    }
    return OsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}

bool uuidCreate(Guid& guid) {
    UUID uuid{};
    RPC_STATUS status = ::UuidCreate(&uuid);
    if (status != RPC_S_OK) {
        return Win32::failWith(static_cast<DWORD>(status));
    }
    // The in-memory layout of a GUID is the byte order the seam promises (Data1..3 little-endian).
    static_assert(sizeof(uuid) == sizeof(Guid));
    std::memcpy(guid.data(), &uuid, guid.size());
    return true;
}

std::uint32_t setErrorMode(std::uint32_t mode) {
    return ::SetErrorMode(mode);
}

void writeStdout(const std::string& bytes) {
    writeAll(STD_OUTPUT_HANDLE, bytes);
}

void writeStderr(const std::string& bytes) {
    writeAll(STD_ERROR_HANDLE, bytes);
}

bool isStdErrorConsole() {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    return err != nullptr && err != INVALID_HANDLE_VALUE && ::GetFileType(err) == FILE_TYPE_CHAR;
}

std::int32_t coInitialize() {
    return ::CoInitialize(nullptr);
}

void coUninitialize() {
    ::CoUninitialize();
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace Platform
