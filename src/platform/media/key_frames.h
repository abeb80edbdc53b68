#pragma once
// Where the matte writer puts its key frames. Frame rates vary, so the rule works on times: a
// frame is a key frame when it is the first, or when the frame after it -- for the last frame,
// the end of the movie -- begins more than 0.5 s after the previous key frame. So key frames are
// at most 0.5 s apart, and the last one is at most 0.5 s before the end, wherever frames allow
// it (a single frame that lasts longer than 0.5 s cannot be split).
#include <cstdint>

namespace figsplit {

// What the rule remembers between frames.
struct KeyFrameState {
    bool haveKeyFrame = false;
    int64_t lastKeyFrame = 0;  // its time, in ticks
};

// Whether the frame at `pts`, whose successor (or the movie's end) begins at `next`, both in
// ticks of 1 / ticksPerSecond s, is a key frame; records it in `state` when it is.
inline bool takeKeyFrame(KeyFrameState& state, int64_t pts, int64_t next, int64_t ticksPerSecond) {
    // 2 * (next - last) > ticksPerSecond, computed without overflow.
    const bool key = !state.haveKeyFrame || 2 * (static_cast<__int128>(next) - state.lastKeyFrame) >
                                                static_cast<__int128>(ticksPerSecond);
    if (key) {
        state.haveKeyFrame = true;
        state.lastKeyFrame = pts;
    }
    return key;
}

}  // namespace figsplit
