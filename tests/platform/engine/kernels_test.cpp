// Every fast kernel against its plain reference at awkward sizes (1, 3, 13, 127), with a fixed
// seed: oneDNN convolutions with their fused tails, the direct transposed convolution, pooling,
// resizing, the fused guided-filter upsampling; and the data-movement and broadcast loops against
// index-by-index definitions.
#include <cmath>
#include <random>

#include "gtest/gtest.h"
#include "platform/engine/ops/conv.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/elementwise.h"
#include "platform/engine/ops/guided_upsample.h"
#include "platform/engine/ops/pointwise.h"
#include "platform/engine/ops/pooling.h"
#include "platform/engine/ops/resize_bilinear.h"

namespace figsplit::engine {
namespace {

std::vector<float> randomData(size_t n, uint32_t seed, float low = -1.0f, float high = 1.0f) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> data(n);
    for (float& v : data) v = value(random);
    return data;
}

// |fast - reference| <= tolerance * (1 + |reference|) everywhere.
void expectClose(const std::vector<float>& fast, const std::vector<float>& reference,
                 float tolerance = 1e-4f) {
    ASSERT_EQ(fast.size(), reference.size());
    size_t bad = 0;
    float worst = 0.0f;
    size_t at = 0;
    for (size_t k = 0; k < fast.size(); ++k) {
        const float d = std::fabs(fast[k] - reference[k]) / (1.0f + std::fabs(reference[k]));
        if (!(d <= tolerance)) ++bad;
        if (!(d <= worst)) {
            worst = d;
            at = k;
        }
    }
    EXPECT_EQ(bad, 0u) << "worst relative difference " << worst << " at " << at << ": " << fast[at]
                       << " vs " << reference[at];
}

struct ConvCase {
    const char* name;
    ConvSpec::Kind kind;
    int64_t inH, inW, inC, outC, kernel, stride, dilation;
    int64_t padTop, padLeft, padBottom, padRight;
    bool bias;
    std::vector<PostOp> postOps;
};

PostOp activation(Activation a) {
    PostOp p;
    p.activation = a;
    return p;
}
PostOp add() {
    PostOp p;
    p.kind = PostOp::Kind::add;
    return p;
}
PostOp clip(float low, float high) {
    PostOp p;
    p.kind = PostOp::Kind::clip;
    p.low = low;
    p.high = high;
    return p;
}
PostOp linear(float scale, float shift) {
    PostOp p;
    p.kind = PostOp::Kind::linear;
    p.scale = scale;
    p.shift = shift;
    return p;
}

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
        std::vector<float> reference(outCount), fast(outCount, NAN);
        convReference(s, src.data(), adds, reference.data());
        FastConv conv(s, engine);
        conv.run(src.data(), adds, fast.data(), stream);
        stream.wait();
        expectClose(fast, reference);
    }
}

