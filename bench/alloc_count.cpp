// The global operator new and delete of a benchmark that counts its allocations. In a unit of
// their own, so that no caller sees malloc and free paired with new and delete.
#include "alloc_count.h"

#include <cstdlib>
#include <new>

std::atomic<std::uint64_t> BenchAllocations::count{0};

void* operator new(std::size_t size) {
    BenchAllocations::count.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
