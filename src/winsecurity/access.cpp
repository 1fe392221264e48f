#include "winsecurity/access.h"

#include "platform/dtyp/access_mask.h"

std::uint32_t mapGenericAccess(std::uint32_t mask) {
    return Platform::Dtyp::mapGenericMask(mask, Platform::Dtyp::fileGenericMapping);
}

bool accessContains(std::uint32_t a, std::uint32_t b) {
    std::uint32_t mappedA = mapGenericAccess(a);
    return (mappedA & mapGenericAccess(b)) == mappedA;
}

bool accessEquals(std::uint32_t a, std::uint32_t b) {
    return mapGenericAccess(a) == mapGenericAccess(b);
}
