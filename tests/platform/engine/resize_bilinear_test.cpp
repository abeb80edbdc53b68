// Bilinear resizing on oneDNN against the reference kernel, and TensorFlow's sample coordinates.
#include "platform/engine/ops/resize_bilinear.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

using namespace testing;

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
        ASSERT_TRUE(FastResize::supports(s));
        FastResize resize(s, engine);
        expectFastMatchesReference(
            static_cast<size_t>(c.outH * c.outW * c.channels),
            [&](float* out) {
                resize.run(src.data(), out, stream);
                stream.wait();
            },
            [&](float* out) { resizeBilinearReference(s, src.data(), out); }, 1e-5f);
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

}  // namespace
}  // namespace figsplit::engine
