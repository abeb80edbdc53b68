#include "platform/engine/ops/pooling.h"

#include <algorithm>
#include <vector>

#include "platform/engine/lowering.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

void avgPoolReference(const PoolSpec& s, const float* src, float* dst) {
    const int64_t pixels = s.batch * s.outH * s.outW;
#pragma omp parallel for if (pixels * s.kernelH * s.kernelW * s.channels > 65536)
    for (int64_t p = 0; p < pixels; ++p) {
        const int64_t n = p / (s.outH * s.outW);
        const int64_t oy = (p / s.outW) % s.outH;
        const int64_t ox = p % s.outW;
        const int64_t y0 = std::max<int64_t>(oy * s.strideH - s.padTop, 0);
        const int64_t y1 = std::min<int64_t>(oy * s.strideH - s.padTop + s.kernelH, s.inH);
        const int64_t x0 = std::max<int64_t>(ox * s.strideW - s.padLeft, 0);
        const int64_t x1 = std::min<int64_t>(ox * s.strideW - s.padLeft + s.kernelW, s.inW);
        float* out = dst + p * s.channels;
        std::fill(out, out + s.channels, 0.0f);
        for (int64_t y = y0; y < y1; ++y)
            for (int64_t x = x0; x < x1; ++x) {
                const float* in = src + ((n * s.inH + y) * s.inW + x) * s.channels;
                for (int64_t c = 0; c < s.channels; ++c) out[c] += in[c];
            }
        const int64_t cells = std::max<int64_t>((y1 - y0) * (x1 - x0), 1);
        const float scale = 1.0f / static_cast<float>(cells);
        for (int64_t c = 0; c < s.channels; ++c) out[c] *= scale;
    }
}

FastAvgPool::FastAvgPool(const PoolSpec& s, const dnnl::engine& engine) {
    using dnnl::memory;
    const memory::desc srcMd({s.batch, s.channels, s.inH, s.inW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const memory::desc dstMd({s.batch, s.channels, s.outH, s.outW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const dnnl::pooling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                           dnnl::algorithm::pooling_avg_exclude_padding, srcMd,
                                           dstMd, {s.strideH, s.strideW}, {s.kernelH, s.kernelW},
                                           {s.padTop, s.padLeft}, {s.padBottom, s.padRight});
    const dnnl::pooling_forward::primitive_desc pd(desc, engine);
    primitive_.prepare(dnnl::pooling_forward(pd),
                       {{DNNL_ARG_SRC, memory(srcMd, engine, static_cast<void*>(nullptr))},
                        {DNNL_ARG_DST, memory(dstMd, engine, static_cast<void*>(nullptr))}});
}

void FastAvgPool::run(const float* src, float* dst, dnnl::stream& stream) {
    primitive_.bind(0, src);
    primitive_.bind(1, dst);
    primitive_.execute(stream);
}

// The operator: its check, lowering and step.

namespace {

class PoolStep : public Step {
  public:
    PoolSpec params;
    std::unique_ptr<FastAvgPool> fast;
    Ref src;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        if (fast) {
            fast->run(src.get(c), dst, *c.stream);
        } else {
            avgPoolReference(params, src.get(c), dst);
        }
        return true;
    }
};

std::unique_ptr<Step> makePoolStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<PoolStep>();
    s->params = op.pool;
    s->src = operandRef(plan, op.inputs[0]);
    s->dst = out;
    if (build.fast) {
        try {
            s->fast = std::make_unique<FastAvgPool>(op.pool, build.engine);
        } catch (const dnnl::error&) {
            s->fast.reset();
        }
    }
    return s;
}

class ChannelMeanStep : public Step {
  public:
    Ref src;
    int64_t pixels = 0, channels = 0;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        const float* s = src.get(c);
        const float scale = 1.0f / static_cast<float>(channels);
#pragma omp parallel for if (pixels > 8192)
        for (int64_t p = 0; p < pixels; ++p) {
            float sum = 0.0f;
            for (int64_t k = 0; k < channels; ++k) sum += s[p * channels + k];
            dst[p] = sum * scale;
        }
        return true;
    }
};

std::unique_ptr<Step> makeChannelMeanStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<ChannelMeanStep>();
    const Shape& in = op.inputs[0].shape;
    s->src = operandRef(plan, op.inputs[0]);
    s->channels = in.back();
    s->pixels = elementCount(in) / std::max<int64_t>(in.back(), 1);
    s->dst = out;
    return s;
}

