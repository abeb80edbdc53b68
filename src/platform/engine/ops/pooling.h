#pragma once
// Average pooling with TensorFlow's rule that padded cells do not count (SAME), which also
// serves the mean over the whole plane (squeeze-excitation, LR-ASPP).
#include <cstdint>
#include <oneapi/dnnl/dnnl.hpp>

#include "platform/engine/ops/onednn_util.h"

namespace figsplit::engine {

struct PoolSpec {
    int64_t batch = 1, inH = 0, inW = 0, channels = 0;
    int64_t outH = 0, outW = 0;
    int64_t kernelH = 1, kernelW = 1, strideH = 1, strideW = 1;
    int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
};

void avgPoolReference(const PoolSpec& params, const float* src, float* dst);

class FastAvgPool {
  public:
    FastAvgPool(const PoolSpec& params, const dnnl::engine& engine);
    void run(const float* src, float* dst, dnnl::stream& stream);

  private:
    PreparedPrimitive primitive_;  // arguments: src, dst
};

}  // namespace figsplit::engine
