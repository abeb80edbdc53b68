#pragma once
// Small helpers shared by the oneDNN fast paths.
#include <oneapi/dnnl/dnnl.hpp>

#include "platform/engine/ops/activation.h"

namespace figsplit::engine {

// Appends the oneDNN eltwise post-op equal to `a` (nothing for none).
void appendActivation(dnnl::post_ops& ops, Activation a);

}  // namespace figsplit::engine