// AvgPool, and Mean over the plane (an average pool) or over the channels.
bool lowerPool(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Slot& x = l.in(0);
    if (x.state != Slot::State::frame) return l.fail("constant input not supported", error);
    if (x.shape.size() != 4) return l.fail("input " + shapeText(x.shape) + " is not NHWC", error);
    PoolSpec s;
    s.batch = x.shape[0];
    s.inH = x.shape[1];
    s.inW = x.shape[2];
    s.channels = x.shape[3];
    Shape shape;
    if (op == "AvgPool") {
        const std::vector<int64_t> k = attrInts(node, "ksize"), st = attrInts(node, "strides");
        s.kernelH = k[1];
        s.kernelW = k[2];
        s.strideH = st[1];
        s.strideW = st[2];
        if (attrString(node, "padding", "VALID") == "SAME") {
            samePadding(s.inH, s.kernelH, s.strideH, 1, s.outH, s.padTop, s.padBottom);
            samePadding(s.inW, s.kernelW, s.strideW, 1, s.outW, s.padLeft, s.padRight);
        } else {
            s.outH = ConvSpec::convOutSize(s.inH, s.kernelH, s.strideH, 1, 0, 0);
            s.outW = ConvSpec::convOutSize(s.inW, s.kernelW, s.strideW, 1, 0, 0);
        }
        if (s.outH < 1 || s.outW < 1)
            return l.fail("input " + shapeText(x.shape) + " is smaller than the window", error);
        shape = {s.batch, s.outH, s.outW, s.channels};
    } else {
        std::vector<int64_t> axes;
        if (!l.needConstInts(1, "the axes", axes, error)) return false;
        for (int64_t& a : axes)
            if (!normaliseAxis(a, 4)) return l.fail("axis out of range", error);
        std::sort(axes.begin(), axes.end());
        const bool keep = attrBool(node, "keep_dims", false);
        if (axes == std::vector<int64_t>{1, 2}) {
            s.kernelH = s.inH;
            s.kernelW = s.inW;
            s.strideH = s.inH;
            s.strideW = s.inW;
            s.outH = s.outW = 1;
            shape = keep ? Shape{s.batch, 1, 1, s.channels} : Shape{s.batch, s.channels};
        } else if (axes == std::vector<int64_t>{3}) {
            PlanOp& p = l.emit(makeChannelMeanStep, PlanOp::Kind::channelMean, "Mean");
            p.inputs.push_back(l.operand(x));
            out[0] = l.frame(keep ? Shape{x.shape[0], x.shape[1], x.shape[2], 1}
                                  : Shape{x.shape[0], x.shape[1], x.shape[2]});
            p.outputs.push_back(out[0].tensor);
            return true;
        } else {
            return l.fail("mean over axes " + shapeText(axes) + " not supported", error);
        }
    }
    PlanOp& p = l.emit(makePoolStep, PlanOp::Kind::pool, op);
    p.inputs.push_back(l.operand(x));
    p.pool = s;
    out[0] = l.frame(shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

bool checkAvgPool(const GraphNode& node, std::string& what) {
    if (!checkWindow(node, what)) return false;
    const std::vector<int64_t> ksize = attrInts(node, "ksize");
    if (ksize.size() != 4 || ksize[0] != 1 || ksize[3] != 1 || ksize[1] < 1 || ksize[2] < 1) {
        what = "ksize must be [1, h, w, 1]";
        return false;
    }
    if (node.inputs.size() != 1) {
        what = "expects 1 inputs";
        return false;
    }
    return true;
}

}  // namespace

extern const OperatorHandlers kAvgPool = {.check = checkAvgPool, .lower = lowerPool};
extern const OperatorHandlers kMean = {.lower = lowerPool};

}  // namespace figsplit::engine
