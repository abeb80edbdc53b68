#include "platform/engine/ops/conv.h"

#include <omp.h>

#include <cstring>

#include "platform/engine/lowering.h"
#include "platform/engine/ops/onednn_util.h"
#include "platform/engine/ops/registry.h"
#include "platform/engine/ops/winograd_conv.h"

namespace figsplit::engine {

int ConvSpec::addInputs() const {
    int n = 0;
    for (const PostOp& p : postOps) n += p.kind == PostOp::Kind::add ? 1 : 0;
    return n;
}

int64_t ConvSpec::convOutSize(int64_t in, int64_t kernel, int64_t stride, int64_t dilation,
                              int64_t padBefore, int64_t padAfter) {
    const int64_t span = (kernel - 1) * dilation + 1;
    const int64_t padded = in + padBefore + padAfter;
    return padded < span ? 0 : (padded - span) / stride + 1;
}

namespace {

// Applies the bias and post-ops to one output pixel's channels.
void finishPixel(const ConvSpec& params, float* acc, const float* const* adds, int64_t pixel,
                 float* dst) {
    const int64_t c = params.outC;
    for (int64_t o = 0; o < c; ++o) {
        float v = acc[o] + (params.bias.empty() ? 0.0f : params.bias[o]);
        int add = 0;
        for (const PostOp& p : params.postOps) {
            if (p.kind == PostOp::Kind::add) {
                v += adds[add++][pixel * c + o];
            } else {
                v = applyPostOp(p, v);
            }
        }
        dst[pixel * c + o] = v;
    }
}

}  // namespace

void convReference(const ConvSpec& s, const float* src, const float* const* adds, float* dst) {
    const int64_t pixels = s.batch * s.outH * s.outW;
    if (s.kind == ConvSpec::Kind::transposed) {
        std::vector<float> acc(static_cast<size_t>(pixels * s.outC), 0.0f);
        for (int64_t n = 0; n < s.batch; ++n)
            for (int64_t iy = 0; iy < s.inH; ++iy)
                for (int64_t ix = 0; ix < s.inW; ++ix) {
                    const float* in = src + ((n * s.inH + iy) * s.inW + ix) * s.inC;
                    for (int64_t ky = 0; ky < s.kernelH; ++ky) {
                        const int64_t oy = iy * s.strideH - s.padTop + ky * s.dilationH;
                        if (oy < 0 || oy >= s.outH) continue;
                        for (int64_t kx = 0; kx < s.kernelW; ++kx) {
                            const int64_t ox = ix * s.strideW - s.padLeft + kx * s.dilationW;
                            if (ox < 0 || ox >= s.outW) continue;
                            float* out = acc.data() + ((n * s.outH + oy) * s.outW + ox) * s.outC;
                            const float* w =
                                s.weights.data() + (ky * s.kernelW + kx) * s.outC * s.inC;
                            for (int64_t o = 0; o < s.outC; ++o)
                                for (int64_t i = 0; i < s.inC; ++i)
                                    out[o] += in[i] * w[o * s.inC + i];
                        }
                    }
                }
        for (int64_t p = 0; p < pixels; ++p) finishPixel(s, acc.data() + p * s.outC, adds, p, dst);
        return;
    }
    const int64_t multiplier = s.kind == ConvSpec::Kind::depthwise ? s.outC / s.inC : 0;
#pragma omp parallel
    {
        std::vector<float> acc(static_cast<size_t>(s.outC));
#pragma omp for
        for (int64_t p = 0; p < pixels; ++p) {
            const int64_t n = p / (s.outH * s.outW);
            const int64_t oy = (p / s.outW) % s.outH;
            const int64_t ox = p % s.outW;
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (int64_t ky = 0; ky < s.kernelH; ++ky) {
                const int64_t iy = oy * s.strideH - s.padTop + ky * s.dilationH;
                if (iy < 0 || iy >= s.inH) continue;
                for (int64_t kx = 0; kx < s.kernelW; ++kx) {
                    const int64_t ix = ox * s.strideW - s.padLeft + kx * s.dilationW;
                    if (ix < 0 || ix >= s.inW) continue;
                    const float* in = src + ((n * s.inH + iy) * s.inW + ix) * s.inC;
                    const float* w = s.weights.data() + (ky * s.kernelW + kx) * s.inC *
                                                            (multiplier > 0 ? multiplier : s.outC);
                    if (multiplier > 0) {
                        for (int64_t c = 0; c < s.inC; ++c)
                            for (int64_t m = 0; m < multiplier; ++m)
                                acc[c * multiplier + m] += in[c] * w[c * multiplier + m];
                    } else {
                        for (int64_t i = 0; i < s.inC; ++i) {
                            const float x = in[i];
                            const float* wr = w + i * s.outC;
                            for (int64_t o = 0; o < s.outC; ++o) acc[o] += x * wr[o];
                        }
                    }
                }
            }
            finishPixel(s, acc.data(), adds, p, dst);
        }
    }
}

FastConv::FastConv(const ConvSpec& s, const dnnl::engine& engine) {
    using dnnl::memory;
    if (s.kind == ConvSpec::Kind::transposed && s.strideH == s.kernelH && s.strideW == s.kernelW &&
        s.dilationH == 1 && s.dilationW == 1) {
        nonOverlapping_ = true;
        spec_ = s;
        impl_ = "direct:non-overlapping";
        // Activations without adds run afterwards as vectorised oneDNN element-wise passes.
        const bool adds = s.addInputs() > 0;
        if (!adds) {
            const memory::desc md({s.batch, s.outC, s.outH, s.outW}, memory::data_type::f32,
                                  memory::format_tag::nhwc);
            for (const PostOp& p : s.postOps) {
                dnnl::algorithm algorithm = dnnl::algorithm::eltwise_linear;
                float alpha = p.scale, beta = p.shift;
                if (p.kind == PostOp::Kind::clip) {
                    algorithm = dnnl::algorithm::eltwise_clip_v2;
                    alpha = p.low;
                    beta = p.high;
                } else if (p.kind == PostOp::Kind::activation) {
                    alpha = beta = 0.0f;
                    switch (p.activation) {
                        case Activation::none:
                            continue;
                        case Activation::relu:
                            algorithm = dnnl::algorithm::eltwise_relu;
                            break;
                        case Activation::relu6:
                            algorithm = dnnl::algorithm::eltwise_clip;
                            beta = 6.0f;
                            break;
                        case Activation::sigmoid:
                            algorithm = dnnl::algorithm::eltwise_logistic;
                            break;
                        case Activation::tanh:
                            algorithm = dnnl::algorithm::eltwise_tanh;
                            break;
                        case Activation::hardswish:
                            algorithm = dnnl::algorithm::eltwise_hardswish;
                            break;
                    }
                }
                const dnnl::eltwise_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                       algorithm, md, alpha, beta);
                const dnnl::eltwise_forward::primitive_desc pd(desc, engine);
                PreparedPrimitive pass;
                pass.prepare(dnnl::eltwise_forward(pd),
                             {{DNNL_ARG_SRC, memory(md, engine, static_cast<void*>(nullptr))},
                              {DNNL_ARG_DST, memory(md, engine, static_cast<void*>(nullptr))}});
                tail_.push_back(std::move(pass));
            }
        }
        tailSeparate_ = !adds;
        return;
    }
    using tag = memory::format_tag;
    if (!postOpsRunOnOnednn(s.postOps))
        throw dnnl::error(dnnl_unimplemented, "post-op chain oneDNN computes wrongly");
    const memory::dims srcDims = {s.batch, s.inC, s.inH, s.inW};
    const memory::dims dstDims = {s.batch, s.outC, s.outH, s.outW};
    const memory::desc srcMd(srcDims, memory::data_type::f32, tag::nhwc);
    const memory::desc dstMd(dstDims, memory::data_type::f32, tag::nhwc);
    const memory::desc biasMd({s.outC}, memory::data_type::f32, tag::x);
    const memory::dims strides = {s.strideH, s.strideW};
    const memory::dims dilates = {s.dilationH - 1, s.dilationW - 1};
    const memory::dims padL = {s.padTop, s.padLeft};
    const memory::dims padR = {s.padBottom, s.padRight};

