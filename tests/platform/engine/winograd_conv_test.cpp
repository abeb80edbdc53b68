// The Winograd 3x3 convolution against the direct reference, both variants (AVX2 where the
// machine has it, and the portable one), at awkward sizes, on whole tensors and on channel slices
// of wider tensors; and what it accepts.
//
// Tolerance: F(4x4, 3x3) sums the same products in another order through transforms whose
// coefficients reach 8 (outputs) and 5 (inputs), so its rounding error is proportional to the
// magnitude |bias| + sum |w * x| of each output, not to the output itself (which may cancel to
// nearly 0). Float rounding is 6e-8 per operation; the transforms, the weight transform stored in
// float and the channel sums give a few hundred of those at most. The worst measured here is
// 4e-6 of the magnitude (one input channel, where no sum averages the transforms' rounding out);
// 2e-5 leaves five times that, while a wrong coefficient, channel or pixel gives errors of the
// order of the magnitude itself. sigmoid and tanh are 1-Lipschitz, so the bound carries through
// them; their vector approximations add at most 1e-6.
#include "platform/engine/ops/winograd_conv.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

constexpr float kRelativeTolerance = 2e-5f;
constexpr float kActivationTolerance = 1e-6f;
constexpr float kUntouched = -12345.0f;  // fills the channels outside the output slice

std::vector<float> randomData(size_t n, std::mt19937& random, float scale) {
    std::uniform_real_distribution<float> value(-scale, scale);
    std::vector<float> data(n);
    for (float& v : data) v = value(random);
    return data;
}

ConvSpec makeSpec(int64_t batch, int64_t h, int64_t w, int64_t inC, int64_t outC, Activation a,
                  bool bias, std::mt19937& random) {
    ConvSpec s;
    s.batch = batch;
    s.inH = s.outH = h;
    s.inW = s.outW = w;
    s.inC = inC;
    s.outC = outC;
    s.kernelH = s.kernelW = 3;
    s.padTop = s.padLeft = s.padBottom = s.padRight = 1;
    // Weights of a trained layer's scale (outputs of order 1), a little larger for the
    // saturating activations so that both their flat and steep parts are reached.
    const float scale = (a == Activation::sigmoid || a == Activation::tanh ? 3.0f : 1.0f) /
                        std::sqrt(9.0f * static_cast<float>(inC));
    s.weights = randomData(static_cast<size_t>(9 * inC * outC), random, scale);
    if (bias) s.bias = randomData(static_cast<size_t>(outC), random, 0.5f);
    if (a != Activation::none) {
        PostOp p;
        p.activation = a;
        s.postOps.push_back(p);
    }
    return s;
}

// Whether this machine runs `isa` (a WinogradConv falls back to a lesser one where it cannot).
bool isaAvailable(WinogradIsa isa) {
    std::mt19937 random(1);
    return WinogradConv(makeSpec(1, 1, 1, 1, 1, Activation::none, false, random), isa).isa() == isa;
}

struct Case {
    const char* name;
    int64_t batch, height, width, inC, outC;
    Activation activation;
    bool bias;
    // Slices: the tensors' channel counts are the slice's plus `extra`, starting at `offset`.
    int64_t inExtra, inOffset, outExtra, outOffset;
};

const Case kCases[] = {
    {"one_pixel", 1, 1, 1, 1, 1, Activation::none, true, 0, 0, 0, 0},
    {"three_by_three", 1, 3, 3, 3, 3, Activation::relu, true, 0, 0, 0, 0},
    {"thirteen_odd_channels", 1, 13, 13, 13, 13, Activation::sigmoid, true, 0, 0, 0, 0},
    {"wide_row", 1, 1, 127, 35, 16, Activation::tanh, true, 0, 0, 0, 0},
    {"tall_column", 1, 127, 1, 16, 35, Activation::relu, false, 0, 0, 0, 0},
    {"rectangle_many_channels", 1, 13, 127, 59, 40, Activation::relu, true, 0, 0, 0, 0},
    {"deep_input", 1, 3, 13, 171, 20, Activation::tanh, true, 0, 0, 0, 0},
    {"batch_of_two", 2, 13, 3, 8, 24, Activation::none, true, 0, 0, 0, 0},
    {"relu6", 1, 13, 13, 9, 17, Activation::relu6, true, 0, 0, 0, 0},
    {"hardswish", 1, 13, 13, 17, 9, Activation::hardswish, true, 0, 0, 0, 0},
    // Output into a slice of a concatenated tensor, input from one.
    {"output_slice_middle", 1, 13, 13, 13, 13, Activation::relu, true, 0, 0, 22, 7},
    {"output_slice_end", 1, 127, 13, 3, 16, Activation::sigmoid, true, 0, 0, 19, 19},
    {"input_slice", 1, 13, 127, 35, 16, Activation::tanh, true, 5, 3, 0, 0},
    {"both_slices_odd", 1, 3, 127, 13, 35, Activation::none, true, 2, 1, 3, 2},
    {"both_slices_one_channel", 2, 13, 13, 1, 1, Activation::relu, false, 4, 4, 4, 0},
};

