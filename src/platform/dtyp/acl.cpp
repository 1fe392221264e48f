#include "platform/dtyp/acl.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

#include "platform/dtyp/bytes.h"

namespace Platform::Dtyp {

namespace {

constexpr std::size_t AceHeaderSize = 4;

Failure invalidAcl(std::wstring message) {
    return {WinError::InvalidAcl, std::move(message)};
}

bool validRevision(std::uint32_t revision) {
    return revision >= AclRevision::Standard && revision <= AclRevision::Ds;
}

std::uint16_t aclSize(const std::uint8_t* acl) {
    return Bytes::readU16(acl + 2);
}
std::uint16_t aceCount(const std::uint8_t* acl) {
    return Bytes::readU16(acl + 4);
}
void setAceCount(std::uint8_t* acl, std::uint32_t count) {
    Bytes::writeU16(acl + 4, static_cast<std::uint16_t>(count));
}
std::uint16_t aceSizeAt(const std::uint8_t* ace) {
    return Bytes::readU16(ace + 2);
}

// The lowest ACL revision that may hold an ACE type (the rule AddAce enforces): compound ACEs
// came with revision 3, the object types with revision 4; types beyond those are not checked.
std::uint8_t revisionNeededBy(std::uint8_t aceType) {
    if (aceType >= AceType::AccessAllowedObject && aceType <= AceType::SystemAlarmObject) {
        return AclRevision::Ds;
    }
    if (aceType == AceType::AccessAllowedCompound) {
        return AclRevision::Compound;
    }
    return AclRevision::Standard;
}

// Checks one ACE of `aceSize` bytes at `ace` by the rules of IsValidAcl: an even size, a header,
// and for the types with a SID a valid SID inside the ACE. Returns the reason or nothing.
std::optional<std::wstring> checkAce(const std::uint8_t* ace, std::size_t aceSize) {
    std::uint8_t type = ace[0];
    if (aceSize < AceHeaderSize) {
        return L"an ACE smaller than its header";
    }
    if (aceSize % 2 != 0) {
        return L"an ACE of odd size " + std::to_wstring(aceSize);
    }
    std::size_t sidOffset = 0;
    if (isPlainAceType(type)) {
        // The original four types are DWORD-aligned (IsValidAcl insists on it).
        if (type <= AceType::SystemAlarm && aceSize % 4 != 0) {
            return L"an ACE of size " + std::to_wstring(aceSize) + L", not a multiple of 4";
        }
        sidOffset = AceHeaderSize + 4;
    } else if (isObjectAceType(type)) {
        if (aceSize < AceHeaderSize + 8) {
            return L"an object ACE too small for its flags";
        }
        std::uint32_t objectFlags = Bytes::readU32(ace + AceHeaderSize + 4);
        sidOffset = AceHeaderSize + 8;
        sidOffset += (objectFlags & ObjectAceFlag::ObjectTypePresent) ? 16 : 0;
        sidOffset += (objectFlags & ObjectAceFlag::InheritedObjectTypePresent) ? 16 : 0;
    } else {
        return std::nullopt;  // Compound or unknown types: the header is all that is known.
    }
    if (aceSize < sidOffset + 8) {
        return L"an ACE too small for its SID";
    }
    Result<Sid> sid = Sid::fromBytes({ace + sidOffset, aceSize - sidOffset});
    if (!sid) {
        return L"an ACE with an invalid SID (" + sid.message() + L")";
    }
    return std::nullopt;
}

// Validates the ACL at `acl`, of which `available` bytes may be read. On success `freeOffset`
// is the offset just past the last ACE.
std::optional<std::wstring> checkAcl(const std::uint8_t* acl, std::size_t available,
                                     std::size_t* freeOffset = nullptr) {
    if (available < AclHeaderSize) {
        return L"an ACL header needs 8 bytes, only " + std::to_wstring(available) + L" are there";
    }
    if (!validRevision(acl[0])) {
        return L"ACL revision " + std::to_wstring(acl[0]) + L" is not 2, 3 or 4";
    }
    std::size_t size = aclSize(acl);
    if (size < AclHeaderSize) {
        return L"an AclSize of " + std::to_wstring(size) + L" is smaller than the header";
    }
    if (size % 2 != 0) {
        return L"an odd AclSize of " + std::to_wstring(size);
    }
    if (size > available) {
        return L"the ACL claims " + std::to_wstring(size) + L" bytes, only " +
               std::to_wstring(available) + L" are there";
    }
    std::size_t offset = AclHeaderSize;
    std::size_t count = aceCount(acl);
    for (std::size_t i = 0; i < count; ++i) {
        // Made only for a failure: every DACL read passes here.
        auto where = [i] { return L"ACE " + std::to_wstring(i) + L": "; };
        if (offset + AceHeaderSize > size) {
            return where() + L"starts past the ACL's end (AceCount " + std::to_wstring(count) +
                   L" is too large)";
        }
        std::size_t aceSize = aceSizeAt(acl + offset);
        if (offset + aceSize > size) {
            return where() + L"its size " + std::to_wstring(aceSize) + L" runs past the ACL's end";
        }
        if (auto why = checkAce(acl + offset, aceSize)) {
            return where() + *why;
        }
        offset += aceSize;
    }
    if (freeOffset) {
        *freeOffset = offset;
    }
    return std::nullopt;
}

// The offset of the first free byte (FindFirstFreeAce), or nothing when the ACE chain leaves
// the ACL.
std::optional<std::size_t> firstFreeOffset(const std::uint8_t* acl) {
    std::size_t size = aclSize(acl);
    std::size_t offset = AclHeaderSize;
    for (std::size_t i = 0, count = aceCount(acl); i < count; ++i) {
        if (offset + AceHeaderSize > size) {
            return std::nullopt;
        }
        offset += aceSizeAt(acl + offset);
    }
    if (offset > size) {
        return std::nullopt;
    }
    return offset;
}

}  // namespace

std::uint8_t Acl::encodedRevision() const {
    std::uint8_t result = revision;
    for (const Ace& ace : aces) {
        result = std::max(result, revisionNeededBy(ace.type));
    }
    return result;
}

std::size_t Acl::size() const {
    return std::accumulate(aces.begin(), aces.end(), AclHeaderSize,
                           [](std::size_t sum, const Ace& ace) { return sum + ace.size(); });
}

Result<Acl> decodeAcl(std::span<const std::uint8_t> bytes) {
    if (auto why = checkAcl(bytes.data(), bytes.size())) {
        return invalidAcl(*why);
    }
    Acl acl;
    acl.revision = bytes[0];
    std::size_t size = aclSize(bytes.data());
    std::size_t offset = AclHeaderSize;
    std::size_t count = aceCount(bytes.data());
    acl.aces.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t aceSize = aceSizeAt(bytes.data() + offset);
        Result<Ace> ace = decodeAce(bytes.subspan(offset, std::min(aceSize, size - offset)));
        if (!ace) {
            return invalidAcl(L"ACE " + std::to_wstring(i) + L": " + ace.message());
        }
        acl.aces.push_back(std::move(ace).value());
        offset += aceSize;
    }
    return acl;
}