TEST(EngineKernels, AveragePoolingMatchesReference) {
    struct Case {
        int64_t inH, inW, channels, kernel, stride, padTop, padLeft, padBottom, padRight;
    };
    // SAME 2x2 stride 2 on odd sizes (padding excluded from the divisor), whole-plane means,
    // a 3x3 window around a single pixel.
    const std::vector<Case> cases = {{13, 13, 3, 2, 2, 0, 0, 1, 1},
                                     {127, 1, 13, 2, 2, 0, 0, 1, 1},
                                     {13, 127, 1, 13, 13, 0, 0, 0, 0},
                                     {1, 1, 3, 3, 1, 1, 1, 1, 1}};
    const dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    dnnl::stream stream(engine);
    for (const Case& c : cases) {
        PoolSpec s;
        s.inH = c.inH;
        s.inW = c.inW;
        s.channels = c.channels;
        s.kernelH = s.kernelW = c.kernel;
        if (c.kernel == 13) {  // whole plane
            s.kernelH = c.inH;
            s.kernelW = c.inW;
        }
        s.strideH = s.strideW = c.stride;
        s.padTop = c.padTop;
        s.padLeft = c.padLeft;
        s.padBottom = c.padBottom;
        s.padRight = c.padRight;
        s.outH = ConvSpec::convOutSize(s.inH, s.kernelH, s.strideH, 1, s.padTop, s.padBottom);
        s.outW = ConvSpec::convOutSize(s.inW, s.kernelW, s.strideW, 1, s.padLeft, s.padRight);
        SCOPED_TRACE(std::to_string(c.inH) + "x" + std::to_string(c.inW));
        const std::vector<float> src =
            randomData(static_cast<size_t>(s.inH * s.inW * s.channels), 5);
        std::vector<float> reference(static_cast<size_t>(s.outH * s.outW * s.channels)),
            fast(reference.size());
        avgPoolReference(s, src.data(), reference.data());
        FastAvgPool pool(s, engine);
        pool.run(src.data(), fast.data(), stream);
        stream.wait();
        expectClose(fast, reference, 1e-5f);
    }
    // The divisor excludes padding: a 2x2 SAME window at the odd edge averages the cells it has.
    PoolSpec edge;
    edge.inH = edge.inW = 3;
    edge.channels = 1;
    edge.kernelH = edge.kernelW = edge.strideH = edge.strideW = 2;
    edge.outH = edge.outW = 2;
    edge.padBottom = edge.padRight = 1;
    const std::vector<float> src = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::vector<float> out(4);
    avgPoolReference(edge, src.data(), out.data());
    EXPECT_EQ(out, (std::vector<float>{3.0f, 4.5f, 7.5f, 9.0f}));
}

TEST(EngineKernels, BilinearResizeMatchesReferenceAndTensorFlow) {
    struct Case {
        int64_t inH, inW, outH, outW, channels;
    };
    const std::vector<Case> cases = {
        {13, 3, 26, 6, 3}, {3, 13, 1, 127, 1}, {127, 127, 13, 3, 4}, {1, 1, 3, 13, 13}};
    const dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    dnnl::stream stream(engine);
    for (const Case& c : cases) {
        ResizeSpec s;
        s.inH = c.inH;
        s.inW = c.inW;
        s.outH = c.outH;
        s.outW = c.outW;
        s.channels = c.channels;
        SCOPED_TRACE(std::to_string(c.inH) + "x" + std::to_string(c.inW) + " -> " +
                     std::to_string(c.outH) + "x" + std::to_string(c.outW));
        const std::vector<float> src =
            randomData(static_cast<size_t>(c.inH * c.inW * c.channels), 9);
        std::vector<float> reference(static_cast<size_t>(c.outH * c.outW * c.channels)),
            fast(reference.size());
        resizeBilinearReference(s, src.data(), reference.data());
        ASSERT_TRUE(FastResize::supports(s));
        FastResize resize(s, engine);
        resize.run(src.data(), fast.data(), stream);
        stream.wait();
        expectClose(fast, reference, 1e-5f);
    }
    // TensorFlow's coordinates: doubling [0, 1] with half-pixel centres gives the edges clamped
    // and the inner samples a quarter of the way; align-corners puts samples on the ends.
    ResizeSpec half;
    half.inH = 1;
    half.inW = 2;
    half.outH = 1;
    half.outW = 4;
    half.channels = 1;
    const std::vector<float> line = {0.0f, 1.0f};
    std::vector<float> out(4);
    resizeBilinearReference(half, line.data(), out.data());
    EXPECT_EQ(out, (std::vector<float>{0.0f, 0.25f, 0.75f, 1.0f}));
    ResizeSpec corners = half;
    corners.halfPixelCenters = false;
    corners.alignCorners = true;
    corners.outW = 3;
    out.assign(3, 0.0f);
    resizeBilinearReference(corners, line.data(), out.data());
    EXPECT_EQ(out, (std::vector<float>{0.0f, 0.5f, 1.0f}));
    EXPECT_FALSE(FastResize::supports(corners));
}

