#include "platform/dtyp/access_mask.h"

namespace Platform::Dtyp {

std::uint32_t mapGenericMask(std::uint32_t mask, const GenericMapping& mapping) {
    std::uint32_t mapped = mask & ~Access::GenericMask;
    if (mask & Access::GenericRead) {
        mapped |= mapping.genericRead;
    }
    if (mask & Access::GenericWrite) {
        mapped |= mapping.genericWrite;
    }
    if (mask & Access::GenericExecute) {
        mapped |= mapping.genericExecute;
    }
    if (mask & Access::GenericAll) {
        mapped |= mapping.genericAll;
    }
    return mapped;
}

}  // namespace Platform::Dtyp
