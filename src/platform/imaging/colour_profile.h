#pragma once
// Conversion of decoded pixels from an embedded ICC profile to sRGB (lcms2).
//
// A profile that cannot be parsed, does not fit the pixels (an RGB profile on CMYK data, ...)
// or is already sRGB for all practical purposes leaves the pixels as they are: a broken
// profile is no reason to refuse a picture. One converter serves one decode on one thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace figsplit {

class ColourConverter {
  public:
    enum class Pixels {
        rgba,          // RGBA rows
        grey,          // RGBA rows whose R, G and B are equal
        cmyk,          // C, M, Y, K with 0 meaning no ink
        cmykInverted,  // C, M, Y, K with 255 meaning no ink (Adobe's CMYK JPEGs)
    };

    ColourConverter();
    ~ColourConverter();
    ColourConverter(const ColourConverter&) = delete;
    ColourConverter& operator=(const ColourConverter&) = delete;

    // Prepares the conversion of `pixels` described by the ICC profile `profile`. An empty,
    // unusable, mismatched or sRGB-like profile leaves the converter inactive (RGBA and grey
    // pass unchanged; CMYK is converted by the plain formula).
    void prepare(const uint8_t* profile, size_t size, Pixels pixels);

    struct Chromaticity {
        double x = 0;
        double y = 0;
    };

    // Prepares the conversion of RGBA pixels with the given primaries and white point and the
    // sRGB transfer curve (HEIF's nclx colour description). sRGB's own primaries, or values
    // that make no profile, leave the converter inactive.
    void prepareRgbPrimaries(Chromaticity red, Chromaticity green, Chromaticity blue,
                             Chromaticity white);

    // True when convertRgba changes pixels.
    bool active() const;

    // RGBA or grey pixels: converts `count` RGBA pixels in place; alpha is kept.
    void convertRgba(uint8_t* rgba, int64_t count);

    // CMYK pixels: `count` CMYK pixels to RGBA with alpha 255.
    void convertCmyk(const uint8_t* cmyk, uint8_t* rgba, int64_t count);

  private:
    struct Lcms;
    // Keeps `lcms` (whose context made `source`) when RGBA -> sRGB through `source` differs from
    // doing nothing.
    void adoptRgbTransform(std::unique_ptr<Lcms> lcms, void* source, void* srgb);
    Pixels pixels_ = Pixels::rgba;
    std::unique_ptr<Lcms> lcms_;      // set when a profile transform is in use
    std::vector<uint8_t> greyToRgb_;  // 256 RGB triples when a grey profile is in use
    std::vector<uint8_t> scratch_;
};

}  // namespace figsplit
