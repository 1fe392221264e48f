// Basic types of the platform seam. The seam is shaped after the Win32 calls that the engine
// makes: the same inputs, and Win32 error codes out, either returned (registry style) or kept
// as the calling thread's last error (kernel32 style).
#pragma once

#include <cstdint>

namespace Platform {

// An opaque object handle (HANDLE). Null and InvalidHandle are never valid objects.
using Handle = void*;
inline Handle invalidHandle() {
    return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));
}

// An open registry key (HKEY); the predefined roots have fixed values as on Windows.
using RegKey = void*;
inline RegKey hkeyLocalMachine() {
    return reinterpret_cast<RegKey>(
        static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002)));
}

constexpr std::uint32_t Infinite = 0xFFFFFFFF;

// Win32 error codes the engine meets (winerror.h values).
namespace WinError {
constexpr std::uint32_t Success = 0;
constexpr std::uint32_t InvalidFunction = 1;
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t PathNotFound = 3;
constexpr std::uint32_t AccessDenied = 5;
constexpr std::uint32_t InvalidHandle = 6;
constexpr std::uint32_t NotEnoughMemory = 8;
constexpr std::uint32_t OutOfMemory = 14;
constexpr std::uint32_t InvalidDrive = 15;
constexpr std::uint32_t NoMoreFiles = 18;
constexpr std::uint32_t WriteProtect = 19;
constexpr std::uint32_t NotReady = 21;
constexpr std::uint32_t SharingViolation = 32;
constexpr std::uint32_t LockViolation = 33;
constexpr std::uint32_t HandleEof = 38;
constexpr std::uint32_t HandleDiskFull = 39;
constexpr std::uint32_t NotSameDevice = 17;
constexpr std::uint32_t NotSupported = 50;
constexpr std::uint32_t BadNetpath = 53;
constexpr std::uint32_t FileExists = 80;
constexpr std::uint32_t CannotMake = 82;
constexpr std::uint32_t InvalidParameter = 87;
constexpr std::uint32_t BrokenPipe = 109;
constexpr std::uint32_t DiskFull = 112;
constexpr std::uint32_t InsufficientBuffer = 122;
constexpr std::uint32_t InvalidName = 123;
constexpr std::uint32_t ModNotFound = 126;
constexpr std::uint32_t ProcNotFound = 127;
constexpr std::uint32_t DirNotEmpty = 145;
constexpr std::uint32_t BadPathname = 161;
constexpr std::uint32_t Busy = 170;
constexpr std::uint32_t AlreadyExists = 183;
constexpr std::uint32_t EnvvarNotFound = 203;
constexpr std::uint32_t FilenameExcedRange = 206;
constexpr std::uint32_t MoreData = 234;
constexpr std::uint32_t WaitTimeout = 258;
constexpr std::uint32_t NoMoreItems = 259;
constexpr std::uint32_t Directory = 267;
constexpr std::uint32_t NotOwner = 288;
constexpr std::uint32_t TooManyPosts = 298;
constexpr std::uint32_t MrMidNotFound = 317;
constexpr std::uint32_t CantResolveFilename = 1921;
constexpr std::uint32_t InvalidFlags = 1004;
constexpr std::uint32_t BadkeyRegistry = 1010;
constexpr std::uint32_t CantOpenRegistry = 1011;
constexpr std::uint32_t CantReadRegistry = 1012;
constexpr std::uint32_t CantWriteRegistry = 1013;
constexpr std::uint32_t RegistryCorrupt = 1015;
constexpr std::uint32_t KeyDeleted = 1018;
constexpr std::uint32_t ServiceDoesNotExist = 1060;
constexpr std::uint32_t ServiceMarkedForDelete = 1072;
constexpr std::uint32_t ServiceExists = 1073;
constexpr std::uint32_t InvalidFlagNumber = 186;
constexpr std::uint32_t NotAllAssigned = 1300;
constexpr std::uint32_t NoneMapped = 1332;
constexpr std::uint32_t InvalidSid = 1337;
constexpr std::uint32_t InvalidAcl = 1336;
constexpr std::uint32_t InvalidSecurityDescr = 1338;
constexpr std::uint32_t PrivilegeNotHeld = 1314;
constexpr std::uint32_t NoSuchPrivilege = 1313;
constexpr std::uint32_t CantAccessFile = 1920;
constexpr std::uint32_t InvalidOwner = 1307;
constexpr std::uint32_t NoSuchDomain = 1355;
constexpr std::uint32_t InternalError = 1359;
constexpr std::uint32_t FileCorrupt = 1392;
constexpr std::uint32_t FileInvalid = 1006;
constexpr std::uint32_t InvalidData = 13;
constexpr std::uint32_t UnableToRemoveReplaced = 1175;
constexpr std::uint32_t UnableToMoveReplacement = 1176;
constexpr std::uint32_t UserNotFound = 2221;      // NERR_UserNotFound
constexpr std::uint32_t PasswordTooShort = 2245;  // NERR_PasswordTooShort
constexpr std::uint32_t DsNoMoreRids = 8209;       // ERROR_DS_NO_MORE_RIDS
}  // namespace WinError

// SYSTEMTIME.
struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// The calling thread's last error (GetLastError / SetLastError).
std::uint32_t getLastError();
void setLastError(std::uint32_t code);

}  // namespace Platform
