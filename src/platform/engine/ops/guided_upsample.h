#pragma once
// The fast guided filter's full-resolution step: out = resize(A) * I + resize(b), where A and b
// are low-resolution coefficient maps and I the full-resolution guide, followed by a split of the
// channels into outputs, each with its own tail (e.g. the final clip to 0..1). Outputs nobody
// reads are not computed: rvm's alpha needs one channel of four.
//
// The guide may come in parts joined along the channels (rvm's is the picture's three colours and
// their mean): each part is a tensor read as it is, or the mean over the channels of a tensor, so
// that neither the mean nor the joined guide is ever stored.
#include <cstdint>
#include <vector>

#include "platform/engine/ops/activation.h"
#include "platform/engine/ops/resize_bilinear.h"

namespace figsplit::engine {

struct GuidePart {
    int64_t channels = 0;        // channels it gives the guide (1 for a mean)
    int64_t sourceChannels = 0;  // channels of the tensor it reads
    bool mean = false;           // the mean over the tensor's channels
};

struct GuidedUpsampleSpec {
    ResizeSpec resize;                       // A, b -> the guide's size; channels = all outputs'
    std::vector<GuidePart> guide;            // parts, summing to resize.channels
    std::vector<int64_t> splits;             // channels per output, summing to resize.channels
    std::vector<std::vector<PostOp>> tails;  // per output (no `add` post-ops)
    std::vector<char> skip;                  // per output: not needed
    // The channels A and b hold, in order, when they hold only some (those of the outputs that
    // are needed); empty: all resize.channels.
    std::vector<int64_t> stored;
};

// Plain definition: join the guide, resize both maps, multiply-add, split, apply tails.
void guidedUpsampleReference(const GuidedUpsampleSpec& params, const float* a, const float* b,
                             const float* const* guide, float* const* outputs);

// Separable: the needed channels of A and b are first interpolated down the columns (low-res
// width, full height), then each output pixel takes two horizontal lerps, the multiply-add and
// its tail. Coefficients and the intermediate planes are made once per plan.
class FastGuidedUpsample {
  public:
    explicit FastGuidedUpsample(const GuidedUpsampleSpec& params);
    void run(const float* a, const float* b, const float* const* guide, float* const* outputs);

  private:
    GuidedUpsampleSpec spec_;
    std::vector<int64_t> x0_, x1_;  // low-res column per output column
    std::vector<float> dx_;
    std::vector<int64_t> used_;               // channels some output needs
    std::vector<int64_t> usedAt_;             // where each of them is in A and b
    int64_t storedChannels_ = 0;              // channels per pixel of A and b
    std::vector<float> columnsA_, columnsB_;  // [outH][inW][used]
    // Where guide channel c comes from: part, channel within it (a mean reads all of them).
    std::vector<int> guidePart_;
    std::vector<int64_t> guideChannel_;
    // Per output: its tail as one clamp when it is only clips.
    std::vector<char> clampOnly_;
    std::vector<float> low_, high_;
};

}  // namespace figsplit::engine
