#include "platform/posix/pathmap.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/filehandle.h"
#include "platform/posix/host.h"
#include "platform/text.h"
#include "platform/types.h"

namespace Platform::Posix {
namespace {

bool isLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool hasDrive(std::wstring_view path) {
    return path.size() >= 2 && isLetter(path[0]) && path[1] == L':';
}

bool isNtPrefixed(std::wstring_view path) {
    return path.substr(0, 4) == L"\\\\?\\" || path.substr(0, 4) == L"\\??\\";
}

std::optional<std::string> realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) {
        return std::nullopt;
    }
    return std::string(buffer);
}

std::string joinPosix(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Windows refuses these in names (the wildcards included: they only make sense in a search
// pattern, whose last component never comes here).
bool isForbiddenInName(wchar_t c) {
    return (c > 0 && c < 0x20) || c == L'\\' || c == L':' || c == L'*' || c == L'?' || c == L'"' ||
           c == L'<' || c == L'>' || c == L'|';
}

constexpr wchar_t privateUseBase = 0xF000;

std::vector<std::wstring> splitComponents(std::wstring_view text) {
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t next = text.find_first_of(L"\\/", start);
        std::size_t end = next == std::wstring_view::npos ? text.size() : next;
        if (end > start) {
            parts.emplace_back(text.substr(start, end - start));
        }
        if (next == std::wstring_view::npos) {
            break;
        }
        start = next + 1;
    }
    return parts;
}

// "." dropped, ".." taking the previous component with it (never more than there is).
std::vector<std::wstring> resolveDots(const std::vector<std::wstring>& parts) {
    std::vector<std::wstring> resolved;
    for (const auto& part : parts) {
        if (part == L".") {
            continue;
        }
        if (part == L"..") {
            if (!resolved.empty()) {
                resolved.pop_back();
            }
            continue;
        }
        resolved.push_back(part);
    }
    return resolved;
}

struct Drive {
    wchar_t letter;
    std::string target;  // resolved through its links
};

std::optional<std::filesystem::path> hostDirectory() {
    try {
        return ensureHost();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> driveTarget(wchar_t letter) {
    auto host = hostDirectory();
    if (!host) {
        return std::nullopt;
    }
    std::string link =
        (*host / "dosdevices").string() + "/" + static_cast<char>(downcase(letter)) + ":";
    return realPath(link);
}

std::vector<Drive> drives() {
    std::vector<Drive> result;
    auto host = hostDirectory();
    if (!host) {
        return result;
    }
    std::string dosdevices = (*host / "dosdevices").string();
    UniqueDir dir(::opendir(dosdevices.c_str()));
    if (!dir) {
        return result;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name.size() != 2 || name[1] != ':' || !isLetter(static_cast<wchar_t>(name[0]))) {
            continue;
        }
        if (auto target = realPath(dosdevices + "/" + name)) {
            result.push_back({upcase(static_cast<wchar_t>(name[0])), *target});
        }
    }
    return result;
}

// The entry of `dir` whose Windows name equals `name` ignoring case; the smallest such name
// when the POSIX side holds several that NTFS could not tell apart.
std::optional<std::string> findNoCase(const std::string& dir, const std::wstring& name) {
    UniqueDir stream(::opendir(dir.c_str()));
    if (!stream) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    while (dirent* entry = ::readdir(stream.get())) {
        std::string candidate = entry->d_name;
        if (candidate == "." || candidate == "..") {
            continue;
        }
        if (equalsNoCase(windowsNameOf(candidate), name) && (!found || candidate < *found)) {
            found = candidate;
        }
    }
    return found;
}

std::string currentPosixDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof(buffer)) ? std::string(buffer) : std::string("/");
}

// "/a/./b/../c" to "/a/c", made absolute against the current directory.
std::string normalizePosix(const std::string& path) {
    std::string absolute =
        path.empty() || path[0] != '/' ? currentPosixDirectory() + "/" + path : path;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < absolute.size()) {
        std::size_t next = absolute.find('/', start);
        std::size_t end = next == std::string::npos ? absolute.size() : next;
        std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const auto& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

// The path with its parent resolved through links; the last component stays itself, so that
// a link maps to where it lies and not to where it points.
std::string canonicalParent(const std::string& path) {
    std::string normalized = normalizePosix(path);
    if (normalized == "/") {
        return normalized;
    }
    std::size_t slash = normalized.rfind('/');
    std::string parent = slash == 0 ? "/" : normalized.substr(0, slash);
    auto real = realPath(parent);
    return real ? joinPosix(*real, normalized.substr(slash + 1)) : normalized;
}

}  // namespace

