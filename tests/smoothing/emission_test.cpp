#include "smoothing/emission.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace figsplit {
namespace {

constexpr size_t kLength = 48;

MediaTime ptsOf(int64_t frame) {
    return MediaTime{1000 + 7 * frame, 600, MediaTime::kValid, 0};
}

uint8_t medianOf(std::vector<int> values) {
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return static_cast<uint8_t>(values.size() % 2 == 1 ? values[half]
                                                       : (values[half - 1] + values[half]) / 2);
}

// A clip of random mattes. Different windows of it have different medians, so the smoothed
// raster a sink receives tells which frames were in its window.
struct Clip {
    std::vector<MatteRaster> frames;

    explicit Clip(int count) {
        std::mt19937 random(42);
        std::uniform_int_distribution<int> byte(0, 255);
        for (int k = 0; k < count; ++k) {
            MatteRaster raster(kLength);
            for (uint8_t& value : raster) value = static_cast<uint8_t>(byte(random));
            frames.push_back(std::move(raster));
        }
    }

    MatteRaster medianOver(int lo, int hi) const {
        MatteRaster out(kLength);
        for (size_t i = 0; i < kLength; ++i) {
            std::vector<int> values;
            for (int f = lo; f <= hi; ++f) values.push_back(frames[f][i]);
            out[i] = medianOf(values);
        }
        return out;
    }