TEST(EngineKernels, GuidedUpsampleMatchesItsDefinition) {
    // The guide in two parts as rvm has it: three colours, and their mean computed on the fly.
    GuidedUpsampleSpec s;
    s.resize.inH = 3;
    s.resize.inW = 13;
    s.resize.outH = 13;
    s.resize.outW = 127;
    s.resize.channels = 4;
    s.guide = {{3, 3, false}, {1, 3, true}};
    s.splits = {3, 1};
    s.tails = {{}, {clip(-INFINITY, 1.0f), clip(0.0f, INFINITY)}};
    const size_t low = 3 * 13 * 4, pixels = 13 * 127;
    const std::vector<float> a = randomData(low, 21, -2, 2), b = randomData(low, 22);
    const std::vector<float> colours = randomData(pixels * 3, 23, 0, 1);
    // The definition written out: join the guide, resize both, multiply-add, split, clip.
    std::vector<float> guide(pixels * 4), ra(pixels * 4), rb(pixels * 4);
    for (size_t p = 0; p < pixels; ++p) {
        for (size_t c = 0; c < 3; ++c) guide[p * 4 + c] = colours[p * 3 + c];
        guide[p * 4 + 3] = (colours[p * 3] + colours[p * 3 + 1] + colours[p * 3 + 2]) / 3.0f;
    }
    resizeBilinearReference(s.resize, a.data(), ra.data());
    resizeBilinearReference(s.resize, b.data(), rb.data());
    std::vector<float> first(pixels * 3), second(pixels);
    for (size_t p = 0; p < pixels; ++p)
        for (size_t c = 0; c < 4; ++c) {
            const float v = ra[p * 4 + c] * guide[p * 4 + c] + rb[p * 4 + c];
            if (c < 3) {
                first[p * 3 + c] = v;
            } else {
                second[p] = std::min(std::max(v, 0.0f), 1.0f);
            }
        }
    const float* parts[] = {colours.data(), colours.data()};
    for (bool skipFirst : {false, true}) {
        SCOPED_TRACE(skipFirst ? "first part unused" : "both parts");
        s.skip = {static_cast<char>(skipFirst), 0};
        std::vector<float> refFirst(pixels * 3, -7.0f), refSecond(pixels),
            fastFirst(pixels * 3, -7.0f), fastSecond(pixels);
        float* refOut[] = {refFirst.data(), refSecond.data()};
        float* fastOut[] = {fastFirst.data(), fastSecond.data()};
        guidedUpsampleReference(s, a.data(), b.data(), parts, refOut);
        FastGuidedUpsample(s).run(a.data(), b.data(), parts, fastOut);
        expectClose(refSecond, second, 1e-6f);
        expectClose(fastSecond, second, 1e-5f);
        if (skipFirst) {
            EXPECT_EQ(fastFirst, std::vector<float>(pixels * 3, -7.0f));  // not written
        } else {
            expectClose(refFirst, first, 1e-6f);
            expectClose(fastFirst, first, 1e-5f);
        }
    }
}

