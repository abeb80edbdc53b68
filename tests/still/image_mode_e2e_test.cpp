// The built figsplit binary in image mode on pictures it cannot read (no model needed).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "image_fixtures.h"
#include "run_figsplit.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

TEST(ImageModeE2E, UnreadablePicturesFailWithThePath) {
    TempDir dir;
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
        const ProcessRun run = runFigsplit({input, output});
        EXPECT_EQ(run.err, "error could not read image " + input + "\n") << c.name;
        EXPECT_EQ(run.exitStatus, 1) << c.name;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(std::filesystem::exists(output)) << c.name;
    }
    const std::string missing = dir.file("absent.heic");
    const ProcessRun run = runFigsplit({missing, dir.file("cut.png")});
    EXPECT_EQ(run.err, "error could not read image " + missing + "\n");
}

}  // namespace
}  // namespace figsplit
