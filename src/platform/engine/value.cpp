#include "platform/engine/value.h"

#include <algorithm>

namespace figsplit::engine {

const char* dtypeName(DType type) {
    switch (type) {
        case DType::f32:
            return "float32";
        case DType::i32:
            return "int32";
        case DType::boolean:
            return "bool";
    }
    return "?";
}

int64_t elementCount(const Shape& shape) {
    int64_t n = 1;
    for (int64_t d : shape) n *= d;
    return n;
}

std::string shapeText(const Shape& shape) {
    std::string text = "[";
    for (size_t k = 0; k < shape.size(); ++k) {
        if (k > 0) text += ",";
        text += std::to_string(shape[k]);
    }
    return text + "]";
}

double Value::number(int64_t k) const {
    return type == DType::f32 ? static_cast<double>(floats[k]) : static_cast<double>(ints[k]);
}

int64_t Value::integer(int64_t k) const {
    return type == DType::f32 ? static_cast<int64_t>(floats[k]) : static_cast<int64_t>(ints[k]);
}

Value Value::ofFloats(Shape shape, std::vector<float> data) {
    Value v;
    v.type = DType::f32;
    v.shape = std::move(shape);
    v.floats = std::move(data);
    return v;
}

Value Value::ofInts(Shape shape, std::vector<int32_t> data, DType type) {
    Value v;
    v.type = type;
    v.shape = std::move(shape);
    v.ints = std::move(data);
    return v;
}

bool broadcastShapes(const Shape& a, const Shape& b, Shape& out) {
    const size_t rank = std::max(a.size(), b.size());
    out.assign(rank, 1);
    for (size_t k = 0; k < rank; ++k) {
        const int64_t da = k < rank - a.size() ? 1 : a[k - (rank - a.size())];
        const int64_t db = k < rank - b.size() ? 1 : b[k - (rank - b.size())];
        if (da != db && da != 1 && db != 1) return false;
        out[k] = da == 1 ? db : da;
    }
    return true;
}

}  // namespace figsplit::engine
