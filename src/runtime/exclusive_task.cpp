#include "runtime/exclusive_task.h"

#include "platform/sync.h"
#include "runtime/exceptions.h"

ExclusiveTask::~ExclusiveTask() {
    if (mutex_) {
        Platform::releaseMutex(mutex_.get());  // fails harmlessly when the wait timed out
    }
}

std::uint32_t ExclusiveTask::Initialize(const std::wstring& name, std::uint32_t timeout) {
    Platform::UniqueHandle handle(Platform::createMutex(name, false));
    if (!handle) {
        throwOsError(L"create mutex " + name, Platform::getLastError(),
                     CallSite{std::wstring(), "ExclusiveTask::Initialize", 183});
    }
    std::uint32_t result = Platform::waitForSingleObject(handle.get(), timeout);
    if (result != Platform::WaitObject0 && result != Platform::WaitAbandoned &&
        result != Platform::WaitTimeout) {
        std::uint32_t error = Platform::getLastError();
        handle.reset();
        throwOsError(L"WaitForSingleObject failed for mutex " + name, error,
                     CallSite{std::wstring(), "ExclusiveTask::Initialize", 189});
    }
    if (mutex_) {
        Platform::releaseMutex(mutex_.get());
    }
    mutex_ = std::move(handle);
    return result;
}
