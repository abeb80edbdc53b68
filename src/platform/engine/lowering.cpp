#include "platform/engine/lowering.h"

#include "platform/engine/ops/data_movement.h"

namespace figsplit::engine {

bool Lowering::fail(const std::string& what, std::string& error) const {
    error = "node '" + node.name + "' (" + node.op + "): " + what;
    return false;
}

bool Lowering::allConst() const {
    for (size_t k = 0; k < node.inputs.size(); ++k)
        if (in(k).state != Slot::State::constant) return false;
    return true;
}

const Value* Lowering::constInput(size_t k) const {
    return k < node.inputs.size() && in(k).state == Slot::State::constant ? in(k).value : nullptr;
}

bool Lowering::needConstInts(size_t k, const char* what, std::vector<int64_t>& values,
                             std::string& error) const {
    const Value* v = constInput(k);
    if (v == nullptr || !valueInts(*v, values))
        return fail(std::string(what) + " must be known before the frame", error);
    return true;
}

bool Lowering::isFlexible(const Slot& s) const {
    return s.state == Slot::State::frame && plan.tensors[plan.tensors[s.tensor].root].flexible;
}

Slot Lowering::constant(Value v) {
    plan.values.push_back(std::move(v));
    Slot s;
    s.state = Slot::State::constant;
    s.shape = plan.values.back().shape;
    s.value = &plan.values.back();
    return s;
}

Slot Lowering::frame(const Shape& shape) {
    Slot s;
    s.state = Slot::State::frame;
    s.shape = shape;
    s.tensor = plan.newTensor(shape);
    return s;
}

Slot Lowering::alias(const Slot& in, const Shape& shape) {
    if (in.state == Slot::State::constant) {
        Value v = *in.value;
        v.shape = shape;
        return constant(std::move(v));
    }
    Slot s = in;
    s.shape = shape;
    if (shape != in.shape) {
        s.tensor = plan.newTensor(shape);
        plan.tensors[s.tensor].root = plan.tensors[in.tensor].root;
    }
    return s;
}

Operand Lowering::operand(const Slot& s) const {
    Operand o;
    o.shape = s.shape;
    o.value = s.state == Slot::State::constant ? s.value : nullptr;
    o.tensor = s.state == Slot::State::frame ? s.tensor : -1;
    return o;
}

PlanOp& Lowering::emit(MakeStep makeStep, PlanOp::Kind kind, const std::string& label) {
    PlanOp op;
    op.kind = kind;
    op.node = node.name;
    op.label = label;
    op.makeStep = makeStep;
    plan.ops.push_back(std::move(op));
    return plan.ops.back();
}

std::string attrString(const GraphNode& node, const char* key, const char* fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::s ? a->s : fallback;
}

std::vector<int64_t> attrInts(const GraphNode& node, const char* key) {
    const AttrValue* a = node.attr(key);
    return a != nullptr ? a->ints : std::vector<int64_t>{};
}

int64_t attrInt(const GraphNode& node, const char* key, int64_t fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::i ? a->i : fallback;
}

bool attrBool(const GraphNode& node, const char* key, bool fallback) {
    const AttrValue* a = node.attr(key);
    return a != nullptr && a->kind == AttrValue::Kind::b ? a->b : fallback;
}

bool checkWindow(const GraphNode& node, std::string& what) {
    const std::string padding = attrString(node, "padding", "");
    if (padding != "SAME" && padding != "VALID" && padding != "EXPLICIT") {
        what = "padding '" + padding + "' not supported";
        return false;
    }
    if (padding == "EXPLICIT" && attrInts(node, "explicit_paddings").size() != 8) {
        what = "explicit padding needs 8 values";
        return false;
    }
    const std::vector<int64_t> strides = attrInts(node, "strides");
    if (strides.size() != 4 || strides[0] != 1 || strides[3] != 1 || strides[1] < 1 ||
        strides[2] < 1) {
        what = "strides must be [1, h, w, 1]";
        return false;
    }
    return true;
}

bool normaliseAxis(int64_t& axis, size_t rank) {
    if (axis < 0) axis += static_cast<int64_t>(rank);
    return axis >= 0 && axis < static_cast<int64_t>(rank);
}

bool valueInts(const Value& v, std::vector<int64_t>& out) {
    if (v.type != DType::i32 && v.type != DType::f32) return false;
    out.resize(static_cast<size_t>(v.count()));
    for (int64_t k = 0; k < v.count(); ++k) out[k] = v.integer(k);
    return true;
}

Value sliceValue(const Value& v, const Shape& begin, const std::vector<int64_t>& stride,
                 const Shape& outShape) {
    Value r;
    r.type = v.type;
    r.shape = outShape;
    const int64_t n = elementCount(outShape);
    if (v.type == DType::f32) {
        r.floats.resize(static_cast<size_t>(n));
        stridedGather(v.floats.data(), v.shape, begin, stride, r.floats.data(), outShape);
    } else {
        r.ints.resize(static_cast<size_t>(n));
        stridedGather(v.ints.data(), v.shape, begin, stride, r.ints.data(), outShape);
    }
    return r;
}

void samePadding(int64_t in, int64_t kernel, int64_t stride, int64_t dilation, int64_t& out,
                 int64_t& before, int64_t& after) {
    const int64_t span = (kernel - 1) * dilation + 1;
    out = (in + stride - 1) / stride;
    const int64_t total = std::max<int64_t>((out - 1) * stride + span - in, 0);
    before = total / 2;
    after = total - before;
}

}  // namespace figsplit::engine
