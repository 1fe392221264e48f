// Access masks (MS-DTYP 2.4.3): the rights bits that the engine and the emulated host name, and
// the generic-rights mapping of MapGenericMask with the file object's mapping.
#pragma once

#include <cstdint>

namespace Platform::Dtyp {

namespace Access {
// Object-specific rights of files and directories (winnt.h).
constexpr std::uint32_t FileReadData = 0x0001;    // FILE_LIST_DIRECTORY on a directory
constexpr std::uint32_t FileWriteData = 0x0002;   // FILE_ADD_FILE
constexpr std::uint32_t FileAppendData = 0x0004;  // FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t FileReadEa = 0x0008;
constexpr std::uint32_t FileWriteEa = 0x0010;
constexpr std::uint32_t FileExecute = 0x0020;  // FILE_TRAVERSE
constexpr std::uint32_t FileDeleteChild = 0x0040;
constexpr std::uint32_t FileReadAttributes = 0x0080;
constexpr std::uint32_t FileWriteAttributes = 0x0100;

// Standard rights.
constexpr std::uint32_t Delete = 0x00010000;
constexpr std::uint32_t ReadControl = 0x00020000;
constexpr std::uint32_t WriteDac = 0x00040000;
constexpr std::uint32_t WriteOwner = 0x00080000;
constexpr std::uint32_t Synchronize = 0x00100000;
constexpr std::uint32_t StandardRightsRequired = 0x000F0000;

constexpr std::uint32_t AccessSystemSecurity = 0x01000000;
constexpr std::uint32_t MaximumAllowed = 0x02000000;

// Generic rights.
constexpr std::uint32_t GenericAll = 0x10000000;
constexpr std::uint32_t GenericExecute = 0x20000000;
constexpr std::uint32_t GenericWrite = 0x40000000;
constexpr std::uint32_t GenericRead = 0x80000000;
constexpr std::uint32_t GenericMask = GenericAll | GenericExecute | GenericWrite | GenericRead;

// The file object's combinations (the SDDL aliases FA, FR, FW, FX).
constexpr std::uint32_t FileAllAccess = 0x001F01FF;
constexpr std::uint32_t FileGenericRead = 0x00120089;
constexpr std::uint32_t FileGenericWrite = 0x00120116;
constexpr std::uint32_t FileGenericExecute = 0x001200A0;

// The registry key's combinations (the SDDL aliases KA, KR, KW, KX).
constexpr std::uint32_t KeyAllAccess = 0x000F003F;
constexpr std::uint32_t KeyRead = 0x00020019;
constexpr std::uint32_t KeyWrite = 0x00020006;
constexpr std::uint32_t KeyExecute = 0x00020019;
}  // namespace Access

// GENERIC_MAPPING: the specific rights each generic right stands for on one kind of object.
struct GenericMapping {
    std::uint32_t genericRead = 0;
    std::uint32_t genericWrite = 0;
    std::uint32_t genericExecute = 0;
    std::uint32_t genericAll = 0;
};

// The mapping of files and directories.
constexpr GenericMapping fileGenericMapping{Access::FileGenericRead, Access::FileGenericWrite,
                                            Access::FileGenericExecute, Access::FileAllAccess};

// MapGenericMask: each generic bit is replaced by the rights it stands for; other bits stay.
std::uint32_t mapGenericMask(std::uint32_t mask,
                             const GenericMapping& mapping = fileGenericMapping);

}  // namespace Platform::Dtyp
