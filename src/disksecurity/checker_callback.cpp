#include "disksecurity/checker_callback.h"

namespace DiskSecurity {

CallbackResult Callback::onError(ErrorCategory, const std::wstring&, const VPath&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeApply(const VPath&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeCheck(const VPath&, bool) {
    return CallbackResult::Continue;
}

SecurityInformationPtr Callback::securityInformationFor(const SecurityInformationPtr& parent,
                                                        const VPath&,
                                                        TarnoComponentResolver*) {
    return parent;
}

}  // namespace DiskSecurity
