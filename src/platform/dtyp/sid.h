// Security identifiers (MS-DTYP 2.4.2): the value type, its binary form and its string form
// "S-1-5-21-...", with the semantics of IsValidSid, GetLengthSid, CopySid, EqualSid,
// ConvertSidToStringSidW and ConvertStringSidToSidW. The SDDL two-letter aliases ("BA", "SY")
// belong to sddl.h, which accepts both.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dtyp/result.h"

namespace Platform::Dtyp {

class Sid {
public:
    static constexpr std::uint8_t Revision = 1;           // SID_REVISION
    static constexpr std::size_t MaxSubAuthorities = 15;  // SID_MAX_SUB_AUTHORITIES
    static constexpr std::size_t MaxLength = 8 + 4 * MaxSubAuthorities;
    static constexpr std::uint64_t MaxAuthority = (std::uint64_t{1} << 48) - 1;

    // S-1-0 with no sub-authority (a valid, if useless, binary SID).
    Sid() = default;
    // Throws std::invalid_argument for more than 15 sub-authorities or an authority over
    // 48 bits: that is a programming error, not bad input.
    Sid(std::uint64_t authority, std::initializer_list<std::uint32_t> subAuthorities);
    Sid(std::uint64_t authority, std::span<const std::uint32_t> subAuthorities);

    std::uint64_t authority() const { return authority_; }
    std::span<const std::uint32_t> subAuthorities() const { return {subs_.data(), count_}; }
    std::size_t subAuthorityCount() const { return count_; }
    // The last sub-authority (the RID of an account SID); 0 without sub-authorities.
    std::uint32_t rid() const { return count_ == 0 ? 0 : subs_[count_ - 1]; }
    // This SID with one more sub-authority, as an account SID is its domain SID plus a RID.
    // Fails with ERROR_INVALID_SID when the SID already has 15.
    Result<Sid> withRid(std::uint32_t rid) const;
    // True when `other` is this SID with exactly one more sub-authority.
    bool isDomainOf(const Sid& other) const;

    // GetLengthSid: 8 + 4 * sub-authority count.
    std::size_t length() const { return 8 + 4 * count_; }
    std::vector<std::uint8_t> toBytes() const;
    void appendTo(std::vector<std::uint8_t>& out) const;
    // Reads the SID at the start of `bytes`, which may continue beyond it. Rejects, with
    // ERROR_INVALID_SID, what IsValidSid rejects (revision other than 1, more than 15
    // sub-authorities) and a SID longer than the bytes given.
    static Result<Sid> fromBytes(std::span<const std::uint8_t> bytes);

    // ConvertSidToStringSidW: "S-1-" authority (decimal below 2^32, otherwise "0x" and twelve
    // lower-case hex digits) then "-" and each sub-authority in decimal.
    std::wstring toString() const;
    // ConvertStringSidToSidW without the SDDL aliases: "S-" or "s-", revision 1, an authority
    // and 1 to 15 sub-authorities, each decimal or "0x"/"0X" hex. Anything else, including
    // surrounding text, is ERROR_INVALID_SID.
    static Result<Sid> parse(std::wstring_view text);

    // EqualSid, and a total order (authority, then sub-authorities) for sorted containers.
    friend bool operator==(const Sid& a, const Sid& b);
    friend std::strong_ordering operator<=>(const Sid& a, const Sid& b);

private:
    std::uint64_t authority_ = 0;
    std::array<std::uint32_t, MaxSubAuthorities> subs_{};
    std::uint8_t count_ = 0;
};

// Win32 semantics over a caller's buffer that holds a SID (PSID has no length: as on Windows the
// caller vouches that the buffer holds GetLengthSid bytes once the first two bytes are valid).
bool isValidSid(const std::uint8_t* sid);
std::uint32_t getLengthSid(const std::uint8_t* sid);
bool equalSid(const std::uint8_t* a, const std::uint8_t* b);
// CopySid: ERROR_INSUFFICIENT_BUFFER when the destination is shorter than the SID,
// ERROR_INVALID_SID for an invalid source.
Status copySid(std::uint32_t destinationLength, std::uint8_t* destination,
               const std::uint8_t* source);

// SIDs that the rules of this library name (MS-DTYP 2.4.2.4).
namespace WellKnownSid {
inline Sid everyone() {
    return Sid(1, {0});
}
inline Sid creatorOwner() {
    return Sid(3, {0});
}
inline Sid creatorGroup() {
    return Sid(3, {1});
}
inline Sid ownerRights() {
    return Sid(3, {4});
}
inline Sid authenticatedUsers() {
    return Sid(5, {11});
}
inline Sid localSystem() {
    return Sid(5, {18});
}
inline Sid builtinAdministrators() {
    return Sid(5, {32, 544});
}
inline Sid builtinUsers() {
    return Sid(5, {32, 545});
}
}  // namespace WellKnownSid

}  // namespace Platform::Dtyp
