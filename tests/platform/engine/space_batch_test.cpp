// SpaceToBatchND and BatchToSpaceND: one undoes the other, and padding cells are zero.
#include "platform/engine/ops/space_batch.h"

#include <cmath>
#include <vector>

#include "differential.h"
#include "gtest/gtest.h"

namespace figsplit::engine {
namespace {

using namespace testing;

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
