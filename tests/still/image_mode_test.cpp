// Image mode end to end in-process: real decoding and PNG writing on temporary files, with a
// scripted segmenter in place of the model.
#include <gtest/gtest.h>

#include <filesystem>

#include "image_fixtures.h"
#include "still/image_run.h"

namespace figsplit {
namespace {

using namespace figsplit::testing;

// Returns a fixed matte (or failure) and remembers the picture it was given.
class ScriptedSegmenter : public Segmenter {
  public:
    ImageSize wanted;
    GreyImage matte;
    bool fails = false;
    RgbImage* seen = nullptr;

    ImageSize inputSize(int64_t, int64_t) const override { return wanted; }
    bool perform(const RgbImage& upright, GreyImage& out, std::string& error) override {
        if (seen) *seen = upright;
        if (fails) {
            error = "the request failed";
            return false;
        }
        out = matte;
        return true;
    }
};

struct Script {
    ImageSize wanted{20, 15};
    GreyImage matte;
    bool fails = false;
    std::string loadError;  // non-empty: the segmenter does not load
    RgbImage seen;
};

ImageServices scripted(Script& script) {
    ImageServices services = realImageServices();
    services.makeSegmenter = [&script]() {
        SegmenterResult result;
        if (!script.loadError.empty()) {
            result.error = script.loadError;
            return result;
        }
        auto segmenter = std::make_unique<ScriptedSegmenter>();
        segmenter->wanted = script.wanted;
        segmenter->matte = script.matte;
        segmenter->fails = script.fails;
        segmenter->seen = &script.seen;
        result.segmenter = std::move(segmenter);
        return result;
    };
    return services;
}

// A matte of width x height, 255 in the left half from row `top` down, 0 elsewhere; rows
// padded to a stride of width + 3 with 255.
GreyImage leftHalfFrom(int64_t width, int64_t height, int64_t top) {
    GreyImage m;
    m.width = width;
    m.height = height;
    m.stride = width + 3;
    m.bytes.assign(static_cast<size_t>(m.stride * height), 255);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            m.bytes[static_cast<size_t>(y * m.stride + x)] = (x < width / 2 && y >= top) ? 255 : 0;
    return m;
}

RgbaImage gradient(int64_t width, int64_t height) {
    RgbaImage image = makeRgba(width, height);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            setPixel(image, x, y,
                     (static_cast<uint32_t>(x * 6) << 24) | (static_cast<uint32_t>(y * 8) << 16) |
                         (0x40u << 8) | 0xFFu);
    return image;
}

TEST(CutOut, WritesThePictureWhereTheMatteMarksAPersonAndReports) {
    TempDir dir;
    const RgbaImage picture = gradient(40, 30);
    const std::string input = dir.file("photo.PNG");
    writeFile(input, encodePng(picture, PngFixture{}));
    Script script;
    script.matte = leftHalfFrom(20, 15, 3);

    for (const char* name : {"cut.png", "cut.mov"}) {
        const std::string output = dir.file(name);
        const CutOutResult result = cutOut(input, output, scripted(script));
        ASSERT_EQ(result.failure, "");
        EXPECT_EQ(result.width, 40);
        EXPECT_EQ(result.height, 30);
        EXPECT_EQ(result.personTop, 0.2);

        // The segmenter saw the picture shrunk to the size it asked for.
        EXPECT_EQ(script.seen.width, 20);
        EXPECT_EQ(script.seen.height, 15);

        RgbaImage cut;
        std::string error;
        ASSERT_TRUE(decodeImage(output, cut, error)) << name << ": " << error;
        ASSERT_EQ(cut.width, 40);
        ASSERT_EQ(cut.height, 30);
        // Well inside the person: the picture's own colour, opaque.
        EXPECT_EQ(pixelAt(cut, 5, 20), pixelAt(picture, 5, 20));
        // Well inside the background: nothing at all.
        EXPECT_EQ(pixelAt(cut, 35, 20), 0u);
        EXPECT_EQ(pixelAt(cut, 5, 1), 0u);
    }
}

TEST(CutOut, ReportsTheUprightSizeOfASidewaysPhoto) {
    TempDir dir;
    // Stored 48 x 32 with "turn right": shown 32 wide and 48 tall.
    JpegFixture fixture;
    fixture.exifOrientation = 6;
    const std::string input = dir.file("portrait.jpeg");
    writeFile(input, encodeJpeg(makeRgba(48, 32, 0x808080FF), fixture));
    Script script;
    script.wanted = {32, 48};
    script.matte = leftHalfFrom(8, 12, 0);
    const std::string output = dir.file("cut.png");
    const CutOutResult result = cutOut(input, output, scripted(script));
    ASSERT_EQ(result.failure, "");
    EXPECT_EQ(result.width, 32);
    EXPECT_EQ(result.height, 48);
    EXPECT_EQ(script.seen.width, 32);
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(output, cut, error)) << error;
    EXPECT_EQ(cut.width, 32);
    EXPECT_EQ(cut.height, 48);
}

TEST(CutOut, NoPersonStillWritesAClearPicture) {
    TempDir dir;
    const std::string input = dir.file("empty-room.png");
    writeFile(input, encodePng(gradient(16, 16), PngFixture{}));
    Script script;
    script.wanted = {16, 16};
    script.matte = leftHalfFrom(16, 16, 16);  // no row qualifies; padding is 255
    const std::string output = dir.file("cut.png");
    const CutOutResult result = cutOut(input, output, scripted(script));
    ASSERT_EQ(result.failure, "");
    EXPECT_EQ(result.personTop, 1.0);
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(output, cut, error)) << error;
    for (uint8_t byte : cut.pixels) ASSERT_EQ(byte, 0);
}

