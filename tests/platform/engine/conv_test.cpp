// Convolutions (dense, depthwise, transposed) on oneDNN with their fused tails, and the direct
// transposed convolution, against the reference kernel.
#include "platform/engine/ops/conv.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"
#include "post_ops.h"

namespace figsplit::engine {
namespace {

using namespace testing;

struct ConvCase {
    const char* name;
    ConvSpec::Kind kind;
    int64_t inH, inW, inC, outC, kernel, stride, dilation;
    int64_t padTop, padLeft, padBottom, padRight;
    bool bias;
    std::vector<PostOp> postOps;
};

ConvSpec makeSpec(const ConvCase& c, uint32_t seed) {
    ConvSpec s;
    s.kind = c.kind;
    s.inH = c.inH;
    s.inW = c.inW;
    s.inC = c.inC;
    s.outC = c.outC;
    s.kernelH = s.kernelW = c.kernel;
    s.strideH = s.strideW = c.stride;
    s.dilationH = s.dilationW = c.dilation;
    s.padTop = c.padTop;
    s.padLeft = c.padLeft;
    s.padBottom = c.padBottom;
    s.padRight = c.padRight;
    if (c.kind == ConvSpec::Kind::transposed) {
        s.outH = (c.inH - 1) * c.stride + (c.kernel - 1) * c.dilation + 1 - c.padTop - c.padBottom;
        s.outW = (c.inW - 1) * c.stride + (c.kernel - 1) * c.dilation + 1 - c.padLeft - c.padRight;
    } else {
        s.outH =
            ConvSpec::convOutSize(c.inH, c.kernel, c.stride, c.dilation, c.padTop, c.padBottom);
        s.outW =
            ConvSpec::convOutSize(c.inW, c.kernel, c.stride, c.dilation, c.padLeft, c.padRight);
    }
    const int64_t perTap = c.kind == ConvSpec::Kind::depthwise ? c.outC : c.inC * c.outC;
    s.weights = randomData(static_cast<size_t>(c.kernel * c.kernel * perTap), seed);
    if (c.bias) s.bias = randomData(static_cast<size_t>(c.outC), seed + 1);
    s.postOps = c.postOps;
    return s;
}

TEST(EngineKernels, ConvolutionsMatchReference) {
    using K = ConvSpec::Kind;
    const std::vector<ConvCase> cases = {
        {"dense 3x3, pad 1, relu",
         K::dense,
         13,
         13,
         3,
         13,
         3,
         1,
         1,
         1,
         1,
         1,
         1,
         true,
         {activation(Activation::relu)}},
        {"dense 1x1, tall, residual add",
         K::dense,
         127,
         3,
         13,
         1,
         1,
         1,
         1,
         0,
         0,
         0,
         0,
         false,
         {add()}},
        {"dense 3x3 stride 2, pad after only, hard-swish and scale",
         K::dense,
         13,
         127,
         1,
         3,
         3,
         2,
         1,
         0,
         0,
         1,
         1,
         true,
         {activation(Activation::hardswish), linear(0.99975586f, 0.0f)}},
        {"dense 3x3 on one pixel",
         K::dense,
         1,
         1,
         3,
         3,
         3,
         1,
         1,
         1,
         1,
         1,
         1,
         true,
         {activation(Activation::tanh)}},
        {"dense 1x1, bias, scale, relu6, add, clip",
         K::dense,
         3,
         13,
         127,
         13,
         1,
         1,
         1,
         0,
         0,
         0,
         0,
         true,
         {linear(0.5f, 3.0f), activation(Activation::relu6), add(), clip(0.0f, 1.0f)}},
        {"depthwise 3x3, relu6",
         K::depthwise,
         13,
         13,
         13,
         13,
         3,
         1,
         1,
         1,
         1,
         1,
         1,
         true,
         {activation(Activation::relu6)}},
        {"depthwise 5x5 dilation 2, sigmoid",
         K::depthwise,
         13,
         13,
         3,
         3,
         5,
         1,
         2,
         4,
         4,
         4,
         4,
         true,
         {activation(Activation::sigmoid)}},
        {"depthwise multiplier 3, stride 2, one pixel",
         K::depthwise,
         1,
         1,
         3,
         9,
         3,
         2,
         1,
         1,
         1,
         1,
         1,
         true,
         {}},
        {"depthwise 3x3 stride 2, odd size",
         K::depthwise,
         127,
         13,
         1,
         1,
         3,
         2,
         1,
         0,
         0,
         1,
         1,
         false,
         {activation(Activation::hardswish)}},
        {"transposed 2x2 stride 2 (direct)",
         K::transposed,
         13,
         3,
         16,
         1,
         2,
         2,
         1,
         0,
         0,
         0,
         0,
         true,
         {activation(Activation::sigmoid)}},
        {"transposed 2x2 stride 2, cropped (direct)",
         K::transposed,
         3,
         13,
         3,
         13,
         2,
         2,
         1,
         1,
         1,
         1,
         1,
         true,
         {}},
        {"transposed 3x3 stride 2 (oneDNN)",
         K::transposed,
         13,
         13,
         3,
         13,
         3,
         2,
         1,
         1,
         1,
         0,
         0,
         true,
         {activation(Activation::relu)}},
    };
    const dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    dnnl::stream stream(engine);
    uint32_t seed = 11;
    for (const ConvCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ConvSpec s = makeSpec(c, seed += 7);
        ASSERT_GT(s.outH, 0);
        ASSERT_GT(s.outW, 0);
        const std::vector<float> src =
            randomData(static_cast<size_t>(s.inH * s.inW * s.inC), seed + 2);
        const size_t outCount = static_cast<size_t>(s.outH * s.outW * s.outC);
        const std::vector<float> extra = randomData(outCount, seed + 3);
        const float* adds[] = {extra.data()};
        FastConv conv(s, engine);
        expectFastMatchesReference(
            outCount,
            [&](float* out) {
                conv.run(src.data(), adds, out, stream);
                stream.wait();
            },
            [&](float* out) { convReference(s, src.data(), adds, out); });
    }
}

}  // namespace
}  // namespace figsplit::engine
