// Temporal median of 960 x 540 mattes: medianMask() with three and five frames against a plain
// per-position loop measured in the same run. The plain loop is compiled without the
// vectoriser (optimize("no-tree-vectorize")), so it stands for one byte at a time.
// Prints min / median / max ms per frame and the speed-ups (ratio of the medians and of the
// minima; the minima are steadier on a busy machine).
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "smoothing/median.h"
#include "smoothing/median_kernels.h"

namespace {

using figsplit::MatteRaster;

constexpr int kWidth = 960;
constexpr int kHeight = 540;
constexpr int kWarmUp = 20;
constexpr int kRuns = 300;

// Matte-like frames: a soft-edged figure drifting a few pixels per frame, plus scattered flicker.
std::vector<MatteRaster> makeFrames(int count) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> flicker(0, 99);
    std::vector<MatteRaster> frames;
    for (int f = 0; f < count; ++f) {
        MatteRaster raster(static_cast<size_t>(kWidth) * kHeight);
        const double cx = 400.0 + 6.0 * f;
        const double cy = 300.0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const double dx = (x - cx) / 180.0;
                const double dy = (y - cy) / 260.0;
                const double edge = (1.0 - (dx * dx + dy * dy)) * 40.0;
                uint8_t value = static_cast<uint8_t>(std::clamp(edge, 0.0, 1.0) * 255.0);
                if (flicker(random) < 2) value = static_cast<uint8_t>(byte(random));
                raster[static_cast<size_t>(y) * kWidth + x] = value;
            }
        }
        frames.push_back(std::move(raster));
    }
    return frames;
}

__attribute__((optimize("no-tree-vectorize"))) void plainMedian3(
    std::span<const MatteRaster* const> window, MatteRaster& out) {
    const MatteRaster& r0 = *window[0];
    const MatteRaster& r1 = *window[1];
    const MatteRaster& r2 = *window[2];
    out.resize(r0.size());
    for (size_t i = 0; i < r0.size(); ++i) out[i] = figsplit::median3(r0[i], r1[i], r2[i]);
}

__attribute__((optimize("no-tree-vectorize"))) void plainMedian5(
    std::span<const MatteRaster* const> window, MatteRaster& out) {
    const MatteRaster& r0 = *window[0];
    const MatteRaster& r1 = *window[1];
    const MatteRaster& r2 = *window[2];
    const MatteRaster& r3 = *window[3];
    const MatteRaster& r4 = *window[4];
    out.resize(r0.size());
    for (size_t i = 0; i < r0.size(); ++i) {
        const uint8_t v = r0[i], w = r1[i], x = r2[i], y = r3[i], z = r4[i];
        const uint8_t p = std::max(std::min(v, w), std::min(x, y));
        const uint8_t q = std::min(std::max(v, w), std::max(x, y));
        out[i] = std::max(std::min(q, std::max(p, z)), std::min(p, z));
    }
}

struct Timing {
    double min = 0, median = 0, max = 0;
};

Timing measure(const std::function<void()>& run) {
    for (int i = 0; i < kWarmUp; ++i) run();
    std::vector<double> ms;
    ms.reserve(kRuns);
    for (int i = 0; i < kRuns; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        const auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return Timing{ms.front(), ms[ms.size() / 2], ms.back()};
}

void printRow(const char* label, const Timing& t) {
    std::printf("  %-28s min %7.4f  median %7.4f  max %7.4f ms/frame  (%6.0f frames/s)\n", label,
                t.min, t.median, t.max, 1000.0 / t.median);
}

bool benchWindow(const std::vector<MatteRaster>& frames, size_t n) {
    std::vector<const MatteRaster*> window;
    for (size_t j = 0; j < n; ++j) window.push_back(&frames[j]);
    MatteRaster plainOut, fastOut, baselineOut(frames[0].size());
    const auto plain = n == 3 ? plainMedian3 : plainMedian5;

    const Timing plainTime = measure([&] { plain(window, plainOut); });
    const Timing fastTime = measure([&] { figsplit::medianMask(window, fastOut); });
    const Timing baselineTime = measure([&] {
        const auto kernel = figsplit::MedianKernel::Baseline;
        if (n == 3) {
            figsplit::median3Bytes(kernel, window[0]->data(), window[1]->data(), window[2]->data(),
                                   baselineOut.data(), baselineOut.size());
        } else {
            figsplit::median5Bytes(kernel, window[0]->data(), window[1]->data(), window[2]->data(),
                                   window[3]->data(), window[4]->data(), baselineOut.data(),
                                   baselineOut.size());
        }
    });

    std::printf("n = %zu\n", n);
    printRow("plain per-position loop", plainTime);
    printRow("medianMask", fastTime);
    printRow("16-byte kernel (no AVX2)", baselineTime);
    std::printf(
        "  speed-up over plain (medians; mins): medianMask %.1fx; %.1fx   "
        "16-byte kernel %.1fx; %.1fx\n",
        plainTime.median / fastTime.median, plainTime.min / fastTime.min,
        plainTime.median / baselineTime.median, plainTime.min / baselineTime.min);
    const bool same = plainOut == fastOut && plainOut == baselineOut;
    if (!same) std::printf("  MISMATCH: the fast results differ from the plain loop\n");
    return same;
}

}  // namespace

int main() {
    const std::vector<MatteRaster> frames = makeFrames(5);
    std::printf("temporal median, %dx%d mattes, %d runs after %d warm-up runs; kernel: %s\n",
                kWidth, kHeight, kRuns, kWarmUp,
                figsplit::bestMedianKernel() == figsplit::MedianKernel::Avx2 ? "avx2" : "16-byte");
    const bool ok3 = benchWindow(frames, 3);
    const bool ok5 = benchWindow(frames, 5);
    return ok3 && ok5 ? 0 : 1;
}
