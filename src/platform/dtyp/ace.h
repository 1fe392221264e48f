// Access control entries (MS-DTYP 2.4.4): the parsed value and its binary layout. Every ACE
// begins with ACE_HEADER {AceType, AceFlags, AceSize}; the types this library reads carry a
// 32-bit mask and a SID, the object types (MS-DTYP 2.4.4.3) a Flags field and the GUIDs it
// announces between the mask and the SID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dtyp/result.h"
#include "platform/dtyp/sid.h"

namespace Platform::Dtyp {

namespace AceType {
constexpr std::uint8_t AccessAllowed = 0x0;
constexpr std::uint8_t AccessDenied = 0x1;
constexpr std::uint8_t SystemAudit = 0x2;
constexpr std::uint8_t SystemAlarm = 0x3;
constexpr std::uint8_t AccessAllowedCompound = 0x4;
constexpr std::uint8_t AccessAllowedObject = 0x5;
constexpr std::uint8_t AccessDeniedObject = 0x6;
constexpr std::uint8_t SystemAuditObject = 0x7;
constexpr std::uint8_t SystemAlarmObject = 0x8;
constexpr std::uint8_t AccessAllowedCallback = 0x9;
constexpr std::uint8_t AccessDeniedCallback = 0xA;
constexpr std::uint8_t AccessAllowedCallbackObject = 0xB;
constexpr std::uint8_t AccessDeniedCallbackObject = 0xC;
constexpr std::uint8_t SystemAuditCallback = 0xD;
constexpr std::uint8_t SystemAlarmCallback = 0xE;
constexpr std::uint8_t SystemAuditCallbackObject = 0xF;
constexpr std::uint8_t SystemAlarmCallbackObject = 0x10;
constexpr std::uint8_t SystemMandatoryLabel = 0x11;
constexpr std::uint8_t SystemResourceAttribute = 0x12;
constexpr std::uint8_t SystemScopedPolicyId = 0x13;
}  // namespace AceType

namespace AceFlag {
constexpr std::uint8_t ObjectInherit = 0x01;       // OI
constexpr std::uint8_t ContainerInherit = 0x02;    // CI
constexpr std::uint8_t NoPropagateInherit = 0x04;  // NP
constexpr std::uint8_t InheritOnly = 0x08;         // IO
constexpr std::uint8_t Inherited = 0x10;           // ID
constexpr std::uint8_t ValidInheritFlags = 0x1F;
constexpr std::uint8_t SuccessfulAccess = 0x40;  // SA
constexpr std::uint8_t FailedAccess = 0x80;      // FA
}  // namespace AceFlag

// The Flags field of an object ACE: which of the two GUIDs are present.
namespace ObjectAceFlag {
constexpr std::uint32_t ObjectTypePresent = 0x1;
constexpr std::uint32_t InheritedObjectTypePresent = 0x2;
}  // namespace ObjectAceFlag

// A GUID in its binary layout (Data1, Data2, Data3 little-endian, then Data4).
struct Guid {
    std::array<std::uint8_t, 16> bytes{};

    // "6bfd5c14-8d8f-11d0-b2f8-00c04fd7e45b": lower case, without braces, as SDDL writes it.
    std::wstring toString() const;
    // The same form, hex digits in either case; nothing else.
    static std::optional<Guid> parse(std::wstring_view text);

    friend bool operator==(const Guid&, const Guid&) = default;
};

// The ACE types laid out as header, mask, object data, SID.
bool isObjectAceType(std::uint8_t type);
// The types laid out as header, mask, SID (allowed, denied, audit, alarm, their callback
// forms, mandatory label, resource attribute, scoped policy id).
bool isPlainAceType(std::uint8_t type);

struct Ace {
    std::uint8_t type = AceType::AccessAllowed;
    std::uint8_t flags = 0;
    std::uint32_t mask = 0;
    Sid sid;
    // Object ACEs only: the Flags field and the GUIDs it marks present.
    std::uint32_t objectFlags = 0;
    Guid objectType;
    Guid inheritedObjectType;
    // Bytes between the SID and AceSize: the application data of callback ACEs, or padding.
    std::vector<std::uint8_t> applicationData;

    bool isObjectAce() const { return isObjectAceType(type); }
    bool isInheritOnly() const { return (flags & AceFlag::InheritOnly) != 0; }
    bool hasObjectType() const;
    bool hasInheritedObjectType() const;
    // AceSize of the encoded form: rounded up to four bytes so that the next ACE is aligned.
    std::size_t size() const;

    // Equal ACEs encode to equal bytes: GUIDs count only where objectFlags marks them present.
    friend bool operator==(const Ace& a, const Ace& b);
};

// Reads the ACE at the start of `bytes`, which must hold its whole AceSize. Fails with
// ERROR_INVALID_ACL for a short header, an AceSize too small for its contents or beyond the
// bytes given, an invalid SID, or an ACE type without a mask and SID (compound ACEs).
Result<Ace> decodeAce(std::span<const std::uint8_t> bytes);
// Writes the binary form. Throws std::length_error when size() exceeds 65535 bytes, which only
// absurd application data can cause; encodeAcl checks that before calling.
void encodeAce(const Ace& ace, std::vector<std::uint8_t>& out);
std::vector<std::uint8_t> encodeAce(const Ace& ace);

}  // namespace Platform::Dtyp