TEST(EngineKernels, PointwiseProgramsMatchTheirSteps) {
    // out = relu((1 - z) * h + z * c) - bias, with z per pixel, bias per channel, over shapes
    // whose last dimension is 1, odd, and longer than a piece.
    for (const Shape& shape : {Shape{1, 13, 127, 1}, Shape{1, 3, 13, 13}, Shape{1, 1, 3, 1100}}) {
        PointwiseProgram p;
        p.shape = shape;
        const Shape pixel = {shape[0], shape[1], shape[2], 1}, channel = {shape[3]};
        p.leaves = {Shape{}, pixel, shape, shape, channel};  // 1, z, h, c, bias
        using I = PointwiseProgram::Instruction;
        auto binary = [](BinaryOp op, int a, int b, int out) {
            I in;
            in.binary = op;
            in.a = a;
            in.b = b;
            in.out = out;
            return in;
        };
        I relu;
        relu.unary = true;
        relu.unaryOp = UnaryOp::relu;
        relu.a = 3;
        relu.out = 4;
        const int one = PointwiseProgram::leaf(0), z = PointwiseProgram::leaf(1),
                  h = PointwiseProgram::leaf(2), c = PointwiseProgram::leaf(3),
                  bias = PointwiseProgram::leaf(4);
        p.code = {binary(BinaryOp::sub, one, z, 0),
                  binary(BinaryOp::mul, 0, h, 1),
                  binary(BinaryOp::mul, z, c, 2),
                  binary(BinaryOp::add, 1, 2, 3),
                  relu,
                  binary(BinaryOp::sub, 4, bias, 5)};
        p.registers = 6;
        const int64_t n = elementCount(shape);
        const std::vector<float> oneValue = {1.0f},
                                 zs =
                                     randomData(static_cast<size_t>(elementCount(pixel)), 31, 0, 1),
                                 hs = randomData(static_cast<size_t>(n), 32),
                                 cs = randomData(static_cast<size_t>(n), 33),
                                 bs = randomData(static_cast<size_t>(shape[3]), 34);
        const float* leaves[] = {oneValue.data(), zs.data(), hs.data(), cs.data(), bs.data()};
        std::vector<float> expected(static_cast<size_t>(n)), reference(expected.size()),
            fast(expected.size());
        for (int64_t k = 0; k < n; ++k) {
            const float zk = zs[k / shape[3]];
            expected[k] = std::max((1.0f - zk) * hs[k] + zk * cs[k], 0.0f) - bs[k % shape[3]];
        }
        pointwiseReference(p, leaves, reference.data());
        FastPointwise(p).run(leaves, fast.data());
        EXPECT_EQ(reference, expected) << shapeText(shape);
        EXPECT_EQ(fast, expected) << shapeText(shape);
    }
}

// Element (index) of a row-major tensor.
int64_t offsetOf(const Shape& shape, const Shape& index) {
    int64_t off = 0;
    for (size_t d = 0; d < shape.size(); ++d) off = off * shape[d] + index[d];
    return off;
}

// Calls f(index) for every index of `shape`.
template <class F>
void forEachIndex(const Shape& shape, F f) {
    Shape index(shape.size(), 0);
    for (int64_t n = 0; n < elementCount(shape); ++n) {
        f(index);
        for (size_t d = shape.size(); d-- > 0;) {
            if (++index[d] < shape[d]) break;
            index[d] = 0;
        }
    }
}

TEST(EngineKernels, BoxCopiesMatchIndexByIndexCopies) {
    struct Case {
        Shape src, srcStart, dst, dstStart, extent;
    };
    // Channel slices of a few channels (short chunks), whole rows (long chunks), a single
    // element, and boxes inside both tensors.
    const std::vector<Case> cases = {
        {{1, 13, 127, 3}, {0, 0, 0, 0}, {1, 13, 127, 4}, {0, 0, 0, 1}, {1, 13, 127, 3}},
        {{1, 13, 127, 40}, {0, 0, 0, 1}, {1, 13, 127, 39}, {0, 0, 0, 0}, {1, 13, 127, 39}},
        {{1, 127, 13, 3}, {0, 1, 1, 0}, {1, 129, 15, 3}, {0, 2, 2, 0}, {1, 126, 12, 3}},
        {{3, 13}, {2, 12}, {1, 1}, {0, 0}, {1, 1}},
        {{1, 3, 13, 127}, {0, 0, 0, 0}, {1, 3, 13, 127}, {0, 0, 0, 0}, {1, 3, 13, 127}},
    };
    for (const Case& c : cases) {
        const std::vector<float> src = randomData(static_cast<size_t>(elementCount(c.src)), 3);
        std::vector<float> expected(static_cast<size_t>(elementCount(c.dst)), -1.0f),
            got = expected;
        forEachIndex(c.extent, [&](const Shape& i) {
            Shape s = i, d = i;
            for (size_t k = 0; k < i.size(); ++k) {
                s[k] += c.srcStart[k];
                d[k] += c.dstStart[k];
            }
            expected[offsetOf(c.dst, d)] = src[offsetOf(c.src, s)];
        });
        copyBox(src.data(), c.src, c.srcStart, got.data(), c.dst, c.dstStart, c.extent, true);
        EXPECT_EQ(got, expected) << shapeText(c.extent);
    }
}

