// The matte writer: H.264 in a QuickTime movie, the source's frame times, key frames by time,
// full-range greys, back-pressure, and its failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "media_fixtures.h"
#include "platform/media/movie.h"

namespace figsplit {
namespace {

using testing::Rational;
using testing::ScratchDir;
using namespace std::chrono_literals;

constexpr uint8_t kGreys[] = {0, 16, 64, 128, 200, 235, 255};
constexpr int kBands = sizeof kGreys;

// Fills a BGRA buffer with vertical grey bands, one per entry of kGreys; the padding at the end
// of each row is left alone.
void fillBands(const PixelBuffer& buffer) {
    for (int64_t y = 0; y < buffer.height; ++y) {
        uint8_t* row = buffer.base + y * buffer.stride;
        for (int64_t x = 0; x < buffer.width; ++x) {
            const uint8_t v = kGreys[x * kBands / buffer.width];
            row[4 * x + 0] = v;
            row[4 * x + 1] = v;
            row[4 * x + 2] = v;
            row[4 * x + 3] = 255;
        }
    }
}

// Finishes the writer and waits for its completion; the completion must run exactly once.
void finish(MatteWriter& writer) {
    std::promise<void> done;
    int calls = 0;
    writer.endInput();
    writer.finish([&] {
        ++calls;
        done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(60s), std::future_status::ready);
    EXPECT_EQ(calls, 1);
}

// Writes one banded frame per time, the way the frame loop does; true when every append
// succeeded and the writer completed.
bool writeMovie(const std::string& path, int64_t width, int64_t height,
                const std::vector<MediaTime>& times, std::string& error) {
    auto writer = makeMatteWriter(MatteWriterSettings{path, width, height}, error);
    if (!writer) return false;
    if (!writer->open()) {
        error = writer->error().value_or("start failed");
        return false;
    }
    writer->beginTimeline(times.front());
    for (const MediaTime& time : times) {
        PixelBufferRef buffer = writer->bufferPool()->takeBuffer();
        if (!buffer) {
            error = "no buffer";
            return false;
        }
        fillBands(*buffer);
        while (!writer->readyForMore()) std::this_thread::sleep_for(2ms);
        if (!writer->append(std::move(buffer), time)) {
            error = writer->error().value_or("append failed");
            return false;
        }
    }
    finish(*writer);
    if (writer->status() != WriterStatus::completed) {
        error = writer->error().value_or("did not complete");
        return false;
    }
    return true;
}

std::vector<MediaTime> evenTimes(int64_t first, int64_t step, int32_t timescale, int count) {
    std::vector<MediaTime> times;
    for (int i = 0; i < count; ++i) {
        times.push_back(MediaTime{first + i * step, timescale, MediaTime::kValid, 0});
    }
    return times;
}

// No stretch of more than half a second without a key frame, the end of the movie included,
// except where one frame alone lasts longer. `end` is when the last frame stops showing.
void expectKeyFramesEveryHalfSecond(const std::vector<testing::ProbedFrame>& frames, Rational end) {
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames[0].key);
    size_t lastKey = 0;
    for (size_t i = 1; i <= frames.size(); ++i) {
        if (i < frames.size() && !frames[i].key) continue;
        const Rational stop = i < frames.size() ? frames[i].time : end;
        const double gap = stop.seconds() - frames[lastKey].time.seconds();
        if (i != lastKey + 1) {
            EXPECT_LE(gap, 0.5 + 1e-9)
                << "from frame " << lastKey << " to "
                << (i < frames.size() ? "frame " + std::to_string(i) : std::string("the end"));
        }
        lastKey = i;
    }
}

TEST(MatteWriterTest, MovieKeepsTheAppendedTimesSizeAndGreys) {
    ScratchDir dir;
    struct Case {
        const char* name;
        std::vector<MediaTime> times;
    };
    std::vector<MediaTime> variable;
    for (int64_t ms : {0, 40, 50, 120, 700, 733, 766, 1400, 1420, 1430, 1950, 2500, 2510}) {
        variable.push_back(MediaTime{ms, 1000, MediaTime::kValid, 0});
    }
    const Case cases[] = {
        {"30fps", evenTimes(0, 512, 15360, 45)},
        // A late first frame (10 s) at 29.97 frames per second.
        {"late_ntsc", evenTimes(300300, 1001, 30000, 40)},
        // A first time that is no whole number of milliseconds.
        {"odd_start", evenTimes(1001, 1001, 30000, 20)},
        {"variable", variable},
        {"240fps", evenTimes(0, 1, 240, 300)},
        {"single", evenTimes(3000, 1, 600, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".mp4");  // any extension
        std::string error;
        ASSERT_TRUE(writeMovie(path, 112, 64, c.times, error)) << error;

        auto fields = testing::probeFields(path);
        EXPECT_EQ(fields["codec_name"], "h264");
        EXPECT_EQ(fields["width"], "112");
        EXPECT_EQ(fields["height"], "64");
        EXPECT_EQ(fields["color_range"], "pc");
        EXPECT_EQ(fields["has_b_frames"], "0");
        EXPECT_EQ(fields["format.TAG:major_brand"], "qt  ");
        EXPECT_EQ(fields["format.nb_streams"], "1");
        EXPECT_EQ(testing::commandOutput("ffprobe -v error -show_entries stream_side_data "
                                         "-of csv=p=0 '" +
                                         path + "'")
                      .find("Display Matrix"),
                  std::string::npos)
            << "no display matrix";

        const auto frames = testing::probeFrames(path);
        ASSERT_EQ(frames.size(), c.times.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].time, testing::toRational(c.times[i]))
                << "frame " << i << ": " << frames[i].time.num << "/" << frames[i].time.den;
        }
        const size_t n = c.times.size();
        Rational end = testing::toRational(c.times.back());
        if (n > 1) {
            end.num += c.times[n - 1].value - c.times[n - 2].value;
        }
        expectKeyFramesEveryHalfSecond(frames, end);

        // A decoder that honours the tags gets the greys back.
        const std::string rgb = testing::commandOutput(
            "ffmpeg -v error -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(rgb.size(), 112u * 64 * 3);
        for (int band = 0; band < kBands; ++band) {
            const int x = (2 * band + 1) * 112 / (2 * kBands);
            for (int y : {1, 31, 62}) {
                for (int channel = 0; channel < 3; ++channel) {
                    const int value = static_cast<uint8_t>(rgb[(y * 112 + x) * 3 + channel]);
                    EXPECT_NEAR(value, kGreys[band], 2) << "band " << band << " row " << y;
                }
            }
        }
    }
}

TEST(MatteWriterTest, KeyFramesAtConstantRateAreHalfASecondApart) {
    ScratchDir dir;
    const std::string path = dir.file("keys.mov");
    std::string error;
    ASSERT_TRUE(writeMovie(path, 64, 64, evenTimes(0, 1, 30, 90), error)) << error;
    const auto frames = testing::probeFrames(path);
    ASSERT_EQ(frames.size(), 90u);
    std::vector<int> keys;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].key) keys.push_back(static_cast<int>(i));
    }
    // The last key frame (2.5 s) is exactly 0.5 s before the end (3.0 s): none more is needed.
    EXPECT_EQ(keys, (std::vector<int>{0, 15, 30, 45, 60, 75}));

    // One frame more, and the last frame (3.0 s) must be a key frame to keep the end close.
    const std::string longer = dir.file("keys91.mov");
    ASSERT_TRUE(writeMovie(longer, 64, 64, evenTimes(0, 1, 30, 91), error)) << error;
    const auto longerFrames = testing::probeFrames(longer);
    ASSERT_EQ(longerFrames.size(), 91u);
    EXPECT_TRUE(longerFrames.back().key);
}

