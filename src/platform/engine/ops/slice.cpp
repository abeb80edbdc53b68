// Slice and StridedSlice: computed while planning on constants, views of whole tensors, box
// copies at unit stride, strided gathers otherwise.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/box_copy_step.h"
#include "platform/engine/ops/data_movement.h"
#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

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

// A strided slice gathers element by element.
std::unique_ptr<Step> makeStridedSliceStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<StridedSliceStep>();
    s->src = operandRef(plan, op.inputs[0]);
    s->srcShape = op.inputs[0].shape;
    s->begin = op.start;
    s->stride = op.stride;
    s->extent = op.extent;
    s->dst = out;
    return s;
}

// A unit-stride slice copies one box.
std::unique_ptr<Step> makeSliceStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    float* out = plan.data(op.outputs[0]);
    auto s = std::make_unique<BoxStep>();
    BoxStep::Copy c;
    c.src = operandRef(plan, op.inputs[0]);
    c.srcShape = op.inputs[0].shape;
    c.srcStart = op.start;
    c.dst = out;
    c.dstShape = op.extent;
    c.dstStart.assign(op.extent.size(), 0);
    c.extent = op.extent;
    s->copies.push_back(std::move(c));
    return s;
}

// StridedSlice after its masks: a view of the whole tensor, a box copy, or a strided gather.
bool lowerStridedSlice(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const Shape& shape = l.in(0).shape;
    std::vector<int64_t> begin, end, strides;
    if (!l.needConstInts(1, "begin", begin, error) || !l.needConstInts(2, "end", end, error) ||
        !l.needConstInts(3, "strides", strides, error))
        return false;
    if (begin.size() != end.size() || begin.size() != strides.size() || begin.size() > shape.size())
        return l.fail("begin, end and strides do not match the input " + shapeText(shape), error);
    const int64_t beginMask = attrInt(node, "begin_mask", 0),
                  endMask = attrInt(node, "end_mask", 0);
    const int64_t shrinkMask = attrInt(node, "shrink_axis_mask", 0);
    Shape start(shape.size(), 0), full(shape.size(), 0), kept;
    std::vector<int64_t> step(shape.size(), 1);
    for (size_t d = 0; d < shape.size(); ++d) {
        const int64_t dim = shape[d];
        if (d >= begin.size()) {
            full[d] = dim;
            kept.push_back(dim);
            continue;
        }
        const int64_t s = strides[d];
        if (s == 0) return l.fail("stride 0", error);
        const bool shrink = (shrinkMask >> d) & 1;
        int64_t b = begin[d], e = end[d];
        if (shrink) {
            if (b < 0) b += dim;
            if (b < 0 || b >= dim)
                return l.fail("index " + std::to_string(begin[d]) + " out of range", error);
            start[d] = b;
            full[d] = 1;
            step[d] = 1;
            continue;
        }
        auto clampIndex = [&](int64_t v, bool masked, bool isBegin) {
            if (masked)
                return isBegin ? (s > 0 ? int64_t{0} : dim - 1) : (s > 0 ? dim : int64_t{-1});
            if (v < 0) v += dim;
            return s > 0 ? std::clamp<int64_t>(v, 0, dim) : std::clamp<int64_t>(v, -1, dim - 1);
        };
        b = clampIndex(b, (beginMask >> d) & 1, true);
        e = clampIndex(e, (endMask >> d) & 1, false);
        const int64_t n = s > 0 ? std::max<int64_t>((e - b + s - 1) / s, 0)
                                : std::max<int64_t>((b - e - s - 1) / -s, 0);
        start[d] = b;
        step[d] = s;
        full[d] = n;
        kept.push_back(n);
    }
    if (const Value* v = l.constInput(0)) {
        Value r = sliceValue(*v, start, step, full);
        r.shape = kept;
        out[0] = l.constant(std::move(r));
        return true;
    }
    const bool unit = std::all_of(step.begin(), step.end(), [](int64_t s) { return s == 1; });
    if (unit && full == shape) {  // the whole tensor (perhaps without unit dims): a view
        out[0] = l.alias(l.in(0), kept);
        return true;
    }
    PlanOp& p = l.emit(unit ? makeSliceStep : makeStridedSliceStep,
                       unit ? PlanOp::Kind::slice : PlanOp::Kind::stridedSlice, "StridedSlice");
    p.inputs.push_back(l.operand(l.in(0)));
    p.start = start;
    p.stride = step;
    out[0] = l.frame(kept);
    p.outputs.push_back(out[0].tensor);
    p.extent = full;  // the unshrunk extent; same element order as the output
    return true;
}

// Slice: a box of the input (a view when it is all of it).
bool lowerSlice(Lowering& l, std::string& error) {
    std::vector<Slot>& out = l.out;
    const Shape& shape = l.in(0).shape;
    std::vector<int64_t> begin, size;
    if (!l.needConstInts(1, "begin", begin, error) || !l.needConstInts(2, "size", size, error))
        return false;
    if (begin.size() != shape.size() || size.size() != shape.size())
        return l.fail("begin and size do not match the input " + shapeText(shape), error);
    for (size_t d = 0; d < shape.size(); ++d) {
        if (size[d] == -1) size[d] = shape[d] - begin[d];
        if (begin[d] < 0 || size[d] < 0 || begin[d] + size[d] > shape[d])
            return l.fail("slice " + shapeText(begin) + " + " + shapeText(size) + " outside " +
                              shapeText(shape),
                          error);
    }
    if (const Value* v = l.constInput(0)) {
        out[0] = l.constant(sliceValue(*v, begin, std::vector<int64_t>(shape.size(), 1), size));
        return true;
    }
    if (size == shape) {  // the whole tensor: a view, not a copy
        out[0] = l.alias(l.in(0), shape);
        return true;
    }
    PlanOp& p = l.emit(makeSliceStep, PlanOp::Kind::slice, "Slice");
    p.inputs.push_back(l.operand(l.in(0)));
    p.start = begin;
    p.stride.assign(shape.size(), 1);
    out[0] = l.frame(size);
    p.extent = size;
    p.outputs.push_back(out[0].tensor);
    return true;
}

bool checkStridedSlice(const GraphNode& node, std::string& what) {
    if (attrInt(node, "ellipsis_mask", 0) != 0 || attrInt(node, "new_axis_mask", 0) != 0) {
        what = "ellipsis and new-axis masks not supported";
        return false;
    }
    return true;
}

}  // namespace

extern const OperatorHandlers kSlice = {.lower = lowerSlice};
extern const OperatorHandlers kStridedSlice = {.check = checkStridedSlice,
                                               .lower = lowerStridedSlice};

}  // namespace figsplit::engine