    dnnl::post_ops ops;
    std::vector<int> addArgs;
    for (const PostOp& p : s.postOps) {
        if (p.kind == PostOp::Kind::activation) {
            appendActivation(ops, p.activation);
        } else if (p.kind == PostOp::Kind::clip) {
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_clip_v2, p.low, p.high);
        } else if (p.kind == PostOp::Kind::linear) {
            ops.append_eltwise(1.0f, dnnl::algorithm::eltwise_linear, p.scale, p.shift);
        } else {
            ops.append_binary(dnnl::algorithm::binary_add, dstMd);
            addArgs.push_back(DNNL_ARG_ATTR_MULTIPLE_POST_OP(ops.len() - 1) | DNNL_ARG_SRC_1);
        }
    }
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);

    // Weights as the graph stores them, then reordered once into the kernel's own layout.
    memory::desc userWeightsMd;
    std::vector<float> transposed;
    const float* weightData = s.weights.data();
    memory::desc weightsAny;
    if (s.kind == ConvSpec::Kind::dense) {
        userWeightsMd =
            memory::desc({s.outC, s.inC, s.kernelH, s.kernelW}, memory::data_type::f32, tag::hwio);
        weightsAny =
            memory::desc({s.outC, s.inC, s.kernelH, s.kernelW}, memory::data_type::f32, tag::any);
    } else if (s.kind == ConvSpec::Kind::depthwise) {
        const int64_t m = s.outC / s.inC;
        userWeightsMd =
            memory::desc({s.inC, m, 1, s.kernelH, s.kernelW}, memory::data_type::f32, tag::hwigo);
        weightsAny =
            memory::desc({s.inC, m, 1, s.kernelH, s.kernelW}, memory::data_type::f32, tag::any);
    } else {
        // [kh, kw, outC, inC] -> oihw
        transposed.resize(s.weights.size());
        for (int64_t ky = 0; ky < s.kernelH; ++ky)
            for (int64_t kx = 0; kx < s.kernelW; ++kx)
                for (int64_t o = 0; o < s.outC; ++o)
                    for (int64_t i = 0; i < s.inC; ++i)
                        transposed[((o * s.inC + i) * s.kernelH + ky) * s.kernelW + kx] =
                            s.weights[((ky * s.kernelW + kx) * s.outC + o) * s.inC + i];
        weightData = transposed.data();
        userWeightsMd =
            memory::desc({s.outC, s.inC, s.kernelH, s.kernelW}, memory::data_type::f32, tag::oihw);
        weightsAny =
            memory::desc({s.outC, s.inC, s.kernelH, s.kernelW}, memory::data_type::f32, tag::any);
    }
    const bool hasBias = !s.bias.empty();
    memory::desc kernelWeightsMd;
    dnnl::primitive primitive;
    if (s.kind == ConvSpec::Kind::transposed) {
        const auto desc =
            hasBias ? dnnl::deconvolution_forward::desc(
                          dnnl::prop_kind::forward_inference, dnnl::algorithm::deconvolution_direct,
                          srcMd, weightsAny, biasMd, dstMd, strides, dilates, padL, padR)
                    : dnnl::deconvolution_forward::desc(
                          dnnl::prop_kind::forward_inference, dnnl::algorithm::deconvolution_direct,
                          srcMd, weightsAny, dstMd, strides, dilates, padL, padR);
        const dnnl::deconvolution_forward::primitive_desc pd(desc, attr, engine);
        primitive = dnnl::deconvolution_forward(pd);
        kernelWeightsMd = pd.weights_desc();
        impl_ = pd.impl_info_str();
    } else {
        const auto desc =
            hasBias ? dnnl::convolution_forward::desc(
                          dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct,
                          srcMd, weightsAny, biasMd, dstMd, strides, dilates, padL, padR)
                    : dnnl::convolution_forward::desc(
                          dnnl::prop_kind::forward_inference, dnnl::algorithm::convolution_direct,
                          srcMd, weightsAny, dstMd, strides, dilates, padL, padR);
        const dnnl::convolution_forward::primitive_desc pd(desc, attr, engine);
        primitive = dnnl::convolution_forward(pd);
        kernelWeightsMd = pd.weights_desc();
        impl_ = pd.impl_info_str();
    }
    dnnl::stream stream(engine);
    dnnl::memory user(userWeightsMd, engine, const_cast<float*>(weightData));
    dnnl::memory weights(kernelWeightsMd, engine);
    dnnl::reorder(user, weights).execute(stream, user, weights);
    std::vector<std::pair<int, dnnl::memory>> args = {
        {DNNL_ARG_SRC, memory(srcMd, engine, static_cast<void*>(nullptr))},
        {DNNL_ARG_DST, memory(dstMd, engine, static_cast<void*>(nullptr))}};
    for (int arg : addArgs)
        args.emplace_back(arg, memory(dstMd, engine, static_cast<void*>(nullptr)));
    addCount_ = addArgs.size();
    args.emplace_back(DNNL_ARG_WEIGHTS, weights);
    if (hasBias) {
        memory bias(biasMd, engine);
        std::memcpy(bias.get_data_handle(), s.bias.data(), s.bias.size() * sizeof(float));
        args.emplace_back(DNNL_ARG_BIAS, bias);
    }
    stream.wait();
    primitive_.prepare(primitive, args);
}

