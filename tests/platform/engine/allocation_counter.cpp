#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> largeAllocations{0};
}

namespace figsplit::testing {
long largeAllocationCount() {
    return largeAllocations.load();
}

}  // namespace figsplit::testing

void* operator new(std::size_t n) {
    if (n >= figsplit::testing::kLargeAllocation) ++largeAllocations;
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
