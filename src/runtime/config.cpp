#include "runtime/config.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

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

}  // namespace

bool isDebugOn() {
    return debugSwitch.get() != 0;
}

bool isSecurityDebugOn() {
    return securityDebugSwitch.get() != 0 && isDebugOn();
}

std::wstring panelParameter(const std::wstring& name) {
    if (name != L"PRODUCT_ROOT_D") {
        return normalised(askPanel(name));
    }
    // Asked once; a failed question is not remembered, so a later call asks again.
    static std::mutex lock;
    static std::optional<std::wstring> productRoot;
    std::lock_guard guard(lock);
    if (!productRoot) {
        productRoot = normalised(askPanel(name));
    }
    return *productRoot;
}

void resetDebugSwitchesForTesting() {
    debugSwitch.reset();
    securityDebugSwitch.reset();
}