TEST(CutOut, OutputOverTheInputReplacesIt) {
    TempDir dir;
    const std::string path = dir.file("photo.jpg");
    writeFile(path, encodeJpeg(makeRgba(32, 32, 0x4080C0FF), JpegFixture{}));
    Script script;
    script.wanted = {32, 32};
    script.matte = leftHalfFrom(32, 32, 0);
    const CutOutResult result = cutOut(path, path, scripted(script));
    ASSERT_EQ(result.failure, "");
    RgbaImage cut;
    std::string error;
    ASSERT_TRUE(decodeImage(path, cut, error)) << error;
    EXPECT_EQ(pixelAt(cut, 24, 10) & 0xFF, 0u);
    EXPECT_EQ(pixelAt(cut, 4, 10) & 0xFF, 0xFFu);
}

TEST(CutOut, EachFailureHasItsLineAndLeavesTheOldOutputAlone) {
    TempDir dir;
    const std::string good = dir.file("photo.png");
    writeFile(good, encodePng(gradient(16, 16), PngFixture{}));
    const std::string bad = dir.file("x.jpg");
    writeFile(bad, {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'});
    const std::string output = dir.file("cut.png");

    struct Case {
        const char* name;
        std::string input;
        Script script;
        std::string expected;
    };
    std::vector<Case> cases;
    cases.push_back({"undecodable", bad, {}, "could not read image " + bad});
    cases.push_back({"empty file", dir.file("empty.png"), {}, ""});
    cases.back().expected = "could not read image " + cases.back().input;
    writeFile(cases.back().input, {});
    cases.push_back({"missing file", dir.file("absent.heic"), {}, ""});
    cases.back().expected = "could not read image " + cases.back().input;
    Script noModel;
    noModel.loadError = "model missing";
    cases.push_back({"segmenter does not load", good, noModel, "segmentation: model missing"});
    Script failing;
    failing.fails = true;
    failing.matte = leftHalfFrom(4, 4, 0);
    cases.push_back({"perform fails", good, failing, "segmentation: the request failed"});
    Script noMatte;  // perform succeeds with a matte of width 0
    cases.push_back({"no observation", good, noMatte, "no person mask"});

    for (const Case& c : cases) {
        writeFile(output, {'o', 'l', 'd'});
        Script script = c.script;
        const CutOutResult result = cutOut(c.input, output, scripted(script));
        EXPECT_EQ(result.failure, c.expected) << c.name;
        EXPECT_EQ(readFile(output), (Bytes{'o', 'l', 'd'})) << c.name;
    }

    Script fine;
    fine.matte = leftHalfFrom(4, 4, 0);
    const std::string unwritable = dir.file("no-such-dir/cut.png");
    const CutOutResult result = cutOut(good, unwritable, scripted(fine));
    EXPECT_EQ(result.failure.rfind("writer: ", 0), 0u) << result.failure;
    EXPECT_NE(result.failure.find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace figsplit
