#include "platform/engine/ops/resize_bilinear.h"

#include <algorithm>
#include <cmath>

namespace figsplit::engine {

float resizeSourceCoordinate(const ResizeSpec& s, bool vertical, int64_t out) {
    const int64_t in = vertical ? s.inH : s.inW;
    const int64_t outSize = vertical ? s.outH : s.outW;
    const float scale = (s.alignCorners && outSize > 1)
                            ? static_cast<float>(in - 1) / static_cast<float>(outSize - 1)
                            : static_cast<float>(in) / static_cast<float>(outSize);
    return s.halfPixelCenters ? (static_cast<float>(out) + 0.5f) * scale - 0.5f
                              : static_cast<float>(out) * scale;
}

void resizeBilinearReference(const ResizeSpec& s, const float* src, float* dst) {
    const int64_t rows = s.batch * s.outH;
#pragma omp parallel for if (rows * s.outW * s.channels > 65536)
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t n = r / s.outH;
        const int64_t oy = r % s.outH;
        const float fy = resizeSourceCoordinate(s, true, oy);
        const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fy)), 0);
        const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fy)), s.inH - 1);
        const float dy = fy - std::floor(fy);
        for (int64_t ox = 0; ox < s.outW; ++ox) {
            const float fx = resizeSourceCoordinate(s, false, ox);
            const int64_t x0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fx)), 0);
            const int64_t x1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fx)), s.inW - 1);
            const float dx = fx - std::floor(fx);
            const float* a = src + ((n * s.inH + y0) * s.inW + x0) * s.channels;
            const float* b = src + ((n * s.inH + y0) * s.inW + x1) * s.channels;
            const float* c = src + ((n * s.inH + y1) * s.inW + x0) * s.channels;
            const float* d = src + ((n * s.inH + y1) * s.inW + x1) * s.channels;
            float* out = dst + ((n * s.outH + oy) * s.outW + ox) * s.channels;
            for (int64_t k = 0; k < s.channels; ++k) {
                const float top = a[k] + (b[k] - a[k]) * dx;
                const float bottom = c[k] + (d[k] - c[k]) * dx;
                out[k] = top + (bottom - top) * dy;
            }
        }
    }
}

bool FastResize::supports(const ResizeSpec& s) {
    return s.halfPixelCenters && !s.alignCorners;
}

FastResize::FastResize(const ResizeSpec& s, const dnnl::engine& engine) {
    using dnnl::memory;
    const memory::desc srcMd({s.batch, s.channels, s.inH, s.inW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const memory::desc dstMd({s.batch, s.channels, s.outH, s.outW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const dnnl::resampling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                              dnnl::algorithm::resampling_linear, srcMd, dstMd);
    const dnnl::resampling_forward::primitive_desc pd(desc, engine);
    primitive_.prepare(dnnl::resampling_forward(pd),
                       {{DNNL_ARG_SRC, memory(srcMd, engine, static_cast<void*>(nullptr))},
                        {DNNL_ARG_DST, memory(dstMd, engine, static_cast<void*>(nullptr))}});
}

void FastResize::run(const float* src, float* dst, dnnl::stream& stream) {
    primitive_.bind(0, src);
    primitive_.bind(1, dst);
    primitive_.execute(stream);
}

}  // namespace figsplit::engine
