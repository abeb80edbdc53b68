// The kernels of a plan: one Step per planned operation, holding everything it needs (operand
// addresses in the arena, oneDNN primitives, broadcast plans) so that running it allocates
// nothing. With Kernels::reference every step runs the plain C++ definition instead.
#include <cstring>

#include "platform/engine/plan.h"

namespace figsplit::engine {

namespace {

Ref refOf(const Plan& plan, const Operand& o) {
    Ref r;
    if (o.value != nullptr) {
        r.constant = o.value->floats.data();
        return r;
    }
    const TensorDesc& root = plan.tensors[plan.tensors[o.tensor].root];
    if (root.input >= 0) {
        r.input = root.input;
    } else {
        r.arena = plan.data(o.tensor);
    }
    return r;
}

class ConvStep : public Step {
  public:
    ConvSpec params;
    std::unique_ptr<FastConv> fast;
    Ref src;
    std::vector<Ref> adds;
    std::vector<const float*> addPointers;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        for (size_t k = 0; k < adds.size(); ++k) addPointers[k] = adds[k].get(c);
        if (fast) {
            fast->run(src.get(c), addPointers.data(), dst, *c.stream);
        } else {
            convReference(params, src.get(c), addPointers.data(), dst);
        }
        return true;
    }
};

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

class BinaryStep : public Step {
  public:
    BinaryOp op = BinaryOp::add;
    BroadcastPlan broadcast;
    Ref a, b;
    float* dst = nullptr;
    bool parallel = true;

    bool run(RunContext& c, std::string&) override {
        binaryFloat(op, broadcast, a.get(c), b.get(c), dst, parallel);
        return true;
    }
};

class UnaryStep : public Step {
  public:
    UnaryOp op = UnaryOp::relu;
    Ref src;
    float* dst = nullptr;
    int64_t count = 0;
    bool parallel = true;

    bool run(RunContext& c, std::string&) override {
        unaryFloat(op, src.get(c), dst, count, parallel);
        return true;
    }
};

class AddNStep : public Step {
  public:
    std::vector<Ref> srcs;
    float* dst = nullptr;
    int64_t count = 0;

    bool run(RunContext& c, std::string&) override {
        std::memcpy(dst, srcs[0].get(c), static_cast<size_t>(count) * sizeof(float));
        for (size_t k = 1; k < srcs.size(); ++k) {
            const float* s = srcs[k].get(c);
#pragma omp parallel for if (count > 32768)
            for (int64_t i = 0; i < count; ++i) dst[i] += s[i];
        }
        return true;
    }
};

// Pad, slice, concat and split: box copies between fixed shapes.
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

class StridedSliceStep : public Step {
  public:
    Ref src;
    Shape srcShape, begin, extent;
    std::vector<int64_t> stride;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        stridedGather(src.get(c), srcShape, begin, stride, dst, extent);
        return true;
    }
};

class BroadcastToStep : public Step {
  public:
    Ref src;
    Shape srcShape;  // fixed shape; for a flexible input the shape is read per run
    Shape dstShape;
    BroadcastPlan broadcast;
    Shape planned;  // the source shape `broadcast` was made for
    float* dst = nullptr;

    bool run(RunContext& c, std::string& error) override {
        const Shape& shape = src.input >= 0 ? c.inputShapes[src.input] : srcShape;
        if (shape != planned) {
            Shape check;
            if (!broadcastShapes(shape, dstShape, check) || check != dstShape) {
                error = "node '" + node + "': input " + shapeText(shape) +
                        " does not broadcast to " + shapeText(dstShape);
                return false;
            }
            BroadcastPlan::make(shape, dstShape, broadcast);
            planned = shape;
        }
        broadcastFloat(broadcast, src.get(c), dst, true);
        return true;
    }
};

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

