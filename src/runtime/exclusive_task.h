// Owner of one named, machine-wide mutex that serializes work between processes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique.h"

class ExclusiveTask {
public:
    ExclusiveTask() = default;
    // Releases the mutex (if held) and closes its handle.
    ~ExclusiveTask();
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;

    // Opens (creating if needed) the mutex `name` and waits for it up to `timeout` ms
    // (Platform::Infinite: forever). Returns the wait result: Platform::WaitObject0,
    // Platform::WaitAbandoned (also acquired) or Platform::WaitTimeout. Throws the
    // operating-system error when the mutex cannot be created or waited for.
    std::uint32_t Initialize(const std::wstring& name, std::uint32_t timeout);

private:
    Platform::UniqueHandle mutex_;
};
