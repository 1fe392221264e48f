#include "winsecurity/vacl.h"

#include <algorithm>
#include <new>

#include "platform/dtyp/ace.h"
#include "platform/types.h"
#include "runtime/exceptions.h"

namespace {

namespace Dtyp = Platform::Dtyp;
namespace WinError = Platform::WinError;

constexpr std::uint32_t defaultAclSize = 268;
// The largest size InitializeAcl takes, rounded down to the DWORD alignment it keeps.
constexpr std::uint32_t largestAclSize = Dtyp::AclMaxSize & ~3u;

// The canonical class of an ACE type: its place in this table, plus 4 for an inherited ACE.
// Audit and alarm ACEs belong in a SACL and have no place here.
constexpr std::uint8_t canonicalTypes[] = {
    Dtyp::AceType::AccessDenied,
    Dtyp::AceType::AccessDeniedObject,
    Dtyp::AceType::AccessAllowed,
    Dtyp::AceType::AccessAllowedObject,
};

int canonicalClass(const std::uint8_t* ace) {
    const auto* found = std::find(std::begin(canonicalTypes), std::end(canonicalTypes), ace[0]);
    if (found == std::end(canonicalTypes)) {
        return -1;
    }
    int index = static_cast<int>(found - std::begin(canonicalTypes));
    return (ace[1] & Dtyp::AceFlag::Inherited) ? index + 4 : index;
}

std::uint16_t aceSize(const std::uint8_t* ace) {
    return static_cast<std::uint16_t>(ace[2] | ace[3] << 8);
}

const std::uint8_t* aceOf(const std::uint8_t* acl, std::uint32_t index) {
    const std::uint8_t* ace = nullptr;
    if (auto status = Dtyp::getAce(acl, index, &ace); !status) {
        throwOsError(L"Unable to get ACL ACE", status.error, VSITE("VAcl::getAce"));
    }
    return ace;
}

}  // namespace

VAcl::VAcl() : acl_(_newAcl(defaultAclSize)) {}

VAcl::VAcl(const std::uint8_t* acl) : VAcl() {
    copyFrom(acl);
}

VAcl::VAcl(const VAcl& other) : VAcl() {
    copyFrom(other.get());
}

VAcl& VAcl::operator=(const VAcl& other) {
    if (this != &other) {
        copyFrom(other.get());
    }
    return *this;
}

std::vector<std::uint8_t> VAcl::_newAcl(std::uint32_t size) {
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        throwOsError(L"Unable to allocate new ACL", 0, VSITE("VAcl::VAcl"));
    }
    if (auto status = Dtyp::initializeAcl(buffer.data(), size, Dtyp::AclRevision::Standard);
        !status) {
        throwOsError(L"Unable to initialize ACL", status.error, VSITE("VAcl::VAcl"));
    }
    return buffer;
}

Dtyp::AclSizeInformation VAcl::_sizeInformation(const std::uint8_t* acl) {
    Dtyp::AclSizeInformation information;
    if (auto status = Dtyp::getAclInformation(acl, &information, sizeof(information),
                                              Dtyp::AclInformationClass::Size);
        !status) {
        throwOsError(L"Unable to get ACL size", status.error, VSITE("VAcl::getAclInformation"));
    }
    return information;
}

Dtyp::AclSizeInformation VAcl::_sizeInformation() const {
    return _sizeInformation(get());
}

void VAcl::_insertCanonical(const std::uint8_t* ace) {
    int newClass = canonicalClass(ace);
    if (newClass < 0) {
        throwOsError(L"Invalid ACE type", WinError::InvalidParameter, VSITE("VAcl::addAce"));
    }
    // Before the first ACE of the same or a later class: an ACE joins its class at the front.
    std::uint32_t count = _sizeInformation().aceCount;
    std::uint32_t index = 0;
    for (; index < count; ++index) {
        int existingClass = canonicalClass(aceOf(get(), index));
        if (existingClass < 0) {
            throwOsError(L"Unsupported ACE type in ACL", WinError::InvalidParameter,
                         VSITE("VAcl::addAce"));
        }
        if (existingClass >= newClass) {
            break;
        }
    }
    // Object ACEs need the revision that allows them (ACL_REVISION_DS); AddAce with
    // ACL_REVISION would refuse them.
    std::uint32_t revision =
        Dtyp::isObjectAceType(ace[0]) ? Dtyp::AclRevision::Ds : Dtyp::AclRevision::Standard;
    if (auto status = Dtyp::addAce(acl_.data(), revision, index, ace, aceSize(ace)); !status) {
        throwOsError(L"Unable to add ACE to ACL", status.error, VSITE("VAcl::addAce"));
    }
}

void VAcl::_insertAll(const std::uint8_t* acl) {
    std::uint32_t count = _sizeInformation(acl).aceCount;
    for (std::uint32_t i = 0; i < count; ++i) {
        _insertCanonical(aceOf(acl, i));
    }
}

