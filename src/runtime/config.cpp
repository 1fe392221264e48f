#include "runtime/config.h"

#include <atomic>
#include <cwctype>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/filename.h"
#include "runtime/registry.h"

namespace {

// A DWORD switch of the configuration key. The logger asks for Debug on every message, so the
// registry is read only on the first query and then on every sixteenth (when the counter's low
// four bits are zero before it counts this query). The value and counter are process-wide and
// need no lock: a lost update only moves the next re-read.
class CachedSwitch {
public:
    explicit constexpr CachedSwitch(const wchar_t* name) : name_(name) {}

    std::uint32_t get() {
        if ((counter_.fetch_add(1, std::memory_order_relaxed) & 0xF) == 0) {
            std::uint32_t value = 0;
            try {
                if (registry::lookup(Platform::hkeyLocalMachine(), configKey, name_, value,
                                     configKeyView) == 0) {
                    value_.store(value, std::memory_order_relaxed);
                }
            } catch (...) {
                // A value of the wrong type is a failed read like a missing one.
            }
        }
        return value_.load(std::memory_order_relaxed);
    }

    void reset() {
        counter_.store(0);
        value_.store(0);
    }

private:
    const wchar_t* name_;
    std::atomic<std::uint32_t> counter_{0};
    std::atomic<std::uint32_t> value_{0};
};

constinit CachedSwitch debugSwitch(L"Debug");
constinit CachedSwitch securityDebugSwitch(L"DebugSecuritySettings");

// The panel's management service answers parameter questions from the same configuration key
// the panel writes; reading the key directly gives the same answers without the service.
std::wstring askPanel(const std::wstring& name) {
    try {
        return registry::getstr(Platform::hkeyLocalMachine(), configKey, name, configKeyView);
    } catch (vexception& e) {
        e.add(VSITE_TEXT(formatString(L"getString(%s)", name), "TarnoSrvClient::getString"));
        throw;
    }
}

std::wstring normalised(const std::wstring& path) {
    return trimTrailingSeparators(normalizePath(path));
}

[[noreturn]] void refuseParameter(const std::wstring& name, const std::wstring& value,
                                  const std::wstring& why) {
    throw vexception(formatString(L"Invalid value '%s' of the panel parameter %s: %s", value,
                                  name, why),
                     VSITE("panelParameter"));
}

const wchar_t* otherName(const std::wstring& name) {
    return name == L"PRODUCT_ROOT_D" ? L"HTTPD_VHOSTS_D" : L"PRODUCT_ROOT_D";
}

// The other of the two folders, when the panel names it; only for comparing.
std::optional<std::wstring> otherFolder(const std::wstring& name) {
    try {
        return normalised(askPanel(otherName(name)));
    } catch (const vexception&) {
        return std::nullopt;
    }
}

// The panel's two folders, checked against each other.
std::wstring checkedFolder(const std::wstring& name) {
    std::wstring value = normalised(askPanel(name));
    if (name != L"PRODUCT_ROOT_D" && name != L"HTTPD_VHOSTS_D") {
        return value;
    }
    requirePanelFolder(name, value);
    if (std::optional<std::wstring> other = otherFolder(name); other && !other->empty()) {
        PathRelation relation = comparePaths(value, *other);
        if (relation == PathEqual || relation == PathBelow || relation == PathAbove) {
            refuseParameter(name, value,
                            formatString(L"it overlaps the folder '%s' of the panel parameter "
                                         L"%s, and each must lie outside the other",
                                         *other, otherName(name)));
        }
    }
    return value;
}

}  // namespace

bool isDebugOn() {
    return debugSwitch.get() != 0;
}

bool isSecurityDebugOn() {
    return securityDebugSwitch.get() != 0 && isDebugOn();
}

void requirePanelFolder(const std::wstring& name, const std::wstring& value) {
    std::wstring path = stripLongPrefix(value);
    bool unc = path.starts_with(L"\\\\");
    bool drive = path.size() >= 2 && std::iswalpha(path[0]) && path[1] == L':' &&
                 (path.size() == 2 || path[2] == L'\\');
    if (!unc && !drive) {
        refuseParameter(name, value, L"it is not an absolute path");
    }
    std::vector<std::wstring_view> components = pathComponentViews(path);
    std::size_t rootComponents = unc ? 2 : 1;
    if (components.size() <= rootComponents) {
        refuseParameter(name, value, L"it is the root of a drive or share");
    }
    // Below the root, each folder that exists is a plain folder: a link on the way would aim
    // every run at whatever its target is.
    std::wstring prefix = unc ? L"\\\\" : L"";
    for (std::size_t i = 0; i < components.size(); ++i) {
        prefix += (i == 0 ? L"" : L"\\") + std::wstring(components[i]);
        std::uint32_t attributes = 0;
        if (i < rootComponents) {
            continue;
        }
        if (!fileExist(prefix, attributes)) {
            break;
        }
        if (attributes & Platform::FileAttribute::ReparsePoint) {
            refuseParameter(name, value,
                            formatString(L"its folder %s is a link or another reparse point",
                                         prefix));
        }
    }
}

std::wstring panelParameter(const std::wstring& name) {
    if (name != L"PRODUCT_ROOT_D") {
        return checkedFolder(name);
    }
    // Asked once; a failed question is not remembered, so a later call asks again.
    static std::mutex lock;
    static std::optional<std::wstring> productRoot;
    std::lock_guard guard(lock);
    if (!productRoot) {
        productRoot = checkedFolder(name);
    }
    return *productRoot;
}

void resetDebugSwitchesForTesting() {
    debugSwitch.reset();
    securityDebugSwitch.reset();
}
