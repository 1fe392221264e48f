// The registry services of advapi32 (RegOpenKeyExW and its family), Win32-shaped: each call
// returns the Win32 error code (LSTATUS, 0 on success) and takes the same inputs as the API.
// Value data is raw bytes as Windows stores it: strings are UTF-16LE with their terminating
// NUL, a REG_MULTI_SZ ends with an extra NUL, a REG_DWORD is four little-endian bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/unique.h"

namespace Platform {

namespace Reg {

// Access rights of a key handle (winnt.h).
constexpr std::uint32_t KeyQueryValue = 0x0001;
constexpr std::uint32_t KeySetValue = 0x0002;
constexpr std::uint32_t KeyCreateSubKey = 0x0004;
constexpr std::uint32_t KeyEnumerateSubKeys = 0x0008;
constexpr std::uint32_t KeyNotify = 0x0010;
constexpr std::uint32_t KeyCreateLink = 0x0020;
constexpr std::uint32_t ReadControl = 0x00020000;
constexpr std::uint32_t KeyRead = 0x00020019;
constexpr std::uint32_t KeyWrite = 0x00020006;
constexpr std::uint32_t KeyAllAccess = 0x000F003F;

// Registry views of a 64-bit Windows (WOW64): which half of SOFTWARE a key opens.
constexpr std::uint32_t KeyWow64_64Key = 0x0100;
constexpr std::uint32_t KeyWow64_32Key = 0x0200;

// Value types (winnt.h).
constexpr std::uint32_t RegNone = 0;
constexpr std::uint32_t RegSz = 1;
constexpr std::uint32_t RegExpandSz = 2;
constexpr std::uint32_t RegBinary = 3;
constexpr std::uint32_t RegDword = 4;
constexpr std::uint32_t RegMultiSz = 7;
constexpr std::uint32_t RegQword = 11;

// RegCreateKeyEx options and dispositions.
constexpr std::uint32_t RegOptionNonVolatile = 0;
constexpr std::uint32_t RegCreatedNewKey = 1;
constexpr std::uint32_t RegOpenedExistingKey = 2;

}  // namespace Reg

// RegOpenKeyExW: opens `subKey` below `root` (a predefined root or an open key) with the
// access `samDesired`, which may name a view (KeyWow64_32Key / KeyWow64_64Key). An empty
// subKey opens `root` itself again. ERROR_FILE_NOT_FOUND when the key does not exist.
std::uint32_t regOpenKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t options,
                           std::uint32_t samDesired, RegKey* result);

// RegCreateKeyExW (no class, no security attributes): opens the key, creating it and any
// missing parents first. `disposition` (may be null) tells which of the two happened.
std::uint32_t regCreateKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t options,
                             std::uint32_t samDesired, RegKey* result, std::uint32_t* disposition);

// RegQueryValueExW. An empty name is the key's default value. With `data` null only the size
// (and type) is returned; a buffer too small gives ERROR_MORE_DATA with the needed size in
// `dataSize` and the type still filled in. Needs KeyQueryValue on the handle.
std::uint32_t regQueryValueEx(RegKey key, const std::wstring& name, std::uint32_t* type,
                              std::uint8_t* data, std::uint32_t* dataSize);

// RegQueryInfoKeyW, reduced to the counts the engine uses. Lengths of names are in UTF-16
// code units without the terminating NUL, the longest value data in bytes. Any pointer may
// be null.
std::uint32_t regQueryInfoKey(RegKey key, std::uint32_t* subKeyCount, std::uint32_t* maxSubKeyLen,
                              std::uint32_t* valueCount, std::uint32_t* maxValueNameLen,
                              std::uint32_t* maxValueLen);

// RegSetValueExW: creates or replaces the value. Needs KeySetValue on the handle.
std::uint32_t regSetValueEx(RegKey key, const std::wstring& name, std::uint32_t type,
                            const std::uint8_t* data, std::uint32_t dataSize);

// RegDeleteValueW.
std::uint32_t regDeleteValue(RegKey key, const std::wstring& name);

// RegDeleteKeyExW: deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise), in the
// view named by `samDesired`.
std::uint32_t regDeleteKeyEx(RegKey root, const std::wstring& subKey, std::uint32_t samDesired);

// RegDeleteTreeW: deletes `subKey` with all its subkeys and values in one step; with an empty
// subKey, the subkeys and values of `key` but not the key itself.
std::uint32_t regDeleteTree(RegKey key, const std::wstring& subKey);

// RegEnumKeyExW: the name of the index-th subkey, in the order Windows keeps them
// (case-insensitive alphabetical). WinError::NoMoreItems past the end.
std::uint32_t regEnumKeyEx(RegKey key, std::uint32_t index, std::wstring& name);

// RegEnumValueW: the index-th value in the order the values were written. `type` and `data`
// may be null. WinError::NoMoreItems past the end.
std::uint32_t regEnumValue(RegKey key, std::uint32_t index, std::wstring& name, std::uint32_t* type,
                           std::vector<std::uint8_t>* data);

// RegDisableReflectionKey / RegEnableReflectionKey: stop or resume the copying of a key
// between the 32-bit and 64-bit views that older Windows versions did.
std::uint32_t regDisableReflectionKey(RegKey key);
std::uint32_t regEnableReflectionKey(RegKey key);

// RegCloseKey is declared with the owners (platform/unique.h). Closing a predefined root
// succeeds and does nothing.

}  // namespace Platform