class WinogradConvTest : public ::testing::TestWithParam<std::tuple<Case, WinogradIsa>> {};

TEST_P(WinogradConvTest, MatchesDirectConvolution) {
    const auto& [c, isa] = GetParam();
    if (!isaAvailable(isa)) GTEST_SKIP() << "this machine lacks " << winogradIsaName(isa);
    std::mt19937 random(20240611);
    const ConvSpec params =
        makeSpec(c.batch, c.height, c.width, c.inC, c.outC, c.activation, c.bias, random);
    const int64_t pixels = c.batch * c.height * c.width;
    const int64_t inStride = c.inC + c.inExtra, outStride = c.outC + c.outExtra;
    const std::vector<float> input = randomData(static_cast<size_t>(pixels * inStride), random, 1);
    const ConstChannelSlice src{input.data(), inStride, c.inOffset};

    std::vector<float> reference(static_cast<size_t>(pixels * outStride), kUntouched);
    std::vector<float> magnitude(static_cast<size_t>(pixels * c.outC));
    conv3x3Reference(params, src, {reference.data(), outStride, c.outOffset}, magnitude.data());

    WinogradConv conv(params, isa);
    EXPECT_EQ(conv.isa(), isa);
    std::vector<float> output(reference.size(), kUntouched);
    conv.run(src, {output.data(), outStride, c.outOffset});

    float worst = 0.0f;
    size_t bad = 0, touched = 0, firstBad = 0;
    for (int64_t p = 0; p < pixels; ++p)
        for (int64_t k = 0; k < outStride; ++k) {
            const size_t at = static_cast<size_t>(p * outStride + k);
            const int64_t o = k - c.outOffset;
            if (o < 0 || o >= c.outC) {
                touched += output[at] != kUntouched ? 1 : 0;
                continue;
            }
            const float scale = magnitude[static_cast<size_t>(p * c.outC + o)];
            const float error = std::fabs(output[at] - reference[at]);
            worst = std::max(worst, error / std::max(scale, 1e-30f));
            if (!(error <= kRelativeTolerance * scale + kActivationTolerance)) {
                if (bad++ == 0) firstBad = at;
            }
        }
    EXPECT_EQ(touched, 0u) << "channels outside the output slice were written";
    EXPECT_EQ(bad, 0u) << "first at " << firstBad << ": " << output[firstBad] << " vs "
                       << reference[firstBad] << "; worst error / magnitude " << worst;
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", worst);
    RecordProperty("worst_error_over_magnitude", text);
}

std::string caseName(const ::testing::TestParamInfo<std::tuple<Case, WinogradIsa>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" +
           winogradIsaName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Sizes, WinogradConvTest,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(WinogradIsa::avx512,
                                                              WinogradIsa::avx2,
                                                              WinogradIsa::portable)),
                         caseName);

// One object prepared again for other sizes and worker counts: every tile is computed by one
// worker alone, so the result is the same bit for bit whatever the split.
TEST(WinogradConv, PrepareForOtherSizesAndWorkerCounts) {
    std::mt19937 random(7);
    ConvSpec params = makeSpec(1, 13, 13, 13, 16, Activation::relu, true, random);
    WinogradConv conv(params);
    struct Size {
        int64_t batch, height, width;
    };
    for (const Size size : {Size{1, 127, 3}, Size{2, 13, 127}, Size{1, 1, 1}, Size{1, 13, 13}}) {
        params.batch = size.batch;
        params.inH = params.outH = size.height;
        params.inW = params.outW = size.width;
        const int64_t pixels = size.batch * size.height * size.width;
        const std::vector<float> input = randomData(static_cast<size_t>(pixels * 13), random, 1);
        std::vector<float> reference(static_cast<size_t>(pixels * 16));
        std::vector<float> magnitude(reference.size());
        conv3x3Reference(params, {input.data(), 13, 0}, {reference.data(), 16, 0},
                         magnitude.data());
        std::vector<float> single(reference.size()), several(reference.size());
        conv.prepare(size.batch, size.height, size.width, 1);
        conv.run({input.data(), 13, 0}, {single.data(), 16, 0});
        conv.prepare(size.batch, size.height, size.width, std::max(omp_get_max_threads(), 3));
        conv.run({input.data(), 13, 0}, {several.data(), 16, 0});
        EXPECT_EQ(single, several) << size.height << "x" << size.width;
        for (size_t k = 0; k < reference.size(); ++k)
            ASSERT_LE(std::fabs(single[k] - reference[k]),
                      kRelativeTolerance * magnitude[k] + kActivationTolerance)
                << size.height << "x" << size.width << " at " << k;
    }
    EXPECT_THROW(conv.prepare(1, 0, 13, 1), std::invalid_argument);
    // Slices that do not fit their pixel stride are refused, not overrun.
    std::vector<float> buffer(13 * 13 * 32);
    EXPECT_THROW(conv.run({buffer.data(), 12, 0}, {buffer.data(), 16, 0}), std::invalid_argument);
    EXPECT_THROW(conv.run({buffer.data(), 13, 0}, {buffer.data(), 20, 5}), std::invalid_argument);
}

