#include "smoothing/median.h"

#include <algorithm>
#include <utility>

#include "smoothing/median_kernels.h"

namespace figsplit {

namespace {

// The loops run over whole blocks of a fixed size and then over the remainder byte by byte.
// A trip count known at compile time lets GCC vectorise the inner loop at -O2, whose cost model
// refuses loops that would need a scalar epilogue; __restrict spares it run-time overlap checks.
constexpr size_t kBlock = 64;

inline uint8_t minByte(uint8_t a, uint8_t b) {
    return a < b ? a : b;
}
inline uint8_t maxByte(uint8_t a, uint8_t b) {
    return a < b ? b : a;
}

// The third smallest of five bytes, by a network of ten minima and maxima.
inline uint8_t median5(uint8_t v, uint8_t w, uint8_t x, uint8_t y, uint8_t z) {
    const uint8_t p = maxByte(minByte(v, w), minByte(x, y));
    const uint8_t q = minByte(maxByte(v, w), maxByte(x, y));
    return maxByte(minByte(q, maxByte(p, z)), minByte(p, z));
}

[[gnu::always_inline]] inline void median3Loop(const uint8_t* __restrict r0,
                                               const uint8_t* __restrict r1,
                                               const uint8_t* __restrict r2,
                                               uint8_t* __restrict out, size_t length) {
    size_t i = 0;
    for (; length - i >= kBlock; i += kBlock) {
        for (size_t j = 0; j < kBlock; ++j) {
            out[i + j] = median3(r0[i + j], r1[i + j], r2[i + j]);
        }
    }
    for (; i < length; ++i) out[i] = median3(r0[i], r1[i], r2[i]);
}

[[gnu::always_inline]] inline void median5Loop(const uint8_t* __restrict r0,
                                               const uint8_t* __restrict r1,
                                               const uint8_t* __restrict r2,
                                               const uint8_t* __restrict r3,
                                               const uint8_t* __restrict r4,
                                               uint8_t* __restrict out, size_t length) {
    size_t i = 0;
    for (; length - i >= kBlock; i += kBlock) {
        for (size_t j = 0; j < kBlock; ++j) {
            out[i + j] = median5(r0[i + j], r1[i + j], r2[i + j], r3[i + j], r4[i + j]);
        }
    }
    for (; i < length; ++i) out[i] = median5(r0[i], r1[i], r2[i], r3[i], r4[i]);
}

// The same loops compiled a second time for AVX2; which copy runs is decided at run time, so
// the binary still runs on processors without AVX2.
[[gnu::target("avx2")]] void median3Avx2(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                                         uint8_t* out, size_t length) {
    median3Loop(r0, r1, r2, out, length);
}

[[gnu::target("avx2")]] void median5Avx2(const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                                         const uint8_t* r3, const uint8_t* r4, uint8_t* out,
                                         size_t length) {
    median5Loop(r0, r1, r2, r3, r4, out, length);
}

bool avx2Supported() {
    // Checks the processor's flag and that the OS saves the 256-bit registers.
    return __builtin_cpu_supports("avx2");
}

// The sorting method: one list of values, allocated once per call, sorted at every position;
// the middle value for an odd count, the mean of the two middle values rounded down for an even
// one. A position that a raster lacks (a shorter or missing raster, which the fast paths never
// see) leaves that raster out of the count there; the first raster always has the position.
void medianBySorting(std::span<const MatteRaster* const> window, MatteRaster& out) {
    std::vector<int64_t> values(window.size());
    for (size_t i = 0; i < out.size(); ++i) {
        size_t count = 0;
        for (const MatteRaster* raster : window) {
            if (raster != nullptr && i < raster->size()) values[count++] = (*raster)[i];
        }
        std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count));
        const size_t half = count / 2;
        out[i] = static_cast<uint8_t>(count % 2 == 1 ? values[half]
                                                     : (values[half - 1] + values[half]) / 2);
    }
}

// The window fits the fast loops: three or five present rasters of one length.
bool fitsFastLoops(std::span<const MatteRaster* const> window) {
    if (window.size() != 3 && window.size() != 5) return false;
    for (const MatteRaster* raster : window) {
        if (raster == nullptr || raster->size() != window[0]->size()) return false;
    }
    return true;
}

void computeMedian(std::span<const MatteRaster* const> window, MatteRaster& out) {
    out.resize(window[0] == nullptr ? 0 : window[0]->size());
    if (!fitsFastLoops(window)) {
        medianBySorting(window, out);
        return;
    }
    const MedianKernel kernel = bestMedianKernel();
    if (window.size() == 3) {
        median3Bytes(kernel, window[0]->data(), window[1]->data(), window[2]->data(), out.data(),
                     out.size());
    } else {
        median5Bytes(kernel, window[0]->data(), window[1]->data(), window[2]->data(),
                     window[3]->data(), window[4]->data(), out.data(), out.size());
    }
}

}  // namespace

MedianKernel bestMedianKernel() {
    return avx2Supported() ? MedianKernel::Avx2 : MedianKernel::Baseline;
}

void median3Bytes(MedianKernel kernel, const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                  uint8_t* out, size_t length) {
    if (kernel == MedianKernel::Avx2 && avx2Supported()) {
        median3Avx2(r0, r1, r2, out, length);
    } else {
        median3Loop(r0, r1, r2, out, length);
    }
}

void median5Bytes(MedianKernel kernel, const uint8_t* r0, const uint8_t* r1, const uint8_t* r2,
                  const uint8_t* r3, const uint8_t* r4, uint8_t* out, size_t length) {
    if (kernel == MedianKernel::Avx2 && avx2Supported()) {
        median5Avx2(r0, r1, r2, r3, r4, out, length);
    } else {
        median5Loop(r0, r1, r2, r3, r4, out, length);
    }
}

const MatteRaster& medianMask(std::span<const MatteRaster* const> window, MatteRaster& scratch) {
    if (window.empty()) {
        scratch.clear();
        return scratch;
    }
    if (window.size() == 1) return window[0] != nullptr ? *window[0] : (scratch.clear(), scratch);
    // Resizing `scratch` while it is also an input would move that input's bytes under us, so
    // such a window is smoothed into a separate buffer that then replaces `scratch`.
    if (std::find(window.begin(), window.end(), &scratch) != window.end()) {
        MatteRaster separate;
        computeMedian(window, separate);
        scratch = std::move(separate);
        return scratch;
    }
    computeMedian(window, scratch);
    return scratch;
}

}  // namespace figsplit
