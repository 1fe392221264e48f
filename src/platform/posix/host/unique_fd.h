// The owner of a POSIX file descriptor, in the shape of the seam's other owners.
#pragma once

#include <unistd.h>

#include "platform/unique.h"

namespace Platform::Posix {

struct FdTraits {
    using Type = int;
    static Type empty() { return -1; }
    static bool valid(Type fd) { return fd >= 0; }
    static void close(Type fd) { ::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

}  // namespace Platform::Posix
