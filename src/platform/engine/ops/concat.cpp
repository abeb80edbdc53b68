// ConcatV2: inputs joined along one axis, each copied into its slice of the output.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/box_copy_step.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// Each input copied into its slice of the output.
std::unique_ptr<Step> makeConcatStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<BoxStep>();
    const Shape& outShape = plan.tensors[op.outputs[0]].shape;
    Shape at(outShape.size(), 0);
    for (const Operand& i : op.inputs) {
        BoxStep::Copy c;
        c.src = operandRef(plan, i);
        c.srcShape = i.shape;
        c.srcStart.assign(i.shape.size(), 0);
        c.dst = out;
        c.dstShape = outShape;
        c.dstStart = at;
        c.extent = i.shape;
        at[op.axis] += i.shape[op.axis];
        s->copies.push_back(std::move(c));
    }
    return s;
}

// ConcatV2: inputs joined along one axis.
bool lowerConcat(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const size_t n = node.inputs.size() - 1;
    std::vector<int64_t> axisValue;
    if (n < 1 || !l.needConstInts(n, "the axis", axisValue, error) || axisValue.size() != 1)
        return false;
    int64_t axis = axisValue[0];
    const Shape& first = l.in(0).shape;
    if (!normaliseAxis(axis, first.size())) return l.fail("axis out of range", error);
    Shape shape = first;
    shape[axis] = 0;
    bool constants = true;
    for (size_t k = 0; k < n; ++k) {
        const Shape& s = l.in(k).shape;
        if (s.size() != first.size()) return l.fail("inputs differ in rank", error);
        for (size_t d = 0; d < s.size(); ++d)
            if (static_cast<int64_t>(d) != axis && s[d] != first[d])
                return l.fail("input " + shapeText(s) + " does not match " + shapeText(first),
                              error);
        shape[axis] += s[axis];
        constants = constants && l.in(k).state == Slot::State::constant;
    }
    if (constants) {
        Value r;
        r.type = l.constInput(0)->type;
        r.shape = shape;
        if (r.type == DType::f32) {
            r.floats.resize(static_cast<size_t>(elementCount(shape)));
        } else {
            r.ints.resize(static_cast<size_t>(elementCount(shape)));
        }
        Shape at(shape.size(), 0), zero(shape.size(), 0);
        for (size_t k = 0; k < n; ++k) {
            const Value& v = *l.constInput(k);
            if (v.type != r.type) return l.fail("inputs differ in type", error);
            if (r.type == DType::f32) {
                copyBox(v.floats.data(), v.shape, zero, r.floats.data(), shape, at, v.shape, false);
            } else {
                copyBox(v.ints.data(), v.shape, zero, r.ints.data(), shape, at, v.shape, false);
            }
            at[axis] += v.shape[axis];
        }
        out[0] = l.constant(std::move(r));
        return true;
    }
    PlanOp& p = l.emit(makeConcatStep, PlanOp::Kind::concat, "ConcatV2");
    for (size_t k = 0; k < n; ++k) {
        if (l.in(k).state == Slot::State::constant && !l.in(k).value->isFloat())
            return l.fail("integer data joined to frame data", error);
        p.inputs.push_back(l.operand(l.in(k)));
    }
    p.axis = static_cast<int>(axis);
    out[0] = l.frame(shape);
    p.outputs.push_back(out[0].tensor);
    return true;
}

}  // namespace

extern const OperatorHandlers kConcat = {.lower = lowerConcat};

}  // namespace figsplit::engine
