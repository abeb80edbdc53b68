#include "platform/engine/ops/separable_depthwise.h"

#include <omp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/engine/plan.h"

namespace figsplit::engine {

namespace {

bool plainDepthwise(const ConvSpec& s) {
    if (s.kind != ConvSpec::Kind::depthwise || s.inC != s.outC || s.inC < 1 || s.kernelH < 1 ||
        s.kernelW < 1 || s.strideH != 1 || s.strideW != 1 || s.dilationH != 1 || s.dilationW != 1 ||
        s.padTop != 0 || s.padLeft != 0 || s.padBottom != 0 || s.padRight != 0 || s.batch < 1 ||
        s.outH != s.inH - s.kernelH + 1 || s.outW != s.inW - s.kernelW + 1 || s.outH < 1 ||
        s.outW < 1)
        return false;
    if (s.weights.size() != static_cast<size_t>(s.kernelH * s.kernelW * s.inC)) return false;
    if (!s.bias.empty() && s.bias.size() != static_cast<size_t>(s.outC)) return false;
    return std::none_of(s.postOps.begin(), s.postOps.end(),
                        [](const PostOp& p) { return p.kind == PostOp::Kind::add; });
}

// Per-channel values repeated along a row of `pixels` pixels.
void expandAlongRow(const float* values, int64_t channels, int64_t pixels, float* row) {
    for (int64_t x = 0; x < pixels; ++x) std::copy(values, values + channels, row + x * channels);
}

// out[k] = sum over taps t of in[t * step + k] * w[t * wStep + k], then + bias[k]: the sum
// starts at zero and adds the taps in order, as the convolution's own definition does.
void taps(const float* in, int64_t step, int64_t count, const float* w, int64_t wStep,
          const float* bias, float* out, int64_t n) {
    std::fill(out, out + n, 0.0f);
    for (int64_t t = 0; t < count; ++t) {
        const float* a = in + t * step;
        const float* b = w + t * wStep;
        for (int64_t k = 0; k < n; ++k) out[k] += a[k] * b[k];
    }
    for (int64_t k = 0; k < n; ++k) out[k] += bias[k];
}

// The same for three taps, with each value summed in a register and stored once.
void taps3(const float* in, int64_t step, const float* w, int64_t wStep, const float* bias,
           float* out, int64_t n) {
    const float *a0 = in, *a1 = in + step, *a2 = in + 2 * step;
    const float *b0 = w, *b1 = w + wStep, *b2 = w + 2 * wStep;
#pragma omp simd
    for (int64_t k = 0; k < n; ++k)
        out[k] = ((a0[k] * b0[k] + a1[k] * b1[k]) + a2[k] * b2[k]) + bias[k];
}

}  // namespace

bool SeparableDepthwise::supports(const ConvSpec& v, const ConvSpec& h) {
    return plainDepthwise(v) && plainDepthwise(h) && v.kernelW == 1 && h.kernelH == 1 &&
           v.batch == h.batch && v.outH == h.inH && v.outW == h.inW && v.outC == h.inC;
}

SeparableDepthwise::SeparableDepthwise(const ConvSpec& v, const ConvSpec& h)
    : vertical_(v), horizontal_(h) {
    if (!supports(v, h))
        throw std::invalid_argument("these two depthwise convolutions are not a separable pair");
    const int64_t c = v.inC;
    rowFloats_ = v.outW * c;
    outFloats_ = h.outW * c;
    verticalWeights_.resize(static_cast<size_t>(v.kernelH * rowFloats_));
    for (int64_t i = 0; i < v.kernelH; ++i)
        expandAlongRow(v.weights.data() + i * c, c, v.outW,
                       verticalWeights_.data() + i * rowFloats_);
    horizontalWeights_.resize(static_cast<size_t>(h.kernelW * outFloats_));
    for (int64_t j = 0; j < h.kernelW; ++j)
        expandAlongRow(h.weights.data() + j * c, c, h.outW,
                       horizontalWeights_.data() + j * outFloats_);
    const std::vector<float> zeros(static_cast<size_t>(c), 0.0f);
    verticalBias_.resize(static_cast<size_t>(rowFloats_));
    expandAlongRow(v.bias.empty() ? zeros.data() : v.bias.data(), c, v.outW, verticalBias_.data());
    horizontalBias_.resize(static_cast<size_t>(outFloats_));
    expandAlongRow(h.bias.empty() ? zeros.data() : h.bias.data(), c, h.outW,
                   horizontalBias_.data());
    workers_ = std::max(omp_get_max_threads(), 1);
    rows_.resize(static_cast<size_t>(workers_ * rowFloats_));
}

void SeparableDepthwise::run(const float* src, float* dst) {
    const ConvSpec& v = vertical_;
    const ConvSpec& h = horizontal_;
    const int64_t c = v.inC;
    const int64_t inRow = v.inW * c;  // floats per input row
    const int64_t rows = v.batch * v.outH;
    const int workers =
        static_cast<int>(std::clamp<int64_t>(std::min(workers_, omp_get_max_threads()), 1, rows));
#pragma omp parallel for num_threads(workers) if (rows * outFloats_ > 32768)
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t n = r / v.outH, y = r % v.outH;
        float* row = rows_.data() + omp_get_thread_num() * rowFloats_;
        // Down the columns: the vertical convolution's output row y.
        const float* in = src + (n * v.inH + y) * inRow;
        if (v.kernelH == 3) {
            taps3(in, inRow, verticalWeights_.data(), rowFloats_, verticalBias_.data(), row,
                  rowFloats_);
        } else {
            taps(in, inRow, v.kernelH, verticalWeights_.data(), rowFloats_, verticalBias_.data(),
                 row, rowFloats_);
        }
        for (const PostOp& p : v.postOps)
            for (int64_t k = 0; k < rowFloats_; ++k) row[k] = applyPostOp(p, row[k]);
        // Along the row: the horizontal convolution's output row y.
        float* out = dst + r * outFloats_;
        if (h.kernelW == 3) {
            taps3(row, c, horizontalWeights_.data(), outFloats_, horizontalBias_.data(), out,
                  outFloats_);
        } else {
            taps(row, c, h.kernelW, horizontalWeights_.data(), outFloats_, horizontalBias_.data(),
                 out, outFloats_);
        }
        for (const PostOp& p : h.postOps)
            for (int64_t k = 0; k < outFloats_; ++k) out[k] = applyPostOp(p, out[k]);
    }
}

