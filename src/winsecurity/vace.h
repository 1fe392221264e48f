// VAce: the owner of one access control entry in its Windows layout (MS-DTYP 2.4.4): the
// header {type, flags, size}, the access mask, for object ACEs the object data, then the SID.
// The part before the SID is the head.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "accounts/vsid.h"
#include "winsecurity/access.h"

class VAce {
public:
    // A new ACE: the head of `type` followed by a copy of `sid`. Object types get both GUIDs
    // (zero) so that their head is the full 44 bytes. Raises "Unsupported ACE type (%d)" for
    // compound and callback types, "Unable to copy SID" for an invalid SID.
    static VAce create(std::uint8_t type, std::uint8_t flags, std::uint32_t mask,
                       const std::uint8_t* sid);
    static VAce create(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const VSID& sid);
    // A private copy of the ACE at `ace` (AceSize bytes).
    static VAce copyOf(const std::uint8_t* ace);

    const std::uint8_t* get() const { return ace_.data(); }
    std::uint8_t type() const { return ace_[0]; }
    std::uint8_t flags() const { return ace_[1]; }
    std::uint16_t size() const { return static_cast<std::uint16_t>(ace_[2] | ace_[3] << 8); }
    std::uint32_t mask() const;
    bool isInherited() const;

    // The SID behind the head, as an account value.
    VSID sid() const;

    // Same type, byte-equal heads (flags, INHERITED_ACE included, size and raw mask) and equal
    // SIDs. Raises "Unsupported ACE type (%d)" for a type without a known head.
    bool equals(const VAce& other) const;
    static bool equals(const std::uint8_t* a, const std::uint8_t* b);

    // The inheritance of the flags in the words of the Advanced Security dialog ("this folder,
    // subfolders and files"); unusual combinations as the hexadecimal flags byte.
    std::wstring inheritanceText() const;
    // "<account>: <allow|deny> for <inheritance> ACE with access mask <mask>\r\n".
    std::wstring dumpLine(const MaskMapper& mapMask = {}) const;

    // The head size of an ACE type: 8 for the four basic types, 44 for their object forms.
    // Raises "Unsupported ACE type (%d)" for type 4 and every type above 8.
    static std::uint32_t headSize(std::uint8_t type);
    // The head size of the ACE at `ace`; object ACEs count only the GUIDs their flags announce.
    static std::uint32_t headSizeOf(const std::uint8_t* ace);

private:
    explicit VAce(std::vector<std::uint8_t> bytes) : ace_(std::move(bytes)) {}

    std::vector<std::uint8_t> ace_;
};
