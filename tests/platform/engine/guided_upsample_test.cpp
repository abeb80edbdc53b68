// The fused guided-filter upsampling (fast and reference) against its definition written out.
#include "platform/engine/ops/guided_upsample.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"
#include "platform/engine/ops/activation.h"
#include "post_ops.h"

namespace figsplit::engine {
namespace {

using namespace testing;

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
    // A and b holding only the channel of the output that is written (the others never computed
    // upstream) give the same output.
    s.skip = {1, 0};
    s.stored = {3};
    std::vector<float> a3(low / 4), b3(low / 4);
    for (size_t p = 0; p < low / 4; ++p) {
        a3[p] = a[p * 4 + 3];
        b3[p] = b[p * 4 + 3];
    }
    std::vector<float> unused(pixels * 3, -7.0f), refSecond(pixels), fastSecond(pixels);
    float* refOut[] = {unused.data(), refSecond.data()};
    float* fastOut[] = {unused.data(), fastSecond.data()};
    guidedUpsampleReference(s, a3.data(), b3.data(), parts, refOut);
    FastGuidedUpsample(s).run(a3.data(), b3.data(), parts, fastOut);
    expectClose(refSecond, second, 1e-6f);
    expectClose(fastSecond, second, 1e-5f);
    EXPECT_EQ(unused, std::vector<float>(pixels * 3, -7.0f));
    // A needed channel that A and b do not hold is refused.
    s.skip = {0, 0};
    EXPECT_THROW(FastGuidedUpsample{s}, std::invalid_argument);
}

}  // namespace
}  // namespace figsplit::engine
