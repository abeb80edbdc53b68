// Fusion of planned operations into fewer, larger kernels. Each rewrite keeps TensorFlow's
// arithmetic up to float rounding:
//  - SpaceToBatchND -> convolution -> BatchToSpaceND becomes one dilated convolution;
//  - an explicit zero Pad before a convolution becomes the convolution's own padding;
//  - a per-channel Mul/Add of constants after a convolution (batch norm, bias) is folded into
//    its weights and bias;
//  - activations (Relu, Relu6, Sigmoid, Tanh, hard-swish written as four ops), scalar scales and
//    clips, and a residual Add of an earlier tensor become oneDNN post-ops;
//  - the fast guided filter's full-resolution tail (two bilinear resizes, A * I + b) becomes one
//    pass;
//  - a channel concatenation read only by a Winograd convolution, and a channel split of such a
//    convolution's output, become the convolution's input and output parts: the concatenated
//    and the unsplit tensors are never written; a resize of a concatenation that such a
//    convolution reads becomes a concatenation of resizes, so that it too is read in place;
//  - a concatenation of all of a split's outputs, in order, is the split's input;
//  - a depthwise kh x 1 convolution followed by a 1 x kw one (a separable blur) runs as one pass.
// Only rewrites whose intermediate tensors have no other reader are made.
#include <algorithm>
#include <cmath>
#include <string>

#include "platform/engine/ops/onednn_util.h"
#include "platform/engine/ops/separable_depthwise.h"
#include "platform/engine/ops/winograd_conv.h"
#include "platform/engine/plan.h"

namespace figsplit::engine {

namespace {

struct Use {
    int op = -1;
    int input = -1;
};

struct Uses {
    std::vector<int> producer;            // root -> op that writes it (-1: fed or constant)
    std::vector<std::vector<Use>> users;  // root -> readers
    std::vector<char> pinned;             // root -> a requested output

    explicit Uses(const Plan& plan) {
        const size_t n = plan.tensors.size();
        producer.assign(n, -1);
        users.assign(n, {});
        pinned.assign(n, 0);
        for (size_t k = 0; k < plan.ops.size(); ++k) {
            const PlanOp& op = plan.ops[k];
            if (op.removed) continue;
            for (int o : op.outputs) producer[plan.tensors[o].root] = static_cast<int>(k);
            for (size_t i = 0; i < op.inputs.size(); ++i)
                if (op.inputs[i].tensor >= 0)
                    users[plan.tensors[op.inputs[i].tensor].root].push_back(
                        {static_cast<int>(k), static_cast<int>(i)});
        }
        for (const PlanOutput& o : plan.outputs)
            if (o.tensor >= 0) pinned[plan.tensors[o.tensor].root] = 1;
    }
};

int rootOf(const Plan& plan, int tensor) {
    return plan.tensors[tensor].root;
}

// The single reader of `tensor`, reading it under the same id (not an alias); -1 otherwise.
int soleReader(const Plan& plan, const Uses& uses, int tensor) {
    const int root = rootOf(plan, tensor);
    if (uses.pinned[root] || uses.users[root].size() != 1) return -1;
    const Use& u = uses.users[root][0];
    return plan.ops[u.op].inputs[u.input].tensor == tensor ? u.op : -1;
}

bool isScalar(const Operand& o) {
    return o.isConst() && o.value->isFloat() && o.value->count() == 1;
}

// A constant that broadcasts along the last axis only (per channel) to `shape`.
bool perChannel(const Operand& o, const Shape& shape, std::vector<float>& values) {
    if (!o.isConst() || !o.value->isFloat() || shape.empty()) return false;
    const Shape& s = o.value->shape;
    if (s.size() > shape.size()) return false;
    for (size_t d = 0; d + 1 < s.size(); ++d)
        if (s[d] != 1) return false;
    const int64_t c = shape.back();
    const int64_t n = o.value->count();
    if (n != 1 && n != c) return false;
    values.resize(static_cast<size_t>(c));
    for (int64_t k = 0; k < c; ++k) values[k] = o.value->floats[n == 1 ? 0 : k];
    return true;
}

// Multiplies output channel o of the convolution by scale[o] (weights and bias).
void scaleOutputChannels(ConvSpec& s, const std::vector<float>& scale) {
    if (s.bias.empty()) s.bias.assign(static_cast<size_t>(s.outC), 0.0f);
    for (int64_t o = 0; o < s.outC; ++o) s.bias[o] *= scale[o];
    const int64_t taps = s.kernelH * s.kernelW;
    if (s.kind == ConvSpec::Kind::transposed) {
        for (int64_t t = 0; t < taps; ++t)
            for (int64_t o = 0; o < s.outC; ++o)
                for (int64_t i = 0; i < s.inC; ++i)
                    s.weights[(t * s.outC + o) * s.inC + i] *= scale[o];
    } else {
        // dense HWIO and depthwise [h, w, c, m] both end in the output channel order
        const int64_t perTap = static_cast<int64_t>(s.weights.size()) / taps;
        for (int64_t t = 0; t < taps * perTap / s.outC; ++t)
            for (int64_t o = 0; o < s.outC; ++o) s.weights[t * s.outC + o] *= scale[o];
    }
}

bool fuseSpaceToBatch(Plan& plan) {
    Uses uses(plan);
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& b2s = plan.ops[k];
        if (b2s.removed || b2s.kind != PlanOp::Kind::batchToSpace || b2s.inputs[0].tensor < 0)
            continue;
        const int convIndex = uses.producer[rootOf(plan, b2s.inputs[0].tensor)];
        if (convIndex < 0 || soleReader(plan, uses, b2s.inputs[0].tensor) != static_cast<int>(k))
            continue;
        PlanOp& conv = plan.ops[convIndex];
        if (conv.kind != PlanOp::Kind::conv || conv.inputs.size() != 1 || conv.inputs[0].tensor < 0)
            continue;
        ConvSpec& c = conv.conv;
        if (c.kind == ConvSpec::Kind::transposed || c.strideH != 1 || c.strideW != 1 ||
            c.dilationH != 1 || c.dilationW != 1 || c.padTop != 0 || c.padLeft != 0 ||
            c.padBottom != 0 || c.padRight != 0)
            continue;
        const int s2bIndex = uses.producer[rootOf(plan, conv.inputs[0].tensor)];
        if (s2bIndex < 0 || soleReader(plan, uses, conv.inputs[0].tensor) != convIndex) continue;
        PlanOp& s2b = plan.ops[s2bIndex];
        if (s2b.kind != PlanOp::Kind::spaceToBatch) continue;
        const SpaceBatchSpec& in = s2b.spaceBatch;
        const SpaceBatchSpec& out = b2s.spaceBatch;
        if (in.blockH != out.blockH || in.blockW != out.blockW) continue;
        // Dilated convolution on the unpadded input: pads = S2B pads - B2S crops.
        const int64_t padBottomIn = in.batchShape[1] * in.blockH - in.spaceShape[1] - in.padTop;
        const int64_t padRightIn = in.batchShape[2] * in.blockW - in.spaceShape[2] - in.padLeft;
        const int64_t cropBottom = out.batchShape[1] * out.blockH - out.spaceShape[1] - out.padTop;
        const int64_t cropRight = out.batchShape[2] * out.blockW - out.spaceShape[2] - out.padLeft;
        ConvSpec d = c;
        d.batch = in.spaceShape[0];
        d.inH = in.spaceShape[1];
        d.inW = in.spaceShape[2];
        d.dilationH = in.blockH;
        d.dilationW = in.blockW;
        d.padTop = in.padTop - out.padTop;
        d.padLeft = in.padLeft - out.padLeft;
        d.padBottom = padBottomIn - cropBottom;
        d.padRight = padRightIn - cropRight;
        d.outH = out.spaceShape[1];
        d.outW = out.spaceShape[2];
        if (d.padTop < 0 || d.padLeft < 0 || d.padBottom < 0 || d.padRight < 0 ||
            d.batch != out.spaceShape[0] ||
            ConvSpec::convOutSize(d.inH, d.kernelH, 1, d.dilationH, d.padTop, d.padBottom) !=
                d.outH ||
            ConvSpec::convOutSize(d.inW, d.kernelW, 1, d.dilationW, d.padLeft, d.padRight) !=
                d.outW)
            continue;
        c = d;
        conv.inputs[0] = s2b.inputs[0];
        conv.outputs[0] = b2s.outputs[0];
        s2b.removed = true;
        b2s.removed = true;
        changed = true;
        uses = Uses(plan);
    }
    return changed;
}

bool fusePad(Plan& plan) {
    Uses uses(plan);
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& conv = plan.ops[k];
        if (conv.removed || conv.kind != PlanOp::Kind::conv ||
            conv.conv.kind == ConvSpec::Kind::transposed || conv.inputs[0].tensor < 0)
            continue;
        const int padIndex = uses.producer[rootOf(plan, conv.inputs[0].tensor)];
        if (padIndex < 0 || soleReader(plan, uses, conv.inputs[0].tensor) != static_cast<int>(k))
            continue;
        PlanOp& pad = plan.ops[padIndex];
        if (pad.kind != PlanOp::Kind::pad || pad.padValue != 0.0f) continue;
        const Shape& before = pad.inputs[0].shape;
        const Shape& after = plan.tensors[pad.outputs[0]].shape;
        if (before.size() != 4 || pad.start[0] != 0 || pad.start[3] != 0 || before[0] != after[0] ||
            before[3] != after[3])
            continue;
        ConvSpec& c = conv.conv;
        c.padTop += pad.start[1];
        c.padLeft += pad.start[2];
        c.padBottom += after[1] - before[1] - pad.start[1];
        c.padRight += after[2] - before[2] - pad.start[2];
        c.inH = before[1];
        c.inW = before[2];
        conv.inputs[0] = pad.inputs[0];
        pad.removed = true;
        changed = true;
        uses = Uses(plan);
    }
    return changed;
}

