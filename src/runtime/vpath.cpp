#include "runtime/vpath.h"

#include <vector>

namespace {

constexpr std::wstring_view longPrefix = L"\\\\?\\";

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool isDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// The next component of `rest` (separators before it skipped), taken off `rest`.
std::wstring_view takeComponent(std::wstring_view& rest) {
    while (!rest.empty() && isSeparator(rest.front())) {
        rest.remove_prefix(1);
    }
    std::size_t end = 0;
    while (end < rest.size() && !isSeparator(rest[end])) {
        ++end;
    }
    std::wstring_view component = rest.substr(0, end);
    rest.remove_prefix(end);
    return component;
}

}  // namespace

VPath::VPath(std::wstring_view entered) {
    std::wstring_view rest = entered;
    bool prefixed = rest.size() >= 4 && isSeparator(rest[0]) &&
                    (isSeparator(rest[1]) || rest[1] == L'?') && rest[2] == L'?' &&
                    isSeparator(rest[3]);
    if (prefixed) {
        rest.remove_prefix(4);
        if (rest.size() >= 4 && (rest[0] == L'U' || rest[0] == L'u') &&
            (rest[1] == L'N' || rest[1] == L'n') && (rest[2] == L'C' || rest[2] == L'c') &&
            isSeparator(rest[3])) {
            // \\?\UNC\server\share is the share's long form: kept as the UNC path it names.
            rest.remove_prefix(3);
            prefixed = false;
            long_ = L"\\";
        }
    }
    if (rest.size() >= 2 && isDriveLetter(rest[0]) && rest[1] == L':') {
        long_ = std::wstring(longPrefix) + std::wstring(rest.substr(0, 2)) + L"\\";
        prefix_ = longPrefix.size();
        rest.remove_prefix(2);
    } else if (prefixed) {
        // Another object of the namespace (a volume): its first component is its root.
        long_ = std::wstring(longPrefix) + std::wstring(takeComponent(rest));
        prefix_ = longPrefix.size();
    } else if (!long_.empty() || (rest.size() >= 2 && isSeparator(rest[0]) && isSeparator(rest[1]))) {
        bool device = long_.empty() && rest.size() >= 4 && rest[2] == L'.' && isSeparator(rest[3]);
        long_ = L"\\\\";
        if (device) {
            long_ += L".\\";
            rest.remove_prefix(4);
        }
        // A device's root is its name, a share's the server and the share.
        long_ += takeComponent(rest);
        if (!device) {
            if (std::wstring_view share = takeComponent(rest); !share.empty()) {
                long_.append(L"\\").append(share);
            }
        }
    } else if (!rest.empty() && isSeparator(rest[0])) {
        long_ = L"\\";
    }
    root_ = long_.size();
    std::vector<std::wstring_view> components;
    while (!rest.empty()) {
        std::wstring_view component = takeComponent(rest);
        if (component.empty() || component == L".") {
            continue;
        }
        if (component == L"..") {
            if (!components.empty() && components.back() != L"..") {
                components.pop_back();
            } else if (root_ == 0) {
                components.push_back(component);  // a relative path keeps what it cannot take
            }
            continue;
        }
        components.push_back(component);
    }
    for (std::wstring_view component : components) {
        extend(component);
    }
}

std::wstring_view VPath::name() const {
    if (long_.size() <= root_) {
        return {};
    }
    std::size_t slash = long_.rfind(L'\\');
    return std::wstring_view(long_).substr(slash == std::wstring::npos ? 0 : slash + 1);
}

VPath VPath::child(std::wstring_view name) const {
    VPath path = *this;
    path.extend(name);
    return path;
}

VPath VPath::parent() const {
    VPath path = *this;
    std::size_t slash = long_.rfind(L'\\');
    path.long_.resize(slash == std::wstring::npos || slash < root_ ? root_ : slash);
    return path;
}

std::size_t VPath::extend(std::wstring_view name) {
    std::size_t length = long_.size();
    if (!long_.empty() && long_.back() != L'\\') {
        long_ += L'\\';
    }
    long_ += name;
    return length;
}

bool VPath::isAtOrBelow(const VPath& root) const {
    PathRelation relation = compare(root);
    return relation == PathEqual || relation == PathBelow;
}

std::optional<std::wstring_view> VPath::below(const VPath& root) const {
    if (!isAtOrBelow(root)) {
        return std::nullopt;
    }
    // Both are normalised: this path is the root's components, then its own.
    std::wstring_view top = root.shown();
    std::wstring_view rest = shown();
    while (!takeComponent(top).empty()) {
        takeComponent(rest);
    }
    while (!rest.empty() && isSeparator(rest.front())) {
        rest.remove_prefix(1);
    }
    return rest;
}