class PointwiseStep : public Step {
  public:
    PointwiseProgram program;
    std::unique_ptr<FastPointwise> fast;
    std::vector<Ref> leaves;
    std::vector<const float*> pointers;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        for (size_t k = 0; k < leaves.size(); ++k) pointers[k] = leaves[k].get(c);
        if (fast) {
            fast->run(pointers.data(), dst);
        } else {
            pointwiseReference(program, pointers.data(), dst);
        }
        return true;
    }
};

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

}  // namespace

std::unique_ptr<Step> makeGuidedUpsampleStep(const Plan& plan, const PlanOp& op, bool reference);

bool makeSteps(Plan& plan, const EngineOptions& options, const dnnl::engine& engine,
               std::string& error) {
    const bool fastKernels = options.kernels == Kernels::fast;
    for (const PlanOp& op : plan.ops) {
        if (op.removed) continue;
        std::unique_ptr<Step> step;
        float* out = op.outputs.empty() ? nullptr : plan.data(op.outputs[0]);
        switch (op.kind) {
            case PlanOp::Kind::conv: {
                auto s = std::make_unique<ConvStep>();
                s->params = op.conv;
                s->src = refOf(plan, op.inputs[0]);
                for (size_t k = 1; k < op.inputs.size(); ++k)
                    s->adds.push_back(refOf(plan, op.inputs[k]));
                s->addPointers.resize(s->adds.size());
                s->dst = out;
                if (fastKernels) {
                    try {
                        s->fast = std::make_unique<FastConv>(op.conv, engine);
                    } catch (const dnnl::error&) {
                        s->fast.reset();  // an unusual shape: the reference kernel runs it
                    }
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::pool: {
                auto s = std::make_unique<PoolStep>();
                s->params = op.pool;
                s->src = refOf(plan, op.inputs[0]);
                s->dst = out;
                if (fastKernels) {
                    try {
                        s->fast = std::make_unique<FastAvgPool>(op.pool, engine);
                    } catch (const dnnl::error&) {
                        s->fast.reset();
                    }
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::resize: {
                auto s = std::make_unique<ResizeStep>();
                s->params = op.resize;
                s->src = refOf(plan, op.inputs[0]);
                s->dst = out;
                if (fastKernels && FastResize::supports(op.resize)) {
                    try {
                        s->fast = std::make_unique<FastResize>(op.resize, engine);
                    } catch (const dnnl::error&) {
                        s->fast.reset();
                    }
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::binary: {
                auto s = std::make_unique<BinaryStep>();
                s->op = op.binary;
                BroadcastPlan::make(op.inputs[0].shape, op.inputs[1].shape, s->broadcast);
                s->a = refOf(plan, op.inputs[0]);
                s->b = refOf(plan, op.inputs[1]);
                s->dst = out;
                s->parallel = fastKernels;
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::unary: {
                auto s = std::make_unique<UnaryStep>();
                s->op = op.unary;
                s->src = refOf(plan, op.inputs[0]);
                s->dst = out;
                s->count = elementCount(op.inputs[0].shape);
                s->parallel = fastKernels;
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::addN: {
                auto s = std::make_unique<AddNStep>();
                for (const Operand& i : op.inputs) s->srcs.push_back(refOf(plan, i));
                s->dst = out;
                s->count = elementCount(op.inputs[0].shape);
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::pad: {
                auto s = std::make_unique<BoxStep>();
                const Shape& outShape = plan.tensors[op.outputs[0]].shape;
                s->fillDst = out;
                s->fillCount = elementCount(outShape);
                s->fillValue = op.padValue;
                BoxStep::Copy c;
                c.src = refOf(plan, op.inputs[0]);
                c.srcShape = op.inputs[0].shape;
                c.srcStart.assign(c.srcShape.size(), 0);
                c.dst = out;
                c.dstShape = outShape;
                c.dstStart = op.start;
                c.extent = c.srcShape;
                s->copies.push_back(std::move(c));
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::slice: {
                auto s = std::make_unique<BoxStep>();
                BoxStep::Copy c;
                c.src = refOf(plan, op.inputs[0]);
                c.srcShape = op.inputs[0].shape;
                c.srcStart = op.start;
                c.dst = out;
                c.dstShape = op.extent;
                c.dstStart.assign(op.extent.size(), 0);
                c.extent = op.extent;
                s->copies.push_back(std::move(c));
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::stridedSlice: {
                auto s = std::make_unique<StridedSliceStep>();
                s->src = refOf(plan, op.inputs[0]);
                s->srcShape = op.inputs[0].shape;
                s->begin = op.start;
                s->stride = op.stride;
                s->extent = op.extent;
                s->dst = out;
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::concat: {
                auto s = std::make_unique<BoxStep>();
                const Shape& outShape = plan.tensors[op.outputs[0]].shape;
                Shape at(outShape.size(), 0);
                for (const Operand& i : op.inputs) {
                    BoxStep::Copy c;
                    c.src = refOf(plan, i);
                    c.srcShape = i.shape;
                    c.srcStart.assign(i.shape.size(), 0);
                    c.dst = out;
                    c.dstShape = outShape;
                    c.dstStart = at;
                    c.extent = i.shape;
                    at[op.axis] += i.shape[op.axis];
                    s->copies.push_back(std::move(c));
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::split: {
                auto s = std::make_unique<BoxStep>();
                const Shape& inShape = op.inputs[0].shape;
                Shape at(inShape.size(), 0);
                for (int o : op.outputs) {
                    BoxStep::Copy c;
                    c.src = refOf(plan, op.inputs[0]);
                    c.srcShape = inShape;
                    c.srcStart = at;
                    c.dst = plan.data(o);
                    c.dstShape = plan.tensors[o].shape;
                    c.dstStart.assign(inShape.size(), 0);
                    c.extent = c.dstShape;
                    at[op.axis] += c.dstShape[op.axis];
                    s->copies.push_back(std::move(c));
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::broadcastTo: {
                auto s = std::make_unique<BroadcastToStep>();
                s->src = refOf(plan, op.inputs[0]);
                s->srcShape = op.inputs[0].shape;
                s->dstShape = plan.tensors[op.outputs[0]].shape;
                s->dst = out;
                if (s->src.input < 0) {
                    BroadcastPlan::make(s->srcShape, s->dstShape, s->broadcast);
                    s->planned = s->srcShape;
                }
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::spaceToBatch:
            case PlanOp::Kind::batchToSpace: {
                auto s = std::make_unique<SpaceBatchStep>();
                s->params = op.spaceBatch;
                s->toBatch = op.kind == PlanOp::Kind::spaceToBatch;
                s->src = refOf(plan, op.inputs[0]);
                s->dst = out;
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::channelMean: {
                auto s = std::make_unique<ChannelMeanStep>();
                const Shape& in = op.inputs[0].shape;
                s->src = refOf(plan, op.inputs[0]);
                s->channels = in.back();
                s->pixels = elementCount(in) / std::max<int64_t>(in.back(), 1);
                s->dst = out;
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::pointwise: {
                auto s = std::make_unique<PointwiseStep>();
                s->program = op.pointwise;
                for (const Operand& i : op.inputs) s->leaves.push_back(refOf(plan, i));
                s->pointers.resize(s->leaves.size());
                s->dst = out;
                if (fastKernels) s->fast = std::make_unique<FastPointwise>(op.pointwise);
                step = std::move(s);
                break;
            }
            case PlanOp::Kind::guidedUpsample:
                step = makeGuidedUpsampleStep(plan, op, !fastKernels);
                break;
        }
        if (!step) {
            error = "node '" + op.node + "': no kernel";
            return false;
        }
        step->label = op.label;
        step->node = op.node;
        plan.steps.push_back(std::move(step));
    }
    return true;
}

}  // namespace figsplit::engine