// An input joined from parts and an output split into parts give, bit for bit, what the
// convolution computes on the concatenated tensor: every channel goes through the same transforms.
// Parts of odd widths make the vector groups straddle part boundaries.
TEST(WinogradConv, PartsEqualTheConcatenatedTensor) {
    for (const WinogradIsa isa : {WinogradIsa::avx512, WinogradIsa::avx2, WinogradIsa::portable}) {
        std::mt19937 random(11);
        const int64_t h = 13, w = 17, pixels = h * w;
        const int64_t inWidths[] = {5, 1, 13};
        const ConvSpec params = makeSpec(1, h, w, 19, 17, Activation::sigmoid, true, random);
        const std::vector<float> joined = randomData(static_cast<size_t>(pixels * 19), random, 1);
        std::vector<float> whole(static_cast<size_t>(pixels * 17));
        WinogradConv conv(params, isa);
        if (conv.isa() != isa) continue;  // this machine lacks it
        conv.run({joined.data(), 19, 0}, {whole.data(), 17, 0});

        // The first input part sits at offset 1 of a 7-channel tensor; the second output part at
        // offset 2 of a 9-channel one.
        const int64_t inStrides[] = {7, 1, 13}, inOffsets[] = {1, 0, 0};
        std::vector<std::vector<float>> inputs(3);
        int64_t first = 0;
        for (int k = 0; k < 3; ++k) {
            inputs[k].assign(static_cast<size_t>(pixels * inStrides[k]), kUntouched);
            for (int64_t p = 0; p < pixels; ++p)
                for (int64_t c = 0; c < inWidths[k]; ++c)
                    inputs[k][p * inStrides[k] + inOffsets[k] + c] = joined[p * 19 + first + c];
            first += inWidths[k];
        }
        std::vector<float> out0(static_cast<size_t>(pixels * 11), kUntouched),
            out1(static_cast<size_t>(pixels * 9), kUntouched);
        const InputPart in[] = {{{inputs[0].data(), 7, 1}, 5},
                                {{inputs[1].data(), 1, 0}, 1},
                                {{inputs[2].data(), 13, 0}, 13}};
        const OutputPart out[] = {{{out0.data(), 11, 0}, 11}, {{out1.data(), 9, 2}, 6}};
        conv.run(in, out);
        for (int64_t p = 0; p < pixels; ++p) {
            for (int64_t c = 0; c < 11; ++c)
                ASSERT_EQ(out0[p * 11 + c], whole[p * 17 + c]) << winogradIsaName(isa);
            for (int64_t c = 0; c < 9; ++c) {
                const float expected = c >= 2 && c < 8 ? whole[p * 17 + 11 + c - 2] : kUntouched;
                ASSERT_EQ(out1[p * 9 + c], expected) << winogradIsaName(isa) << " channel " << c;
            }
        }
        // Parts must add up to the convolution's channels.
        EXPECT_THROW(conv.run(std::span(in, 2), std::span(out)), std::invalid_argument);
        EXPECT_THROW(conv.run(std::span(in), std::span(out, 1)), std::invalid_argument);
    }
}