void FastConv::runNonOverlapping(const float* src, const float* const* adds, float* dst) const {
    const ConvSpec& s = spec_;
    const bool inline_ = !tailSeparate_;
    const int64_t rows = s.batch * s.outH;
#pragma omp parallel for
    for (int64_t row = 0; row < rows; ++row) {
        const int64_t n = row / s.outH, oy = row % s.outH;
        const int64_t py = oy + s.padTop;  // position in the uncropped output
        const int64_t iy = py / s.strideH, ky = py % s.strideH;
        for (int64_t ox = 0; ox < s.outW; ++ox) {
            const int64_t px = ox + s.padLeft;
            const int64_t ix = px / s.strideW, kx = px % s.strideW;
            const int64_t pixel = row * s.outW + ox;
            float* out = dst + pixel * s.outC;
            const bool inside = iy < s.inH && ix < s.inW;
            const float* in = src + ((n * s.inH + iy) * s.inW + ix) * s.inC;
            const float* w = s.weights.data() + (ky * s.kernelW + kx) * s.outC * s.inC;
            for (int64_t o = 0; o < s.outC; ++o) {
                float v = s.bias.empty() ? 0.0f : s.bias[o];
                if (inside)
                    for (int64_t i = 0; i < s.inC; ++i) v += in[i] * w[o * s.inC + i];
                if (inline_) {
                    int add = 0;
                    for (const PostOp& p : s.postOps)
                        v = p.kind == PostOp::Kind::add ? v + adds[add++][pixel * s.outC + o]
                                                        : applyPostOp(p, v);
                }
                out[o] = v;
            }
        }
    }
}

