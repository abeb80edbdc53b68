// Pointwise programs (trees of element-wise operations run as one pass) against their steps.
#include "platform/engine/ops/pointwise.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

using namespace testing;

TEST(EngineKernels, PointwiseProgramsMatchTheirSteps) {
    // out = relu((1 - z) * h + z * c) - bias, with z per pixel, bias per channel, over shapes
    // whose last dimension is 1, odd, and longer than a piece, and short rows whose joined run
    // crosses pieces in mid-row.
    for (const Shape& shape :
         {Shape{1, 13, 127, 1}, Shape{1, 3, 13, 13}, Shape{1, 1, 3, 1100}, Shape{1, 40, 50, 3}}) {
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

}  // namespace
}  // namespace figsplit::engine
