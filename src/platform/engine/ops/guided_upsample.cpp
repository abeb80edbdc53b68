#include "platform/engine/ops/guided_upsample.h"

#include <cmath>

#include "platform/engine/plan.h"

namespace figsplit::engine {

void guidedUpsampleReference(const GuidedUpsampleSpec& s, const float* a, const float* b,
                             const float* guide, float* const* outputs) {
    const ResizeSpec& r = s.resize;
    const int64_t count = r.batch * r.outH * r.outW * r.channels;
    std::vector<float> ra(static_cast<size_t>(count)), rb(static_cast<size_t>(count));
    resizeBilinearReference(r, a, ra.data());
    resizeBilinearReference(r, b, rb.data());
    const int64_t pixels = r.batch * r.outH * r.outW;
    int64_t first = 0;
    for (size_t o = 0; o < s.splits.size(); ++o) {
        const int64_t width = s.splits[o];
        if (!s.skip[o]) {
            for (int64_t p = 0; p < pixels; ++p)
                for (int64_t c = 0; c < width; ++c) {
                    const int64_t at = p * r.channels + first + c;
                    float v = ra[at] * guide[at] + rb[at];
                    for (const PostOp& t : s.tails[o]) v = applyPostOp(t, v);
                    outputs[o][p * width + c] = v;
                }
        }
        first += width;
    }
}

FastGuidedUpsample::FastGuidedUpsample(const GuidedUpsampleSpec& spec) : spec_(spec) {
    const ResizeSpec& r = spec.resize;
    x0_.resize(static_cast<size_t>(r.outW));
    x1_.resize(static_cast<size_t>(r.outW));
    dx_.resize(static_cast<size_t>(r.outW));
    for (int64_t x = 0; x < r.outW; ++x) {
        const float fx = resizeSourceCoordinate(r, false, x);
        x0_[x] = std::max<int64_t>(static_cast<int64_t>(std::floor(fx)), 0) * r.channels;
        x1_[x] = std::min<int64_t>(static_cast<int64_t>(std::ceil(fx)), r.inW - 1) * r.channels;
        dx_[x] = fx - std::floor(fx);
    }
}

void FastGuidedUpsample::run(const float* a, const float* b, const float* guide,
                             float* const* outputs) const {
    const ResizeSpec& r = spec_.resize;
    const int64_t rows = r.batch * r.outH;
    const int64_t channels = r.channels;
#pragma omp parallel for
    for (int64_t row = 0; row < rows; ++row) {
        const int64_t n = row / r.outH, y = row % r.outH;
        const float fy = resizeSourceCoordinate(r, true, y);
        const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fy)), 0);
        const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fy)), r.inH - 1);
        const float dy = fy - std::floor(fy);
        const int64_t top = (n * r.inH + y0) * r.inW * channels,
                      bottom = (n * r.inH + y1) * r.inW * channels;
        const float* guideRow = guide + row * r.outW * channels;
        int64_t first = 0;
        for (size_t o = 0; o < spec_.splits.size(); ++o) {
            const int64_t width = spec_.splits[o];
            if (spec_.skip[o]) {
                first += width;
                continue;
            }
            float* out = outputs[o] + row * r.outW * width;
            const std::vector<PostOp>& tail = spec_.tails[o];
            for (int64_t x = 0; x < r.outW; ++x) {
                const float dx = dx_[x];
                const int64_t l = x0_[x] + first, rt = x1_[x] + first;
                for (int64_t c = 0; c < width; ++c) {
                    const float at = a[top + l + c] + (a[top + rt + c] - a[top + l + c]) * dx;
                    const float ab =
                        a[bottom + l + c] + (a[bottom + rt + c] - a[bottom + l + c]) * dx;
                    const float bt = b[top + l + c] + (b[top + rt + c] - b[top + l + c]) * dx;
                    const float bb =
                        b[bottom + l + c] + (b[bottom + rt + c] - b[bottom + l + c]) * dx;
                    const float av = at + (ab - at) * dy;
                    const float bv = bt + (bb - bt) * dy;
                    float v = av * guideRow[x * channels + first + c] + bv;
                    for (const PostOp& t : tail) v = applyPostOp(t, v);
                    out[x * width + c] = v;
                }
            }
            first += width;
        }
    }
}

namespace {

class GuidedUpsampleStep : public Step {
  public:
    GuidedUpsampleSpec spec;
    std::unique_ptr<FastGuidedUpsample> fast;
    Ref a, b, guide;
    std::vector<float*> outputs;

    bool run(RunContext& c, std::string&) override {
        if (fast) {
            fast->run(a.get(c), b.get(c), guide.get(c), outputs.data());
        } else {
            guidedUpsampleReference(spec, a.get(c), b.get(c), guide.get(c), outputs.data());
        }
        return true;
    }
};

Ref operandRef(const Plan& plan, const Operand& o) {
    Ref r;
    const TensorDesc& root = plan.tensors[plan.tensors[o.tensor].root];
    if (root.input >= 0) {
        r.input = root.input;
    } else {
        r.arena = plan.data(o.tensor);
    }
    return r;
}

}  // namespace

std::unique_ptr<Step> makeGuidedUpsampleStep(const Plan& plan, const PlanOp& op, bool reference) {
    auto step = std::make_unique<GuidedUpsampleStep>();
    step->spec = op.guided;
    step->a = operandRef(plan, op.inputs[0]);
    step->b = operandRef(plan, op.inputs[1]);
    step->guide = operandRef(plan, op.inputs[2]);
    for (int o : op.outputs) step->outputs.push_back(plan.data(o));
    if (!reference) step->fast = std::make_unique<FastGuidedUpsample>(op.guided);
    return step;
}

}  // namespace figsplit::engine
