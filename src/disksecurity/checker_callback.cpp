#include "disksecurity/checker_callback.h"

namespace DiskSecurity {

CallbackResult Callback::onError(ErrorCategory, const std::wstring&, const std::wstring&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeApply(const std::wstring&, bool) {
    return CallbackResult::Continue;
}

CallbackResult Callback::beforeCheck(const std::wstring&, bool) {
    return CallbackResult::Continue;
}

SecurityInformationPtr Callback::securityInformationFor(const SecurityInformationPtr& parent,
                                                        const std::wstring&,
                                                        TarnoComponentResolver*) {
    return parent;
}

}  // namespace DiskSecurity