    // "lo-hi" of the only window of at most five frames around `frame` with this median.
    std::string windowOf(const MatteRaster& smoothed, int frame) const {
        std::string found;
        const int count = static_cast<int>(frames.size());
        for (int lo = std::max(0, frame - 4); lo <= frame; ++lo) {
            for (int hi = frame; hi < count && hi - lo < 5; ++hi) {
                if (medianOver(lo, hi) != smoothed) continue;
                if (!found.empty()) return "ambiguous";
                found = std::to_string(lo) + "-" + std::to_string(hi);
            }
        }
        return found.empty() ? "unknown" : found;
    }
};

struct EmissionCase {
    int64_t radius;
    int frames;
    // "k:lo-hi@j": frame k, smoothed over frames lo ... hi, handed over during the push of
    // frame j ("@F": during the flush).
    std::string handOvers;
    size_t mostEntries;  // largest history, right after a push
    size_t entriesLeft;  // history after the flush
};

std::string sameFrameHandOvers(int frames) {
    std::string text;
    for (int k = 0; k < frames; ++k) {
        const std::string n = std::to_string(k);
        text += (k > 0 ? " " : "") + n + ":" + n + "-" + n + "@" + n;
    }
    return text;
}

class Emission : public ::testing::TestWithParam<EmissionCase> {};

TEST_P(Emission, WindowsAndMomentsOfHandOver) {
    const EmissionCase& c = GetParam();
    const Clip clip(c.frames);
    FrameHistory state;
    state.smoothRadius = c.radius;
    const int64_t r = std::clamp<int64_t>(c.radius, 0, 2);

    std::string moment;
    std::string handOvers;
    int sinkCalls = 0;
    state.frameSink = [&](const MatteRaster& mask, MediaTime pts) {
        const int64_t frame = (pts.value - 1000) / 7;
        ASSERT_EQ(pts, ptsOf(sinkCalls)) << "frames must arrive in push order";
        handOvers += (sinkCalls > 0 ? " " : "") + std::to_string(frame) + ":" +
                     clip.windowOf(mask, static_cast<int>(frame)) + "@" + moment;
        ++sinkCalls;
    };

    size_t mostEntries = 0;
    for (int k = 0; k < c.frames; ++k) {
        moment = std::to_string(k);
        pushFrame(state, ptsOf(k), clip.frames[k]);
        mostEntries = std::max(mostEntries, state.history.size());
        emitReady(state, false);

        EXPECT_EQ(state.decoded, k + 1);
        EXPECT_EQ(state.nextEmit, std::max<int64_t>(0, state.decoded - r));
        EXPECT_EQ(state.historyStart, std::max<int64_t>(0, state.nextEmit - r));
        EXPECT_EQ(static_cast<int64_t>(state.history.size()), state.decoded - state.historyStart);
    }
    moment = "F";
    emitReady(state, true);

    EXPECT_EQ(handOvers, c.handOvers);
    EXPECT_EQ(mostEntries, c.mostEntries);
    EXPECT_EQ(state.history.size(), c.entriesLeft);
    EXPECT_EQ(state.nextEmit, c.frames);
    EXPECT_EQ(state.historyStart + static_cast<int64_t>(state.history.size()), state.decoded);

    // A second flush hands nothing over and changes nothing.
    emitReady(state, true);
    emitReady(state, false);
    EXPECT_EQ(sinkCalls, c.frames);
    EXPECT_EQ(state.history.size(), c.entriesLeft);
    EXPECT_EQ(state.nextEmit, c.frames);
}

std::vector<EmissionCase> emissionCases() {
    std::vector<EmissionCase> cases;
    for (int frames : {1, 2, 3, 6}) cases.push_back({0, frames, sameFrameHandOvers(frames), 1, 0});
    const std::vector<EmissionCase> more = {
        {1, 1, "0:0-0@F", 1, 1},
        {1, 2, "0:0-1@1 1:0-1@F", 2, 1},
        {1, 3, "0:0-1@1 1:0-2@2 2:1-2@F", 3, 1},
        {1, 6, "0:0-1@1 1:0-2@2 2:1-3@3 3:2-4@4 4:3-5@5 5:4-5@F", 3, 1},
        {2, 1, "0:0-0@F", 1, 1},
        {2, 2, "0:0-1@F 1:0-1@F", 2, 2},
        {2, 3, "0:0-2@2 1:0-2@F 2:0-2@F", 3, 2},
        {2, 6, "0:0-2@2 1:0-3@3 2:0-4@4 3:1-5@5 4:2-5@F 5:3-5@F", 5, 2},
        // A radius outside 0 ... 2 acts as the nearest bound.
        {-1, 3, sameFrameHandOvers(3), 1, 0},
        {7, 6, "0:0-2@2 1:0-3@3 2:0-4@4 3:1-5@5 4:2-5@F 5:3-5@F", 5, 2},
    };
    cases.insert(cases.end(), more.begin(), more.end());
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Clips, Emission, ::testing::ValuesIn(emissionCases()),
                         [](const ::testing::TestParamInfo<EmissionCase>& info) {
                             const int64_t r = info.param.radius;
                             return "radius" +
                                    (r < 0 ? "Minus" + std::to_string(-r) : std::to_string(r)) +
                                    "_" + std::to_string(info.param.frames) + "frames";
                         });

TEST(EmissionWithoutSmoothing, EachFrameLeavesDuringItsOwnPushUncopied) {
    const Clip clip(4);
    FrameHistory state;
    state.smoothRadius = 0;
    std::vector<const uint8_t*> received;
    state.frameSink = [&](const MatteRaster& mask, MediaTime) { received.push_back(mask.data()); };
    for (int k = 0; k < 4; ++k) {
        MatteRaster mask = clip.frames[k];
        const uint8_t* pixels = mask.data();
        pushFrame(state, ptsOf(k), std::move(mask));
        emitReady(state, false);
        ASSERT_EQ(received.size(), static_cast<size_t>(k + 1));
        EXPECT_EQ(received.back(), pixels) << "the sink gets the pushed pixels themselves";
        EXPECT_TRUE(state.history.empty());
    }
}

TEST(EmissionTimes, SinkReceivesEveryTimeExactlyAsPushed) {
    const std::vector<MediaTime> times = {
        MediaTime{5, 600, MediaTime::kValid, 0},
        MediaTime::invalid(),
        MediaTime{-3, 1, MediaTime::kValid, 0},
        MediaTime{5, 600, MediaTime::kValid, 0},  // repeated
        MediaTime{2, 600, MediaTime::kValid, 0},  // earlier than the one before
        MediaTime{std::numeric_limits<int64_t>::max(), 0, MediaTime::kValid | 8, -9},
        MediaTime::zero(),
    };
    for (int64_t radius : {0, 1, 2}) {
        FrameHistory state;
        state.smoothRadius = radius;
        std::vector<MediaTime> received;
        state.frameSink = [&](const MatteRaster&, MediaTime pts) { received.push_back(pts); };
        for (const MediaTime& pts : times) {
            pushFrame(state, pts, MatteRaster(8, 100));
            emitReady(state, false);
        }
        emitReady(state, true);
        EXPECT_EQ(received, times) << "radius " << radius;
    }
}

TEST(EmissionTimes, NoFrameMeansNoSinkCall) {
    for (int64_t radius : {0, 1, 2}) {
        FrameHistory state;
        state.smoothRadius = radius;
        int calls = 0;
        state.frameSink = [&](const MatteRaster&, MediaTime) { ++calls; };
        emitReady(state, false);
        emitReady(state, true);
        emitReady(state, true);
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(state.nextEmit, 0);
        EXPECT_EQ(state.decoded, 0);
        EXPECT_TRUE(state.history.empty());
    }
}

}  // namespace
}  // namespace figsplit
