#include "platform/segmentation/picture_input.h"

#include <algorithm>
#include <cmath>

namespace figsplit {

namespace {

// Source coordinate of output index `i` for a half-pixel-centre resample.
float sourceCoordinate(int64_t i, int64_t source, int64_t target) {
    return (static_cast<float>(i) + 0.5f) * static_cast<float>(source) /
               static_cast<float>(target) -
           0.5f;
}

}  // namespace

bool checkPicture(const RgbImage& picture, std::string& error) {
    if (picture.width < 1 || picture.height < 1 || picture.width > (int64_t{1} << 20) ||
        picture.height > (int64_t{1} << 20)) {
        error = "picture of impossible size " + std::to_string(picture.width) + "x" +
                std::to_string(picture.height);
        return false;
    }
    const uint64_t expected =
        static_cast<uint64_t>(picture.width) * static_cast<uint64_t>(picture.height) * 3;
    if (picture.pixels.size() != expected) {
        error = "picture of " + std::to_string(picture.width) + "x" +
                std::to_string(picture.height) + " has " + std::to_string(picture.pixels.size()) +
                " bytes, expected " + std::to_string(expected);
        return false;
    }
    return true;
}

const float* PictureInput::convert(const RgbImage& picture, int64_t width, int64_t height) {
    const size_t count = static_cast<size_t>(width * height * 3);
    if (data_.size() != count) data_.resize(count);
    const uint8_t* src = picture.pixels.data();
    constexpr float kScale = 1.0f / 255.0f;
    if (width == picture.width && height == picture.height) {
        const int64_t n = static_cast<int64_t>(count);
#pragma omp parallel for if (n > 65536)
        for (int64_t k = 0; k < n; ++k) data_[k] = static_cast<float>(src[k]) / 255.0f;
        return data_.data();
    }
    if (tableSource_ != picture.width || tableTarget_ != width) {
        left_.resize(static_cast<size_t>(width));
        right_.resize(static_cast<size_t>(width));
        weight_.resize(static_cast<size_t>(width));
        for (int64_t x = 0; x < width; ++x) {
            const float f = sourceCoordinate(x, picture.width, width);
            left_[x] = std::max<int64_t>(static_cast<int64_t>(std::floor(f)), 0) * 3;
            right_[x] =
                std::min<int64_t>(static_cast<int64_t>(std::ceil(f)), picture.width - 1) * 3;
            weight_[x] = f - std::floor(f);
        }
        tableSource_ = picture.width;
        tableTarget_ = width;
    }
    const int64_t rowBytes = picture.width * 3;
#pragma omp parallel for if (width * height > 16384)
    for (int64_t y = 0; y < height; ++y) {
        const float f = sourceCoordinate(y, picture.height, height);
        const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(std::floor(f)), 0);
        const int64_t y1 =
            std::min<int64_t>(static_cast<int64_t>(std::ceil(f)), picture.height - 1);
        const float dy = f - std::floor(f);
        const uint8_t* top = src + y0 * rowBytes;
        const uint8_t* bottom = src + y1 * rowBytes;
        float* out = data_.data() + y * width * 3;
        for (int64_t x = 0; x < width; ++x) {
            const int64_t l = left_[x], r = right_[x];
            const float dx = weight_[x];
            for (int c = 0; c < 3; ++c) {
                const float t = top[l + c] + (top[r + c] - top[l + c]) * dx;
                const float b = bottom[l + c] + (bottom[r + c] - bottom[l + c]) * dx;
                out[x * 3 + c] = (t + (b - t) * dy) * kScale;
            }
        }
    }
    return data_.data();
}

void matteFromAlpha(const float* alpha, int64_t width, int64_t height, GreyImage& matte) {
    matte.width = width;
    matte.height = height;
    matte.stride = width;
    const int64_t n = width * height;
    if (static_cast<int64_t>(matte.bytes.size()) != n) matte.bytes.resize(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) {
        const float v = alpha[k];
        // NaN counts as background
        const float clamped = v > 0.0f ? std::min(v, 1.0f) : 0.0f;
        matte.bytes[k] = static_cast<uint8_t>(std::lround(clamped * 255.0f));
    }
}

}  // namespace figsplit
