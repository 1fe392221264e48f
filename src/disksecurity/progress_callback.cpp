#include "disksecurity/progress_callback.h"

namespace DiskSecurity {
namespace {

constexpr auto showInterval = std::chrono::milliseconds(250);
constexpr std::uint32_t clockEvery = 0x40;

}  // namespace

CallbackResult ProgressCallback::onError(ErrorCategory category, const std::wstring& text,
                                         const VPath& path, bool allEntriesFlag8) {
    return inner_.onError(category, text, path, allEntriesFlag8);
}

CallbackResult ProgressCallback::beforeApply(const VPath& path, bool isDirectory) {
    return inner_.beforeApply(path, isDirectory);
}

CallbackResult ProgressCallback::beforeCheck(const VPath& path, bool isDirectory) {
    if ((++tick_ % clockEvery) == 0) {
        auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ >= showInterval) {
            lastShown_ = now;
            show_(path);
        }
    }
    return inner_.beforeCheck(path, isDirectory);
}

SecurityInformationPtr ProgressCallback::securityInformationFor(
    const SecurityInformationPtr& parent, const VPath& path,
    TarnoComponentResolver* context) {
    return inner_.securityInformationFor(parent, path, context);
}

}  // namespace DiskSecurity
