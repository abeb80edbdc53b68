#pragma once
// Small pictures made in memory with the codecs' own encoders, for the imaging and image-mode
// tests. Pixels are given as an RgbaImage (alpha is used only where the format keeps it).
#include <cstdint>
#include <string>
#include <vector>

#include "platform/imaging/imaging.h"
#include "support/scratch_dir.h"

namespace figsplit::testing {

using Bytes = std::vector<uint8_t>;

RgbaImage makeRgba(int64_t width, int64_t height, uint32_t rgba = 0x000000FF);
uint32_t pixelAt(const RgbaImage& image, int64_t x, int64_t y);  // 0xRRGGBBAA
void setPixel(RgbaImage& image, int64_t x, int64_t y, uint32_t rgba);
void fillRect(RgbaImage& image, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t rgba);

// A TIFF-structured EXIF block holding only an orientation tag (no "Exif\0\0" prefix).
Bytes exifWithOrientation(uint16_t orientation, bool bigEndian = true);

// ICC profiles made with lcms2: RGB with sRGB's primaries but a linear (gamma 1) curve, its grey
// counterpart, and sRGB itself.
Bytes linearRgbProfile();
Bytes linearGreyProfile();
Bytes srgbProfile();

enum class PngKind { grey, greyAlpha, palette, rgb, rgba };

struct PngFixture {
    PngKind kind = PngKind::rgba;
    int bitDepth = 8;  // 1, 2, 4 (grey, palette), 8, 16 (not palette)
    bool interlaced = false;
    // grey / rgb: this colour (8-bit, scaled like the pixels) is transparent via tRNS.
    // palette: tRNS gives each entry the alpha of `image`.
    bool transparencyChunk = false;
    int exifOrientation = 0;  // 0: no eXIf chunk
    bool exifAfterPixels = false;
    Bytes iccProfile;
};

// `image` must already hold only values the kind and depth can express (grey levels on the
// depth's scale, at most 2^depth palette colours).
Bytes encodePng(const RgbaImage& image, const PngFixture& fixture);

enum class JpegKind { rgb, grey, cmyk, ycck };

struct JpegFixture {
    JpegKind kind = JpegKind::rgb;
    bool progressive = false;
    // grey only: a progressive script with one scan per AC coefficient (64 scans), or with
    // each of those split in two by successive approximation (127 scans)
    int singleCoefficientScans = 0;  // 0, 64 or 127
    int quality = 95;
    int exifOrientation = 0;  // 0: no EXIF segment
    bool exifLittleEndian = false;
    Bytes iccProfile;
    bool adobeMarker = true;  // CMYK / YCCK only: false stores the inks uninverted, unmarked
};

// For cmyk / ycck the RGB of `image` is turned into inks by the plain formula (K = 255 - max).
Bytes encodeJpeg(const RgbaImage& image, const JpegFixture& fixture);

struct HeicFixture {
    bool alpha = false;
    int bitDepth = 8;         // 8 or 10
    int orientation = 1;      // written as irot/imir boxes
    int exifOrientation = 0;  // 0: no EXIF block
    Bytes iccProfile;
    bool lossless = true;
};

Bytes encodeHeic(const RgbaImage& image, const HeicFixture& fixture);

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

}  // namespace figsplit::testing
