// Squeeze, Reshape and ExpandDims: views with another shape.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/engine/ops/registry.h"

namespace figsplit::engine {

namespace {

// Squeeze, Reshape and ExpandDims: the same elements with another shape (a view).
bool lowerReshape(Lowering& l, std::string& error) {
    const GraphNode& node = l.node;
    std::vector<Slot>& out = l.out;
    const std::string& op = l.node.op;
    const Shape& shape = l.in(0).shape;
    Shape result;
    if (op == "Squeeze") {
        std::vector<int64_t> axes = attrInts(node, "squeeze_dims");
        for (int64_t& a : axes)
            if (!normaliseAxis(a, shape.size())) return l.fail("squeeze axis out of range", error);
        for (size_t d = 0; d < shape.size(); ++d) {
            const bool listed =
                std::find(axes.begin(), axes.end(), static_cast<int64_t>(d)) != axes.end();
            if ((axes.empty() && shape[d] == 1) || listed) {
                if (shape[d] != 1)
                    return l.fail("cannot squeeze a dimension of size " + std::to_string(shape[d]),
                                  error);
                continue;
            }
            result.push_back(shape[d]);
        }
    } else if (op == "Reshape") {
        std::vector<int64_t> dims;
        if (!l.needConstInts(1, "the new shape", dims, error)) return false;
        int64_t known = 1, unknown = -1;
        for (size_t d = 0; d < dims.size(); ++d) {
            if (dims[d] == -1) {
                if (unknown >= 0) return l.fail("more than one -1 in the shape", error);
                unknown = static_cast<int64_t>(d);
            } else {
                known *= dims[d];
            }
        }
        if (unknown >= 0 && known > 0) dims[unknown] = elementCount(shape) / known;
        if (elementCount(dims) != elementCount(shape))
            return l.fail("cannot reshape " + shapeText(shape) + " to " + shapeText(dims), error);
        result = dims;
    } else {
        std::vector<int64_t> axis;
        if (!l.needConstInts(1, "the axis", axis, error) || axis.size() != 1) return false;
        int64_t a = axis[0] < 0 ? axis[0] + static_cast<int64_t>(shape.size()) + 1 : axis[0];
        if (a < 0 || a > static_cast<int64_t>(shape.size()))
            return l.fail("axis out of range", error);
        result = shape;
        result.insert(result.begin() + a, 1);
    }
    out[0] = l.alias(l.in(0), result);
    return true;
}

}  // namespace

extern const OperatorHandlers kReshape = {.lower = lowerReshape};

}  // namespace figsplit::engine
