#include "runtime/com_apartment.h"

#include <cstdint>

#include "platform/system.h"
#include "runtime/exceptions.h"

ComApartment::ComApartment() {
    std::int32_t result = Platform::coInitialize();
    if (result < 0 && result != Platform::RpcEChangedMode) {
        // The COM error itself: whoever catches it adds its own record, the console frame the
        // command's, as for every COM error.
        throw ComError(result);
    }
    initialized_ = result >= 0;
}

ComApartment::~ComApartment() {
    if (initialized_) {
        Platform::coUninitialize();
    }
}
