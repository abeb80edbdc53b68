#pragma once
// Element-wise activations as the models write them, and the post-op list of fused kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace figsplit::engine {

enum class Activation { none, relu, relu6, sigmoid, tanh, hardswish };

inline float activate(Activation a, float x) {
    switch (a) {
        case Activation::none:
            return x;
        case Activation::relu:
            return std::max(x, 0.0f);
        case Activation::relu6:
            return std::min(std::max(x, 0.0f), 6.0f);
        case Activation::sigmoid:
            return 1.0f / (1.0f + std::exp(-x));
        case Activation::tanh:
            return std::tanh(x);
        case Activation::hardswish:
            return x * std::min(std::max(x + 3.0f, 0.0f), 6.0f) * (1.0f / 6.0f);
    }
    return x;
}

// One step of a fused kernel's tail, applied to each output value in order.
struct PostOp {
    enum class Kind {
        activation,  // activate(activation, v)
        add,         // v + the next extra input (same shape as the output)
        clip,        // min(max(v, low), high)
        linear,      // v * scale + shift
    } kind = Kind::activation;
    Activation activation = Activation::none;
    float low = 0.0f, high = 0.0f;
    float scale = 1.0f, shift = 0.0f;
};

// Applies the post-ops (except `add`, which the caller handles) to one value.
inline float applyPostOp(const PostOp& p, float v) {
    switch (p.kind) {
        case PostOp::Kind::activation:
            return activate(p.activation, v);
        case PostOp::Kind::clip:
            return std::min(std::max(v, p.low), p.high);
        case PostOp::Kind::linear:
            return v * p.scale + p.shift;
        case PostOp::Kind::add:
            return v;
    }
    return v;
}

const char* activationName(Activation a);

}  // namespace figsplit::engine
