// The built figsplit binary in image mode with the real segmenter, on two photographs of
// people: the cut-out is checked against boxes drawn by hand on each photo, one region that is
// surely person and one that is surely background.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "image_fixtures.h"
#include "platform/imaging/imaging.h"
#include "support/processes.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

const char* const kAstronaut = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";
const char* const kMessi = "/usr/share/doc/opencv-doc/examples/data/messi5.jpg";

struct Box {
    int64_t x0, y0, x1, y1;
};

// Share of the box's pixels with alpha of 128 or more.
double opaqueShare(const RgbaImage& cut, const Box& box) {
    int64_t opaque = 0;
    for (int64_t y = box.y0; y < box.y1; ++y)
        for (int64_t x = box.x0; x < box.x1; ++x) opaque += (pixelAt(cut, x, y) & 0xFF) >= 128;
    return static_cast<double>(opaque) / static_cast<double>((box.x1 - box.x0) * (box.y1 - box.y0));
}

struct Photo {
    const char* path;
    int64_t width, height;
    Box person, background;
    double maxPersonTop;
};

const Photo kPhotos[] = {
    // The astronaut's face and orange suit; the grey wall between her hair and the model shuttle.
    {kAstronaut, 512, 512, {190, 90, 260, 160}, {300, 20, 360, 120}, 0.1},
    {kAstronaut, 512, 512, {70, 320, 240, 450}, {300, 20, 360, 120}, 0.1},
    // The footballer's shirt; the grass in the lower left.
    {kMessi, 548, 342, {215, 130, 280, 215}, {20, 290, 180, 335}, 0.25},
};

TEST(ImageModeModel, CutOutKeepsThePersonAndDropsTheBackground) {
    ScratchDir dir;
    for (const Photo& photo : kPhotos) {
        SCOPED_TRACE(photo.path);
        const std::string output = dir.file("cut.png");
        const testing::ProgramRun run = testing::figsplit({photo.path, output});
        ASSERT_EQ(run.exitStatus, 0) << run.stderrText;
        std::smatch match;
        const std::string expectedSize =
            "size " + std::to_string(photo.width) + " " + std::to_string(photo.height) + "\n";
        ASSERT_TRUE(std::regex_match(run.stderrText, match,
                                     std::regex(expectedSize + "persontop (0\\.[0-9]+)\n")))
            << run.stderrText;
        EXPECT_LT(std::stod(match[1].str()), photo.maxPersonTop);

        RgbaImage cut, source;
        std::string error;
        ASSERT_TRUE(decodeImage(output, cut, error)) << error;
        ASSERT_TRUE(decodeImage(photo.path, source, error)) << error;
        ASSERT_EQ(cut.width, photo.width);
        ASSERT_EQ(cut.height, photo.height);
        EXPECT_GT(opaqueShare(cut, photo.person), 0.95);
        EXPECT_LT(opaqueShare(cut, photo.background), 0.05);
        // Where the person shows, the colours are the photo's own; elsewhere nothing remains.
        for (int64_t y = 0; y < cut.height; y += 7) {
            for (int64_t x = 0; x < cut.width; x += 7) {
                const uint32_t c = pixelAt(cut, x, y);
                if ((c & 0xFF) == 0) {
                    ASSERT_EQ(c, 0u) << x << "," << y;
                } else {
                    ASSERT_EQ(c >> 8, pixelAt(source, x, y) >> 8) << x << "," << y;
                }
            }
        }
    }
}

TEST(ImageModeModel, NameCaseOutputExtensionAndVideoOptionsChangeNothing) {
    ScratchDir dir;
    const std::string upper = dir.file("PHOTO.PNG");
    std::filesystem::copy_file(kAstronaut, upper);
    const testing::ProgramRun plain = testing::figsplit({kAstronaut, dir.file("plain.png")});
    ASSERT_EQ(plain.exitStatus, 0) << plain.stderrText;
    const testing::ProgramRun movie =
        testing::figsplit({upper, dir.file("cut.mov"), "--quality", "balanced", "--long-edge", "64",
                           "--smooth", "0", "--ranges", "0-1"});
    ASSERT_EQ(movie.exitStatus, 0) << movie.stderrText;
    EXPECT_EQ(movie.stderrText, plain.stderrText);
    EXPECT_EQ(readFile(dir.file("cut.mov")), readFile(dir.file("plain.png")));
}

TEST(ImageModeModel, SidewaysPhotoReportsItsUprightSize) {
    ScratchDir dir;
    RgbaImage messi;
    std::string error;
    ASSERT_TRUE(decodeImage(kMessi, messi, error)) << error;
    JpegFixture fixture;
    fixture.exifOrientation = 6;  // stored 548 x 342, shown 342 x 548
    const std::string input = dir.file("sideways.jpg");
    writeFile(input, encodeJpeg(messi, fixture));
    const testing::ProgramRun run = testing::figsplit({input, dir.file("cut.png")});
    ASSERT_EQ(run.exitStatus, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText.rfind("size 342 548\npersontop ", 0), 0u) << run.stderrText;
}

TEST(ImageModeModel, UnwritableOutputFailsAfterSegmentationWithoutAReport) {
    ScratchDir dir;
    const std::string output = dir.file("no-such-dir/cut.png");
    const testing::ProgramRun run = testing::figsplit({kAstronaut, output});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.stderrText.rfind("error writer: ", 0), 0u) << run.stderrText;
    EXPECT_NE(run.stderrText.find("No such file or directory"), std::string::npos)
        << run.stderrText;
    EXPECT_EQ(run.stderrText.find("size "), std::string::npos) << run.stderrText;
    EXPECT_EQ(std::count(run.stderrText.begin(), run.stderrText.end(), '\n'), 1);
}

}  // namespace
}  // namespace figsplit
