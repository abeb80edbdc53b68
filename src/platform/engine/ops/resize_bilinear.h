#pragma once
// Bilinear resizing with TensorFlow's coordinate rules (half-pixel centres or align-corners).
#include <cstdint>
#include <oneapi/dnnl/dnnl.hpp>

#include "platform/engine/ops/onednn_util.h"

namespace figsplit::engine {

struct ResizeSpec {
    int64_t batch = 1, inH = 0, inW = 0, channels = 0;
    int64_t outH = 0, outW = 0;
    bool halfPixelCenters = true;
    bool alignCorners = false;
};

// The source coordinate of output index `out` along an axis (TensorFlow's scaler).
float resizeSourceCoordinate(const ResizeSpec& params, bool vertical, int64_t out);

void resizeBilinearReference(const ResizeSpec& params, const float* src, float* dst);

// oneDNN's linear resampling; matches only half-pixel centres without align-corners.
class FastResize {
  public:
    static bool supports(const ResizeSpec& params);
    FastResize(const ResizeSpec& params, const dnnl::engine& engine);
    void run(const float* src, float* dst, dnnl::stream& stream);

  private:
    PreparedPrimitive primitive_;  // arguments: src, dst
};

}  // namespace figsplit::engine
