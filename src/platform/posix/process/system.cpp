#include "platform/system.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <csignal>

#include <sys/time.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <stdexcept>
#include <utility>

#include "platform/posix/faults/faults.h"
#include "platform/posix/filesystem/pathmap.h"
#include "platform/posix/host/errors.h"
#include "platform/posix/host/host.h"
#include "platform/posix/host/seam_count.h"
#include "platform/text.h"

extern char** environ;

namespace Platform {
namespace {

std::mutex argumentsLock;
std::vector<std::wstring> processArguments;

std::wstring programArgument() {
    std::wstring module = getModuleFileName();
    return module.find_first_of(L" \t") == std::wstring::npos ? module : L"\"" + module + L"\"";
}

std::wstring machineName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
        return L"TAVREL-HOST";
    }
    std::string host(name);
    return toUpper(fromUtf8(host.substr(0, std::min<std::size_t>(host.find('.'), 15))));
}

// The environment a Windows service process running as SYSTEM sees, under the real one.
const std::vector<std::pair<std::wstring, std::wstring>>& defaultEnvironment() {
    static const std::vector<std::pair<std::wstring, std::wstring>> defaults = {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"APPDATA", L"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Roaming"},
        {L"CommonProgramFiles", L"C:\\Program Files\\Common Files"},
        {L"CommonProgramFiles(x86)", L"C:\\Program Files (x86)\\Common Files"},
        {L"CommonProgramW6432", L"C:\\Program Files\\Common Files"},
        {L"COMPUTERNAME", machineName()},
        {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
        {L"LOCALAPPDATA", L"C:\\Windows\\system32\\config\\systemprofile\\AppData\\Local"},
        {L"NUMBER_OF_PROCESSORS", std::to_wstring(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)))},
        {L"OS", L"Windows_NT"},
        {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
        {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
        {L"ProgramData", L"C:\\ProgramData"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"ProgramFiles(x86)", L"C:\\Program Files (x86)"},
        {L"ProgramW6432", L"C:\\Program Files"},
        {L"PUBLIC", L"C:\\Users\\Public"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"TEMP", L"C:\\Windows\\TEMP"},
        {L"TMP", L"C:\\Windows\\TEMP"},
        {L"USERDOMAIN", L"WORKGROUP"},
        {L"USERNAME", machineName() + L"$"},
        {L"USERPROFILE", L"C:\\Windows\\system32\\config\\systemprofile"},
        {L"windir", L"C:\\Windows"},
    };
    return defaults;
}

// Names of the default environment that setEnvironmentVariable removed: they stay unset
// rather than falling back to their default.
std::mutex removedDefaultsLock;
std::vector<std::wstring> removedDefaults;

bool isRemovedDefault(const std::wstring& name) {
    std::lock_guard guard(removedDefaultsLock);
    return std::any_of(removedDefaults.begin(), removedDefaults.end(),
                       [&](const std::wstring& removed) { return equalsNoCase(removed, name); });
}

// Unsets every variable of the real environment whose name matches `name` ignoring case, as
// Windows has only one of them.
void unsetNoCase(const std::wstring& name) {
    std::vector<std::string> matches;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::size_t eq = entry.find('=');
        if (eq != std::string::npos && equalsNoCase(fromUtf8(entry.substr(0, eq)), name)) {
            matches.push_back(entry.substr(0, eq));
        }
    }
    for (const auto& match : matches) {
        ::unsetenv(match.c_str());
    }
}

struct Message {
    std::uint32_t code;
    const wchar_t* text;
};

