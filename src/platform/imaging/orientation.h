#pragma once
// How a stored picture is turned to show it upright, with EXIF's numbering (the value a file's
// orientation tag holds), and the one routine that moves stored pixels to their upright place,
// used by the still-image decoders and by movie frames alike.
#include <cstdint>

namespace figsplit {

// The name says where the stored picture's top row ends up when shown upright ("right": turn
// the stored picture 90 degrees clockwise; "left": 90 degrees counter-clockwise).
enum class Orientation : uint32_t {
    up = 1,
    upMirrored = 2,
    down = 3,
    downMirrored = 4,
    leftMirrored = 5,
    right = 6,
    rightMirrored = 7,
    left = 8,
};

// The orientation a file's tag value stands for; values outside 1..8 count as up.
Orientation orientationFromTag(uint32_t value);

// The tag value, for messages.
inline uint32_t tagValue(Orientation orientation) {
    return static_cast<uint32_t>(orientation);
}

// True for the orientations that swap width and height (the quarter turns, mirrored or not).
inline bool swapsAxes(Orientation orientation) {
    return tagValue(orientation) >= 5 && tagValue(orientation) <= 8;
}

// Places stored rows firstRow .. firstRow + rowCount - 1 of a storedWidth x storedHeight picture
// of `pixelBytes` bytes per pixel (3 or 4) where they belong in the upright picture `upright`,
// whose rows are packed (storedHeight pixels wide for the orientations that swap axes,
// storedWidth otherwise). Stored row firstRow + r starts at rows + r * rowStride. Rows may come
// in any grouping; a whole picture at once is fine. Quarter turns are copied in strips of a few
// rows so that reads and writes both stay within a few cache lines.
void placeStoredRows(const uint8_t* rows, int64_t rowStride, int64_t firstRow, int64_t rowCount,
                     int64_t storedWidth, int64_t storedHeight, int pixelBytes,
                     Orientation orientation, uint8_t* upright);

}  // namespace figsplit
