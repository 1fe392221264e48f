// A counting allocator for the benchmarks: a program linked with alloc_count.cpp counts every
// heap allocation of its global operator new, so a figure can say how many a piece of work made
// per object.
#pragma once

#include <atomic>
#include <cstdint>

namespace BenchAllocations {

extern std::atomic<std::uint64_t> count;

inline std::uint64_t now() {
    return count.load(std::memory_order_relaxed);
}

}  // namespace BenchAllocations
