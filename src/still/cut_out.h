#pragma once
// The pixel work of image mode: the picture handed to the segmenter, and the cut-out blend.
#include "platform/image.h"
#include "platform/imaging/imaging.h"
#include "platform/segmenter.h"

namespace figsplit {

// The picture as the segmenter sees it: RGB composited over black (a transparent pixel shows
// as black), shrunk by area averaging to `wanted` when that is smaller on both axes (the
// segmenter works at its own size, and averaging here is both cheaper and kinder than a second
// resample); otherwise at full size.
RgbImage segmenterPicture(const RgbaImage& picture, ImageSize wanted);

// The cut-out, in place: alpha = matte × alpha ÷ 255 (rounded); where the result is 0 the colour
// is cleared too (transparent black), so the background leaves no trace in the file; elsewhere
// the colour is the picture's own. `scaledMatte` has the picture's size.
void applyMatte(RgbaImage& picture, const GreyImage& scaledMatte);

}  // namespace figsplit
