#include "smoothing/emission.h"

#include <algorithm>
#include <array>
#include <span>

namespace figsplit {

namespace {

// The radius the option parser allows at most; the window then holds 2 * 2 + 1 rasters.
constexpr int64_t kMaxSmoothRadius = 2;

}  // namespace

void pushFrame(FrameHistory& state, MediaTime pts, MatteRaster mask) {
    state.history.push_back(HistoryEntry{pts, std::move(mask)});
    ++state.decoded;
}

void emitReady(FrameHistory& state, bool flush) {
    // Clamped so that the window always fits the fixed list below.
    const int64_t r = std::clamp<int64_t>(state.smoothRadius, 0, kMaxSmoothRadius);
    // Pointers into `history`: building a window copies no pixels.
    std::array<const MatteRaster*, 2 * kMaxSmoothRadius + 1> window{};

    while (state.nextEmit < state.decoded) {
        // Frame nextEmit waits for its r following frames unless the clip has ended.
        if (!flush && state.nextEmit + r >= state.decoded) return;

        const int64_t lo = std::max(state.nextEmit - r, state.historyStart);
        const int64_t hi = std::min(state.nextEmit + r, state.decoded - 1);
        size_t count = 0;
        for (int64_t frame = lo; frame <= hi; ++frame) {
            window[count++] = &state.history[static_cast<size_t>(frame - state.historyStart)].mask;
        }
        const MatteRaster& smoothed =
            medianMask(std::span<const MatteRaster* const>(window.data(), count), state.scratch);
        const HistoryEntry& own =
            state.history[static_cast<size_t>(state.nextEmit - state.historyStart)];
        state.frameSink(smoothed, own.pts);
        ++state.nextEmit;

        // Drop the frames that no later window reaches.
        while (state.historyStart < state.nextEmit - r) {
            state.history.pop_front();
            ++state.historyStart;
        }
    }
}

}  // namespace figsplit
