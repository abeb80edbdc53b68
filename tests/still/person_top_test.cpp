#include "still/person_top.h"

#include <gtest/gtest.h>

namespace figsplit {
namespace {

GreyImage matte(int64_t width, int64_t height, int64_t stride, uint8_t pixels, uint8_t padding) {
    GreyImage m;
    m.width = width;
    m.height = height;
    m.stride = stride;
    m.bytes.assign(static_cast<size_t>(stride * height), padding);
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x) m.bytes[static_cast<size_t>(y * stride + x)] = pixels;
    return m;
}

void put(GreyImage& m, int64_t x, int64_t y, uint8_t v) {
    m.bytes[static_cast<size_t>(y * m.stride + x)] = v;
}

TEST(PersonTop, FirstRowWithAByteOf128OrMore) {
    struct Case {
        const char* name;
        GreyImage matte;
        double expected;
    };
    std::vector<Case> cases;
    {
        GreyImage m = matte(640, 480, 640, 0, 0);
        put(m, 639, 0, 200);
        cases.push_back({"row 0, last column", m, 0.0});
    }
    {
        GreyImage m = matte(640, 480, 640, 0, 0);
        put(m, 17, 120, 255);
        put(m, 3, 300, 255);
        cases.push_back({"row 120 of 480", m, 0.25});
    }
    {
        GreyImage m = matte(8, 40, 8, 127, 0);  // 127 everywhere does not count
        put(m, 0, 10, 128);
        cases.push_back({"128 counts, 127 does not", m, 0.25});
    }
    cases.push_back({"127 everywhere", matte(8, 40, 8, 127, 0), 1.0});
    {
        GreyImage m = matte(3, 3, 3, 0, 0);
        put(m, 1, 1, 128);
        cases.push_back({"one third", m, 1.0 / 3.0});
    }
    cases.push_back({"padding of 255 is not looked at", matte(10, 6, 16, 0, 255), 1.0});
    {
        GreyImage m = matte(10, 6, 16, 0, 255);
        put(m, 9, 3, 130);
        cases.push_back({"padding ignored, pixel in row 3", m, 0.5});
    }
    {
        GreyImage m = matte(10, 4, 16, 0, 255);
        m.bytes.resize(static_cast<size_t>(3 * 16 + 10));  // last row without its padding
        put(m, 0, 3, 255);
        cases.push_back({"last row unpadded", m, 0.75});
    }
    cases.push_back({"no rows", matte(10, 0, 16, 255, 255), 1.0});
    {
        GreyImage m = matte(0, 5, 4, 0, 255);  // only padding, all 255
        cases.push_back({"no columns", m, 1.0});
    }
    {
        GreyImage m = matte(4, 4, 4, 255, 255);
        m.bytes.clear();
        cases.push_back({"no bytes", m, 1.0});
    }
    for (const Case& c : cases) {
        EXPECT_EQ(personTop(c.matte), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace figsplit
