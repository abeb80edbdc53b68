// Shape and Pack: shapes and sizes computed while planning (rvm sizes its decoder from them).
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// The input's shape, always known while planning.
bool lowerShape(Lowering& l, std::string&) {
    std::vector<Slot>& out = l.out;
    const Shape& shape = l.in(0).shape;
    const std::vector<int32_t> dims(shape.begin(), shape.end());
    const Shape rank = {static_cast<int64_t>(dims.size())};
    out[0] = l.constant(Value::ofInts(rank, dims));
    return true;
}

// Stacks constants (shapes and sizes computed while planning) along a new axis.
bool lowerPack(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    if (!l.allConst()) return l.fail("packing frame data is not supported", error);
    int64_t axis = attrInt(node, "axis", 0);
    const Value& first = *l.constInput(0);
    for (size_t k = 1; k < node.inputs.size(); ++k)
        if (l.constInput(k)->shape != first.shape || l.constInput(k)->type != first.type)
            return l.fail("inputs differ in shape or type", error);
    if (!normaliseAxis(axis, first.shape.size() + 1)) return l.fail("axis out of range", error);
    Value r;
    r.type = first.type;
    r.shape = first.shape;
    r.shape.insert(r.shape.begin() + axis, static_cast<int64_t>(node.inputs.size()));
    const int64_t outer = elementCount(Shape(first.shape.begin(), first.shape.begin() + axis));
    const int64_t inner = first.count() / std::max<int64_t>(outer, 1);
    for (int64_t o = 0; o < outer; ++o)
        for (size_t k = 0; k < node.inputs.size(); ++k)
            for (int64_t i = 0; i < inner; ++i) {
                const Value& v = *l.constInput(k);
                if (r.type == DType::f32) {
                    r.floats.push_back(v.floats[o * inner + i]);
                } else {
                    r.ints.push_back(v.ints[o * inner + i]);
                }
            }
    out[0] = l.constant(std::move(r));
    return true;
}

}  // namespace

extern const OperatorHandlers kShape = {.lower = lowerShape};
extern const OperatorHandlers kPack = {.lower = lowerPack};

}  // namespace figsplit::engine
