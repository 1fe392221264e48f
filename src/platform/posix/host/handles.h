// The emulated host's handle table: every object the seam hands out (file, search, mutex,
// registry key, event source) is an entry, and the handle value is its key, as on Windows.
#pragma once

#include <memory>

#include "platform/types.h"

namespace Platform::Posix {

class HandleObject {
public:
    virtual ~HandleObject() = default;
};

Handle registerHandle(std::shared_ptr<HandleObject> object);

// The object behind a handle if it is of type T; null otherwise.
std::shared_ptr<HandleObject> findHandle(Handle handle);
template <typename T>
std::shared_ptr<T> lookupHandle(Handle handle) {
    return std::dynamic_pointer_cast<T>(findHandle(handle));
}

// Removes the entry if it is of type T (or any type when T is HandleObject); the object dies
// with its last user.
template <typename T>
bool unregisterHandle(Handle handle);
bool unregisterHandleIf(Handle handle, bool (*matches)(const HandleObject*));

template <typename T>
bool unregisterHandle(Handle handle) {
    return unregisterHandleIf(
        handle, [](const HandleObject* o) { return dynamic_cast<const T*>(o) != nullptr; });
}

}  // namespace Platform::Posix
