#pragma once
// Element-wise arithmetic with TensorFlow broadcasting, for frame tensors (float) and for the
// small constant values the planner computes (float or int32).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine/value.h"

namespace figsplit::engine {

enum class BinaryOp {
    add,
    sub,
    mul,
    div,
    maximum,
    minimum,
    squaredDifference,
    floorMod,
    floorDiv,
    equal,
    less,
    greater
};
enum class UnaryOp { relu, relu6, sigmoid, tanh, square, neg, sqrt, rsqrt, exp };

// The element-wise operation of a TensorFlow op name, or none: an op without one is refused when
// the model loads, never given a default.
std::optional<BinaryOp> binaryOpOf(std::string_view op);
std::optional<UnaryOp> unaryOpOf(std::string_view op);

const char* binaryOpName(BinaryOp op);
const char* unaryOpName(UnaryOp op);

// A broadcast of two operands to one output shape, with dimensions that broadcast the same way
// merged, so that the inner loop runs over contiguous memory.
struct BroadcastPlan {
    Shape out;                     // merged output dims
    std::vector<int64_t> strideA;  // per merged dim: element stride in A (0 = broadcast)
    std::vector<int64_t> strideB;
    int64_t count = 0;

    static bool make(const Shape& a, const Shape& b, BroadcastPlan& plan);
};

inline float applyBinary(BinaryOp op, float a, float b) {
    switch (op) {
        case BinaryOp::add:
            return a + b;
        case BinaryOp::sub:
            return a - b;
        case BinaryOp::mul:
            return a * b;
        case BinaryOp::div:
            return a / b;
        case BinaryOp::maximum:
            return std::max(a, b);
        case BinaryOp::minimum:
            return std::min(a, b);
        case BinaryOp::squaredDifference:
            return (a - b) * (a - b);
        case BinaryOp::floorMod: {
            const float r = std::fmod(a, b);
            return (r != 0.0f && ((r < 0.0f) != (b < 0.0f))) ? r + b : r;
        }
        case BinaryOp::floorDiv:
            return std::floor(a / b);
        case BinaryOp::equal:
            return a == b ? 1.0f : 0.0f;
        case BinaryOp::less:
            return a < b ? 1.0f : 0.0f;
        case BinaryOp::greater:
            return a > b ? 1.0f : 0.0f;
    }
    return 0.0f;
}

inline float applyUnary(UnaryOp op, float x) {
    switch (op) {
        case UnaryOp::relu:
            return std::max(x, 0.0f);
        case UnaryOp::relu6:
            return std::min(std::max(x, 0.0f), 6.0f);
        case UnaryOp::sigmoid:
            return 1.0f / (1.0f + std::exp(-x));
        case UnaryOp::tanh:
            return std::tanh(x);
        case UnaryOp::square:
            return x * x;
        case UnaryOp::neg:
            return -x;
        case UnaryOp::sqrt:
            return std::sqrt(x);
        case UnaryOp::rsqrt:
            return 1.0f / std::sqrt(x);
        case UnaryOp::exp:
            return std::exp(x);
    }
    return x;
}

// out = a (op) b over the plan; `parallel` spreads the outer loops over the OpenMP pool.
void binaryFloat(BinaryOp op, const BroadcastPlan& plan, const float* a, const float* b, float* out,
                 bool parallel);
void unaryFloat(UnaryOp op, const float* in, float* out, int64_t count, bool parallel);

// The same on constant values (float ops in float32 arithmetic, integer ops in int32 with
// TensorFlow's floor-mod and floor-div, comparisons give bools). False when the operation does not
// apply.
bool binaryValue(BinaryOp op, const Value& a, const Value& b, Value& out, std::string& error);
bool unaryValue(UnaryOp op, const Value& in, Value& out, std::string& error);

}  // namespace figsplit::engine
