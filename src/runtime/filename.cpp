#include "runtime/filename.h"

#include <algorithm>
#include <chrono>
#include <string_view>
#include <vector>

#include "platform/file_holders.h"
#include "platform/pathapi.h"
#include "platform/text.h"
#include "platform/types.h"
#include "runtime/config.h"
#include "runtime/exceptions.h"
#include "runtime/format.h"
#include "runtime/log.h"
#include "runtime/registry.h"

namespace {

// Taken while the program's statics are set up, before any command runs.
const std::uint64_t processStart = currentFileTime();

bool isHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

wchar_t asciiLower(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

bool hasLongPrefix(std::wstring_view path) {
    return path.substr(0, 4) == L"\\\\?\\" || path.substr(0, 4) == L"\\??\\";
}

// _wcsnicmp of two components of the same length: letters folded to lower case, then code
// units compared.
int compareNoCase(std::wstring_view a, std::wstring_view b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        wchar_t x = asciiLower(a[i]);
        wchar_t y = asciiLower(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

std::optional<Platform::OsVersion>& osVersionOverride() {
    static std::optional<Platform::OsVersion> version;
    return version;
}

// The long-path functions of "api-ms-win-core-path-l1-1-0.dll" exist from Windows 8 (6.2) on.
// The version is asked once: the path functions run for every object of a walk.
bool hasLongPathFunctions() {
    static const Platform::OsVersion running = Platform::getVersion();
    Platform::OsVersion version = osVersionOverride().value_or(running);
    return version.major > 6 || (version.major == 6 && version.minor > 1);
}

// The Win32 code inside an HRESULT_FROM_WIN32 value, the HRESULT itself otherwise.
std::uint32_t errorCodeOf(std::int32_t hresult) {
    auto value = static_cast<std::uint32_t>(hresult);
    return (value & 0xFFFF0000u) == 0x80070000u ? value & 0xFFFF : value;
}

bool isDriveSpec(std::wstring_view path) {
    std::wstring_view body = hasLongPrefix(path) ? path.substr(4) : path;
    return body.size() == 2 && body[1] == L':';
}

}  // namespace

std::wstring stripLongPrefix(const std::wstring& path) {
    return stripLongPrefix(path.c_str());
}

const wchar_t* stripLongPrefix(const wchar_t* path) {
    std::wstring_view view(path);
    return hasLongPrefix(view) ? path + 4 : path;
}

namespace {

// toLongPath of a path normalised already.
std::wstring longOfNormalized(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') {
        return path;
    }
    if (path.size() == 2) {
        return L"\\\\?\\" + path + L"\\";
    }
    return L"\\\\?\\" + path;
}

}  // namespace

std::wstring toLongPath(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') {
        return path;
    }
    return longOfNormalized(path.size() == 2 ? path : normalizePath(path));
}

std::wstring normalizePath(const std::wstring& path) {
    std::wstring text = path;
    for (auto& c : text) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    std::wstring prefix;
    if (text.compare(0, 4, L"\\\\?\\") == 0 || text.compare(0, 4, L"\\\\.\\") == 0) {
        prefix = text.substr(0, 4);
        text.erase(0, 4);
    }
    bool leading = !text.empty() && text.front() == L'\\';
    bool trailing = text.size() > 1 && text.back() == L'\\';
    std::vector<std::wstring_view> parts;
    std::wstring_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.find(L'\\');
        std::wstring_view part = rest.substr(0, end);
        rest = end == std::wstring_view::npos ? std::wstring_view() : rest.substr(end + 1);
        if (part.empty() || part == L".") {
            continue;
        }
        if (part == L".." && !parts.empty() && parts.back() != L"..") {
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::wstring result = prefix;
    if (leading) {
        result += L'\\';
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            result += L'\\';
        }
        result += parts[i];
    }
    if (trailing) {
        result += L'\\';
    }
    return result;
}

PathRelation comparePaths(const std::wstring& a, const std::wstring& b) {
    // The strings' own lengths: this runs for every pair of paths a walk compares.
    std::wstring_view left =
        hasLongPrefix(a) ? std::wstring_view(a).substr(4) : std::wstring_view(a);
    std::wstring_view right =
        hasLongPrefix(b) ? std::wstring_view(b).substr(4) : std::wstring_view(b);
    // The paths a walk compares mostly share a long head, written alike: it is skipped up to
    // the last component that starts inside it, where the comparison below would be anyway.
    std::size_t same = static_cast<std::size_t>(
        std::mismatch(left.begin(), left.end(), right.begin(), right.end()).first - left.begin());
    for (std::size_t next = same; next >= 2; --next) {
        if (isSeparator(left[next - 2]) && !isSeparator(left[next - 1])) {
            left.remove_prefix(next - 1);
            right.remove_prefix(next - 1);
            break;
        }
    }
    // One component and the separators after it.
    auto take = [](std::wstring_view& path) {
        std::size_t end = 0;
        while (end < path.size() && !isSeparator(path[end])) {
            ++end;
        }
        std::wstring_view component = path.substr(0, end);
        while (end < path.size() && isSeparator(path[end])) {
            ++end;
        }
        path.remove_prefix(end);
        return component;
    };
    while (true) {
        if (left.empty() && right.empty()) {
            return PathEqual;
        }
        if (right.empty()) {
            return PathBelow;
        }
        if (left.empty()) {
            return PathAbove;
        }
        std::wstring_view x = take(left);
        std::wstring_view y = take(right);
        if (x.size() != y.size()) {
            return x.size() < y.size() ? PathLess : PathGreater;
        }
        if (int order = compareNoCase(x, y); order != 0) {
            return order < 0 ? PathLess : PathGreater;
        }
    }
}

std::wstring withTrailingBackslash(const std::wstring& path) {
    return !path.empty() && path.back() == L'\\' ? path : path + L"\\";
}

std::wstring lastComponent(const std::wstring& path) {
    std::wstring_view text = path;
    if (!text.empty() && text.back() == L'\\') {
        text.remove_suffix(1);
    }
    std::size_t slash = text.rfind(L'\\');
    return std::wstring(slash == std::wstring_view::npos ? text : text.substr(slash + 1));
}

std::wstring trimLeadingSeparators(const std::wstring& path) {
    std::size_t start = path.find_first_not_of(L"\\/");
    return start == std::wstring::npos ? std::wstring() : path.substr(start);
}

std::wstring trimTrailingSeparators(const std::wstring& path) {
    std::size_t end = path.find_last_not_of(L"\\/");
    return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

std::wstring longPathOfEachPart(const std::wstring& path, bool keepMissingRest) {
    std::wstring text = stripLongPrefix(path);
    std::wstring current;
    if (text.size() >= 2 && isSeparator(text[0]) && isSeparator(text[1])) {
        current = L"\\\\";
    } else if (!text.empty() && isSeparator(text[0])) {
        current = L"\\";
    }
    bool missing = false;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = position;
        while (end < text.size() && !isSeparator(text[end])) {
            ++end;
        }
        if (end > position) {
            if (!current.empty() && current.back() != L'\\') {
                current += L'\\';
            }
            current.append(text, position, end - position);
            if (!missing) {
                try {
                    current = VFileName::longFileName(current);
                } catch (const vosexception& e) {
                    bool absent = e.errorCode() == Platform::WinError::FileNotFound ||
                                  e.errorCode() == Platform::WinError::PathNotFound;
                    if (!keepMissingRest || !absent) {
                        throw;
                    }
                    missing = true;
                }
            }
        }
        position = end + 1;
    }
    return current;
}

std::wstring fileExtension(const std::wstring& path) {
    return Platform::pathFindExtension(path);
}

std::wstring fileName(const std::wstring& path) {
    return Platform::pathFindFileName(path);
}

std::wstring withoutExtension(const std::wstring& path) {
    std::wstring result = path;
    Platform::pathRemoveExtension(result);
    return result;
}

std::wstring unquoted(const std::wstring& path) {
    std::wstring result = path;
    Platform::pathUnquoteSpaces(result);
    return result;
}

bool fileExist(const std::wstring& path) {
    std::uint32_t attributes = 0;
    return fileExist(path, attributes);
}

bool fileExist(const std::wstring& path, std::uint32_t& attributes) {
    std::uint32_t found = Platform::getFileAttributes(toLongPath(path));
    if (found != Platform::InvalidFileAttributes) {
        attributes = found;
        return true;
    }
    std::uint32_t error = Platform::getLastError();
    if (error == Platform::WinError::FileNotFound || error == Platform::WinError::PathNotFound) {
        return false;
    }
    throwOsError(L"retrieves attributes for file or directory " + path, error, VSITE("fileExist"));
}

namespace VFileName {

std::wstring combine(const std::wstring& dir, const std::wstring& name) {
    if (hasLongPathFunctions()) {
        std::wstring combined;
        std::int32_t result =
            Platform::pathAllocCombine(toLongPath(dir), trimLeadingSeparators(name),
                                       Platform::PathCchAllowLongPaths, combined);
        if (result < 0) {
            throwOsError(formatString(L"PathAllocCombine(%s, %s) failed: error code 0x%lx", dir,
                                      name, static_cast<std::uint32_t>(result)),
                         errorCodeOf(result), VSITE("VFileName::combine"));
        }
        return stripLongPrefix(combined);
    }
    if (dir.size() + name.size() < Platform::MaxPath) {
        std::wstring combined;
        if (!Platform::pathCombine(trimTrailingSeparators(dir), trimLeadingSeparators(name),
                                   combined)) {
            throwOsError(L"PathCombine failed for dir " + dir + L" and fileName " + name,
                         Platform::getLastError(), VSITE("VFileName::combine"));
        }
        return combined;
    }
    // PathCombineW stops at MAX_PATH; longer paths are joined and normalised here.
    return normalizePath(
        stripLongPrefix(trimTrailingSeparators(dir) + L"\\" + trimLeadingSeparators(name)));
}

std::wstring canonicalize(const std::wstring& path) {
    std::wstring canonical;
    if (path.size() >= Platform::MaxPath) {
        // PathCanonicalizeW stops at MAX_PATH; the walk reaches paths of any length.
        std::int32_t result =
            Platform::pathAllocCanonicalize(path, Platform::PathCchAllowLongPaths, canonical);
        if (result < 0) {
            throwOsError(L"PathAllocCanonicalize failed for path " + path, errorCodeOf(result),
                         VSITE("VFileName::canonicalize"));
        }
        return stripLongPrefix(canonical);
    }
    if (!Platform::pathCanonicalize(path, canonical)) {
        throwOsError(L"PathCanonicalize failed for path " + path, Platform::getLastError(),
                     VSITE("VFileName::canonicalize"));
    }
    return canonical;
}

std::wstring removeFileSpec(const std::wstring& path) {
    std::wstring normalized = normalizePath(path);
    if (hasLongPathFunctions()) {
        std::wstring parent = longOfNormalized(normalized);
        std::int32_t result = Platform::pathCchRemoveFileSpec(parent);
        if (result != Platform::SOk && result != Platform::SFalse) {
            throwOsError(formatString(L"PathCchRemoveFileSpec(%s) failed: error code 0x%lx", path,
                                      static_cast<std::uint32_t>(result)),
                         errorCodeOf(result), VSITE("VFileName::removeFileSpec"));
        }
        return stripLongPrefix(parent);
    }
    if (normalized.size() < Platform::MaxPath) {
        Platform::pathRemoveFileSpec(normalized);
        return normalized;
    }
    std::size_t cut = normalized.rfind(L'\\');
    if (cut == std::wstring::npos) {
        return std::wstring();
    }
    std::wstring parent = normalized.substr(0, cut);
    return isDriveSpec(parent) ? parent + L"\\" : parent;
}

std::wstring root(const std::wstring& path) {
    std::wstring result = path;
    if (!Platform::pathStripToRoot(result)) {
        throwOsError(L"PathStripToRoot failed for fileName=" + path, Platform::getLastError(),
                     VSITE("VFileName::root"));
    }
    return result;
}

std::wstring longFileName(const std::wstring& path) {
    std::wstring result;
    if (!Platform::getLongPathName(path, result)) {
        throwOsError(formatString(L"GetLongPathName('%s')", path), Platform::getLastError(),
                     VSITE("VFileName::longFileName"));
    }
    return result;
}

std::wstring expandEnvironmentStrings(const std::wstring& text) {
    std::wstring expanded;
    if (!Platform::expandEnvironmentStrings(text, expanded)) {
        throwOsError(formatString(L"ExpandEnvironmentStrings(%s)", text), Platform::getLastError(),
                     VSITE("VFileName::expandEnvironmentStrings"));
    }
    return expanded;
}

void setOsVersionForTesting(std::optional<Platform::OsVersion> version) {
    osVersionOverride() = version;
}

}  // namespace VFileName

std::vector<std::wstring_view> pathComponentViews(std::wstring_view path) {
    std::vector<std::wstring_view> components;
    std::size_t begin = 0;
    while (begin < path.size()) {
        std::size_t end = begin;
        while (end < path.size() && !isSeparator(path[end])) {
            ++end;
        }
        if (end > begin) {
            components.push_back(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return components;
}

std::vector<std::wstring> splitPathComponents(std::wstring_view path) {
    std::vector<std::wstring_view> views = pathComponentViews(path);
    return std::vector<std::wstring>(views.begin(), views.end());
}

namespace VDirectory {

void createDirectory(const std::wstring& path) {
    std::wstring directory = trimTrailingSeparators(path);
    if (directory.empty()) {
        throw vexception(L"Unable to create directory with wrong name",
                         VSITE("VDirectory::createDirectory"));
    }
    std::uint32_t attributes = 0;
    if (fileExist(directory, attributes) && (attributes & Platform::FileAttribute::Directory)) {
        return;
    }
    std::wstring parent = trimTrailingSeparators(VFileName::removeFileSpec(directory));
    if (!parent.empty() && comparePaths(parent, directory) != PathEqual) {
        createDirectory(parent);
    }
    if (!Platform::createDirectory(toLongPath(directory))) {
        std::uint32_t error = Platform::getLastError();
        // Someone else may have made it in the meantime; that is as good.
        if (error == Platform::WinError::AlreadyExists && fileExist(directory, attributes) &&
            (attributes & Platform::FileAttribute::Directory)) {
            return;
        }
        throwOsError(formatString(L"CreateDirectory(%s)", directory), error, VSITE("makeDir"));
    }
}

Platform::UniqueHandle openInPlace(const std::wstring& path) {
    // Opened following links, so that the final path tells whether one led elsewhere.
    Platform::UniqueHandle handle(
        Platform::createFile(toLongPath(path), Platform::File::ReadAttributes,
                             Platform::File::ShareRead | Platform::File::ShareWrite,
                             Platform::File::OpenExisting, Platform::File::FlagBackupSemantics));
    // The handle itself is asked what it opened: a name swapped meanwhile cannot answer for it.
    std::wstring finalPath;
    Platform::ByHandleFileInformation object;
    if (!handle || !Platform::getFinalPathNameByHandle(handle.get(), finalPath) ||
        comparePaths(finalPath, path) != PathEqual ||
        !Platform::getFileInformationByHandle(handle.get(), object) ||
        !(object.attributes & Platform::FileAttribute::Directory)) {
        return {};
    }
    return handle;
}

bool createDirectoryBelow(const std::wstring& anchor, const std::wstring& path) {
    LogManager& log = LogManager::instance();
    std::wstring target = trimTrailingSeparators(stripLongPrefix(normalizePath(path)));
    std::wstring current = trimTrailingSeparators(stripLongPrefix(normalizePath(anchor)));
    PathRelation relation = comparePaths(target, current);
    if (relation != PathBelow && relation != PathEqual) {
        log.log(LogWarning, L"Folder %s is not created, because it does not lie below %s",
                target, current);
        return false;
    }
    // Each level is reached from the one above it, held open, and must be a plain folder
    // before anything is created inside it: made by us or by someone else a moment ago.
    std::wstring reached = current;
    try {
        std::optional<HeldDirectory> held = HeldDirectory::openExisting(current);
        if (!held) {
            // The directory the run is confined to is made too when an entry asks for it: one
            // plain name below its parent, which must be there.
            reached = VFileName::removeFileSpec(current);
            HeldDirectory parent = HeldDirectory::open(reached);
            reached = current;
            held = parent.child(lastComponent(current), true);
        }
        std::vector<std::wstring> names = splitPathComponents(target);
        for (std::size_t i = splitPathComponents(current).size(); i < names.size(); ++i) {
            reached = held->pathOf(names[i]);
            held = held->child(names[i], true);
        }
        return true;
    } catch (const vosexception&) {
        throw;
    } catch (const vexception&) {
        log.log(LogWarning,
                L"Folder %s is not created, because %s is a link, another reparse point or a file",
                target, reached);
        return false;
    }
}

}  // namespace VDirectory

bool VFileFinder::first(const std::wstring& pattern) {
    Platform::Handle found = Platform::findFirstFile(toLongPath(pattern), data_);
    std::uint32_t error = Platform::getLastError();
    handle_.reset(found);
    if (handle_) {
        return true;
    }
    if (error == Platform::WinError::FileNotFound || error == Platform::WinError::PathNotFound) {
        return false;
    }
    throwOsError(formatString(L"FindFirstFile(%s)", stripLongPrefix(pattern)), error,
                 VSITE("VFileFinder::first"));
}

bool VFileFinder::next() {
    if (Platform::findNextFile(handle_.get(), data_)) {
        return true;
    }
    std::uint32_t error = Platform::getLastError();
    if (error == Platform::WinError::NoMoreFiles) {
        return false;
    }
    throwOsError(L"FindNextFile", error, VSITE("VFileFinder::next"));
}

bool VFileFinder::first(const std::wstring& pattern, Result& result) {
    bool found = first(pattern);
    if (found) {
        result = {data_.fileName, data_.attributes};
    }
    return found;
}

bool VFileFinder::next(Result& result) {
    bool found = next();
    if (found) {
        result = {data_.fileName, data_.attributes};
    }
    return found;
}

bool VDirectoryListing::next(std::vector<Platform::DirectoryEntry>& entries,
                             const std::wstring& path) {
    bool restart = std::exchange(restart_, false);
    std::uint32_t error = Platform::getDirectoryEntries(directory_, restart, entries);
    if (error == Platform::WinError::Success) {
        return true;
    }
    if (error == Platform::WinError::NoMoreFiles) {
        return false;
    }
    throwOsError(formatString(L"GetFileInformationByHandleEx(%s)", path), error,
                 VSITE("VDirectoryListing::next"));
}

VGUID VGUID::create() {
    Platform::Guid bytes{};
    if (!Platform::uuidCreate(bytes)) {
        throwOsError(L"UuidCreate", Platform::getLastError(), VSITE("VGUID::create"));
    }
    return VGUID(bytes);
}

std::wstring VGUID::toString() const {
    const auto& b = bytes_;
    auto data1 = static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24);
    auto data2 = static_cast<std::uint32_t>(b[4] | b[5] << 8);
    auto data3 = static_cast<std::uint32_t>(b[6] | b[7] << 8);
    return formatString(L"%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1, data2, data3,
                        unsigned(b[8]), unsigned(b[9]), unsigned(b[10]), unsigned(b[11]),
                        unsigned(b[12]), unsigned(b[13]), unsigned(b[14]), unsigned(b[15]));
}

std::uint64_t currentFileTime() {
    using namespace std::chrono;
    constexpr std::uint64_t unixEpochAsFileTime = 116444736000000000ULL;
    auto sinceUnixEpoch = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return unixEpochAsFileTime + static_cast<std::uint64_t>(sinceUnixEpoch.count()) * 10;
}

std::wstring utcTimeStamp() {
    using namespace std::chrono;
    auto now = floor<milliseconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date(day);
    hh_mm_ss time(now - day);
    return formatString(L"%04d%02u%02uT%02d%02d%02d.%03dZ", static_cast<std::int32_t>(date.year()),
                        static_cast<std::uint32_t>(date.month()),
                        static_cast<std::uint32_t>(date.day()),
                        static_cast<std::int32_t>(time.hours().count()),
                        static_cast<std::int32_t>(time.minutes().count()),
                        static_cast<std::int32_t>(time.seconds().count()),
                        static_cast<std::int32_t>(time.subseconds().count()));
}

std::uint64_t processStartTime() {
    return processStart;
}

void removeStaleFiles(const HeldDirectory& directory, const std::wstring& pattern,
                      bool (*isOurs)(const std::wstring& name)) {
    try {
        VFileFinder finder;
        for (bool found = finder.first(VFileName::combine(directory.path(), pattern)); found;
             found = finder.next()) {
            if (finder.isDirectory() || !isOurs(finder.name()) ||
                finder.data().lastWriteTime >= processStart) {
                continue;
            }
            if (directory.remove(finder.name())) {
                LogManager::instance().log(LogInfo, L"Removed %s, left by an interrupted run",
                                           directory.pathOf(finder.name()));
            }
        }
    } catch (const vexception& e) {
        LogManager::instance().log(LogWarning, e);
    }
}

std::wstring privateTempDirectory() {
    std::wstring productRoot = trimTrailingSeparators(normalizePath(
        registry::getstr(Platform::hkeyLocalMachine(), configKey, L"PRODUCT_ROOT_D", configKeyView)));
    // A relative or empty value would put temporary files, and remove stale ones, in whatever
    // directory the run was started from.
    requirePanelFolder(L"PRODUCT_ROOT_D", productRoot);
    return VFileName::combine(productRoot, L"PrivateTemp");
}

bool isPrivateTempFileName(const std::wstring& name) {
    if (name.size() < 8 || name.size() > 11 ||
        !Platform::equalsNoCase(std::wstring_view(name).substr(name.size() - 4), L".tmp")) {
        return false;
    }
    return std::all_of(name.begin(), name.end() - 4, isHexDigit);
}

void removeStalePrivateTemporaries() {
    std::wstring directory;
    try {
        directory = privateTempDirectory();
    } catch (const vexception&) {
        return;  // no panel directory, so nothing of ours: the system's one is everybody's
    }
    try {
        if (std::optional<HeldDirectory> held = HeldDirectory::openExisting(directory)) {
            removeStaleFiles(*held, L"*.tmp", isPrivateTempFileName);
        }
    } catch (const vexception& e) {
        LogManager::instance().log(LogWarning, e);
    }
}

std::wstring privateTempFileName() {
    std::wstring directory;
    std::uint32_t attributes = 0;
    try {
        directory = privateTempDirectory();
        if (!fileExist(directory)) {
            VDirectory::createDirectory(directory);
        }
        if (!fileExist(directory, attributes) ||
            !(attributes & Platform::FileAttribute::Directory)) {
            directory.clear();
        }
    } catch (const vexception&) {
        // Without the panel's directory the system's temporary directory serves.
        directory.clear();
    }
    if (directory.empty() && !Platform::getTempPath(directory)) {
        throwOsError(L"GetTempPath", Platform::getLastError(), VSITE("privateTempFileName"));
    }
    std::wstring name;
    if (Platform::getTempFileName(directory, VGUID::create().toString(), 0, name) == 0) {
        throwOsError(L"GetTempFileName in " + directory, Platform::getLastError(),
                     VSITE("privateTempFileName"));
    }
    return name;
}

std::string readToEnd(Platform::Handle file, const std::wstring& failure, const char* function) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        std::uint32_t read = 0;
        if (!Platform::readFile(file, buffer, sizeof buffer, &read)) {
            throwOsError(failure, Platform::getLastError(), VSITE(function));
        }
        if (read == 0) {
            return bytes;
        }
        bytes.append(buffer, read);
    }
}

std::wstring processesHolding(const std::wstring& path) {
    std::wstring list;
    for (const auto& holder : Platform::processesHoldingFile(toLongPath(path))) {
        list += (list.empty() ? L"" : L", ") + holder.name + L" (" +
                std::to_wstring(holder.processId) + L")";
    }
    return list;
}
