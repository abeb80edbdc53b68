#pragma once
// The space/batch shuffles rvm writes its dilated depthwise convolutions with.
#include <cstdint>

#include "platform/engine/value.h"

namespace figsplit::engine {

// NHWC SpaceToBatchND / BatchToSpaceND with a 2-D block.
struct SpaceBatchSpec {
    Shape spaceShape;  // [N, H, W, C]: input of SpaceToBatch, output of BatchToSpace
    Shape batchShape;  // [N*bh*bw, H', W', C]
    int64_t blockH = 1, blockW = 1;
    int64_t padTop = 0, padLeft = 0;  // SpaceToBatch paddings / BatchToSpace crops before
};
void spaceToBatch(const SpaceBatchSpec& params, const float* src, float* dst);
void batchToSpace(const SpaceBatchSpec& params, const float* src, float* dst);

}  // namespace figsplit::engine
