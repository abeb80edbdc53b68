#pragma once
// The segmenters' ends: 8-bit RGB pictures in as float RGB in 0..1 at the model's size, and the
// model's alpha or probability out as a one-byte matte. Buffers are kept from call to call, so a
// stream of same-sized frames allocates nothing after the first.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/image.h"

namespace figsplit {

class PictureInput {
  public:
    // Converts `picture` to float [1, height, width, 3] (value / 255), resampled bilinearly with
    // half-pixel centres when the sizes differ. The result stays valid until the next call.
    const float* convert(const RgbImage& picture, int64_t width, int64_t height);

  private:
    std::vector<float> data_;
    // Column interpolation table for the current (source width, target width).
    std::vector<int64_t> left_, right_;
    std::vector<float> weight_;
    int64_t tableSource_ = -1, tableTarget_ = -1;
};

// False with a reason when the picture's bytes do not match its size.
bool checkPicture(const RgbImage& picture, std::string& error);

// matte = round(clamp(alpha, 0, 1) * 255), packed rows (stride = width).
void matteFromAlpha(const float* alpha, int64_t width, int64_t height, GreyImage& matte);

}  // namespace figsplit
