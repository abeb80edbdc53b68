#pragma once
// Short ways to write the fused tails of the operator tests' cases.
#include "platform/engine/ops/activation.h"

namespace figsplit::engine::testing {

inline PostOp activation(Activation a) {
    PostOp p;
    p.activation = a;
    return p;
}
inline PostOp add() {
    PostOp p;
    p.kind = PostOp::Kind::add;
    return p;
}
inline PostOp clip(float low, float high) {
    PostOp p;
    p.kind = PostOp::Kind::clip;
    p.low = low;
    p.high = high;
    return p;
}
inline PostOp linear(float scale, float shift) {
    PostOp p;
    p.kind = PostOp::Kind::linear;
    p.scale = scale;
    p.shift = shift;
    return p;
}

}  // namespace figsplit::engine::testing
