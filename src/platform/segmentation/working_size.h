#pragma once
// How big a picture rvm works on, and how much it shrinks it inside the network.
//
// The working size is the picture itself with its long side capped: the network's own
// downsampling runs on that, and the fast guided filter brings the matte back to the working size
// with fine detail. The downsample ratio puts the network's long side at a fixed target; pictures
// already that small (or so thin that the shrunk short side would be tiny) run at ratio 1.
#include <cstdint>

namespace figsplit {

struct RvmWorkingSize {
    int64_t width = 0;
    int64_t height = 0;
    float downsampleRatio = 1.0f;
};

// The two sides that set rvm's cost and detail: the working long side (the picture is capped to
// it; the matte comes out at that size) and the network long side (the downsampling inside aims
// at it).
struct RvmSides {
    int64_t workingLongSide = 0;
    int64_t networkLongSide = 0;
};

// Video frames: working long side at most 960 (the default output size). accurate puts the
// network's long side at 640, balanced at 320 (4 times less work): in video the network
// side buys matte quality, each frame's time buys frame rate.
constexpr RvmSides kRvmVideoAccurate = {960, 640};
constexpr RvmSides kRvmVideoBalanced = {960, 320};
// Single pictures: working long side at most 1024, network long side 512 (one frame, so the extra
// working size buys detail where it matters: small and far people).
constexpr RvmSides kRvmStill = {1024, 512};
// Below this many pixels on the shrunk short side the network runs at ratio 1 instead.
constexpr int64_t kRvmMinimumNetworkShortSide = 32;

RvmWorkingSize rvmWorkingSize(int64_t width, int64_t height, RvmSides sides);

// The smallest ratio at which the graph shrinks a side of `longest` pixels to exactly
// `networkSide` (it computes int32(float32(side) * ratio)); 1 when the side is not longer.
float rvmDownsampleRatio(int64_t longest, int64_t networkSide);

// The size with its long side capped at `longSide`, aspect kept, each side at least 1.
void capLongSide(int64_t width, int64_t height, int64_t longSide, int64_t& outWidth,
                 int64_t& outHeight);

}  // namespace figsplit
