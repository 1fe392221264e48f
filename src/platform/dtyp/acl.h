// Access control lists (MS-DTYP 2.4.5): the parsed value with its binary encode and decode,
// and the Win32 ACL calls (InitializeAcl, AddAce, GetAce, DeleteAce, GetAclInformation,
// IsValidAcl) over a caller-owned buffer. The binary ACL is an 8-byte header {AclRevision,
// Sbz1, AclSize, AceCount, Sbz2}, little-endian, followed by AceCount ACEs and free space up
// to AclSize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/dtyp/ace.h"
#include "platform/dtyp/result.h"

namespace Platform::Dtyp {

namespace AclRevision {
constexpr std::uint8_t Standard = 2;  // ACL_REVISION
constexpr std::uint8_t Compound = 3;  // ACL_REVISION3
constexpr std::uint8_t Ds = 4;        // ACL_REVISION_DS: needed by object ACEs
}  // namespace AclRevision

constexpr std::size_t AclHeaderSize = 8;
constexpr std::uint32_t AclMaxSize = 0xFFFF;
// AddAce's start index that appends (MAXDWORD).
constexpr std::uint32_t AppendAce = 0xFFFFFFFF;

struct Acl {
    std::uint8_t revision = AclRevision::Standard;
    std::vector<Ace> aces;

    // The revision written when encoding: the stored one, raised to what the ACE types need.
    std::uint8_t encodedRevision() const;
    // AclSize of the encoded form (no free space).
    std::size_t size() const;

    friend bool operator==(const Acl&, const Acl&) = default;
};

// Reads an ACL from bytes that may be corrupt or hostile: the header, AclSize within the bytes
// given, every ACE inside AclSize and valid. Failures are ERROR_INVALID_ACL with the reason.
Result<Acl> decodeAcl(std::span<const std::uint8_t> bytes);
// Appends the binary form; ERROR_INVALID_ACL (and nothing appended) when it would exceed the
// 65535 bytes that AclSize can state.
Status encodeAcl(const Acl& acl, std::vector<std::uint8_t>& out);
Result<std::vector<std::uint8_t>> encodeAcl(const Acl& acl);

// Win32 semantics. As with the real calls the buffer is trusted to be AclSize bytes long (the
// header says how long it is); everything inside it is checked before it is followed.

// InitializeAcl: ERROR_INSUFFICIENT_BUFFER below the 8-byte header, ERROR_INVALID_PARAMETER for
// a length above 65535 or a revision other than 2, 3 or 4. The ACL takes the length rounded
// down to a multiple of four, the DWORD alignment the call requires.
Status initializeAcl(std::uint8_t* acl, std::uint32_t length, std::uint32_t revision);
// AddAce: inserts the ACEs of aceList before the ACE at startIndex (an index at or past the
// count, such as AppendAce, appends). ERROR_INVALID_PARAMETER for an invalid ACL, a revision
// other than 2, 3 or 4, an ACE list whose ACE sizes do not add up to its length, or an ACE type
// the revision does not allow (object types need 4); ERROR_INSUFFICIENT_BUFFER when the ACEs do
// not fit into the ACL's free space. The ACL's revision rises to `revision`, never falls.
Status addAce(std::uint8_t* acl, std::uint32_t revision, std::uint32_t startIndex,
              const std::uint8_t* aceList, std::uint32_t aceListLength);
// GetAce: the address of the ACE at `index`; ERROR_INVALID_PARAMETER past the count.
Status getAce(const std::uint8_t* acl, std::uint32_t index, const std::uint8_t** ace);
Status getAce(std::uint8_t* acl, std::uint32_t index, std::uint8_t** ace);
// DeleteAce: removes the ACE at `index`, moving the later ones up and zeroing the freed space.
Status deleteAce(std::uint8_t* acl, std::uint32_t index);

enum class AclInformationClass : std::uint32_t { Revision = 1, Size = 2 };
struct AclRevisionInformation {
    std::uint32_t aclRevision = 0;
};
struct AclSizeInformation {
    std::uint32_t aceCount = 0;
    std::uint32_t aclBytesInUse = 0;
    std::uint32_t aclBytesFree = 0;
};
// GetAclInformation: fills an AclRevisionInformation or AclSizeInformation;
// ERROR_INSUFFICIENT_BUFFER when `length` is smaller than it, ERROR_INVALID_PARAMETER for
// another class or a malformed ACL.
Status getAclInformation(const std::uint8_t* acl, void* information, std::uint32_t length,
                         AclInformationClass informationClass);
// IsValidAcl.
bool isValidAcl(const std::uint8_t* acl);

}  // namespace Platform::Dtyp
