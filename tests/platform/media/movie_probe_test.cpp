// Probing a movie: its video tracks, duration, display matrix and stored frame size.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "media_fixtures.h"
#include "platform/media/movie.h"

namespace figsplit {
namespace {

using testing::ScratchDir;

constexpr int32_t kOne = 1 << 16;  // 1.0 in 16.16 fixed point
constexpr int32_t kW = 1 << 30;    // 1.0 in 2.30 fixed point

class MovieProbeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir;
        ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=30 -t 2 -c:v libx264 '" +
                                    file("plain.mp4") + "'"));
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string file(const std::string& name) { return dir_->file(name); }

    static ScratchDir* dir_;
};

ScratchDir* MovieProbeTest::dir_ = nullptr;

TEST_F(MovieProbeTest, PlainMovieHasOneTrackItsDurationAndSize) {
    auto asset = openMovieAsset(file("plain.mp4"));
    std::vector<TrackId> tracks;
    std::string error;
    ASSERT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
    ASSERT_EQ(tracks, std::vector<TrackId>{0});

    MediaTime duration;
    ASSERT_TRUE(asset->loadDuration(duration, error)) << error;
    EXPECT_EQ(duration.timescale, 1000000);
    EXPECT_TRUE(duration.valid());
    EXPECT_NEAR(duration.seconds(),
                std::stod(testing::probeFields(file("plain.mp4"))["format.duration"]), 1e-6);
    EXPECT_NEAR(duration.seconds(), 2.0, 0.05);

    Size2D size;
    ASSERT_TRUE(asset->loadNaturalSize(tracks[0], size, error)) << error;
    EXPECT_EQ(size.width, 160);
    EXPECT_EQ(size.height, 120);

    AffineTransform transform{9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(asset->loadPreferredTransform(tracks[0], transform, error)) << error;
    EXPECT_EQ(transform.a, 1);
    EXPECT_EQ(transform.b, 0);
    EXPECT_EQ(transform.c, 0);
    EXPECT_EQ(transform.d, 1);
    EXPECT_EQ(transform.tx, 0);
    EXPECT_EQ(transform.ty, 0);
}

TEST_F(MovieProbeTest, VideoTracksSkipAudioAndComeInContainerOrder) {
    const std::string path = file("multi.mkv");
    ASSERT_TRUE(
        testing::ffmpeg("-f lavfi -i sine=duration=1 -f lavfi -i testsrc=size=160x120:duration=1 "
                        "-f lavfi -i testsrc=size=64x48:duration=1 -map 0:a -map 1:v -map 2:v "
                        "-c:a aac -c:v libx264 '" +
                        path + "'"));
    auto asset = openMovieAsset(path);
    std::vector<TrackId> tracks;
    std::string error;
    ASSERT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
    ASSERT_EQ(tracks, (std::vector<TrackId>{1, 2}));
    Size2D size;
    ASSERT_TRUE(asset->loadNaturalSize(tracks[0], size, error));
    EXPECT_EQ(size.width, 160);
    EXPECT_EQ(size.height, 120);
    // The audio stream is no video track.
    EXPECT_FALSE(asset->loadNaturalSize(0, size, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(asset->makeReader(0, error), nullptr);
}

TEST_F(MovieProbeTest, AudioWithCoverArtHasNoVideoTrack) {
    const std::string cover = file("cover.png");
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc=size=64x64 -frames:v 1 '" + cover + "'"));
    for (const std::string name : {"cover.mp3", "cover.m4a", "plain_audio.m4a"}) {
        SCOPED_TRACE(name);
        const std::string path = file(name);
        const bool withCover = name.rfind("cover", 0) == 0;
        const std::string codec = name.ends_with(".mp3") ? "libmp3lame" : "aac";
        ASSERT_TRUE(testing::ffmpeg(
            "-f lavfi -i sine=duration=1 " +
            (withCover ? "-i '" + cover + "' -map 0 -map 1 " : "") + "-c:a " + codec +
            (withCover ? " -c:v png -disposition:v attached_pic " : " ") + "'" + path + "'"));
        if (withCover) {
            ASSERT_EQ(testing::commandOutput("ffprobe -v error -show_entries stream=codec_type "
                                             "-of csv=p=0 '" +
                                             path + "' | grep -c video"),
                      "1\n")
                << "the fixture should hold its cover as a video stream";
        }
        auto asset = openMovieAsset(path);
        std::vector<TrackId> tracks{42};
        std::string error;
        EXPECT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
        EXPECT_TRUE(tracks.empty());
    }
}

TEST_F(MovieProbeTest, UnreadableFilesFailWithTheLibrarysText) {
    const std::string empty = file("empty.mov");
    std::ofstream(empty).close();
    const std::string random = file("random.mp4");
    testing::writeRandomFile(random, 100000, 7);
    const std::string text = file("text.mov");
    std::ofstream(text) << "not a movie at all\n";

    struct Case {
        std::string path;
        std::string error;  // expected text, or empty for "any"
    };
    for (const Case& c :
         {Case{file("missing.mov"), "No such file or directory"}, Case{dir_->path(), ""},
          Case{empty, ""}, Case{random, ""}, Case{text, ""}}) {
        SCOPED_TRACE(c.path);
        auto asset = openMovieAsset(c.path);
        std::vector<TrackId> tracks;
        std::string error;
        if (asset->loadVideoTracks(tracks, error)) {
            // Some random bytes pass for a raw stream; then nothing decodable may come of it,
            // but the probe itself must hold together.
            EXPECT_EQ(c.path, random);
            continue;
        }
        EXPECT_TRUE(tracks.empty());
        EXPECT_FALSE(error.empty());
        if (!c.error.empty()) {
            EXPECT_EQ(error, c.error);
        }
        // Every other load fails the same way, without a crash.
        MediaTime duration;
        std::string durationError;
        EXPECT_FALSE(asset->loadDuration(duration, durationError));
        EXPECT_EQ(durationError, error);
        Size2D size;
        EXPECT_FALSE(asset->loadNaturalSize(0, size, durationError));
        EXPECT_EQ(asset->makeReader(0, durationError), nullptr);
    }
}

TEST_F(MovieProbeTest, UnknownDurationFailsTheLoad) {
    const std::string path = file("raw.h264");
    ASSERT_TRUE(testing::ffmpeg("-f lavfi -i testsrc=size=64x48:duration=1 -c:v libx264 -f h264 '" +
                                path + "'"));
    auto asset = openMovieAsset(path);
    std::vector<TrackId> tracks;
    std::string error;
    ASSERT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
    ASSERT_EQ(tracks.size(), 1u);
    MediaTime duration;
    EXPECT_FALSE(asset->loadDuration(duration, error));
    EXPECT_FALSE(error.empty());
    Size2D size;
    EXPECT_TRUE(asset->loadNaturalSize(tracks[0], size, error));
    EXPECT_EQ(size.width, 64);
}

TEST_F(MovieProbeTest, PreferredTransformIsTheStoredMatrix) {
    struct Case {
        const char* name;
        std::array<int32_t, 9> matrix;
        AffineTransform expected;
    };
    const Case cases[] = {
        {"right", {0, kOne, 0, -kOne, 0, 0, 0, 0, kW}, {0, 1, -1, 0, 0, 0}},
        {"left", {0, -kOne, 0, kOne, 0, 0, 0, 0, kW}, {0, -1, 1, 0, 0, 0}},
        {"down", {-kOne, 0, 0, 0, -kOne, 0, 0, 0, kW}, {-1, 0, 0, -1, 0, 0}},
        {"mirrored", {-kOne, 0, 0, 0, kOne, 0, 0, 0, kW}, {-1, 0, 0, 1, 0, 0}},
        {"right_moved", {0, kOne, 0, -kOne, 0, 0, 120 * kOne, 0, kW}, {0, 1, -1, 0, 120, 0}},
        {"half_scaled",
         {kOne / 2, 0, 0, 0, kOne / 2, 0, -kOne / 4, 3 * kOne / 2, kW},
         {0.5, 0, 0, 0.5, -0.25, 1.5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = file(std::string(c.name) + ".mov");
        ASSERT_TRUE(testing::remuxWithMatrix(file("plain.mp4"), path, c.matrix));
        auto asset = openMovieAsset(path);
        std::vector<TrackId> tracks;
        std::string error;
        ASSERT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
        ASSERT_EQ(tracks.size(), 1u);
        AffineTransform t;
        ASSERT_TRUE(asset->loadPreferredTransform(tracks[0], t, error)) << error;
        EXPECT_EQ(t.a, c.expected.a);
        EXPECT_EQ(t.b, c.expected.b);
        EXPECT_EQ(t.c, c.expected.c);
        EXPECT_EQ(t.d, c.expected.d);
        EXPECT_EQ(t.tx, c.expected.tx);
        EXPECT_EQ(t.ty, c.expected.ty);
        // The natural size is the stored size, whatever the matrix.
        Size2D size;
        ASSERT_TRUE(asset->loadNaturalSize(tracks[0], size, error));
        EXPECT_EQ(size.width, 160);
        EXPECT_EQ(size.height, 120);
    }
}

}  // namespace
}  // namespace figsplit
