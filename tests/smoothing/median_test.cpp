#include "smoothing/median.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "smoothing/median_kernels.h"

namespace figsplit {
namespace {

std::vector<const MatteRaster*> pointersTo(const std::vector<MatteRaster>& rasters) {
    std::vector<const MatteRaster*> window;
    for (const MatteRaster& raster : rasters) window.push_back(&raster);
    return window;
}

// Reference median, independent of the code under test: sort, then the middle value or the
// mean of the two middle values rounded down.
uint8_t referenceMedian(std::vector<int> values) {
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return static_cast<uint8_t>(values.size() % 2 == 1 ? values[half]
                                                       : (values[half - 1] + values[half]) / 2);
}

// Reference over whole rasters; a position a raster lacks leaves it out there.
MatteRaster referenceMask(const std::vector<const MatteRaster*>& window) {
    MatteRaster out(window[0]->size());
    for (size_t i = 0; i < out.size(); ++i) {
        std::vector<int> values;
        for (const MatteRaster* raster : window) {
            if (i < raster->size()) values.push_back((*raster)[i]);
        }
        out[i] = referenceMedian(values);
    }
    return out;
}

// Random bytes, half of them drawn from a few values so that ties are common.
MatteRaster randomRaster(std::mt19937& random, size_t length) {
    std::uniform_int_distribution<int> byte(0, 255);
    const uint8_t few[] = {0, 1, 127, 128, 254, 255};
    MatteRaster raster(length);
    for (uint8_t& value : raster) {
        const int pick = byte(random);
        value = pick < 128 ? few[pick % 6] : static_cast<uint8_t>(byte(random));
    }
    return raster;
}

TEST(Median3, IsTheMiddleOfEveryTriple) {
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            for (int z = 0; z < 256; ++z) {
                const int middle = x + y + z - std::min({x, y, z}) - std::max({x, y, z});
                if (median3(x, y, z) != middle) {
                    FAIL() << x << " " << y << " " << z << " gave " << int(median3(x, y, z));
                }
            }
        }
    }
}

// Every example is checked at every position of a raster one block and a tail long, with the
// rasters in every order.
TEST(MedianMask, ExamplesInEveryOrder) {
    struct Case {
        std::vector<int> values;
        int expected;
    };
    const Case cases[] = {
        {{77}, 77},
        {{10, 13}, 11},
        {{0, 255}, 127},
        {{254, 255}, 254},
        {{200, 0, 50}, 50},
        {{7, 7, 200}, 7},
        {{9, 1, 7, 3}, 5},
        {{0, 0, 255, 255}, 127},
        {{1, 2, 4, 8}, 3},
        {{5, 1, 4, 2, 3}, 3},
        {{255, 255, 0, 0, 255}, 255},
        {{0, 0, 0, 255, 255}, 0},
    };
    constexpr size_t kLength = 70;
    for (const Case& c : cases) {
        std::vector<int> values = c.values;
        std::sort(values.begin(), values.end());
        do {
            std::vector<MatteRaster> rasters;
            for (int v : values) rasters.emplace_back(kLength, static_cast<uint8_t>(v));
            const std::vector<const MatteRaster*> window = pointersTo(rasters);
            MatteRaster scratch;
            const MatteRaster& out = medianMask(window, scratch);
            EXPECT_EQ(out, MatteRaster(kLength, static_cast<uint8_t>(c.expected)))
                << ::testing::PrintToString(values);
        } while (std::next_permutation(values.begin(), values.end()));
    }
}

