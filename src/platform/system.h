// Process, time, environment, system messages and version: the kernel32/rpcrt4 services the
// runtime asks for, with the Win32 calls' inputs and outputs.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace Platform {

// GetCommandLineW: the command line as one string, each argument quoted as needed.
std::wstring getCommandLine();
// CommandLineToArgvW: splits a command line by the Windows rules (quotes, backslashes).
std::vector<std::wstring> commandLineToArgv(const std::wstring& commandLine);
// Prepares the process for the seam; called once by the entry with its arguments (argv[0]
// first). The emulated host records the arguments for getCommandLine and creates or completes
// itself; Windows has the command line already and only sets the error mode. False with a
// description in `error` when the process cannot run.
bool initializeProcess(int argc, char** argv, std::string& error);

std::uint32_t getCurrentProcessId();
std::uint32_t getCurrentThreadId();

// GetLocalTime.
SystemTime getLocalTime();

// GetModuleFileNameW(NULL): the full Windows path of the program file.
std::wstring getModuleFileName();

// GetEnvironmentVariableW: false with last error ERROR_ENVVAR_NOT_FOUND when unset. Names
// compare case-insensitively. A default Windows environment lies under the real one.
bool getEnvironmentVariable(const std::wstring& name, std::wstring& value);
// SetEnvironmentVariableW: sets the variable for this process, or removes it when `value` is
// null (a removed name of the default environment then reads as unset too). False with
// ERROR_INVALID_PARAMETER for an empty name or one containing "=".
bool setEnvironmentVariable(const std::wstring& name, const wchar_t* value);
// ExpandEnvironmentStringsW: %NAME% replaced by its value; unknown names stay as written.
bool expandEnvironmentStrings(const std::wstring& source, std::wstring& expanded);

// FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, code, language):
// the system text of a Win32 error code with its trailing "\r\n". False with last error
// ERROR_MR_MID_NOT_FOUND (317) for a code the system cannot describe.
bool formatSystemMessage(std::uint32_t code, std::uint32_t languageId, std::wstring& text);
// What the emulated host can say about the last error beyond its code (the file and line of
// a damaged host file, say); empty when it has nothing to add. Windows has nothing to add: on
// it the code says all there is.
std::wstring getLastErrorDetail();

// RtlGetVersion: major, minor, build.
struct OsVersion {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
};
OsVersion getVersion();

// UuidCreate: a new random (version 4) GUID in its 16 bytes, Data1..Data3 little-endian.
using Guid = std::array<std::uint8_t, 16>;
bool uuidCreate(Guid& guid);

// SetErrorMode: sets the mode, returns the previous one.
std::uint32_t setErrorMode(std::uint32_t mode);
constexpr std::uint32_t SemNoGpFaultErrorBox = 0x0002;

// Writes bytes to the process's standard output / standard error stream.
void writeStdout(const std::string& bytes);
void writeStderr(const std::string& bytes);
// Whether standard error is a console (GetFileType of STD_ERROR_HANDLE is FILE_TYPE_CHAR).
bool isStdErrorConsole();

// CoInitialize(NULL) and CoUninitialize for the calling thread: the HRESULT of the first
// (S_OK, S_FALSE when already initialised, RPC_E_CHANGED_MODE in another apartment model).
// The emulated host has no COM: it answers S_OK (or the failure a test asks for through
// TAVREL_FAULTS) and has nothing to undo.
constexpr std::int32_t RpcEChangedMode = static_cast<std::int32_t>(0x80010106);
std::int32_t coInitialize();
void coUninitialize();

// Sleep.
void sleepMilliseconds(std::uint32_t milliseconds);

}  // namespace Platform
