// The decoding reader: every frame, in presentation order, at the times the file holds; its
// end, its failures, and stopping early.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
}

#include "media_fixtures.h"
#include "platform/media/movie.h"

namespace figsplit {
namespace {

using testing::ScratchDir;

std::unique_ptr<MovieReader> readerFor(const std::string& path) {
    auto asset = openMovieAsset(path);
    std::vector<TrackId> tracks;
    std::string error;
    if (!asset->loadVideoTracks(tracks, error) || tracks.empty()) {
        ADD_FAILURE() << path << ": " << error;
        return nullptr;
    }
    auto reader = asset->makeReader(tracks[0], error);
    EXPECT_TRUE(reader) << error;
    return reader;
}

struct ReadResult {
    std::vector<MediaTime> times;
    ReaderStatus status = ReaderStatus::unknown;
    std::optional<std::string> error;
};

ReadResult readAll(const std::string& path) {
    ReadResult result;
    auto reader = readerFor(path);
    if (!reader) return result;
    EXPECT_EQ(reader->status(), ReaderStatus::unknown);
    EXPECT_TRUE(reader->start());
    EXPECT_EQ(reader->status(), ReaderStatus::reading);
    DecodedSample sample;
    while (reader->nextSample(sample)) {
        EXPECT_TRUE(sample.image);
        EXPECT_EQ(reader->status(), ReaderStatus::reading);
        result.times.push_back(sample.pts);
    }
    result.status = reader->status();
    result.error = reader->error();
    // The end stays the end.
    EXPECT_FALSE(reader->nextSample(sample));
    EXPECT_EQ(reader->status(), result.status);
    return result;
}

class MovieReaderTest : public ::testing::Test {
  protected:
    ScratchDir dir_;
};

TEST_F(MovieReaderTest, FramesComeInPresentationOrderAtTheFilesTimes) {
    struct Case {
        const char* name;
        std::string arguments;  // ffmpeg arguments before the output path
        size_t frames;
    };
    const std::string source = "-f lavfi -i testsrc=size=96x64:rate=30 ";
    const Case cases[] = {
        // B-frames: decode order differs from presentation order.
        {"bframes.mp4", source + "-frames:v 40 -c:v libx264 -bf 3", 40},
        // Variable frame rate: gaps of 1, 2, 3 ... frames of 1/30 s, kept as they are.
        {"variable.mkv",
         source + "-frames:v 25 -vf setpts='N*(N+1)/2' -fps_mode passthrough "
                  "-c:v libx264",
         25},
        {"variable.mp4",
         source + "-frames:v 25 -vf setpts='N*(N+1)/2' -fps_mode passthrough "
                  "-c:v libx264 -bf 2",
         25},
        // The first frame ten seconds late.
        {"late.mov", source + "-frames:v 20 -vf setpts=PTS+10/TB -c:v libx264", 20},
        // MPEG-TS: a 90 kHz clock that does not start at zero.
        {"stream.ts", source + "-frames:v 30 -c:v libx264", 30},
        {"lone.mp4", source + "-frames:v 1 -c:v libx264", 1},
        {"intra.avi", source + "-frames:v 12 -c:v mjpeg", 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file(c.name);
        ASSERT_TRUE(testing::ffmpeg(c.arguments + " '" + path + "'"));
        const auto expected = testing::probeFrames(path);
        ASSERT_EQ(expected.size(), c.frames);
        const ReadResult read = readAll(path);
        EXPECT_EQ(read.status, ReaderStatus::completed);
        EXPECT_EQ(read.error, std::nullopt);
        ASSERT_EQ(read.times.size(), c.frames);
        for (size_t i = 0; i < c.frames; ++i) {
            EXPECT_TRUE(read.times[i].valid());
            EXPECT_EQ(testing::toRational(read.times[i]), expected[i].time)
                << "frame " << i << ": " << read.times[i].value << "/" << read.times[i].timescale;
            if (i > 0) {
                EXPECT_GT(read.times[i].seconds(), read.times[i - 1].seconds());
            }
        }
    }
}

TEST_F(MovieReaderTest, AStreamWithoutTimesTakesThemFromItsFrameRate) {
    const std::string path = dir_.file("raw.h264");
    ASSERT_TRUE(testing::ffmpeg(
        "-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 10 -c:v libx264 '" + path + "'"));
    ASSERT_TRUE(testing::probeFrames(path).empty()) << "the fixture should carry no times";
    const ReadResult read = readAll(path);
    EXPECT_EQ(read.status, ReaderStatus::completed);
    ASSERT_EQ(read.times.size(), 10u);
    for (size_t i = 0; i < read.times.size(); ++i) {
        EXPECT_TRUE(read.times[i].valid());
        EXPECT_EQ(testing::toRational(read.times[i]),
                  (testing::Rational{static_cast<int64_t>(i), 30}))
            << read.times[i].value << "/" << read.times[i].timescale;
    }
}

TEST_F(MovieReaderTest, DamagedFilesEndTheReadWithoutACrash) {
    const std::string whole = dir_.file("whole.mp4");
    ASSERT_TRUE(
        testing::ffmpeg("-f lavfi -i testsrc=size=160x120:rate=30 -frames:v 90 "
                        "-c:v libx264 -movflags +faststart '" +
                        whole + "'"));
    const std::string wholeMkv = dir_.file("whole.mkv");
    ASSERT_TRUE(testing::ffmpeg("-i '" + whole + "' -c copy '" + wholeMkv + "'"));

    auto copyPart = [&](const std::string& from, const std::string& to, double fraction) {
        const auto size = std::filesystem::file_size(from);
        std::ifstream in(from, std::ios::binary);
        std::string bytes(static_cast<size_t>(size * fraction), '\0');
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(to, std::ios::binary) << bytes;
    };
    const std::string truncatedMp4 = dir_.file("truncated.mp4");
    copyPart(whole, truncatedMp4, 0.6);
    const std::string truncatedMkv = dir_.file("truncated.mkv");
    copyPart(wholeMkv, truncatedMkv, 0.5);
    const std::string scrambled = dir_.file("scrambled.mp4");
    {
        std::fstream file(whole, std::ios::in | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), {});
        std::mt19937 random(3);
        for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i) {
            bytes[i] = static_cast<char>(random());
        }
        std::ofstream(scrambled, std::ios::binary) << bytes;
    }

