#include "platform/engine/ops/guided_upsample.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/engine/plan.h"

namespace figsplit::engine {

void guidedUpsampleReference(const GuidedUpsampleSpec& s, const float* a, const float* b,
                             const float* const* guideParts, float* const* outputs) {
    const ResizeSpec& r = s.resize;
    const int64_t pixels = r.batch * r.outH * r.outW;
    const int64_t count = pixels * r.channels;
    std::vector<float> guide(static_cast<size_t>(count)), ra(guide.size()), rb(guide.size());
    if (!s.stored.empty()) {
        // A and b hold some channels only: widen them to all (the others are never read).
        const int64_t lowPixels = r.batch * r.inH * r.inW, held = std::ssize(s.stored);
        std::vector<float> wideA(static_cast<size_t>(lowPixels * r.channels), 0.0f);
        std::vector<float> wideB(wideA.size(), 0.0f);
        for (int64_t p = 0; p < lowPixels; ++p)
            for (int64_t k = 0; k < held; ++k) {
                wideA[p * r.channels + s.stored[k]] = a[p * held + k];
                wideB[p * r.channels + s.stored[k]] = b[p * held + k];
            }
        GuidedUpsampleSpec all = s;
        all.stored.clear();
        guidedUpsampleReference(all, wideA.data(), wideB.data(), guideParts, outputs);
        return;
    }
    int64_t at = 0;
    for (size_t k = 0; k < s.guide.size(); ++k) {
        const GuidePart& part = s.guide[k];
        for (int64_t p = 0; p < pixels; ++p) {
            const float* in = guideParts[k] + p * part.sourceChannels;
            if (part.mean) {
                float sum = 0.0f;
                for (int64_t c = 0; c < part.sourceChannels; ++c) sum += in[c];
                guide[p * r.channels + at] = sum / static_cast<float>(part.sourceChannels);
            } else {
                for (int64_t c = 0; c < part.channels; ++c) guide[p * r.channels + at + c] = in[c];
            }
        }
        at += part.channels;
    }
    resizeBilinearReference(r, a, ra.data());
    resizeBilinearReference(r, b, rb.data());
    int64_t first = 0;
    for (size_t o = 0; o < s.splits.size(); ++o) {
        const int64_t width = s.splits[o];
        if (!s.skip[o]) {
            for (int64_t p = 0; p < pixels; ++p)
                for (int64_t c = 0; c < width; ++c) {
                    const int64_t k = p * r.channels + first + c;
                    float v = ra[k] * guide[k] + rb[k];
                    for (const PostOp& t : s.tails[o]) v = applyPostOp(t, v);
                    outputs[o][p * width + c] = v;
                }
        }
        first += width;
    }
}

FastGuidedUpsample::FastGuidedUpsample(const GuidedUpsampleSpec& params) : spec_(params) {
    const ResizeSpec& r = params.resize;
    x0_.resize(static_cast<size_t>(r.outW));
    x1_.resize(static_cast<size_t>(r.outW));
    dx_.resize(static_cast<size_t>(r.outW));
    for (int64_t x = 0; x < r.outW; ++x) {
        const float fx = resizeSourceCoordinate(r, false, x);
        x0_[x] = std::max<int64_t>(static_cast<int64_t>(std::floor(fx)), 0);
        x1_[x] = std::min<int64_t>(static_cast<int64_t>(std::ceil(fx)), r.inW - 1);
        dx_[x] = fx - std::floor(fx);
    }
    int64_t first = 0;
    for (size_t o = 0; o < params.splits.size(); ++o) {
        if (!params.skip[o])
            for (int64_t c = 0; c < params.splits[o]; ++c) used_.push_back(first + c);
        first += params.splits[o];
        bool clips = true;
        float low = -INFINITY, high = INFINITY;
        for (const PostOp& p : params.tails[o]) {
            if (p.kind != PostOp::Kind::clip) {
                clips = false;
                break;
            }
            low = std::clamp(low, p.low, p.high);
            high = std::clamp(high, p.low, p.high);
        }
        clampOnly_.push_back(clips ? 1 : 0);
        low_.push_back(low);
        high_.push_back(high);
    }
    storedChannels_ = params.stored.empty() ? r.channels : std::ssize(params.stored);
    for (int64_t c : used_) {
        int64_t at = params.stored.empty() ? c : -1;
        for (int64_t k = 0; k < std::ssize(params.stored); ++k)
            if (params.stored[k] == c) at = k;
        if (at < 0) throw std::invalid_argument("guided upsample: a needed channel is not stored");
        usedAt_.push_back(at);
    }
    for (size_t k = 0; k < params.guide.size(); ++k)
        for (int64_t c = 0; c < params.guide[k].channels; ++c) {
            guidePart_.push_back(static_cast<int>(k));
            guideChannel_.push_back(c);
        }
    const size_t plane = static_cast<size_t>(r.batch * r.outH * r.inW) * used_.size();
    columnsA_.resize(plane);
    columnsB_.resize(plane);
}

void FastGuidedUpsample::run(const float* a, const float* b, const float* const* guide,
                             float* const* outputs) {
    const ResizeSpec& r = spec_.resize;
    const int64_t rows = r.batch * r.outH;
    const int64_t channels = storedChannels_;
    const int64_t used = static_cast<int64_t>(used_.size());
#pragma omp parallel
    {
        // Down the columns: A and b at full height, low-res width, needed channels only.
#pragma omp for
        for (int64_t row = 0; row < rows; ++row) {
            const int64_t n = row / r.outH, y = row % r.outH;
            const float fy = resizeSourceCoordinate(r, true, y);
            const int64_t y0 = std::max<int64_t>(static_cast<int64_t>(std::floor(fy)), 0);
            const int64_t y1 = std::min<int64_t>(static_cast<int64_t>(std::ceil(fy)), r.inH - 1);
            const float dy = fy - std::floor(fy);
            const float* aTop = a + (n * r.inH + y0) * r.inW * channels;
            const float* aBottom = a + (n * r.inH + y1) * r.inW * channels;
            const float* bTop = b + (n * r.inH + y0) * r.inW * channels;
            const float* bBottom = b + (n * r.inH + y1) * r.inW * channels;
            float* ca = columnsA_.data() + row * r.inW * used;
            float* cb = columnsB_.data() + row * r.inW * used;
            for (int64_t x = 0; x < r.inW; ++x)
                for (int64_t u = 0; u < used; ++u) {
                    const int64_t at = x * channels + usedAt_[u];
                    ca[x * used + u] = aTop[at] + (aBottom[at] - aTop[at]) * dy;
                    cb[x * used + u] = bTop[at] + (bBottom[at] - bTop[at]) * dy;
                }
        }
        // Across: two lerps per pixel and channel, then A * I + b and the tail.
#pragma omp for
        for (int64_t row = 0; row < rows; ++row) {
            const float* ca = columnsA_.data() + row * r.inW * used;
            const float* cb = columnsB_.data() + row * r.inW * used;
            // The guide's value for channel c at column x of this row.
            auto guideAt = [&](int64_t x, int64_t c) {
                const GuidePart& part = spec_.guide[guidePart_[c]];
                const float* in = guide[guidePart_[c]] + (row * r.outW + x) * part.sourceChannels;
                if (!part.mean) return in[guideChannel_[c]];
                float sum = 0.0f;
                for (int64_t k = 0; k < part.sourceChannels; ++k) sum += in[k];
                return sum / static_cast<float>(part.sourceChannels);
            };
            int64_t u = 0, first = 0;
            for (size_t o = 0; o < spec_.splits.size(); ++o) {
                const int64_t width = spec_.splits[o];
                if (spec_.skip[o]) {
                    first += width;
                    continue;
                }
                float* out = outputs[o] + row * r.outW * width;
                const std::vector<PostOp>& tail = spec_.tails[o];
                const bool clampOnly = clampOnly_[o] != 0;
                const float low = low_[o], high = high_[o];
                const GuidePart& part = spec_.guide[guidePart_[first]];
                if (width == 1 && used == 1 && clampOnly &&
                    (!part.mean || part.sourceChannels == 3)) {
                    // rvm's alpha alone (its guide channel is the mean of three): the common
                    // case, written plainly for the compiler
                    const int64_t stride = part.sourceChannels;
                    const float* g = guide[guidePart_[first]] + row * r.outW * stride;
                    const int64_t* x0 = x0_.data();
                    const int64_t* x1 = x1_.data();
                    const float* dxs = dx_.data();
                    const int64_t channel = guideChannel_[first];
                    for (int64_t x = 0; x < r.outW; ++x) {
                        const float* p = g + x * stride;
                        const float i = part.mean ? (p[0] + p[1] + p[2]) / 3.0f : p[channel];
                        const float a0 = ca[x0[x]], a1 = ca[x1[x]], b0 = cb[x0[x]], b1 = cb[x1[x]];
                        const float v = (a0 + (a1 - a0) * dxs[x]) * i + (b0 + (b1 - b0) * dxs[x]);
                        out[x] = std::min(std::max(v, low), high);
                    }
                    u += width;
                    first += width;
                    continue;
                }
                for (int64_t x = 0; x < r.outW; ++x) {
                    const float dx = dx_[x];
                    const int64_t l = x0_[x] * used + u, rt = x1_[x] * used + u;
                    for (int64_t c = 0; c < width; ++c) {
                        const float av = ca[l + c] + (ca[rt + c] - ca[l + c]) * dx;
                        const float bv = cb[l + c] + (cb[rt + c] - cb[l + c]) * dx;
                        float v = av * guideAt(x, first + c) + bv;
                        if (clampOnly) {
                            v = std::min(std::max(v, low), high);
                        } else {
                            for (const PostOp& t : tail) v = applyPostOp(t, v);
                        }
                        out[x * width + c] = v;
                    }
                }
                u += width;
                first += width;
            }
        }
    }
}

namespace {

class GuidedUpsampleStep : public Step {
  public:
    GuidedUpsampleSpec params;
    std::unique_ptr<FastGuidedUpsample> fast;
    Ref a, b;
    std::vector<Ref> guide;
    std::vector<const float*> guidePointers;
    std::vector<float*> outputs;

    bool run(RunContext& c, std::string&) override {
        for (size_t k = 0; k < guide.size(); ++k) guidePointers[k] = guide[k].get(c);
        if (fast) {
            fast->run(a.get(c), b.get(c), guidePointers.data(), outputs.data());
        } else {
            guidedUpsampleReference(params, a.get(c), b.get(c), guidePointers.data(),
                                    outputs.data());
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<Step> makeGuidedUpsampleStep(const StepBuild& build, const PlanOp& op) {
    const Plan& plan = build.plan;
    auto step = std::make_unique<GuidedUpsampleStep>();
    step->params = op.guided;
    step->a = operandRef(plan, op.inputs[0]);
    step->b = operandRef(plan, op.inputs[1]);
    for (size_t k = 2; k < op.inputs.size(); ++k)
        step->guide.push_back(operandRef(plan, op.inputs[k]));
    step->guidePointers.resize(step->guide.size());
    for (int o : op.outputs) step->outputs.push_back(plan.data(o));
    if (build.fast) step->fast = std::make_unique<FastGuidedUpsample>(op.guided);
    return step;
}

}  // namespace figsplit::engine
