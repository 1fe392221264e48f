#include "runtime/com_apartment.h"

#include <cstdint>

#include "platform/system.h"
#include "runtime/exceptions.h"

ComApartment::ComApartment() {
    std::int32_t result = Platform::coInitialize();
    if (result < 0 && result != Platform::RpcEChangedMode) {
        throw vexceptionFromComError(ComError(result), L"CoInitialize",
                                     "ComApartment::ComApartment", __LINE__);
    }
    initialized_ = result >= 0;
}

ComApartment::~ComApartment() {
    if (initialized_) {
        Platform::coUninitialize();
    }
}
