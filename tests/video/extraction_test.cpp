// Matte extraction on one frame at a time: the ranges gate, the segmenter's input, the stretch
// to the output size, silent segmentation failures, and the stride of the render target.
#include <gtest/gtest.h>

#include <limits>

#include "video/video_run.h"
#include "video_fakes.h"

namespace figsplit {
namespace {

using testing::fakeFrame;
using testing::FakeMovieScript;
using testing::FakeSegmenterScript;
using testing::fakeServices;
using testing::FakeWriterScript;
using testing::Journal;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Ranges, BoundsInclusiveNaNOutsideEmptyListGatesEverything) {
    const std::optional<std::vector<TimeRange>> absent;
    const std::optional<std::vector<TimeRange>> empty = std::vector<TimeRange>{};
    const std::optional<std::vector<TimeRange>> two = std::vector<TimeRange>{{0, 1}, {2, 3}};
    struct Case {
        const std::optional<std::vector<TimeRange>>* ranges;
        double seconds;
        bool inside;
    };
    const Case cases[] = {
        {&absent, 0, true},   {&absent, kNaN, true}, {&absent, -5, true}, {&empty, 0, false},
        {&empty, 1e9, false}, {&two, 0, true},       {&two, 1, true},     {&two, 1.5, false},
        {&two, 2, true},      {&two, 2.5, true},     {&two, 3, true},     {&two, 3.0000001, false},
        {&two, -0.1, false},  {&two, kNaN, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(insideRanges(*c.ranges, c.seconds), c.inside)
            << c.seconds << " with " << (c.ranges->has_value() ? c.ranges->value().size() : -1);
    }
}

TEST(MaskBytes, CopiesOnlyTheFirstWidthBytesOfEachPaddedRow) {
    GreyImage buffer{5, 3, 8, {}};
    buffer.bytes.assign(24, testing::kSentinel);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 5; ++x) buffer.bytes[y * 8 + x] = static_cast<uint8_t>(10 * y + x);
    }
    const MatteRaster expected{0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 20, 21, 22, 23, 24};
    EXPECT_EQ(maskBytes(buffer), expected);
}

// A run set up by hand for extraction alone: 64 x 48 output, a render target with padded rows.
class Extraction : public ::testing::Test {
  protected:
    void build(const FakeSegmenterScript& segmenterScript,
               std::optional<std::vector<TimeRange>> ranges = std::nullopt) {
        Settings settings;
        settings.ranges = std::move(ranges);
        run_ = std::make_unique<VideoRun>(
            settings, "in.mov", "out.mov",
            fakeServices(FakeMovieScript{}, FakeWriterScript{}, segmenterScript, &journal_));
        run_->geometry.frameOrientation = Orientation::right;
        run_->geometry.outW = 64;
        run_->geometry.outH = 48;
        run_->segmenter = run_->services.makeSegmenter(Quality::accurate, true).segmenter;
        run_->segmenterInput = ImageSize{30, 40};
        run_->greyBuffer = GreyImage{64, 48, 80, {}};
        run_->greyBuffer.bytes.assign(80 * 48, testing::kSentinel);
    }

    MatteRaster extract(int64_t frameIndex, double seconds) {
        FramePtr frame = fakeFrame(frameIndex);
        const MediaTime pts = std::isnan(seconds) ? MediaTime::invalid()
                                                  : MediaTime{static_cast<int64_t>(seconds * 1000),
                                                              1000, MediaTime::kValid, 0};
        return extractMask(*run_, *frame, pts);
    }

    static MatteRaster flat(uint8_t value) { return MatteRaster(64 * 48, value); }

    Journal journal_;
    std::unique_ptr<VideoRun> run_;
};

TEST_F(Extraction, SegmentsTheUprightFrameAtTheSegmentersSizeAndStretchesTheMatte) {
    build(FakeSegmenterScript{});
    EXPECT_EQ(extract(3, 0.5), flat(43));
    EXPECT_EQ(journal_.performs, 1);
    EXPECT_EQ(journal_.lastOrientation, Orientation::right);
    EXPECT_EQ(journal_.convertedWidth, 30);
    EXPECT_EQ(journal_.convertedHeight, 40);
}

TEST_F(Extraction, GatedFramesAreBlackAndNeverReachTheSegmenter) {
    build(FakeSegmenterScript{}, std::vector<TimeRange>{{0, 1}, {2, 3}});
    EXPECT_EQ(extract(1, 1.5), flat(0));
    EXPECT_EQ(extract(2, kNaN), flat(0));
    EXPECT_EQ(journal_.conversions, 0);
    EXPECT_EQ(journal_.performs, 0);
    EXPECT_EQ(extract(5, 2.5), flat(45));
    EXPECT_EQ(extract(6, 3), flat(46));
    EXPECT_EQ(journal_.performs, 2);
}

TEST_F(Extraction, AFailedOrEmptySegmentationGivesBlackForThatFrameOnly) {
    FakeSegmenterScript script;
    script.failOnCalls = {1};
    script.emptyOnCalls = {3};
    build(script);
    EXPECT_EQ(extract(0, 0.0), flat(40));
    EXPECT_EQ(extract(1, 0.1), flat(0));
    EXPECT_EQ(extract(2, 0.2), flat(42));
    EXPECT_EQ(extract(3, 0.3), flat(0));
    EXPECT_EQ(extract(4, 0.4), flat(44));
    EXPECT_EQ(journal_.performs, 5);
}

// A matte whose proportions differ from the output's fills the whole raster, stretched.
class SplitSegmenter : public Segmenter {
  public:
    ImageSize inputSize(int64_t, int64_t) const override { return {2, 2}; }
    bool perform(const RgbImage&, GreyImage& matte, std::string&) override {
        matte = GreyImage{2, 1, 2, {0, 255}};  // left half background, right half person
        return true;
    }
};

TEST_F(Extraction, AMatteOfOtherProportionsIsStretchedToFillTheRaster) {
    build(FakeSegmenterScript{});
    run_->segmenter = std::make_unique<SplitSegmenter>();
    const MatteRaster raster = extract(0, 0);
    ASSERT_EQ(raster.size(), 64u * 48u);
    for (int y = 0; y < 48; ++y) {
        const uint8_t* row = raster.data() + y * 64;
        EXPECT_EQ(row[0], 0) << y;
        EXPECT_EQ(row[63], 255) << y;
        for (int x = 1; x < 64; ++x) ASSERT_LE(row[x - 1], row[x]) << x << ", " << y;
        ASSERT_EQ(std::vector<uint8_t>(row, row + 64),
                  std::vector<uint8_t>(raster.begin(), raster.begin() + 64));
    }
}

}  // namespace
}  // namespace figsplit
