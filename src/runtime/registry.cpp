#include "runtime/registry.h"

#include <new>
#include <vector>

#include "platform/system.h"
#include "platform/text.h"
#include "runtime/exceptions.h"

namespace registry {
namespace {

bool isStringType(std::uint32_t type) {
    return type == RegSz || type == RegExpandSz;
}

// REG_SZ and REG_EXPAND_SZ stand for each other: the panel writes either, depending on
// whether the value holds %VARIABLES%.
bool typeMatches(std::uint32_t stored, std::uint32_t expected) {
    return stored == expected || (isStringType(stored) && isStringType(expected));
}

std::wstring valuePath(const std::wstring& subKey, const std::wstring& name) {
    return subKey.empty() ? name : subKey + L"\\" + name;
}

// UTF-16LE data up to its terminating NUL, or all of it when the writer left the NUL out.
std::wstring textOf(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    units.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return Platform::fromUtf16(units);
}

std::wstring storedText(std::uint32_t type, const std::uint8_t* data, std::size_t size) {
    std::wstring text = textOf(data, size);
    if (type != RegExpandSz) {
        return text;
    }
    std::wstring expanded;
    return Platform::expandEnvironmentStrings(text, expanded) ? expanded : text;
}

std::uint32_t readString(Platform::RegKey key, const std::wstring& subKey, const std::wstring& name,
                         std::wstring& value, std::uint32_t expectedType) {
    std::uint32_t longest = 0;
    if (std::uint32_t error =
            Platform::regQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, &longest)) {
        return error;
    }
    std::vector<std::uint8_t> buffer(longest + 2);  // room for a NUL the data may lack
    std::uint32_t type = 0;
    std::uint32_t size = longest;
    if (std::uint32_t error = Platform::regQueryValueEx(key, name, &type, buffer.data(), &size)) {
        return error;
    }
    if (!typeMatches(type, expectedType)) {
        throw vexception(L"RegQueryValueEx invalid type of '" + valuePath(subKey, name) + L"'",
                         VSITE("registry::lookup"));
    }
    value = storedText(type, buffer.data(), size);
    return 0;
}

std::uint32_t readDword(Platform::RegKey key, const std::wstring& subKey, const std::wstring& name,
                        std::uint32_t& value) {
    std::uint8_t buffer[4] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof(buffer);
    std::uint32_t error = Platform::regQueryValueEx(key, name, &type, buffer, &size);
    // A value too large for a DWORD is a mismatch, not a read error: the type and size are
    // known even then.
    if (error != 0 && error != Platform::WinError::MoreData) {
        return error;
    }
    if (type != RegDword) {
        throw vexception(L"RegQueryValueEx invalid type of '" + valuePath(subKey, name) + L"'",
                         VSITE("registry::lookup"));
    }
    if (error != 0 || size != sizeof(buffer)) {
        throw vexception(L"RegQueryValueEx invalid size of '" + valuePath(subKey, name) + L"'",
                         VSITE("registry::lookup"));
    }
    value =
        buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
    return 0;
}

std::uint32_t openForQuery(Platform::RegKey root, const std::wstring& subKey, int view, Key& key) {
    Platform::RegKey raw = nullptr;
    std::uint32_t error =
        Platform::regOpenKeyEx(root, subKey, 0, KeyQueryValue | viewFlag(view), &raw);
    if (error == 0) {
        key.reset(raw, subKey);
    }
    return error;
}

}  // namespace

std::uint32_t viewFlag(int view) {
    switch (view) {
        case 1:
            return KeyWow64_32Key;
        case 2:
        case 3:
            return KeyWow64_64Key;
        default:
            return 0;
    }
}

std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::wstring& value, std::uint32_t expectedType, int view) {
    Key key;
    if (std::uint32_t error = openForQuery(root, subKey, view, key)) {
        return error;
    }
    return readString(key.get(), subKey, name, value, expectedType);
}

std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::uint32_t& value, int view) {
    Key key;
    if (std::uint32_t error = openForQuery(root, subKey, view, key)) {
        return error;
    }
    return readDword(key.get(), subKey, name, value);
}

std::uint32_t lookup(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                     std::vector<std::wstring>& values, int view) {
    Key key;
    if (std::uint32_t error = openForQuery(root, subKey, view, key)) {
        return error;
    }
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    if (std::uint32_t error = Platform::regQueryValueEx(key.get(), name, &type, nullptr, &size)) {
        return error;
    }
    if (type != RegMultiSz) {
        throw vexception(L"RegQueryValueEx invalid type of '" + valuePath(subKey, name) + L"'",
                         VSITE("registry::lookup"));
    }
    std::vector<std::uint8_t> buffer(size + 4);  // room for the two NULs the data may lack
    if (std::uint32_t error =
            Platform::regQueryValueEx(key.get(), name, &type, buffer.data(), &size)) {
        return error;
    }
    std::vector<std::wstring> strings;
    for (std::size_t offset = 0; offset + 1 < size;) {
        std::wstring text = textOf(buffer.data() + offset, size - offset);
        if (text.empty()) {
            break;
        }
        offset += (Platform::toUtf16(text).size() + 1) * 2;
        strings.push_back(std::move(text));
    }
    values = std::move(strings);
    return 0;
}

std::uint32_t lookup(const Key& key, const std::wstring& name, std::wstring& value) {
    return readString(key.get(), key.subKey(), name, value, RegSz);
}

