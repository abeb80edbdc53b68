#pragma once
// The differential harness every operator test uses: a kernel's fast path against its plain
// reference (or a kernel against an index-by-index definition) on random data from a fixed seed,
// at awkward sizes (1, 3, 13, 127: one element, odd, prime, longer than a vector and not a
// multiple of one).
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "platform/engine/value.h"

namespace figsplit::engine::testing {

// n values drawn uniformly from [low, high) with a fixed seed.
inline std::vector<float> randomData(size_t n, uint32_t seed, float low = -1.0f,
                                     float high = 1.0f) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> data(n);
    for (float& v : data) v = value(random);
    return data;
}

// |fast - reference| <= tolerance * (1 + |reference|) everywhere.
inline void expectClose(const std::vector<float>& fast, const std::vector<float>& reference,
                        float tolerance = 1e-4f) {
    ASSERT_EQ(fast.size(), reference.size());
    size_t bad = 0;
    float worst = 0.0f;
    size_t at = 0;
    for (size_t k = 0; k < fast.size(); ++k) {
        const float d = std::fabs(fast[k] - reference[k]) / (1.0f + std::fabs(reference[k]));
        if (!(d <= tolerance)) ++bad;
        if (!(d <= worst)) {
            worst = d;
            at = k;
        }
    }
    EXPECT_EQ(bad, 0u) << "worst relative difference " << worst << " at " << at << ": " << fast[at]
                       << " vs " << reference[at];
}

// Runs `fast(out)` and `reference(out)` into two buffers of `count` floats and expects them close
// (see expectClose). The fast output starts as NaN, so an element it never writes shows.
template <class Fast, class Reference>
void expectFastMatchesReference(size_t count, Fast&& fast, Reference&& reference,
                                float tolerance = 1e-4f) {
    std::vector<float> expected(count), got(count, NAN);
    reference(expected.data());
    fast(got.data());
    expectClose(got, expected, tolerance);
}

// Element (index) of a row-major tensor.
inline int64_t offsetOf(const Shape& shape, const Shape& index) {
    int64_t off = 0;
    for (size_t d = 0; d < shape.size(); ++d) off = off * shape[d] + index[d];
    return off;
}

// Calls f(index) for every index of `shape`.
template <class F>
void forEachIndex(const Shape& shape, F f) {
    Shape index(shape.size(), 0);
    for (int64_t n = 0; n < elementCount(shape); ++n) {
        f(index);
        for (size_t d = shape.size(); d-- > 0;) {
            if (++index[d] < shape[d]) break;
            index[d] = 0;
        }
    }
}

}  // namespace figsplit::engine::testing
