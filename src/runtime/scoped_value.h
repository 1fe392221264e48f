// A value that a scope sets for as long as it lives.
#pragma once

#include <utility>

// Sets `slot` to `value` for the scope's lifetime and puts back what it held before when the
// scope ends, also by an exception: scopes nest, the innermost one's value serves. A slot that
// is a thread_local makes a scope of its thread.
template <typename T>
class ScopedValue {
public:
    ScopedValue(T& slot, T value) : slot_(slot), previous_(std::exchange(slot, std::move(value))) {}
    ~ScopedValue() { slot_ = std::move(previous_); }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

private:
    T& slot_;
    T previous_;
};
