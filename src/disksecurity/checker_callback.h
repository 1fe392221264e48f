// The questions a checker asks its caller as it walks, and what the caller answers.
#pragma once

#include <cstdint>
#include <string>

#include "disksecurity/checker_errors.h"
#include "disksecurity/security_information.h"
#include "runtime/vpath.h"

namespace DiskSecurity {

// What a callback answers.
enum class CallbackResult : std::int32_t {
    Continue = 0,
    Abort = 1,   // end the whole run
    Ignore = 2,  // nothing more for this path, its children included
    Retry = 3,   // handle this path again
};

// The questions a checker asks its caller, with the path of the object as the walk holds it
// (what a person reads is its shown()). The defaults go on with everything.
class Callback {
public:
    virtual ~Callback() = default;
    // An error while handling `path`; `allEntriesFlag8`: every applicable entry of the path's
    // information carries entry flag 0x8. 0 counts as Ignore.
    virtual CallbackResult onError(ErrorCategory category, const std::wstring& text,
                                   const VPath& path, bool allEntriesFlag8);
    virtual CallbackResult beforeApply(const VPath& path, bool isDirectory);
    virtual CallbackResult beforeCheck(const VPath& path, bool isDirectory);
    // The information to use as the parent information of `path`; null leaves the path and
    // everything below it unvisited (counted as failed).
    virtual SecurityInformationPtr securityInformationFor(const SecurityInformationPtr& parent,
                                                          const VPath& path,
                                                          TarnoComponentResolver* context);
};

}  // namespace DiskSecurity