std::wstring windowsNameOf(std::string_view posixName) {
    std::wstring name = fromUtf8(posixName);
    for (auto& c : name) {
        if (isForbiddenInName(c)) {
            c = static_cast<wchar_t>(privateUseBase + c);
        }
    }
    return name;
}

std::optional<std::string> posixNameOf(std::wstring_view windowsName) {
    std::wstring name(windowsName);
    for (auto& c : name) {
        if (c == 0 || c == L'/' || isForbiddenInName(c)) {
            return std::nullopt;
        }
        // Only the mapped forms come back: a POSIX name that itself holds one of these
        // private-use characters is listed as it is but cannot be reached through it.
        if (c > privateUseBase && c < privateUseBase + 0x80 &&
            isForbiddenInName(static_cast<wchar_t>(c - privateUseBase))) {
            c = static_cast<wchar_t>(c - privateUseBase);
        }
    }
    return toUtf8(name);
}

bool fullWindowsPath(const std::wstring& path, const std::wstring& currentDirectory,
                     std::wstring& fullPath) {
    if (path.empty()) {
        return failWith(WinError::InvalidName);
    }
    if (isNtPrefixed(path)) {
        fullPath = path;
        return true;
    }
    std::wstring text = path;
    for (auto& c : text) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    std::wstring root;
    std::wstring rest;
    if (text.compare(0, 4, L"\\\\.\\") == 0) {
        root = L"\\\\.\\";
        rest = text.substr(4);
    } else if (text.compare(0, 2, L"\\\\") == 0) {
        // \\server\share is the root that ".." cannot leave.
        std::size_t serverEnd = std::min(text.find(L'\\', 2), text.size());
        std::size_t shareEnd = serverEnd < text.size()
                                   ? std::min(text.find(L'\\', serverEnd + 1), text.size())
                                   : serverEnd;
        root = text.substr(0, shareEnd);
        rest = text.substr(shareEnd);
    } else if (hasDrive(text) && text.size() > 2 && text[2] == L'\\') {
        root = text.substr(0, 3);
        rest = text.substr(3);
    } else if (hasDrive(text)) {
        // "X:name": relative to the current directory when that is on X:, else to X:\.
        bool sameDrive =
            hasDrive(currentDirectory) && upcase(currentDirectory[0]) == upcase(text[0]);
        std::wstring base = sameDrive ? currentDirectory : text.substr(0, 2) + L"\\";
        std::wstring tail = text.substr(2);
        return fullWindowsPath(tail.empty() ? base : base + L"\\" + tail, currentDirectory,
                               fullPath);
    } else if (!hasDrive(currentDirectory)) {
        return failWith(WinError::InvalidName);
    } else if (text[0] == L'\\') {
        return fullWindowsPath(currentDirectory.substr(0, 2) + text, currentDirectory, fullPath);
    } else {
        return fullWindowsPath(currentDirectory + L"\\" + text, currentDirectory, fullPath);
    }

    std::vector<std::wstring> written = splitComponents(rest);
    std::vector<std::wstring> parts = resolveDots(written);
    bool trailing = !rest.empty() && rest.back() == L'\\';
    // Windows drops trailing dots and spaces of the last component ("name." is "name").
    if (!parts.empty() && !trailing && written.back() != L"." && written.back() != L"..") {
        std::wstring& last = parts.back();
        std::size_t kept = last.find_last_not_of(L". ");
        if (kept == std::wstring::npos) {
            parts.pop_back();
            trailing = true;
        } else {
            last.resize(kept + 1);
        }
    }
    fullPath = root;
    for (const auto& part : parts) {
        if (fullPath.back() != L'\\') {
            fullPath += L'\\';
        }
        fullPath += part;
    }
    if (trailing && !parts.empty()) {
        fullPath += L'\\';
    }
    return true;
}