TEST(MedianMask, RandomRastersGiveTheReferenceInEveryOrder) {
    std::mt19937 random(7);
    for (size_t n = 2; n <= 5; ++n) {
        std::vector<MatteRaster> rasters;
        for (size_t j = 0; j < n; ++j) rasters.push_back(randomRaster(random, 203));
        const MatteRaster expected = referenceMask(pointersTo(rasters));
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        MatteRaster scratch;
        do {
            std::vector<const MatteRaster*> window;
            for (size_t j : order) window.push_back(&rasters[j]);
            ASSERT_EQ(medianMask(window, scratch), expected)
                << "n = " << n << ", order " << ::testing::PrintToString(order);
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

TEST(MedianMask, OneRasterIsReturnedItselfWithScratchUntouched) {
    std::mt19937 random(11);
    const MatteRaster raster = randomRaster(random, 99);
    const MatteRaster* window[] = {&raster};
    MatteRaster scratch = {1, 2, 3};
    const uint8_t* scratchData = scratch.data();

    const MatteRaster& out = medianMask(window, scratch);

    EXPECT_EQ(&out, &raster);
    EXPECT_EQ(scratch, (MatteRaster{1, 2, 3}));
    EXPECT_EQ(scratch.data(), scratchData);
}

TEST(MedianMask, IdenticalRastersComeBackUnchanged) {
    std::mt19937 random(5);
    const MatteRaster contents[] = {MatteRaster(150, 0), MatteRaster(150, 255),
                                    MatteRaster(150, 128), randomRaster(random, 150)};
    for (const MatteRaster& content : contents) {
        for (size_t n = 1; n <= 5; ++n) {
            const std::vector<MatteRaster> rasters(n, content);
            MatteRaster scratch;
            EXPECT_EQ(medianMask(pointersTo(rasters), scratch), content) << "n = " << n;
        }
    }
}

TEST(MedianMask, ResultTakesTheFirstLengthAndReusesScratch) {
    std::mt19937 random(3);
    for (size_t n = 2; n <= 5; ++n) {
        std::vector<MatteRaster> rasters;
        for (size_t j = 0; j < n; ++j) rasters.push_back(randomRaster(random, 100));
        const std::vector<const MatteRaster*> window = pointersTo(rasters);

        MatteRaster scratch(500, 9);  // longer than needed: shrinks, keeps its buffer
        const uint8_t* buffer = scratch.data();
        EXPECT_EQ(&medianMask(window, scratch), &scratch);
        EXPECT_EQ(scratch.size(), 100u);
        EXPECT_EQ(scratch.data(), buffer);
        EXPECT_EQ(medianMask(window, scratch), referenceMask(window));
        EXPECT_EQ(scratch.data(), buffer) << "n = " << n;

        MatteRaster shortScratch(3, 9);  // shorter than needed: grows
        EXPECT_EQ(medianMask(window, shortScratch), referenceMask(window)) << "n = " << n;
    }
}

// Windows the frame history never builds: handled without reading out of bounds.
TEST(MedianMask, WindowsOutsideTheUsualShape) {
    std::mt19937 random(13);
    MatteRaster scratch(20, 9);

    {
        SCOPED_TRACE("empty window: empty result");
        EXPECT_TRUE(medianMask({}, scratch).empty());
    }
    {
        SCOPED_TRACE("unequal lengths: first length, positions a raster lacks leave it out");
        for (size_t n = 2; n <= 5; ++n) {
            std::vector<MatteRaster> rasters;
            for (size_t j = 0; j < n; ++j) rasters.push_back(randomRaster(random, 40 + 13 * j));
            std::reverse(rasters.begin() + 1, rasters.end());
            rasters[1].resize(7);
            const std::vector<const MatteRaster*> window = pointersTo(rasters);
            EXPECT_EQ(medianMask(window, scratch), referenceMask(window)) << "n = " << n;
            EXPECT_EQ(scratch.size(), 40u);
        }
    }
    {
        SCOPED_TRACE("more than five rasters: the median of all");
        for (size_t n : {6u, 7u, 12u}) {
            std::vector<MatteRaster> rasters;
            for (size_t j = 0; j < n; ++j) rasters.push_back(randomRaster(random, 70));
            const std::vector<const MatteRaster*> window = pointersTo(rasters);
            EXPECT_EQ(medianMask(window, scratch), referenceMask(window)) << "n = " << n;
        }
    }
    {
        SCOPED_TRACE("missing rasters count as empty ones");
        const MatteRaster a = randomRaster(random, 30), b = randomRaster(random, 30);
        const MatteRaster* window[] = {&a, nullptr, &b};
        EXPECT_EQ(medianMask(window, scratch), referenceMask({&a, &b}));
        const MatteRaster* firstMissing[] = {nullptr, &a, &b};
        EXPECT_TRUE(medianMask(firstMissing, scratch).empty());
        const MatteRaster* onlyMissing[] = {nullptr};
        EXPECT_TRUE(medianMask(onlyMissing, scratch).empty());
    }
    {
        SCOPED_TRACE("scratch is itself one of the rasters");
        for (size_t n : {2u, 3u, 5u}) {
            std::vector<MatteRaster> rasters;
            for (size_t j = 0; j < n; ++j) rasters.push_back(randomRaster(random, 90));
            const std::vector<const MatteRaster*> window = pointersTo(rasters);
            const MatteRaster expected = referenceMask(window);
            EXPECT_EQ(&medianMask(window, rasters[n - 1]), &rasters[n - 1]);
            EXPECT_EQ(rasters[n - 1], expected) << "n = " << n;
        }
    }
}

// The three- and five-raster loops equal the per-position median at every length, whatever the
// alignment of each buffer, and write nothing past `length`.
TEST(MedianKernels, MatchThePerPositionMedianAtEveryLengthAndAlignment) {
    std::vector<MedianKernel> kernels = {MedianKernel::Baseline};
    if (bestMedianKernel() == MedianKernel::Avx2) {
        kernels.push_back(MedianKernel::Avx2);
    } else {
        std::printf("no AVX2 on this machine: only the 16-byte kernel is checked\n");
    }
    std::mt19937 random(17);
    constexpr size_t kGuard = 40;
    for (MedianKernel kernel : kernels) {
        for (size_t n : {3u, 5u}) {
            for (size_t shift : {0u, 1u, 2u, 3u, 17u}) {
                for (size_t length = 0; length <= 200; ++length) {
                    std::vector<MatteRaster> buffers;
                    std::vector<const uint8_t*> inputs;
                    for (size_t j = 0; j < n; ++j) {
                        const size_t offset = (shift + 7 * j) % 32;
                        buffers.push_back(randomRaster(random, offset + length + kGuard));
                        inputs.push_back(buffers.back().data() + offset);
                    }
                    MatteRaster out(shift + length + kGuard, 0xAB);
                    uint8_t* outStart = out.data() + shift;
                    if (n == 3) {
                        median3Bytes(kernel, inputs[0], inputs[1], inputs[2], outStart, length);
                    } else {
                        median5Bytes(kernel, inputs[0], inputs[1], inputs[2], inputs[3], inputs[4],
                                     outStart, length);
                    }
                    for (size_t i = 0; i < length; ++i) {
                        std::vector<int> values;
                        for (const uint8_t* input : inputs) values.push_back(input[i]);
                        ASSERT_EQ(outStart[i], referenceMedian(values))
                            << "kernel " << int(kernel) << ", n = " << n << ", shift " << shift
                            << ", length " << length << ", position " << i;
                    }
                    for (size_t i = 0; i < out.size(); ++i) {
                        if (i < shift || i >= shift + length) {
                            ASSERT_EQ(out[i], 0xAB) << "written outside, length " << length;
                        }
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace figsplit
