#pragma once
// Plain in-memory pictures shared by the platform services and their callers.
#include <cstdint>
#include <vector>

namespace figsplit {

// Packed 8-bit RGB, rows of width * 3 bytes with no gap, top row first.
struct RgbImage {
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> pixels;
};

// One 8-bit component per pixel; row y starts at y * stride (stride >= width; the bytes between
// width and stride are padding and carry no meaning).
struct GreyImage {
    int64_t width = 0;
    int64_t height = 0;
    int64_t stride = 0;
    std::vector<uint8_t> bytes;
};

}  // namespace figsplit