Status encodeAcl(const Acl& acl, std::vector<std::uint8_t>& out) {
    std::size_t size = acl.size();
    if (size > AclMaxSize) {
        return {WinError::InvalidAcl};
    }
    out.reserve(out.size() + size);
    out.push_back(acl.encodedRevision());
    out.push_back(0);
    Bytes::appendU16(out, static_cast<std::uint16_t>(size));
    Bytes::appendU16(out, static_cast<std::uint16_t>(acl.aces.size()));
    Bytes::appendU16(out, 0);
    for (const Ace& ace : acl.aces) {
        encodeAce(ace, out);
    }
    return {};
}

Result<std::vector<std::uint8_t>> encodeAcl(const Acl& acl) {
    std::vector<std::uint8_t> out;
    if (!encodeAcl(acl, out)) {
        return invalidAcl(L"an ACL of " + std::to_wstring(acl.size()) +
                          L" bytes exceeds the 65535 bytes an ACL can hold");
    }
    return out;
}

Status initializeAcl(std::uint8_t* acl, std::uint32_t length, std::uint32_t revision) {
    if (length < AclHeaderSize) {
        return {WinError::InsufficientBuffer};
    }
    if (!validRevision(revision) || length > AclMaxSize) {
        return {WinError::InvalidParameter};
    }
    std::memset(acl, 0, AclHeaderSize);
    acl[0] = static_cast<std::uint8_t>(revision);
    Bytes::writeU16(acl + 2, static_cast<std::uint16_t>(length & ~3u));
    return {};
}

