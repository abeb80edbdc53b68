// Bilinear stretch of a one-byte-per-pixel matte, each axis on its own, with pixel centres at
// half-integer positions: destination pixel x samples the source at
// (x + 0.5) * sourceWidth / destinationWidth - 0.5, clamped to the source's edge pixels.
//
// Fixed point: the per-column and per-row weights are 11-bit fractions. Each destination row
// first blends its two source rows into a row of the source's width, then blends along x. The
// result stays within one level of the exact (double) formula.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/imaging/imaging.h"

namespace figsplit {

namespace {

constexpr uint32_t kWeightBits = 11;
constexpr uint32_t kOne = 1u << kWeightBits;

struct Tap {
    int64_t first = 0;    // left (or top) source index
    int64_t second = 0;   // right (or bottom) source index, clamped
    uint32_t weight = 0;  // weight of `second` in 1 / kOne
};

// One tap per destination position along an axis of `sourceLength` -> `destinationLength`.
std::vector<Tap> axisTaps(int64_t sourceLength, int64_t destinationLength) {
    std::vector<Tap> taps(static_cast<size_t>(destinationLength));
    const double ratio = static_cast<double>(sourceLength) / static_cast<double>(destinationLength);
    for (int64_t i = 0; i < destinationLength; ++i) {
        double position = (static_cast<double>(i) + 0.5) * ratio - 0.5;
        position = std::clamp(position, 0.0, static_cast<double>(sourceLength - 1));
        const double floorPosition = std::floor(position);
        Tap& tap = taps[static_cast<size_t>(i)];
        tap.first = static_cast<int64_t>(floorPosition);
        tap.second = std::min(tap.first + 1, sourceLength - 1);
        tap.weight = static_cast<uint32_t>(std::lround((position - floorPosition) * kOne));
        if (tap.weight == kOne) {  // rounds up to the next source pixel
            tap.first = tap.second;
            tap.weight = 0;
        }
    }
    return taps;
}

}  // namespace

void scaleGrey(const GreyImage& source, GreyImage& dst) {
    if (dst.width <= 0 || dst.height <= 0) return;
    if (source.width <= 0 || source.height <= 0) {
        // Nothing to sample: the stretched matte is empty (background).
        for (int64_t y = 0; y < dst.height; ++y) {
            std::memset(dst.bytes.data() + y * dst.stride, 0, static_cast<size_t>(dst.width));
        }
        return;
    }

    const std::vector<Tap> columns = axisTaps(source.width, dst.width);
    const std::vector<Tap> rows = axisTaps(source.height, dst.height);
    std::vector<uint32_t> blended(static_cast<size_t>(source.width));

    for (int64_t y = 0; y < dst.height; ++y) {
        const Tap& row = rows[static_cast<size_t>(y)];
        const uint8_t* top = source.bytes.data() + row.first * source.stride;
        const uint8_t* bottom = source.bytes.data() + row.second * source.stride;
        const uint32_t wy = row.weight;
        for (int64_t x = 0; x < source.width; ++x) {
            blended[static_cast<size_t>(x)] = top[x] * (kOne - wy) + bottom[x] * wy;
        }
        uint8_t* out = dst.bytes.data() + y * dst.stride;
        for (int64_t x = 0; x < dst.width; ++x) {
            const Tap& column = columns[static_cast<size_t>(x)];
            const uint32_t left = blended[static_cast<size_t>(column.first)];
            const uint32_t right = blended[static_cast<size_t>(column.second)];
            const uint32_t wx = column.weight;
            out[x] = static_cast<uint8_t>(
                (left * (kOne - wx) + right * wx + (1u << (2 * kWeightBits - 1))) >>
                (2 * kWeightBits));
        }
    }
}

}  // namespace figsplit
