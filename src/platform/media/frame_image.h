#pragma once
// Turns a decoded movie frame into the upright RGB picture the segmenter wants: one swscale
// pass (colour range and matrix honoured) straight to the target size, then the quarter or
// half turn on the small picture. The scaler context and the output buffer are reused.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/image.h"
#include "platform/imaging/orientation.h"

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
//
// A YUV frame takes two passes: `planeScaler` scales its planes to the target size as 4:2:0
// (keeping its range), then `context` turns them into RGB without scaling. Both passes run on
// swscale's vector code, several times faster than its scaling straight into packed RGB, and the
// colour conversion happens on the small picture. Other frames (RGB, grey) take `context` alone.
struct FrameScaler {
    std::unique_ptr<SwsContext, SwsContextDeleter> planeScaler;
    std::unique_ptr<SwsContext, SwsContextDeleter> context;
    int sourceWidth = 0, sourceHeight = 0, sourceFormat = -1;
    int sourceColorspace = -1, sourceFullRange = -1;
    int targetWidth = 0, targetHeight = 0;  // the scaled size, before the turn
    // The scaled 4:2:0 planes (Y, U, V one after the other) and their row strides.
    std::vector<uint8_t> planes;
    int planeStride[4] = {0, 0, 0, 0};  // four, as swscale reads them
    // The frame scaled but not yet turned: rows of `storedStride` bytes (padded, so that the
    // scaler's vector code may write whole blocks).
    std::vector<uint8_t> stored;
    int64_t storedStride = 0;
};

// `orientation`: up, down, right or left (the others are refused). `width` x `height` is the size
// of the upright result. False with a reason on failure.
bool frameToUprightRgb(const AVFrame& frame, Orientation orientation, int64_t width, int64_t height,
                       FrameScaler& scaler, RgbImage& upright, std::string& error);

}  // namespace figsplit
