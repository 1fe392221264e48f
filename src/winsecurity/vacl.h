// VAcl: the owner of one ACL buffer (MS-DTYP 2.4.5, revision 2) whose ACEs are always in
// canonical order: explicit before inherited, and in each group access-denied before
// access-allowed (object forms after their plain ones). Every ACE goes in through canonical
// insertion, so an ACL that this layer built or copied is one Windows evaluates as intended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dtyp/acl.h"
#include "winsecurity/access.h"
#include "winsecurity/vace.h"

class VAcl {
public:
    // An empty ACL of 268 bytes.
    VAcl();
    // A canonical copy of the ACL at `acl` (see copyFrom).
    explicit VAcl(const std::uint8_t* acl);
    // Copies are canonical copies: the order inside one class is reversed by the insertion.
    VAcl(const VAcl& other);
    VAcl& operator=(const VAcl& other);
    // A moved-from VAcl may only be assigned to or destroyed.
    VAcl(VAcl&& other) noexcept = default;
    VAcl& operator=(VAcl&& other) noexcept = default;

    // Replaces the content with every ACE of `acl`, inserted one by one at its canonical
    // place. The buffer grows to the source's size when it is smaller.
    void copyFrom(const std::uint8_t* acl);
    // The canonical copy of `first` with every ACE of `second` inserted; duplicates stay.
    static VAcl merge(const VAcl& first, const VAcl& second);
    static VAcl merge(const std::uint8_t* first, const std::uint8_t* second);
    // Inserts each ACE that the ACL does not hold yet (findAce) at its canonical place.
    void addAces(const std::vector<VAce>& aces);
    // An ACL of the two ACEs, added by addAces.
    static VAcl ofTwoAces(const VAce& first, const VAce& second);

    // The index of the first ACE at or after `start` equal to `ace` (VAce::equals), or -1.
    int findAce(const VAce& ace, int start = 0) const;
    // A private copy of the ACE at `index`.
    VAce aceAt(int index) const;
    // DeleteAce.
    void deleteAce(int index);
    int aceCount() const;
    bool hasInheritedAce() const;

    // One VAce::dumpLine per ACE in index order; empty for an empty ACL.
    std::wstring dump(const MaskMapper& mapMask = {}) const;

    // The same ACEs, each present in the other (order inside a class does not matter, as a
    // copy reverses it).
    friend bool operator==(const VAcl& a, const VAcl& b);

    // The ACL (PACL), valid while this VAcl lives and is not changed.
    const std::uint8_t* get() const { return acl_.data(); }
    // The ACL's bytes in use (header and ACEs, no free space).
    std::vector<std::uint8_t> bytes() const;
    // The whole buffer, free space included, in place: equal buffers hold equal ACLs.
    const std::vector<std::uint8_t>& buffer() const { return acl_; }
    // The parsed ACL.
    Platform::Dtyp::Acl parsed() const;

private:
    Platform::Dtyp::AclSizeInformation _sizeInformation() const;
    static Platform::Dtyp::AclSizeInformation _sizeInformation(const std::uint8_t* acl);
    static std::vector<std::uint8_t> _newAcl(std::uint32_t size);
    void _insertCanonical(const std::uint8_t* ace);
    void _insertAll(const std::uint8_t* acl);
    void _grow(std::uint32_t aceBytes, const std::uint8_t* second = nullptr);

    std::vector<std::uint8_t> acl_;
};
