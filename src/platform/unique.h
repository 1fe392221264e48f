// One small move-only owner for every kind of OS resource: a handle, a search handle, a
// registry key, an event source. The close function is named by the traits type.
#pragma once

#include <utility>

#include "platform/types.h"

namespace Platform {

template <typename Traits>
class UniqueResource {
public:
    using Type = typename Traits::Type;

    UniqueResource() = default;
    explicit UniqueResource(Type value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }

    // Closes the held resource (if any) and takes the new one.
    void reset(Type value = Traits::empty()) {
        Type old = std::exchange(value_, value);
        if (Traits::valid(old)) {
            Traits::close(old);
        }
    }
    Type release() { return std::exchange(value_, Traits::empty()); }

private:
    Type value_ = Traits::empty();
};

bool closeHandle(Handle handle);
bool findClose(Handle handle);
std::uint32_t regCloseKey(RegKey key);
bool deregisterEventSource(Handle handle);

struct HandleTraits {
    using Type = Handle;
    static Type empty() { return nullptr; }
    static bool valid(Type h) { return h != nullptr && h != invalidHandle(); }
    static void close(Type h) { closeHandle(h); }
};
struct FindHandleTraits : HandleTraits {
    static Type empty() { return invalidHandle(); }
    static void close(Type h) { findClose(h); }
};
struct RegKeyTraits {
    using Type = RegKey;
    static Type empty() { return nullptr; }
    static bool valid(Type k) { return k != nullptr; }
    static void close(Type k) { regCloseKey(k); }
};
struct EventSourceTraits : HandleTraits {
    static void close(Type h) { deregisterEventSource(h); }
};

using UniqueHandle = UniqueResource<HandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;

}  // namespace Platform
