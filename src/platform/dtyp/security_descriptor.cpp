#include "platform/dtyp/security_descriptor.h"

#include <optional>
#include <string>

#include "platform/dtyp/bytes.h"

namespace Platform::Dtyp {

namespace {

Failure invalidDescriptor(std::wstring message) {
    return {WinError::InvalidSecurityDescr, std::move(message)};
}

// The part of `bytes` that an offset field points to, or the reason it points nowhere sane.
std::optional<std::wstring> checkOffset(std::span<const std::uint8_t> bytes, std::uint32_t offset,
                                        const wchar_t* part) {
    if (offset < SecurityDescriptorHeaderSize) {
        return std::wstring(part) + L" offset " + std::to_wstring(offset) +
               L" points into the header";
    }
    if (offset >= bytes.size()) {
        return std::wstring(part) + L" offset " + std::to_wstring(offset) +
               L" lies past the descriptor's " + std::to_wstring(bytes.size()) + L" bytes";
    }
    return std::nullopt;
}

// Decodes the owner, group or ACL at `offset` into `part`; offset 0 leaves it empty (no owner or
// group, a NULL ACL).
template <typename T>
std::optional<Failure> decodePart(std::span<const std::uint8_t> bytes, std::uint32_t offset,
                                  const wchar_t* name,
                                  Result<T> (*decode)(std::span<const std::uint8_t>),
                                  std::optional<T>& part) {
    if (offset == 0) {
        return std::nullopt;
    }
    if (auto why = checkOffset(bytes, offset, name)) {
        return invalidDescriptor(*why);
    }
    Result<T> value = decode(bytes.subspan(offset));
    if (!value) {
        return invalidDescriptor(std::wstring(name) + L": " + value.message());
    }
    part = std::move(value).value();
    return std::nullopt;
}

}  // namespace

void SecurityDescriptor::setDacl(Acl acl) {
    control |= Control::DaclPresent;
    dacl = std::move(acl);
}

void SecurityDescriptor::setNullDacl() {
    control |= Control::DaclPresent;
    dacl.reset();
}

void SecurityDescriptor::removeDacl() {
    control &= static_cast<std::uint16_t>(~Control::DaclPresent);
    dacl.reset();
}

void SecurityDescriptor::setSacl(Acl acl) {
    control |= Control::SaclPresent;
    sacl = std::move(acl);
}

void SecurityDescriptor::removeSacl() {
    control &= static_cast<std::uint16_t>(~Control::SaclPresent);
    sacl.reset();
}

bool operator==(const SecurityDescriptor& a, const SecurityDescriptor& b) {
    auto bits = [](const SecurityDescriptor& sd) {
        return static_cast<std::uint16_t>(sd.control & ~Control::SelfRelative);
    };
    return bits(a) == bits(b) && a.resourceManagerControl == b.resourceManagerControl &&
           a.owner == b.owner && a.group == b.group && (!a.hasDacl() || a.dacl == b.dacl) &&
           (!a.hasSacl() || a.sacl == b.sacl);
}

Result<SecurityDescriptor> decodeSecurityDescriptor(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < SecurityDescriptorHeaderSize) {
        return invalidDescriptor(L"a security descriptor needs a 20-byte header, only " +
                                 std::to_wstring(bytes.size()) + L" bytes are there");
    }
    if (bytes[0] != SecurityDescriptorRevision) {
        return invalidDescriptor(L"security descriptor revision " + std::to_wstring(bytes[0]) +
                                 L" is not 1");
    }
    SecurityDescriptor sd;
    sd.resourceManagerControl = bytes[1];
    sd.control = Bytes::readU16(bytes.data() + 2);
    if (!(sd.control & Control::SelfRelative)) {
        // An absolute descriptor holds pointers; as bytes it means nothing.
        return invalidDescriptor(
            L"the descriptor is not self-relative (SE_SELF_RELATIVE is clear)");
    }
    std::uint32_t ownerOffset = Bytes::readU32(bytes.data() + 4);
    std::uint32_t groupOffset = Bytes::readU32(bytes.data() + 8);
    std::uint32_t saclOffset = Bytes::readU32(bytes.data() + 12);
    std::uint32_t daclOffset = Bytes::readU32(bytes.data() + 16);

    if (auto failure = decodePart(bytes, ownerOffset, L"owner", Sid::fromBytes, sd.owner)) {
        return *failure;
    }
    if (auto failure = decodePart(bytes, groupOffset, L"group", Sid::fromBytes, sd.group)) {
        return *failure;
    }
    // Without the PRESENT bit an ACL offset is not looked at, as GetSecurityDescriptorDacl does.
    if (sd.hasDacl()) {
        if (auto failure = decodePart(bytes, daclOffset, L"DACL", decodeAcl, sd.dacl)) {
            return *failure;
        }
    }
    if (sd.hasSacl()) {
        if (auto failure = decodePart(bytes, saclOffset, L"SACL", decodeAcl, sd.sacl)) {
            return *failure;
        }
    }
    return sd;
}

Result<std::vector<std::uint8_t>> encodeSecurityDescriptor(const SecurityDescriptor& sd) {
    std::vector<std::uint8_t> out(SecurityDescriptorHeaderSize, 0);
    out[0] = SecurityDescriptorRevision;
    out[1] = sd.resourceManagerControl;
    Bytes::writeU16(out.data() + 2, sd.control | Control::SelfRelative);
    auto here = [&out] { return static_cast<std::uint32_t>(out.size()); };
    if (sd.owner) {
        Bytes::writeU32(out.data() + 4, here());
        sd.owner->appendTo(out);
    }
    if (sd.group) {
        Bytes::writeU32(out.data() + 8, here());
        sd.group->appendTo(out);
    }
    // Appends the DACL or the SACL, as `name` says, and writes its offset at `field`.
    auto appendAcl = [&](const Acl& acl, std::size_t field,
                         const wchar_t* name) -> std::optional<Failure> {
        std::uint32_t offset = here();
        if (!encodeAcl(acl, out)) {
            return Failure{WinError::InvalidAcl,
                           std::wstring(L"the ") + name + L" of " + std::to_wstring(acl.size()) +
                               L" bytes exceeds the 65535 bytes an ACL can hold"};
        }
        Bytes::writeU32(out.data() + field, offset);
        return std::nullopt;
    };
    if (sd.hasDacl() && sd.dacl) {
        if (auto failure = appendAcl(*sd.dacl, 16, L"DACL")) {
            return *failure;
        }
    }
    if (sd.hasSacl() && sd.sacl) {
        if (auto failure = appendAcl(*sd.sacl, 12, L"SACL")) {
            return *failure;
        }
    }
    return out;
}

}  // namespace Platform::Dtyp
