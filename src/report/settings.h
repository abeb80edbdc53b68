#pragma once
// The run settings read from the command line. Set once by the option loop, read-only after.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/segmenter.h"

namespace figsplit {

// A span of media time in seconds, start < end, both bounds inclusive when tested.
struct TimeRange {
    double start = 0;
    double end = 0;
    friend bool operator==(const TimeRange&, const TimeRange&) = default;
};

struct Settings {
    int64_t longEdge = 960;                      // at least 64
    Quality quality = Quality::accurate;         // video mode only
    int64_t smoothRadius = 2;                    // 0 ... 2
    std::optional<std::vector<TimeRange>> ranges;  // absent differs from present and empty
};

}  // namespace figsplit