// The English system texts of the Win32 codes this program meets.
constexpr Message systemMessages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {15, L"The system cannot find the drive specified."},
    {17, L"The system cannot move the file to a different disk drive."},
    {18, L"There are no more files."},
    {19, L"The media is write protected."},
    {21, L"The device is not ready."},
    {26, L"The specified disk or diskette cannot be accessed."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {33,
     L"The process cannot access the file because another process has locked a portion of the "
     L"file."},
    {36, L"Too many files opened for sharing."},
    {38, L"Reached the end of the file."},
    {39, L"The disk is full."},
    {50, L"The request is not supported."},
    {53, L"The network path was not found."},
    {80, L"The file exists."},
    {82, L"The directory or file cannot be created."},
    {87, L"The parameter is incorrect."},
    {109, L"The pipe has been ended."},
    {112, L"There is not enough space on the disk."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {145, L"The directory is not empty."},
    {161, L"The specified path is invalid."},
    {170, L"The requested resource is in use."},
    {183, L"Cannot create a file when that file already exists."},
    {186, L"The flag passed is not correct."},
    {203, L"The system could not find the environment option that was entered."},
    {206, L"The filename or extension is too long."},
    {223, L"The file size exceeds the limit allowed and cannot be saved."},
    {234, L"More data is available."},
    {258, L"The wait operation timed out."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {288, L"Attempt to release mutex not owned by caller."},
    {298, L"Too many posts were made to a semaphore."},
    {1004, L"Invalid flags."},
    {1006,
     L"The volume for a file has been externally altered so that the opened file is no longer "
     L"valid."},
    {1008, L"An attempt was made to reference a token that does not exist."},
    {1010, L"The configuration registry key is invalid."},
    {1011, L"The configuration registry key could not be opened."},
    {1012, L"The configuration registry key could not be read."},
    {1013, L"The configuration registry key could not be written."},
    {1015,
     L"The registry is corrupted. The structure of one of the files containing registry data is "
     L"corrupted, or the system's memory image of the file is corrupted, or the file could not "
     L"be recovered because the alternate copy or log was absent or corrupted."},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1060, L"The specified service does not exist as an installed service."},
    {1072, L"The specified service has been marked for deletion."},
    {1073, L"The specified service already exists."},
    {1117, L"The request could not be performed because of an I/O device error."},
    {1168, L"Element not found."},
    {1175, L"Unable to remove the file to be replaced."},
    {1176,
     L"Unable to move the replacement file to the file to be replaced. The file to be "
     L"replaced has retained its original name."},
    {1300, L"Not all privileges or groups referenced are assigned to the caller."},
    {1307, L"This security ID may not be assigned as the owner of this object."},
    {1313, L"A specified privilege does not exist."},
    {1314, L"A required privilege is not held by the client."},
    {1317, L"The specified account does not exist."},
    {1332, L"No mapping between account names and security IDs was done."},
    {1336, L"The access control list (ACL) structure is invalid."},
    {1337, L"The security ID structure is invalid."},
    {1338, L"The security descriptor structure is invalid."},
    {1355, L"The specified domain either does not exist or could not be contacted."},
    {1359, L"An internal error occurred."},
    {1376, L"The specified local group does not exist."},
    {1378, L"The specified account name is already a member of the group."},
    {1392, L"The file or directory is corrupted and unreadable."},
    {1920, L"The file cannot be accessed by the system."},
    {1921, L"The name of the file cannot be resolved by the system."},
    {8209, L"The directory service has exhausted the pool of relative identifiers."},
    {0x80004001, L"Not implemented"},
    {0x80004002, L"No such interface supported"},
    {0x80004005, L"Unspecified error"},
    {0x8000FFFF, L"Catastrophic failure"},
};

std::uint32_t errorMode = 0;

}  // namespace

bool initializeProcess(int argc, char** argv, std::string& error) {
    // A write beyond the file-size limit fails with EFBIG, which the file calls report as a
    // full disk, instead of killing the process without a word and leaving its files behind.
    ::signal(SIGXFSZ, SIG_IGN);
    {
        std::lock_guard guard(argumentsLock);
        processArguments.clear();
        for (int i = 0; i < argc; ++i) {
            processArguments.push_back(fromUtf8(argv[i] ? argv[i] : ""));
        }
    }
    try {
        Posix::ensureHost();
    } catch (const std::exception& e) {
        error = std::string("the emulated Windows host is not usable: ") + e.what();
        return false;
    }
    return true;
}

