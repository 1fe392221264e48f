#include "winsecurity/vace.h"

#include <cstring>
#include <new>

#include "platform/dtyp/ace.h"
#include "platform/dtyp/sid.h"
#include "platform/types.h"
#include "runtime/exceptions.h"

namespace {

namespace AceType = Platform::Dtyp::AceType;

constexpr std::uint32_t basicHeadSize = 8;     // header and mask
constexpr std::uint32_t objectFixedSize = 12;  // header, mask and object flags
constexpr std::uint32_t guidSize = 16;
constexpr std::uint32_t objectHeadSize = 44;  // with both GUIDs

std::uint32_t readUint32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void writeUint32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint16_t aceSize(const std::uint8_t* ace) {
    return static_cast<std::uint16_t>(ace[2] | ace[3] << 8);
}

}  // namespace

std::uint32_t VAce::headSize(std::uint8_t type) {
    if (type <= AceType::SystemAlarm) {
        return basicHeadSize;
    }
    if (type >= AceType::AccessAllowedObject && type <= AceType::SystemAlarmObject) {
        return objectHeadSize;
    }
    throwOsError(formatString(L"Unsupported ACE type (%d)", static_cast<int>(type)), 0,
                 VSITE("VAce::headSize"));
}

std::uint32_t VAce::headSizeOf(const std::uint8_t* ace) {
    std::uint32_t size = headSize(ace[0]);
    if (size == basicHeadSize) {
        return size;
    }
    // An object ACE carries only the GUIDs that its Flags field announces (MS-DTYP 2.4.4.3);
    // reading a fixed 44 bytes would take part of the SID for a GUID.
    std::uint32_t objectFlags = readUint32(ace + basicHeadSize);
    size = objectFixedSize;
    if (objectFlags & Platform::Dtyp::ObjectAceFlag::ObjectTypePresent) {
        size += guidSize;
    }
    if (objectFlags & Platform::Dtyp::ObjectAceFlag::InheritedObjectTypePresent) {
        size += guidSize;
    }
    return size;
}

VAce VAce::create(std::uint8_t type, std::uint8_t flags, std::uint32_t mask,
                  const std::uint8_t* sid) {
    std::uint32_t head = headSize(type);
    std::uint32_t sidLength =
        Platform::Dtyp::isValidSid(sid) ? Platform::Dtyp::getLengthSid(sid) : 0;
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(head + sidLength);
    } catch (const std::bad_alloc&) {
        throwOsError(L"Unable to allocate ACE", 0, VSITE("VAce::create"));
    }
    if (auto status = Platform::Dtyp::copySid(sidLength, bytes.data() + head, sid); !status) {
        throwOsError(L"Unable to copy SID", status.error, VSITE("VAce::create"));
    }
    bytes[0] = type;
    bytes[1] = flags;
    bytes[2] = static_cast<std::uint8_t>(bytes.size() & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(bytes.size() >> 8);
    writeUint32(bytes.data() + 4, mask);
    if (head == objectHeadSize) {
        writeUint32(bytes.data() + basicHeadSize,
                    Platform::Dtyp::ObjectAceFlag::ObjectTypePresent |
                        Platform::Dtyp::ObjectAceFlag::InheritedObjectTypePresent);
    }
    return VAce(std::move(bytes));
}

VAce VAce::create(std::uint8_t type, std::uint8_t flags, std::uint32_t mask, const VSID& sid) {
    return create(type, flags, mask, sid.sid());
}

VAce VAce::copyOf(const std::uint8_t* ace) {
    return VAce(std::vector<std::uint8_t>(ace, ace + aceSize(ace)));
}

std::uint32_t VAce::mask() const {
    return readUint32(ace_.data() + 4);
}

bool VAce::isInherited() const {
    return (flags() & Platform::Dtyp::AceFlag::Inherited) != 0;
}

VSID VAce::sid() const {
    return VSID(ace_.data() + headSizeOf(ace_.data()));
}

bool VAce::equals(const std::uint8_t* a, const std::uint8_t* b) {
    if (a[0] != b[0]) {
        return false;
    }
    std::uint32_t head = headSizeOf(a);
    if (headSizeOf(b) != head || std::memcmp(a, b, head) != 0) {
        return false;
    }
    return Platform::Dtyp::equalSid(a + head, b + head);
}

bool VAce::equals(const VAce& other) const {
    return equals(get(), other.get());
}

std::wstring VAce::inheritanceText() const {
    switch (flags() & ~Platform::Dtyp::AceFlag::Inherited) {
        case 0x0:
            return L"this object only";
        case 0x1:
            return L"this folder and files";
        case 0x2:
            return L"this folder and subfolders";
        case 0x3:
            return L"this folder, subfolders and files";
        case 0x9:
            return L"files only";
        case 0xA:
            return L"subfolders only";
        case 0xB:
            return L"subfolders and files only";
        default:
            return formatString(L"%X", static_cast<unsigned>(flags()));
    }
}

std::wstring VAce::dumpLine(const MaskMapper& mapMask) const {
    bool deny = type() == AceType::AccessDenied || type() == AceType::AccessDeniedObject;
    return formatString(L"%s: %s for %s ACE with access mask %X\r\n", sid().displayName(),
                        deny ? L"deny" : L"allow", inheritanceText(),
                        mapMask ? mapMask(mask()) : mask());
}
