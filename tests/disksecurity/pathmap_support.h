// What the tests of path templates and of the path-to-entries mapping share: registry values
// set for one test and put back afterwards, a component of the catalogue that lives for one
// test, the security debugging switch, and Windows paths on drive C: of the shared host.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "disksecurity/component_catalogue.h"
#include "disksecurity_support.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "runtime/config.h"
#include "runtime/registry.h"

namespace PathMapTest {

// UTF-16LE bytes of a REG_SZ (one string) or a REG_MULTI_SZ (several).
inline std::vector<std::uint8_t> registryText(const std::vector<std::wstring>& strings,
                                              bool multi) {
    std::vector<std::uint8_t> bytes;
    auto add = [&](const std::wstring& text) {
        for (char16_t unit : Platform::toUtf16(text)) {
            bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
        bytes.push_back(0);
        bytes.push_back(0);
    };
    for (const auto& text : strings) {
        add(text);
    }
    if (multi) {
        add(L"");
    }
    return bytes;
}

// One value below HKEY_LOCAL_MACHINE that a test sets or removes; the value that was there
// (or its absence) comes back when the test ends.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(const std::wstring& subKey, std::wstring name, int view = 1)
        : name_(std::move(name)) {
        DiskSecurityTest::sharedHost();
        registry::create(Platform::hkeyLocalMachine(), subKey, key_,
                         registry::KeyAllAccess | registry::viewFlag(view));
        std::uint32_t size = 0;
        if (Platform::regQueryValueEx(key_.get(), name_, &type_, nullptr, &size) == 0) {
            old_.resize(size);
            had_ = Platform::regQueryValueEx(key_.get(), name_, &type_, old_.data(), &size) == 0;
        }
    }
    ~ScopedRegistryValue() {
        if (had_) {
            Platform::regSetValueEx(key_.get(), name_, type_, old_.data(),
                                    static_cast<std::uint32_t>(old_.size()));
        } else {
            Platform::regDeleteValue(key_.get(), name_);
        }
    }
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    void set(std::uint32_t type, const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(Platform::regSetValueEx(key_.get(), name_, type, data.data(),
                                          static_cast<std::uint32_t>(data.size())),
                  0u);
    }
    void setString(const std::wstring& text) { set(registry::RegSz, registryText({text}, false)); }
    void setMultiString(const std::vector<std::wstring>& strings) {
        set(registry::RegMultiSz, registryText(strings, true));
    }
    void remove() { Platform::regDeleteValue(key_.get(), name_); }

private:
    registry::Key key_;
    std::wstring name_;
    std::uint32_t type_ = 0;
    std::vector<std::uint8_t> old_;
    bool had_ = false;
};

// A component of the catalogue for one test, gone afterwards.
class ScopedComponent {
public:
    explicit ScopedComponent(const std::wstring& name)
        : subKey_(std::wstring(DiskSecurity::componentsKey) + L"\\" + name) {
        DiskSecurityTest::sharedHost();
        registry::create(Platform::hkeyLocalMachine(), subKey_, key_,
                         registry::KeyAllAccess | registry::viewFlag(1));
    }
    ~ScopedComponent() {
        key_.reset();
        Platform::regDeleteKeyEx(Platform::hkeyLocalMachine(), subKey_,
                                 registry::viewFlag(DiskSecurity::componentsKeyView));
    }
    ScopedComponent(const ScopedComponent&) = delete;
    ScopedComponent& operator=(const ScopedComponent&) = delete;

    void set(const std::wstring& name, std::uint32_t type, const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(Platform::regSetValueEx(key_.get(), name, type, data.data(),
                                          static_cast<std::uint32_t>(data.size())),
                  0u);
    }
    void installPath(const std::wstring& path) {
        set(L"InstallPath", registry::RegSz, registryText({path}, false));
    }
    void additionalPaths(const std::vector<std::wstring>& paths) {
        set(L"AdditionalPaths", registry::RegMultiSz, registryText(paths, true));
    }

private:
    std::wstring subKey_;
    registry::Key key_;
};

// Security debugging on ("Debug" and "DebugSecuritySettings" set) for one scope.
class SecurityDebugging {
public:
    SecurityDebugging()
        : debug_(configKey, L"Debug"), securityDebug_(configKey, L"DebugSecuritySettings") {
        debug_.set(registry::RegDword, {1, 0, 0, 0});
        securityDebug_.set(registry::RegDword, {1, 0, 0, 0});
        resetDebugSwitchesForTesting();
        DiskSecurityTest::LogRecorder::instance().clear();
    }
    ~SecurityDebugging() {
        securityDebug_.remove();
        resetDebugSwitchesForTesting();
    }

private:
    ScopedRegistryValue debug_;
    ScopedRegistryValue securityDebug_;
};

// The POSIX path of a Windows path "C:\..." of the shared host.
inline std::filesystem::path onDisk(const std::wstring& windowsPath) {
    std::string rest = Platform::toUtf8(windowsPath.substr(3));
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    return DiskSecurityTest::sharedHost().driveC() / rest;
}

// Creates a folder "C:\..." of the shared host with its parents.
inline void makeFolder(const std::wstring& windowsPath) {
    std::filesystem::create_directories(onDisk(windowsPath));
}

}  // namespace PathMapTest
