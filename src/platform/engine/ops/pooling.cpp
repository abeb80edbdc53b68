#include "platform/engine/ops/pooling.h"

#include <algorithm>
#include <vector>

namespace figsplit::engine {

void avgPoolReference(const PoolSpec& s, const float* src, float* dst) {
    const int64_t pixels = s.batch * s.outH * s.outW;
#pragma omp parallel for if (pixels * s.kernelH * s.kernelW * s.channels > 65536)
    for (int64_t p = 0; p < pixels; ++p) {
        const int64_t n = p / (s.outH * s.outW);
        const int64_t oy = (p / s.outW) % s.outH;
        const int64_t ox = p % s.outW;
        const int64_t y0 = std::max<int64_t>(oy * s.strideH - s.padTop, 0);
        const int64_t y1 = std::min<int64_t>(oy * s.strideH - s.padTop + s.kernelH, s.inH);
        const int64_t x0 = std::max<int64_t>(ox * s.strideW - s.padLeft, 0);
        const int64_t x1 = std::min<int64_t>(ox * s.strideW - s.padLeft + s.kernelW, s.inW);
        float* out = dst + p * s.channels;
        std::fill(out, out + s.channels, 0.0f);
        for (int64_t y = y0; y < y1; ++y)
            for (int64_t x = x0; x < x1; ++x) {
                const float* in = src + ((n * s.inH + y) * s.inW + x) * s.channels;
                for (int64_t c = 0; c < s.channels; ++c) out[c] += in[c];
            }
        const int64_t cells = std::max<int64_t>((y1 - y0) * (x1 - x0), 1);
        const float scale = 1.0f / static_cast<float>(cells);
        for (int64_t c = 0; c < s.channels; ++c) out[c] *= scale;
    }
}

FastAvgPool::FastAvgPool(const PoolSpec& s, const dnnl::engine& engine) {
    using dnnl::memory;
    const memory::desc srcMd({s.batch, s.channels, s.inH, s.inW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const memory::desc dstMd({s.batch, s.channels, s.outH, s.outW}, memory::data_type::f32,
                             memory::format_tag::nhwc);
    const dnnl::pooling_forward::desc desc(dnnl::prop_kind::forward_inference,
                                           dnnl::algorithm::pooling_avg_exclude_padding, srcMd,
                                           dstMd, {s.strideH, s.strideW}, {s.kernelH, s.kernelW},
                                           {s.padTop, s.padLeft}, {s.padBottom, s.padRight});
    const dnnl::pooling_forward::primitive_desc pd(desc, engine);
    primitive_.prepare(dnnl::pooling_forward(pd),
                       {{DNNL_ARG_SRC, memory(srcMd, engine, static_cast<void*>(nullptr))},
                        {DNNL_ARG_DST, memory(dstMd, engine, static_cast<void*>(nullptr))}});
}

void FastAvgPool::run(const float* src, float* dst, dnnl::stream& stream) {
    primitive_.bind(0, src);
    primitive_.bind(1, dst);
    primitive_.execute(stream);
}

}  // namespace figsplit::engine
