#pragma once
// The person-segmentation service. A Segmenter turns an upright RGB picture into a matte of
// one byte per pixel (0 background ... 255 person) at the service's own size.
//
// Ownership and threading: the caller owns the Segmenter and calls it from one thread at a time.
// A sequence segmenter (video) carries state from one perform to the next (rvm's recurrent
// state, reset when the input size changes); a single-image segmenter starts fresh every time.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/image.h"

namespace figsplit {

enum class Quality : int { accurate = 0, balanced = 1 };

struct ImageSize {
    int64_t width = 0;
    int64_t height = 0;
};

class Segmenter {
  public:
    virtual ~Segmenter() = default;

    // The size at which the service wants a picture of width x height; callers that scale the
    // picture themselves should scale it to this size to avoid a second resample.
    virtual ImageSize inputSize(int64_t width, int64_t height) const = 0;

    // Segments one upright picture. Returns false with a readable reason on failure. On success
    // `matte` holds the result; a matte of width 0 means the service produced no observation.
    virtual bool perform(const RgbImage& upright, GreyImage& matte, std::string& error) = 0;
};

struct SegmenterResult {
    std::unique_ptr<Segmenter> segmenter;  // null when the model could not be loaded
    std::string error;                     // why, when segmenter is null
};

// rvm at both qualities: accurate at network long side 512 (working long side 960 for video, 1024
// for single pictures), balanced at network long side 320 (working long side 960). `sequence`
// keeps recurrent state between performs.
SegmenterResult makeSegmenter(Quality quality, bool sequence);

}  // namespace figsplit
