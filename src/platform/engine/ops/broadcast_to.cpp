// BroadcastTo. rvm broadcasts its recurrent states with it, so its input may change shape
// between runs (zeros of [1,1,1,1] on the first frame): the step re-plans the broadcast then.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

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

std::unique_ptr<Step> makeBroadcastToStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<BroadcastToStep>();
    s->src = operandRef(plan, op.inputs[0]);
    s->srcShape = op.inputs[0].shape;
    s->dstShape = plan.tensors[op.outputs[0]].shape;
    s->dst = out;
    if (s->src.input < 0) {
        BroadcastPlan::make(s->srcShape, s->dstShape, s->broadcast);
        s->planned = s->srcShape;
    }
    return s;
}

// BroadcastTo; its input may be a recurrent state whose shape changes between runs.
bool lowerBroadcastTo(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const bool flexibleInput = l.isFlexible(l.in(0));
    const Slot& x = l.in(0);
    std::vector<int64_t> shape;
    if (!l.needConstInts(1, "the target shape", shape, error)) return false;
    Shape check;
    if (!flexibleInput && (!broadcastShapes(x.shape, shape, check) || check != shape))
        return l.fail("cannot broadcast " + shapeText(x.shape) + " to " + shapeText(shape), error);
    if (x.state == Slot::State::constant) {
        if (!x.value->isFloat()) return l.fail("broadcasting integers is not supported", error);
        BroadcastPlan bp;
        BroadcastPlan::make(x.shape, shape, bp);
        std::vector<float> data(static_cast<size_t>(elementCount(shape)));
        broadcastFloat(bp, x.value->floats.data(), data.data(), false);
        out[0] = l.constant(Value::ofFloats(shape, std::move(data)));
        return true;
    }
    PlanOp& p = l.emit(makeBroadcastToStep, PlanOp::Kind::broadcastTo, "BroadcastTo");
    p.inputs.push_back(l.operand(x));
    out[0] = l.frame(shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

}  // namespace

extern const OperatorHandlers kBroadcastTo = {.lower = lowerBroadcastTo,
                                              .takesFlexibleInput = true};

}  // namespace figsplit::engine