// The post-op chain with `more` appended: a clip or scale right after another of its kind is
// merged into it. False when oneDNN could not run the result.
bool extendPostOps(std::vector<PostOp>& chain, std::initializer_list<PostOp> more) {
    std::vector<PostOp> next = chain;
    for (const PostOp& p : more) {
        PostOp* last = next.empty() ? nullptr : &next.back();
        if (last != nullptr && p.kind == PostOp::Kind::clip && last->kind == PostOp::Kind::clip) {
            last->low = std::clamp(last->low, p.low, p.high);
            last->high = std::clamp(last->high, p.low, p.high);
        } else if (last != nullptr && p.kind == PostOp::Kind::linear &&
                   last->kind == PostOp::Kind::linear) {
            last->shift = last->shift * p.scale + p.shift;
            last->scale *= p.scale;
        } else {
            next.push_back(p);
        }
    }
    if (!postOpsRunOnOnednn(next)) return false;
    chain = std::move(next);
    return true;
}

// Tries to absorb the reader of a convolution's output into it. Returns true on a change.
bool absorbTail(Plan& plan, Uses& uses, size_t convIndex) {
    PlanOp& conv = plan.ops[convIndex];
    ConvSpec& c = conv.conv;
    const int out = conv.outputs[0];
    const Shape& shape = plan.tensors[out].shape;
    auto take = [&](PlanOp& reader) {
        conv.outputs[0] = reader.outputs[0];
        reader.removed = true;
        uses = Uses(plan);
        return true;
    };
    // Hard-swish written out: x * (1/6) and relu6(x + 3), multiplied.
    const int root = rootOf(plan, out);
    if (!uses.pinned[root] && uses.users[root].size() == 2) {
        int scaleOp = -1, addOp = -1;
        float sixth = 1.0f / 6.0f;
        for (const Use& u : uses.users[root]) {
            const PlanOp& r = plan.ops[u.op];
            if (r.kind != PlanOp::Kind::binary || r.inputs[u.input].tensor != out) continue;
            const Operand& other = r.inputs[1 - u.input];
            if (!isScalar(other)) continue;
            const float v = other.value->floats[0];
            if (r.binary == BinaryOp::mul && std::fabs(v - 1.0f / 6.0f) < 1e-3f) {
                scaleOp = u.op;
                sixth = v;
            }
            if (r.binary == BinaryOp::add && v == 3.0f) addOp = u.op;
        }
        if (scaleOp >= 0 && addOp >= 0) {
            const int relu = soleReader(plan, uses, plan.ops[addOp].outputs[0]);
            if (relu >= 0 && plan.ops[relu].kind == PlanOp::Kind::unary &&
                plan.ops[relu].unary == UnaryOp::relu6) {
                const int product = soleReader(plan, uses, plan.ops[relu].outputs[0]);
                if (product >= 0 &&
                    product == soleReader(plan, uses, plan.ops[scaleOp].outputs[0]) &&
                    plan.ops[product].kind == PlanOp::Kind::binary &&
                    plan.ops[product].binary == BinaryOp::mul &&
                    plan.ops[product].inputs[0].shape == shape &&
                    plan.ops[product].inputs[1].shape == shape) {
                    PostOp p;
                    p.activation = Activation::hardswish;
                    // The model's 1/6 may be rounded (selfie stores it as float16): keep it.
                    PostOp scale;
                    scale.kind = PostOp::Kind::linear;
                    scale.scale = sixth * 6.0f;
                    const bool fused = sixth == 1.0f / 6.0f ? extendPostOps(c.postOps, {p})
                                                            : extendPostOps(c.postOps, {p, scale});
                    if (!fused) return false;
                    plan.ops[scaleOp].removed = plan.ops[addOp].removed = plan.ops[relu].removed =
                        true;
                    return take(plan.ops[product]);
                }
            }
        }
    }
    const int readerIndex = soleReader(plan, uses, out);
    if (readerIndex < 0) return false;
    PlanOp& reader = plan.ops[readerIndex];
    if (plan.tensors[reader.outputs[0]].shape != shape) return false;
    if (reader.kind == PlanOp::Kind::unary) {
        PostOp p;
        switch (reader.unary) {
            case UnaryOp::relu:
                p.activation = Activation::relu;
                break;
            case UnaryOp::relu6:
                p.activation = Activation::relu6;
                break;
            case UnaryOp::sigmoid:
                p.activation = Activation::sigmoid;
                break;
            case UnaryOp::tanh:
                p.activation = Activation::tanh;
                break;
            default:
                return false;
        }
        if (!extendPostOps(c.postOps, {p})) return false;
        return take(reader);
    }
    if (reader.kind != PlanOp::Kind::binary) return false;
    const int self = reader.inputs[0].tensor == out ? 0 : 1;
    const Operand& other = reader.inputs[1 - self];
    std::vector<float> values;
    const BinaryOp op = reader.binary;
    const bool foldable =
        op == BinaryOp::mul || op == BinaryOp::add || (op == BinaryOp::sub && self == 0);
    if (foldable && c.postOps.empty() && perChannel(other, shape, values)) {
        if (op == BinaryOp::mul) {
            scaleOutputChannels(c, values);
            return take(reader);
        }
        if (c.bias.empty()) c.bias.assign(static_cast<size_t>(c.outC), 0.0f);
        for (int64_t o = 0; o < c.outC; ++o)
            c.bias[o] += op == BinaryOp::add ? values[o] : -values[o];
        return take(reader);
    }
    if (isScalar(other)) {
        const float v = other.value->floats[0];
        PostOp p;
        if (op == BinaryOp::mul) {
            p.kind = PostOp::Kind::linear;
            p.scale = v;
        } else if (op == BinaryOp::add) {
            p.kind = PostOp::Kind::linear;
            p.shift = v;
        } else if (op == BinaryOp::minimum) {
            p.kind = PostOp::Kind::clip;
            p.low = -INFINITY;
            p.high = v;
        } else if (op == BinaryOp::maximum) {
            p.kind = PostOp::Kind::clip;
            p.low = v;
            p.high = INFINITY;
        } else {
            return false;
        }
        if (!extendPostOps(c.postOps, {p})) return false;
        return take(reader);
    }
    // Residual: out + an earlier tensor of the same shape.
    if (op == BinaryOp::add && other.tensor >= 0 && other.shape == shape &&
        rootOf(plan, other.tensor) != root) {
        const int producer = uses.producer[rootOf(plan, other.tensor)];
        if (producer >= static_cast<int>(convIndex)) return false;
        PostOp p;
        p.kind = PostOp::Kind::add;
        c.postOps.push_back(p);
        conv.inputs.push_back(other);
        return take(reader);
    }
    return false;
}