TEST(EngineKernels, BroadcastArithmeticMatchesIndexByIndex) {
    const std::vector<std::pair<Shape, Shape>> cases = {
        {{2, 3, 13}, {13}}, {{1, 13, 1}, {3, 1, 5}},       {{127}, {}},
        {{}, {3, 1}},       {{1, 3, 13, 4}, {1, 1, 1, 4}}, {{1, 3, 13, 4}, {1, 3, 13, 4}},
        {{4, 1}, {1, 4}}};
    for (const auto& [sa, sb] : cases) {
        Shape out;
        ASSERT_TRUE(broadcastShapes(sa, sb, out));
        BroadcastPlan plan;
        ASSERT_TRUE(BroadcastPlan::make(sa, sb, plan));
        const std::vector<float> a = randomData(static_cast<size_t>(elementCount(sa)), 1);
        const std::vector<float> b = randomData(static_cast<size_t>(elementCount(sb)), 2);
        std::vector<float> expected(static_cast<size_t>(elementCount(out))), got(expected.size()),
            broadcast(expected.size());
        forEachIndex(out, [&](const Shape& i) {
            auto pick = [&](const Shape& s) {
                Shape j(s.size());
                for (size_t k = 0; k < s.size(); ++k)
                    j[k] = s[k] == 1 ? 0 : i[i.size() - s.size() + k];
                return offsetOf(s, j);
            };
            expected[offsetOf(out, i)] = a[pick(sa)] - b[pick(sb)];
        });
        binaryFloat(BinaryOp::sub, plan, a.data(), b.data(), got.data(), true);
        EXPECT_EQ(got, expected) << shapeText(sa) << " - " << shapeText(sb);
        // broadcastFloat is the same walk reading one operand
        BroadcastPlan only;
        ASSERT_TRUE(BroadcastPlan::make(sa, out, only));
        broadcastFloat(only, a.data(), broadcast.data(), true);
        forEachIndex(out, [&](const Shape& i) {
            Shape j(sa.size());
            for (size_t k = 0; k < sa.size(); ++k)
                j[k] = sa[k] == 1 ? 0 : i[i.size() - sa.size() + k];
            EXPECT_EQ(broadcast[offsetOf(out, i)], a[offsetOf(sa, j)]);
        });
    }
    Shape out;
    EXPECT_FALSE(broadcastShapes({2, 3}, {3, 2}, out));
}

TEST(EngineKernels, SpaceToBatchAndBackIsTheIdentity) {
    for (const Shape& shape : {Shape{1, 13, 13, 3}, Shape{1, 1, 127, 1}, Shape{2, 3, 1, 13}}) {
        SpaceBatchSpec s;
        s.spaceShape = shape;
        s.blockH = s.blockW = 2;
        s.padTop = s.padLeft = 1;
        const int64_t h = shape[1] + 2 + (shape[1] % 2), w = shape[2] + 2 + (shape[2] % 2);
        s.batchShape = {shape[0] * 4, h / 2, w / 2, shape[3]};
        const std::vector<float> src = randomData(static_cast<size_t>(elementCount(shape)), 4);
        std::vector<float> batch(static_cast<size_t>(elementCount(s.batchShape))), back(src.size());
        spaceToBatch(s, src.data(), batch.data());
        batchToSpace(s, batch.data(), back.data());
        EXPECT_EQ(back, src) << shapeText(shape);
        // Padding cells are zero: the batch holds every source value once plus zeros.
        double sumSrc = 0, sumBatch = 0;
        for (float v : src) sumSrc += v;
        for (float v : batch) sumBatch += v;
        EXPECT_NEAR(sumBatch, sumSrc, 1e-3);
    }
}

}  // namespace
}  // namespace figsplit::engine
