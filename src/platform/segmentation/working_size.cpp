#include "platform/segmentation/working_size.h"

#include <algorithm>
#include <cmath>

namespace figsplit {

void capLongSide(int64_t width, int64_t height, int64_t longSide, int64_t& outWidth,
                 int64_t& outHeight) {
    const int64_t longest = std::max(width, height);
    if (longest <= longSide) {
        outWidth = width;
        outHeight = height;
        return;
    }
    const double scale = static_cast<double>(longSide) / static_cast<double>(longest);
    outWidth = width >= height ? longSide : std::max<int64_t>(1, std::llround(width * scale));
    outHeight = height > width ? longSide : std::max<int64_t>(1, std::llround(height * scale));
}

float rvmDownsampleRatio(int64_t longest, int64_t networkSide) {
    if (longest <= networkSide) return 1.0f;
    float ratio = static_cast<float>(networkSide) / static_cast<float>(longest);
    while (static_cast<int64_t>(static_cast<float>(longest) * ratio) < networkSide)
        ratio = std::nextafter(ratio, 1.0f);
    return ratio;
}

RvmWorkingSize rvmWorkingSize(int64_t width, int64_t height, RvmSides sides) {
    RvmWorkingSize w;
    capLongSide(std::max<int64_t>(width, 1), std::max<int64_t>(height, 1), sides.workingLongSide,
                w.width, w.height);
    const int64_t target = sides.networkLongSide;
    const int64_t longest = std::max(w.width, w.height), shortest = std::min(w.width, w.height);
    if (longest <= target) return w;
    const float ratio = rvmDownsampleRatio(longest, target);
    if (static_cast<int64_t>(static_cast<float>(shortest) * ratio) < kRvmMinimumNetworkShortSide)
        return w;
    w.downsampleRatio = ratio;
    return w;
}

}  // namespace figsplit
