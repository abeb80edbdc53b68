#include "still/cut_out.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace figsplit {

namespace {

// Area averaging along one axis: output cell i covers source [i·ratio, (i+1)·ratio), and each
// source index inside it weighs its overlap ÷ ratio.
struct Span {
    int64_t first = 0;
    int64_t count = 0;
    size_t weights = 0;  // offset into the weight table
};

struct AreaAxis {
    std::vector<Span> spans;
    std::vector<float> weights;
};

AreaAxis areaAxis(int64_t sourceLength, int64_t outputLength) {
    AreaAxis axis;
    axis.spans.resize(static_cast<size_t>(outputLength));
    const double ratio = static_cast<double>(sourceLength) / static_cast<double>(outputLength);
    for (int64_t i = 0; i < outputLength; ++i) {
        const double start = static_cast<double>(i) * ratio;
        const double end =
            std::min(static_cast<double>(i + 1) * ratio, static_cast<double>(sourceLength));
        Span& span = axis.spans[static_cast<size_t>(i)];
        span.first = static_cast<int64_t>(std::floor(start));
        const int64_t last = std::min(sourceLength - 1, static_cast<int64_t>(std::ceil(end)) - 1);
        span.count = last - span.first + 1;
        span.weights = axis.weights.size();
        for (int64_t s = span.first; s <= last; ++s) {
            const double overlap =
                std::min(end, static_cast<double>(s + 1)) - std::max(start, static_cast<double>(s));
            axis.weights.push_back(static_cast<float>(std::max(0.0, overlap) / ratio));
        }
    }
    return axis;
}

}  // namespace

RgbImage segmenterPicture(const RgbaImage& picture, ImageSize wanted) {
    RgbImage out;
    const bool shrink = wanted.width > 0 && wanted.height > 0 && wanted.width <= picture.width &&
                        wanted.height <= picture.height &&
                        (wanted.width < picture.width || wanted.height < picture.height);
    if (!shrink) {
        out.width = picture.width;
        out.height = picture.height;
        out.pixels.resize(static_cast<size_t>(picture.width * picture.height * 3));
        const uint8_t* from = picture.pixels.data();
        uint8_t* to = out.pixels.data();
        for (int64_t i = 0, n = picture.width * picture.height; i < n; ++i) {
            const uint32_t alpha = from[i * 4 + 3];
            for (int c = 0; c < 3; ++c) {
                to[i * 3 + c] = static_cast<uint8_t>((from[i * 4 + c] * alpha + 127) / 255);
            }
        }
        return out;
    }

    out.width = wanted.width;
    out.height = wanted.height;
    out.pixels.resize(static_cast<size_t>(out.width * out.height * 3));
    const AreaAxis columns = areaAxis(picture.width, out.width);
    const AreaAxis rows = areaAxis(picture.height, out.height);
    std::vector<float> premultiplied(static_cast<size_t>(picture.width * 3));
    std::vector<float> sum(static_cast<size_t>(out.width * 3));
    constexpr float kInverse255 = 1.0f / 255.0f;

    for (int64_t oy = 0; oy < out.height; ++oy) {
        const Span& rowSpan = rows.spans[static_cast<size_t>(oy)];
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int64_t k = 0; k < rowSpan.count; ++k) {
            const float rowWeight = rows.weights[rowSpan.weights + static_cast<size_t>(k)];
            const uint8_t* source = picture.pixels.data() + (rowSpan.first + k) * picture.width * 4;
            for (int64_t x = 0; x < picture.width; ++x) {
                const float alpha = static_cast<float>(source[x * 4 + 3]) * kInverse255;
                for (int c = 0; c < 3; ++c) {
                    premultiplied[static_cast<size_t>(x * 3 + c)] =
                        static_cast<float>(source[x * 4 + c]) * alpha;
                }
            }
            for (int64_t ox = 0; ox < out.width; ++ox) {
                const Span& span = columns.spans[static_cast<size_t>(ox)];
                const float* w = columns.weights.data() + span.weights;
                const float* p = premultiplied.data() + span.first * 3;
                float r = 0, g = 0, b = 0;
                for (int64_t j = 0; j < span.count; ++j) {
                    r += w[j] * p[j * 3];
                    g += w[j] * p[j * 3 + 1];
                    b += w[j] * p[j * 3 + 2];
                }
                float* s = sum.data() + ox * 3;
                s[0] += rowWeight * r;
                s[1] += rowWeight * g;
                s[2] += rowWeight * b;
            }
        }
        uint8_t* to = out.pixels.data() + oy * out.width * 3;
        for (int64_t i = 0; i < out.width * 3; ++i) {
            to[i] =
                static_cast<uint8_t>(std::clamp(sum[static_cast<size_t>(i)] + 0.5f, 0.0f, 255.0f));
        }
    }
    return out;
}

void applyMatte(RgbaImage& picture, const GreyImage& scaledMatte) {
    uint8_t* pixels = picture.pixels.data();
    for (int64_t y = 0; y < picture.height; ++y) {
        const uint8_t* matte = scaledMatte.bytes.data() + y * scaledMatte.stride;
        uint8_t* row = pixels + y * picture.width * 4;
        for (int64_t x = 0; x < picture.width; ++x) {
            uint8_t* p = row + x * 4;
            // round(m·a / 255) in integers
            const uint32_t alpha = (2u * matte[x] * p[3] + 255u) / 510u;
            p[3] = static_cast<uint8_t>(alpha);
            if (alpha == 0) p[0] = p[1] = p[2] = 0;
        }
    }
}

}  // namespace figsplit
