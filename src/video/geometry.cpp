// Output geometry: the orientation that turns the stored frames upright and the size of the
// matte movie (the display size scaled down to fit longEdge, never up, each side even and >= 2).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "report/report.h"
#include "video/video_run.h"

namespace figsplit {

Orientation orientation(const AffineTransform& transform) {
    // Exact comparisons on purpose: a matrix with rounding noise, a mirror or a scaled rotation
    // is shown as stored. The translation never matters.
    const double a = transform.a, b = transform.b, c = transform.c, d = transform.d;
    if (a == 0 && b == 1 && c == -1 && d == 0) return Orientation::right;
    if (a == 0 && b == -1 && c == 1 && d == 0) return Orientation::left;
    if (a == -1 && b == 0 && c == 0 && d == -1) return Orientation::down;
    return Orientation::up;
}

int64_t even(double x) {
    const double half = std::round(x * 0.5);  // halves away from zero
    // Arguments that are not finite, or whose even neighbour does not fit, cannot come from a
    // track size; they are pinned so that the conversion below is always defined.
    if (std::isnan(half)) return 2;
    constexpr double kLimit = 4.0e18;  // 2 * kLimit < 2^63
    if (half >= kLimit) return std::numeric_limits<int64_t>::max() - 1;
    if (half <= 1) return 2;
    const int64_t v = 2 * static_cast<int64_t>(half);
    return v > 2 ? v : 2;
}

std::optional<OutputGeometry> computeGeometry(const AffineTransform& transform,
                                              const Size2D& naturalSize, int64_t longEdge) {
    OutputGeometry g;
    g.frameOrientation = orientation(transform);
    g.rotated = g.frameOrientation == Orientation::left || g.frameOrientation == Orientation::right;
    g.displayW = g.rotated ? naturalSize.height : naturalSize.width;
    g.displayH = g.rotated ? naturalSize.width : naturalSize.height;
    // Written as "not greater than" so that NaN fails too.
    if (!(g.displayW > 0) || !(g.displayH > 0)) return std::nullopt;
    const double longer = std::max(g.displayW, g.displayH);
    g.scale = std::min(static_cast<double>(longEdge) / longer, 1.0);
    g.outW = even(g.displayW * g.scale);
    g.outH = even(g.displayH * g.scale);
    return g;
}

std::string durationLine(const MediaTime& duration) {
    return "duration " + formatDouble(duration.seconds());
}

std::string sizeLine(const OutputGeometry& geometry) {
    return "size " + formatInteger(geometry.outW) + " " + formatInteger(geometry.outH);
}

void geometryStep(VideoRun& run) {
    const std::optional<OutputGeometry> geometry =
        computeGeometry(run.transform, run.naturalSize, run.settings.longEdge);
    if (!geometry) fail("could not read video dimensions");
    run.geometry = *geometry;
    log(durationLine(run.loadedDuration));
    log(sizeLine(run.geometry));
}

}  // namespace figsplit