void VAcl::copyFrom(const std::uint8_t* acl) {
    // Every DACL read is copied here. Inserting the ACEs one by one, each at the front of its
    // class, gives the classes in order, each with its ACEs in the reverse of the source's
    // order: that list is built in one pass and added in one AddAce, whose revision is the
    // highest that one ACE at a time would have raised the ACL to. The source may be this
    // very buffer: it is read whole before the result replaces it.
    auto source = _sizeInformation(acl);
    std::uint32_t size = std::max<std::uint32_t>(source.aclBytesInUse + source.aclBytesFree,
                                                 static_cast<std::uint32_t>(acl_.size()));
    std::vector<const std::uint8_t*> aces(source.aceCount);
    std::vector<int> classes(source.aceCount);
    int lastClass = -1;
    std::uint32_t revision = Dtyp::AclRevision::Standard;
    for (std::uint32_t i = 0; i < source.aceCount; ++i) {
        aces[i] = aceOf(acl, i);
        classes[i] = canonicalClass(aces[i]);
        if (classes[i] < 0) {
            throwOsError(L"Invalid ACE type", WinError::InvalidParameter, VSITE("VAcl::addAce"));
        }
        lastClass = std::max(lastClass, classes[i]);
        if (Dtyp::isObjectAceType(aces[i][0])) {
            revision = Dtyp::AclRevision::Ds;
        }
    }
    std::vector<std::uint8_t> list;
    list.reserve(source.aclBytesInUse);
    for (int wanted = 0; wanted <= lastClass; ++wanted) {
        for (std::uint32_t i = source.aceCount; i-- > 0;) {
            if (classes[i] == wanted) {
                list.insert(list.end(), aces[i], aces[i] + aceSize(aces[i]));
            }
        }
    }
    std::vector<std::uint8_t> copy = _newAcl(size);
    if (auto status = Dtyp::addAce(copy.data(), revision, 0, list.data(),
                                   static_cast<std::uint32_t>(list.size()));
        !status) {
        throwOsError(L"Unable to add ACE to ACL", status.error, VSITE("VAcl::addAce"));
    }
    acl_ = std::move(copy);
}

void VAcl::_grow(std::uint32_t aceBytes, const std::uint8_t* second) {
    auto mine = _sizeInformation();
    std::uint32_t needed = mine.aclBytesInUse + aceBytes + Dtyp::AclHeaderSize;
    if (second != nullptr) {
        needed += _sizeInformation(second).aclBytesInUse;
    }
    if (needed <= mine.aclBytesInUse + mine.aclBytesFree) {
        return;
    }
    // Twice what is needed, so that a run of additions does not reallocate each time; but
    // never past what an ACL can state, as long as what is needed still fits.
    std::uint32_t size = needed * 2;
    if (size > largestAclSize && needed <= largestAclSize) {
        size = largestAclSize;
    }
    VAcl grown;
    grown.acl_ = _newAcl(size);
    grown._insertAll(get());
    acl_ = std::move(grown.acl_);
}

VAcl VAcl::merge(const std::uint8_t* first, const std::uint8_t* second) {
    VAcl merged(first);
    merged._grow(0, second);
    merged._insertAll(second);
    return merged;
}

VAcl VAcl::merge(const VAcl& first, const VAcl& second) {
    return merge(first.get(), second.get());
}

void VAcl::addAces(const std::vector<VAce>& aces) {
    std::uint32_t bytes = 0;
    for (const VAce& ace : aces) {
        bytes += ace.size();
    }
    _grow(bytes);
    for (const VAce& ace : aces) {
        if (findAce(ace) < 0) {
            _insertCanonical(ace.get());
        }
    }
}

VAcl VAcl::ofTwoAces(const VAce& first, const VAce& second) {
    VAcl acl;
    acl.addAces({first, second});
    return acl;
}

int VAcl::findAce(const VAce& ace, int start) const {
    int count = aceCount();
    for (int i = std::max(start, 0); i < count; ++i) {
        if (VAce::equals(aceOf(get(), static_cast<std::uint32_t>(i)), ace.get())) {
            return i;
        }
    }
    return -1;
}

VAce VAcl::aceAt(int index) const {
    const std::uint8_t* ace = nullptr;
    auto status = index < 0 ? Dtyp::Status{WinError::InvalidParameter}
                            : Dtyp::getAce(get(), static_cast<std::uint32_t>(index), &ace);
    if (!status) {
        throwOsError(formatString(L"Unable to get ACL ACE (%d)", index), status.error,
                     VSITE("VAcl::aceAt"));
    }
    return VAce::copyOf(ace);
}

void VAcl::deleteAce(int index) {
    auto status = index < 0 ? Dtyp::Status{WinError::InvalidParameter}
                            : Dtyp::deleteAce(acl_.data(), static_cast<std::uint32_t>(index));
    if (!status) {
        throwOsError(formatString(L"Unable to delete ACL ACE (%d)", index), status.error,
                     VSITE("VAcl::deleteAce"));
    }
}

int VAcl::aceCount() const {
    return static_cast<int>(_sizeInformation().aceCount);
}

bool VAcl::hasInheritedAce() const {
    std::uint32_t count = _sizeInformation().aceCount;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (aceOf(get(), i)[1] & Dtyp::AceFlag::Inherited) {
            return true;
        }
    }
    return false;
}

std::wstring VAcl::dump(const MaskMapper& mapMask) const {
    std::wstring text;
    int count = aceCount();
    for (int i = 0; i < count; ++i) {
        text += aceAt(i).dumpLine(mapMask);
    }
    return text;
}

bool operator==(const VAcl& a, const VAcl& b) {
    int count = a.aceCount();
    if (count != b.aceCount()) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (b.findAce(a.aceAt(i)) < 0 || a.findAce(b.aceAt(i)) < 0) {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> VAcl::bytes() const {
    auto information = _sizeInformation();
    std::vector<std::uint8_t> used(get(), get() + information.aclBytesInUse);
    // The header states the size of the buffer; the copy has no free space.
    used[2] = static_cast<std::uint8_t>(information.aclBytesInUse & 0xFF);
    used[3] = static_cast<std::uint8_t>(information.aclBytesInUse >> 8);
    return used;
}

Dtyp::Acl VAcl::parsed() const {
    auto acl = Dtyp::decodeAcl(bytes());
    if (!acl) {
        throwOsError(L"Unable to get ACL ACE", acl.error(), VSITE("VAcl::parsed"));
    }
    return *acl;
}
