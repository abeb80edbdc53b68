// The real models through their run helpers (rvm_model.h, selfie_model.h) and the segmentation
// service: rvm's recurrent state (shapes, feeding back, reset, left alone on failure), argument
// checks, the segmenters' working sizes and state handling, and no buffer allocated per frame once
// the first frame has run. (oneDNN's own execute() keeps a little bookkeeping per call, a few
// hundred bytes at a time; buffers and tensors are what must not come and go, so allocations of 1
// KiB or more are counted.) (Numerical agreement with the reference implementation is
// golden_test.cpp's job.)
#include <algorithm>
#include <cmath>

#include "allocation_counter.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/engine/engine.h"
#include "platform/segmentation/picture_input.h"
#include "platform/segmentation/rvm_model.h"
#include "platform/segmentation/selfie_model.h"
#include "platform/segmentation/working_size.h"
#include "platform/segmenter.h"

namespace figsplit::engine {
namespace {

using ::testing::HasSubstr;

// A picture-like RGB8 image: a bright figure on a darker gradient.
RgbImage makePicture(int64_t width, int64_t height, int seed = 0) {
    RgbImage p;
    p.width = width;
    p.height = height;
    p.pixels.resize(static_cast<size_t>(width * height * 3));
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x) {
            const double dx = (x - width * (0.45 + 0.02 * seed)) / (width * 0.12);
            const double dy = (y - height * 0.55) / (height * 0.3);
            const bool figure = dx * dx + dy * dy < 1.0;
            for (int c = 0; c < 3; ++c)
                p.pixels[(y * width + x) * 3 + c] =
                    static_cast<uint8_t>(figure ? 200 - 40 * c : 40 + (x * 60) / width + 30 * c);
        }
    return p;
}

std::vector<float> toFloat(const RgbImage& p) {
    std::vector<float> f(p.pixels.size());
    for (size_t k = 0; k < f.size(); ++k) f[k] = static_cast<float>(p.pixels[k]) / 255.0f;
    return f;
}

std::unique_ptr<RvmModel> loadRvm() {
    std::string error;
    auto model = RvmModel::load(error);
    EXPECT_TRUE(model) << error;
    return model;
}

TEST(EngineModels, RvmStateShapesAndFeedback) {
    auto model = loadRvm();
    ASSERT_TRUE(model);
    const std::vector<float> rgb = toFloat(makePicture(128, 96));
    RvmState state;
    Tensor pha, fgr;
    std::string error;
    ASSERT_TRUE(model->run(rgb.data(), 96, 128, 0.5f, state, pha, &fgr, error)) << error;
    EXPECT_EQ(pha.shape, (std::vector<int64_t>{1, 96, 128, 1}));
    EXPECT_EQ(fgr.shape, (std::vector<int64_t>{1, 96, 128, 3}));
    for (float v : pha.data) ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << v;
    // The states are half the size of each decoder stage's features (input downsampled to 48x64).
    EXPECT_EQ(state.r1.shape, (std::vector<int64_t>{1, 24, 32, 16}));
    EXPECT_EQ(state.r2.shape, (std::vector<int64_t>{1, 12, 16, 20}));
    EXPECT_EQ(state.r3.shape, (std::vector<int64_t>{1, 6, 8, 40}));
    EXPECT_EQ(state.r4.shape, (std::vector<int64_t>{1, 3, 4, 64}));
    const std::vector<float> first = pha.data;
    // The state feeds the next frame: the same picture again gives a (slightly) different matte.
    ASSERT_TRUE(model->run(rgb.data(), 96, 128, 0.5f, state, pha, nullptr, error)) << error;
    EXPECT_NE(pha.data, first);
    // From zero state again, the first matte comes back exactly.
    state.reset();
    EXPECT_TRUE(state.empty());
    ASSERT_TRUE(model->run(rgb.data(), 96, 128, 0.5f, state, pha, nullptr, error)) << error;
    EXPECT_EQ(pha.data, first);
}

TEST(EngineModels, RvmRefusesBadArgumentsAndKeepsItsState) {
    auto model = loadRvm();
    ASSERT_TRUE(model);
    const std::vector<float> rgb = toFloat(makePicture(64, 48));
    RvmState state;
    Tensor pha;
    std::string error;
    ASSERT_TRUE(model->run(rgb.data(), 48, 64, 1.0f, state, pha, nullptr, error)) << error;
    const RvmState before = state;
    // A state from another size does not broadcast to this one's features.
    const std::vector<float> other = toFloat(makePicture(96, 96));
    EXPECT_FALSE(model->run(other.data(), 96, 96, 1.0f, state, pha, nullptr, error));
    EXPECT_THAT(error, HasSubstr("does not broadcast"));
    for (float ratio : {0.0f, -0.5f, 1.5f, NAN}) {
        EXPECT_FALSE(model->run(rgb.data(), 48, 64, ratio, state, pha, nullptr, error)) << ratio;
        EXPECT_THAT(error, HasSubstr("ratio"));
    }
    EXPECT_FALSE(model->run(rgb.data(), 0, 64, 1.0f, state, pha, nullptr, error));
    EXPECT_FALSE(model->run(nullptr, 48, 64, 1.0f, state, pha, nullptr, error));
    // A ratio that shrinks the picture to nothing is the network's error, not a crash.
    EXPECT_FALSE(model->run(rgb.data(), 48, 64, 0.01f, state, pha, nullptr, error));
    EXPECT_THAT(error, HasSubstr("rvm: node"));
    EXPECT_EQ(state.r1.data, before.r1.data);
    EXPECT_EQ(state.r4.shape, before.r4.shape);
    // ...and the state still works.
    EXPECT_TRUE(model->run(rgb.data(), 48, 64, 1.0f, state, pha, nullptr, error)) << error;
}

// The plans with stride-1 3x3 convolutions on the Winograd kernel against the plans that run them
// on oneDNN's direct convolution, on the real model: the matte and every recurrent state over
// three frames (the state fed back), at sizes whose decoder stages leave partial 4x4 tiles, with
// and without the downsampling.
TEST(EngineModels, WinogradPlansMatchDirectConvolutionPlans) {
    std::string error;
    auto winograd = RvmModel::load(error, EngineOptions{.winograd = true});
    auto direct = RvmModel::load(error, EngineOptions{.winograd = false});
    ASSERT_TRUE(winograd && direct) << error;
    struct Case {
        int64_t width, height;
        float ratio;
    };
    for (const Case& c : {Case{150, 110, 1.0f}, Case{257, 193, 0.5f}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        RvmState stateW, stateD;
        Tensor phaW, phaD;
        for (int frame = 0; frame < 3; ++frame) {
            const std::vector<float> rgb = toFloat(makePicture(c.width, c.height, frame));
            ASSERT_TRUE(
                winograd->run(rgb.data(), c.height, c.width, c.ratio, stateW, phaW, nullptr, error))
                << error;
            ASSERT_TRUE(
                direct->run(rgb.data(), c.height, c.width, c.ratio, stateD, phaD, nullptr, error))
                << error;
            const auto maxDifference = [](const Tensor& a, const Tensor& b) {
                EXPECT_EQ(a.shape, b.shape);
                double worst = a.data.size() == b.data.size() ? 0.0 : INFINITY;
                for (size_t k = 0; k < a.data.size() && k < b.data.size(); ++k) {
                    const double d = std::fabs(double(a.data[k]) - double(b.data[k]));
                    worst = std::isnan(d) ? INFINITY : std::max(worst, d);
                }
                return worst;
            };
            EXPECT_LE(maxDifference(phaW, phaD), 1e-3) << "pha, frame " << frame;
            EXPECT_LE(maxDifference(stateW.r1, stateD.r1), 1e-3) << "r1, frame " << frame;
            EXPECT_LE(maxDifference(stateW.r2, stateD.r2), 1e-3) << "r2, frame " << frame;
            EXPECT_LE(maxDifference(stateW.r3, stateD.r3), 1e-3) << "r3, frame " << frame;
            EXPECT_LE(maxDifference(stateW.r4, stateD.r4), 1e-3) << "r4, frame " << frame;
        }
        // Not the same kernels by accident: Winograd rounds differently from a direct sum.
        EXPECT_NE(stateW.r1.data, stateD.r1.data);
    }
}

TEST(EngineModels, SteadyFramesAllocateNoBuffers) {
    auto rvm = loadRvm();
    std::string error;
    auto selfie = SelfieModel::load(error);
    ASSERT_TRUE(rvm && selfie) << error;
    const std::vector<float> rgb = toFloat(makePicture(160, 90));
    const std::vector<float> square = toFloat(makePicture(256, 256));
    RvmState state;
    Tensor pha, probability;
    // rvm: the first frame builds the plan and the state; the next frames reuse everything.
    ASSERT_TRUE(rvm->run(rgb.data(), 90, 160, 0.5f, state, pha, nullptr, error)) << error;
    long before = figsplit::testing::largeAllocationCount();
    for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(rvm->run(rgb.data(), 90, 160, 0.5f, state, pha, nullptr, error));
    EXPECT_EQ(figsplit::testing::largeAllocationCount() - before, 0) << "rvm";
    ASSERT_TRUE(selfie->run(square.data(), probability, error)) << error;
    before = figsplit::testing::largeAllocationCount();
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(selfie->run(square.data(), probability, error));
    EXPECT_EQ(figsplit::testing::largeAllocationCount() - before, 0) << "selfie";
    // The segmenters, including the 8-bit conversion and the matte.
    for (Quality quality : {Quality::accurate, Quality::balanced}) {
        SegmenterResult made = makeSegmenter(quality, true);
        ASSERT_TRUE(made.segmenter) << made.error;
        const RgbImage picture = makePicture(200, 120);
        GreyImage matte;
        ASSERT_TRUE(made.segmenter->perform(picture, matte, error)) << error;
        before = figsplit::testing::largeAllocationCount();
        for (int k = 0; k < 3; ++k) ASSERT_TRUE(made.segmenter->perform(picture, matte, error));
        EXPECT_EQ(figsplit::testing::largeAllocationCount() - before, 0)
            << "segmenter " << static_cast<int>(quality);
    }
}

TEST(Segmentation, AccurateMatteIsRvmAlphaAtTheWorkingSize) {
    SegmenterResult single = makeSegmenter(Quality::accurate, false);
    SegmenterResult sequence = makeSegmenter(Quality::accurate, true);
    ASSERT_TRUE(single.segmenter && sequence.segmenter) << single.error << sequence.error;
    EXPECT_EQ(sequence.segmenter->inputSize(1920, 1080).width, 960);
    EXPECT_EQ(sequence.segmenter->inputSize(1920, 1080).height, 540);
    EXPECT_EQ(single.segmenter->inputSize(4000, 3000).width, 1024);
    EXPECT_EQ(single.segmenter->inputSize(300, 200).width, 300);

    // A picture below the working size runs as it is, at ratio 1: the matte is rvm's alpha.
    const RgbImage picture = makePicture(200, 150);
    GreyImage matte;
    std::string error;
    ASSERT_TRUE(single.segmenter->perform(picture, matte, error)) << error;
    ASSERT_EQ(matte.width, 200);
    ASSERT_EQ(matte.height, 150);
    EXPECT_EQ(matte.stride, 200);
    auto model = loadRvm();
    RvmState state;
    Tensor pha;
    const std::vector<float> rgb = toFloat(picture);
    ASSERT_TRUE(model->run(rgb.data(), 150, 200, 1.0f, state, pha, nullptr, error)) << error;
    GreyImage expected;
    matteFromAlpha(pha.data.data(), 200, 150, expected);
    EXPECT_EQ(matte.bytes, expected.bytes);

    // A larger picture gives a matte at the working size.
    GreyImage large;
    ASSERT_TRUE(sequence.segmenter->perform(makePicture(1280, 720), large, error)) << error;
    EXPECT_EQ(large.width, 960);
    EXPECT_EQ(large.height, 540);
}

TEST(Segmentation, SequenceKeepsStateAndSingleImageStartsFresh) {
    SegmenterResult single = makeSegmenter(Quality::accurate, false);
    SegmenterResult sequence = makeSegmenter(Quality::accurate, true);
    ASSERT_TRUE(single.segmenter && sequence.segmenter);
    const RgbImage a = makePicture(160, 120, 0), other = makePicture(120, 160, 1);
    std::string error;
    GreyImage s1, s2, q1, q2, q3, q4;
    ASSERT_TRUE(single.segmenter->perform(a, s1, error)) << error;
    ASSERT_TRUE(single.segmenter->perform(a, s2, error)) << error;
    EXPECT_EQ(s1.bytes, s2.bytes);
    ASSERT_TRUE(sequence.segmenter->perform(a, q1, error)) << error;
    EXPECT_EQ(q1.bytes, s1.bytes);  // the first frame starts from zero state too
    ASSERT_TRUE(sequence.segmenter->perform(a, q2, error)) << error;
    // The second frame carries state: some pixels move (mattes are bytes, so compare sums).
    long difference = 0;
    for (size_t k = 0; k < q1.bytes.size(); ++k) difference += std::abs(q1.bytes[k] - q2.bytes[k]);
    EXPECT_GT(difference, 0);
    // A frame of another size resets the state; back at the first size it starts over.
    ASSERT_TRUE(sequence.segmenter->perform(other, q3, error)) << error;
    EXPECT_EQ(q3.width, 120);
    ASSERT_TRUE(sequence.segmenter->perform(a, q4, error)) << error;
    EXPECT_EQ(q4.bytes, q1.bytes);
}

// balanced is rvm too, at a smaller network side than accurate, with the same working size and
// its own recurrent state: its matte is rvm's alpha at ratio 320/960 for a 960x540 frame.
TEST(Segmentation, BalancedIsRvmAtTheSmallerNetworkSideAndBadPicturesAreRefused) {
    SegmenterResult balanced = makeSegmenter(Quality::balanced, true);
    SegmenterResult accurate = makeSegmenter(Quality::accurate, true);
    ASSERT_TRUE(balanced.segmenter && accurate.segmenter) << balanced.error << accurate.error;
    EXPECT_EQ(balanced.segmenter->inputSize(1920, 1080).width, 960);
    EXPECT_EQ(balanced.segmenter->inputSize(1920, 1080).height, 540);
    const RgbImage picture = makePicture(960, 540);
    GreyImage matte, accurateMatte, second;
    std::string error;
    ASSERT_TRUE(balanced.segmenter->perform(picture, matte, error)) << error;
    ASSERT_EQ(matte.width, 960);
    ASSERT_EQ(matte.height, 540);
    auto model = loadRvm();
    RvmState state;
    Tensor pha;
    const std::vector<float> rgb = toFloat(picture);
    const float ratio = rvmDownsampleRatio(960, 320);
    ASSERT_TRUE(model->run(rgb.data(), 540, 960, ratio, state, pha, nullptr, error)) << error;
    GreyImage expected;
    matteFromAlpha(pha.data.data(), 960, 540, expected);
    EXPECT_EQ(matte.bytes, expected.bytes);
    // accurate's matte is rvm's alpha at its own ratio (network side 640); running it does not
    // touch balanced's state: balanced's second frame equals rvm's second frame at its ratio.
    ASSERT_TRUE(accurate.segmenter->perform(picture, accurateMatte, error)) << error;
    RvmState accurateState;
    ASSERT_TRUE(model->run(rgb.data(), 540, 960, rvmDownsampleRatio(960, 640), accurateState, pha,
                           nullptr, error))
        << error;
    GreyImage expectedAccurate;
    matteFromAlpha(pha.data.data(), 960, 540, expectedAccurate);
    EXPECT_EQ(accurateMatte.bytes, expectedAccurate.bytes);
    ASSERT_TRUE(balanced.segmenter->perform(picture, second, error)) << error;
    ASSERT_TRUE(model->run(rgb.data(), 540, 960, ratio, state, pha, nullptr, error)) << error;
    matteFromAlpha(pha.data.data(), 960, 540, expected);
    EXPECT_EQ(second.bytes, expected.bytes);

    for (Quality q : {Quality::accurate, Quality::balanced}) {
        SegmenterResult made = makeSegmenter(q, true);
        RgbImage bad = makePicture(40, 30);
        bad.pixels.pop_back();
        EXPECT_FALSE(made.segmenter->perform(bad, matte, error));
        EXPECT_THAT(error, HasSubstr("picture of 40x30 has 3599 bytes, expected 3600"));
        RgbImage empty;
        EXPECT_FALSE(made.segmenter->perform(empty, matte, error));
        EXPECT_THAT(error, HasSubstr("impossible size"));
    }
}

}  // namespace
}  // namespace figsplit::engine
