#include "still/cut_out.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace figsplit {
namespace {

TEST(ApplyMatte, AlphaIsMatteTimesAlphaRoundedAndClearPixelsLoseTheirColour) {
    struct Case {
        uint8_t matte, alpha, expectedAlpha;
    };
    const Case cases[] = {
        {255, 255, 255}, {0, 255, 0}, {128, 255, 128}, {255, 128, 128}, {128, 128, 64},
        {1, 127, 0},     {1, 128, 1}, {255, 0, 0},     {200, 100, 78},
    };
    RgbaImage picture;
    picture.width = static_cast<int64_t>(std::size(cases));
    picture.height = 1;
    GreyImage matte;
    matte.width = picture.width;
    matte.height = 1;
    matte.stride = picture.width;
    for (const Case& c : cases) {
        picture.pixels.insert(picture.pixels.end(), {10, 20, 30, c.alpha});
        matte.bytes.push_back(c.matte);
    }
    applyMatte(picture, matte);
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const uint8_t* p = picture.pixels.data() + i * 4;
        EXPECT_EQ(p[3], c.expectedAlpha) << "matte " << int{c.matte} << " alpha " << int{c.alpha};
        const std::vector<uint8_t> colour(p, p + 3);
        const std::vector<uint8_t> expected =
            c.expectedAlpha == 0 ? std::vector<uint8_t>{0, 0, 0} : std::vector<uint8_t>{10, 20, 30};
        EXPECT_EQ(colour, expected);
    }
}

TEST(ApplyMatte, HonoursTheMattesStride) {
    RgbaImage picture;
    picture.width = 2;
    picture.height = 2;
    picture.pixels.assign(16, 255);
    GreyImage matte;
    matte.width = 2;
    matte.height = 2;
    matte.stride = 5;
    matte.bytes = {255, 0, 9, 9, 9, 0, 255, 9, 9, 9};
    applyMatte(picture, matte);
    EXPECT_EQ(picture.pixels[3], 255);
    EXPECT_EQ(picture.pixels[7], 0);
    EXPECT_EQ(picture.pixels[11], 0);
    EXPECT_EQ(picture.pixels[15], 255);
}

RgbaImage randomPicture(int64_t width, int64_t height, bool opaque) {
    std::mt19937 random(11);
    RgbaImage picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(static_cast<size_t>(width * height * 4));
    for (size_t i = 0; i < picture.pixels.size(); ++i) {
        picture.pixels[i] = (opaque && i % 4 == 3) ? 255 : static_cast<uint8_t>(random());
    }
    return picture;
}

TEST(SegmenterPicture, FullSizeIsTheColourOverBlack) {
    const RgbaImage picture = randomPicture(7, 5, false);
    for (ImageSize wanted :
         {ImageSize{7, 5}, ImageSize{14, 10}, ImageSize{0, 0}, ImageSize{3, 9}}) {
        const RgbImage rgb = segmenterPicture(picture, wanted);
        ASSERT_EQ(rgb.width, 7);
        ASSERT_EQ(rgb.height, 5);
        for (size_t i = 0; i < 35; ++i) {
            for (size_t c = 0; c < 3; ++c) {
                const double expected =
                    picture.pixels[i * 4 + c] * picture.pixels[i * 4 + 3] / 255.0;
                EXPECT_LE(std::abs(rgb.pixels[i * 3 + c] - expected), 0.5) << i;
            }
        }
    }
}

TEST(SegmenterPicture, ShrinksByAreaAverage) {
    // Halving: each output pixel is the mean of its 2 x 2 block.
    const RgbaImage picture = randomPicture(8, 6, true);
    const RgbImage half = segmenterPicture(picture, {4, 3});
    ASSERT_EQ(half.width, 4);
    ASSERT_EQ(half.height, 3);
    for (int64_t y = 0; y < 3; ++y) {
        for (int64_t x = 0; x < 4; ++x) {
            for (int64_t c = 0; c < 3; ++c) {
                double sum = 0;
                for (int64_t dy = 0; dy < 2; ++dy)
                    for (int64_t dx = 0; dx < 2; ++dx)
                        sum += picture.pixels[static_cast<size_t>(
                            ((2 * y + dy) * 8 + 2 * x + dx) * 4 + c)];
                EXPECT_LE(std::abs(half.pixels[static_cast<size_t>((y * 4 + x) * 3 + c)] - sum / 4),
                          0.51);
            }
        }
    }
    // An awkward ratio keeps a flat picture flat and the mean of a random one.
    RgbaImage flat = randomPicture(131, 97, true);
    for (size_t i = 0; i < flat.pixels.size(); ++i) flat.pixels[i] = i % 4 == 3 ? 255 : 77;
    const RgbImage flatSmall = segmenterPicture(flat, {17, 13});
    for (uint8_t v : flatSmall.pixels) ASSERT_EQ(v, 77);
}

}  // namespace
}  // namespace figsplit
