#pragma once
// Per-pixel temporal median over a window of one to five mattes of equal length.
#include <cstdint>
#include <span>
#include <vector>

namespace figsplit {

// One matte frame: outW x outH bytes, row-major, top row first, rows packed with no gap;
// 0 = background, 255 = person.
using MatteRaster = std::vector<uint8_t>;

// The middle one of three bytes: max(min(x, y), min(z, max(x, y))).
constexpr uint8_t median3(uint8_t x, uint8_t y, uint8_t z) {
    const uint8_t lo = x < y ? x : y;
    const uint8_t hi = x < y ? y : x;
    const uint8_t m = z < hi ? z : hi;
    return lo < m ? m : lo;
}

// The temporal median of `window` (oldest first, 1..5 rasters of equal, non-zero length).
// Odd windows give the middle value, even ones the mean of the two middle values rounded down.
// With one raster the result is that raster itself (no copy, `scratch` untouched); otherwise
// the result is written into `scratch` (resized to the first raster's length; its capacity is
// reused from call to call) and a reference to it is returned.
// Other windows are handled without reading out of bounds: an empty window gives an empty
// result; the result always has the first raster's length, and where a shorter raster (or a null
// pointer, taken as an empty raster) has no byte, the median is taken over the others there; more
// than five rasters give the median of all; `scratch` may itself be one of the rasters.
const MatteRaster& medianMask(std::span<const MatteRaster* const> window, MatteRaster& scratch);

}  // namespace figsplit