TEST(MatteWriterTest, TimesInAnotherTimescaleAreRescaled) {
    ScratchDir dir;
    const std::string path = dir.file("rescaled.mov");
    auto times = evenTimes(0, 1, 30, 10);
    times[5] = MediaTime{1000, 6000, MediaTime::kValid, 0};  // 1/6 s = 5/30 s
    std::string error;
    ASSERT_TRUE(writeMovie(path, 64, 64, times, error)) << error;
    const auto frames = testing::probeFrames(path);
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(frames[5].time, (Rational{5, 30}));
}

// A movie cannot show frames before zero: a session that starts at -1.5 s is shifted as a whole,
// so every frame is decoded, each at its distance from the first.
TEST(MatteWriterTest, ASessionStartingBeforeZeroIsShiftedSoEveryFrameShows) {
    ScratchDir dir;
    const std::string path = dir.file("early.mov");
    std::string error;
    ASSERT_TRUE(writeMovie(path, 64, 64, evenTimes(-15, 1, 10, 30), error)) << error;
    const auto frames = testing::probeFrames(path);
    ASSERT_EQ(frames.size(), 30u);
    for (int64_t i = 0; i < 30; ++i)
        EXPECT_EQ(frames[static_cast<size_t>(i)].time, (Rational{i, 10}));
}

