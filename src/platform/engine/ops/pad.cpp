// Pad and PadV2: the input inside a border of one value.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/box_copy_step.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// The output filled with the pad value, then the input copied inside.
std::unique_ptr<Step> makePadStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<BoxStep>();
    const Shape& outShape = plan.tensors[op.outputs[0]].shape;
    s->fillDst = out;
    s->fillCount = elementCount(outShape);
    s->fillValue = op.padValue;
    BoxStep::Copy c;
    c.src = operandRef(plan, op.inputs[0]);
    c.srcShape = op.inputs[0].shape;
    c.srcStart.assign(c.srcShape.size(), 0);
    c.dst = out;
    c.dstShape = outShape;
    c.dstStart = op.start;
    c.extent = c.srcShape;
    s->copies.push_back(std::move(c));
    return s;
}

// Pad (zeros) and PadV2 (a constant value).
bool lowerPad(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Slot& x = l.in(0);
    std::vector<int64_t> pads;
    if (!l.needConstInts(1, "the paddings", pads, error)) return false;
    if (pads.size() != 2 * x.shape.size())
        return l.fail("paddings do not match the input rank", error);
    float padValue = 0.0f;
    if (op == "PadV2") {
        const Value* v = l.constInput(2);
        if (v == nullptr || v->count() != 1)
            return l.fail("the pad value must be a constant", error);
        padValue = static_cast<float>(v->number(0));
    }
    Shape shape = x.shape, before(x.shape.size());
    for (size_t d = 0; d < x.shape.size(); ++d) {
        if (pads[2 * d] < 0 || pads[2 * d + 1] < 0) return l.fail("negative padding", error);
        before[d] = pads[2 * d];
        shape[d] += pads[2 * d] + pads[2 * d + 1];
    }
    if (x.state == Slot::State::constant) {
        Value r;
        r.type = x.value->type;
        r.shape = shape;
        if (r.type == DType::f32) {
            r.floats.assign(static_cast<size_t>(elementCount(shape)), padValue);
            copyBox(x.value->floats.data(), x.shape, Shape(x.shape.size(), 0), r.floats.data(),
                    shape, before, x.shape, false);
        } else {
            r.ints.assign(static_cast<size_t>(elementCount(shape)), static_cast<int32_t>(padValue));
            copyBox(x.value->ints.data(), x.shape, Shape(x.shape.size(), 0), r.ints.data(), shape,
                    before, x.shape, false);
        }
        out[0] = l.constant(std::move(r));
        return true;
    }
    PlanOp& p = l.emit(makePadStep, PlanOp::Kind::pad, "Pad");
    p.inputs.push_back(l.operand(x));
    p.start = before;
    p.padValue = padValue;
    out[0] = l.frame(shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

}  // namespace

extern const OperatorHandlers kPad = {.lower = lowerPad};

}  // namespace figsplit::engine