bool fuseTails(Plan& plan) {
    Uses uses(plan);
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        if (plan.ops[k].removed || plan.ops[k].kind != PlanOp::Kind::conv) continue;
        while (absorbTail(plan, uses, k)) changed = true;
    }
    return changed;
}

// resize(A) * I + resize(b) [-> split along channels] [-> scalar clips per part].
bool fuseGuidedUpsample(Plan& plan) {
    Uses uses(plan);
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& add = plan.ops[k];
        if (add.removed || add.kind != PlanOp::Kind::binary || add.binary != BinaryOp::add)
            continue;
        if (add.inputs[0].tensor < 0 || add.inputs[1].tensor < 0) continue;
        const Shape& shape = plan.tensors[add.outputs[0]].shape;
        if (shape.size() != 4 || add.inputs[0].shape != shape || add.inputs[1].shape != shape)
            continue;
        int mulIndex = -1, resizeB = -1;
        for (int side = 0; side < 2 && mulIndex < 0; ++side) {
            const int m = uses.producer[rootOf(plan, add.inputs[side].tensor)];
            const int r = uses.producer[rootOf(plan, add.inputs[1 - side].tensor)];
            if (m < 0 || r < 0) continue;
            if (plan.ops[m].kind == PlanOp::Kind::binary && plan.ops[m].binary == BinaryOp::mul &&
                plan.ops[r].kind == PlanOp::Kind::resize &&
                soleReader(plan, uses, add.inputs[side].tensor) == static_cast<int>(k) &&
                soleReader(plan, uses, add.inputs[1 - side].tensor) == static_cast<int>(k)) {
                mulIndex = m;
                resizeB = r;
            }
        }
        if (mulIndex < 0) continue;
        PlanOp& mul = plan.ops[mulIndex];
        int resizeA = -1, guideSide = -1;
        for (int side = 0; side < 2; ++side) {
            if (mul.inputs[side].tensor < 0 || mul.inputs[1 - side].tensor < 0) continue;
            const int r = uses.producer[rootOf(plan, mul.inputs[side].tensor)];
            if (r >= 0 && plan.ops[r].kind == PlanOp::Kind::resize &&
                soleReader(plan, uses, mul.inputs[side].tensor) == mulIndex &&
                mul.inputs[1 - side].shape == shape) {
                resizeA = r;
                guideSide = 1 - side;
            }
        }
        if (resizeA < 0) continue;
        const ResizeSpec& ra = plan.ops[resizeA].resize;
        const ResizeSpec& rb = plan.ops[resizeB].resize;
        if (ra.inH != rb.inH || ra.inW != rb.inW || ra.channels != rb.channels ||
            ra.outH != rb.outH || ra.outW != rb.outW ||
            ra.halfPixelCenters != rb.halfPixelCenters || ra.alignCorners != rb.alignCorners ||
            ra.outH != shape[1] || ra.outW != shape[2] || ra.channels != shape[3] ||
            ra.batch != shape[0])
            continue;
        PlanOp fused;
        fused.kind = PlanOp::Kind::guidedUpsample;
        fused.makeStep = makeGuidedUpsampleStep;
        fused.label = "GuidedUpsample";
        fused.node = add.node;
        fused.inputs = {plan.ops[resizeA].inputs[0], plan.ops[resizeB].inputs[0]};
        fused.guided.resize = ra;
        // A guide joined from parts right before (and read by nothing else) is read part by part;
        // a part that is a channel mean read by nothing else is computed on the fly.
        const Operand& guide = mul.inputs[guideSide];
        const int join = uses.producer[rootOf(plan, guide.tensor)];
        std::vector<int> absorbed;
        if (join >= 0 && plan.ops[join].kind == PlanOp::Kind::concat && plan.ops[join].axis == 3 &&
            soleReader(plan, uses, guide.tensor) == mulIndex &&
            std::all_of(plan.ops[join].inputs.begin(), plan.ops[join].inputs.end(),
                        [](const Operand& o) { return o.tensor >= 0; })) {
            absorbed.push_back(join);
            for (const Operand& part : plan.ops[join].inputs) {
                const int mean = uses.producer[rootOf(plan, part.tensor)];
                GuidePart g;
                if (mean >= 0 && plan.ops[mean].kind == PlanOp::Kind::channelMean &&
                    soleReader(plan, uses, part.tensor) == join) {
                    g.channels = 1;
                    g.sourceChannels = plan.ops[mean].inputs[0].shape[3];
                    g.mean = true;
                    fused.inputs.push_back(plan.ops[mean].inputs[0]);
                    absorbed.push_back(mean);
                } else {
                    g.channels = g.sourceChannels = part.shape[3];
                    fused.inputs.push_back(part);
                }
                fused.guided.guide.push_back(g);
            }
        } else {
            GuidePart g;
            g.channels = g.sourceChannels = guide.shape[3];
            fused.guided.guide.push_back(g);
            fused.inputs.push_back(guide);
        }
        for (int k : absorbed) plan.ops[k].removed = true;
        // A channel split right after becomes the fused op's outputs.
        const int split = soleReader(plan, uses, add.outputs[0]);
        if (split >= 0 && plan.ops[split].kind == PlanOp::Kind::split &&
            plan.ops[split].axis == 3) {
            fused.outputs = plan.ops[split].outputs;
            plan.ops[split].removed = true;
        } else {
            fused.outputs = {add.outputs[0]};
        }
        for (int o : fused.outputs) {
            fused.guided.splits.push_back(plan.tensors[o].shape[3]);
            fused.guided.tails.emplace_back();
            fused.guided.skip.push_back(0);
        }
        plan.ops[resizeA].removed = plan.ops[resizeB].removed = mul.removed = true;
        uses = Uses(plan);
        // Scalar clips after each part join its tail.
        for (size_t o = 0; o < fused.outputs.size(); ++o) {
            for (;;) {
                const int root = rootOf(plan, fused.outputs[o]);
                if (!uses.pinned[root] && uses.users[root].empty()) {
                    fused.guided.skip[o] = 1;
                    break;
                }
                const int r = soleReader(plan, uses, fused.outputs[o]);
                if (r < 0) break;
                PlanOp& reader = plan.ops[r];
                if (reader.kind != PlanOp::Kind::binary ||
                    plan.tensors[reader.outputs[0]].shape != plan.tensors[fused.outputs[o]].shape)
                    break;
                const int self = reader.inputs[0].tensor == fused.outputs[o] ? 0 : 1;
                if (!isScalar(reader.inputs[1 - self])) break;
                const float v = reader.inputs[1 - self].value->floats[0];
                PostOp p;
                if (reader.binary == BinaryOp::minimum) {
                    p.kind = PostOp::Kind::clip;
                    p.low = -INFINITY;
                    p.high = v;
                } else if (reader.binary == BinaryOp::maximum) {
                    p.kind = PostOp::Kind::clip;
                    p.low = v;
                    p.high = INFINITY;
                } else {
                    break;
                }
                fused.guided.tails[o].push_back(p);
                fused.outputs[o] = reader.outputs[0];
                reader.removed = true;
                uses = Uses(plan);
            }
        }
        add = std::move(fused);
        changed = true;
        uses = Uses(plan);
    }
    return changed;
}

