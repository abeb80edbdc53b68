// The built figsplit binary in image mode on pictures it cannot read and outputs it must not
// write (no model needed: both end the run before segmentation).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "image_fixtures.h"
#include "support/processes.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

TEST(ImageModeE2E, UnreadablePicturesFailWithThePath) {
    ScratchDir dir;
    const Bytes jpeg = encodeJpeg(makeRgba(64, 64, 0x808080FF), JpegFixture{});
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"x.jpg", {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't', 'u', 'r', 'e'}},
        {"empty.png", {}},
        {"cut-short.JPEG", Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2))},
    };
    for (const Case& c : cases) {
        const std::string input = dir.file(c.name);
        writeFile(input, c.bytes);
        const std::string output = dir.file("cut.png");
        const testing::ProgramRun run = testing::figsplit({input, output});
        EXPECT_EQ(run.stderrText, "error could not read image " + input + "\n") << c.name;
        EXPECT_EQ(run.exitStatus, 1) << c.name;
        EXPECT_EQ(run.stdoutText, "");
        EXPECT_FALSE(std::filesystem::exists(output)) << c.name;
    }
    const std::string missing = dir.file("absent.heic");
    const testing::ProgramRun run = testing::figsplit({missing, dir.file("cut.png")});
    EXPECT_EQ(run.stderrText, "error could not read image " + missing + "\n");
}

// `figsplit p.jpg p.jpg`, or an output that leads to the photo through links: the photo is
// kept and the run refused with the line video mode prints. A FIFO is not replaced.
TEST(ImageModeE2E, OutputsThatMustNotBeWritten) {
    ScratchDir dir;
    const std::string photo = dir.file("p.jpg");
    const Bytes jpeg = encodeJpeg(makeRgba(64, 64, 0x808080FF), JpegFixture{});
    writeFile(photo, jpeg);
    ASSERT_EQ(::symlink("p.jpg", dir.file("link.png").c_str()), 0);
    ASSERT_EQ(::link(photo.c_str(), dir.file("hard.png").c_str()), 0);
    for (const std::string& output : {photo, dir.file("link.png"), dir.file("hard.png")}) {
        const testing::ProgramRun run = testing::figsplit({photo, output});
        EXPECT_EQ(run.stderrText, "error output would overwrite the input " + photo + "\n")
            << output;
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(readFile(photo), jpeg);
    }

    const std::string fifo = dir.file("cut.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const testing::ProgramRun run = testing::figsplit({photo, fifo});
    EXPECT_EQ(run.stderrText, "error output is a FIFO, not a regular file: " + fifo + "\n");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

}  // namespace
}  // namespace figsplit