std::wstring getCommandLine() {
    TAVREL_SEAM_CALL("GetCommandLineW");
    std::lock_guard guard(argumentsLock);
    std::wstring line = programArgument();
    for (std::size_t i = 1; i < processArguments.size(); ++i) {
        line += L' ';
        line += quoteCommandLineArgument(processArguments[i]);
    }
    return line;
}

std::vector<std::wstring> commandLineToArgv(const std::wstring& commandLine) {
    TAVREL_SEAM_CALL("CommandLineToArgvW");
    std::vector<std::wstring> args;
    std::size_t i = 0;
    const std::size_t n = commandLine.size();
    // The program name ends at the closing quote or the first blank; no escapes apply to it.
    std::wstring program;
    if (n > 0 && commandLine[0] == L'"') {
        for (i = 1; i < n && commandLine[i] != L'"'; ++i) {
            program += commandLine[i];
        }
        if (i < n) {
            ++i;
        }
    } else {
        for (; i < n && commandLine[i] != L' ' && commandLine[i] != L'\t'; ++i) {
            program += commandLine[i];
        }
    }
    args.push_back(n == 0 ? getModuleFileName() : program);
    while (true) {
        while (i < n && (commandLine[i] == L' ' || commandLine[i] == L'\t')) {
            ++i;
        }
        if (i >= n) {
            break;
        }
        std::wstring arg;
        bool quoted = false;
        while (i < n && (quoted || (commandLine[i] != L' ' && commandLine[i] != L'\t'))) {
            if (commandLine[i] == L'\\') {
                std::size_t count = 0;
                while (i < n && commandLine[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (i < n && commandLine[i] == L'"') {
                    arg.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        arg += L'"';
                        ++i;
                    }
                } else {
                    arg.append(count, L'\\');
                }
            } else if (commandLine[i] == L'"') {
                if (quoted && i + 1 < n && commandLine[i + 1] == L'"') {
                    arg += L'"';  // "" inside quotes is a literal quote
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg += commandLine[i++];
            }
        }
        args.push_back(arg);
    }
    return args;
}

std::uint32_t getCurrentProcessId() {
    TAVREL_SEAM_CALL("GetCurrentProcessId");
    return static_cast<std::uint32_t>(::getpid());
}
std::uint32_t getCurrentThreadId() {
    TAVREL_SEAM_CALL("GetCurrentThreadId");
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

SystemTime getLocalTime() {
    TAVREL_SEAM_CALL("GetLocalTime");
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    SystemTime t;
    t.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    t.day = static_cast<std::uint16_t>(local.tm_mday);
    t.hour = static_cast<std::uint16_t>(local.tm_hour);
    t.minute = static_cast<std::uint16_t>(local.tm_min);
    t.second = static_cast<std::uint16_t>(local.tm_sec);
    t.milliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
    return t;
}

std::wstring getModuleFileName() {
    TAVREL_SEAM_CALL("GetModuleFileNameW");
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    std::string path =
        n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("/tavrel");
    std::wstring windows;
    if (!Posix::posixToWindows(path, windows)) {
        windows = L"Z:" + fromUtf8(path);
        for (auto& c : windows) {
            if (c == L'/') {
                c = L'\\';
            }
        }
    }
    return windows;
}

bool getEnvironmentVariable(const std::wstring& name, std::wstring& value) {
    TAVREL_SEAM_CALL("GetEnvironmentVariableW");
    if (name.empty() || name.find(L'=') != std::wstring::npos) {
        setLastError(WinError::EnvvarNotFound);
        return false;
    }
    for (char** e = environ; *e; ++e) {
        std::wstring entry = fromUtf8(*e);
        std::size_t eq = entry.find(L'=');
        if (eq != std::wstring::npos &&
            equalsNoCase(std::wstring_view(entry).substr(0, eq), name)) {
            value = entry.substr(eq + 1);
            return true;
        }
    }
    for (const auto& [key, text] : defaultEnvironment()) {
        if (equalsNoCase(key, name) && !isRemovedDefault(name)) {
            value = text;
            return true;
        }
    }
    setLastError(WinError::EnvvarNotFound);
    return false;
}

bool setEnvironmentVariable(const std::wstring& name, const wchar_t* value) {
    TAVREL_SEAM_CALL("SetEnvironmentVariableW");
    if (name.empty() || name.find(L'=') != std::wstring::npos) {
        setLastError(WinError::InvalidParameter);
        return false;
    }
    unsetNoCase(name);
    std::lock_guard guard(removedDefaultsLock);
    std::erase_if(removedDefaults,
                  [&](const std::wstring& removed) { return equalsNoCase(removed, name); });
    if (value) {
        if (::setenv(toUtf8(name).c_str(), toUtf8(value).c_str(), 1) != 0) {
            return Posix::failWithErrno();
        }
    } else {
        removedDefaults.push_back(name);
    }
    return true;
}

bool expandEnvironmentStrings(const std::wstring& source, std::wstring& expanded) {
    TAVREL_SEAM_CALL("ExpandEnvironmentStringsW");
    std::wstring out;
    std::size_t i = 0;
    while (i < source.size()) {
        std::size_t open = source.find(L'%', i);
        if (open == std::wstring::npos) {
            out.append(source, i, std::wstring::npos);
            break;
        }
        out.append(source, i, open - i);
        std::size_t close = source.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            out.append(source, open, std::wstring::npos);
            break;
        }
        std::wstring value;
        if (close > open + 1 &&
            getEnvironmentVariable(source.substr(open + 1, close - open - 1), value)) {
            out += value;
            i = close + 1;
        } else {
            // An unknown name stays as written, and its closing % may open the next one.
            out.append(source, open, close - open);
            i = close;
        }
    }
    expanded = std::move(out);
    return true;
}

bool formatSystemMessage(std::uint32_t code, std::uint32_t /*languageId*/, std::wstring& text) {
    TAVREL_SEAM_CALL("FormatMessageW");
    for (const auto& message : systemMessages) {
        if (message.code == code) {
            text = std::wstring(message.text) + L"\r\n";
            return true;
        }
    }
    setLastError(WinError::MrMidNotFound);
    return false;
}

OsVersion getVersion() {
    TAVREL_SEAM_CALL("GetVersion");
    return OsVersion{10, 0, 19045};
}

bool uuidCreate(Guid& guid) {
    TAVREL_SEAM_CALL("UuidCreate");
    std::random_device device;
    for (std::size_t i = 0; i < guid.size(); i += 4) {
        std::uint32_t r = device();
        std::memcpy(guid.data() + i, &r, 4);
    }
    guid[7] = static_cast<std::uint8_t>((guid[7] & 0x0F) | 0x40);  // version 4 (Data3 high byte)
    guid[8] = static_cast<std::uint8_t>((guid[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return true;
}

std::uint32_t setErrorMode(std::uint32_t mode) {
    TAVREL_SEAM_CALL("SetErrorMode");
    static std::mutex lock;
    std::lock_guard guard(lock);
    return std::exchange(errorMode, mode);
}

void writeStdout(const std::string& bytes) {
    TAVREL_SEAM_CALL("WriteFile(stdout)");
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void writeStderr(const std::string& bytes) {
    TAVREL_SEAM_CALL("WriteFile(stderr)");
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

std::int32_t coInitialize() {
    TAVREL_SEAM_CALL("CoInitialize");
    // S_OK, unless a test asks for a failure.
    return static_cast<std::int32_t>(
        Posix::Faults::injected(Posix::Faults::Operation::CoInitialize, std::string()));
}

void coUninitialize() {
    TAVREL_SEAM_CALL("CoUninitialize");
}

bool isStdErrorConsole() {
    TAVREL_SEAM_CALL("GetFileType(stderr)");
    return ::isatty(STDERR_FILENO) == 1;
}

void sleepMilliseconds(std::uint32_t milliseconds) {
    TAVREL_SEAM_CALL("Sleep");
    struct timespec delay {
        static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
    };
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

}  // namespace Platform
