#pragma once
// Element-wise activations as the models write them, and the post-op list of fused kernels.
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace figsplit::engine {

enum class Activation { none, relu, relu6, sigmoid, tanh, hardswish };

struct PostOp {
    enum class Kind { activation, add, clip } kind = Kind::activation;
    Activation activation = Activation::none;
    float low = 0.0f, high = 0.0f;  // clip bounds
};

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

const char* activationName(Activation a);

}  // namespace figsplit::engine