// Trees of element-wise ops whose inner results have no other reader become one pointwise op.
class PointwiseBuilder {
  public:
    PointwiseBuilder(Plan& plan, const Uses& uses) : plan_(plan), uses_(uses) {}

    // Builds the tree rooted at op `root`; false when it would hold a single operation.
    bool build(int root, PlanOp& fused) {
        const Shape& shape = plan_.tensors[plan_.ops[root].outputs[0]].shape;
        program_ = PointwiseProgram{};
        program_.shape = shape;
        operands_.clear();
        absorbed_.clear();
        emit(root);
        if (program_.code.size() < 2) return false;
        fused.kind = PlanOp::Kind::pointwise;
        fused.makeStep = makePointwiseStep;
        fused.label = "Pointwise";
        fused.node = plan_.ops[root].node;
        fused.inputs = operands_;
        fused.outputs = plan_.ops[root].outputs;
        fused.pointwise = program_;
        for (int k : absorbed_) plan_.ops[k].removed = true;
        return true;
    }

  private:
    static constexpr int kMaxInstructions = 7;  // so at most 8 leaves
    static constexpr int kMaxLeaves = 8;

    bool elementwise(const PlanOp& op) const {
        return !op.removed && (op.kind == PlanOp::Kind::binary || op.kind == PlanOp::Kind::unary);
    }

