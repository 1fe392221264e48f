// A callback between a checker and the callback that answers it, which shows how far the walk
// has got without slowing it down.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "disksecurity/security_checker.h"

namespace DiskSecurity {

// Forwards every question to `inner` unchanged. beforeCheck, which every object passes first,
// also calls `show` with the object's path, at most once every 250 ms: the clock is read only
// every 64th object, so that a walk of small files does not pay for it.
class ProgressCallback : public Callback {
public:
    using Show = std::function<void(const VPath& path)>;
    ProgressCallback(Callback& inner, Show show) : inner_(inner), show_(std::move(show)) {}

    CallbackResult onError(ErrorCategory category, const std::wstring& text,
                           const VPath& path, bool allEntriesFlag8) override;
    CallbackResult beforeApply(const VPath& path, bool isDirectory) override;
    CallbackResult beforeCheck(const VPath& path, bool isDirectory) override;
    SecurityInformationPtr securityInformationFor(const SecurityInformationPtr& parent,
                                                  const VPath& path,
                                                  TarnoComponentResolver* context) override;

private:
    Callback& inner_;
    Show show_;
    std::uint32_t tick_ = 0;
    std::chrono::steady_clock::time_point lastShown_{};
};

}  // namespace DiskSecurity
