// Split and SplitV: one input cut into parts along one axis.
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/box_copy_step.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// Each output copied from its slice of the input.
std::unique_ptr<Step> makeSplitStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    auto s = std::make_unique<BoxStep>();
    const Shape& inShape = op.inputs[0].shape;
    Shape at(inShape.size(), 0);
    for (int o : op.outputs) {
        BoxStep::Copy c;
        c.src = operandRef(plan, op.inputs[0]);
        c.srcShape = inShape;
        c.srcStart = at;
        c.dst = plan.data(o);
        c.dstShape = plan.tensors[o].shape;
        c.dstStart.assign(inShape.size(), 0);
        c.extent = c.dstShape;
        at[op.axis] += c.dstShape[op.axis];
        s->copies.push_back(std::move(c));
    }
    return s;
}

// Split (equal parts) and SplitV (given sizes, one may be -1) along one axis.
bool lowerSplit(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const size_t valueIndex = op == "Split" ? 1 : 0;
    const size_t axisIndex = op == "Split" ? 0 : 2;
    std::vector<int64_t> axisValue;
    if (!l.needConstInts(axisIndex, "the axis", axisValue, error) || axisValue.size() != 1)
        return false;
    const Slot& x = l.in(valueIndex);
    int64_t axis = axisValue[0];
    if (!normaliseAxis(axis, x.shape.size())) return l.fail("axis out of range", error);
    const int64_t parts = static_cast<int64_t>(out.size());
    std::vector<int64_t> sizes;
    if (op == "Split") {
        if (x.shape[axis] % parts != 0)
            return l.fail(
                "cannot split " + std::to_string(x.shape[axis]) + " into " + std::to_string(parts),
                error);
        sizes.assign(static_cast<size_t>(parts), x.shape[axis] / parts);
    } else {
        if (!l.needConstInts(1, "the split sizes", sizes, error) ||
            static_cast<int64_t>(sizes.size()) != parts)
            return l.fail("split sizes do not match num_split", error);
        int64_t known = 0, unknown = -1;
        for (size_t k = 0; k < sizes.size(); ++k) {
            if (sizes[k] == -1) {
                unknown = static_cast<int64_t>(k);
            } else {
                known += sizes[k];
            }
        }
        if (unknown >= 0) sizes[unknown] = x.shape[axis] - known;
        int64_t total = 0;
        for (int64_t s : sizes) total += s < 0 ? x.shape[axis] + 1 : s;
        if (total != x.shape[axis])
            return l.fail("split sizes do not add up to " + std::to_string(x.shape[axis]), error);
    }
    if (x.state == Slot::State::constant) {
        Shape at(x.shape.size(), 0);
        for (int64_t k = 0; k < parts; ++k) {
            Shape part = x.shape;
            part[axis] = sizes[k];
            out[k] =
                l.constant(sliceValue(*x.value, at, std::vector<int64_t>(x.shape.size(), 1), part));
            at[axis] += sizes[k];
        }
        return true;
    }
    PlanOp& p = l.emit(makeSplitStep, PlanOp::Kind::split, op);
    p.inputs.push_back(l.operand(x));
    p.axis = static_cast<int>(axis);
    for (int64_t k = 0; k < parts; ++k) {
        Shape part = x.shape;
        part[axis] = sizes[k];
        out[k] = l.frame(part);
        p.outputs.push_back(out[k].tensor);
    }
    return true;
}

int splitOutputs(const GraphNode& node) {
    const AttrValue* n = node.attr("num_split");
    return n != nullptr ? static_cast<int>(n->i) : 1;
}

bool checkSplit(const GraphNode& node, std::string& what) {
    if (attrInt(node, "num_split", 0) < 1 || attrInt(node, "num_split", 0) > 4096) {
        what = "num_split must lie in 1..4096";
        return false;
    }
    return true;
}

}  // namespace

extern const OperatorHandlers kSplit = {
    .outputCount = splitOutputs, .check = checkSplit, .lower = lowerSplit};

}  // namespace figsplit::engine
