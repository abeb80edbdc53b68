#pragma once
// Typed constant tensors inside the engine: weights, and every value the planner can compute
// before a frame arrives (shapes, sizes, paddings, predicates). Frame data itself is always float
// and lives in the plan's arena, not in Values.
#include <cstdint>
#include <string>
#include <vector>

namespace figsplit::engine {

using Shape = std::vector<int64_t>;

enum class DType : int { f32, i32, boolean };

const char* dtypeName(DType type);
int64_t elementCount(const Shape& shape);
std::string shapeText(const Shape& shape);  // "[1,216,384,3]"

// A small dense tensor of float, int32 or bool (bools are stored as 0/1 in `ints`).
struct Value {
    DType type = DType::f32;
    Shape shape;
    std::vector<float> floats;
    std::vector<int32_t> ints;

    int64_t count() const { return elementCount(shape); }
    bool isFloat() const { return type == DType::f32; }
    // Element k converted to double / int64 whatever the storage.
    double number(int64_t k) const;
    int64_t integer(int64_t k) const;

    static Value ofFloats(Shape shape, std::vector<float> data);
    static Value ofInts(Shape shape, std::vector<int32_t> data, DType type = DType::i32);
    static Value scalarFloat(float x) { return ofFloats({}, {x}); }
};

// The NumPy/TensorFlow broadcast of two shapes; false when they do not broadcast.
bool broadcastShapes(const Shape& a, const Shape& b, Shape& out);

}  // namespace figsplit::engine