Status addAce(std::uint8_t* acl, std::uint32_t revision, std::uint32_t startIndex,
              const std::uint8_t* aceList, std::uint32_t aceListLength) {
    if (!isValidAcl(acl) || !validRevision(revision)) {
        return {WinError::InvalidParameter};
    }
    // Count the new ACEs. A zero-sized ACE would never end the walk; a list whose sizes overrun
    // its length is malformed.
    std::uint32_t newCount = 0;
    std::size_t pos = 0;
    while (pos < aceListLength) {
        if (aceListLength - pos < AceHeaderSize) {
            return {WinError::InvalidParameter};
        }
        std::size_t size = aceSizeAt(aceList + pos);
        if (size < AceHeaderSize || revisionNeededBy(aceList[pos]) > revision) {
            return {WinError::InvalidParameter};
        }
        pos += size;
        ++newCount;
    }
    if (pos != aceListLength) {
        return {WinError::InvalidParameter};
    }
    std::optional<std::size_t> freeOffset = firstFreeOffset(acl);
    if (!freeOffset || *freeOffset + aceListLength > aclSize(acl)) {
        return {WinError::InsufficientBuffer};
    }
    std::size_t insertAt = AclHeaderSize;
    std::uint32_t count = aceCount(acl);
    for (std::uint32_t i = 0; i < startIndex && i < count; ++i) {
        insertAt += aceSizeAt(acl + insertAt);
    }
    // The list may lie inside this very ACL (an ACE read with getAce): copy it out first.
    std::vector<std::uint8_t> list(aceList, aceList + aceListLength);
    std::memmove(acl + insertAt + aceListLength, acl + insertAt, *freeOffset - insertAt);
    if (!list.empty()) {
        std::memcpy(acl + insertAt, list.data(), list.size());
    }
    setAceCount(acl, count + newCount);
    acl[0] = static_cast<std::uint8_t>(std::max<std::uint32_t>(acl[0], revision));
    return {};
}

Status getAce(const std::uint8_t* acl, std::uint32_t index, const std::uint8_t** ace) {
    if (!validRevision(acl[0]) || index >= aceCount(acl)) {
        return {WinError::InvalidParameter};
    }
    std::size_t size = aclSize(acl);
    std::size_t offset = AclHeaderSize;
    for (std::uint32_t i = 0; i < index; ++i) {
        if (offset + AceHeaderSize > size) {
            return {WinError::InvalidParameter};
        }
        offset += aceSizeAt(acl + offset);
    }
    if (offset + AceHeaderSize > size) {
        return {WinError::InvalidParameter};
    }
    *ace = acl + offset;
    return {};
}

Status getAce(std::uint8_t* acl, std::uint32_t index, std::uint8_t** ace) {
    const std::uint8_t* found = nullptr;
    Status status = getAce(static_cast<const std::uint8_t*>(acl), index, &found);
    if (status) {
        *ace = acl + (found - acl);
    }
    return status;
}

Status deleteAce(std::uint8_t* acl, std::uint32_t index) {
    std::size_t freeOffset = 0;
    if (checkAcl(acl, aclSize(acl), &freeOffset) || index >= aceCount(acl)) {
        return {WinError::InvalidParameter};
    }
    std::size_t offset = AclHeaderSize;
    for (std::uint32_t i = 0; i < index; ++i) {
        offset += aceSizeAt(acl + offset);
    }
    std::size_t size = aceSizeAt(acl + offset);
    std::memmove(acl + offset, acl + offset + size, freeOffset - offset - size);
    std::memset(acl + freeOffset - size, 0, size);
    setAceCount(acl, aceCount(acl) - 1u);
    return {};
}

Status getAclInformation(const std::uint8_t* acl, void* information, std::uint32_t length,
                         AclInformationClass informationClass) {
    if (!validRevision(acl[0])) {
        return {WinError::InvalidParameter};
    }
    switch (informationClass) {
        case AclInformationClass::Revision: {
            if (length < sizeof(AclRevisionInformation)) {
                return {WinError::InsufficientBuffer};
            }
            AclRevisionInformation info{acl[0]};
            std::memcpy(information, &info, sizeof info);
            return {};
        }
        case AclInformationClass::Size: {
            if (length < sizeof(AclSizeInformation)) {
                return {WinError::InsufficientBuffer};
            }
            std::optional<std::size_t> freeOffset = firstFreeOffset(acl);
            if (!freeOffset) {
                return {WinError::InvalidParameter};
            }
            AclSizeInformation info;
            info.aceCount = aceCount(acl);
            info.aclBytesInUse = static_cast<std::uint32_t>(*freeOffset);
            info.aclBytesFree = static_cast<std::uint32_t>(aclSize(acl) - *freeOffset);
            std::memcpy(information, &info, sizeof info);
            return {};
        }
    }
    return {WinError::InvalidParameter};
}

bool isValidAcl(const std::uint8_t* acl) {
    return acl != nullptr && !checkAcl(acl, aclSize(acl));
}

}  // namespace Platform::Dtyp