TEST(MatteWriterTest, ReadyForMoreDataTurnsFalseWhileTheQueueIsFullAndBackAfterwards) {
    ScratchDir dir;
    std::string error;
    auto writer = makeMatteWriter({dir.file("busy.mov"), 1920, 1088}, error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->open());
    writer->beginTimeline(MediaTime{0, 30, MediaTime::kValid, 0});
    // Appending without waiting: the encoder cannot keep up with 1080p frames of noise (two
    // different ones, filled once, appended in turn), so the queue fills and the writer says so.
    uint32_t seed = 1;
    PixelBufferRef noise[2];
    for (PixelBufferRef& buffer : noise) {
        buffer = writer->bufferPool()->takeBuffer();
        ASSERT_TRUE(buffer);
        for (int64_t y = 0; y < buffer->height; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(buffer->base + y * buffer->stride);
            for (int64_t x = 0; x < buffer->width; ++x) {
                row[x] = (seed = seed * 1664525 + 1013904223);
            }
        }
    }
    int appended = 0;
    bool sawBusy = false;
    while (appended < 60 && !sawBusy) {
        ASSERT_TRUE(
            writer->append(noise[appended % 2], MediaTime{appended, 30, MediaTime::kValid, 0}));
        ++appended;
        sawBusy = !writer->readyForMore();
    }
    EXPECT_TRUE(sawBusy) << "never busy after " << appended << " frames";
    const auto start = std::chrono::steady_clock::now();
    while (!writer->readyForMore() && std::chrono::steady_clock::now() - start < 30s) {
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(writer->readyForMore());
    finish(*writer);
    EXPECT_EQ(writer->status(), WriterStatus::completed);
    EXPECT_EQ(testing::probeFrames(dir.file("busy.mov")).size(), static_cast<size_t>(appended));
}

TEST(MatteWriterTest, PoolHandsOutAlignedBuffersAndRecyclesThem) {
    ScratchDir dir;
    std::string error;
    auto writer = makeMatteWriter({dir.file("pool.mov"), 34, 6}, error);
    ASSERT_TRUE(writer) << error;
    PixelBufferPool* pool = writer->bufferPool();
    ASSERT_NE(pool, nullptr);
    PixelBufferRef first = pool->takeBuffer();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width, 34);
    EXPECT_EQ(first->height, 6);
    EXPECT_GE(first->stride, 4 * 34);
    EXPECT_EQ(first->stride % 64, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first->base) % 64, 0u);
    PixelBufferRef second = pool->takeBuffer();
    ASSERT_TRUE(second);
    EXPECT_NE(second->base, first->base);
    uint8_t* const firstBase = first->base;
    first.reset();
    PixelBufferRef third = pool->takeBuffer();
    EXPECT_EQ(third->base, firstBase);
}

TEST(MatteWriterTest, AnOutputPathThatCannotBeCreatedFailsTheStartWithTheLibrarysText) {
    ScratchDir dir;
    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case& c : {Case{dir.file("missing/matte.mov"), "No such file or directory"},
                          Case{dir.path(), "Is a directory"}}) {
        SCOPED_TRACE(c.path);
        std::string error;
        auto writer = makeMatteWriter({c.path, 64, 64}, error);
        ASSERT_TRUE(writer) << error;
        EXPECT_FALSE(writer->open());
        EXPECT_EQ(writer->status(), WriterStatus::failed);
        EXPECT_EQ(writer->error(), c.error);
        // Whatever the caller does next fails without a crash, and finishing still completes.
        writer->beginTimeline(MediaTime::zero());
        EXPECT_TRUE(writer->readyForMore());
        EXPECT_FALSE(writer->append(writer->bufferPool()->takeBuffer(), MediaTime::zero()));
        finish(*writer);
        EXPECT_EQ(writer->status(), WriterStatus::failed);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
}

