// A separable depthwise pair run as one pass against the two convolutions run one after the
// other by the reference kernel, at awkward sizes, with and without biases and activations; and
// the pairs it refuses.
#include "platform/engine/ops/separable_depthwise.h"

#include <vector>

#include "differential.h"
#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

using namespace testing;

ConvSpec depthwise(int64_t batch, int64_t h, int64_t w, int64_t c, int64_t kh, int64_t kw,
                   bool bias, Activation activation, uint32_t seed) {
    ConvSpec s;
    s.kind = ConvSpec::Kind::depthwise;
    s.batch = batch;
    s.inH = h;
    s.inW = w;
    s.inC = s.outC = c;
    s.kernelH = kh;
    s.kernelW = kw;
    s.outH = h - kh + 1;
    s.outW = w - kw + 1;
    s.weights = randomData(static_cast<size_t>(kh * kw * c), seed);
    if (bias) s.bias = randomData(static_cast<size_t>(c), seed + 1);
    if (activation != Activation::none) {
        PostOp p;
        p.activation = activation;
        s.postOps.push_back(p);
    }
    return s;
}

TEST(SeparableDepthwise, EqualsTheTwoConvolutionsInARow) {
    struct Case {
        int64_t batch, h, w, c, kh, kw;
        bool bias;
        Activation first, second;
    };
    // Three taps (the box filter's own kernel), other tap counts, one channel and many, a width
    // where the horizontal pass leaves one column, and a batch of two.
    const Case cases[] = {
        {1, 13, 127, 4, 3, 3, false, Activation::none, Activation::none},
        {1, 3, 3, 1, 3, 3, true, Activation::relu, Activation::none},
        {2, 13, 13, 13, 3, 3, true, Activation::none, Activation::sigmoid},
        {1, 127, 3, 3, 5, 3, true, Activation::tanh, Activation::relu},
        {1, 13, 13, 17, 2, 1, false, Activation::none, Activation::none},
        {1, 1, 13, 4, 1, 3, true, Activation::none, Activation::none},
    };
    uint32_t seed = 40;
    for (const Case& k : cases) {
        const ConvSpec v = depthwise(k.batch, k.h, k.w, k.c, k.kh, 1, k.bias, k.first, seed++ * 3);
        const ConvSpec h =
            depthwise(k.batch, v.outH, v.outW, k.c, 1, k.kw, k.bias, k.second, seed++ * 3);
        ASSERT_TRUE(SeparableDepthwise::supports(v, h));
        const std::vector<float> input =
            randomData(static_cast<size_t>(k.batch * k.h * k.w * k.c), seed++);
        std::vector<float> middle(static_cast<size_t>(k.batch * v.outH * v.outW * k.c));
        std::vector<float> expected(static_cast<size_t>(k.batch * h.outH * h.outW * k.c));
        convReference(v, input.data(), nullptr, middle.data());
        convReference(h, middle.data(), nullptr, expected.data());
        std::vector<float> fused(expected.size(), -1.0f);
        SeparableDepthwise(v, h).run(input.data(), fused.data());
        SCOPED_TRACE(::testing::Message()
                     << k.h << "x" << k.w << "x" << k.c << " taps " << k.kh << "," << k.kw);
        expectClose(fused, expected, 1e-6f);
    }
}

TEST(SeparableDepthwise, RefusesWhatIsNotASeparablePair) {
    const ConvSpec v = depthwise(1, 13, 13, 4, 3, 1, true, Activation::none, 1);
    const ConvSpec h = depthwise(1, 11, 13, 4, 1, 3, true, Activation::none, 2);
    ASSERT_TRUE(SeparableDepthwise::supports(v, h));
    struct Change {
        const char* what;
        void (*apply)(ConvSpec& v, ConvSpec& h);
    };
    const Change changes[] = {
        {"the order reversed", [](ConvSpec& a, ConvSpec& b) { std::swap(a, b); }},
        {"a square first kernel",
         [](ConvSpec& a, ConvSpec&) {
             a.kernelW = 3;
             a.outW = a.inW - 2;
         }},
        {"sizes that do not chain", [](ConvSpec&, ConvSpec& b) { b.inH = 12; }},
        {"padding", [](ConvSpec& a, ConvSpec&) { a.padTop = 1; }},
        {"stride 2", [](ConvSpec&, ConvSpec& b) { b.strideW = 2; }},
        {"a dense convolution", [](ConvSpec& a, ConvSpec&) { a.kind = ConvSpec::Kind::dense; }},
        {"a residual add",
         [](ConvSpec&, ConvSpec& b) {
             PostOp p;
             p.kind = PostOp::Kind::add;
             b.postOps.push_back(p);
         }},
    };
    for (const Change& c : changes) {
        ConvSpec a = v, b = h;
        c.apply(a, b);
        EXPECT_FALSE(SeparableDepthwise::supports(a, b)) << c.what;
    }
}

}  // namespace
}  // namespace figsplit::engine