std::uint32_t lookup(const Key& key, const std::wstring& name, std::uint32_t& value) {
    return readDword(key.get(), key.subKey(), name, value);
}

std::wstring getstr(Platform::RegKey root, const std::wstring& subKey, const std::wstring& name,
                    int view) {
    std::wstring value;
    if (std::uint32_t error = lookup(root, subKey, name, value, RegSz, view)) {
        throwOsError(withHostDetail(L"lookup subKey=" + subKey + L" value=" + name, error), error,
                     VSITE("registry::getstr"));
    }
    return value;
}

void get(const Key& key, const std::wstring& name, std::uint32_t& value) {
    std::uint8_t buffer[4] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof(buffer);
    std::uint32_t error = Platform::regQueryValueEx(key.get(), name, &type, buffer, &size);
    if (error != 0 && error != Platform::WinError::MoreData) {
        throwOsError(withHostDetail(L"RegQueryValueEx valueName=" + name, error), error,
                     VSITE("registry::get"));
    }
    if (type != RegDword) {
        throw vexception(L"Type mismatch valueName=" + name, VSITE("registry::get"));
    }
    if (error != 0 || size != sizeof(buffer)) {
        throw vexception(L"size mismatch valueName=" + name, VSITE("registry::get"));
    }
    value =
        buffer[0] | buffer[1] << 8 | buffer[2] << 16 | static_cast<std::uint32_t>(buffer[3]) << 24;
}

void get(const Key& key, const std::wstring& name, std::wstring& value) {
    std::uint32_t longest = 0;
    if (std::uint32_t error =
            Platform::regQueryInfoKey(key.get(), nullptr, nullptr, nullptr, nullptr, &longest)) {
        throwOsError(withHostDetail(L"RegQueryInfoKey valueName=" + name, error), error,
                     VSITE("registry::get"));
    }
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(longest + 2);
    } catch (const std::bad_alloc&) {
        throw vexception(L"Out of memory", VSITE("registry::get"));
    }
    std::uint32_t type = 0;
    std::uint32_t size = longest;
    if (std::uint32_t error =
            Platform::regQueryValueEx(key.get(), name, &type, buffer.data(), &size)) {
        throwOsError(withHostDetail(L"RegQueryValueEx valueName=" + name, error), error,
                     VSITE("registry::get"));
    }
    if (!isStringType(type)) {
        throw vexception(L"Type mismatch valueName=" + name, VSITE("registry::get"));
    }
    value = storedText(type, buffer.data(), size);
}

void open(Platform::RegKey root, const std::wstring& subKey, Key& out, std::uint32_t access) {
    Platform::RegKey raw = nullptr;
    if (std::uint32_t error = Platform::regOpenKeyEx(root, subKey, 0, access, &raw)) {
        throwOsError(withHostDetail(L"RegOpenKeyEx subKey=" + subKey, error), error,
                     VSITE("registry::open"));
    }
    out.reset(raw, subKey);
}

void create(Platform::RegKey root, const std::wstring& subKey, Key& out, std::uint32_t access) {
    Platform::RegKey raw = nullptr;
    if (std::uint32_t error = Platform::regCreateKeyEx(
            root, subKey, Platform::Reg::RegOptionNonVolatile, access, &raw, nullptr)) {
        throwOsError(withHostDetail(L"RegCreateKeyEx subKey=" + subKey, error), error,
                     VSITE("registry::create"));
    }
    out.reset(raw, subKey);
}

void set(const Key& key, const std::wstring& name, const std::wstring& value) {
    std::u16string units = Platform::toUtf16(value);
    units.push_back(0);  // the length written includes the terminating NUL
    std::vector<std::uint8_t> data;
    data.reserve(units.size() * 2);
    for (char16_t unit : units) {
        data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    if (std::uint32_t error = Platform::regSetValueEx(key.get(), name, RegSz, data.data(),
                                                      static_cast<std::uint32_t>(data.size()))) {
        throwOsError(withHostDetail(L"RegSetValueEx valueName=" + name, error), error,
                     VSITE("registry::set"));
    }
}

void set(const Key& key, const std::wstring& name, std::uint32_t value) {
    const std::uint8_t data[4] = {
        static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
        static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    if (std::uint32_t error = Platform::regSetValueEx(key.get(), name, RegDword, data, 4)) {
        throwOsError(withHostDetail(L"RegSetValueEx valueName=" + name, error), error,
                     VSITE("registry::set"));
    }
}

bool keyExists(Platform::RegKey root, const std::wstring& subKey, int view) {
    Key key;
    std::uint32_t error = openForQuery(root, subKey, view, key);
    if (error == Platform::WinError::FileNotFound) {
        return false;
    }
    if (error != 0) {
        throwOsError(withHostDetail(L"RegOpenKeyEx subKey=" + subKey, error), error,
                     VSITE("registry::keyExists"));
    }
    return true;
}

}  // namespace registry

Wow64RegRedirection::Wow64RegRedirection(Platform::RegKey key) : key_(key) {
    if (std::uint32_t error = Platform::regDisableReflectionKey(key)) {
        throwOsError(withHostDetail(L"Unable to change registry reflection key mode", error), error,
                     VSITE("Wow64RegRedirection::Wow64RegRedirection"));
    }
}

Wow64RegRedirection::~Wow64RegRedirection() {
    Platform::regEnableReflectionKey(key_);
}