TEST(MatteWriterTest, RefusedAppendsSayWhy) {
    ScratchDir dir;
    struct Case {
        const char* name;
        bool beginTimeline;
        std::vector<MediaTime> times;  // the last append is refused
        bool wrongBuffer = false;
        const char* error;
    };
    const MediaTime t0{0, 30, MediaTime::kValid, 0}, t1{1, 30, MediaTime::kValid, 0};
    const Case cases[] = {
        {"no_session", false, {t0}, false, "no session was started"},
        {"same_time", true, {t0, t1, t1}, false, "frame times must increase: 1/30 s after 1/30 s"},
        {"going_back", true, {t0, t1, t0}, false, "frame times must increase: 0/30 s after 1/30 s"},
        {"before_session",
         true,
         {t1, t0},
         false,
         "frame time 0/30 s is before the session start 1/30 s"},
        {"invalid_time", true, {t0, MediaTime::invalid()}, false, "the frame's time is not valid"},
        {"wrong_buffer", true, {t0}, true, "the frame is not a 64x32 BGRA buffer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        auto writer = makeMatteWriter({dir.file(std::string(c.name) + ".mov"), 64, 32}, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->open());
        if (c.beginTimeline) writer->beginTimeline(c.times.front());
        for (size_t i = 0; i < c.times.size(); ++i) {
            PixelBufferRef buffer = writer->bufferPool()->takeBuffer();
            ASSERT_TRUE(buffer);
            fillBands(*buffer);
            if (c.wrongBuffer) {
                buffer = std::make_shared<PixelBuffer>(*buffer);
                buffer->width = 62;
            }
            const bool last = i + 1 == c.times.size();
            EXPECT_EQ(writer->append(buffer, c.times[i]), !last);
        }
        EXPECT_EQ(writer->status(), WriterStatus::failed);
        EXPECT_EQ(writer->error(), c.error);
        finish(*writer);
        EXPECT_EQ(writer->status(), WriterStatus::failed);
    }
}

TEST(MatteWriterTest, BadSizesAreRefusedWhenTheWriterIsMade) {
    for (auto [width, height] : {std::pair<int64_t, int64_t>{0, 64},
                                 {64, 0},
                                 {63, 64},
                                 {64, -2},
                                 {1 << 20, 64},
                                 {INT64_MAX, INT64_MAX}}) {
        std::string error;
        EXPECT_EQ(makeMatteWriter({"/tmp/never-written.mov", width, height}, error), nullptr);
        EXPECT_EQ(error,
                  "unsupported frame size " + std::to_string(width) + "x" + std::to_string(height));
    }
}

TEST(MatteWriterTest, DestroyingAnUnfinishedWriterStopsItsThread) {
    ScratchDir dir;
    for (int stage = 0; stage < 4; ++stage) {
        SCOPED_TRACE(stage);
        std::string error;
        auto writer = makeMatteWriter({dir.file("unfinished.mov"), 640, 480}, error);
        ASSERT_TRUE(writer);
        PixelBufferRef kept = writer->bufferPool()->takeBuffer();
        if (stage >= 1) {
            ASSERT_TRUE(writer->open());
        }
        if (stage >= 2) writer->beginTimeline(MediaTime{0, 30, MediaTime::kValid, 0});
        if (stage >= 3) {
            // Leave frames queued behind the encoder.
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(writer->append(writer->bufferPool()->takeBuffer(),
                                           MediaTime{i, 30, MediaTime::kValid, 0}));
            }
        }
        writer.reset();
        // A buffer may outlive its writer.
        ASSERT_TRUE(kept);
        std::memset(kept->base, 0, static_cast<size_t>(kept->stride * kept->height));
    }
}

}  // namespace
}  // namespace figsplit
