#pragma once
// Frame history and emission: frame k is handed to the sink, smoothed over frames
// k - r ... k + r, as soon as its r following frames are known, or at the flush.
// Single-threaded: the sink runs inside emitReady() on the caller's thread.
#include <cstdint>
#include <deque>
#include <functional>

#include "platform/media_time.h"
#include "smoothing/median.h"

namespace figsplit {

struct HistoryEntry {
    MediaTime pts;
    MatteRaster mask;
};

using FrameSink = std::function<void(const MatteRaster& mask, MediaTime pts)>;

struct FrameHistory {
    int64_t smoothRadius = 2;           // r, 0...2, fixed for the run (others act as 0 or 2)
    std::deque<HistoryEntry> history;   // frames historyStart ... decoded - 1
    int64_t historyStart = 0;
    int64_t decoded = 0;
    int64_t nextEmit = 0;
    FrameSink frameSink;
    MatteRaster scratch;                // reused output buffer of the median
};

// Appends (pts, mask) to the history and raises `decoded`; the caller then calls emitReady(false).
void pushFrame(FrameHistory& state, MediaTime pts, MatteRaster mask);

// Hands every frame whose window is complete to the sink, in order; with flush, every frame left.
void emitReady(FrameHistory& state, bool flush);

}  // namespace figsplit