    // The source for operand `o` read by op `reader`: an inlined producer's register or a leaf.
    int source(const Operand& o, int reader) {
        if (o.tensor >= 0 && static_cast<int>(program_.code.size()) + pending_ < kMaxInstructions) {
            const int producer = uses_.producer[rootOf(plan_, o.tensor)];
            if (producer >= 0 && elementwise(plan_.ops[producer]) &&
                soleReader(plan_, uses_, o.tensor) == reader &&
                plan_.tensors[o.tensor].shape == program_.shape &&
                static_cast<int>(operands_.size()) + 2 <= kMaxLeaves) {
                absorbed_.push_back(producer);
                return emit(producer);
            }
        }
        for (size_t k = 0; k < operands_.size(); ++k)
            if (operands_[k].tensor == o.tensor && operands_[k].value == o.value)
                return PointwiseProgram::leaf(static_cast<int>(k));
        operands_.push_back(o);
        program_.leaves.push_back(o.shape);
        return PointwiseProgram::leaf(static_cast<int>(operands_.size()) - 1);
    }

    // Emits op `index` (after its inlined inputs); returns its register.
    int emit(int index) {
        const PlanOp& op = plan_.ops[index];
        PointwiseProgram::Instruction in;
        in.unary = op.kind == PlanOp::Kind::unary;
        in.binary = op.binary;
        in.unaryOp = op.unary;
        ++pending_;
        in.a = source(op.inputs[0], index);
        in.b = in.unary ? in.a : source(op.inputs[1], index);
        --pending_;
        in.out = program_.registers++;
        program_.code.push_back(in);
        return in.out;
    }

    Plan& plan_;
    const Uses& uses_;
    PointwiseProgram program_;
    std::vector<Operand> operands_;
    std::vector<int> absorbed_;
    int pending_ = 0;
};

bool fusePointwise(Plan& plan) {
    bool changed = false;
    for (size_t k = plan.ops.size(); k-- > 0;) {
        PlanOp& op = plan.ops[k];
        if (op.removed || (op.kind != PlanOp::Kind::binary && op.kind != PlanOp::Kind::unary))
            continue;
        const Uses uses(plan);
        PointwiseBuilder builder(plan, uses);
        PlanOp fused;
        if (!builder.build(static_cast<int>(k), fused)) continue;
        plan.ops[k] = std::move(fused);
        changed = true;
    }
    return changed;
}

// Points every reader of `tensor` at `source` (of the same shape) instead, when `tensor` is not a
// requested output, has storage of its own and is read only under its own id; false, with
// nothing changed, otherwise.
bool redirectReaders(Plan& plan, const Uses& uses, int tensor, const Operand& source) {
    if (uses.pinned[tensor] || rootOf(plan, tensor) != tensor) return false;
    for (const Use& u : uses.users[tensor])
        if (plan.ops[u.op].inputs[u.input].tensor != tensor) return false;
    for (const Use& u : uses.users[tensor]) {
        Operand& o = plan.ops[u.op].inputs[u.input];
        o.tensor = source.tensor;
        o.value = source.value;
    }
    return true;
}

// Whether `op` joins or splits NHWC tensors along their channels.
bool alongChannels(const PlanOp& op, PlanOp::Kind kind) {
    return !op.removed && op.kind == kind && !op.inputs.empty() &&
           op.axis + 1 == static_cast<int>(op.inputs[0].shape.size());
}

// The parts a channel concatenation joins, with concatenations of concatenations (read by nothing
// else) flattened; the inner concatenations are marked for removal in `absorbed`.
bool joinedParts(const Plan& plan, const Uses& uses, int concat, std::vector<Operand>& parts,
                 std::vector<int>& absorbed) {
    for (const Operand& in : plan.ops[concat].inputs) {
        if (in.shape.empty() || in.shape.back() < 1) return false;
        const int inner = in.tensor >= 0 ? uses.producer[rootOf(plan, in.tensor)] : -1;
        if (inner >= 0 && alongChannels(plan.ops[inner], PlanOp::Kind::concat) &&
            plan.ops[inner].outputs[0] == in.tensor &&
            soleReader(plan, uses, in.tensor) == concat) {
            if (!joinedParts(plan, uses, inner, parts, absorbed)) return false;
            absorbed.push_back(inner);
            continue;
        }
        parts.push_back(in);
    }
    return true;
}

// A kernelH x 1 depthwise convolution read only by a 1 x kernelW one (a separable filter) runs as
// one pass: the tensor between them is never stored.
bool fuseSeparableDepthwise(Plan& plan) {
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& first = plan.ops[k];
        if (first.removed || first.kind != PlanOp::Kind::conv || first.inputs.size() != 1 ||
            first.outputs.size() != 1)
            continue;
        const Uses uses(plan);
        const int second = soleReader(plan, uses, first.outputs[0]);
        if (second < 0 || plan.ops[second].kind != PlanOp::Kind::conv ||
            plan.ops[second].inputs.size() != 1 ||
            !SeparableDepthwise::supports(first.conv, plan.ops[second].conv))
            continue;
        PlanOp& next = plan.ops[second];
        first.secondConv = next.conv;
        first.outputs = next.outputs;
        first.kind = PlanOp::Kind::other;
        first.makeStep = makeSeparableDepthwiseStep;
        first.label = "SeparableDepthwise " + std::to_string(first.conv.kernelH) + "x" +
                      std::to_string(next.conv.kernelW);
        next.removed = true;
        changed = true;
    }
    return changed;
}

// Whether a Winograd convolution reads `tensor` in place: it is the convolution's input, or a
// part of a channel concatenation that one reads (at any depth of nesting).
bool readInPlaceByWinograd(const Plan& plan, const Uses& uses, int tensor) {
    const int reader = soleReader(plan, uses, tensor);
    if (reader < 0) return false;
    const PlanOp& r = plan.ops[reader];
    if (r.kind == PlanOp::Kind::conv)
        return r.inputs.size() == 1 && r.outputs.size() == 1 && WinogradConv::supports(r.conv);
    return alongChannels(r, PlanOp::Kind::concat) &&
           readInPlaceByWinograd(plan, uses, r.outputs[0]);
}

