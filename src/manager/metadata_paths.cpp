#include "manager/metadata_paths.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/text.h"
#include "runtime/filename.h"
#include "runtime/vpath.h"

namespace Tavrel {
namespace {

constexpr const wchar_t* metadataSuffix = L".Security";
constexpr const wchar_t* metadataDirectoryName = L".tarno";

[[noreturn]] void refuseName(const std::wstring& parameter, const std::wstring& value,
                             const wchar_t* reason) {
    throw vexception(L"Invalid " + parameter + L" '" + value + L"': " + reason,
                     VSITE("Tavrel::requirePlainName"));
}

// The components of `relative` name a path inside web user U of webspace W: W\web_users\U\...
bool inWebUserDirectory(const std::vector<std::wstring_view>& components) {
    return components.size() > 2 && MetadataPaths::isWebUsers(components[1]);
}

}  // namespace

void requirePlainName(const std::wstring& parameter, const std::wstring& value) {
    if (value.empty()) {
        refuseName(parameter, value, L"a name is required");
    }
    if (value.find_first_of(L"\\/") != std::wstring::npos) {
        refuseName(parameter, value, L"it must be a single path component, without '\\' or '/'");
    }
    if (value.find(L':') != std::wstring::npos) {
        refuseName(parameter, value, L"it must not contain ':' (a drive or a stream)");
    }
    if (value.find(L'\0') != std::wstring::npos) {
        refuseName(parameter, value, L"it must not contain a NUL character");
    }
    // Windows drops trailing dots and blanks of a file name: ".", "..", "..." and "x." would
    // all name another directory than the one written.
    if (value.back() == L'.' || value.back() == L' ') {
        refuseName(parameter, value, L"it must not be '.' or '..' nor end with '.' or a blank");
    }
}

void requireRelativePath(const std::wstring& parameter, const std::wstring& value) {
    std::size_t begin = 0;
    while (begin <= value.size()) {
        std::size_t end = value.find_first_of(L"\\/", begin);
        if (end == std::wstring::npos) {
            end = value.size();
        }
        std::wstring component = value.substr(begin, end - begin);
        if (component.empty() && !value.empty()) {
            refuseName(parameter, value, L"it must be a relative path without empty components");
        }
        if (!component.empty()) {
            requirePlainName(parameter, component);
        }
        begin = end + 1;
    }
}

namespace MetadataPaths {

std::wstring domainMetadataFile(const std::wstring& webspace, const std::wstring& base) {
    if (webspace.empty()) {
        return VFileName::combine(base, metadataSuffix);
    }
    return VFileName::combine(base, webspace + L"\\.tarno\\" + metadataSuffix);
}

std::wstring webUserMetadataFile(const std::wstring& webspace, const std::wstring& webUser,
                                 const std::wstring& base) {
    return VFileName::combine(base, webspace + L"\\.tarno\\.Web." + webUser + metadataSuffix);
}

std::wstring pathMetadataFile(const std::wstring& directory) {
    return VFileName::combine(directory, metadataSuffix);
}

std::wstring getRootRelativePath(const std::wstring& fullPath, const std::wstring& root,
                                 bool firstComponentOnly) {
    // "." and ".." are resolved first: a path that climbs out of the root is outside it.
    VPath path(fullPath);
    std::optional<std::wstring_view> relative = path.below(VPath(root));
    if (!relative) {
        throw RootCorrelationException(
            L"Invalid full path '" + fullPath + L"' and root '" + root + L"' correlation.",
            VSITE("Tavrel::SecurityManager::getRootRelativePath"));
    }
    return std::wstring(firstComponentOnly ? relative->substr(0, relative->find(L'\\'))
                                           : *relative);
}

std::wstring metadataFileFor(std::wstring_view relative, const std::wstring& root,
                             const std::wstring& base) {
    std::vector<std::wstring_view> components = pathComponentViews(relative);
    if (components.empty()) {
        return domainMetadataFile(std::wstring(), root);
    }
    std::wstring webspace(components[0]);
    if (inWebUserDirectory(components)) {
        return webUserMetadataFile(webspace, std::wstring(components[2]), base);
    }
    return domainMetadataFile(webspace, base);
}

std::wstring metadataOwner(std::wstring_view relative) {
    std::vector<std::wstring_view> components = pathComponentViews(relative);
    if (components.empty()) {
        return std::wstring();
    }
    std::wstring owner(components[0]);
    if (inWebUserDirectory(components)) {
        owner.append(L"\\").append(components[1]).append(L"\\").append(components[2]);
    }
    return owner;
}

std::wstring scopeOfSubPath(const std::wstring& subPath, const std::wstring& root) {
    std::vector<std::wstring_view> components = pathComponentViews(subPath);
    if (components.empty()) {
        return std::wstring();
    }
    std::wstring webspace(components[0]);
    if (inWebUserDirectory(components)) {
        return VFileName::combine(root, webspace + L"\\web_users\\" + std::wstring(components[2]));
    }
    return VFileName::combine(root, webspace);
}

bool isWebUsers(std::wstring_view component) {
    constexpr std::wstring_view name = L"web_users";
    return component.size() == name.size() &&
           std::equal(component.begin(), component.end(), name.begin(),
                      [](wchar_t c, wchar_t lower) { return Platform::downcase(c) == lower; });
}

bool isMetadataDirectory(const std::wstring& directory) {
    return lastComponent(trimTrailingSeparators(directory)) == metadataDirectoryName;
}

bool namesMetadataDirectory(const std::wstring& directory) {
    return Platform::toLower(lastComponent(trimTrailingSeparators(directory))) ==
           metadataDirectoryName;
}

}  // namespace MetadataPaths
}  // namespace Tavrel
