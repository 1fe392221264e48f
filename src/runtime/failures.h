// How every handler of the program treats a failure: hardware faults become C++ exceptions
// under the translator, and whatever was thrown becomes a vexception with one more record.
#pragma once

#include <cstdint>

#include "platform/seh.h"
#include "runtime/exceptions.h"

// The structured-exception translator: no second translation, a Crash line, a dump when dumps
// are enabled, then the fault leaves as a cwrpexception.
[[noreturn]] void translateStructuredException(std::uint32_t code);

// Runs `body` with the translator installed; the caller's translator comes back afterwards.
template <typename Body>
void runTranslated(Body&& body) {
    Platform::SeTranslator previous = Platform::setSeTranslator(translateStructuredException);
    try {
        Platform::guardedCall([&] {
            body();
            return 0;
        });
    } catch (...) {
        Platform::setSeTranslator(previous);
        throw;
    }
    Platform::setSeTranslator(previous);
}

// Called inside a catch block: the exception being handled as a vexception with `site` as its
// outermost record, trying std::exception, vexception, the COM error, the structured
// exception and anything else ("Unexpected error"), in that order.
vexception currentFailure(CallSite site);