// A bilinear resize of a channel concatenation becomes a concatenation of resizes (each channel
// is resized on its own) when a Winograd convolution reads the result in place: the join then
// costs nothing, where before the smaller tensor was copied once.
bool distributeResizes(Plan& plan) {
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        if (plan.ops[k].removed || plan.ops[k].kind != PlanOp::Kind::resize) continue;
        const Uses uses(plan);
        const PlanOp& resize = plan.ops[k];
        const int in = resize.inputs[0].tensor;
        const int concat = in >= 0 ? uses.producer[rootOf(plan, in)] : -1;
        if (concat < 0 || !alongChannels(plan.ops[concat], PlanOp::Kind::concat) ||
            plan.ops[concat].outputs[0] != in ||
            soleReader(plan, uses, in) != static_cast<int>(k) ||
            !readInPlaceByWinograd(plan, uses, resize.outputs[0]))
            continue;
        bool sound = true;
        for (const Operand& part : plan.ops[concat].inputs)
            sound = sound && part.tensor >= 0 && part.shape.size() == 4 && part.shape.back() >= 1;
        if (!sound) continue;
        std::vector<PlanOp> replacement;
        PlanOp join = plan.ops[concat];
        join.inputs.clear();
        join.outputs = resize.outputs;
        for (const Operand& part : plan.ops[concat].inputs) {
            PlanOp piece = resize;
            piece.resize.channels = part.shape.back();
            piece.inputs = {part};
            Shape shape = plan.tensors[resize.outputs[0]].shape;
            shape.back() = part.shape.back();
            Operand out;
            out.shape = shape;
            out.tensor = plan.newTensor(shape);
            piece.outputs = {out.tensor};
            join.inputs.push_back(out);
            replacement.push_back(std::move(piece));
        }
        replacement.push_back(std::move(join));
        plan.ops[concat].removed = true;
        plan.ops.erase(plan.ops.begin() + static_cast<std::ptrdiff_t>(k));
        plan.ops.insert(plan.ops.begin() + static_cast<std::ptrdiff_t>(k),
                        std::make_move_iterator(replacement.begin()),
                        std::make_move_iterator(replacement.end()));
        k += replacement.size() - 1;
        changed = true;
    }
    return changed;
}

// A channel concatenation of all of a split's outputs, in order, is the split's input: readers
// of the concatenation read that instead, and the split goes when nothing else reads it.
bool skipSplitJoins(Plan& plan) {
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& concat = plan.ops[k];
        if (!alongChannels(concat, PlanOp::Kind::concat) || concat.inputs[0].tensor < 0) continue;
        const Uses uses(plan);
        const int split = uses.producer[rootOf(plan, concat.inputs[0].tensor)];
        if (split < 0 || !alongChannels(plan.ops[split], PlanOp::Kind::split) ||
            plan.ops[split].outputs.size() != concat.inputs.size())
            continue;
        const PlanOp& s = plan.ops[split];
        bool whole = s.inputs[0].tensor >= 0;
        for (size_t i = 0; i < concat.inputs.size(); ++i)
            whole = whole && concat.inputs[i].tensor == s.outputs[i];
        if (!whole || !redirectReaders(plan, uses, concat.outputs[0], s.inputs[0])) continue;
        concat.removed = true;
        const Uses after(plan);
        bool unread = true;
        for (int o : s.outputs)
            unread =
                unread && !after.pinned[rootOf(plan, o)] && after.users[rootOf(plan, o)].empty();
        if (unread) plan.ops[split].removed = true;
        changed = true;
    }
    return changed;
}

bool fuseWinogradParts(Plan& plan) {
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& conv = plan.ops[k];
        if (conv.removed || conv.kind != PlanOp::Kind::conv || conv.inputs.size() != 1 ||
            conv.outputs.size() != 1 || !WinogradConv::supports(conv.conv))
            continue;
        const Uses uses(plan);
        const int in = conv.inputs[0].tensor;
        const int producer = in >= 0 ? uses.producer[rootOf(plan, in)] : -1;
        if (producer >= 0 && alongChannels(plan.ops[producer], PlanOp::Kind::concat) &&
            plan.ops[producer].outputs[0] == in &&
            soleReader(plan, uses, in) == static_cast<int>(k)) {
            std::vector<Operand> parts;
            std::vector<int> absorbed{producer};
            if (joinedParts(plan, uses, producer, parts, absorbed)) {
                for (int a : absorbed) plan.ops[a].removed = true;
                conv.inputs = std::move(parts);
                changed = true;
            }
        }
        const int out = conv.outputs[0];
        const int split = soleReader(plan, uses, out);
        if (split >= 0 && alongChannels(plan.ops[split], PlanOp::Kind::split)) {
            PlanOp& s = plan.ops[split];
            bool sound = true;
            for (int o : s.outputs)
                sound = sound && plan.tensors[o].root == o && plan.tensors[o].shape.back() >= 1;
            if (sound) {
                conv.outputs = s.outputs;
                s.removed = true;
                changed = true;
            }
        }
    }
    return changed;
}

