// What a test asks of the exceptions an action throws.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "runtime/exceptions.h"

namespace TestSupport {

// The system error `action` throws; a failure of the test where it throws none.
template <typename F>
vosexception osErrorOf(F action) {
    try {
        action();
    } catch (const vosexception& e) {
        return e;
    }
    ADD_FAILURE() << "no vosexception";
    return vosexception(0, L"", CallSite{});
}

inline bool mentions(const vexception& e, const std::wstring& text) {
    return e.message().find(text) != std::wstring::npos;
}

}  // namespace TestSupport
