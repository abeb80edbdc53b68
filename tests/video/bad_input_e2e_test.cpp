// The figsplit binary in video mode on inputs it cannot use and outputs it cannot write: the
// exact failure line, the exit status, and what is left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "e2e_support.h"

namespace figsplit {
namespace {

namespace fs = std::filesystem;
using testing::figsplit;
using testing::lastLine;
using testing::probeMovie;
using testing::ProgramRun;
using testing::q;

using BadInput = testing::MovieFixture;

TEST_F(BadInput, InputsWithoutAUsableVideoTrack) {
    const std::string empty = dir_.file("empty.mov");
    std::ofstream(empty).flush();
    const std::string random = dir_.file("random.mp4");
    {
        std::mt19937 generator(1234);
        std::ofstream out(random, std::ios::binary);
        for (int i = 0; i < 100000; ++i) out.put(static_cast<char>(generator() & 0xFF));
    }
    const std::string cfr = testPattern("cfr.mp4", "320x240", 1, "-c:v libx264");
    const std::string cut = dir_.file("cut.mp4");  // index at the end, cut off
    fs::copy_file(cfr, cut);
    fs::resize_file(cut, fs::file_size(cfr) / 2);
    const std::string audio = make("audio.m4a", "-f lavfi -t 1 -i sine=frequency=440 -c:a aac");
    const std::string picture = make("cover.jpg", "-f lavfi -i color=c=red:size=64x64 -frames:v 1");
    const std::string cover =
        make("cover.mp3", "-f lavfi -t 1 -i sine=frequency=440 -i " + q(picture) +
                              " -map 0:a -map 1:v -c:a libmp3lame -c:v copy"
                              " -disposition:v attached_pic");

    for (const std::string& input : {dir_.file("missing.mov"), empty, random, cut, audio, cover}) {
        SCOPED_TRACE(input);
        const std::string output = dir_.file("out.mov");
        std::ofstream(output) << "an old file";
        const ProgramRun run = figsplit({input, output});
        EXPECT_EQ(run.stderrText, "error no video track in " + input + "\n");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_TRUE(fs::exists(output)) << "the output is touched only after the probe";
    }
}

TEST_F(BadInput, ATruncatedMovieEndsCleanly) {
    // The index comes first, so the cut leaves a readable track whose data stops half-way.
    const std::string whole =
        testPattern("whole.mp4", "320x240", 2, "-c:v libx264 -movflags +faststart");
    const std::string cut = dir_.file("cut.mp4");
    fs::copy_file(whole, cut);
    fs::resize_file(cut, fs::file_size(whole) / 2);

    // The old output is replaced by a finished movie or kept whole; no temporary file stays.
    const std::string output = dir_.file("out.mov");
    std::ofstream(output) << "an old file";
    const ProgramRun run = figsplit({cut, output, "--quality", "balanced"});
    ASSERT_TRUE(run.exitStatus == 0 || run.exitStatus == 1) << run.exitStatus;
    if (run.exitStatus == 0) {
        EXPECT_FALSE(probeMovie(output).frames.empty());
    } else {
        EXPECT_EQ(fs::file_size(output), std::string("an old file").size());
    }
    for (const auto& entry : fs::directory_iterator(fs::path(output).parent_path())) {
        EXPECT_NE(entry.path().filename().string().rfind(".out.mov.", 0), 0u) << entry.path();
    }
    EXPECT_TRUE(run.stderrText.starts_with("duration 2.0\nsize 320 240\n")) << run.stderrText;
    const std::string last = lastLine(run.stderrText);
    EXPECT_TRUE(last.starts_with(run.exitStatus == 0 ? "frames " : "error reader: ")) << last;
}

TEST_F(BadInput, OutputsThatCannotBeWritten) {
    const std::string cfr = testPattern("cfr.mp4", "320x240", 0.4, "-c:v libx264");

    const std::string nowhere = dir_.file("no-such-directory/out.mov");
    ProgramRun run = figsplit({cfr, nowhere});
    EXPECT_EQ(run.exitStatus, 1);
    // One line with a reason after the prefix.
    const std::string start = "duration 0.4\nsize 320 240\nerror writer: ";
    EXPECT_TRUE(run.stderrText.starts_with(start)) << run.stderrText;
    EXPECT_EQ(std::count(run.stderrText.begin(), run.stderrText.end(), '\n'), 3);
    EXPECT_GT(run.stderrText.size(), start.size() + 1);
    EXPECT_FALSE(fs::exists(dir_.file("no-such-directory")));

    // The output named as the input, directly or through a link: refused, the input kept.
    const auto sizeBefore = fs::file_size(cfr);
    fs::create_symlink(cfr, dir_.file("link.mov"));
    fs::create_hard_link(cfr, dir_.file("hard.mov"));
    for (const std::string& output : {cfr, dir_.file("link.mov"), dir_.file("hard.mov")}) {
        SCOPED_TRACE(output);
        run = figsplit({cfr, output});
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(
            run.stderrText,
            "duration 0.4\nsize 320 240\nerror output would overwrite the input " + cfr + "\n");
        EXPECT_EQ(fs::file_size(cfr), sizeBefore);
        EXPECT_EQ(probeMovie(cfr).frames.size(), 10u);
    }
}

}  // namespace
}  // namespace figsplit