// A 1x1 projection applied in the same pass equals the convolution followed by the projection,
// on edge tiles too (13x17 leaves partial tiles), written into two output parts.
TEST(WinogradConv, ProjectionEqualsTheConvolutionThenTheOneByOne) {
    for (const WinogradIsa isa : {WinogradIsa::avx512, WinogradIsa::avx2, WinogradIsa::portable}) {
        std::mt19937 random(5);
        const int64_t h = 13, w = 17, pixels = h * w;
        const ConvSpec params = makeSpec(1, h, w, 9, 16, Activation::relu, true, random);
        ConvSpec projection = makeSpec(1, h, w, 16, 3, Activation::sigmoid, true, random);
        projection.kernelH = projection.kernelW = 1;
        projection.padTop = projection.padLeft = projection.padBottom = projection.padRight = 0;
        projection.weights = randomData(16 * 3, random, 0.5f);
        const std::vector<float> input = randomData(static_cast<size_t>(pixels * 9), random, 1);
        std::vector<float> middle(static_cast<size_t>(pixels * 16));
        WinogradConv plain(params, isa);
        if (plain.isa() != isa) continue;  // this machine lacks it
        plain.run({input.data(), 9, 0}, {middle.data(), 16, 0});
        std::vector<float> expected(static_cast<size_t>(pixels * 3));
        for (int64_t p = 0; p < pixels; ++p)
            for (int64_t o = 0; o < 3; ++o) {
                float sum = 0.0f;
                for (int64_t c = 0; c < 16; ++c)
                    sum += middle[p * 16 + c] * projection.weights[c * 3 + o];
                expected[p * 3 + o] = applyPostOp(projection.postOps[0], sum + projection.bias[o]);
            }
        WinogradConv fused(params, isa);
        fused.setProjection(projection);
        EXPECT_EQ(fused.outChannels(), 3);
        std::vector<float> first(static_cast<size_t>(pixels * 2), kUntouched),
            second(static_cast<size_t>(pixels * 2), kUntouched);
        const InputPart in[] = {{{input.data(), 9, 0}, 9}};
        const OutputPart out[] = {{{first.data(), 2, 0}, 2}, {{second.data(), 2, 1}, 1}};
        fused.run(in, out);
        for (int64_t p = 0; p < pixels; ++p) {
            ASSERT_NEAR(first[p * 2], expected[p * 3], 1e-6f) << winogradIsaName(isa);
            ASSERT_NEAR(first[p * 2 + 1], expected[p * 3 + 1], 1e-6f) << winogradIsaName(isa);
            ASSERT_NEAR(second[p * 2 + 1], expected[p * 3 + 2], 1e-6f) << winogradIsaName(isa);
            ASSERT_EQ(second[p * 2], kUntouched) << winogradIsaName(isa);
        }
        // Only a 1x1 convolution of its own output channels can be a projection.
        ConvSpec wrong = projection;
        wrong.inC = 15;
        EXPECT_THROW(plain.setProjection(wrong), std::invalid_argument);
    }
}

TEST(WinogradConv, AcceptsOnlyStrideOneSameThreeByThree) {
    std::mt19937 random(3);
    const ConvSpec good = makeSpec(1, 13, 13, 4, 4, Activation::relu, true, random);
    EXPECT_TRUE(WinogradConv::supports(good));
    struct Change {
        const char* what;
        void (*apply)(ConvSpec&);
    };
    const Change changes[] = {
        {"stride 2", [](ConvSpec& s) { s.strideH = s.strideW = 2; }},
        {"dilation 2", [](ConvSpec& s) { s.dilationH = 2; }},
        {"valid padding", [](ConvSpec& s) { s.padTop = s.padLeft = s.padBottom = s.padRight = 0; }},
        {"depthwise", [](ConvSpec& s) { s.kind = ConvSpec::Kind::depthwise; }},
        {"1x1 kernel", [](ConvSpec& s) { s.kernelH = s.kernelW = 1; }},
        {"output size differs", [](ConvSpec& s) { s.outH = 12; }},
        {"weights of another shape", [](ConvSpec& s) { s.weights.pop_back(); }},
        {"bias of another length", [](ConvSpec& s) { s.bias.push_back(0.0f); }},
        {"residual add", [](ConvSpec& s) { s.postOps.push_back({PostOp::Kind::add}); }},
        {"two activations", [](ConvSpec& s) { s.postOps.push_back(s.postOps[0]); }},
        {"clip", [](ConvSpec& s) { s.postOps[0].kind = PostOp::Kind::clip; }},
    };
    for (const Change& change : changes) {
        ConvSpec s = good;
        change.apply(s);
        EXPECT_FALSE(WinogradConv::supports(s)) << change.what;
        EXPECT_THROW(WinogradConv conv(s), std::invalid_argument) << change.what;
    }
}

}  // namespace
}  // namespace figsplit::engine
