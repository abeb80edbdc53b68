#pragma once
// Places a decoded picture's stored rows into an upright RgbaImage as they arrive, so that no
// second full-size copy is needed to apply an orientation.
//
// Usage: begin() checks the size and allocates; then for every stored row y in order (0 first)
// the decoder fills row(y) with width * 4 RGBA bytes and calls finishRow(y). For orientations 1
// and 4 row(y) points straight into the picture; otherwise rows are collected in a small strip
// and copied into place.
//
// The canvas is a plain C++ object: decoders that longjmp keep it in a frame outside the one
// that calls setjmp.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/imaging/imaging.h"
#include "platform/imaging/orientation.h"

namespace figsplit {

// False with a reason when a stored size of width x height is empty or above kMaxImagePixels.
bool checkPictureSize(int64_t width, int64_t height, std::string& error);

class UprightCanvas {
  public:
    // Allocates `target` at the upright size of a storedWidth x storedHeight picture with
    // `orientation`. False with a reason when the size is refused
    // or the memory cannot be had; `target` is then left empty.
    bool begin(int64_t storedWidth, int64_t storedHeight, Orientation orientation,
               RgbaImage& target, std::string& error);

    // Where stored row y goes: storedWidth * 4 bytes.
    uint8_t* row(int64_t y);

    // Stored row y is complete.
    void finishRow(int64_t y);

  private:
    static constexpr int64_t kStripRows = 16;

    RgbaImage* target_ = nullptr;
    Orientation orientation_ = Orientation::up;
    int64_t storedWidth_ = 0;
    int64_t storedHeight_ = 0;
    std::vector<uint8_t> strip_;
};

// Turns a whole stored picture upright (a second buffer for the duration of the copy).
bool orientImage(RgbaImage& image, Orientation orientation, std::string& error);

}  // namespace figsplit