    for (const std::string& path : {truncatedMp4, truncatedMkv, scrambled}) {
        SCOPED_TRACE(path);
        const ReadResult read = readAll(path);
        EXPECT_LT(read.times.size(), 90u);
        EXPECT_GT(read.times.size(), 0u);
        if (read.status == ReaderStatus::failed) {
            ASSERT_TRUE(read.error);
            EXPECT_FALSE(read.error->empty());
        } else {
            EXPECT_EQ(read.status, ReaderStatus::completed);
        }
    }
    // A file cut inside its packets reports the library's text.
    const ReadResult cut = readAll(truncatedMp4);
    EXPECT_EQ(cut.status, ReaderStatus::failed);
    EXPECT_EQ(cut.error, "Invalid data found when processing input");
}

TEST_F(MovieReaderTest, StoppingEarlyJoinsTheDecoder) {
    const std::string path = dir_.file("long.mp4");
    ASSERT_TRUE(
        testing::ffmpeg("-f lavfi -i testsrc=size=320x240:rate=30 -frames:v 300 "
                        "-c:v libx264 '" +
                        path + "'"));
    const auto start = std::chrono::steady_clock::now();
    for (int taken : {-1, 0, 1, 5}) {
        SCOPED_TRACE(taken);
        auto reader = readerFor(path);
        ASSERT_TRUE(reader);
        if (taken >= 0) {
            ASSERT_TRUE(reader->start());
        }
        DecodedSample sample;
        for (int i = 0; i < taken; ++i) ASSERT_TRUE(reader->nextSample(sample));
        if (taken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // A frame may outlive its reader.
        FramePtr kept = std::move(sample.image);
        reader.reset();
        if (kept) {
            EXPECT_EQ(kept->width, 320);
        }
    }
    // Far quicker than decoding the whole movie four times would be; mostly here so that a
    // deadlock shows as a failure rather than a hang of the whole suite.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A FIFO can be opened only once: the reader takes over the asset's open movie, packets read
// while probing included, and every frame comes through. The asset is then done with it.
TEST_F(MovieReaderTest, AFifoIsOpenedOnceAndReadThrough) {
    const std::string clip = dir_.file("clip.ts");
    ASSERT_TRUE(
        testing::ffmpeg("-f lavfi -i testsrc=size=64x48:rate=10 -frames:v 20 "
                        "-c:v libx264 -bf 0 -f mpegts '" +
                        clip + "'"));
    const std::string fifo = dir_.file("clip.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread feeder([&] {
        std::ifstream in(clip, std::ios::binary);
        std::ofstream out(fifo, std::ios::binary);
        out << in.rdbuf();
    });
    auto asset = openMovieAsset(fifo);
    std::vector<TrackId> tracks;
    std::string error;
    ASSERT_TRUE(asset->loadVideoTracks(tracks, error)) << error;
    ASSERT_EQ(tracks.size(), 1u);
    auto reader = asset->makeReader(tracks[0], error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(asset->makeReader(tracks[0], error), nullptr) << "one reader per asset";
    EXPECT_FALSE(asset->loadVideoTracks(tracks, error));
    ASSERT_TRUE(reader->start());
    DecodedSample sample;
    int frames = 0;
    while (reader->nextSample(sample)) ++frames;
    feeder.join();
    EXPECT_EQ(reader->status(), ReaderStatus::completed) << reader->error().value_or("");
    EXPECT_EQ(frames, 20);
}

TEST_F(MovieReaderTest, StartingTwiceIsRefused) {
    const std::string path = dir_.file("short.mp4");
    ASSERT_TRUE(testing::ffmpeg(
        "-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 3 -c:v libx264 '" + path + "'"));
    auto reader = readerFor(path);
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->start());
    EXPECT_FALSE(reader->start());
    DecodedSample sample;
    int frames = 0;
    while (reader->nextSample(sample)) ++frames;
    EXPECT_EQ(frames, 3);
    EXPECT_EQ(reader->status(), ReaderStatus::completed);
}

}  // namespace
}  // namespace figsplit
