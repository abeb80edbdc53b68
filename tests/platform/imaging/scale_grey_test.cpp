#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "platform/imaging/imaging.h"

namespace figsplit {
namespace {

GreyImage makeGrey(int64_t width, int64_t height, int64_t stride, uint8_t fill = 0) {
    GreyImage image;
    image.width = width;
    image.height = height;
    image.stride = stride;
    image.bytes.assign(static_cast<size_t>(stride * height), fill);
    return image;
}

// The plain formula in doubles: half-pixel centres, clamped at the edges, rounded.
double referenceSample(const GreyImage& source, int64_t dstWidth, int64_t dstHeight, int64_t x,
                       int64_t y) {
    auto coordinate = [](int64_t i, int64_t from, int64_t to) {
        double p = (i + 0.5) * static_cast<double>(from) / static_cast<double>(to) - 0.5;
        return std::clamp(p, 0.0, static_cast<double>(from - 1));
    };
    const double sx = coordinate(x, source.width, dstWidth);
    const double sy = coordinate(y, source.height, dstHeight);
    const int64_t x0 = static_cast<int64_t>(sx), y0 = static_cast<int64_t>(sy);
    const int64_t x1 = std::min(x0 + 1, source.width - 1), y1 = std::min(y0 + 1, source.height - 1);
    const double fx = sx - x0, fy = sy - y0;
    auto at = [&](int64_t xx, int64_t yy) {
        return static_cast<double>(source.bytes[static_cast<size_t>(yy * source.stride + xx)]);
    };
    const double top = at(x0, y0) * (1 - fx) + at(x1, y0) * fx;
    const double bottom = at(x0, y1) * (1 - fx) + at(x1, y1) * fx;
    return top * (1 - fy) + bottom * fy;
}

TEST(ScaleGrey, MatchesThePlainFormulaAtAwkwardSizes) {
    std::mt19937 random(7);
    struct Case {
        int64_t sw, sh, dw, dh;
    };
    const Case cases[] = {{1, 1, 5, 3},       {3, 2, 1, 1},         {13, 7, 127, 3},
                          {127, 13, 13, 127}, {256, 144, 960, 540}, {960, 540, 256, 144},
                          {5, 5, 5, 5},       {2, 9, 17, 4}};
    for (const Case& c : cases) {
        // Padding on both sides, filled with values that must neither be read nor written.
        GreyImage source = makeGrey(c.sw, c.sh, c.sw + 5, 0xEE);
        for (int64_t y = 0; y < c.sh; ++y)
            for (int64_t x = 0; x < c.sw; ++x)
                source.bytes[static_cast<size_t>(y * source.stride + x)] =
                    static_cast<uint8_t>(random() & 0xFF);
        GreyImage dst = makeGrey(c.dw, c.dh, c.dw + 3, 0x5A);
        scaleGrey(source, dst);
        for (int64_t y = 0; y < c.dh; ++y) {
            for (int64_t x = 0; x < c.dw; ++x) {
                const double expected = referenceSample(source, c.dw, c.dh, x, y);
                const int got = dst.bytes[static_cast<size_t>(y * dst.stride + x)];
                ASSERT_LE(std::abs(got - expected), 1.0) << c.sw << "x" << c.sh << " -> " << c.dw
                                                         << "x" << c.dh << " at " << x << "," << y;
            }
            for (int64_t x = c.dw; x < dst.stride; ++x)
                ASSERT_EQ(dst.bytes[static_cast<size_t>(y * dst.stride + x)], 0x5A);
        }
    }
}

TEST(ScaleGrey, KeepsConstantsAndEdgesExact) {
    GreyImage source = makeGrey(4, 3, 4, 200);
    GreyImage dst = makeGrey(11, 7, 11);
    scaleGrey(source, dst);
    for (uint8_t v : dst.bytes) EXPECT_EQ(v, 200);

    // Doubling a two-pixel ramp: the outer quarter of each side is clamped to the edge value.
    GreyImage ramp = makeGrey(2, 1, 2);
    ramp.bytes = {0, 255};
    GreyImage wide = makeGrey(4, 1, 4);
    scaleGrey(ramp, wide);
    EXPECT_EQ(wide.bytes, (std::vector<uint8_t>{0, 64, 191, 255}));
}

TEST(ScaleGrey, EmptySourceGivesAnEmptyMatteAndEmptyDestinationIsLeftAlone) {
    GreyImage empty;
    GreyImage dst = makeGrey(3, 2, 4, 9);
    scaleGrey(empty, dst);
    EXPECT_EQ(dst.bytes, (std::vector<uint8_t>{0, 0, 0, 9, 0, 0, 0, 9}));

    GreyImage nothing;
    scaleGrey(makeGrey(2, 2, 2, 1), nothing);
    EXPECT_TRUE(nothing.bytes.empty());
}

}  // namespace
}  // namespace figsplit
