// SpaceToBatchND and BatchToSpaceND with a 2-D block over NHWC (rvm writes its dilated
// depthwise convolutions with them; fusion turns the trio back into one dilated convolution).
#include "platform/engine/ops/space_batch.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// Visits every (batch-tensor element, space-tensor element) pair; `f(batchOffset, spaceOffset)`
// is called for pairs whose space position lies inside the space tensor.
template <class F>
void forEachSpaceBatch(const SpaceBatchSpec& s, F f) {
    const int64_t n = s.spaceShape[0], h = s.spaceShape[1], w = s.spaceShape[2],
                  c = s.spaceShape[3];
    const int64_t bh = s.batchShape[1], bw = s.batchShape[2];
    const int64_t batches = s.batchShape[0];
#pragma omp parallel for if (batches * bh * bw * c > 65536)
    for (int64_t b = 0; b < batches; ++b) {
        const int64_t block = b / n, image = b % n;
        const int64_t i = block / s.blockW, j = block % s.blockW;
        for (int64_t y = 0; y < bh; ++y) {
            const int64_t sy = y * s.blockH + i - s.padTop;
            for (int64_t x = 0; x < bw; ++x) {
                const int64_t sx = x * s.blockW + j - s.padLeft;
                const int64_t batchOffset = ((b * bh + y) * bw + x) * c;
                if (sy < 0 || sy >= h || sx < 0 || sx >= w) {
                    f(batchOffset, -1, c);
                } else {
                    f(batchOffset, ((image * h + sy) * w + sx) * c, c);
                }
            }
        }
    }
}

}  // namespace

void spaceToBatch(const SpaceBatchSpec& s, const float* src, float* dst) {
    forEachSpaceBatch(s, [&](int64_t bo, int64_t so, int64_t c) {
        if (so < 0) {
            std::fill(dst + bo, dst + bo + c, 0.0f);
        } else {
            std::memcpy(dst + bo, src + so, static_cast<size_t>(c) * sizeof(float));
        }
    });
}

void batchToSpace(const SpaceBatchSpec& s, const float* src, float* dst) {
    forEachSpaceBatch(s, [&](int64_t bo, int64_t so, int64_t c) {
        if (so >= 0) std::memcpy(dst + so, src + bo, static_cast<size_t>(c) * sizeof(float));
    });
}

namespace {

class SpaceBatchStep : public Step {
  public:
    SpaceBatchSpec params;
    bool toBatch = true;
    Ref src;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        if (toBatch) {
            spaceToBatch(params, src.get(c), dst);
        } else {
            std::fill(dst, dst + elementCount(params.spaceShape), 0.0f);
            batchToSpace(params, src.get(c), dst);
        }
        return true;
    }
};

std::unique_ptr<Step> makeSpaceBatchStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<SpaceBatchStep>();
    s->params = op.spaceBatch;
    s->toBatch = op.kind == PlanOp::Kind::spaceToBatch;
    s->src = operandRef(plan, op.inputs[0]);
    s->dst = out;
    return s;
}

// SpaceToBatchND and BatchToSpaceND with a 2-D block over NHWC.
bool lowerSpaceBatch(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Slot& x = l.in(0);
    std::vector<int64_t> block, pads;
    if (!l.needConstInts(1, "the block shape", block, error) ||
        !l.needConstInts(2, "the paddings", pads, error))
        return false;
    if (x.shape.size() != 4 || block.size() != 2 || pads.size() != 4 || block[0] < 1 ||
        block[1] < 1)
        return l.fail("only 2-D blocks over NHWC are supported", error);
    if (x.state != Slot::State::frame) return l.fail("constant input not supported", error);
    SpaceBatchSpec s;
    s.blockH = block[0];
    s.blockW = block[1];
    s.padTop = pads[0];
    s.padLeft = pads[2];
    for (int64_t v : pads)
        if (v < 0) return l.fail("negative paddings", error);
    if (op == "SpaceToBatchND") {
        const int64_t h = x.shape[1] + pads[0] + pads[1], w = x.shape[2] + pads[2] + pads[3];
        if (h % s.blockH != 0 || w % s.blockW != 0)
            return l.fail("padded size is not a multiple of the block", error);
        s.spaceShape = x.shape;
        s.batchShape = {x.shape[0] * s.blockH * s.blockW, h / s.blockH, w / s.blockW, x.shape[3]};
    } else {
        if (x.shape[0] % (s.blockH * s.blockW) != 0)
            return l.fail("batch is not a multiple of the block", error);
        s.batchShape = x.shape;
        s.spaceShape = {x.shape[0] / (s.blockH * s.blockW),
                        x.shape[1] * s.blockH - pads[0] - pads[1],
                        x.shape[2] * s.blockW - pads[2] - pads[3], x.shape[3]};
        if (s.spaceShape[1] < 0 || s.spaceShape[2] < 0)
            return l.fail("crops larger than the input", error);
    }
    PlanOp& p = l.emit(
        makeSpaceBatchStep,
        op == "SpaceToBatchND" ? PlanOp::Kind::spaceToBatch : PlanOp::Kind::batchToSpace, op);
    p.inputs.push_back(l.operand(x));
    p.spaceBatch = s;
    out[0] = l.frame(op == "SpaceToBatchND" ? s.batchShape : s.spaceShape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

}  // namespace

extern const OperatorHandlers kSpaceBatch = {.lower = lowerSpaceBatch};

}  // namespace figsplit::engine
