// The segmentation service's pure parts: rvm's working size and downsample ratio, the 8-bit
// picture conversion (against the engine's bilinear resize of the same values), and the matte
// from alpha.
#include <cmath>
#include <random>

#include "gtest/gtest.h"
#include "platform/engine/ops/resize_bilinear.h"
#include "platform/segmentation/picture_input.h"
#include "platform/segmentation/working_size.h"

namespace figsplit {
namespace {

TEST(SegmentationWorkingSize, CapsTheLongSideAndAimsTheNetworkSide) {
    struct Case {
        int64_t w, h;
        RvmSides sides;
        int64_t workW, workH;
        int64_t networkW, networkH;  // 0: ratio 1
    };
    const RvmSides accurate = kRvmVideoAccurate, balanced = kRvmVideoBalanced;
    const std::vector<Case> cases = {
        {960, 540, accurate, 960, 540, 640, 360},  // the default video output
        {960, 540, balanced, 960, 540, 320, 180},
        {1920, 1080, accurate, 960, 540, 640, 360},  // larger: capped first
        {1920, 1080, balanced, 960, 540, 320, 180},
        {1080, 1920, accurate, 540, 960, 360, 640},  // portrait
        {1080, 1920, balanced, 540, 960, 180, 320},
        {640, 360, accurate, 640, 360, 0, 0},  // already at the network side: ratio 1
        {500, 300, balanced, 500, 300, 320, 192},
        {300, 200, balanced, 300, 200, 0, 0},
        {4000, 100, accurate, 960, 24, 0, 0},  // too thin to shrink: ratio 1
        {1, 1, balanced, 1, 1, 0, 0},
        {4000, 3000, kRvmStill, 1024, 768, 512, 384},  // stills: 1024 working, 512 network
        {512, 512, kRvmStill, 512, 512, 0, 0},
        {0, 0, accurate, 1, 1, 0, 0},  // degenerate input still gives a usable size
    };
    for (const Case& c : cases) {
        const RvmWorkingSize w = rvmWorkingSize(c.w, c.h, c.sides);
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " network side " +
                     std::to_string(c.sides.networkLongSide));
        EXPECT_EQ(w.width, c.workW);
        EXPECT_EQ(w.height, c.workH);
        if (c.networkW == 0) {
            EXPECT_EQ(w.downsampleRatio, 1.0f);
        } else {
            EXPECT_EQ(static_cast<int64_t>(static_cast<float>(w.width) * w.downsampleRatio),
                      c.networkW);
            EXPECT_EQ(static_cast<int64_t>(static_cast<float>(w.height) * w.downsampleRatio),
                      c.networkH);
        }
    }
    // Whatever the size, the graph's int32(float32(side) * ratio) gives exactly the target on the
    // long side, and the short side stays big enough to run.
    for (const RvmSides sides : {kRvmVideoAccurate, kRvmVideoBalanced, kRvmStill}) {
        const int64_t target = sides.networkLongSide;
        for (int64_t longSide = target + 1; longSide <= 5000; longSide += 7) {
            for (int64_t shortSide :
                 {longSide / 16 + 1, longSide / 3, longSide * 9 / 16, longSide}) {
                const RvmWorkingSize w = rvmWorkingSize(longSide, shortSide, sides);
                if (w.downsampleRatio == 1.0f) {
                    EXPECT_LT(std::min(w.width, w.height) * target / std::max(w.width, w.height),
                              kRvmMinimumNetworkShortSide + 1);
                    continue;
                }
                ASSERT_EQ(static_cast<int64_t>(static_cast<float>(w.width) * w.downsampleRatio),
                          target)
                    << longSide;
                ASSERT_GE(static_cast<int64_t>(static_cast<float>(w.height) * w.downsampleRatio),
                          kRvmMinimumNetworkShortSide);
            }
        }
    }
}

TEST(SegmentationPictureInput, ConvertsBytesAndResamplesLikeTheEngine) {
    std::mt19937 random(5);
    for (const auto& [w, h, tw, th] : std::vector<std::array<int64_t, 4>>{{13, 3, 13, 3},
                                                                          {13, 3, 127, 1},
                                                                          {127, 13, 13, 3},
                                                                          {1, 1, 3, 13},
                                                                          {200, 120, 256, 256}}) {
        RgbImage picture;
        picture.width = w;
        picture.height = h;
        picture.pixels.resize(static_cast<size_t>(w * h * 3));
        for (uint8_t& v : picture.pixels) v = static_cast<uint8_t>(random() & 0xFF);
        std::vector<float> asFloat(picture.pixels.size());
        for (size_t k = 0; k < asFloat.size(); ++k) asFloat[k] = picture.pixels[k] / 255.0f;
        std::vector<float> expected(static_cast<size_t>(tw * th * 3));
        engine::ResizeSpec params;
        params.inH = h;
        params.inW = w;
        params.outH = th;
        params.outW = tw;
        params.channels = 3;
        engine::resizeBilinearReference(params, asFloat.data(), expected.data());
        PictureInput input;
        const float* got = input.convert(picture, tw, th);
        for (size_t k = 0; k < expected.size(); ++k) {
            ASSERT_NEAR(got[k], expected[k], 1e-5f)
                << w << "x" << h << " -> " << tw << "x" << th << " at " << k;
        }
        if (tw == w && th == h) {
            for (size_t k = 0; k < expected.size(); ++k)
                ASSERT_EQ(got[k], picture.pixels[k] / 255.0f);
        }
        EXPECT_EQ(input.convert(picture, tw, th), got);  // the buffer is reused
    }
}

TEST(SegmentationPictureInput, ChecksPictureBytes) {
    std::string error;
    RgbImage p;
    p.width = 2;
    p.height = 2;
    p.pixels.resize(12);
    EXPECT_TRUE(checkPicture(p, error));
    p.pixels.resize(13);
    EXPECT_FALSE(checkPicture(p, error));
    p.width = -2;
    EXPECT_FALSE(checkPicture(p, error));
    p.width = int64_t{1} << 40;  // width * height * 3 would overflow 32 bits many times over
    p.height = int64_t{1} << 40;
    EXPECT_FALSE(checkPicture(p, error));
}

TEST(SegmentationMatte, RoundsClampsAndTreatsNanAsBackground) {
    const std::vector<float> alpha = {-1.0f, 0.0f, 0.5f / 255.0f, 0.4f / 255.0f, 0.5f,
                                      1.0f,  2.0f, NAN,           INFINITY};
    GreyImage matte;
    matte.bytes.assign(100, 7);  // old contents and size do not matter
    matteFromAlpha(alpha.data(), 3, 3, matte);
    EXPECT_EQ(matte.width, 3);
    EXPECT_EQ(matte.height, 3);
    EXPECT_EQ(matte.stride, 3);
    EXPECT_EQ(matte.bytes, (std::vector<uint8_t>{0, 0, 1, 0, 128, 255, 255, 0, 255}));
}

}  // namespace
}  // namespace figsplit
