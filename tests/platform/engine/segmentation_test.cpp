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
        bool sequence;
        int64_t workW, workH;
        bool downsampled;
    };
    const std::vector<Case> cases = {
        {960, 540, true, 960, 540, true},    // the default video output: 384 x 216 inside
        {1920, 1080, true, 960, 540, true},  // larger: capped first
        {1080, 1920, true, 540, 960, true},  // portrait
        {384, 216, true, 384, 216, false},   // already at the network side: ratio 1
        {300, 200, true, 300, 200, false},
        {4000, 100, true, 960, 24, false},  // too thin to shrink: ratio 1
        {1, 1, true, 1, 1, false},
        {4000, 3000, false, 1024, 768, true},  // stills: 1024 working, 512 network
        {512, 512, false, 512, 512, false},
        {0, 0, true, 1, 1, false},  // degenerate input still gives a usable size
    };
    for (const Case& c : cases) {
        const RvmWorkingSize w = rvmWorkingSize(c.w, c.h, c.sequence);
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        EXPECT_EQ(w.width, c.workW);
        EXPECT_EQ(w.height, c.workH);
        EXPECT_EQ(w.downsampleRatio < 1.0f, c.downsampled);
    }
    // Whatever the size, the graph's int32(float32(side) * ratio) gives exactly the target on the
    // long side, and the short side stays big enough to run.
    for (bool sequence : {true, false}) {
        const int64_t target = sequence ? kRvmSequenceNetworkSide : kRvmStillNetworkSide;
        for (int64_t longSide = target + 1; longSide <= 5000; longSide += 7) {
            for (int64_t shortSide :
                 {longSide / 16 + 1, longSide / 3, longSide * 9 / 16, longSide}) {
                const RvmWorkingSize w = rvmWorkingSize(longSide, shortSide, sequence);
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