// Channels nobody reads. A tensor keeps only the channels its readers use when its producer can
// compute just those: a dense convolution (fewer output channels), a per-channel operation
// (element-wise, pointwise programs, separable depthwise pairs) whose full-sized inputs then keep
// the same channels, or a channel concatenation (whose parts shrink or drop out). The guided
// upsample reads A and b holding only the channels of the outputs it writes. rvm's foreground,
// which no caller fetches, is thus never computed through the refiner.
namespace narrowing {

using Mask = std::vector<char>;

bool perChannel(const PlanOp& op) {
    return !op.removed && op.outputs.size() == 1 &&
           (op.kind == PlanOp::Kind::binary || op.kind == PlanOp::Kind::unary ||
            op.kind == PlanOp::Kind::pointwise ||
            (op.kind == PlanOp::Kind::other && op.makeStep == makeSeparableDepthwiseStep));
}

// Whether input `in` of per-channel operation `op` gives output channel c from its channel c (a
// full-sized operand, or the input of a separable pair, whose spatial size differs).
bool channelAligned(const PlanOp& op, const Operand& in, const Shape& out) {
    if (op.makeStep == makeSeparableDepthwiseStep)
        return in.shape.size() == 4 && in.shape.back() == out.back();
    return in.shape == out;
}

bool narrowableProducer(const PlanOp& op) {
    if (op.removed || op.outputs.size() != 1) return false;
    if (op.kind == PlanOp::Kind::conv)
        return op.conv.kind == ConvSpec::Kind::dense && op.conv.addInputs() == 0 &&
               op.inputs.size() == 1;
    return perChannel(op) || alongChannels(op, PlanOp::Kind::concat);
}

// A full-sized NHWC frame tensor of its own storage (not a view), produced in the plan.
bool candidate(const Plan& plan, int tensor) {
    return tensor >= 0 && plan.tensors[tensor].root == tensor &&
           plan.tensors[tensor].shape.size() == 4 && plan.tensors[tensor].input < 0;
}

struct Analysis {
    std::vector<Mask> read;   // per tensor: channels some reader uses (empty mask: not tracked)
    std::vector<char> whole;  // per tensor: must keep every channel
};

void markAll(const Plan& plan, Analysis& a, const Operand& in) {
    if (in.tensor < 0) return;
    const int root = rootOf(plan, in.tensor);
    a.whole[root] = 1;
}

void markSome(const Plan& plan, Analysis& a, const Operand& in, const Mask& channels) {
    if (in.tensor < 0) return;
    if (!candidate(plan, in.tensor) || in.shape != plan.tensors[in.tensor].shape)
        return markAll(plan, a, in);
    Mask& m = a.read[in.tensor];
    if (m.size() != channels.size()) return markAll(plan, a, in);
    for (size_t c = 0; c < channels.size(); ++c) m[c] = m[c] || channels[c];
}

// Which channels of each tensor are read, given the tensors forced whole.
Analysis analyse(const Plan& plan, const std::vector<char>& forcedWhole) {
    Analysis a;
    const size_t n = plan.tensors.size();
    a.read.assign(n, Mask{});
    a.whole = forcedWhole;
    for (size_t t = 0; t < n; ++t)
        if (candidate(plan, static_cast<int>(t)))
            a.read[t].assign(static_cast<size_t>(plan.tensors[t].shape.back()), 0);
    for (const PlanOutput& o : plan.outputs)
        if (o.tensor >= 0) a.whole[rootOf(plan, o.tensor)] = 1;
    // Readers come after producers: walking backwards, a tensor's channel set is final when its
    // producer is reached.
    for (size_t k = plan.ops.size(); k-- > 0;) {
        const PlanOp& op = plan.ops[k];
        if (op.removed) continue;
        const int out = op.outputs.empty() ? -1 : op.outputs[0];
        const bool tracked = out >= 0 && narrowableProducer(op) && candidate(plan, out);
        Mask kept;
        if (tracked) {
            kept = a.whole[out] ? Mask(a.read[out].size(), 1) : a.read[out];
        }
        if (tracked && perChannel(op)) {
            for (const Operand& in : op.inputs) {
                if (channelAligned(op, in, plan.tensors[out].shape)) {
                    markSome(plan, a, in, kept);
                } else if (!in.shape.empty() && in.shape.back() != 1 && !in.isConst()) {
                    markAll(plan, a, in);
                }
            }
        } else if (tracked && op.kind == PlanOp::Kind::concat) {
            int64_t first = 0;
            for (const Operand& in : op.inputs) {
                const int64_t width = in.shape.back();
                markSome(plan, a, in, Mask(kept.begin() + first, kept.begin() + first + width));
                first += width;
            }
        } else if (op.kind == PlanOp::Kind::guidedUpsample) {
            // A and b: the channels of the outputs it writes.
            Mask used(static_cast<size_t>(op.guided.resize.channels), 0);
            int64_t first = 0;
            for (size_t o = 0; o < op.guided.splits.size(); ++o) {
                if (!op.guided.skip[o])
                    for (int64_t c = 0; c < op.guided.splits[o]; ++c) used[first + c] = 1;
                first += op.guided.splits[o];
            }
            markSome(plan, a, op.inputs[0], used);
            markSome(plan, a, op.inputs[1], used);
            for (size_t i = 2; i < op.inputs.size(); ++i) markAll(plan, a, op.inputs[i]);
        } else {
            for (const Operand& in : op.inputs) markAll(plan, a, in);
        }
    }
    return a;
}

}  // namespace narrowing