void FastConv::run(const float* src, const float* const* adds, float* dst, dnnl::stream& stream) {
    if (nonOverlapping_) {
        runNonOverlapping(src, adds, dst);
        for (PreparedPrimitive& pass : tail_) {
            pass.bind(0, dst);
            pass.bind(1, dst);
            pass.execute(stream);
        }
        return;
    }
    primitive_.bind(0, src);
    primitive_.bind(1, dst);
    for (size_t k = 0; k < addCount_; ++k) primitive_.bind(2 + k, adds[k]);
    primitive_.execute(stream);
}

std::string FastConv::implementation() const {
    return impl_;
}

// The operator: its check, lowering and step.

namespace {

class ConvStep : public Step {
  public:
    ConvSpec params;
    std::unique_ptr<WinogradConv> winograd;
    std::unique_ptr<FastConv> fast;
    Ref src;
    std::vector<Ref> adds;
    std::vector<const float*> addPointers;
    float* dst = nullptr;
    // Winograd: the input's parts (several when it reads a concatenation in place) and the
    // output's parts (several when it writes a split's outputs).
    std::vector<Ref> partRefs;
    std::vector<InputPart> inParts;
    std::vector<OutputPart> outParts;

    bool run(RunContext& c, std::string&) override {
        for (size_t k = 0; k < adds.size(); ++k) addPointers[k] = adds[k].get(c);
        if (winograd) {
            for (size_t k = 0; k < partRefs.size(); ++k) inParts[k].slice.base = partRefs[k].get(c);
            // Follows a thread count changed after the plan was built (a no-op otherwise).
            winograd->prepare(params.batch, params.inH, params.inW, omp_get_max_threads());
            winograd->run(inParts, outParts);
        } else if (fast) {
            fast->run(src.get(c), addPointers.data(), dst, *c.stream);
        } else {
            convReference(params, src.get(c), addPointers.data(), dst);
        }
        return true;
    }
};

// Stride-1 3x3 dense convolutions on the Winograd kernel (when enabled), others on oneDNN when it
// takes the shape, else the reference kernel.
std::unique_ptr<Step> makeConvStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<ConvStep>();
    s->params = op.conv;
    s->dst = out;
    const bool parts =
        op.outputs.size() > 1 || op.inputs.size() > 1 + static_cast<size_t>(op.conv.addInputs());
    if (build.fast && build.winograd && WinogradConv::supports(op.conv)) {
        // Sized here, once per plan, for the plan's shape and the current thread count.
        s->winograd = std::make_unique<WinogradConv>(op.conv);
        if (op.projected) s->winograd->setProjection(op.secondConv);
        for (const Operand& in : op.inputs) {
            s->partRefs.push_back(operandRef(plan, in));
            s->inParts.push_back({{nullptr, in.shape.back(), 0}, in.shape.back()});
        }
        for (int o : op.outputs) {
            const int64_t channels = plan.tensors[o].shape.back();
            s->outParts.push_back({{plan.data(o), channels, 0}, channels});
        }
        return s;
    }
    if (parts) return nullptr;  // only the Winograd kernel reads and writes parts
    s->src = operandRef(plan, op.inputs[0]);
    for (size_t k = 1; k < op.inputs.size(); ++k) s->adds.push_back(operandRef(plan, op.inputs[k]));
    s->addPointers.resize(s->adds.size());
    if (build.fast) {
        try {
            s->fast = std::make_unique<FastConv>(op.conv, build.engine);
        } catch (const dnnl::error&) {
            s->fast.reset();  // an unusual shape: the reference kernel runs it
        }
    }
    return s;
}

