#include "platform/imaging/orientation.h"

#include <algorithm>
#include <cstring>

namespace figsplit {

Orientation orientationFromTag(uint32_t value) {
    return value >= 1 && value <= 8 ? static_cast<Orientation>(value) : Orientation::up;
}

namespace {

constexpr int64_t kStripRows = 16;

// Stored pixel (x, y) of a W x H picture lands at upright column u and row v with
//   1: (x, y)        2: (W-1-x, y)      3: (W-1-x, H-1-y)   4: (x, H-1-y)
//   5: (y, x)        6: (H-1-y, x)      7: (H-1-y, W-1-x)   8: (y, W-1-x)
template <int P>
void place(const uint8_t* rows, int64_t rowStride, int64_t firstRow, int64_t rowCount,
           int64_t width, int64_t height, Orientation orientation, uint8_t* upright) {
    const int64_t o = tagValue(orientation);
    if (!swapsAxes(orientation)) {
        const bool mirrorColumns = o == 2 || o == 3;
        const bool flipRows = o == 3 || o == 4;
        const int64_t rowBytes = width * P;
        for (int64_t r = 0; r < rowCount; ++r) {
            const int64_t y = firstRow + r;
            const uint8_t* from = rows + r * rowStride;
            uint8_t* to = upright + (flipRows ? height - 1 - y : y) * rowBytes;
            if (!mirrorColumns) {
                std::memcpy(to, from, static_cast<size_t>(rowBytes));
                continue;
            }
            for (int64_t x = 0; x < width; ++x)
                std::memcpy(to + (width - 1 - x) * P, from + x * P, P);
        }
        return;
    }
    // The upright picture is `height` wide. For one stored column x, the rows of a strip land
    // side by side in one upright row, so the writes stay contiguous.
    const bool mirrorColumns = o == 6 || o == 7;  // u = H-1-y
    const bool mirrorRows = o == 7 || o == 8;     // v = W-1-x
    const int64_t uprightRowBytes = height * P;
    for (int64_t s = 0; s < rowCount; s += kStripRows) {
        const int64_t count = std::min(kStripRows, rowCount - s);
        for (int64_t x = 0; x < width; ++x) {
            uint8_t* uprightRow = upright + (mirrorRows ? width - 1 - x : x) * uprightRowBytes;
            for (int64_t r = s; r < s + count; ++r) {
                const int64_t y = firstRow + r;
                const int64_t u = mirrorColumns ? height - 1 - y : y;
                std::memcpy(uprightRow + u * P, rows + r * rowStride + x * P, P);
            }
        }
    }
}

}  // namespace

void placeStoredRows(const uint8_t* rows, int64_t rowStride, int64_t firstRow, int64_t rowCount,
                     int64_t storedWidth, int64_t storedHeight, int pixelBytes,
                     Orientation orientation, uint8_t* upright) {
    if (pixelBytes == 4) {
        place<4>(rows, rowStride, firstRow, rowCount, storedWidth, storedHeight, orientation,
                 upright);
    } else {
        place<3>(rows, rowStride, firstRow, rowCount, storedWidth, storedHeight, orientation,
                 upright);
    }
}

}  // namespace figsplit
