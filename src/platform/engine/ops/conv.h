#pragma once
// Convolutions: dense, depthwise (with channel multiplier) and transposed, with the fused tail
// that follows them in the models (bias, per-channel scale folded into the weights, activation,
// residual add). `convReference` is the plain definition; `FastConv` runs the same on oneDNN.
#include <memory>
#include <oneapi/dnnl/dnnl.hpp>
#include <vector>

#include "platform/engine/ops/activation.h"
#include "platform/engine/ops/onednn_util.h"

namespace figsplit::engine {

struct ConvSpec {
    enum class Kind { dense, depthwise, transposed } kind = Kind::dense;
    int64_t batch = 1;
    int64_t inH = 0, inW = 0, inC = 0;
    int64_t outH = 0, outW = 0, outC = 0;
    int64_t kernelH = 1, kernelW = 1;
    int64_t strideH = 1, strideW = 1;
    int64_t dilationH = 1, dilationW = 1;  // TensorFlow convention: 1 = no dilation
    // Zero padding around the input (for transposed: cropped from the full output).
    int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
    // dense:      [kernelH, kernelW, inC, outC]  (TensorFlow HWIO)
    // depthwise:  [kernelH, kernelW, inC, multiplier], outC = inC * multiplier
    // transposed: [kernelH, kernelW, outC, inC]  (TensorFlow's Conv2DBackpropInput filter)
    std::vector<float> weights;
    std::vector<float> bias;  // outC values, or empty for none
    // Applied in order after the bias. An `add` post-op adds the next extra input (same shape
    // as the output).
    std::vector<PostOp> postOps;

    int addInputs() const;
    // The output size a VALID-padded convolution of this params gives (for checks).
    static int64_t convOutSize(int64_t in, int64_t kernel, int64_t stride, int64_t dilation,
                               int64_t padBefore, int64_t padAfter);
};

// dst = conv(src) + bias, then the post-ops. `adds[k]` are the extra inputs of the add post-ops.
void convReference(const ConvSpec& params, const float* src, const float* const* adds, float* dst);

// The same on oneDNN primitives, built once for the params's shapes.
class FastConv {
  public:
    FastConv(const ConvSpec& params, const dnnl::engine& engine);
    void run(const float* src, const float* const* adds, float* dst, dnnl::stream& stream);
    // The name of the oneDNN implementation chosen (e.g. "jit:avx2"), for diagnostics.
    std::string implementation() const;

  private:
    // Transposed convolutions whose stride equals the kernel (each output pixel comes from one
    // input pixel: selfie's last layer) run as a direct loop; oneDNN is slow at one output channel.
    void runNonOverlapping(const float* src, const float* const* adds, float* dst) const;
    bool nonOverlapping_ = false;
    bool tailSeparate_ = false;            // post-ops run as the passes in tail_
    std::vector<PreparedPrimitive> tail_;  // in place on the output
    ConvSpec spec_;

    PreparedPrimitive primitive_;  // arguments: src, dst, adds..., weights, bias
    size_t addCount_ = 0;
    std::string impl_;
};

}  // namespace figsplit::engine