// Conv2D, _FusedConv2D, the depthwise pair and Conv2DBackpropInput: one ConvSpec each.
bool lowerConv(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const std::string& op = node.op;
    const bool transposed = op == "Conv2DBackpropInput";
    const Slot& x = l.in(transposed ? 2 : 0);
    const Slot& filter = l.in(1);
    if (x.state != Slot::State::frame) return l.fail("constant input not supported", error);
    if (filter.state != Slot::State::constant || !filter.value->isFloat() ||
        filter.shape.size() != 4)
        return l.fail("the filter must be a constant float tensor of rank 4", error);
    if (x.shape.size() != 4) return l.fail("input " + shapeText(x.shape) + " is not NHWC", error);
    ConvSpec s;
    s.kind = transposed ? ConvSpec::Kind::transposed
             : (op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative")
                 ? ConvSpec::Kind::depthwise
                 : ConvSpec::Kind::dense;
    const std::vector<int64_t> strides = attrInts(node, "strides");
    std::vector<int64_t> dilations = attrInts(node, "dilations");
    if (dilations.empty()) dilations = {1, 1, 1, 1};
    s.strideH = strides[1];
    s.strideW = strides[2];
    s.dilationH = dilations[1];
    s.dilationW = dilations[2];
    s.kernelH = filter.shape[0];
    s.kernelW = filter.shape[1];
    s.batch = x.shape[0];
    s.inH = x.shape[1];
    s.inW = x.shape[2];
    s.inC = x.shape[3];
    s.weights = filter.value->floats;
    const std::string padding = attrString(node, "padding", "VALID");
    if (transposed) {
        const Slot& sizes = l.in(0);
        std::vector<int64_t> size;
        if (sizes.state != Slot::State::constant || !valueInts(*sizes.value, size) ||
            size.size() != 4)
            return l.fail("the output size must be a constant of 4 values", error);
        if (filter.shape[3] != s.inC)
            return l.fail(
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        s.outH = size[1];
        s.outW = size[2];
        s.outC = filter.shape[2];
        if (size[0] != s.batch || size[3] != s.outC || s.outH < 1 || s.outW < 1)
            return l.fail("output size " + shapeText(size) + " does not match", error);
        // The pads of the forward convolution that maps the output back to the input.
        int64_t expected = 0;
        if (padding == "SAME") {
            samePadding(s.outH, s.kernelH, s.strideH, s.dilationH, expected, s.padTop, s.padBottom);
            if (expected != s.inH) return l.fail("output height does not match the input", error);
            samePadding(s.outW, s.kernelW, s.strideW, s.dilationW, expected, s.padLeft, s.padRight);
            if (expected != s.inW) return l.fail("output width does not match the input", error);
        } else if (padding == "EXPLICIT") {
            const std::vector<int64_t> p = attrInts(node, "explicit_paddings");
            s.padTop = p[2];
            s.padBottom = p[3];
            s.padLeft = p[4];
            s.padRight = p[5];
        }
    } else {
        if (s.kind == ConvSpec::Kind::dense && filter.shape[2] != s.inC)
            return l.fail(
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        if (s.kind == ConvSpec::Kind::depthwise && filter.shape[2] != s.inC)
            return l.fail(
                "filter " + shapeText(filter.shape) + " does not match input " + shapeText(x.shape),
                error);
        s.outC =
            s.kind == ConvSpec::Kind::dense ? filter.shape[3] : filter.shape[2] * filter.shape[3];
        if (padding == "SAME") {
            samePadding(s.inH, s.kernelH, s.strideH, s.dilationH, s.outH, s.padTop, s.padBottom);
            samePadding(s.inW, s.kernelW, s.strideW, s.dilationW, s.outW, s.padLeft, s.padRight);
        } else {
            if (padding == "EXPLICIT") {
                const std::vector<int64_t> p = attrInts(node, "explicit_paddings");
                s.padTop = p[2];
                s.padBottom = p[3];
                s.padLeft = p[4];
                s.padRight = p[5];
            }
            s.outH = ConvSpec::convOutSize(s.inH, s.kernelH, s.strideH, s.dilationH, s.padTop,
                                           s.padBottom);
            s.outW = ConvSpec::convOutSize(s.inW, s.kernelW, s.strideW, s.dilationW, s.padLeft,
                                           s.padRight);
        }
        if (s.outH < 1 || s.outW < 1)
            return l.fail("input " + shapeText(x.shape) + " is smaller than the filter", error);
    }
    if (op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative") {
        const Slot& bias = l.in(2);
        if (bias.state != Slot::State::constant || !bias.value->isFloat() ||
            bias.value->count() != s.outC)
            return l.fail("the bias must be a constant of " + std::to_string(s.outC) + " floats",
                          error);
        s.bias = bias.value->floats;
        const AttrValue* fused = node.attr("fused_ops");
        if (fused->strings.size() == 2) {
            const std::string& a = fused->strings[1];
            PostOp p;
            p.activation = a == "Relu"      ? Activation::relu
                           : a == "Relu6"   ? Activation::relu6
                           : a == "Sigmoid" ? Activation::sigmoid
                                            : Activation::tanh;
            s.postOps.push_back(p);
        }
    }
    const std::string base = transposed                            ? "Conv2DBackpropInput"
                             : s.kind == ConvSpec::Kind::depthwise ? "DepthwiseConv2dNative"
                                                                   : "Conv2D";
    PlanOp& p = l.emit(makeConvStep, PlanOp::Kind::conv,
                       base + " " + std::to_string(s.kernelH) + "x" + std::to_string(s.kernelW));
    p.inputs.push_back(l.operand(x));
    out[0] = l.frame({s.batch, s.outH, s.outW, s.outC});
    p.outputs.push_back(out[0].tensor);
    p.conv = std::move(s);
    return true;
}

bool checkConv(const GraphNode& node, std::string& what) {
    if (!checkWindow(node, what)) return false;
    auto fail = [&](const std::string& text) {
        what = text;
        return false;
    };
    const std::string& op = node.op;
    std::vector<int64_t> dilations = attrInts(node, "dilations");
    if (dilations.empty()) dilations = {1, 1, 1, 1};
    if (dilations.size() != 4 || dilations[0] != 1 || dilations[3] != 1 || dilations[1] < 1 ||
        dilations[2] < 1)
        return fail("dilations must be [1, h, w, 1]");
    const bool fusedOp = op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative";
    if (fusedOp) {
        const AttrValue* fused = node.attr("fused_ops");
        if (fused == nullptr || fused->strings.empty() || fused->strings[0] != "BiasAdd")
            return fail("fused operations must start with BiasAdd");
        if (fused->strings.size() > 2) return fail("more than one fused activation");
        if (fused->strings.size() == 2) {
            const std::string& a = fused->strings[1];
            if (a != "Relu" && a != "Relu6" && a != "Sigmoid" && a != "Tanh")
                return fail("fused activation " + a + " not supported");
        }
        if (attrInt(node, "num_args", 1) != 1) return fail("num_args must be 1");
    }
    const size_t inputs = fusedOp || op == "Conv2DBackpropInput" ? 3 : 2;
    if (node.inputs.size() != inputs) return fail("expects " + std::to_string(inputs) + " inputs");
    return true;
}

}  // namespace

extern const OperatorHandlers kConvolution = {.check = checkConv, .lower = lowerConv};

}  // namespace figsplit::engine
