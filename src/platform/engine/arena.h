#pragma once
// Arena placement: every frame tensor of a plan gets an offset in one buffer, so that tensors
// alive at the same time never overlap and the arena stays small.
#include "platform/engine/plan.h"

namespace figsplit::engine {

// Computes each tensor's lifetime (the first step that writes it, the last that reads it; the
// plan's outputs live to the end), then places the largest tensors first, each at the lowest
// offset free for its lifetime, 64-byte aligned. Views share their root's storage; fed inputs
// take no space. Sets `TensorDesc::first/last/offset` and `Plan::arenaFloats`.
void placeTensors(Plan& plan);

}  // namespace figsplit::engine
