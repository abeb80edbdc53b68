#pragma once
// Media time: the rational time that decoded frames carry and that the matte writer receives
// unchanged. seconds() is value / timescale as a double, NaN when the time is invalid.
#include <cmath>
#include <cstdint>
#include <limits>

namespace figsplit {

struct MediaTime {
    static constexpr uint32_t kValid = 1;

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;
    int64_t epoch = 0;

    static constexpr MediaTime zero() { return MediaTime{0, 1, kValid, 0}; }
    static constexpr MediaTime invalid() { return MediaTime{}; }

    bool valid() const { return (flags & kValid) != 0 && timescale > 0; }
    double seconds() const {
        if (!valid()) return std::numeric_limits<double>::quiet_NaN();
        return static_cast<double>(value) / static_cast<double>(timescale);
    }
    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

}  // namespace figsplit
