// The figsplit binary in video mode on movies made here with the ffmpeg command-line tool: the
// matte movie's container, codec, size, frames, frame times, key frames and pixels, and the exact
// lines on standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e_support.h"
#include "report/report.h"

namespace figsplit {
namespace {

namespace fs = std::filesystem;
using testing::decodeRgbFrames;
using testing::figsplit;
using testing::MovieFacts;
using testing::MovieFixture;
using testing::probeMovie;
using testing::ProgramRun;
using testing::q;

// The lines a successful run over `source` writes.
std::string expectedLines(const MovieFacts& source, int64_t outW, int64_t outH) {
    std::string lines = "duration " + formatDouble(source.duration) + "\n";
    lines += "size " + formatInteger(outW) + " " + formatInteger(outH) + "\n";
    for (size_t i = 4; i < source.frames.size(); i += 5) {
        lines += "time " + formatDouble(source.frames[i].time.seconds()) + "\n";
    }
    lines += "frames " + formatInteger(static_cast<int64_t>(source.frames.size())) + "\n";
    return lines;
}

// Checks the matte movie against its source: container, codec, size, one frame per source frame
// at the same time, a key frame at least every 0.5 s, opaque grey pixels.
void expectMatteMovie(const std::string& sourcePath, const std::string& mattePath, int64_t outW,
                      int64_t outH) {
    const MovieFacts source = probeMovie(sourcePath);
    const MovieFacts matte = probeMovie(mattePath);
    EXPECT_NE(matte.formatName.find("mov"), std::string::npos) << matte.formatName;
    EXPECT_EQ(matte.majorBrand, "qt  ");
    EXPECT_EQ(matte.codec, "h264");
    EXPECT_EQ(matte.width, outW);
    EXPECT_EQ(matte.height, outH);
    EXPECT_FALSE(matte.hasDisplayMatrix);

    ASSERT_FALSE(source.frames.empty());
    ASSERT_EQ(matte.frames.size(), source.frames.size());
    for (size_t i = 0; i < source.frames.size(); ++i) {
        EXPECT_EQ(matte.frames[i].time, source.frames[i].time)
            << "frame " << i << ": " << matte.frames[i].time.seconds() << " vs "
            << source.frames[i].time.seconds();
    }

    ASSERT_TRUE(matte.frames.front().key);
    double lastKey = matte.frames.front().time.seconds();
    for (const testing::ProbedFrame& frame : matte.frames) {
        EXPECT_LE(frame.time.seconds() - lastKey, 0.5 + 1e-9) << "at " << frame.time.seconds();
        if (frame.key) lastKey = frame.time.seconds();
    }

    const auto pixels = decodeRgbFrames(mattePath, outW, outH);
    EXPECT_EQ(pixels.size(), source.frames.size());
    for (size_t f = 0; f < pixels.size(); ++f) {
        const std::vector<uint8_t>& rgb = pixels[f];
        for (size_t i = 0; i < rgb.size(); i += 3) {
            const int spread = std::max({rgb[i], rgb[i + 1], rgb[i + 2]}) -
                               std::min({rgb[i], rgb[i + 1], rgb[i + 2]});
            ASSERT_LE(spread, 3) << "frame " << f << " pixel " << i / 3 << " is not grey";
        }
    }
}

using VideoE2E = MovieFixture;

TEST_F(VideoE2E, TheMatteMovieFollowsItsSourceFrameForFrame) {
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p";
    const std::string cfr = testPattern("cfr.mp4", "320x240", 2, h264 + " -bf 0");
    struct Case {
        std::string name;
        std::string source;
        std::vector<std::string> options;
        int64_t outW, outH;
    };
    const Case cases[] = {
        {"constant rate", cfr, {}, 320, 240},
        {"variable rate",
         make("vfr.mkv",
              "-f lavfi -t 2 -i testsrc2=size=320x240:rate=50 -vf "
              "\"setpts='if(lt(N,20),N*0.04,0.8+(N-20)*0.1)/TB'\" -fps_mode vfr " +
                  h264),
         {},
         320,
         240},
        {"first frame at 10 s",
         make("late.mp4",
              "-f lavfi -t 1 -i testsrc2=size=320x240:rate=25 -vf setpts=PTS+10/TB " + h264),
         {},
         320,
         240},
        {"B-frames", testPattern("bframes.mp4", "320x240", 2, h264 + " -bf 3"), {}, 320, 240},
        {"quarter turn",
         make("rot90.mp4", "-i " + q(cfr) + " -c copy -metadata:s:v rotate=90"),
         {},
         240,
         320},
        {"half turn",
         make("rot180.mp4", "-i " + q(cfr) + " -c copy -metadata:s:v rotate=180"),
         {},
         320,
         240},
        {"three quarter turn",
         make("rot270.mp4", "-i " + q(cfr) + " -c copy -metadata:s:v rotate=270"),
         {},
         240,
         320},
        {"odd size",
         make("odd.mkv",
              "-f lavfi -t 0.4 -i testsrc2=size=320x240:rate=25 -vf scale=161:91 "
              "-pix_fmt yuv444p -c:v ffv1"),
         {},
         162,
         92},
        {"tiny",
         make("tiny.mkv",
              "-f lavfi -t 0.4 -i testsrc2=size=64x64:rate=25 -vf scale=1:1 "
              "-pix_fmt yuv444p -c:v ffv1"),
         {},
         2,
         2},
        {"scaled down", cfr, {"--long-edge", "100"}, 100, 76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string output = dir_.file("matte-" + std::to_string(&c - cases) + ".mov");
        std::vector<std::string> arguments{c.source, output, "--quality", "balanced"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        const ProgramRun run = figsplit(arguments);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.stderrText, expectedLines(probeMovie(c.source), c.outW, c.outH));
        EXPECT_EQ(run.stdoutText, "");
        expectMatteMovie(c.source, output, c.outW, c.outH);
    }
}

// People in the picture come out white, with the accurate model; frames outside the ranges are
// black; an existing output file is replaced whatever its name.
TEST_F(VideoE2E, PeopleComeOutWhiteOutsideTheRangesBlack) {
    const std::string vtest = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";
    if (!fs::exists(vtest)) GTEST_SKIP() << "needs the opencv-doc package";
    const std::string source =
        make("people.mp4", "-t 1.5 -i " + q(vtest) + " -vf scale=384:288 -c:v libx264 -bf 2");
    const std::string output = dir_.file("matte.mp4");  // extension plays no part
    std::ofstream(output) << "an old file";

    const ProgramRun run = figsplit({source, output, "--ranges", "0.5-1", "--smooth", "0"});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    const MovieFacts facts = probeMovie(source);
    EXPECT_EQ(run.stderrText, expectedLines(facts, 384, 288));
    expectMatteMovie(source, output, 384, 288);

    const auto frames = decodeRgbFrames(output, 384, 288);
    ASSERT_EQ(frames.size(), facts.frames.size());
    int brightInside = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
        const double seconds = facts.frames[f].time.seconds();
        const uint8_t brightest = *std::max_element(frames[f].begin(), frames[f].end());
        if (seconds >= 0.5 && seconds <= 1) {
            if (brightest > 200) ++brightInside;
        } else {
            EXPECT_LE(brightest, 3) << "frame at " << seconds << " s is outside the ranges";
        }
    }
    EXPECT_GT(brightInside, 0) << "no person found in the frames inside the range";
}

}  // namespace
}  // namespace figsplit
