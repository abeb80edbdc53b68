// Average pooling on oneDNN against the reference kernel, and TensorFlow's divisor at the edge.
#include "platform/engine/ops/pooling.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"
#include "platform/engine/ops/conv.h"

namespace figsplit::engine {
namespace {

using namespace testing;

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
        FastAvgPool pool(s, engine);
        expectFastMatchesReference(
            static_cast<size_t>(s.outH * s.outW * s.channels),
            [&](float* out) {
                pool.run(src.data(), out, stream);
                stream.wait();
            },
            [&](float* out) { avgPoolReference(s, src.data(), out); }, 1e-5f);
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

}  // namespace
}  // namespace figsplit::engine
