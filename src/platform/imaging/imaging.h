#pragma once
// The imaging service: still pictures decoded upright to 8-bit sRGB, matte scaling, and the
// cut-out PNG writer. Pure functions over in-memory pictures; no state between calls.
#include <cstdint>
#include <string>

#include "platform/image.h"

namespace figsplit {

// 8-bit RGBA, rows of width * 4 bytes with no gap, top row first, upright, sRGB; alpha 255
// where the file has no alpha.
struct RgbaImage {
    int64_t width = 0;
    int64_t height = 0;
    std::vector<uint8_t> pixels;
};

// The largest picture (width x height) that decodeImage accepts; larger headers are refused
// before any pixel memory is allocated. Image mode holds about 5 bytes per pixel at its peak
// (the RGBA picture and the full-size matte; 48 MP measured 236 MB without the model), HEIC
// decoding up to about 10 while libheif's own buffers live: 120 MP admits the largest common
// phone photos (108 MP) and keeps the worst case near 1.2 GB, where 200 MP would pass 2 GB.
inline constexpr int64_t kMaxImagePixels = 120'000'000;

// Decodes a PNG, JPEG or HEIC file (chosen by its content, not its name) to upright sRGB RGBA:
// EXIF / eXIf orientation applied for PNG and JPEG, HEIC transforms applied by libheif, embedded
// ICC profiles converted to sRGB. False with a reason when the file cannot be read.
bool decodeImage(const std::string& path, RgbaImage& image, std::string& error);

// Stretches `source` to dst.width x dst.height (each axis on its own), bilinear with half-pixel
// centres, writing rows dst.stride apart. `dst` must be sized by the caller; its padding bytes
// are left alone.
void scaleGrey(const GreyImage& source, GreyImage& dst);

// Writes `image` as an RGBA 8-bit PNG with an sRGB chunk to `path` itself (no temporary file).
// False with the reason alone (the system's or libpng's text) when it cannot be written.
bool writePng(const std::string& path, const RgbaImage& image, std::string& error);

}  // namespace figsplit