namespace {

class SeparableDepthwiseStep : public Step {
  public:
    std::unique_ptr<SeparableDepthwise> fast;
    ConvSpec vertical, horizontal;
    std::vector<float> middle;  // the reference path's intermediate tensor
    Ref src;
    float* dst = nullptr;

    bool run(RunContext& c, std::string&) override {
        if (fast) {
            fast->run(src.get(c), dst);
        } else {
            convReference(vertical, src.get(c), nullptr, middle.data());
            convReference(horizontal, middle.data(), nullptr, dst);
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<Step> makeSeparableDepthwiseStep(const StepBuild& build, const PlanOp& op) {
    if (!SeparableDepthwise::supports(op.conv, op.secondConv)) return nullptr;
    auto s = std::make_unique<SeparableDepthwiseStep>();
    s->src = operandRef(build.plan, op.inputs[0]);
    s->dst = build.plan.data(op.outputs[0]);
    if (build.fast) {
        s->fast = std::make_unique<SeparableDepthwise>(op.conv, op.secondConv);
    } else {
        s->vertical = op.conv;
        s->horizontal = op.secondConv;
        s->middle.resize(
            static_cast<size_t>(op.conv.batch * op.conv.outH * op.conv.outW * op.conv.outC));
    }
    return s;
}

}  // namespace figsplit::engine
