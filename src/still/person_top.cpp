#include "still/person_top.h"

#include <algorithm>

namespace figsplit {

namespace {
constexpr uint8_t kPersonLevel = 128;
}

double personTop(const GreyImage& matte) {
    if (matte.width <= 0 || matte.height <= 0 || matte.stride < matte.width) return 1.0;
    // The last row need not be padded to the full stride.
    const size_t needed = static_cast<size_t>((matte.height - 1) * matte.stride + matte.width);
    if (matte.bytes.size() < needed) return 1.0;  // no readable bytes: as if nothing was found
    for (int64_t y = 0; y < matte.height; ++y) {
        const uint8_t* row = matte.bytes.data() + y * matte.stride;
        if (std::any_of(row, row + matte.width, [](uint8_t v) { return v >= kPersonLevel; })) {
            return static_cast<double>(y) / static_cast<double>(matte.height);
        }
    }
    return 1.0;
}

}  // namespace figsplit
