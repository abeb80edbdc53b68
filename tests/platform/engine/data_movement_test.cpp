// The box copies behind pad, slice, concat and split against index-by-index copies.
#include "platform/engine/ops/data_movement.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

using namespace testing;

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

}  // namespace
}  // namespace figsplit::engine
