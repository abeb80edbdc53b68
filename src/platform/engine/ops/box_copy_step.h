#pragma once
// The kernel of pad, slice, concat and split: box copies between tensors of fixed shapes (pad
// fills its output first).
#include <algorithm>
#include <string>
#include <vector>

#include "platform/engine/ops/data_movement.h"
#include "platform/engine/plan.h"

namespace figsplit::engine {

class BoxStep : public Step {
  public:
    struct Copy {
        Ref src;
        Shape srcShape, srcStart;
        float* dst = nullptr;
        Shape dstShape, dstStart, extent;
    };
    std::vector<Copy> copies;
    float* fillDst = nullptr;  // pad: filled with fillValue first
    int64_t fillCount = 0;
    float fillValue = 0.0f;

    bool run(RunContext& c, std::string&) override {
        if (fillDst != nullptr) std::fill(fillDst, fillDst + fillCount, fillValue);
        for (const Copy& k : copies)
            copyBox(k.src.get(c), k.srcShape, k.srcStart, k.dst, k.dstShape, k.dstStart, k.extent,
                    true);
        return true;
    }
};

}  // namespace figsplit::engine
