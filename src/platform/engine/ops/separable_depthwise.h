#pragma once
// Two depthwise convolutions in a row, a kernelH x 1 one down the columns and then a 1 x kernelW
// one along the rows (a separable filter: the guided filter's box blur is two of them), run as
// one pass. Each output row's vertical sums go to a row buffer that the horizontal pass reads at
// once, so the intermediate tensor is never stored. Sums are made in the order the two
// convolutions make them, so the result equals running them one after the other.
//
// Ownership and threading: the object holds both convolutions' weights expanded along a row and
// one row buffer per OpenMP worker, sized when it is made; `run` allocates nothing and runs on
// the process's OpenMP pool.
#include <cstdint>
#include <vector>

#include "platform/engine/ops/conv.h"

namespace figsplit::engine {

class SeparableDepthwise {
  public:
    // Whether the pair can run fused: both depthwise with one output per channel, stride 1, no
    // dilation, no padding, `vertical` kernelH x 1 and `horizontal` 1 x kernelW, the first's
    // output the second's input, and neither with an `add` post-op.
    static bool supports(const ConvSpec& vertical, const ConvSpec& horizontal);

    SeparableDepthwise(const ConvSpec& vertical, const ConvSpec& horizontal);
    void run(const float* src, float* dst);

  private:
    ConvSpec vertical_, horizontal_;
    int64_t rowFloats_ = 0;                             // the vertical pass's row: inW * channels
    int64_t outFloats_ = 0;                             // an output row: outW * channels
    std::vector<float> verticalWeights_;                // [kernelH][rowFloats]
    std::vector<float> horizontalWeights_;              // [kernelW][outFloats]
    std::vector<float> verticalBias_, horizontalBias_;  // [rowFloats], [outFloats]
    int workers_ = 1;
    std::vector<float> rows_;  // [workers][rowFloats]
};

}  // namespace figsplit::engine
