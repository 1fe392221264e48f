// The registry access layer through which every configuration read goes. The lookups return
// the Win32 error code and leave their output unchanged on failure, so that a caller with a
// default keeps it; the other operations raise the operating-system error (vosexception). A
// value of the wrong type or size always raises.
//
// View arguments: 1 = the 32-bit view (KEY_WOW64_32KEY), 2 or 3 = the 64-bit view
// (KEY_WOW64_64KEY), anything else = the process's default view.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/unique.h"

namespace registry {

// The Win32 constants callers pass through this layer.
using Platform::Reg::KeyAllAccess;
using Platform::Reg::KeyCreateSubKey;
using Platform::Reg::KeyEnumerateSubKeys;
using Platform::Reg::KeyQueryValue;
using Platform::Reg::KeyRead;
using Platform::Reg::KeySetValue;
using Platform::Reg::KeyWow64_32Key;
using Platform::Reg::KeyWow64_64Key;
using Platform::Reg::KeyWrite;
using Platform::Reg::ReadControl;
using Platform::Reg::RegBinary;
using Platform::Reg::RegDword;
using Platform::Reg::RegExpandSz;
using Platform::Reg::RegMultiSz;
using Platform::Reg::RegSz;

// An open key, closed (RegCloseKey) when the holder goes. Remembers the subkey it was opened
// by, for the failure texts of the value operations.
class Key {
public:
    Key() = default;
    explicit Key(Platform::RegKey key, std::wstring subKey = {})
        : key_(key), subKey_(std::move(subKey)) {}

    Platform::RegKey get() const { return key_.get(); }
    const std::wstring& subKey() const { return subKey_; }
    explicit operator bool() const { return static_cast<bool>(key_); }

    void reset(Platform::RegKey key = nullptr, std::wstring subKey = {}) {
        key_.reset(key);
        subKey_ = std::move(subKey);
    }

private:
    Platform::UniqueRegKey key_;
    std::wstring subKey_;
};

// The KEY_WOW64_* flag of a view argument (0 for the default view).
std::uint32_t viewFlag(int view);

// Reads a string value (REG_SZ and REG_EXPAND_SZ stand for each other; an expandable value is
// expanded with the process environment). Raises "RegQueryValueEx invalid type of
// '<subKey>\<name>'" when the value has another type.
std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::wstring& value, std::uint32_t expectedType, int view);
// Reads a REG_DWORD; raises "... invalid type of '...'" or "... invalid size of '...'".
std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::uint32_t& value, int view);
// Reads a REG_MULTI_SZ: its strings in order, an empty one ending the list as it does for
// Windows readers. Raises "... invalid type of '...'" when the value has another type.
std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::vector<std::wstring>& values, int view);
// The same on an open key (string expected as REG_SZ), without opening anything.
std::uint32_t lookup(const Key& key, const std::wstring& name, std::wstring& value);
std::uint32_t lookup(const Key& key, const std::wstring& name, std::uint32_t& value);

// The string value, or the operating-system error with "lookup subKey=... value=..." (so a
// missing value raises ERROR_FILE_NOT_FOUND, 2).
std::wstring getstr(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                    int view);

// Values of an open key that must be there: a DWORD, or a string (expanded when expandable).
void get(const Key& key, const std::wstring& name, std::uint32_t& value);
void get(const Key& key, const std::wstring& name, std::wstring& value);

// RegOpenKeyEx / RegCreateKeyEx (non-volatile, no class) with `access`, which carries the view
// flag when one is wanted. Raise the operating-system error.
void open(Platform::RegKey root, const std::wstring& subKey, Key& out, std::uint32_t access);
void create(Platform::RegKey root, const std::wstring& subKey, Key& out, std::uint32_t access);

// Writes a REG_SZ (with its terminating NUL) or a REG_DWORD.
void set(const Key& key, const std::wstring& name, const std::wstring& value);
void set(const Key& key, const std::wstring& name, std::uint32_t value);

// Whether the key exists in the view; false only for ERROR_FILE_NOT_FOUND, any other failure
// raises.
bool keyExists(Platform::RegKey root, const std::wstring& subKey, int view);

}  // namespace registry

// Disables registry reflection of a key for the holder's lifetime (RegDisableReflectionKey),
// so that writes in one view are not copied to the other while component detection runs.
class Wow64RegRedirection {
public:
    explicit Wow64RegRedirection(Platform::RegKey key);
    ~Wow64RegRedirection();
    Wow64RegRedirection(const Wow64RegRedirection&) = delete;
    Wow64RegRedirection& operator=(const Wow64RegRedirection&) = delete;

private:
    Platform::RegKey key_;
};
