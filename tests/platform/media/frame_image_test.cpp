// Decoded frame -> upright RGB: the turns, the colour range and matrix, and reuse of the scaler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "media_fixtures.h"
#include "platform/media/frame_image.h"
#include "platform/media/movie.h"

namespace figsplit {
namespace {

FramePtr makeFrame(AVPixelFormat format, int width, int height) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    return frame;
}

// A flat YUV 4:2:0 frame.
FramePtr flatYuv(uint8_t y, uint8_t u, uint8_t v, AVColorRange range, AVColorSpace space,
                 AVPixelFormat format = AV_PIX_FMT_YUV420P) {
    FramePtr frame = makeFrame(format, 16, 16);
    for (int row = 0; row < 16; ++row)
        std::memset(frame->data[0] + row * frame->linesize[0], y, 16);
    for (int row = 0; row < 8; ++row) {
        std::memset(frame->data[1] + row * frame->linesize[1], u, 8);
        std::memset(frame->data[2] + row * frame->linesize[2], v, 8);
    }
    frame->color_range = range;
    frame->colorspace = space;
    return frame;
}

std::array<int, 3> pixel(const RgbImage& image, int64_t x, int64_t y) {
    const uint8_t* p = image.pixels.data() + (y * image.width + x) * 3;
    return {p[0], p[1], p[2]};
}

TEST(FrameImageTest, QuarterAndHalfTurns) {
    // A 3 x 2 RGB frame whose pixels are numbered 1..6 row by row:  1 2 3
    //                                                               4 5 6
    FramePtr frame = makeFrame(AV_PIX_FMT_RGB24, 3, 2);
    for (int y = 0; y < 2; ++y) {
        for (int x = 0; x < 3; ++x) {
            uint8_t* p = frame->data[0] + y * frame->linesize[0] + x * 3;
            p[0] = static_cast<uint8_t>(10 * (y * 3 + x + 1));
            p[1] = 7;
            p[2] = static_cast<uint8_t>(y * 3 + x + 1);
        }
    }
    struct Case {
        Orientation orientation;
        int64_t width, height;
        std::vector<int> numbers;  // the upright picture, row by row
    };
    const Case cases[] = {
        {Orientation::up, 3, 2, {1, 2, 3, 4, 5, 6}},
        {Orientation::down, 3, 2, {6, 5, 4, 3, 2, 1}},
        // right: a quarter turn clockwise, the stored left column becomes the top row.
        {Orientation::right, 2, 3, {4, 1, 5, 2, 6, 3}},
        // left: a quarter turn counter-clockwise, the stored right column becomes the top row.
        {Orientation::left, 2, 3, {3, 6, 2, 5, 1, 4}},
    };
    FrameScaler scaler;
    for (const Case& c : cases) {
        SCOPED_TRACE(tagValue(c.orientation));
        RgbImage upright;
        std::string error;
        ASSERT_TRUE(
            frameToUprightRgb(*frame, c.orientation, c.width, c.height, scaler, upright, error))
            << error;
        ASSERT_EQ(upright.width, c.width);
        ASSERT_EQ(upright.height, c.height);
        ASSERT_EQ(upright.pixels.size(), static_cast<size_t>(c.width * c.height * 3));
        std::vector<int> numbers;
        for (int64_t y = 0; y < c.height; ++y) {
            for (int64_t x = 0; x < c.width; ++x) {
                auto [r, g, b] = pixel(upright, x, y);
                EXPECT_EQ(r, 10 * b);
                EXPECT_EQ(g, 7);
                numbers.push_back(b);
            }
        }
        EXPECT_EQ(numbers, c.numbers);
    }
}

TEST(FrameImageTest, ColourRangeAndMatrixOfTheFrameAreHonoured) {
    struct Case {
        const char* name;
        FramePtr frame;
        std::array<int, 3> rgb;
        int tolerance;
    };
    Case cases[] = {
        {"limited black", flatYuv(16, 128, 128, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709), {0, 0, 0}, 1},
        {"limited white",
         flatYuv(235, 128, 128, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709),
         {255, 255, 255},
         1},
        {"limited grey",
         flatYuv(126, 128, 128, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_UNSPECIFIED),
         {128, 128, 128},
         1},
        {"full black", flatYuv(0, 128, 128, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709), {0, 0, 0}, 1},
        {"full grey",
         flatYuv(128, 128, 128, AVCOL_RANGE_JPEG, AVCOL_SPC_SMPTE170M),
         {128, 128, 128},
         1},
        {"full white",
         flatYuv(255, 128, 128, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709),
         {255, 255, 255},
         1},
        // The deprecated "J" formats are full range even without a tag.
        {"yuvj grey",
         flatYuv(128, 128, 128, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_UNSPECIFIED,
                 AV_PIX_FMT_YUVJ420P),
         {128, 128, 128},
         1},
        // Limited-range BT.709 red, read with its own matrix and with BT.601's.
        {"709 red", flatYuv(63, 102, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709), {255, 0, 0}, 4},
        {"601 reading of 709 red",
         flatYuv(63, 102, 240, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M),
         {233, 0, 2},
         4},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Even and odd sizes take different paths through swscale.
        for (auto [width, height] : {std::pair<int64_t, int64_t>{8, 8}, {7, 5}, {16, 16}}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            FrameScaler scaler;
            RgbImage upright;
            std::string error;
            ASSERT_TRUE(
                frameToUprightRgb(*c.frame, Orientation::up, width, height, scaler, upright, error))
                << error;
            for (int64_t y : {int64_t{0}, height - 1}) {
                for (int64_t x : {int64_t{0}, width / 2, width - 1}) {
                    auto rgb = pixel(upright, x, y);
                    for (int k = 0; k < 3; ++k) EXPECT_NEAR(rgb[k], c.rgb[k], c.tolerance) << k;
                }
            }
        }
    }
}

TEST(FrameImageTest, ScalerAndPicturesAreReusedAndRebuiltOnlyWhenTheFrameChanges) {
    FramePtr limited = flatYuv(16, 128, 128, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    FramePtr full = flatYuv(16, 128, 128, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709);
    FrameScaler scaler;
    RgbImage upright;
    std::string error;
    ASSERT_TRUE(frameToUprightRgb(*limited, Orientation::right, 6, 10, scaler, upright, error));
    const SwsContext* context = scaler.context.get();
    const SwsContext* planeScaler = scaler.planeScaler.get();
    ASSERT_NE(planeScaler, nullptr);
    const uint8_t* planes = scaler.planes.data();
    const uint8_t* stored = scaler.stored.data();
    const uint8_t* pixels = upright.pixels.data();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(frameToUprightRgb(*limited, Orientation::right, 6, 10, scaler, upright, error));
        EXPECT_EQ(pixel(upright, 5, 9)[0], 0);
    }
    EXPECT_EQ(scaler.context.get(), context);
    EXPECT_EQ(scaler.planeScaler.get(), planeScaler);
    EXPECT_EQ(scaler.planes.data(), planes);
    EXPECT_EQ(scaler.stored.data(), stored);
    EXPECT_EQ(upright.pixels.data(), pixels);
    // A frame in another range keeps the scaler but changes the result.
    ASSERT_TRUE(frameToUprightRgb(*full, Orientation::right, 6, 10, scaler, upright, error));
    EXPECT_EQ(scaler.context.get(), context);
    EXPECT_NEAR(pixel(upright, 5, 9)[0], 16, 1);
    // Another size needs another scaler.
    ASSERT_TRUE(frameToUprightRgb(*full, Orientation::up, 4, 4, scaler, upright, error));
    EXPECT_EQ(upright.pixels.size(), 4u * 4 * 3);
    EXPECT_NEAR(pixel(upright, 3, 3)[0], 16, 1);
}

TEST(FrameImageTest, RefusesWhatItCannotConvert) {
    FramePtr frame = flatYuv(16, 128, 128, AVCOL_RANGE_MPEG, AVCOL_SPC_BT709);
    FrameScaler scaler;
    RgbImage upright;
    std::string error;
    EXPECT_FALSE(frameToUprightRgb(*frame, Orientation::upMirrored, 8, 8, scaler, upright, error));
    EXPECT_EQ(error, "unsupported orientation 2");
    EXPECT_FALSE(frameToUprightRgb(*frame, Orientation::up, 0, 8, scaler, upright, error));
    EXPECT_EQ(error, "unsupported picture size 0x8");
    EXPECT_FALSE(
        frameToUprightRgb(*frame, Orientation::up, 8, int64_t{1} << 40, scaler, upright, error));
    FramePtr empty(av_frame_alloc());
    EXPECT_FALSE(frameToUprightRgb(*empty, Orientation::up, 8, 8, scaler, upright, error));
    EXPECT_EQ(error, "the frame holds no picture");
    frame->format = AV_PIX_FMT_VAAPI;  // a hardware surface, not pixels in memory
    EXPECT_FALSE(frameToUprightRgb(*frame, Orientation::up, 8, 8, scaler, upright, error));
    EXPECT_EQ(error, "unsupported pixel format vaapi");
}

// Our upright pictures against what ffmpeg's autorotate shows for the same movie, for each
// display matrix that gives a turn.
TEST(FrameImageTest, TurnsMatchFfmpegAutorotate) {
    testing::ScratchDir dir;
    const std::string plain = dir.file("quadrants.mp4");
    // Four flat quadrants of different colours on a landscape frame.
    ASSERT_TRUE(testing::ffmpeg(
        "-f lavfi -i color=c=black:s=96x64,drawbox=x=0:y=0:w=48:h=32:c=red:t=fill,"
        "drawbox=x=48:y=0:w=48:h=32:c=lime:t=fill,drawbox=x=0:y=32:w=48:h=32:c=blue:t=fill,"
        "drawbox=x=48:y=32:w=48:h=32:c=white:t=fill -frames:v 1 -c:v libx264 -pix_fmt yuv444p "
        "-qp 0 '" +
        plain + "'"));
    constexpr int32_t kOne = 1 << 16, kW = 1 << 30;
    struct Case {
        const char* name;
        std::array<int32_t, 9> matrix;
        Orientation orientation;  // what the matrix means for the pipeline
    };
    const Case cases[] = {
        {"right", {0, kOne, 0, -kOne, 0, 0, 0, 0, kW}, Orientation::right},
        {"left", {0, -kOne, 0, kOne, 0, 0, 0, 0, kW}, Orientation::left},
        {"down", {-kOne, 0, 0, 0, -kOne, 0, 0, 0, kW}, Orientation::down},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(std::string(c.name) + ".mov");
        ASSERT_TRUE(testing::remuxWithMatrix(plain, path, c.matrix));
        const bool quarter = c.orientation != Orientation::down;
        const int width = quarter ? 64 : 96, height = quarter ? 96 : 64;
        const std::string expected = testing::commandOutput(
            "ffmpeg -v error -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
        ASSERT_EQ(expected.size(), static_cast<size_t>(width * height * 3));

        auto asset = openMovieAsset(path);
        std::string error;
        auto reader = asset->makeReader(0, error);
        ASSERT_TRUE(reader) << error;
        ASSERT_TRUE(reader->start());
        DecodedSample sample;
        ASSERT_TRUE(reader->nextSample(sample));
        FrameScaler scaler;
        RgbImage upright;
        ASSERT_TRUE(
            frameToUprightRgb(*sample.image, c.orientation, width, height, scaler, upright, error))
            << error;
        // Compare the middle of each quadrant (the edges depend on the scalers' filters).
        for (int y : {height / 4, 3 * height / 4}) {
            for (int x : {width / 4, 3 * width / 4}) {
                auto ours = pixel(upright, x, y);
                for (int k = 0; k < 3; ++k) {
                    const int theirs = static_cast<uint8_t>(expected[(y * width + x) * 3 + k]);
                    EXPECT_NEAR(ours[k], theirs, 3) << "x " << x << " y " << y << " channel " << k;
                }
            }
        }
    }
}

}  // namespace
}  // namespace figsplit
