// Security descriptors (MS-DTYP 2.4.6) in the self-relative form that the emulated host stores
// in the xattr user.tavrel.sd: a 20-byte header {Revision, Sbz1, Control, OffsetOwner,
// OffsetGroup, OffsetSacl, OffsetDacl} and the parts it points to. Decoding trusts nothing in
// the bytes; encoding writes header, owner, group, DACL, SACL in that order, so that equal
// descriptors are equal bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/dtyp/acl.h"
#include "platform/dtyp/result.h"
#include "platform/dtyp/sid.h"

namespace Platform::Dtyp {

// SECURITY_DESCRIPTOR_CONTROL bits.
namespace Control {
constexpr std::uint16_t OwnerDefaulted = 0x0001;
constexpr std::uint16_t GroupDefaulted = 0x0002;
constexpr std::uint16_t DaclPresent = 0x0004;
constexpr std::uint16_t DaclDefaulted = 0x0008;
constexpr std::uint16_t SaclPresent = 0x0010;
constexpr std::uint16_t SaclDefaulted = 0x0020;
constexpr std::uint16_t DaclTrusted = 0x0040;
constexpr std::uint16_t ServerSecurity = 0x0080;
constexpr std::uint16_t DaclAutoInheritReq = 0x0100;
constexpr std::uint16_t SaclAutoInheritReq = 0x0200;
constexpr std::uint16_t DaclAutoInherited = 0x0400;
constexpr std::uint16_t SaclAutoInherited = 0x0800;
constexpr std::uint16_t DaclProtected = 0x1000;
constexpr std::uint16_t SaclProtected = 0x2000;
constexpr std::uint16_t RmControlValid = 0x4000;
constexpr std::uint16_t SelfRelative = 0x8000;
}  // namespace Control

constexpr std::uint8_t SecurityDescriptorRevision = 1;
constexpr std::size_t SecurityDescriptorHeaderSize = 20;

struct SecurityDescriptor {
    // Control bits. DaclPresent / SaclPresent say whether the ACL slots count; SelfRelative is
    // implied by the encoded form and ignored here.
    std::uint16_t control = 0;
    // Sbz1: the resource manager control bits (meaningful with RmControlValid).
    std::uint8_t resourceManagerControl = 0;
    std::optional<Sid> owner;
    std::optional<Sid> group;
    // With DaclPresent: the DACL, or nothing for a NULL DACL (which grants everyone everything).
    // Without DaclPresent the descriptor has no DACL and this is ignored. Likewise the SACL.
    std::optional<Acl> dacl;
    std::optional<Acl> sacl;

    bool hasDacl() const { return (control & Control::DaclPresent) != 0; }
    bool hasNullDacl() const { return hasDacl() && !dacl; }
    bool hasSacl() const { return (control & Control::SaclPresent) != 0; }
    bool isDaclProtected() const { return (control & Control::DaclProtected) != 0; }
    // SetSecurityDescriptorDacl with present TRUE and an ACL, with a NULL ACL, or present FALSE.
    void setDacl(Acl acl);
    void setNullDacl();
    void removeDacl();
    void setSacl(Acl acl);
    void removeSacl();

    // Equal when they encode to the same bytes.
    friend bool operator==(const SecurityDescriptor& a, const SecurityDescriptor& b);
};

// Reads a self-relative descriptor. Every offset must lie past the header and inside the bytes,
// every SID and ACL must be valid and fit in what follows its offset. Failures are
// ERROR_INVALID_SECURITY_DESCR with a reason that names the part.
Result<SecurityDescriptor> decodeSecurityDescriptor(std::span<const std::uint8_t> bytes);
// Writes the self-relative form: header, owner, group, DACL, SACL, each part present only once.
// ERROR_INVALID_ACL when an ACL exceeds 65535 bytes.
Result<std::vector<std::uint8_t>> encodeSecurityDescriptor(const SecurityDescriptor& sd);

}  // namespace Platform::Dtyp
