#pragma once
// Turns a decoded movie frame into the upright RGB picture the segmenter wants: one swscale
// pass (colour range and matrix honoured) straight to the target size, then the quarter or
// half turn on the small picture. The scaler context and the output buffer are reused.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image.h"

extern "C" {
struct AVFrame;
struct SwsContext;
}

namespace figsplit {

struct SwsContextDeleter {
    void operator()(SwsContext* context) const;
};

// Cached conversion state; one per run. Rebuilt only when the source format or sizes change;
// the colour details are set again only when the frame's colour matrix or range changes.
struct FrameScaler {
    std::unique_ptr<SwsContext, SwsContextDeleter> context;
    int sourceWidth = 0, sourceHeight = 0, sourceFormat = -1;
    int sourceColorspace = -1, sourceFullRange = -1;
    int targetWidth = 0, targetHeight = 0;  // the scaled size, before the turn
    // The frame scaled but not yet turned: rows of `storedStride` bytes (padded, so that the
    // scaler's vector code may write whole blocks).
    std::vector<uint8_t> stored;
    int64_t storedStride = 0;
};

// `orientation`: 1 up, 3 down, 6 right (turn the stored frame 90 degrees clockwise), 8 left.
// `width` x `height` is the size of the upright result. False with a reason on failure.
bool frameToUprightRgb(const AVFrame& frame, uint32_t orientation, int64_t width, int64_t height,
                       FrameScaler& scaler, RgbImage& upright, std::string& error);

}  // namespace figsplit
