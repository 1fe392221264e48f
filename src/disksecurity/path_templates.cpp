#include "disksecurity/path_templates.h"

#include <mutex>

#include "disksecurity/template_xml.h"
#include "platform/seh.h"
#include "platform/shell.h"
#include "platform/system.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/failures.h"
#include "runtime/filename.h"
#include "runtime/log.h"
#include "runtime/registry.h"

namespace DiskSecurity {
namespace {

bool isEnclosed(const std::wstring& path, wchar_t open, wchar_t close) {
    return path.size() >= 2 && path.front() == open && path.back() == close;
}

std::wstring inner(const std::wstring& path) {
    return path.substr(1, path.size() - 2);
}

// Panel folders are compared and joined as written by the panel, minus its trailing
// backslash.
std::wstring cleaned(const std::wstring& path) {
    return trimTrailingSeparators(normalizePath(path));
}

// Well-known names of shell folders. "ProgramFiles", "ProgramFilesCommon" and
// "WindowsSystem32" name the x86 folders on purpose: the panel's own programs and the scripts
// it runs live in the 32-bit half of a 64-bit system.
const std::map<std::wstring, int>& csidlNames() {
    static const std::map<std::wstring, int> table = {
        {L"CommonAdmintools", Platform::Csidl::CommonAdminTools},
        {L"CommonAppdata", Platform::Csidl::CommonAppData},
        {L"CommonDocuments", Platform::Csidl::CommonDocuments},
        {L"ProgramFiles", Platform::Csidl::ProgramFilesX86},
        {L"ProgramFilesX86", Platform::Csidl::ProgramFilesX86},
        {L"ProgramFilesCommon", Platform::Csidl::ProgramFilesCommonX86},
        {L"ProgramFilesCommonX86", Platform::Csidl::ProgramFilesCommonX86},
        {L"Windows", Platform::Csidl::Windows},
        {L"WindowsSystem32", Platform::Csidl::SystemX86},
        {L"WindowsSystem32X86", Platform::Csidl::SystemX86},
        {L"Profiles", Platform::Csidl::Profiles},
    };
    return table;
}

constexpr const wchar_t* currentVersionKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr int registryView64 = 2;

// Well-known names of folders that have no CSIDL of the 32-bit shell: the 64-bit program
// folders, read from the 64-bit registry view (on a 32-bit system the view flag is ignored and
// the ordinary folders come back). Filled on the first use that succeeds and then kept.
const std::map<std::wstring, std::wstring>& fixedPaths() {
    static std::mutex lock;
    static std::map<std::wstring, std::wstring> table;
    std::lock_guard guard(lock);
    if (table.empty()) {
        std::map<std::wstring, std::wstring> filled;
        filled[L"ProgramFilesX64"] = registry::getstr(
            Platform::hkeyLocalMachine(), currentVersionKey, L"ProgramFilesDir", registryView64);
        filled[L"ProgramFilesCommonX64"] = registry::getstr(
            Platform::hkeyLocalMachine(), currentVersionKey, L"CommonFilesDir", registryView64);
        std::wstring windows;
        if (!Platform::getWindowsDirectory(windows)) {
            throwOsError(L"Unable to get windows directory", Platform::getLastError(),
                         VSITE("DiskSecurity::EntryTemplate::get_wellKnownPath"));
        }
        filled[L"WindowsSystem32X64"] = VFileName::combine(windows, L"SysWOW64");
        table = std::move(filled);
    }
    return table;
}

}  // namespace

std::vector<std::wstring> getBasePaths(const EntryTemplate& entry,
                                       TarnoComponentResolver& resolver) {
    const std::wstring& path = entry.path;
    std::uint32_t number = 0;
    if ((!path.empty() && tryConvertStringToInt(path, number)) || isEnclosed(path, L'{', L'}')) {
        return {get_wellKnownPath(entry)};
    }
    if (isEnclosed(path, L'%', L'%')) {
        return {get_environmentPath(entry)};
    }
    if (isEnclosed(path, L'[', L']')) {
        return resolver.getPath(inner(path));
    }
    return {path};
}

std::wstring get_wellKnownPath(const EntryTemplate& entry) {
    const std::wstring& path = entry.path;
    std::uint32_t csidl = 0;
    if (!isEnclosed(path, L'{', L'}')) {
        csidl = convertStringToInt(path);
    } else {
        std::wstring name = inner(path);
        const auto& fixed = fixedPaths();
        if (auto found = fixed.find(name); found != fixed.end()) {
            return found->second;
        }
        const auto& names = csidlNames();
        auto found = names.find(name);
        if (found == names.end()) {
            std::wstring message = L"Unknown CSIDL: " + path + L", known names are:\n";
            for (const auto& row : names) {
                message += row.first + L"\n";
            }
            for (const auto& row : fixed) {
                message += row.first + L"\n";
            }
            throw vexception(message, VSITE("DiskSecurity::EntryTemplate::get_wellKnownPath"));
        }
        csidl = static_cast<std::uint32_t>(found->second);
    }
    std::wstring folder;
    if (csidl == Platform::Csidl::Profiles) {
        if (!Platform::getProfilesDirectory(folder)) {
            throwOsError(L"GetProfilesDirectory failed", Platform::getLastError(),
                         VSITE("DiskSecurity::EntryTemplate::get_wellKnownPath"));
        }
    } else if (!Platform::shGetSpecialFolderPath(static_cast<int>(csidl), folder, false)) {
        // The shell reports no reason through the last error.
        throw vexception(
            formatString(L"SHGetSpecialFolderPath failed for index %d", static_cast<int>(csidl)),
            VSITE("DiskSecurity::EntryTemplate::get_wellKnownPath"));
    }
    if (isSecurityDebugOn()) {
        LogManager::instance().log(LogInfo, L"Obtaining wellknown path %s for CSIDL %X", folder,
                                   csidl);
    }
    return folder;
}

std::wstring get_environmentPath(const EntryTemplate& entry) {
    const std::wstring& path = entry.path;
    std::wstring result;
    std::size_t position = 0;
    while (position < path.size()) {
        std::size_t end = path.find(L'%', position);
        if (end == std::wstring::npos) {
            end = path.size();
        }
        if (end > position) {
            std::wstring name = path.substr(position, end - position);
            std::wstring value;
            if (!Platform::getEnvironmentVariable(name, value)) {
                throw vexception(
                    L"Unable to expand environment string: " + path + L". Unknown token: " + name,
                    VSITE("DiskSecurity::EntryTemplate::get_environmentPath"));
            }
            result += value;
        }
        position = end + 1;
    }
    return result;
}

std::vector<std::wstring> TarnoComponentResolver::getPath(const std::wstring& token) {
    if (auto cached = cache_.find(token); cached != cache_.end()) {
        return cached->second;
    }
    std::wstring value;
    bool componentPathUsed = false;
    try {
        value = cleaned(
            registry::getstr(Platform::hkeyLocalMachine(), configKey, token, configKeyView));
    } catch (const vexception&) {
        try {
            runTranslated([&] {
                std::wstring found;
                if (!catalogue_.lookupParameter(Platform::toUpper(token), found)) {
                    found = catalogue_.installPath(Platform::toLower(token));
                    componentPathUsed = true;
                }
                value = cleaned(found);
            });
        } catch (...) {
            LogManager::instance().log(
                LogInfo,
                currentFailure(VSITE_TEXT(formatString(L"Unable to obtain parameter %s", token),
                                          "DiskSecurity::TarnoComponentResolver::getPath")));
            value.clear();
            componentPathUsed = false;
        }
    }
    if (isSecurityDebugOn()) {
        LogManager::instance().log(LogInfo, L"Obtaining Tarno path: %s = %s", token, value);
    }
    if (!value.empty()) {
        try {
            runTranslated([&] { value = VFileName::longFileName(value); });
        } catch (...) {
            LogManager::instance().log(
                LogInfo,
                currentFailure(VSITE_TEXT(formatString(L"Unable to obtain longPath for %s", value),
                                          "DiskSecurity::TarnoComponentResolver::getPath")));
        }
    }
    std::vector<std::wstring> paths;
    if (!value.empty()) {
        paths.push_back(value);
    }
    if (componentPathUsed) {
        getAdditionalPaths(token, paths);
    }
    cache_.emplace(token, paths);
    return paths;
}

void TarnoComponentResolver::getAdditionalPaths(const std::wstring& token,
                                                std::vector<std::wstring>& paths) {
    if (isSecurityDebugOn()) {
        LogManager::instance().log(LogInfo, L"Obtaining Tarno additional paths for %s", token);
    }
    try {
        runTranslated([&] {
            for (const auto& path : catalogue_.additionalPaths(Platform::toLower(token))) {
                paths.push_back(cleaned(path));
            }
        });
    } catch (...) {
        LogManager::instance().log(
            LogInfo, currentFailure(VSITE_TEXT(
                         formatString(L"Unable to obtain Tarno additional paths for %s", token),
                         "DiskSecurity::TarnoComponentResolver::getAdditionalPaths")));
    }
}

}  // namespace DiskSecurity