bool narrowUnreadChannels(Plan& plan) {
    using namespace narrowing;
    const size_t n = plan.tensors.size();
    std::vector<char> forced(n, 0);
    Analysis a;
    std::vector<Mask> kept(n);
    // Settle which tensors shrink: a per-channel operation or concatenation whose full-sized
    // input would keep other channels than its output cannot shrink; its output is then kept
    // whole and the analysis runs again (the forced set only grows).
    for (bool settled = false; !settled;) {
        settled = true;
        a = analyse(plan, forced);
        for (size_t t = 0; t < n; ++t) {
            kept[t].clear();
            if (a.read[t].empty()) continue;
            kept[t] = a.whole[t] ? Mask(a.read[t].size(), 1) : a.read[t];
        }
        for (const PlanOp& op : plan.ops) {
            if (op.removed || !narrowableProducer(op) || !candidate(plan, op.outputs[0])) continue;
            const int out = op.outputs[0];
            const Mask& mine = kept[out];
            if (std::all_of(mine.begin(), mine.end(), [](char c) { return c != 0; })) continue;
            bool fits = true;
            if (perChannel(op)) {
                for (const Operand& in : op.inputs) {
                    if (channelAligned(op, in, plan.tensors[out].shape)) {
                        if (in.tensor < 0 || kept[rootOf(plan, in.tensor)] != mine) fits = false;
                    } else if (!in.shape.empty() && in.shape.back() != 1) {
                        fits = false;  // per-channel values (weights, a bias) stay whole
                    }
                }
            } else if (op.kind == PlanOp::Kind::concat) {
                int64_t first = 0;
                for (const Operand& in : op.inputs) {
                    const int64_t width = in.shape.back();
                    const Mask part(mine.begin() + first, mine.begin() + first + width);
                    const bool any =
                        std::any_of(part.begin(), part.end(), [](char c) { return c; });
                    if (any && (in.tensor < 0 || kept[rootOf(plan, in.tensor)] != part))
                        fits = false;
                    first += width;
                }
            }
            if (!fits) {
                forced[out] = 1;
                settled = false;
            }
        }
        // The guided upsample reads A and b with the same channels.
        for (const PlanOp& op : plan.ops) {
            if (op.removed || op.kind != PlanOp::Kind::guidedUpsample) continue;
            const int ta = op.inputs[0].tensor, tb = op.inputs[1].tensor;
            const Mask none;
            const Mask& ka = ta >= 0 ? kept[rootOf(plan, ta)] : none;
            const Mask& kb = tb >= 0 ? kept[rootOf(plan, tb)] : none;
            if (ka != kb) {
                for (int t : {ta, tb})
                    if (t >= 0 && !forced[rootOf(plan, t)]) {
                        forced[rootOf(plan, t)] = 1;
                        settled = false;
                    }
            }
        }
    }
    // Rewrite: producers compute the kept channels only, and every operand follows.
    bool changed = false;
    auto channelsOf = [](const Mask& m) {
        std::vector<int64_t> list;
        for (size_t c = 0; c < m.size(); ++c)
            if (m[c]) list.push_back(static_cast<int64_t>(c));
        return list;
    };
    std::vector<char> narrowed(n, 0);
    for (PlanOp& op : plan.ops) {
        if (op.removed || !narrowableProducer(op) || !candidate(plan, op.outputs[0])) continue;
        const int out = op.outputs[0];
        const std::vector<int64_t> keep = channelsOf(kept[out]);
        if (keep.empty() || keep.size() == kept[out].size()) continue;
        const int64_t width = static_cast<int64_t>(keep.size());
        if (op.kind == PlanOp::Kind::conv) {
            ConvSpec& c = op.conv;
            std::vector<float> weights;
            for (int64_t k = 0; k < c.kernelH * c.kernelW * c.inC; ++k)
                for (int64_t o : keep) weights.push_back(c.weights[k * c.outC + o]);
            std::vector<float> bias;
            if (!c.bias.empty())
                for (int64_t o : keep) bias.push_back(c.bias[o]);
            c.weights = std::move(weights);
            c.bias = std::move(bias);
            c.outC = width;
        } else if (op.kind == PlanOp::Kind::concat) {
            // Parts none of whose channels are kept drop out; the others are kept whole.
            std::vector<Operand> parts;
            int64_t first = 0;
            for (const Operand& in : op.inputs) {
                const int64_t width = in.shape.back();
                if (std::any_of(kept[out].begin() + first, kept[out].begin() + first + width,
                                [](char c) { return c != 0; }))
                    parts.push_back(in);
                first += width;
            }
            op.inputs = std::move(parts);
        } else if (op.makeStep == makeSeparableDepthwiseStep) {
            for (ConvSpec* c : {&op.conv, &op.secondConv}) {
                std::vector<float> weights;
                for (int64_t k = 0; k < c->kernelH * c->kernelW; ++k)
                    for (int64_t o : keep) weights.push_back(c->weights[k * c->inC + o]);
                std::vector<float> bias;
                if (!c->bias.empty())
                    for (int64_t o : keep) bias.push_back(c->bias[o]);
                c->weights = std::move(weights);
                c->bias = std::move(bias);
                c->inC = c->outC = width;
            }
        } else if (op.kind == PlanOp::Kind::pointwise) {
            const Shape full = op.pointwise.shape;
            for (Shape& leaf : op.pointwise.leaves)
                if (leaf == full) leaf.back() = width;
            op.pointwise.shape.back() = width;
        }
        narrowed[out] = 1;
        changed = true;
    }
    if (!changed) return false;
    for (size_t t = 0; t < n; ++t)
        if (narrowed[t]) plan.tensors[t].shape.back() = std::ssize(channelsOf(kept[t]));
    for (PlanOp& op : plan.ops) {
        if (op.removed) continue;
        for (Operand& in : op.inputs)
            if (in.tensor >= 0 && narrowed[in.tensor]) in.shape = plan.tensors[in.tensor].shape;
        if (op.kind == PlanOp::Kind::guidedUpsample && op.inputs[0].tensor >= 0 &&
            narrowed[op.inputs[0].tensor])
            op.guided.stored = channelsOf(kept[op.inputs[0].tensor]);
    }
    // A concatenation left with one part is that part: its readers read the part instead.
    for (PlanOp& op : plan.ops) {
        if (op.removed || op.kind != PlanOp::Kind::concat || op.inputs.size() != 1 ||
            op.inputs[0].tensor < 0 || op.inputs[0].shape != plan.tensors[op.outputs[0]].shape)
            continue;
        if (redirectReaders(plan, Uses(plan), op.outputs[0], op.inputs[0])) op.removed = true;
    }
    return true;
}

// A 1x1 convolution read from a Winograd convolution's output, and from nothing else, becomes a
// projection the Winograd convolution applies to each output pixel: its wider output is never
// stored (rvm's last layer turns 16 channels into the refiner's input this way).
bool fuseWinogradProjections(Plan& plan) {
    bool changed = false;
    for (size_t k = 0; k < plan.ops.size(); ++k) {
        PlanOp& conv = plan.ops[k];
        if (conv.removed || conv.kind != PlanOp::Kind::conv || conv.projected ||
            conv.outputs.size() != 1 || !WinogradConv::supports(conv.conv))
            continue;
        const Uses uses(plan);
        const int reader = soleReader(plan, uses, conv.outputs[0]);
        if (reader < 0) continue;
        const PlanOp& p = plan.ops[reader];
        const ConvSpec& c = p.conv;
        if (p.kind != PlanOp::Kind::conv || p.inputs.size() != 1 || p.outputs.size() != 1 ||
            c.kind != ConvSpec::Kind::dense || c.kernelH != 1 || c.kernelW != 1 || c.strideH != 1 ||
            c.strideW != 1 || c.padTop != 0 || c.padLeft != 0 || c.padBottom != 0 ||
            c.padRight != 0 || c.inC != conv.conv.outC ||
            !std::all_of(c.postOps.begin(), c.postOps.end(),
                         [](const PostOp& o) { return o.kind == PostOp::Kind::activation; }))
            continue;
        conv.secondConv = c;
        conv.projected = true;
        conv.outputs = p.outputs;
        conv.label += " + 1x1";
        plan.ops[reader].removed = true;
        changed = true;
    }
    return changed;
}

}  // namespace

void fusePlan(Plan& plan, bool winograd) {
    fuseSpaceToBatch(plan);
    fusePad(plan);
    fuseTails(plan);
    fuseGuidedUpsample(plan);
    fusePointwise(plan);
    if (winograd) {
        skipSplitJoins(plan);
        distributeResizes(plan);
        fuseWinogradParts(plan);
        fuseSeparableDepthwise(plan);
        narrowUnreadChannels(plan);
        fuseWinogradProjections(plan);
    }
    // Labels say what a fused convolution absorbed, for the profile.
    for (PlanOp& op : plan.ops) {
        if (op.removed || op.kind != PlanOp::Kind::conv) continue;
        if (op.conv.dilationH > 1 || op.conv.dilationW > 1) op.label += " dilated";
    }
}

}  // namespace figsplit::engine
