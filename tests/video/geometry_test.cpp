// Orientation from the track matrix, the even rounding and the output size, with the two status
// lines the geometry step writes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "child_process.h"
#include "video/video_run.h"

namespace figsplit {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Orientation, ComesFromTheLinearPartOnlyAndMatchesExactly) {
    struct Case {
        AffineTransform transform;
        Orientation expected;
    };
    const Case cases[] = {
        {{1, 0, 0, 1, 0, 0}, Orientation::up},
        {{0, 1, -1, 0, 0, 0}, Orientation::right},
        {{0, -1, 1, 0, 0, 0}, Orientation::left},
        {{-1, 0, 0, -1, 0, 0}, Orientation::down},
        {{0, 1, -1, 0, 1080, 0}, Orientation::right},  // translation ignored
        {{-1, 0, 0, -1, 1920, 1080}, Orientation::down},
        {{-0.0, 1, -1, -0.0, 0, 0}, Orientation::right},  // -0 is 0
        {{-1, 0, 0, 1, 0, 0}, Orientation::up},           // mirrors are not turned
        {{1, 0, 0, -1, 0, 0}, Orientation::up},
        {{0, 0.9999999, -1, 0, 0, 0}, Orientation::up},  // no tolerance
        {{0, 2, -2, 0, 0, 0}, Orientation::up},          // scaled rotation
        {{kNaN, 1, -1, 0, 0, 0}, Orientation::up},
        {{0, 1, 1, 0, 0, 0}, Orientation::up},
        {{0, 0, 0, 0, 0, 0}, Orientation::up},
    };
    for (const Case& c : cases) {
        const AffineTransform& t = c.transform;
        EXPECT_EQ(orientation(t), c.expected)
            << t.a << ", " << t.b << ", " << t.c << ", " << t.d << ", " << t.tx << ", " << t.ty;
    }
}

TEST(Even, NearestEvenWithOddsGoingUpAndAFloorOfTwo) {
    const std::pair<double, int64_t> cases[] = {
        {0, 2},
        {0.99, 2},
        {1, 2},
        {2.9, 2},
        {3, 4},
        {5, 6},
        {539.5, 540},
        {540.99, 540},
        {541, 542},
        {562.5, 562},
        {-7, 2},
        {1919.9, 1920},
        // Not from any track, but defined all the same.
        {kNaN, 2},
        {-std::numeric_limits<double>::infinity(), 2},
        {std::numeric_limits<double>::infinity(), std::numeric_limits<int64_t>::max() - 1},
        {1e300, std::numeric_limits<int64_t>::max() - 1},
    };
    for (const auto& [x, expected] : cases) EXPECT_EQ(even(x), expected) << x;
}

TEST(Geometry, WorkedExamples) {
    struct Case {
        Size2D natural;
        AffineTransform transform;
        int64_t longEdge;
        Orientation orientation;
        double displayW, displayH, scale;
        const char* sizeLine;
    };
    const AffineTransform up{1, 0, 0, 1, 0, 0};
    const AffineTransform right{0, 1, -1, 0, 0, 0};
    const AffineTransform left{0, -1, 1, 0, 0, 0};
    const AffineTransform down{-1, 0, 0, -1, 0, 0};
    const Case cases[] = {
        {{1920, 1080}, up, 960, Orientation::up, 1920, 1080, 0.5, "size 960 540"},
        {{1920, 1080}, right, 960, Orientation::right, 1080, 1920, 0.5, "size 540 960"},
        {{1920, 1080}, left, 960, Orientation::left, 1080, 1920, 0.5, "size 540 960"},
        {{1920, 1080}, down, 960, Orientation::down, 1920, 1080, 0.5, "size 960 540"},
        {{1080, 1920}, up, 960, Orientation::up, 1080, 1920, 0.5, "size 540 960"},
        {{1920, 1080}, right, 4000, Orientation::right, 1080, 1920, 1, "size 1080 1920"},
        {{640, 360}, up, 960, Orientation::up, 640, 360, 1, "size 640 360"},
        {{1280, 720}, up, 1000, Orientation::up, 1280, 720, 0.78125, "size 1000 562"},
        {{1366, 768}, up, 960, Orientation::up, 1366, 768, 960.0 / 1366, "size 960 540"},
        {{541, 300}, up, 960, Orientation::up, 541, 300, 1, "size 542 300"},
        {{1, 1}, up, 960, Orientation::up, 1, 1, 1, "size 2 2"},
        {{5000, 2}, up, 64, Orientation::up, 5000, 2, 0.0128, "size 64 2"},
        {{3840, 2160}, up, 64, Orientation::up, 3840, 2160, 1.0 / 60, "size 64 36"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sizeLine);
        const std::optional<OutputGeometry> g = computeGeometry(c.transform, c.natural, c.longEdge);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->frameOrientation, c.orientation);
        EXPECT_EQ(g->rotated,
                  c.orientation == Orientation::right || c.orientation == Orientation::left);
        EXPECT_EQ(g->displayW, c.displayW);
        EXPECT_EQ(g->displayH, c.displayH);
        EXPECT_DOUBLE_EQ(g->scale, c.scale);
        EXPECT_EQ(sizeLine(*g), c.sizeLine);
    }
}

TEST(Geometry, UnusableDisplaySizes) {
    const Size2D sizes[] = {{0, 0}, {0, 1080}, {1920, 0}, {-4, 8}, {kNaN, 8}, {8, kNaN}};
    for (const Size2D& size : sizes) {
        EXPECT_FALSE(computeGeometry(AffineTransform{}, size, 960).has_value())
            << size.width << " x " << size.height;
    }
}

TEST(Geometry, DurationLine) {
    EXPECT_EQ(durationLine(MediaTime::zero()), "duration 0.0");
    EXPECT_EQ(durationLine(MediaTime{12, 1, MediaTime::kValid, 0}), "duration 12.0");
    EXPECT_EQ(durationLine(MediaTime{1001, 1000, MediaTime::kValid, 0}), "duration 1.001");
}

// The step writes its two lines only after all of the geometry, and nothing before a failure.
TEST(GeometryStep, LinesOrFailure) {
    struct Case {
        Size2D natural;
        std::string expected;
        int exitStatus;
    };
    const Case cases[] = {
        {{1920, 1080}, "duration 2.5\nsize 960 540\n", 0},
        {{0, 0}, "error could not read video dimensions\n", 1},
    };
    for (const Case& c : cases) {
        const testing::ChildOutcome outcome = testing::runInChild([&] {
            VideoRun run(Settings{}, "in.mov", "out.mov", VideoServices{});
            run.naturalSize = c.natural;
            run.loadedDuration = MediaTime{5, 2, MediaTime::kValid, 0};
            geometryStep(run);
            return 0;
        });
        EXPECT_EQ(outcome.stderrText, c.expected);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
    }
}

}  // namespace
}  // namespace figsplit
