// A value that a scope sets on its thread for as long as it lives.
#pragma once

#include <utility>

// Sets `slot`, a thread_local, to `value` for the scope's lifetime and puts back what it held
// before when the scope ends: the scopes of one thread nest, the innermost one's value serves.
template <typename T>
class ThreadScoped {
public:
    ThreadScoped(T& slot, T value) : slot_(slot), previous_(std::exchange(slot, std::move(value))) {}
    ~ThreadScoped() { slot_ = std::move(previous_); }
    ThreadScoped(const ThreadScoped&) = delete;
    ThreadScoped& operator=(const ThreadScoped&) = delete;

private:
    T& slot_;
    T previous_;
};
