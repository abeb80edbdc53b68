#include "platform/engine/ops/resize_bilinear.h"

#include <algorithm>
#include <cmath>

#include "platform/engine/lowering.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

float resizeSourceCoordinate(const ResizeSpec& s, bool vertical, int64_t out) {
    const int64_t in = vertical ? s.inH : s.inW;
    const int64_t outSize = vertical ? s.outH : s.outW;
    const float scale = (s.alignCorners && outSize > 1)
                            ? static_cast<float>(in - 1) / static_cast<float>(outSize - 1)
                            : static_cast<float>(in) / static_cast<float>(outSize);
    return s.halfPixelCenters ? (static_cast<float>(out) + 0.5f) * scale - 0.5f
                              : static_cast<float>(out) * scale;
}

void resizeBilinearReference(const ResizeSpec& s, const float* src, float* dst) {
    const int64_t rows = s.batch * s.outH;
#pragma omp parallel for if (rows * s.outW * s.channels > 65536)
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t n = r / s.outH;
        const int64_t oy = r % s.outH;
        const float fy = resizeSourceCoordinate(s, true, oy);
        const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fy)), 0);
        const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fy)), s.inH - 1);
        const float dy = fy - std::floor(fy);
        for (int64_t ox = 0; ox < s.outW; ++ox) {
            const float fx = resizeSourceCoordinate(s, false, ox);
            const int64_t x0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fx)), 0);
            const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fx)), s.inW - 1);
            const float dx = fx - std::floor(fx);
            const float* a = src + ((n * s.inH + y0) * s.inW + x0) * s.channels;
            const float* b = src + ((n * s.inH + y0) * s.inW + x1) * s.channels;
            const float* c = src + ((n * s.inH + y1) * s.inW + x0) * s.channels;
            const float* d = src + ((n * s.inH + y1) * s.inW + x1) * s.channels;
            float* out = dst + ((n * s.outH + oy) * s.outW + ox) * s.channels;
            for (int64_t k = 0; k < s.channels; ++k) {
                const float top = a[k] + (b[k] - a[k]) * dx;
                const float bottom = c[k] + (d[k] - c[k]) * dx;
                out[k] = top + (bottom - top) * dy;
            }
        }
    }
}

bool FastResize::supports(const ResizeSpec& s) {
    return s.halfPixelCenters && !s.alignCorners;
}

FastResize::FastResize(const ResizeSpec& s, const dnnl::engine& engine) {
    using dnnl::memory;
    const memory::desc srcMd({s.batch, s.channels, s.inH, s.inW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const memory::desc dstMd({s.batch, s.channels, s.outH, s.outW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                              dnnl::algorithm::resampling_linear, srcMd, dstMd);
    const dnnl::resampling_forward::primitive_desc pd(desc, engine);
    primitive_.prepare(dnnl::resampling_forward(pd),
                       {{DNNL_ARG_SRC, memory(srcMd, engine, static_cast<void*>(nullptr))},
                        {DNNL_ARG_DST, memory(dstMd, engine, static_cast<void*>(nullptr))}});
}

void FastResize::run(const float* src, float* dst, dnnl::stream& stream) {
    primitive_.bind(0, src);
    primitive_.bind(1, dst);
    primitive_.execute(stream);
}

// The operator: its check, lowering and step.

namespace {

class ResizeStep : public Step {
  public:
    ResizeSpec params;
    std::unique_ptr<FastResize> fast;
    Ref src;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        if (fast) {
            fast->run(src.get(c), dst, *c.stream);
        } else {
            resizeBilinearReference(params, src.get(c), dst);
        }
        return true;
    }
};

std::unique_ptr<Step> makeResizeStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<ResizeStep>();
    s->params = op.resize;
    s->src = operandRef(plan, op.inputs[0]);
    s->dst = out;
    if (build.fast && FastResize::supports(op.resize)) {
        try {
            s->fast = std::make_unique<FastResize>(op.resize, build.engine);
        } catch (const dnnl::error&) {
            s->fast.reset();
        }
    }
    return s;
}

// ResizeBilinear with a size known before the frame.
bool lowerResize(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const Slot& x = l.in(0);
    std::vector<int64_t> size;
    if (!l.needConstInts(1, "the size", size, error)) return false;
    if (size.size() != 2) return l.fail("size " + shapeText(size) + " is not 2 values", error);
    if (x.state != Slot::State::frame) return l.fail("constant input not supported", error);
    if (x.shape.size() != 4) return l.fail("input " + shapeText(x.shape) + " is not NHWC", error);
    if (size[0] < 1 || size[1] < 1 || size[0] > (1 << 16) || size[1] > (1 << 16))
        return l.fail("size " + shapeText(size) + " out of range", error);
    ResizeSpec s;
    s.batch = x.shape[0];
    s.inH = x.shape[1];
    s.inW = x.shape[2];
    s.channels = x.shape[3];
    s.outH = size[0];
    s.outW = size[1];
    s.alignCorners = attrBool(node, "align_corners", false);
    s.halfPixelCenters = attrBool(node, "half_pixel_centers", false);
    PlanOp& p = l.emit(makeResizeStep, PlanOp::Kind::resize, "ResizeBilinear");
    p.inputs.push_back(l.operand(x));
    p.resize = s;
    out[0] = l.frame({s.batch, s.outH, s.outW, s.channels});
    p.outputs.push_back(out[0].tensor);
    return true;
}

bool checkResize(const GraphNode& node, std::string& what) {
    if (node.inputs.size() != 2) {
        what = "expects 2 inputs";
        return false;
    }
    return true;
}

}  // namespace

extern const OperatorHandlers kResizeBilinear = {.check = checkResize, .lower = lowerResize};

}  // namespace figsplit::engine
