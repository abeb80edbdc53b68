// The writer's key-frame rule on sequences of frame times: no stretch of more than 0.5 s, the
// end of the movie included, passes without a key frame, and no more key frames than that needs.
#include "platform/media/key_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace figsplit {
namespace {

struct Case {
    std::string name;
    int64_t ticksPerSecond;
    std::vector<int64_t> times;  // the frames' times, then the end of the movie
    std::vector<bool> keys;      // the expected decision for each frame
};

std::vector<bool> decide(const Case& c) {
    KeyFrameState state;
    std::vector<bool> keys;
    for (size_t i = 0; i + 1 < c.times.size(); ++i) {
        keys.push_back(takeKeyFrame(state, c.times[i], c.times[i + 1], c.ticksPerSecond));
    }
    return keys;
}

std::vector<bool> everyNth(size_t frames, size_t n) {
    std::vector<bool> keys;
    for (size_t i = 0; i < frames; ++i) keys.push_back(i % n == 0);
    return keys;
}

std::vector<int64_t> steps(int64_t first, int64_t step, size_t count) {
    std::vector<int64_t> times;
    for (size_t i = 0; i < count; ++i) times.push_back(first + static_cast<int64_t>(i) * step);
    return times;
}

TEST(KeyFrames, PlacedByTimeWhateverTheFrameRate) {
    const Case cases[] = {
        // 30 frames a second: frame 15's successor is 16/30 s after frame 0, so every 15th.
        {"30 fps", 30, steps(0, 1, 46), everyNth(45, 15)},
        // The same frames in a finer time base, late start: only differences count.
        {"30 fps, 1/90000, at 10 s", 90000, steps(900000, 3000, 46), everyNth(45, 15)},
        // 25 frames a second: 13/25 s > 0.5 s, so every 12th.
        {"25 fps", 25, steps(0, 1, 37), everyNth(36, 12)},
        // Exactly 0.5 s after the last key frame is not yet "more than 0.5 s".
        {"two frames, exactly half a second", 10, {0, 3, 5}, {true, false}},
        {"two frames, just over", 10, {0, 3, 6}, {true, true}},
        // A long pause: the frame before it becomes the key frame, and the one after it too.
        {"pause", 10, {0, 1, 2, 12, 13}, {true, false, true, true}},
        // The end of the movie counts like a next frame.
        {"end of the movie", 10, {0, 1, 2, 3, 4, 9}, {true, false, false, false, true}},
        // A single frame that lasts long is a key frame once; it cannot be split.
        {"one long frame", 1000, {0, 5000}, {true}},
        // Times near the limits of 64 bits do not overflow.
        {"huge times", 2, {INT64_MAX - 10, INT64_MAX - 9, INT64_MAX}, {true, true}},
        {"negative times", 10, {-20, -19, -15, -14}, {true, false, true}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.times.size(), c.keys.size() + 1) << c.name;
        EXPECT_EQ(decide(c), c.keys) << c.name;
    }
}

}  // namespace
}  // namespace figsplit
