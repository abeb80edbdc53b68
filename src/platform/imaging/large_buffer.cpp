#include "platform/imaging/large_buffer.h"

#include <sys/mman.h>

namespace figsplit {

namespace {
constexpr size_t kHugePage = size_t{2} << 20;
}

void allocatePixels(std::vector<uint8_t>& bytes, size_t size) {
    std::vector<uint8_t>().swap(bytes);
    bytes.reserve(size);
    if (size >= 4 * kHugePage) {
        const auto start = reinterpret_cast<uintptr_t>(bytes.data());
        const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
        const uintptr_t last = (start + size) & ~(kHugePage - 1);
        // Only advice: where it is refused, the buffer works the same with small pages.
        if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
    bytes.resize(size);
}

}  // namespace figsplit
