#include "platform/engine/ops/data_movement.h"

#include <algorithm>
#include <cstring>

namespace figsplit::engine {

template <class T>
void copyBox(const T* src, const Shape& srcShape, const Shape& srcStart, T* dst,
             const Shape& dstShape, const Shape& dstStart, const Shape& extent, bool parallel) {
    const size_t rank = extent.size();
    if (elementCount(extent) == 0 || rank > kMaxBoxRank) return;
    if (rank == 0) {
        dst[0] = src[0];
        return;
    }
    // Innermost dims covered whole in both tensors join the contiguous chunk.
    size_t split = rank;  // dims [split, rank) are whole
    int64_t chunk = 1;
    while (split > 0) {
        const size_t d = split - 1;
        chunk *= extent[d];
        if (extent[d] == srcShape[d] && extent[d] == dstShape[d] && srcStart[d] == 0 &&
            dstStart[d] == 0) {
            --split;
        } else {
            break;
        }
    }
    // dims [0, outerRank) iterate; dim outerRank-1 .. contributes to chunk already when split <
    // rank.
    const size_t outerRank = split == 0 ? 0 : split - 1;
    int64_t srcStride[kMaxBoxRank], dstStride[kMaxBoxRank];
    int64_t ss = 1, ds = 1;
    for (size_t d = rank; d-- > 0;) {
        srcStride[d] = ss;
        dstStride[d] = ds;
        ss *= srcShape[d];
        ds *= dstShape[d];
    }
    int64_t baseSrc = 0, baseDst = 0;
    for (size_t d = 0; d < rank; ++d) {
        baseSrc += srcStart[d] * srcStride[d];
        baseDst += dstStart[d] * dstStride[d];
    }
    if (outerRank == 0) {
        std::memcpy(dst + baseDst, src + baseSrc, static_cast<size_t>(chunk) * sizeof(T));
        return;
    }
    // Rows over dims [0, last); along dim `last` the chunks follow at fixed strides.
    const size_t last = outerRank - 1;
    const int64_t rowLength = extent[last];
    int64_t rows = 1;
    for (size_t d = 0; d < last; ++d) rows *= extent[d];
    const int64_t stepSrc = srcStride[last], stepDst = dstStride[last];
#pragma omp parallel for if (parallel && rows * rowLength * chunk > 65536)
    for (int64_t r = 0; r < rows; ++r) {
        int64_t rest = r, offS = baseSrc, offD = baseDst;
        for (size_t d = last; d-- > 0;) {
            const int64_t i = rest % extent[d];
            rest /= extent[d];
            offS += i * srcStride[d];
            offD += i * dstStride[d];
        }
        const T* s = src + offS;
        T* t = dst + offD;
        if (chunk >= 32) {
            for (int64_t i = 0; i < rowLength; ++i)
                std::memcpy(t + i * stepDst, s + i * stepSrc,
                            static_cast<size_t>(chunk) * sizeof(T));
        } else {
            // Short chunks (a few channels per pixel): a plain loop beats a call per chunk.
            for (int64_t i = 0; i < rowLength; ++i)
                for (int64_t c = 0; c < chunk; ++c) t[i * stepDst + c] = s[i * stepSrc + c];
        }
    }
}

template void copyBox<float>(const float*, const Shape&, const Shape&, float*, const Shape&,
                             const Shape&, const Shape&, bool);
template void copyBox<int32_t>(const int32_t*, const Shape&, const Shape&, int32_t*, const Shape&,
                               const Shape&, const Shape&, bool);

template <class T>
void stridedGather(const T* src, const Shape& srcShape, const std::vector<int64_t>& begin,
                   const std::vector<int64_t>& stride, T* dst, const Shape& dstShape) {
    const size_t rank = dstShape.size();
    if (rank > kMaxBoxRank) return;
    int64_t srcStride[kMaxBoxRank];
    int64_t s = 1;
    for (size_t d = rank; d-- > 0;) {
        srcStride[d] = s;
        s *= srcShape[d];
    }
    const int64_t n = elementCount(dstShape);
    for (int64_t k = 0; k < n; ++k) {
        int64_t rest = k, off = 0;
        for (size_t d = rank; d-- > 0;) {
            const int64_t i = rest % dstShape[d];
            rest /= dstShape[d];
            off += (begin[d] + i * stride[d]) * srcStride[d];
        }
        dst[k] = src[off];
    }
}

template void stridedGather<float>(const float*, const Shape&, const std::vector<int64_t>&,
                                   const std::vector<int64_t>&, float*, const Shape&);
template void stridedGather<int32_t>(const int32_t*, const Shape&, const std::vector<int64_t>&,
                                     const std::vector<int64_t>&, int32_t*, const Shape&);

void broadcastFloat(const BroadcastPlan& p, const float* src, float* dst, bool parallel) {
    const size_t rank = p.out.size();
    const int64_t inner = p.out[rank - 1];
    const int64_t rows = p.count / std::max<int64_t>(inner, 1);
    const int64_t step = p.strideA[rank - 1];
#pragma omp parallel for if (parallel && p.count > 65536)
    for (int64_t r = 0; r < rows; ++r) {
        int64_t rest = r, off = 0;
        for (size_t k = rank - 1; k-- > 0;) {
            const int64_t i = rest % p.out[k];
            rest /= p.out[k];
            off += i * p.strideA[k];
        }
        float* out = dst + r * inner;
        if (step == 0) {
            std::fill(out, out + inner, src[off]);
        } else {
            std::memcpy(out, src + off, static_cast<size_t>(inner) * sizeof(float));
        }
    }
}

}  // namespace figsplit::engine
