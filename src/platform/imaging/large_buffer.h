#pragma once
// Full-size picture buffers. A 12-megapixel RGBA picture is 48 MB: touched page by page, its
// first write costs some 12,000 page faults, which measured more than the JPEG decoding itself.
// Asking for transparent huge pages (where the kernel offers them on request, as Debian's
// default "madvise" mode does) cuts that by a factor of up to 512.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace figsplit {

// Sizes `bytes` to `size` zero bytes (any old contents are dropped), with huge pages advised
// for a large buffer before its first touch. Throws std::bad_alloc like vector::resize.
void allocatePixels(std::vector<uint8_t>& bytes, size_t size);

}  // namespace figsplit