bool windowsToPosix(const std::wstring& winPath, std::string& posixPath) {
    std::wstring full;
    if (isNtPrefixed(winPath) || winPath.compare(0, 4, L"\\\\.\\") == 0) {
        std::wstring rest = winPath.substr(4);
        if (rest.size() >= 4 && equalsNoCase(rest.substr(0, 4), L"UNC\\")) {
            return failWith(WinError::BadNetpath);
        }
        if (!hasDrive(rest) || (rest.size() > 2 && rest[2] != L'\\' && rest[2] != L'/')) {
            return failWith(WinError::PathNotFound);
        }
        full = rest.substr(0, 2) + L"\\";
        for (const auto& part : resolveDots(splitComponents(rest.substr(2)))) {
            full += (full.back() == L'\\' ? L"" : L"\\") + part;
        }
    } else {
        bool unc = winPath.size() >= 2 && (winPath[0] == L'\\' || winPath[0] == L'/') &&
                   (winPath[1] == L'\\' || winPath[1] == L'/');
        if (unc) {
            return failWith(WinError::BadNetpath);
        }
        // Only a relative or rooted path needs to know where the process stands.
        bool absolute =
            hasDrive(winPath) && winPath.size() > 2 && (winPath[2] == L'\\' || winPath[2] == L'/');
        std::wstring current = L"Z:\\";
        if (!absolute && !posixToWindows(currentPosixDirectory(), current)) {
            current = L"Z:\\";
        }
        if (!fullWindowsPath(winPath, current, full)) {
            return false;
        }
    }
    if (!hasDrive(full)) {
        return failWith(WinError::PathNotFound);
    }
    auto target = driveTarget(full[0]);
    if (!target) {
        return failWith(WinError::PathNotFound);
    }
    std::vector<std::wstring> parts = splitComponents(full.substr(2));
    std::vector<std::string> names;
    for (const auto& part : parts) {
        auto name = posixNameOf(part);
        if (!name) {
            return failWith(WinError::InvalidName);
        }
        names.push_back(std::move(*name));
    }
    // NTFS is case-insensitive and case-preserving: an existing entry is found whatever the
    // case of the name given; past the first missing component nothing can exist.
    std::string current = *target;
    bool missing = false;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::wstring& part = parts[i];
        const std::string& name = names[i];
        if (!missing) {
            std::string exact = joinPosix(current, name);
            struct stat st;
            if (::lstat(exact.c_str(), &st) == 0) {
                current = exact;
                continue;
            }
            if (errno == ENOENT) {
                if (auto found = findNoCase(current, part)) {
                    current = joinPosix(current, *found);
                    continue;
                }
            }
            missing = true;
        }
        current = joinPosix(current, name);
    }
    posixPath = current;
    return true;
}

bool posixToWindows(const std::string& posixPath, std::wstring& winPath) {
    std::string path = canonicalParent(posixPath);
    std::optional<Drive> best;
    for (const auto& drive : drives()) {
        bool contains = drive.target == "/" || path == drive.target ||
                        path.compare(0, drive.target.size() + 1, drive.target + "/") == 0;
        bool better = !best || drive.target.size() > best->target.size() ||
                      (drive.target.size() == best->target.size() && drive.letter < best->letter);
        if (contains && better) {
            best = drive;
        }
    }
    if (!best) {
        return failWith(WinError::PathNotFound);
    }
    std::string rest = best->target == "/" ? path.substr(1) : path.substr(best->target.size());
    if (!rest.empty() && rest[0] == '/') {
        rest.erase(0, 1);
    }
    winPath = std::wstring(1, best->letter) + L":\\";
    for (std::size_t start = 0; start < rest.size();) {
        std::size_t end = std::min(rest.find('/', start), rest.size());
        if (start > 0) {
            winPath += L'\\';
        }
        winPath += windowsNameOf(std::string_view(rest).substr(start, end - start));
        start = end + 1;
    }
    return true;
}

bool isDriveRoot(const std::string& posixPath) {
    auto real = realPath(posixPath);
    if (!real) {
        return false;
    }
    for (const auto& drive : drives()) {
        if (drive.target == *real) {
            return true;
        }
    }
    return false;
}

}  // namespace Platform::Posix
