// Cast between float, int32 and bool.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// Constants convert; frame data is float already.
bool lowerCast(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const AttrValue* dst = node.attr("DstT");
    if (dst == nullptr || !dst->typeKnown) return l.fail("unsupported target type", error);
    if (const Value* v = l.constInput(0)) {
        Value r;
        r.type = dst->type;
        r.shape = v->shape;
        for (int64_t k = 0; k < v->count(); ++k) {
            if (dst->type == DType::f32) {
                r.floats.push_back(v->type == DType::f32 ? v->floats[k]
                                                         : static_cast<float>(v->ints[k]));
            } else if (dst->type == DType::boolean) {
                r.ints.push_back(v->number(k) != 0.0 ? 1 : 0);
            } else {
                // float -> int truncates toward zero, as TensorFlow's cast does
                r.ints.push_back(v->type == DType::f32
                                     ? static_cast<int32_t>(std::trunc(v->floats[k]))
                                     : v->ints[k]);
            }
        }
        out[0] = l.constant(std::move(r));
        return true;
    }
    if (dst->type != DType::f32)
        return l.fail("casting frame data to integers is not supported", error);
    out[0] = l.in(0);
    return true;
}

}  // namespace

extern const OperatorHandlers kCast = {.lower = lowerCast};

}  // namespace figsplit::engine
