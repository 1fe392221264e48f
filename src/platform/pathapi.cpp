// Portable forms of the shlwapi and long-path string functions. The results follow what
// Windows returns, odd input included (doubled backslashes stay, forward slashes are ordinary
// characters, ".." after the first component of a relative path leaves a rooted path), so that
// the engine behaves the same with this implementation and with the system one.
#include "platform/pathapi.h"

#include <string_view>
#include <vector>

#include "platform/types.h"

namespace Platform {
namespace {

bool isLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool isHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

wchar_t asciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

bool startsWithNoCase(std::wstring_view text, std::size_t at, std::wstring_view prefix) {
    if (text.size() < at + prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (asciiLower(text[at + i]) != asciiLower(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool hasLongPrefix(std::wstring_view path) {
    return path.substr(0, 4) == L"\\\\?\\";
}

bool hasDriveAt(std::wstring_view path, std::size_t at) {
    return path.size() >= at + 2 && isLetter(path[at]) && path[at + 1] == L':';
}

// "Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (44 characters) at `at`.
bool hasVolumeGuidAt(std::wstring_view path, std::size_t at) {
    if (!startsWithNoCase(path, at, L"Volume{") || path.size() < at + 44 || path[at + 43] != L'}') {
        return false;
    }
    for (std::size_t i = 7; i < 43; ++i) {
        wchar_t c = path[at + i];
        bool dash = i == 15 || i == 20 || i == 25 || i == 30;
        if (dash ? c != L'-' : !isHexDigit(c)) {
            return false;
        }
    }
    return true;
}

// The root of a path as the long-path functions see it (PathCchSkipRoot).
struct Root {
    bool valid = false;
    std::size_t end = 0;           // first character after the root
    bool unc = false;              // \\server\share or \\?\UNC\server\share
    std::size_t uncPrefixEnd = 0;  // after "\\" or "\\?\UNC\"
};

// Past "server\share\" of a UNC path; an empty share ends the root after "server\".
std::size_t skipServerShare(std::wstring_view path, std::size_t from) {
    std::size_t serverEnd = path.find(L'\\', from);
    if (serverEnd == std::wstring_view::npos) {
        return path.size();
    }
    std::size_t shareStart = serverEnd + 1;
    std::size_t shareEnd = path.find(L'\\', shareStart);
    if (shareEnd == shareStart) {
        return shareStart;
    }
    return shareEnd == std::wstring_view::npos ? path.size() : shareEnd + 1;
}

Root skipRoot(std::wstring_view path) {
    Root root;
    if (hasLongPrefix(path)) {
        if (startsWithNoCase(path, 4, L"UNC\\")) {
            root = {true, skipServerShare(path, 8), true, 8};
        } else if (hasDriveAt(path, 4)) {
            root = {true, path.size() > 6 && path[6] == L'\\' ? 7u : 6u};
        } else if (hasVolumeGuidAt(path, 4)) {
            root = {true, path.size() > 48 && path[48] == L'\\' ? 49u : 48u};
        }
    } else if (path.substr(0, 2) == L"\\\\") {
        if (path.size() < 3 || path[2] != L'?') {
            root = {true, skipServerShare(path, 2), true, 2};
        }
    } else if (path.substr(0, 1) == L"\\") {
        root = {true, 1};
    } else if (hasDriveAt(path, 0)) {
        root = {true, path.size() > 2 && path[2] == L'\\' ? 3u : 2u};
    }
    return root;
}

// Where PathCchStripToRoot cuts: the root without the backslash that ends a UNC share.
bool stripToRootEnd(std::wstring_view path, std::size_t& end) {
    Root root = skipRoot(path);
    if (!root.valid) {
        return false;
    }
    end = root.end;
    if (root.unc && end > root.uncPrefixEnd && path[end - 1] == L'\\') {
        --end;
    }
    return true;
}

// PathCchStripPrefix: "\\?\X:..." to "X:...", "\\?\UNC\..." to "\\...".
void stripPrefix(std::wstring& path) {
    if (!hasLongPrefix(path)) {
        return;
    }
    if (startsWithNoCase(path, 4, L"UNC\\")) {
        path.replace(0, 8, L"\\\\");
    } else if (hasDriveAt(path, 4)) {
        path.erase(0, 4);
    }
}

std::vector<std::wstring> splitAtBackslash(std::wstring_view text) {
    std::vector<std::wstring> parts;
    if (text.empty()) {
        return parts;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t next = text.find(L'\\', start);
        parts.emplace_back(
            text.substr(start, next == std::wstring_view::npos ? next : next - start));
        if (next == std::wstring_view::npos) {
            return parts;
        }
        start = next + 1;
    }
}

std::wstring joinWithBackslash(const std::vector<std::wstring>& parts) {
    std::wstring text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            text += L'\\';
        }
        text += parts[i];
    }
    return text;
}

bool isRelative(std::wstring_view path) {
    return path.empty() || (path[0] != L'\\' && !(path.size() >= 2 && path[1] == L':'));
}

}  // namespace

bool pathCanonicalize(const std::wstring& path, std::wstring& canonical) {
    if (path.size() >= MaxPath) {
        canonical.clear();
        setLastError(WinError::FilenameExcedRange);
        return false;
    }
    if (path.empty()) {
        canonical = L"\\";
        return true;
    }
    // The root is what PathCanonicalize never climbs above: "\\" with the server and share
    // behind it, "\", or a drive with or without its backslash.
    std::wstring root;
    std::size_t protectedParts = 0;
    if (path.compare(0, 2, L"\\\\") == 0) {
        root = L"\\\\";
        protectedParts = 2;
    } else if (path[0] == L'\\') {
        root = L"\\";
    } else if (path.size() >= 2 && path[1] == L':') {
        root = path.substr(0, path.size() > 2 && path[2] == L'\\' ? 3 : 2);
    }
    std::vector<std::wstring> parts;
    for (auto& part : splitAtBackslash(std::wstring_view(path).substr(root.size()))) {
        if (part == L".") {
            continue;
        }
        if (part == L"..") {
            if (root.empty() && (parts.empty() || parts.back() == L"..")) {
                parts.push_back(part);
            } else if (parts.size() > protectedParts) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(std::move(part));
    }
    canonical = root + joinWithBackslash(parts);
    if (canonical.size() == 2 && canonical[1] == L':') {
        canonical += L'\\';
    }
    if (canonical.empty()) {
        canonical = L"\\";
    }
    return true;
}

bool pathStripToRoot(std::wstring& path) {
    std::size_t end = 0;
    if (!stripToRootEnd(path, end)) {
        path.clear();
        setLastError(WinError::BadPathname);
        return false;
    }
    path.resize(end);
    return true;
}

std::int32_t pathAllocCanonicalize(const std::wstring& path, std::uint32_t flags,
                                   std::wstring& canonical) {
    canonical.clear();
    if ((path.size() + 1 > MaxPath && !(flags & PathCchAllowLongPaths)) ||
        path.size() + 1 > PathCchMaxCch) {
        return hresultFromWin32(WinError::FilenameExcedRange);
    }
    enum class Kind { None, Backslash, Unc, Drive, DriveRelative, Volume };
    Kind kind = Kind::None;
    std::wstring root;
    std::size_t restStart = 0;
    if (hasLongPrefix(path) && startsWithNoCase(path, 4, L"UNC\\")) {
        kind = Kind::Unc;
        root = L"\\\\";
        restStart = 8;
    } else if (hasLongPrefix(path) && hasDriveAt(path, 4)) {
        kind = Kind::Drive;
        root = path.substr(4, 2) + L"\\";
        restStart = path.size() > 6 && path[6] == L'\\' ? 7 : 6;
    } else if (hasLongPrefix(path) && hasVolumeGuidAt(path, 4)) {
        kind = Kind::Volume;
        restStart = path.size() > 48 && path[48] == L'\\' ? 49 : 48;
        root = path.substr(0, restStart);
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        kind = Kind::Unc;
        root = L"\\\\";
        restStart = 2;
    } else if (path.compare(0, 1, L"\\") == 0) {
        kind = Kind::Backslash;
        root = L"\\";
        restStart = 1;
    } else if (hasDriveAt(path, 0)) {
        bool full = path.size() > 2 && path[2] == L'\\';
        kind = full ? Kind::Drive : Kind::DriveRelative;
        restStart = full ? 3 : 2;
        root = path.substr(0, restStart);
    }

    std::vector<std::wstring> input = splitAtBackslash(std::wstring_view(path).substr(restStart));
    std::vector<std::wstring> parts;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const std::wstring& part = input[i];
        bool dots = part == L"." || part == L"..";
        // "X:." and "X:.." glue to the drive when more follows ("C:..\" stays as written).
        if (dots && kind == Kind::DriveRelative && i == 0 && i + 1 < input.size()) {
            parts.push_back(part);
            continue;
        }
        if (part == L".") {
            continue;
        }
        if (part == L"..") {
            if (!parts.empty()) {
                parts.pop_back();
                // Removing the first component takes the backslash before it, which leaves a
                // relative path rooted and cuts a UNC root down to "\".
                if (parts.empty() && (kind == Kind::None || kind == Kind::Unc)) {
                    kind = Kind::Backslash;
                    root = L"\\";
                }
            }
            continue;
        }
        parts.push_back(part);
    }
    // Trailing dots of the last component go (one stays after a '*', for patterns).
    if (!parts.empty() && !parts.back().empty()) {
        std::wstring& last = parts.back();
        std::size_t kept = last.find_last_not_of(L'.');
        if (kept == std::wstring::npos) {
            last.clear();
        } else if (last[kept] == L'*' && kept + 1 < last.size()) {
            last.resize(kept + 2);
        } else {
            last.resize(kept + 1);
        }
    }
    std::wstring rest = joinWithBackslash(parts);
    if (kind == Kind::DriveRelative && rest.empty() && restStart < path.size()) {
        root += L'\\';
    }
    canonical = root + rest;
    if (canonical.empty()) {
        canonical = L"\\";
    }
    if ((flags & PathCchAllowLongPaths) && canonical.size() + 1 > MaxPath &&
        hasDriveAt(canonical, 0)) {
        canonical.insert(0, L"\\\\?\\");
    }
    return SOk;
}

std::int32_t pathAllocCombine(const std::wstring& path, const std::wstring& more,
                              std::uint32_t flags, std::wstring& combined) {
    std::wstring joined;
    bool moreIsQualified = hasDriveAt(more, 0) || more.compare(0, 2, L"\\\\") == 0;
    if (moreIsQualified) {
        joined = more;
        stripPrefix(joined);
        if (joined.size() == 2) {
            joined += L'\\';
        }
    } else {
        joined = path;
        stripPrefix(joined);
        if (!more.empty()) {
            std::wstring_view tail = more;
            if (tail[0] == L'\\') {
                std::size_t end = 0;
                joined.resize(stripToRootEnd(joined, end) ? end : 0);
                tail.remove_prefix(1);
            }
            if (!joined.empty() && joined.back() != L'\\') {
                joined += L'\\';
            }
            joined += tail;
        }
    }
    return pathAllocCanonicalize(joined, flags, combined);
}

std::int32_t pathCchRemoveFileSpec(std::wstring& path) {
    if (path.size() + 1 > PathCchMaxCch) {
        return EInvalidArg;
    }
    std::size_t start = 0;
    if (!stripToRootEnd(path, start)) {
        start = 0;
    }
    if (start >= path.size()) {
        return SFalse;
    }
    std::size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos || cut < start) {
        cut = start;
    } else if (cut > start && path[cut - 1] == L'\\' &&
               (cut + 1 >= path.size() || path[cut + 1] != L'?')) {
        --cut;  // a doubled separator goes with the component
    }
    path.resize(cut);
    return SOk;
}

bool pathCombine(const std::wstring& dir, const std::wstring& file, std::wstring& combined) {
    std::wstring joined;
    if (file.empty()) {
        joined = dir;
    } else if (dir.empty() || !isRelative(file)) {
        if (dir.empty() || file[0] != L'\\' || file.compare(0, 2, L"\\\\") == 0) {
            joined = file;
        } else {
            joined = dir;
            pathStripToRoot(joined);
            if (!joined.empty() && joined.back() != L'\\') {
                joined += L'\\';
            }
            joined.append(file, 1);
        }
    } else {
        joined = dir;
        if (joined.back() != L'\\') {
            joined += L'\\';
        }
        joined += file;
    }
    if (joined.size() >= MaxPath) {
        combined.clear();
        setLastError(WinError::FilenameExcedRange);
        return false;
    }
    return pathCanonicalize(joined, combined);
}

bool pathRemoveFileSpec(std::wstring& path) {
    std::size_t rootEnd = 0;
    if (hasLongPrefix(path)) {
        if (hasDriveAt(path, 4)) {
            rootEnd = path.size() > 6 && path[6] == L'\\' ? 7 : 6;
        } else if (hasVolumeGuidAt(path, 4)) {
            rootEnd = path.size() > 48 && path[48] == L'\\' ? 49 : 48;
        } else {
            rootEnd = 3;
        }
    } else if (path.compare(0, 2, L"\\\\") == 0) {
        rootEnd = 2;
    } else if (path.compare(0, 1, L"\\") == 0) {
        rootEnd = 1;
    } else if (hasDriveAt(path, 0)) {
        rootEnd = path.size() > 2 && path[2] == L'\\' ? 3 : 2;
    }
    if (rootEnd >= path.size()) {
        return false;
    }
    std::size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos || cut < rootEnd) {
        cut = rootEnd;
    } else if (cut > rootEnd && path[cut - 1] == L'\\') {
        --cut;
    }
    path.resize(cut);
    return true;
}

std::wstring pathFindExtension(const std::wstring& path) {
    // A space or a backslash ends a candidate extension, as in the shell's rules.
    std::size_t dot = std::wstring::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L' ') {
            dot = std::wstring::npos;
        } else if (path[i] == L'.') {
            dot = i;
        }
    }
    return dot == std::wstring::npos ? std::wstring() : path.substr(dot);
}

std::wstring pathFindFileName(const std::wstring& path) {
    auto isSeparator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        if ((isSeparator(path[i]) || path[i] == L':') && !isSeparator(path[i + 1])) {
            start = i + 1;
        }
    }
    return path.substr(start);
}

void pathRemoveExtension(std::wstring& path) {
    path.resize(path.size() - pathFindExtension(path).size());
}

bool pathUnquoteSpaces(std::wstring& path) {
    if (path.empty() || path.front() != L'"' || path.back() != L'"') {
        return false;
    }
    path = path.size() < 2 ? std::wstring() : path.substr(1, path.size() - 2);
    return true;
}

}  // namespace Platform
