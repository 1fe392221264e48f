// The registry seam on advapi32: each operation is the Win32 call of its name, with the
// handle passed through as the HKEY it is.
#include "platform/win32/host/win32.h"

#include "platform/registry.h"

#include <vector>


namespace Platform {
namespace {

HKEY hkey(RegKey key) {
    return static_cast<HKEY>(key);
}

// Value names reach 16,383 characters, key names 255 (the registry's element size limits).
constexpr DWORD maxValueNameChars = 16384;
constexpr DWORD maxKeyNameChars = 256;

}  // namespace

std::uint32_t regOpenKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t options,
                           std::uint32_t samDesired, RegKey* result) {
    HKEY opened = nullptr;
    LSTATUS status = ::RegOpenKeyExW(hkey(root), subKey.c_str(), options, samDesired, &opened);
    *result = status == ERROR_SUCCESS ? opened : nullptr;
    return static_cast<std::uint32_t>(status);
}

std::uint32_t regCreateKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t options,
                             std::uint32_t samDesired, RegKey* result,
                             std::uint32_t* disposition) {
    HKEY opened = nullptr;
    DWORD how = 0;
    LSTATUS status = ::RegCreateKeyExW(hkey(root), subKey.c_str(), 0, nullptr, options, samDesired,
                                       nullptr, &opened, &how);
    *result = status == ERROR_SUCCESS ? opened : nullptr;
    if (disposition && status == ERROR_SUCCESS) {
        *disposition = how;
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t regQueryValueEx(RegKey key, const std::wstring& name, std::uint32_t* type,
                              std::uint8_t* data, std::uint32_t* dataSize) {
    DWORD valueType = 0;
    DWORD size = dataSize ? *dataSize : 0;
    LSTATUS status = ::RegQueryValueExW(hkey(key), name.c_str(), nullptr, &valueType, data,
                                        dataSize ? &size : nullptr);
    if (type) {
        *type = valueType;
    }
    if (dataSize) {
        *dataSize = size;
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t regQueryInfoKey(RegKey key, std::uint32_t* subKeyCount,
                              std::uint32_t* maxSubKeyLen, std::uint32_t* valueCount,
                              std::uint32_t* maxValueNameLen, std::uint32_t* maxValueLen) {
    DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
    LSTATUS status =
        ::RegQueryInfoKeyW(hkey(key), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                           &values, &maxValueName, &maxValue, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
        if (subKeyCount) *subKeyCount = subKeys;
        if (maxSubKeyLen) *maxSubKeyLen = maxSubKey;
        if (valueCount) *valueCount = values;
        if (maxValueNameLen) *maxValueNameLen = maxValueName;
        if (maxValueLen) *maxValueLen = maxValue;
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t regSetValueEx(RegKey key, const std::wstring& name, std::uint32_t type,
                            const std::uint8_t* data, std::uint32_t dataSize) {
    return static_cast<std::uint32_t>(
        ::RegSetValueExW(hkey(key), name.c_str(), 0, type, data, dataSize));
}

std::uint32_t regDeleteValue(RegKey key, const std::wstring& name) {
    return static_cast<std::uint32_t>(::RegDeleteValueW(hkey(key), name.c_str()));
}

std::uint32_t regDeleteKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t samDesired) {
    return static_cast<std::uint32_t>(
        ::RegDeleteKeyExW(hkey(root), subKey.c_str(), samDesired, 0));
}

std::uint32_t regDeleteTree(RegKey key, const std::wstring& subKey) {
    return static_cast<std::uint32_t>(
        ::RegDeleteTreeW(hkey(key), subKey.empty() ? nullptr : subKey.c_str()));
}

std::uint32_t regEnumKeyEx(RegKey key, std::uint32_t index, std::wstring& name) {
    wchar_t buffer[maxKeyNameChars];
    DWORD chars = maxKeyNameChars;
    LSTATUS status =
        ::RegEnumKeyExW(hkey(key), index, buffer, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) {
        name.assign(buffer, chars);
    }
    return static_cast<std::uint32_t>(status);
}

std::uint32_t regEnumValue(RegKey key, std::uint32_t index, std::wstring& name,
                           std::uint32_t* type, std::vector<std::uint8_t>* data) {
    std::vector<wchar_t> nameBuffer(maxValueNameChars);
    std::vector<std::uint8_t> bytes(data ? 256 : 0);
    while (true) {
        DWORD chars = maxValueNameChars;
        DWORD valueType = 0;
        DWORD size = static_cast<DWORD>(bytes.size());
        LSTATUS status =
            ::RegEnumValueW(hkey(key), index, nameBuffer.data(), &chars, nullptr, &valueType,
                            data ? bytes.data() : nullptr, data ? &size : nullptr);
        if (status == ERROR_MORE_DATA && data && size > bytes.size()) {
            bytes.resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS) {
            name.assign(nameBuffer.data(), chars);
            if (type) {
                *type = valueType;
            }
            if (data) {
                bytes.resize(size);
                *data = std::move(bytes);
            }
        }
        return static_cast<std::uint32_t>(status);
    }
}

std::uint32_t regDisableReflectionKey(RegKey key) {
    return static_cast<std::uint32_t>(::RegDisableReflectionKey(hkey(key)));
}

std::uint32_t regEnableReflectionKey(RegKey key) {
    return static_cast<std::uint32_t>(::RegEnableReflectionKey(hkey(key)));
}

std::uint32_t regCloseKey(RegKey key) {
    return static_cast<std::uint32_t>(::RegCloseKey(hkey(key)));
}

}  // namespace Platform
